"""What the benchmark's parts share: where things are, building the native programs through CMake,
running a section in a process of its own, and private metrics directories on disk or tmpfs."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BUILD = ROOT / "build" / "bench"
PROGRAMS = BENCH / "programs"
BATCH = 900  # below a queue's 999, so that nothing is dropped between two drains


def build():
    """Configures and builds the benchmark's native programs and floors with CMake."""
    import pybind11

    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(BUILD),
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DZELNOR_BUILD_BENCH=ON",
            "-DZELNOR_BUILD_PYTHON=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        [
            "cmake",
            "--build",
            str(BUILD),
            "--target",
            "zelnor_queue_bench",
            "zelnor_paced_producer",
            "zelnor_bench_floor",
            "zelnor_bench_binding",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def program(name):
    return str(BUILD / "bench" / name)


def run_section(name, *args, env=None):
    """Runs bench/sections/<name>.py in a process of its own (a process that drains stays a
    consumer for as long as it lives) and returns what it printed last, as JSON."""
    completed = subprocess.run(
        [sys.executable, str(BENCH / "sections" / f"{name}.py"), *map(str, args)],
        capture_output=True,
        text=True,
        env={
            **os.environ,
            "PYTHONPATH": os.pathsep.join([str(BUILD / "bench"), str(BENCH)]),
            **(env or {}),
        },
    )
    if completed.returncode != 0:
        raise SystemExit(f"section {name} failed:\n{completed.stdout}\n{completed.stderr}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def section_main(measure):
    """The entry point of a section file: measure(*arguments), printed as JSON."""
    arguments = [
        float(a) if "." in a else int(a) if a.lstrip("-").isdigit() else a for a in sys.argv[1:]
    ]
    print(json.dumps(measure(*arguments)))


@contextlib.contextmanager
def metrics_directory(on):
    """A fresh metrics directory on this machine's disk-backed /tmp ("disk") or on tmpfs
    ("tmpfs", /dev/shm), removed afterwards."""
    base = "/dev/shm" if on == "tmpfs" else "/tmp"
    directory = Path(tempfile.mkdtemp(prefix="zelnor-bench-", dir=base))
    try:
        yield directory / "metrics"
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def read_on(process):
    """Reads the rest of a process's output on a thread of its own, as a supervisor would: an
    exporter whose output nobody reads stops at a full pipe."""
    threading.Thread(target=process.stdout.read, daemon=True).start()


def python(script, *args, env=None, **popen):
    """Starts bench/programs/<script> with this interpreter."""
    return subprocess.Popen(
        [sys.executable, str(PROGRAMS / script), *map(str, args)],
        env={**os.environ, **(env or {})},
        **popen,
    )
