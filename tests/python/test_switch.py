"""zelnor_client's switch, in real processes: prometheus_client's classes become zelnor_client's
whatever the order, what comes too late is named, the application's own route reads the
exporter's totals back (name[] filters too), hooks left in do nothing, and a snapshot planted in
the state directory is never read."""

import http.client
import importlib.metadata
import os
import signal
import subprocess
import sys
import tarfile
import textwrap
import time
from xml.etree import ElementTree

import pytest
from support import Exporter, free_port, run_python

from zelnor_client import multiprocess
from zelnor_exporter import publish


@pytest.fixture
def directory(tmp_path):
    return tmp_path / "metrics"


@pytest.fixture
def exporter(directory):
    started = Exporter("--interval", "0.05", "--directory", str(directory))
    yield started
    started.stop()


def test_the_switch_reaches_classes_taken_before_and_names_metrics_made_before(directory):
    completed = run_python(
        """
        import warnings
        warnings.simplefilter("always")
        import prometheus_client, prometheus_client.metrics
        from prometheus_client import Counter as TakenBefore, Gauge

        early = TakenBefore("early_requests_total", "Made before the switch.", ["code"])
        early.labels("200").inc()
        Gauge("early_depth", "Made before the switch too.")

        class Mine(TakenBefore):
            pass

        class Lazy:  # as Django's lazy settings: asking for its class evaluates it
            @property
            def __class__(self):
                raise RuntimeError("evaluated by the switch")

        lazy = Lazy()

        with warnings.catch_warnings(record=True) as said:
            import zelnor_client
            zelnor_client.install()
            zelnor_client.install()  # once is enough; twice changes nothing
            import zelnor_client.metrics as ours
            late = TakenBefore("late_total", "Made with the class taken before.")
            child = early.labels("500")  # a parent of prometheus_client's own keeps its children
            early.labels("500").inc()
            mine = Mine("mine_total", "A subclass stays prometheus_client's.")
            Mine("mine2_total", "Said once per subclass.")
        for name in ("Counter", "Gauge", "Histogram", "Summary", "Info", "Enum"):
            for module in (prometheus_client, prometheus_client.metrics, prometheus_client.core):
                assert getattr(module, name) is getattr(ours, name), (module, name)
        assert type(late) is ours.Counter and type(mine) is Mine
        assert type(child).__module__ == "prometheus_client.metrics", type(child)
        from prometheus_client import generate_latest, REGISTRY
        generate_latest(REGISTRY)  # prometheus_client's own metrics still serve in-process
        for warning in said:
            print("WARNING", warning.category.__name__, warning.message)
        """,
        env={"ZELNOR_METRICS_DIR": str(directory)},
    )
    warnings = [line for line in completed.stdout.splitlines() if line.startswith("WARNING")]
    assert len(warnings) == 2, completed.stdout
    assert "2 prometheus_client metrics were made before" in warnings[0]
    assert "counter:early_requests, gauge:early_depth" in warnings[0]
    assert "Mine subclasses prometheus_client's Counter" in warnings[1]
    assert not list(directory.glob("*.db")), "prometheus_client's values wrote files"


RECORD_AND_READ = """
import os, sys, urllib.parse
import zelnor_client
zelnor_client.install()
from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest, make_wsgi_app
from prometheus_client.multiprocess import MultiProcessCollector, mark_process_dead

registry = CollectorRegistry()
MultiProcessCollector(registry)  # at import, as applications do it: no exporter is asked yet
requests = Counter("app_requests_total", "Requests.", ["code"])
latency = Histogram("app_seconds", "Latency.", buckets=(0.1, 1))
worker = os.fork()
if worker == 0:
    requests.labels("500").inc(7)  # another process's record, read by this one
    os._exit(0)
os.waitpid(worker, 0)
mark_process_dead(worker)  # the hook left in does nothing
for round in range(1, 4):
    requests.labels("200").inc()
    latency.observe(0.5)
    # Each read sees the record just before it, and the other process's.
    print(registry.get_sample_value("app_requests_total", {"code": "200"}),
          registry.get_sample_value("app_requests_total", {"code": "500"}),
          registry.get_sample_value("app_seconds_bucket", {"le": "1.0"}))

def route(query):
    started = []
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/metrics", "QUERY_STRING": query}
    body = b"".join(make_wsgi_app(registry)(environ, lambda *a: started.append(a)))
    return body.decode()

only = route(urllib.parse.urlencode({"name[]": ["app_seconds_count", "app_requests_total"]},
                                    doseq=True))
print("FILTERED", sorted(line.split(" ")[0] for line in only.splitlines() if line[:1] != "#"))
print("ZELNOR", "zelnor_" in generate_latest(registry).decode())
"""


