"""Shared fixtures: a metrics directory for the run, consumer processes and child interpreters.

Each test run drains a metrics directory of its own (ZELNOR_METRICS_DIR, set here for this
process and every process it starts), so that test runs on one machine never meet. Only one
consumer may drain a directory at a time, so the pytest process itself never drains (a consumer
lives as long as its process): draining happens in consumer processes that the tests start and
stop. Tests about the fixed default directory, /tmp/metrics_collector, take the machine-wide lock
file that the C++ tests take too.
"""

import atexit
import fcntl
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
import uuid
from collections import defaultdict
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
DEFAULT_DIRECTORY = Path("/tmp/metrics_collector")
if "ZELNOR_TEST_RUN" not in os.environ:  # else a process the run started imports this again
    os.environ["ZELNOR_TEST_RUN"] = tempfile.mkdtemp(
        prefix="zelnor-pytest-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    os.environ["ZELNOR_METRICS_DIR"] = os.path.join(os.environ["ZELNOR_TEST_RUN"], "metrics")
    atexit.register(shutil.rmtree, os.environ["ZELNOR_TEST_RUN"], True)
METRICS_DIRECTORY = Path(os.environ["ZELNOR_TEST_RUN"]) / "metrics"


def _queue_files_left(directory):
    """Queue files in the directory or kept by a consumer that is gone."""
    if not directory.is_dir():
        return []
    found = [p for p in directory.iterdir()
             if p.name.split(".")[0] in ("counter", "histogram", "gauge")]
    return found + list(directory.glob(".consumer/attached.*/*"))


@pytest.fixture(autouse=True)
def leave_directory_clean():
    """Leaves the run's directory as clean as it was: producers of the test are gone by now, so a
    consumer adopts whatever a killed consumer kept, drains it and lets it go."""
    yield
    if _queue_files_left(METRICS_DIRECTORY):
        Consumer().close()


@pytest.fixture
def default_directory(monkeypatch):
    """For a test of the fixed default directory: processes it starts see no ZELNOR_METRICS_DIR,
    and test runs on this machine take turns; the directory is left as clean as it was."""
    monkeypatch.delenv("ZELNOR_METRICS_DIR")
    with open("/tmp/zelnor-tests.lock", "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield DEFAULT_DIRECTORY
            if _queue_files_left(DEFAULT_DIRECTORY):
                Consumer().close()
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


@pytest.fixture
def prefix():
    """A metric-name prefix no other test run uses, to tell our records from anyone else's."""
    return f"t{uuid.uuid4().hex[:10]}."


class Consumer:
    """A consumer process; drain() returns what its three getters returned."""

    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "consumer_process.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.error_lines = []
        self.pid = self.ask("pid")["pid"]

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("the consumer process ended")
            if line.startswith("RESULT "):
                return json.loads(line[len("RESULT "):])
            self.error_lines.append(line.rstrip("\n"))

    def drain(self):
        result = self.ask("drain")
        if "error" in result:
            raise RuntimeError(result["error"])
        return result

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.write("quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=30)


class Collected:
    """Everything drained so far, by kind and name, in arrival order."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.entries = {"counter": defaultdict(list), "histogram": defaultdict(list),
                        "gauge": defaultdict(list)}

    def add(self, drained):
        for kind, entries in drained.items():
            for name, value in entries:
                if name is None or name.startswith(self.prefix):
                    self.entries[kind][name].append(value)

    def __getitem__(self, kind):
        return self.entries[kind]

    def count(self):
        return sum(len(values) for by_name in self.entries.values() for values in by_name.values())


class Producer:
    """A producer process whose one recording thread lives as long as the process and records
    what it is told on stdin."""

    SCRIPT = r"""
import queue, sys, threading, zelnor_core
jobs = queue.Queue()
def work():
    while True:
        kind, name, value, times = jobs.get()
        if kind == "n":  # a numbered sequence of counter records: value, value + 1, ...
            for number in range(int(value), int(value) + int(times)):
                zelnor_core.inc_counter(name, number)
        else:
            record = {"c": zelnor_core.inc_counter, "h": zelnor_core.observe_histogram,
                      "g": zelnor_core.set_gauge}[kind]
            for _ in range(int(times)):
                record(name, float(value) if kind != "c" else int(value))
        print("ok", flush=True)
threading.Thread(target=work, daemon=True).start()
for line in sys.stdin:
    kind, name, value, times = line.split()
    jobs.put((kind, name, value, times))
"""

    def __init__(self, directory=None):
        env = {**os.environ, "ZELNOR_METRICS_DIR": str(directory)} if directory else None
        self.process = subprocess.Popen([sys.executable, "-c", self.SCRIPT], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def record(self, kind, name, value, times=1):
        """Records and returns the lines the module wrote meanwhile (full-queue lines)."""
        self.process.stdin.write(f"{kind} {name} {value} {times}\n")
        self.process.stdin.flush()
        lines = []
        while (line := self.process.stdout.readline()) != "ok\n":
            assert line, "the producer process ended"
            lines.append(line)
        return lines

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


@pytest.fixture
def producer():
    started = Producer()
    yield started
    started.close()


@pytest.fixture
def consumer():
    started = Consumer()
    yield started
    started.close()


def drain_until(consumer, collected, done, timeout=20.0):
    """Drains every 10 ms until done() holds; fails the test on timeout."""
    deadline = time.monotonic() + timeout
    while True:
        collected.add(consumer.drain())
        if done():
            return
        if time.monotonic() > deadline:
            pytest.fail(f"timed out with {collected.count()} entries: {dict(collected.entries)}")
        time.sleep(0.01)


def run_python(code, *, env=None, check=True, timeout=120, cwd=None):
    """Runs code in a fresh interpreter; returns the completed process."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={**os.environ, **(env or {})},
        timeout=timeout,
        cwd=cwd,
    )
    if check and completed.returncode != 0:
        pytest.fail(f"child failed ({completed.returncode}):\n{completed.stdout}\n{completed.stderr}")
    return completed


def build_module_variant(directory, *, defines=(), extra_sources=(), link_flags=()):
    """Compiles a test-only build of zelnor_core into directory; returns directory."""
    import pybind11

    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.fail("a C++ compiler is needed to build a test variant of the module")
    sources = [str(p) for p in sorted((ROOT / "src").rglob("*.cpp"))] + [str(s) for s in
                                                                          extra_sources]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    command = [
        compiler, "-std=c++17", "-O1", "-shared", "-fPIC", "-fvisibility=hidden",
        f"-I{ROOT / 'src'}", f"-I{pybind11.get_include()}",
        f"-I{sysconfig.get_paths()['include']}", *[f"-D{d}" for d in defines], *sources,
        *link_flags, "-pthread", "-o", str(Path(directory) / f"zelnor_core{suffix}"),
    ]
    subprocess.run(command, check=True)
    return directory
