"""What the Python tests share: the run's metrics directory, consumer and producer processes,
child interpreters, the exporter, test-only builds of the module, and values that convert.

Each test run drains a metrics directory of its own (ZELNOR_METRICS_DIR, set when this module is
first imported, for this process and every process it starts), so that test runs on one machine
never meet. Only one consumer may drain a directory at a time, so the pytest process itself never
drains (a consumer lives as long as its process): draining happens in consumer processes that the
tests start and stop.
"""

import atexit
import json
import os
import platform
import random
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import urllib.request
from collections import defaultdict
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
DEFAULT_DIRECTORY = Path("/tmp/metrics_collector")
if "ZELNOR_TEST_RUN" not in os.environ:  # else a process the run started imports this again
    os.environ["ZELNOR_TEST_RUN"] = tempfile.mkdtemp(
        prefix="zelnor-pytest-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None
    )
    os.environ["ZELNOR_METRICS_DIR"] = os.path.join(os.environ["ZELNOR_TEST_RUN"], "metrics")
    atexit.register(shutil.rmtree, os.environ["ZELNOR_TEST_RUN"], True)
METRICS_DIRECTORY = Path(os.environ["ZELNOR_TEST_RUN"]) / "metrics"


AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def queue_files_left(directory):
    """Queue files in the directory or kept by a consumer that is gone."""
    if not directory.is_dir():
        return []
    found = [
        p for p in directory.iterdir() if p.name.split(".")[0] in ("counter", "histogram", "gauge")
    ]
    return found + list(directory.glob(".consumer/attached.*/*"))


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
                return json.loads(line[len("RESULT ") :])
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
        self.entries = {
            "counter": defaultdict(list),
            "histogram": defaultdict(list),
            "gauge": defaultdict(list),
        }

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
    """A producer process (producer_process.py) whose one recording thread lives as long as the
    process and records what it is told; of another interpreter when `python` names one."""

    def __init__(self, directory=None, python=sys.executable, umask=None):
        env = {**os.environ, "ZELNOR_METRICS_DIR": str(directory)} if directory else None
        self.process = subprocess.Popen(
            [python, str(HERE / "producer_process.py")],
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            preexec_fn=None if umask is None else lambda: os.umask(umask),
        )

    def record(self, kind, name, value, times=1):
        """Records and returns the lines the module wrote meanwhile (full-queue lines). `value`
        may be "0x" and a double's 16 hex digits, for its exact bits."""
        self.process.stdin.write(f"{kind} {name} {value} {times}\n")
        self.process.stdin.flush()
        lines = []
        while (line := self.process.stdout.readline()) != "ok\n":
            assert line, "the producer process ended"
            lines.append(line)
        return lines

    def close(self):
        if self.process.stdin.closed:
            return
        self.process.stdin.close()
        self.process.wait(timeout=30)


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
        pytest.fail(
            f"child failed ({completed.returncode}):\n{completed.stdout}\n{completed.stderr}"
        )
    return completed


def build_module_variant(variant):
    """Builds a test-only variant of zelnor_core for this interpreter through CMake (with the
    environment's CXX, CXXFLAGS and LDFLAGS, as a 32-bit build needs); returns its directory."""
    try:
        import pybind11
    except ImportError:
        pytest.fail("pybind11 (2.13) is needed to build a test variant of the module")
    tag = f"{sys.implementation.cache_tag}-{platform.machine()}-{8 * struct.calcsize('P')}bit"
    build = ROOT / "build" / "test-modules" / tag
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DZELNOR_BUILD_TESTS=OFF",
            "-DZELNOR_BUILD_PYTHON=ON",
            "-DZELNOR_BUILD_TEST_MODULES=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", str(build), "--target", f"zelnor_core_{variant}"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return build / "variants" / variant