def test_the_application_route_reads_every_process_and_its_own_latest_record(directory, exporter):
    completed = run_python(RECORD_AND_READ, env={"ZELNOR_METRICS_DIR": str(directory)})
    lines = completed.stdout.splitlines()
    assert lines[:3] == ["1.0 7.0 1.0", "2.0 7.0 2.0", "3.0 7.0 3.0"], completed.stdout
    assert lines[3] == (
        "FILTERED ['app_requests_total{code=\"200\"}', 'app_requests_total{code=\"500\"}', "
        "'app_seconds_count']"
    )
    assert lines[4] == "ZELNOR False"  # the exporter's own families are not the application's
    assert completed.stderr == "", completed.stderr


def test_without_an_exporter_the_route_says_so_at_once_and_serves_what_it_has(directory):
    completed = run_python(
        """
        import time, warnings
        import zelnor_client
        zelnor_client.install()
        from prometheus_client import CollectorRegistry, generate_latest
        from prometheus_client.multiprocess import MultiProcessCollector
        registry = CollectorRegistry()
        MultiProcessCollector(registry)
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            started = time.monotonic()
            print(repr(generate_latest(registry)), time.monotonic() - started < 2)
        print(said[0].category.__name__, said[0].message)
        """,
        env={"ZELNOR_METRICS_DIR": str(directory)},
    )
    first, second = completed.stdout.splitlines()
    assert first == "b'' True"
    assert second.startswith("SnapshotWarning zelnor_client: ") and "is it running" in second


def test_a_planted_snapshot_is_never_read(tmp_path):
    """Whoever can write the metrics directory may put anything where the snapshot lies: only a
    regular file with one link, of the state directory's owner, in a directory nobody else can
    write, within the bound, is read."""
    state = tmp_path / ".consumer"
    state.mkdir(mode=0o755)
    state.chmod(0o755)
    good = publish.header(time.monotonic_ns()) + b"# TYPE a gauge\na 1.0\n"
    snapshot = state / publish.SNAPSHOT

    def read():
        opened = multiprocess._open_state(str(tmp_path))
        if opened is None:
            return None
        fd, owner = opened
        try:
            return multiprocess._read_snapshot(fd, owner)
        finally:
            os.close(fd)

    snapshot.write_bytes(good)
    snapshot.chmod(0o644)
    assert read() is not None and read()[1] == b"# TYPE a gauge\na 1.0\n"
    elsewhere = tmp_path / "elsewhere"
    elsewhere.write_bytes(good)
    plants = ("link", "hard link", "writable", "other owner", "not a snapshot", "fifo", "directory")
    for plant in plants:
        snapshot.unlink()
        if plant == "fifo":
            os.mkfifo(snapshot)  # read without waiting for a writer, and refused
        elif plant == "directory":
            snapshot.mkdir()
        elif plant == "link":
            snapshot.symlink_to(elsewhere)
        elif plant == "hard link":
            os.link(elsewhere, snapshot)
        else:
            snapshot.write_bytes(good if plant != "not a snapshot" else b"a 1.0\n")
            snapshot.chmod(0o666 if plant == "writable" else 0o644)
            if plant == "other owner":
                if os.geteuid() != 0:
                    continue
                os.chown(snapshot, 65534, 65534)
        assert read() is None, plant
    snapshot.rmdir()
    snapshot.write_bytes(good)
    state.chmod(0o777)
    assert read() is None, "a state directory others can write"
    state.chmod(0o755)
    state.rename(tmp_path / "moved")
    state.symlink_to(tmp_path / "moved")
    assert read() is None, "a state directory that is a link"


GUNICORN_CONFIG = """
{before}
import zelnor_client
zelnor_client.install()
{after}

bind = "127.0.0.1:{port}"
workers = 2
max_requests = 5  # recycled, each time through child_exit


def child_exit(server, worker):
    {hook}
"""

APPLICATION = """
import os
from prometheus_client import Counter

SERVED = Counter("served_total", "Requests served.")


def app(environ, start_response):
    SERVED.inc()
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [str(os.getpid()).encode()]
"""


@pytest.mark.parametrize(
    "before, after, hook",
    [
        # prometheus_client's documented hook, without PROMETHEUS_MULTIPROC_DIR
        (
            "",
            "from prometheus_client import multiprocess",
            "multiprocess.mark_process_dead(worker.pid)",
        ),
        # the function taken before the switch does nothing too
        (
            "from prometheus_client.multiprocess import mark_process_dead",
            "",
            "mark_process_dead(worker.pid)",
        ),
    ],
)
def test_a_child_exit_hook_left_in_keeps_gunicorn_serving(tmp_path, before, after, hook, directory):
    pytest.importorskip("gunicorn")
    port = free_port()
    config = tmp_path / "gunicorn.conf.py"
    config.write_text(GUNICORN_CONFIG.format(before=before, after=after, port=port, hook=hook))
    (tmp_path / "app.py").write_text(APPLICATION)
    env = {**os.environ, "ZELNOR_METRICS_DIR": str(directory)}
    env.pop("PROMETHEUS_MULTIPROC_DIR", None)
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--config", str(config), "app:app"],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    served = []
    try:
        deadline = time.monotonic() + 60
        while len(served) < 40 and time.monotonic() < deadline:
            assert server.poll() is None, server.communicate()[0]
            try:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                connection.request("GET", "/")
                reply = connection.getresponse()
                if reply.status == 200:
                    served.append(int(reply.read()))
                connection.close()
            except OSError:
                time.sleep(0.05)
        assert len(served) == 40 and len(set(served)) >= 4, "workers were not recycled"
        assert server.poll() is None
    finally:
        server.send_signal(signal.SIGTERM)
        output = server.communicate(timeout=30)[0]
    assert "Traceback" not in output and "TypeError" not in output, output


