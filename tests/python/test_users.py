"""Users of one shared metrics directory (0777): what another user's processes declare and record
there never changes what is served for the application, nor grows the exporter without bound."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest
from support import Exporter, free_port

AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")


@pytest.fixture
def shared():
    """A metrics directory anyone may write, as the default one is."""
    probe = subprocess.run([*AS_NOBODY, sys.executable, "-c", "import zelnor_client._native"])
    if probe.returncode != 0:  # an interpreter under /root, say
        pytest.skip("the user nobody cannot run this interpreter's zelnor_client")
    base = Path(tempfile.mkdtemp(prefix="zelnor-users-", dir="/dev/shm"))
    base.chmod(0o755)
    directory = base / "metrics"
    directory.mkdir()
    directory.chmod(0o777)
    (directory / ".producers").mkdir()
    (directory / ".producers").chmod(0o1777)
    yield directory
    shutil.rmtree(base)


def rejected(got, reason):
    return got.get(("zelnor_exporter_rejected_entries_total", (("reason", reason),)), 0)


FAMILIES = """
import os, sys
import zelnor_client, zelnor_core
counter = zelnor_client.Counter("owned", "Requests served.", ["route"])
state = zelnor_client.Enum("owned_state", "What it does.", states=["up", "down"])
latest = zelnor_client.Gauge("owned_latest", "Its latest value.", multiprocess_mode="mostrecent")
"""

APPLICATION = (
    FAMILIES
    + """
for amount in (100, 1):
    counter.labels("/").inc(amount)
    state.state("up")
    latest.set(amount)
    print("recorded", flush=True)
    sys.stdin.readline()
"""
)

# The ids this process gave its families (family_ids) and their series (series_ids), by name.
OWN_IDS = """
producers = os.path.join(os.environ["ZELNOR_METRICS_DIR"], ".producers")
(mine,) = [name for name in os.listdir(producers) if name.startswith(f"{os.getpid()}.")]
with open(os.path.join(producers, mine)) as declarations:
    fields = [line.split("\\t") for line in declarations.read().splitlines()]
family_ids = {f[3]: int(f[1]) for f in fields if f[0] == "F"}
names = {str(i): name for name, i in family_ids.items()}
series_ids = {names[f[2]]: int(f[1]) for f in fields if f[0] == "S"}
"""

# Declares the application's families exactly as it does, then clears the counter (when told)
# and writes the Enum and the gauge, with the greatest key there is too.
INTRUDER = (
    FAMILIES
    + """
if sys.argv[1:] == ["clear"]:
    counter.clear()
state.state("down")
latest.set(666)
"""
    + OWN_IDS
    + """
for op, name, value in ((b"e", "owned_state", 1), (b"g", "owned_latest", 666)):
    zelnor_core.set_gauge(b"\\x01%s%x:ffffffffffffffff" % (op, series_ids[name]), value)
