"""zelnor's benchmark: every comparison measured side by side in one run, reported as a ratio.

    pip install . && python3 bench/run.py [--quick]

Installs what it compares with (bench/requirements.txt) and, as root on Debian, strace; builds its
native programs through CMake; runs each section (bench/sections/) in a process of its own, each
in a metrics directory of its own; prints the results and writes them into docs/benchmarks.md with
the chart docs/benchmarks.png (bench/report.py).
"""

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys

from common import BENCH, build, metrics_directory, run_section

REQUIREMENTS = {
    "prometheus_client": "prometheus_client",
    "statsd": "statsd",
    "opentelemetry-sdk": "opentelemetry.sdk",
    "matplotlib": "matplotlib",
    "pybind11": "pybind11",
}


def install_requirements():
    if any(importlib.util.find_spec(module) is None for module in REQUIREMENTS.values()):
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "install",
                "--quiet",
                "-r",
                str(BENCH / "requirements.txt"),
            ],
            check=True,
        )
    if shutil.which("strace") is None and os.geteuid() == 0 and shutil.which("apt-get"):
        subprocess.run(["apt-get", "install", "-y", "-qq", "strace"], capture_output=True)


def in_directory(name, *args):
    """A section in a private metrics directory on tmpfs."""
    with metrics_directory("tmpfs") as directory:
        return run_section(name, *args, env={"ZELNOR_METRICS_DIR": str(directory)})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, shorter windows")
    args = parser.parse_args()
    install_requirements()
    build()
    quick = args.quick
    results = {}
    steps = [
        ("recording", "recording calls", lambda: in_directory("recording", 3 if quick else 7)),
        ("draining", "draining", lambda: in_directory("draining", 50 if quick else 200)),
        ("queue", "native queue", lambda: run_section("native_queue")),
        ("syscalls", "system calls on the recording path", lambda: in_directory("syscalls")),
        (
            "end_to_end",
            "end to end",
            lambda: {
                p: in_directory("end_to_end", p, 20000.0, 2.0 if quick else 4.0)
                for p in (1, 2, 4, 8)
            },
        ),
        ("cost", "cost of a producer thread", lambda: in_directory("thread_cost")),
        (
            "first_call",
            "first calls, disk-backed /tmp and tmpfs",
            lambda: run_section("first_call", 1 if quick else 0),
        ),
        (
            "disk_writes",
            "disk writes of steady producers",
            lambda: run_section("disk_writes", 12.0 if quick else 40.0),
        ),
        ("exporter", "the exporter", lambda: run_section("exporter", 3.0 if quick else 6.0)),
        ("client", "zelnor_client's calls", lambda: in_directory("client", 3 if quick else 7)),
        (
            "churn",
            "scrape cost against worker churn",
            lambda: run_section("churn", *((10, 100) if quick else (10, 100, 1000))),
        ),
        (
            "scrape",
            "scrape cost against series",
            lambda: run_section(
                "scrape", *((1000, 11000) if quick else (1000, 10000, 11000, 100000))
            ),
        ),
        (
            "scrapers",
            "declared series under scrapers",
            lambda: run_section("scrapers", 5.0 if quick else 10.0),
        ),
    ]
    for key, title, step in steps:
        print(f"{title} ...", flush=True)
        results[key] = step()

    import report

    print(report.write(results))


if __name__ == "__main__":
    main()
