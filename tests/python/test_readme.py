"""The README's commands and examples, run as a newcomer runs them: the Python examples against a
real exporter, and the shell lines that start the exporter and an application under the switch,
with only the directory, the ports and the application's module put in. (The install line runs
in .ci/run's demo step, the web config in test_web.py.)"""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time
import urllib.request
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families
from support import METRICS_DIRECTORY, ROOT, Exporter, free_port, run_python

README = (ROOT / "README.md").read_text()
BIN = str(Path(sys.executable).parent)


def blocks(language):
    return [textwrap.dedent(b.split("```", 1)[0]) for b in README.split(f"```{language}\n")[1:]]


def block_with(language, text):
    (found,) = [block for block in blocks(language) if text in block]
    return found


def scrape(port, path="/metrics"):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as reply:
        return reply.read().decode()


def samples(text):
    return {
        (s.name, tuple(sorted(s.labels.items()))): s.value
        for family in text_string_to_metric_families(text)
        for s in family.samples
    }


def wait_for(port, done, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        got = samples(scrape(port))
        if done(got) or time.monotonic() > deadline:
            return got
        time.sleep(0.1)


def test_the_readmes_python_examples_are_served_as_they_say():
    exporter = Exporter("--interval", "0.05")
    try:
        for block in blocks("python"):
            run_python(block)
        got = exporter.scrape_until(
            lambda s: (
                s.get(("http_request_duration_seconds_count", ())) == 1
                and s.get(("queue_depth", ())) == 17
            )
        )
    finally:
        exporter.stop()
    assert got[("http_requests_total", (("code", "200"), ("method", "GET")))] == 1
    assert got[("http_request_duration_seconds_count", ())] == 1
    assert got[("jobs_done_total", (("queue", "email"),))] == 1
    assert got[("request_seconds_count", ())] == 1
    assert got[("queue_depth", ())] == 17


APP = """
import prometheus_client

SERVED = prometheus_client.Counter("readme_requests_total", "Requests served.", ["path"])


def app(environ, start_response):
    SERVED.labels(environ["PATH_INFO"]).inc()
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]
"""


def stop_group(process, timeout=30.0):
    """SIGTERM to the shell's whole process group, and waits until every process of it has
    ended (the exporter's final drain included), so that the next test's consumer finds the
    lock free."""
    os.killpg(process.pid, signal.SIGTERM)
    process.wait(timeout=timeout)
    deadline = time.monotonic() + timeout
    while True:
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            return
        assert time.monotonic() < deadline, "the README's commands did not end"
        time.sleep(0.05)


def shell_lines(block, directory, port):
    """The block's lines, with the directory and the port a test may use in their place."""
    lines = []
    for line in block.strip().splitlines():
        line = line.split("  #")[0].strip()
        line = line.replace("/run/myapp/metrics", str(directory)).replace("9464", str(port))
        lines.append(line)
    return lines


@pytest.mark.once
def test_the_readmes_switch_serves_a_prometheus_client_application_under_gunicorn(tmp_path):
    """The switch's three lines: the directory, the exporter first, then gunicorn under
    zelnor-run, whose application uses prometheus_client's own names."""
    directory, port, app_port = tmp_path / "metrics", free_port(), free_port()
    (tmp_path / "app.py").write_text(APP)
    export, exporter_line, server_line = shell_lines(
        block_with("sh", "zelnor-run"), directory, port
    )
    name, _, value = export.removeprefix("export ").partition("=")
    env = {
        **os.environ,
        "PATH": f"{BIN}:{os.environ['PATH']}",
        name: value,
        "GUNICORN_CMD_ARGS": f"--bind 127.0.0.1:{app_port}",
    }
    assert name == "ZELNOR_METRICS_DIR" and exporter_line.endswith(" &")
    exporter = subprocess.Popen(
        exporter_line.removesuffix("&"), shell=True, env=env, cwd=tmp_path, start_new_session=True
    )
    server = subprocess.Popen(
        server_line, shell=True, env=env, cwd=tmp_path, start_new_session=True
    )
    try:
        deadline = time.monotonic() + 60
        served = 0
        while served < 40:
            try:
                scrape(app_port, f"/page{served % 4}")
                served += 1
            except OSError:
                assert time.monotonic() < deadline, "gunicorn never served"
                time.sleep(0.2)
        got = wait_for(
            port,
            lambda s: sum(v for (n, _), v in s.items() if n == "readme_requests_total") == 40,
        )
    finally:
        for process in (server, exporter):
            stop_group(process)
    for page in range(4):
        assert got[("readme_requests_total", (("path", f"/page{page}"),))] == 10


def test_the_readmes_exporter_line_serves_its_landing_page_and_metrics(tmp_path):
    port = free_port()
    line = shell_lines(
        block_with("sh", "zelnor-exporter --web.listen-address :"), METRICS_DIRECTORY, port
    )
    (command,) = line
    assert re.fullmatch(r"zelnor-exporter --web\.listen-address :\d+ --directory \S+", command)
    env = {**os.environ, "PATH": f"{BIN}:{os.environ['PATH']}"}
    exporter = subprocess.Popen(
        command, shell=True, env=env, stdout=subprocess.DEVNULL, start_new_session=True
    )
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                landing = scrape(port, "/")
                break
            except OSError:
                assert time.monotonic() < deadline and exporter.poll() is None
                time.sleep(0.1)
        assert 'href="/metrics"' in landing
        assert ("zelnor_exporter_drains_total", ()) in samples(scrape(port))
    finally:
        stop_group(exporter)
