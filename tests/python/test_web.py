"""zelnor-exporter as operators run exporters: the conventional flags, the landing page, and the
web configuration file (TLS, client certificates, basic authentication, rereading), over real
connections, with certificates openssl makes for each test and a real Prometheus scraping.

The web configuration needs bcrypt and PyYAML, which the suite under every interpreter does not
install: those tests run once."""

import http.client
import importlib.metadata
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import time
import urllib.error
import urllib.parse
import urllib.request
from base64 import b64encode

import pytest
from support import ROOT, Exporter, free_port, make_certificates
from test_exposition import tool


def fetch(url, context=None, user=None, password=None):
    """(status, headers, body) of a GET; an HTTP error status is a reply like any other."""
    request = urllib.request.Request(url)
    if user is not None:
        credentials = b64encode(f"{user}:{password}".encode()).decode()
        request.add_header("Authorization", f"Basic {credentials}")
    try:
        with urllib.request.urlopen(request, timeout=10, context=context) as reply:
            return reply.status, reply.headers, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read().decode()


def test_the_conventional_flags_listen_serve_the_telemetry_path_and_a_landing_page():
    exporter = Exporter(
        "--web.telemetry-path",
        "/telemetry",
        listen=lambda port: ["--web.listen-address", f"127.0.0.1:{port}"],
    )
    base = f"http://127.0.0.1:{exporter.port}"
    try:
        assert exporter.first_lines[0].endswith(f"serving on 127.0.0.1:{exporter.port}\n")
        status, headers, body = fetch(base + "/telemetry")
        assert status == 200 and headers["Content-Type"].startswith("text/plain")
        assert "\nprocess_open_fds " in body and "zelnor_exporter_drains_total" in body
        status, headers, page = fetch(base + "/")
        assert status == 200 and headers["Content-Type"].startswith("text/html")
        assert '<a href="/telemetry">' in page
        for path in ("/metrics", "/telemetry/x", "/favicon.ico"):
            assert fetch(base + path)[0] == 404, path
    finally:
        exporter.stop()


def test_version_and_the_listen_address_forms():
    completed = subprocess.run(
        [sys.executable, "-m", "zelnor_exporter", "--version"], capture_output=True, text=True
    )
    assert completed.stdout == f"zelnor-exporter {importlib.metadata.version('zelnor')}\n"
    for refused in (
        ["--web.listen-address", "127.0.0.1:1", "--port", "2"],  # one or the other
        ["--web.listen-address", "::1:80"],  # no brackets
        ["--web.listen-address", "host"],
        ["--web.telemetry-path", "metrics"],
    ):
        completed = subprocess.run(
            [sys.executable, "-m", "zelnor_exporter", *refused], capture_output=True, text=True
        )
        assert completed.returncode == 2, refused
    if not socket.has_ipv6:
        pytest.skip("no IPv6 here")
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    exporter = Exporter(listen=lambda port: ["--web.listen-address", f"[::1]:{port}"])
    try:
        assert exporter.first_lines[-1].startswith(
            f"zelnor-exporter: serving /metrics on http://[::1]:{exporter.port}"
        )
        assert fetch(f"http://[::1]:{exporter.port}/metrics")[0] == 200
    finally:
        exporter.stop()


# --- the web configuration ---


def hashed(password):
    import bcrypt

    return bcrypt.hashpw(password.encode(), bcrypt.gensalt(4)).decode()


def tls_context(certificates, client=False):
    context = ssl.create_default_context(cafile=str(certificates["ca.crt"]))
    if client:
        context.load_cert_chain(certificates["client.crt"], certificates["client.key"])
    return context


def write_config(path, text):
    path.write_text(text)
    return path


@pytest.fixture
def certificates(tmp_path):
    pytest.importorskip("yaml")
    pytest.importorskip("bcrypt")
    return make_certificates(tmp_path)


