"""Remote-write receivers for the tests: a small one in the test process that records every request
and answers as it is told, and real ones in processes of their own, Debian's Prometheus (with its
remote-write receiver on) and VictoriaMetrics single node, each on a free port with a private data
directory, queried through their HTTP APIs."""

import base64
import json
import os
import queue
import shutil
import signal
import ssl
import subprocess
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from support import free_port

from zelnor_exporter import remote_write


class Request:
    """One request as the recording receiver read it."""

    def __init__(self, handler, body):
        self.path = handler.path
        self.headers = dict(handler.headers.items())
        self.series = remote_write.decode(body)

    def values(self):
        """{labels: value} of its samples (one per series)."""
        return {tuple(labels): samples[-1][0] for labels, samples in self.series}

    def timestamps(self):
        return {tuple(labels): samples[-1][1] for labels, samples in self.series}


class RecordingReceiver:
    """A receiver on 127.0.0.1 that records each request and answers with the next of `answers`
    (a status, or a (status, headers) pair) and 204 once they are used up; over TLS with `tls`
    (an ssl.SSLContext for the server side). `hold` (a threading.Event), when given, is waited
    for before each answer."""

    def __init__(self, answers=(), tls=None, hold=None):
        self.requests = queue.Queue()
        self.answers = list(answers)
        self.hold = hold
        self.lock = threading.Lock()
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # kept alive, as receivers do

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                receiver.requests.put(Request(self, body))
                if receiver.hold is not None:
                    receiver.hold.wait()
                status, headers = receiver._answer()
                message = b"" if status < 300 else f"refused with {status}\n".encode()
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(message)))
                self.end_headers()
                self.wfile.write(message)

            def log_message(self, *_):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        if tls is not None:
            self.server.socket = tls.wrap_socket(self.server.socket, server_side=True)
        scheme = "https" if tls is not None else "http"
        self.url = f"{scheme}://127.0.0.1:{self.server.server_port}/api/v1/write"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def _answer(self):
        with self.lock:
            answer = self.answers.pop(0) if self.answers else 204
        return answer if isinstance(answer, tuple) else (answer, {})

    def next(self, timeout=30):
        try:
            return self.requests.get(timeout=timeout)
        except queue.Empty:
            pytest.fail(f"no request reached {self.url} in {timeout} s")

    def close(self):
        if self.hold is not None:
            self.hold.set()
        self.server.shutdown()
        self.server.server_close()


def basic(username, password):
    return "Basic " + base64.b64encode(f"{username}:{password}".encode()).decode()


def self_signed_certificate(directory):
    """A certificate for 127.0.0.1 and its key, made by openssl: (certificate path, key path)."""
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.fail("openssl is needed (Debian's openssl package)")
    certificate, key = directory / "receiver.pem", directory / "receiver.key"
    subprocess.run(
        [
            openssl,
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-days",
            "2",
            "-subj",
            "/CN=127.0.0.1",
            "-addext",
            "subjectAltName=IP:127.0.0.1",
            "-keyout",
            str(key),
            "-out",
            str(certificate),
        ],
        check=True,
        capture_output=True,
    )
    return certificate, key


def server_tls(certificate, key, client_ca=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    if client_ca is not None:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(client_ca)
    return context


# --- real receivers ---


def tool(name):
    found = shutil.which(name)
    if found is None:
        if os.environ.get("ZELNOR_REQUIRE_PROMETHEUS"):
            pytest.fail(f"{name} is required here but not installed")
        pytest.skip(f"{name} is not installed (Debian's package of that name has it)")
    return found


def get_json(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return json.load(reply)


class RealReceiver:
    """A receiver's process on a free port of 127.0.0.1, with its data in `directory`; stop() and
    start() again keep port and data."""

    ready_path = "/"

    def __init__(self, directory):
        self.directory = directory
        self.port = free_port()
        self.process = None
        self.start()

    def start(self):
        self.log = open(self.directory / "log", "a")  # closed by stop()
        self.process = subprocess.Popen(
            self.command(), stdout=self.log, stderr=subprocess.STDOUT, cwd=self.directory
        )
        deadline = time.monotonic() + 60
        while True:
            try:
                with urllib.request.urlopen(self.base + self.ready_path, timeout=2):
                    return
            except OSError:
                assert self.process.poll() is None, (self.directory / "log").read_text()
                assert time.monotonic() < deadline, f"{self.name} never became ready"
                time.sleep(0.2)

    @property
    def base(self):
        return f"http://127.0.0.1:{self.port}"

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()

    def latest(self, match):
        """{labels: value} of the newest sample of each stored series `match` selects."""
        raise NotImplementedError


class Prometheus(RealReceiver):
    name = "prometheus"
    ready_path = "/-/ready"

    def command(self):
        config = self.directory / "prometheus.yml"
        config.write_text("global: {}\n")
        return [
            tool("prometheus"),
            "--web.enable-remote-write-receiver",
            f"--config.file={config}",
            f"--storage.tsdb.path={self.directory / 'data'}",
            f"--web.listen-address=127.0.0.1:{self.port}",
        ]

    @property
    def url(self):
        return f"{self.base}/api/v1/write"

    def latest(self, match):
        found = get_json(f"{self.base}/api/v1/query?" + urllib.parse.urlencode({"query": match}))[
            "data"
        ]["result"]
        return {tuple(sorted(r["metric"].items())): float(r["value"][1]) for r in found}


class VictoriaMetrics(RealReceiver):
    name = "victoria-metrics"
    ready_path = "/health"

    def command(self):
        return [
            tool("victoria-metrics"),
            f"-httpListenAddr=127.0.0.1:{self.port}",
            f"-storageDataPath={self.directory / 'data'}",
            "-search.latencyOffset=0s",
        ]

    @property
    def url(self):
        return f"{self.base}/api/v1/write"

    def latest(self, match):
        # /api/v1/export gives every stored sample, raw; a series may come in several lines.
        url = f"{self.base}/api/v1/export?" + urllib.parse.urlencode({"match[]": match})
        with urllib.request.urlopen(url, timeout=5) as reply:
            lines = reply.read().decode().splitlines()
        newest = {}
        for line in lines:
            series = json.loads(line)
            labels = tuple(sorted(series["metric"].items()))
            for stamp, value in zip(series["timestamps"], series["values"]):
                if labels not in newest or stamp > newest[labels][0]:
                    newest[labels] = (stamp, float(value))
        return {labels: value for labels, (_, value) in newest.items()}
