"""The first recording call of 1, 100 and 1,000 threads at once, with the metrics directory on
this machine's disk-backed /tmp and on tmpfs, side by side."""

import json
import statistics
import subprocess

from common import metrics_directory, python, section_main


def first_calls(threads, on):
    with metrics_directory(on) as directory:
        process = python(
            "first_calls.py",
            threads,
            env={"ZELNOR_METRICS_DIR": str(directory)},
            stdout=subprocess.PIPE,
            text=True,
        )
        out, _ = process.communicate()
        return json.loads(out)


def measure(quick):
    results = {}
    for threads, runs in ((1, 5 if quick else 15), (100, 1 if quick else 3), (1000, 1)):
        for on in ("disk", "tmpfs"):
            taken = [first_calls(threads, on) for _ in range(runs)]
            results[f"{threads} {on}"] = {
                "seconds": statistics.median(t["seconds"] for t in taken),
                "median_call": statistics.median(t["median_call"] for t in taken),
            }
    return results


if __name__ == "__main__":
    section_main(measure)