@pytest.mark.once
def test_tls_and_basic_auth_serve_only_the_right_login_and_refuse_plain_http(
    tmp_path, certificates
):
    config = write_config(
        tmp_path / "web.yml",
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        f"basic_auth_users:\n  alice: {hashed('right')}\n"
        "http_server_config:\n  headers:\n    X-Content-Type-Options: nosniff\n",
    )
    exporter = Exporter("--web.config.file", str(config), "--timeout", "2")
    base = f"https://127.0.0.1:{exporter.port}"
    context = tls_context(certificates)
    try:
        assert exporter.first_lines[-1].startswith(
            f"zelnor-exporter: serving /metrics on https://127.0.0.1:{exporter.port}"
        )
        # A client that begins no handshake holds up nobody else, and is cut off in time.
        stalled = socket.create_connection(("127.0.0.1", exporter.port))
        status, headers, body = fetch(base + "/metrics", context, "alice", "right")
        assert status == 200 and "process_open_fds" in body
        assert headers["X-Content-Type-Options"] == "nosniff"
        assert stalled.recv(1) == b""  # closed by the exporter, unserved
        stalled.close()
        assert fetch(base + "/", context, "alice", "right")[0] == 200
        for user, password in (("alice", "wrong"), ("bob", "right"), (None, None)):
            status, headers, body = fetch(base + "/metrics", context, user, password)
            assert status == 401 and headers["WWW-Authenticate"] == "Basic", (user, password)
            assert "process_open_fds" not in body
        # Plain HTTP to the TLS port is never answered in plain HTTP.
        plain = http.client.HTTPConnection("127.0.0.1", exporter.port, timeout=10)
        with pytest.raises((http.client.HTTPException, ConnectionError)):
            plain.request("GET", "/metrics")
            plain.getresponse()
        plain.close()
        status, _, body = fetch(base + "/metrics", context, "alice", "right")
        timed_out = [
            line for line in body.splitlines() if line.startswith("zelnor_exporter_timed_out")
        ]
        assert status == 200 and timed_out == ["zelnor_exporter_timed_out_connections_total 1.0"]
    finally:
        code, out = exporter.stop()
    assert code == 0 and "ERROR" not in out


@pytest.mark.once
def test_client_certificates_are_required_and_verified(tmp_path, certificates):
    config = write_config(
        tmp_path / "web.yml",
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.crt\n"
        "  min_version: TLS13\n",
    )
    exporter = Exporter("--web.config.file", str(config))
    url = f"https://127.0.0.1:{exporter.port}/metrics"
    try:
        assert fetch(url, tls_context(certificates, client=True))[0] == 200
        with pytest.raises((ssl.SSLError, ConnectionError, urllib.error.URLError)):
            fetch(url, tls_context(certificates))
        older = tls_context(certificates, client=True)
        older.maximum_version = ssl.TLSVersion.TLSv1_2
        with pytest.raises((ssl.SSLError, ConnectionError, urllib.error.URLError)):
            fetch(url, older)
    finally:
        exporter.stop()