# --- the exporter ---


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Exporter:
    """A zelnor-exporter process on 127.0.0.1, or where listen(port) (its arguments that say where
    to listen) says; `descriptors` = (soft, hard) limits it starts with on its open descriptors;
    `wrapper` a command that execs the rest of its arguments (as another user, say)."""

    def __init__(self, *args, descriptors=None, listen=None, wrapper=()):
        self.port = free_port()
        if listen is None:
            where = ["--port", str(self.port), "--address", "127.0.0.1"]
        else:
            where = listen(self.port)
        self.process = subprocess.Popen(
            [*wrapper, sys.executable, "-m", "zelnor_exporter", *where, *args],
            stdout=subprocess.PIPE,
            text=True,
            preexec_fn=(
                (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, descriptors))
                if descriptors
                else None
            ),
        )
        # Its first line names the directory; the line that says it serves follows, after the
        # lines of the first drain, if any.
        self.first_lines = [self.process.stdout.readline()]
        while not self.first_lines[-1].startswith("zelnor-exporter: serving /"):
            assert self.first_lines[-1], self.first_lines
            self.first_lines.append(self.process.stdout.readline())
        # Read on as a supervisor would: an exporter whose output nobody reads blocks on it once
        # the pipe is full.
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)

    def scrape_text(self, openmetrics=False):
        """/metrics as served, in the text format or, asked for, in OpenMetrics."""
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}/metrics")
        if openmetrics:
            request.add_header("Accept", "application/openmetrics-text; version=1.0.0")
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.read().decode()

    def scrape(self):
        text = self.scrape_text()
        return {
            (s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text)
            for s in family.samples
        }

    def scrape_until(self, done, timeout=20.0):
        deadline = time.monotonic() + timeout
        while True:
            got = self.scrape()
            if done(got) or time.monotonic() > deadline:
                return got
            time.sleep(0.05)

    def sample(self, name, **labels):
        """One sample of a scrape, or None."""
        return self.scrape().get((name, tuple(sorted(labels.items()))))

    def stop(self, signum=signal.SIGTERM):
        """Ends the exporter; its exit status and what it wrote after its first two lines."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        self.process.wait(timeout=30)
        self.reader.join(timeout=30)
        return self.process.returncode, "".join(self.lines)


def make_certificates(directory):
    """A CA, a server certificate for 127.0.0.1 and a client certificate, both signed by the CA,
    made by openssl in `directory`; returns their paths by name ("ca.crt", "server.key", ...)."""
    directory = Path(directory)

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=directory, check=True, capture_output=True)

    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
            "-subj", "/CN=zelnor test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")  # fmt: skip
    for name, usage in (("server", "serverAuth"), ("client", "clientAuth")):
        (directory / f"{name}.ext").write_text(
            "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
            f"extendedKeyUsage={usage}\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
        )
        openssl("req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN=zelnor test {name}")  # fmt: skip
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", f"{name}.crt", "-days", "2",
                "-extfile", f"{name}.ext")  # fmt: skip
    return {path.name: path for path in directory.iterdir()}


# --- names that all collide in the name table's unkeyed hash of earlier releases ---

_WORD = (1 << 64) - 1
_MULTIPLIER = 0x9E3779B97F4A7C15
_ODD = 0xC2B2AE3D27D4EB4F


def unkeyed_hash(name):
    """The exporter's name table's hash of `name` (bytes) as it was before it took a key: fixed
    constants, so that anyone could compute it, and choose names that collide."""
    size = len(name)

    def word(at, width=8):
        return int.from_bytes(name[at : at + width], "little")

    value = size * _MULTIPLIER & _WORD
    salt, at = _ODD, 0
    while at + 8 <= size:
        value = (value + (word(at) ^ salt) * _ODD) & _WORD
        at, salt = at + 8, (salt + _MULTIPLIER) & _WORD
    if at < size:
        if size >= 8:
            tail = word(size - 8)
        elif size >= 4:
            tail = word(0, 4) | word(size - 4, 4) << 32
        else:
            tail = name[0] | name[size // 2] << 8 | name[size - 1] << 16
        value = (value + (tail ^ salt) * _ODD) & _WORD
    value ^= value >> 31
    value = value * _MULTIPLIER & _WORD
    return value ^ (value >> 29)


def colliding_names(count, seed=0):
    """`count` distinct valid metric names, 24 lowercase letters and digits each, with one and
    the same unkeyed_hash: in a table indexed by it they all fall into one run of slots.

    The hash sums (word ^ salt) * constant over the name's three 8-byte words, so names whose
    three (word ^ salt) add up to the same total collide. Each is made byte by byte, lowest
    first: two bytes at random, the third the one that gives the total's byte (with the carry),
    tried again until that third byte is a letter or digit."""
    rng = random.Random(seed)
    letters = b"abcdefghijklmnopqrstuvwxyz"
    characters = letters + b"0123456789"
    salts = [(_ODD + i * _MULTIPLIER) & _WORD for i in range(3)]
    first = bytes([rng.choice(letters)] + [rng.choice(characters) for _ in range(23)])
    total = sum(int.from_bytes(first[8 * i : 8 * i + 8], "little") ^ salts[i] for i in range(3))
    names = {first}
    while len(names) < count:
        words = [bytearray(8) for _ in salts]
        carry = 0
        for at in range(8):
            wanted = total >> 8 * at & 0xFF
            salt0, salt1, salt2 = (salt >> 8 * at & 0xFF for salt in salts)
            while True:
                a = rng.choice(letters if at == 0 else characters)  # a name starts with a letter
                b = rng.choice(characters)
                low = (a ^ salt0) + (b ^ salt1) + carry
                needed = (wanted - low) & 0xFF
                if needed ^ salt2 in characters:
                    break
            words[0][at], words[1][at], words[2][at] = a, b, needed ^ salt2
            carry = (low + needed) >> 8
        names.add(bytes(words[0] + words[1] + words[2]))
    return sorted(name.decode() for name in names)


# --- values that Python converts to numbers in more than one way ---


class Index:
    """An integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    """A number through __float__ only."""

    def __float__(self):
        return 2.5


class Bad:
    """Raises from __index__."""

    def __index__(self):
        raise ValueError("no")