def test_zelnor_run_switches_every_python_process_and_keeps_another_sitecustomize(tmp_path):
    other = tmp_path / "site"
    other.mkdir()
    (other / "sitecustomize.py").write_text("import os\nos.environ['OTHER_SITE'] = 'ran'\n")
    child = textwrap.dedent(
        """
        import os, subprocess, sys, prometheus_client, zelnor_client.metrics
        print(prometheus_client.Counter is zelnor_client.metrics.Counter, os.environ["OTHER_SITE"])
        sys.stdout.flush()
        if len(sys.argv) < 2:  # a Python process the program starts is switched too
            subprocess.run([sys.executable, __file__, "again"], check=True)
        """
    )
    (tmp_path / "child.py").write_text(child)
    completed = subprocess.run(
        [sys.executable, "-m", "zelnor_client.run", sys.executable, str(tmp_path / "child.py")],
        env={**os.environ, "PYTHONPATH": str(other), "ZELNOR_METRICS_DIR": str(tmp_path / "m")},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == ["True ran", "True ran"], completed.stdout


def test_the_route_reads_on_after_the_state_directory_is_moved_away(directory, exporter):
    """Anyone may rename `.consumer` away: the exporter takes a new one, and answers there."""
    completed = run_python(
        """
        import os, sys, time, warnings
        warnings.simplefilter("ignore")
        import zelnor_client
        zelnor_client.install()
        from prometheus_client import CollectorRegistry, Counter
        from prometheus_client.multiprocess import MultiProcessCollector
        registry = CollectorRegistry()
        MultiProcessCollector(registry)
        jobs = Counter("moved_jobs_total", "Jobs.")
        jobs.inc()
        print(registry.get_sample_value("moved_jobs_total"))
        state = os.path.join(os.environ["ZELNOR_METRICS_DIR"], ".consumer")
        os.rename(state, state + ".moved")
        jobs.inc()
        deadline = time.monotonic() + 30
        while registry.get_sample_value("moved_jobs_total") != 2.0:
            assert time.monotonic() < deadline, "no snapshot after the move"
            time.sleep(0.1)
        print(registry.get_sample_value("moved_jobs_total"), os.path.isdir(state))
        """,
        env={"ZELNOR_METRICS_DIR": str(directory)},
    )
    assert completed.stdout.splitlines() == ["1.0", "2.0 True"], completed.stdout


# prometheus_client's own tests of its metric classes, run against zelnor_client through the
# switch: only these differ, by design (docs/migrating.md): repr() names zelnor_client's module,
# and a counter summed over processes cannot be reset by one of them.
PEER_DIFFERENCES = {
    f"test_core.py::{case}::test_repr"
    for case in ("TestCounter", "TestGauge", "TestSummary", "TestHistogram", "TestInfo")
} | {"test_core.py::TestCounter::test_reset"}


@pytest.mark.once
def test_prometheus_clients_own_tests_of_its_metrics_pass_through_the_switch(tmp_path):
    version = importlib.metadata.version("prometheus_client")
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "download",
            "--quiet",
            "--no-deps",
            "--no-binary",
            ":all:",
            f"prometheus_client=={version}",
            "--dest",
            str(tmp_path),
        ],
        check=True,
    )
    (sdist,) = tmp_path.glob("prometheus_client-*.tar.gz")
    with tarfile.open(sdist) as archive:
        member = archive.getmember(f"{sdist.name[: -len('.tar.gz')]}/tests/test_core.py")
        (tmp_path / "test_core.py").write_bytes(archive.extractfile(member).read())
    (tmp_path / "conftest.py").write_text("import zelnor_client\nzelnor_client.install()\n")
    report = tmp_path / "report.xml"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            f"--junitxml={report}",
            "test_core.py",
        ],
        cwd=tmp_path,
        capture_output=True,
    )
    cases = ElementTree.parse(report).getroot().iter("testcase")
    outcomes = {
        f"test_core.py::{case.get('classname').split('.')[-1]}::{case.get('name')}": not any(
            child.tag in ("failure", "error") for child in case
        )
        for case in cases
    }
    assert len(outcomes) > 100
    assert {name for name, passed in outcomes.items() if not passed} == PEER_DIFFERENCES