@pytest.mark.once
def test_the_file_is_read_again_on_change_and_on_sighup_and_a_bad_one_is_kept_out(
    tmp_path, certificates
):
    config = tmp_path / "web.yml"
    write_config(config, f"basic_auth_users:\n  alice: {hashed('first')}\n")
    exporter = Exporter("--web.config.file", str(config))
    url = f"http://127.0.0.1:{exporter.port}/metrics"

    def until(done):
        deadline = time.monotonic() + 30
        while not done() and time.monotonic() < deadline:
            time.sleep(0.1)
        return done()

    try:
        assert fetch(url, None, "alice", "first")[0] == 200
        write_config(config, f"basic_auth_users:\n  alice: {hashed('second')}\n")
        assert until(lambda: fetch(url, None, "alice", "second")[0] == 200)
        assert fetch(url, None, "alice", "first")[0] == 401
        # A bad file: said, and the last good one stays in force.
        write_config(config, f"basic_auth_users:\n  alice: {hashed('third')}\n  bob: plain\n")
        assert until(lambda: any(line.startswith("ERROR: ") for line in exporter.lines))
        error = [line for line in exporter.lines if line.startswith("ERROR: ")]
        assert error == [
            f"ERROR: zelnor-exporter: cannot use web config {config}: basic_auth_users.bob: not "
            "a bcrypt hash; keeping the last good one\n"
        ]
        assert fetch(url, None, "alice", "second")[0] == 200
        assert fetch(url, None, "alice", "third")[0] == 401
        # A change no look at the file can see (same size, same time): SIGHUP reads it.
        before = config.stat()
        write_config(config, f"basic_auth_users:\n  alice: {hashed('fourth')}\n  bob: plain\n")
        os.utime(config, ns=(before.st_atime_ns, before.st_mtime_ns))
        good = f"basic_auth_users:\n  alice: {hashed('fifth')}\n"
        write_config(config, good + " " * (before.st_size - len(good)))
        os.utime(config, ns=(before.st_atime_ns, before.st_mtime_ns))
        time.sleep(2.5)  # the watcher's looks see nothing new...
        assert fetch(url, None, "alice", "fifth")[0] == 401
        exporter.process.send_signal(signal.SIGHUP)  # ...the signal reads it
        assert until(lambda: fetch(url, None, "alice", "fifth")[0] == 200)
        # TLS is on or off for good.
        write_config(config, "tls_server_config:\n  cert_file: server.crt\n  key_file: x.key\n")
        assert until(lambda: len([line for line in exporter.lines if "ERROR" in line]) == 2)
        assert fetch(url, None, "alice", "fifth")[0] == 200
    finally:
        exporter.stop()


BAD_CONFIGS = [
    ("tls_server_config:\n  cert_fle: server.crt\n", "tls_server_config.cert_fle: unknown field"),
    ("basic_auth:\n  a: b\n", "basic_auth: unknown field"),
    ("tls_server_config:\n  key_file: server.key\n", "tls_server_config: missing one of cert"),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  min_version: TLS14\n",
        "tls_server_config.min_version: unknown TLS version TLS14",
    ),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_auth_type: RequireAnyClientCert\n  client_ca_file: ca.crt\n",
        "tls_server_config.client_auth_type: RequireAnyClientCert is not supported",
    ),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_auth_type: Sometimes\n",
        "tls_server_config.client_auth_type: unknown client authentication type Sometimes",
    ),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_auth_type: RequireAndVerifyClientCert\n",
        "tls_server_config.client_ca_file: required with client_auth_type",
    ),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_ca_file: ca.crt\n",
        "tls_server_config.client_auth_type: client CAs are given without",
    ),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: client.key\n",
        "tls_server_config.cert_file: cannot load the certificate and key",
    ),
    (
        "tls_server_config:\n  cert_file: missing.crt\n  key_file: server.key\n",
        "tls_server_config.cert_file: cannot read",
    ),
    (
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_allowed_sans: [a]\n",
        "tls_server_config.client_allowed_sans: is not supported",
    ),
    ("basic_auth_users:\n  alice: secret\n", "basic_auth_users.alice: not a bcrypt hash"),
    ("basic_auth_users: [alice]\n", "basic_auth_users: not a mapping"),
    ("http_server_config:\n  http2: maybe\n", "http_server_config.http2: not true or false"),
    ("tls_server_config: [\n", "not YAML"),
]


