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

import pytest
from support import METRICS_DIRECTORY, Exporter, free_port, queue_files_left

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
