"""A consumer in a process of its own, driven over stdin by the tests.

Each line on stdin is a command; the answer is one line "RESULT <json>" on stdout. Everything
else the process writes to stdout (the module's "ERROR: " lines) is passed back to the tests too.
"""

import glob
import json
import math
import os
import sys
import time

import zelnor_core


def describe(entries):
    described = []
    for entry in entries:
        try:
            name = entry.name
        except UnicodeDecodeError:
            name = None  # the name was cut inside a multi-byte character
        value = entry.value
        if isinstance(value, float) and not math.isfinite(value):
            value = repr(value)
        described.append([name, value])
    return described


def settle(timeout=5.0):
    """Drains until every queue this consumer holds has been let go, so that no file is left."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        zelnor_core.get_counter_entries()
        zelnor_core.get_histogram_entries()
        zelnor_core.get_gauge_entries()
        directory = os.environ.get("ZELNOR_METRICS_DIR") or "/tmp/metrics_collector"
        kept = glob.glob(f"{directory}/.consumer/attached.{os.getpid()}.*")
        if not any(os.listdir(directory) for directory in kept if os.path.isdir(directory)):
            return
        time.sleep(0.05)


def main():
    for line in sys.stdin:
        command = line.strip()
        if command == "quit":
            try:
                settle()
            except RuntimeError:
                pass  # this process never became the consumer
            break
        try:
            if command == "pid":
                result = {"pid": os.getpid()}
            else:
                result = {
                    "counter": describe(zelnor_core.get_counter_entries()),
                    "histogram": describe(zelnor_core.get_histogram_entries()),
                    "gauge": describe(zelnor_core.get_gauge_entries()),
                }
        except Exception as error:  # reported to the test, which decides
            result = {"error": f"{type(error).__name__}: {error}"}
        sys.stdout.write("RESULT " + json.dumps(result) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