@pytest.mark.once
def test_a_bad_file_is_refused_at_start_naming_the_field(tmp_path, certificates):
    from zelnor_exporter import web_config

    for text, message in BAD_CONFIGS:
        with pytest.raises(web_config.WebConfigError) as refused:
            web_config.parse(text, str(tmp_path))
        assert str(refused.value).startswith(message), (text, str(refused.value))
    config = write_config(tmp_path / "web.yml", BAD_CONFIGS[0][0])
    completed = subprocess.run(
        [sys.executable, "-m", "zelnor_exporter", "--web.config.file", str(config),
         "--port", str(free_port())],
        capture_output=True, text=True, timeout=60,
    )  # fmt: skip
    assert completed.returncode == 1 and completed.stderr == ""
    assert completed.stdout.splitlines()[-1] == (
        f"zelnor-exporter: cannot use web config {config}: "
        "tls_server_config.cert_fle: unknown field"
    )
    # Inline PEM texts, as the toolkit takes them, load as the files do.
    inline = web_config.parse(
        "tls_server_config:\n"
        + "".join(
            f"  {field}: |\n" + "".join(f"    {line}\n" for line in path.read_text().splitlines())
            for field, path in (
                ("cert", certificates["server.crt"]),
                ("key", certificates["server.key"]),
                ("client_ca", certificates["ca.crt"]),
            )
        )
        + "  client_auth_type: VerifyClientCertIfGiven\n",
        str(tmp_path),
    )
    assert inline.tls.verify_mode == ssl.CERT_OPTIONAL


@pytest.mark.once
def test_prometheus_scrapes_over_tls_with_the_right_login_only(tmp_path, certificates):
    prometheus = tool("prometheus")
    config = write_config(
        tmp_path / "web.yml",
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        f"basic_auth_users:\n  prometheus: {hashed('scrape')}\n",
    )
    exporter = Exporter("--web.config.file", str(config), "--interval", "0.05")
    port = free_port()
    target = f"127.0.0.1:{exporter.port}"
    jobs = {
        "right": (str(certificates["ca.crt"]), "scrape"),
        "wrong_password": (str(certificates["ca.crt"]), "guess"),
        "no_ca": (None, "scrape"),
    }
    scrape_configs = [
        {
            "job_name": job,
            "scheme": "https",
            "tls_config": {"ca_file": ca} if ca else {},
            "basic_auth": {"username": "prometheus", "password": password},
            "static_configs": [{"targets": [target]}],
        }
        for job, (ca, password) in jobs.items()
    ]
    prometheus_config = tmp_path / "prometheus.yml"
    prometheus_config.write_text(
        json.dumps({"global": {"scrape_interval": "1s"}, "scrape_configs": scrape_configs})
    )
    server = subprocess.Popen(
        [
            prometheus,
            f"--config.file={prometheus_config}",
            f"--storage.tsdb.path={tmp_path / 'data'}",
            f"--web.listen-address=127.0.0.1:{port}",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )

    def query(expression):
        url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode(
            {"query": expression}
        )
        try:
            with urllib.request.urlopen(url, timeout=5) as reply:
                result = json.load(reply)["data"]["result"]
        except OSError:
            return None
        return {r["metric"].get("job"): float(r["value"][1]) for r in result}

    try:
        expected = {"right": 1.0, "wrong_password": 0.0, "no_ca": 0.0}
        deadline = time.monotonic() + 90
        got = None
        while time.monotonic() < deadline:
            got = query("up")
            if got == expected:
                break
            time.sleep(0.5)
        assert got == expected
        drains = query("zelnor_exporter_drains_total")
        assert drains is not None and set(drains) == {"right"} and drains["right"] > 0
    finally:
        server.terminate()
        server.wait(timeout=30)
        exporter.stop()


@pytest.mark.once
def test_the_readmes_web_config_is_one_the_exporter_takes(tmp_path, certificates):
    from zelnor_exporter import web_config

    readme = (ROOT / "README.md").read_text()
    blocks = [block.split("```", 1)[0] for block in readme.split("```yaml\n")[1:]]
    (example,) = [block for block in blocks if "tls_server_config" in block]
    example = textwrap.dedent(example)
    config = web_config.parse(example, str(tmp_path))
    assert config.tls is not None and list(config.users) == ["prometheus"]
    credentials = b64encode(b"prometheus:change me").decode()
    assert config.authorised(f"Basic {credentials}")
    assert not config.authorised(f"Basic {b64encode(b'prometheus:change it').decode()}")