"""
)


def test_another_users_declarations_and_keys_far_ahead_change_nothing_served(shared):
    """nobody declares the application's families as it does, clears its counter and writes its
    Enum and mostrecent gauge with the greatest key, then exits; root (whom the families admit)
    writes such keys too. The application's next records are served as it made them."""
    env = {**os.environ, "ZELNOR_METRICS_DIR": str(shared)}
    exporter = Exporter("--interval", "0.05", "--directory", str(shared))
    app = subprocess.Popen(
        [sys.executable, "-c", APPLICATION],
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert app.stdout.readline() == "recorded\n"
        assert exporter.scrape_until(lambda got: got.get(("owned_total", (("route", "/"),))) == 100)
        subprocess.run([*AS_NOBODY, sys.executable, "-c", INTRUDER, "clear"], env=env, check=True)
        # Every record of nobody's is refused: the clear, two writes, two with the greatest key.
        exporter.scrape_until(
            lambda got: (
                rejected(got, "declaration_conflict") >= 5
                or got.get(("owned_total", (("route", "/"),))) != 100
            )
        )
        subprocess.run([sys.executable, "-c", INTRUDER], env=env, check=True)
        exporter.scrape_until(
            lambda got: rejected(got, "key_ahead") >= 2 or got.get(("owned_latest", ())) == 666
        )
        app.stdin.write("\n")
        app.stdin.flush()
        assert app.stdout.readline() == "recorded\n"
        expected = {
            ("owned_total", (("route", "/"),)): 101,
            ("owned_state", (("owned_state", "up"),)): 1,
            ("owned_state", (("owned_state", "down"),)): 0,
            ("owned_latest", ()): 1,
        }
        got = exporter.scrape_until(lambda got: all(got.get(k) == v for k, v in expected.items()))
        assert {key: got.get(key) for key in expected} == expected
        assert rejected(got, "declaration_conflict") >= 5
        assert rejected(got, "key_ahead") == 2
    finally:
        app.stdin.close()
        app.wait(timeout=30)
        exporter.stop()


GUNICORN_APPLICATION = """
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

GUNICORN_CONFIG = """
bind = "127.0.0.1:{port}"
workers = 2
preload_app = True
user = "nobody"
group = 65534
"""


@pytest.mark.once
def test_a_root_master_and_its_workers_of_a_service_user_share_their_families(shared):
    """gunicorn's master, as root, imports the application and declares; its workers drop to
    nobody and declare the same families again after the fork: everything is served, as one
    set of series."""
    pytest.importorskip("gunicorn")
    import http.client

    from prometheus_client.parser import text_string_to_metric_families

    base = shared.parent
    (base / "application.py").write_text(textwrap.dedent(GUNICORN_APPLICATION))
    port = free_port()
    (base / "gunicorn.conf.py").write_text(GUNICORN_CONFIG.format(port=port))
    exporter = Exporter("--interval", "0.05", "--directory", str(shared))
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--config", "gunicorn.conf.py", "application:app"],
        cwd=base,
        env={**os.environ, "HOME": str(base), "ZELNOR_METRICS_DIR": str(shared)},
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )

    def request():
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            connection.request("GET", "/hello")
            return connection.getresponse().read()
        except (OSError, http.client.HTTPException):
            return None
        finally:
            connection.close()

    try:
        deadline = time.monotonic() + 30
        while request() is None:
            assert server.poll() is None, server.communicate()[0]
            assert time.monotonic() < deadline, "gunicorn did not start serving"
            time.sleep(0.1)
        replies = [request() for _ in range(40)]
        assert set(replies) == {b"65534"}  # served by workers as nobody
        expected = {
            ("preloaded_total", ()): 1,
            ("served_total", (("route", "/hello"),)): 41,
            ("serving_uid", ()): 65534,
        }
        got = exporter.scrape_until(lambda got: all(got.get(k) == v for k, v in expected.items()))
        assert {key: got.get(key) for key in expected} == expected
        assert rejected(got, "declaration_conflict") == 0
        samples = [
            (sample.name, tuple(sorted(sample.labels.items())))
            for family in text_string_to_metric_families(exporter.scrape_text())
            for sample in family.samples
        ]
        assert len(samples) == len(set(samples))
    finally:
        server.kill()
        server.wait()
        exporter.stop()


# Declares, in a file of its own that it holds, about 15 MiB of series: half of them of the
# application's family (refused), half of a family of its own, over and over the same 1,000.
FLOOD = (
    FAMILIES
    + """
from zelnor_client import _native
flood = zelnor_client.Counter("flood", "Its own.", ["n"])
"""
    + OWN_IDS
    + """
next_id = 1 << 40
for family in ("owned", "flood"):
    for _ in range(7):
        lines = [
            f"S\\t{next_id + i}\\t{family_ids[family]}\\t{i % 1000}\\n" for i in range(50_000)
        ]
        next_id += len(lines)
        _native.declare("".join(lines).encode())
print("written", flush=True)
sys.stdin.readline()
"""
)


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        line = next(line for line in status if line.startswith("VmRSS:"))
    return int(line.split()[1]) / 1024


def test_declaration_files_of_another_user_keep_the_exporter_bounded(shared):
    """Eight processes of nobody's hold declaration files of about 15 MiB each, of refused series
    and of series of their own: the exporter keeps what one user may, refuses the rest with a
    reason it counts, and serves the application's series, old and new."""
    env = {**os.environ, "ZELNOR_METRICS_DIR": str(shared)}
    budget = 16 * 1024 * 1024
    exporter = Exporter(
        "--interval", "0.05", "--directory", str(shared), "--max-declared-mib", "16"
    )
    app = subprocess.Popen(
        [sys.executable, "-c", APPLICATION],
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    floods = []
    try:
        assert app.stdout.readline() == "recorded\n"
        assert exporter.scrape_until(lambda got: got.get(("owned_total", (("route", "/"),))) == 100)
        before = resident_mib(exporter.process.pid)
        for _ in range(8):
            floods.append(
                subprocess.Popen(
                    [*AS_NOBODY, sys.executable, "-c", FLOOD],
                    env=env,
                    stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE,
                    text=True,
                )
            )
        assert all(flood.stdout.readline() == "written\n" for flood in floods)
        # Read to the end once what is refused for the budget stops growing.
        counts = [-1.0]
        while counts[-1] < 8 * 350_000 - budget // 64 or counts[-1] != counts[-3:][0]:
            time.sleep(0.5)
            counts.append(rejected(exporter.scrape(), "user_budget"))
            if len(counts) > 240:
                break
        grown = resident_mib(exporter.process.pid) - before
        app.stdin.write("\n")
        app.stdin.flush()
        assert app.stdout.readline() == "recorded\n"
        got = exporter.scrape_until(lambda got: got.get(("owned_total", (("route", "/"),))) == 101)
        assert got.get(("owned_total", (("route", "/"),))) == 101
        assert got.get(("owned_latest", ())) == 1
        assert counts[-1] >= 8 * 350_000 - budget // 64, counts
        assert grown < 3 * budget / 2**20, f"the exporter grew by {grown:.0f} MiB"
    finally:
        for process in (app, *floods):
            process.stdin.close()
            process.wait(timeout=30)
        exporter.stop()
