"""System calls of a producer process by name (strace -c), recording 900 and 1,000,000 times while
a separate consumer drains: what the recording path adds besides the producer's own pauses."""

import shutil
import subprocess
import sys
import tempfile

from common import PROGRAMS, python, section_main


def counts(calls):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as report:
        consumer = python("drain_loop.py", 0.0005, 60, 0, stdout=subprocess.PIPE, text=True)
        consumer.stdout.readline()  # it is the consumer now
        producer = subprocess.run(
            [
                "strace",
                "-f",
                "-c",
                "-o",
                report.name,
                sys.executable,
                str(PROGRAMS / "syscall_producer.py"),
                str(calls),
            ],
            capture_output=True,
            text=True,
        )
        consumer.kill()
        consumer.wait()
        by_name = {}
        for line in open(report.name):
            parts = line.split()
            if len(parts) >= 5 and parts[-1].isidentifier() and parts[3].isdigit():
                by_name[parts[-1]] = int(parts[3])
        return by_name, producer.stdout.count("ERROR:")


def measure():
    if shutil.which("strace") is None:
        return None
    small, small_errors = counts(900)
    large, large_errors = counts(1_000_000)
    extra = {
        name: large.get(name, 0) - small.get(name, 0)
        for name in set(small) | set(large)
        if name not in ("clock_nanosleep", "nanosleep", "select", "total")
        and large.get(name, 0) != small.get(name, 0)
    }
    return {
        "small": sum(small.values()),
        "large": sum(large.values()),
        "sleeps": large.get("clock_nanosleep", 0) - small.get("clock_nanosleep", 0),
        "extra": extra,
        "error_lines": small_errors + large_errors,
    }


if __name__ == "__main__":
    section_main(measure)
