"""A real prefork server records and the exporter serves exactly what it recorded.

gunicorn comes from PyPI; .ci/run installs it. Its workers are forked from a master that imported
the application (and recorded) first, are recycled after a few requests, and one is killed
mid-run: none of that may lose or repeat a record, and every queue is let go once they are gone.
"""

import concurrent.futures
import contextlib
import http.client
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
from support import METRICS_DIRECTORY, ROOT, Exporter, free_port, queue_files_left

pytest.importorskip("gunicorn")

APPLICATION = """
import os
import zelnor_core

zelnor_core.inc_counter("{name}preloads", 1)  # in the master, before any worker is forked


def app(environ, start_response):
    zelnor_core.inc_counter("{name}requests", 1)
    zelnor_core.observe_histogram("{name}seconds", 0.25)
    zelnor_core.set_gauge("{name}worker", os.getpid())
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [str(os.getpid()).encode()]
"""


def request(port):
    """The pid of the worker that served one request, or None if the worker died under it."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", "/")
        reply = connection.getresponse()
        return int(reply.read()) if reply.status == 200 else None
    except (OSError, http.client.HTTPException, ValueError):
        return None
    finally:
        connection.close()


def wait_until_serving(server, port):
    deadline = time.monotonic() + 30
    while request(port) is None:
        assert server.poll() is None, server.communicate()[0]
        assert time.monotonic() < deadline, "gunicorn did not start serving"
        time.sleep(0.1)


# A sync worker serves on the thread that forked it (gunicorn makes it gthread if given threads).
@pytest.mark.parametrize("worker", [["sync"], ["gthread", "--threads", "4"]])
def test_recycled_and_killed_workers_of_a_preloaded_gunicorn_lose_nothing(tmp_path, prefix, worker):
    name = prefix.replace(".", "_")
    (tmp_path / "application.py").write_text(textwrap.dedent(APPLICATION.format(name=name)))
    exporter = Exporter("--interval", "0.05", "--buckets", "0.5", "--gauge-mode", "all")
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--preload", "--bind", f"127.0.0.1:{port}"]
        + ["--workers", "3", "--worker-class", *worker]
        + ["--max-requests", "40", "--max-requests-jitter", "10", "application:app"],
        cwd=tmp_path,
        env={**os.environ, "HOME": str(tmp_path)},  # where newer releases put a control socket
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    try:
        wait_until_serving(server, port)  # one request served
        with concurrent.futures.ThreadPoolExecutor(8) as clients:
            served = list(clients.map(lambda _: request(port), range(300)))
            with contextlib.suppress(ProcessLookupError):  # recycled already
                os.kill(served[-1], signal.SIGKILL)
            served += clients.map(lambda _: request(port), range(300))
        assert None not in served  # no worker died under a request
        total = 1 + len(served)  # and the first, above
        assert len(set(served)) > 3  # workers were recycled
        # Each worker records into queues of its own, never into those it inherited. A worker's
        # series leaves when it is recycled: one more request gives a live worker one.
        for _ in range(20):
            got = exporter.scrape_until(
                lambda s, n=total: s.get((f"{name}requests_total", ())) == n
            )
            workers = {pid: v for (sample, pid), v in got.items() if sample == f"{name}worker"}
            if workers:
                break
            assert request(port) is not None
            total += 1
        assert workers and all(int(pid[0][1]) == value for pid, value in workers.items())
        server.send_signal(signal.SIGTERM)
        server.communicate(timeout=60)

        def settled(got):
            return (
                got.get((f"{name}requests_total", ())) == total
                and got.get(("zelnor_exporter_queues", (("kind", "counter"),))) == 0
            )

        got = exporter.scrape_until(settled)
        assert not any(sample == f"{name}worker" for sample, _ in got)  # gone with the workers
        assert got[(f"{name}preloads_total", ())] == 1
        assert got[(f"{name}requests_total", ())] == total
        assert got[(f"{name}seconds_bucket", (("le", "0.5"),))] == total
        for kind in ("counter", "histogram", "gauge"):
            assert got[("zelnor_dropped_records_total", (("kind", kind),))] == 0
            assert got[("zelnor_exporter_queues", (("kind", kind),))] == 0
        assert queue_files_left(METRICS_DIRECTORY) == []
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        exporter.stop(signal.SIGKILL)


def get(port, path):
    """The status of one GET, or None if the worker died under it."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", path)
        reply = connection.getresponse()
        reply.read()
        return reply.status
    except (OSError, http.client.HTTPException):
        return None
    finally:
        connection.close()


def test_the_example_application_under_gunicorn_never_sees_a_counter_go_down(tmp_path):
    """examples/wsgi_app.py with examples/gunicorn.conf.py, as the README runs them, with workers
    recycled every few requests and one killed: every request is counted once, the HELP lines are
    the application's, and no scrape ever shows a total lower than the one before."""
    port = free_port()
    exporter = Exporter("--interval", "0.05")
    examples = ROOT / "examples"
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--config", str(examples / "gunicorn.conf.py")]
        + ["--chdir", str(examples), "--bind", f"127.0.0.1:{port}", "--workers", "3"]
        + ["--max-requests", "25", "--max-requests-jitter", "5", "wsgi_app:app"],
        env={**os.environ, "HOME": str(tmp_path)},
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    hello = ("http_requests_total", (("code", "200"), ("method", "GET"), ("route", "/hello")))
    seen = []
    try:
        deadline = time.monotonic() + 30
        while get(port, "/hello") != 200:
            assert server.poll() is None, server.communicate()[0]
            assert time.monotonic() < deadline, "gunicorn did not start serving"
            time.sleep(0.1)
        total = 1
        with concurrent.futures.ThreadPoolExecutor(6) as clients:
            for round_ in range(4):
                statuses = list(clients.map(lambda _: get(port, "/hello"), range(100)))
                total += statuses.count(200)
                seen.append(exporter.scrape().get(hello, 0.0))
                if round_ == 1:  # one worker killed, whatever it is doing
                    children = Path(f"/proc/{server.pid}/task/{server.pid}/children").read_text()
                    with contextlib.suppress(ProcessLookupError, IndexError):
                        os.kill(int(children.split()[0]), signal.SIGKILL)
        got = exporter.scrape_until(lambda s: s.get(hello) == total)
        seen.append(got.get(hello))
        assert seen == sorted(seen) and seen[-1] == total > 390
        assert got[("http_request_duration_seconds_count", (("route", "/hello"),))] == total
        assert got[("app_build_info", (("version", "1.0.0"),))] == 1.0
        assert "# HELP http_requests_total HTTP requests handled." in exporter.scrape_text()
        # The live gauge sums the requests in flight of live workers only: none now.
        got = exporter.scrape_until(lambda s: s.get(("http_requests_in_flight", ())) == 0.0)
        assert got[("http_requests_in_flight", ())] == 0.0
    finally:
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
            server.communicate(timeout=60)
        exporter.stop(signal.SIGKILL)


USER_APPLICATION = """
import os
import zelnor_client
preloaded = zelnor_client.Counter("preloaded", "Imports of the application, in the master.")
served = zelnor_client.Counter("served", "Requests served.", ["route"])
server = zelnor_client.Gauge("serving_uid", "The last user.", multiprocess_mode="mostrecent")
preloaded.inc()
def app(environ, start_response):
    served.labels(environ["PATH_INFO"]).inc()
    server.set(os.getuid())
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [str(os.getuid()).encode()]
"""


@pytest.mark.once
def test_a_root_master_and_its_workers_of_a_service_user_share_their_families(shared_directory):
    """The master, as root, imports the application and declares; its workers drop to nobody
    and declare the same families again after the fork: everything is served, one set of series
    (a family belongs to the user who declared it first, and to its children's users)."""
    port = free_port()
    base = shared_directory.parent
    (base / "application.py").write_text(USER_APPLICATION)
    (base / "gunicorn.conf.py").write_text(
        f'bind = "127.0.0.1:{port}"\nworkers = 2\npreload_app = True\n'
        'user = "nobody"\ngroup = 65534\n'
    )
    exporter = Exporter("--interval", "0.05", "--directory", str(shared_directory))
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--config", "gunicorn.conf.py", "application:app"],
        cwd=base,
        env={**os.environ, "HOME": str(base), "ZELNOR_METRICS_DIR": str(shared_directory)},
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    try:
        wait_until_serving(server, port)
        assert {request(port) for _ in range(40)} == {65534}  # workers as nobody
        expected = {
            ("preloaded_total", ()): 1,
            ("served_total", (("route", "/"),)): 41,
            ("serving_uid", ()): 65534,
        }
        got = exporter.scrape_until(lambda got: all(got.get(k) == v for k, v in expected.items()))
        assert {key: got.get(key) for key in expected} == expected
        assert not any(name == "zelnor_exporter_rejected_entries_total" for name, _ in got)
        lines = [line for line in exporter.scrape_text().splitlines() if not line.startswith("#")]
        assert len(lines) == len(set(lines))
    finally:
        server.kill()
        server.communicate()
        exporter.stop()
