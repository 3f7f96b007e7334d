"""zelnor_client's declaration channel under churn, races and odd values: what every process
declared and recorded is served, each series apart, as prometheus_client serves it."""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import prometheus_client.openmetrics.parser
import pytest
from support import Exporter

CHURN = """
import os, sys
import zelnor_client
workers, parallel = int(sys.argv[1]), int(sys.argv[2])
counter = zelnor_client.Counter("churned", "Workers that lived a moment.")
gauge = zelnor_client.Gauge("churned_gauge", "One each.", multiprocess_mode="sum")
running = 0
for _ in range(workers):
    if running == parallel:
        os.wait()
        running -= 1
    if os.fork() == 0:
        counter.inc()
        gauge.set(1)
        os._exit(0)
    running += 1
while running:
    os.wait()
    running -= 1
print("done", flush=True)
"""


def rejected(got, reason):
    return got.get(("zelnor_exporter_rejected_entries_total", (("reason", reason),)), 0)


@pytest.mark.once
def test_every_record_of_thousands_of_short_lived_workers_is_served(tmp_path):
    """Prefork servers recycle workers: each declares in a file of its own, records and ends at
    once, often before the exporter attached its queues. None of its records is lost."""
    directory = tmp_path / "metrics"
    workers = 3000
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    try:
        subprocess.run(
            [sys.executable, "-c", CHURN, str(workers), "4"],
            env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
            check=True,
            timeout=600,
        )
        got = exporter.scrape_until(
            lambda got: got.get(("churned_total", ())) == workers, timeout=60
        )
        assert got.get(("churned_total", ())) == workers
        assert rejected(got, "undeclared_series") == 0
    finally:
        exporter.stop()


REFRESH = """
import sys, time
import zelnor_client
counter = zelnor_client.Counter("refreshed", "Cleared, then counted.", ["route"])
histogram = zelnor_client.Histogram("refreshed_seconds", "Removed, then observed.", ["route"])
counter.labels("/a").inc(3)
counter.labels("/b").inc(4)
histogram.labels("/a").observe(0.5)
time.sleep(0.5)  # folded, several passes ago
counter.clear()
counter.labels("/a").inc(5)
counter.labels("/b").inc(4)
counter.remove("/b")
counter.labels("/b").inc(2.5)
histogram.remove("/a")
histogram.labels("/a").observe(2)
print("recorded", flush=True)
sys.stdin.readline()
"""


def test_a_record_after_a_removal_on_one_thread_is_kept(tmp_path):
    """One thread's calls take effect in the order it made them: a series removed, then recorded
    again, is served with what was recorded after the removal."""
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    process = subprocess.Popen(
        [sys.executable, "-c", REFRESH],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout.readline() == "recorded\n"
        expected = {
            ("refreshed_total", (("route", "/a"),)): 5,
            ("refreshed_total", (("route", "/b"),)): 2.5,
            ("refreshed_seconds_count", (("route", "/a"),)): 1,
            ("refreshed_seconds_sum", (("route", "/a"),)): 2,
        }
        got = exporter.scrape_until(lambda got: all(got.get(k) == v for k, v in expected.items()))
        assert {key: got.get(key) for key in expected} == expected
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        exporter.stop()


def served_while(tmp_path, script, done):
    """What an exporter serves while a process that ran `script` lives: a scrape once `done`
    says so (or its time is up), and the OpenMetrics text of one more."""
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    process = subprocess.Popen(
        [sys.executable, "-c", script + '\nprint("recorded", flush=True)\nsys.stdin.readline()\n'],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout.readline() == "recorded\n"
        return exporter.scrape_until(done), exporter.scrape_text(openmetrics=True)
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        exporter.stop()


EVERY_KIND = """
import sys
import zelnor_client
requests = zelnor_client.Counter("every_requests", "Counted.", ["route"])
requests.labels("/a").inc()
requests.labels("/a").inc(2.5)
requests.labels("/gone").inc()
requests.remove("/gone")
requests.labels("/gone").inc(4)  # made again: a stamp, and served again
workers = zelnor_client.Gauge("every_workers", "Summed.", ["q"], multiprocess_mode="livesum")
workers.labels("x").set(2)
workers.clear()
workers.labels("y").set(2)
workers.labels("y").inc()
workers.labels("y").dec(0.5)
level = zelnor_client.Gauge("every_level", "Latest.", multiprocess_mode="mostrecent")
level.set(7)
latency = zelnor_client.Histogram("every_seconds", "Observed.", buckets=(1, 2))
latency.observe(1.5)
with latency.time():
    pass
sizes = zelnor_client.Summary("every_bytes", "Observed.")
sizes.observe(10)
build = zelnor_client.Info("every_build", "Set.")
build.info({"version": "1"})
phase = zelnor_client.Enum("every_phase", "Set.", states=["a", "b"])
phase.state("b")
"""


def test_the_exporter_folds_every_kind_of_record_zelnor_client_writes(tmp_path):
    """Each operation of the record names (counter, observation, gauge of two modes, info, enum,
    removal, clear, a series made again) is folded as its declaration says, and none refused."""
    expected = {
        ("every_requests_total", (("route", "/a"),)): 3.5,
        ("every_requests_total", (("route", "/gone"),)): 4,
        ("every_workers", (("q", "y"),)): 2.5,
        ("every_level", ()): 7,
        ("every_seconds_bucket", (("le", "1.0"),)): 1,
        ("every_seconds_bucket", (("le", "2.0"),)): 2,
        ("every_seconds_bucket", (("le", "+Inf"),)): 2,
        ("every_seconds_count", ()): 2,
        ("every_bytes_count", ()): 1,
        ("every_bytes_sum", ()): 10,
        ("every_build_info", (("version", "1"),)): 1,
        ("every_phase", (("every_phase", "a"),)): 0,
        ("every_phase", (("every_phase", "b"),)): 1,
    }

    def served(got):  # a timed block's time is whatever it took
        return {
            k: v
            for k, v in got.items()
            if k[0].startswith("every_") and k[0] != "every_seconds_sum"
        }

    got, _ = served_while(tmp_path, EVERY_KIND, lambda got: served(got) == expected)
    assert served(got) == expected
    assert got[("every_seconds_sum", ())] >= 1.5
    refused = {k: v for k, v in got.items() if k[0] == "zelnor_exporter_rejected_entries_total"}
    assert not any(refused.values()), refused


NUL_VALUES = """
import sys
import zelnor_client
counter = zelnor_client.Counter("joined", "Label values with NUL bytes.", ["a", "b"])
counter.labels("p\\0q", "r").inc(1000)
counter.labels("p", "q\\0r").inc(2000)
"""


def test_label_values_that_differ_where_a_nul_byte_lies_are_two_series(tmp_path):
    got, _ = served_while(
        tmp_path,
        NUL_VALUES,
        lambda got: got.get(("joined_total", (("a", "p"), ("b", "q\0r")))) == 2000,
    )
    assert {k: v for k, v in got.items() if k[0] == "joined_total"} == {
        ("joined_total", (("a", "p\0q"), ("b", "r"))): 1000,
        ("joined_total", (("a", "p"), ("b", "q\0r"))): 2000,
    }


ODD_OBSERVATIONS = """
import sys
import zelnor_client
nan = zelnor_client.Histogram("odd_seconds", "A NaN observed.", buckets=(1, 2))
nan.observe(float("nan"))
nan.observe(1.5)
below = zelnor_client.Histogram("below", "Buckets below 0.", buckets=(-1, 0, 1))
below.observe(-3)
"""


def test_nan_and_negative_observations_are_served_as_prometheus_client_serves_them(tmp_path):
    """A NaN observation counts in no bucket; buckets below 0 never make a scrape that
    prometheus_client's OpenMetrics parser refuses."""
    got, text = served_while(
        tmp_path,
        ODD_OBSERVATIONS,
        lambda got: (
            got.get(("below_bucket", (("le", "+Inf"),))) == 1
            and got.get(("odd_seconds_bucket", (("le", "+Inf"),))) is not None
        ),
    )
    # As prometheus_client counts them: the NaN in no bucket, and so not in the count; nor in
    # the sum, where it would make every later scrape one that OpenMetrics parsers refuse.
    assert got[("odd_seconds_bucket", (("le", "1.0"),))] == 0
    assert got[("odd_seconds_bucket", (("le", "2.0"),))] == 1
    assert got[("odd_seconds_count", ())] == 1
    assert got[("odd_seconds_sum", ())] == 1.5
    # The whole scrape parses; buckets below 0 come without _sum, and so without _count.
    parsed = {
        family.name: family
        for family in prometheus_client.openmetrics.parser.text_string_to_metric_families(text)
    }
    assert {sample.name for sample in parsed["below"].samples} == {"below_bucket"}


PLANTED_APP = """
import os, sys, time
import zelnor_client
counter = zelnor_client.Counter("planted", "Counted beside a planted .producers.")
counter.inc()
pid = os.fork()
if pid == 0:
    for _ in range(500):
        counter.inc()
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
print(zelnor_client._native.declaration_failures() > 0, flush=True)
sys.stdin.readline()  # the planted .producers is gone
for _ in range(100):
    counter.inc()
    time.sleep(0.05)
print("recorded", flush=True)
sys.stdin.readline()
"""


def said(process):
    """The next line a process printed that is not an "ERROR: " line."""
    while (line := process.stdout.readline()).startswith("ERROR: "):
        pass
    return line


def plant_directory(path):
    path.mkdir(mode=0o755)  # root's: the application, as nobody, cannot write into it


AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
PLANTS = {
    "link": lambda path: path.symlink_to(path.parent.parent),
    "file": lambda path: path.write_text("planted"),
    "directory": plant_directory,
}


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
@pytest.mark.parametrize("plant", PLANTS)
def test_a_planted_producers_directory_never_makes_recording_raise(plant):
    """Another user plants .producers in a shared directory: the application records on, keeps
    its declarations, and writes them once it can."""
    probe = subprocess.run([*AS_NOBODY, sys.executable, "-c", "import zelnor_client._native"])
    if probe.returncode != 0:  # an interpreter under /root, say
        pytest.skip("the user nobody cannot run this interpreter's zelnor_client")
    base = Path(tempfile.mkdtemp(prefix="zelnor-planted-", dir="/dev/shm"))
    try:
        base.chmod(0o755)
        directory = base / "metrics"
        directory.mkdir()
        directory.chmod(0o777)
        PLANTS[plant](directory / ".producers")
        exporter = Exporter("--interval", "0.05", "--directory", str(directory))
        app = subprocess.Popen(
            [*AS_NOBODY, sys.executable, "-c", PLANTED_APP],
            env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert said(app) == "True\n"
            planted = directory / ".producers"
            if planted.is_dir() and not planted.is_symlink():
                planted.rmdir()
            else:
                planted.unlink()
            app.stdin.write("\n")
            app.stdin.flush()
            assert said(app) == "recorded\n"
            got = exporter.scrape_until(lambda got: got.get(("planted_total", ()), 0) > 0)
            assert got.get(("planted_total", ()), 0) > 0
        finally:
            app.stdin.close()
            app.wait(timeout=30)
            exporter.stop()
        assert app.returncode == 0
    finally:
        shutil.rmtree(base)


@pytest.mark.once
def test_a_sum_gauge_counts_every_ended_worker(tmp_path):
    """Ended processes stay in a gauge of the sum, min, max and mostrecent modes, however many."""
    directory = tmp_path / "metrics"
    workers = 1500  # past what the all mode keeps of ended processes
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    try:
        subprocess.run(
            [sys.executable, "-c", CHURN, str(workers), "4"],
            env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
            check=True,
            timeout=600,
        )
        got = exporter.scrape_until(
            lambda got: got.get(("churned_gauge", ())) == workers, timeout=60
        )
        assert got.get(("churned_gauge", ())) == workers, {
            k: v for k, v in got.items() if "rejected" in k[0] and v
        }
    finally:
        exporter.stop()


RECREATED = """
import glob, os, sys, time
import zelnor_client
from zelnor_client import _native
counter = zelnor_client.Counter("recreated", "Cleared, then counted.", ["q"])
gauge = zelnor_client.Gauge("recreated_gauge", "Set.", ["q"], multiprocess_mode="livesum")
info = zelnor_client.Info("recreated_build", "Cleared, then set.", ["q"])
values = [f"{i:02d}" + "v" * 4000 for i in range(50)]
(file,) = glob.glob(os.environ["ZELNOR_METRICS_DIR"] + "/.producers/*[0-9a-f]")  # not its .state
for refresh in range(100):  # each declared anew would be 20 MiB of lines, past a file's bound
    counter.clear()
    gauge.clear()
    info.clear()
    for i, value in enumerate(values):
        counter.labels(value).inc(refresh + i)
        gauge.labels(value).set(refresh + i + 1)
        info.labels(value).info({"build": str(refresh % 3)})
    time.sleep(1 if refresh == 98 else 0.02)  # drained, so that the last refresh is all kept
gauge.clear()
gauge.labels(values[0])  # made again, never set: 0, as a label set made anew
print(os.path.getsize(file), _native.declaration_failures(), flush=True)
sys.stdin.readline()  # what the first refresh served is gone
counter.remove(values[1])
counter.remove(values[2])
print("removed", flush=True)
sys.stdin.readline()  # both removals are folded
if os.fork() == 0:
    counter.labels(values[1]).inc(7)  # made again in a child, whose file lacks the series
    counter.labels(values[3]).inc(1)
    print("child", flush=True)
    sys.stdin.readline()
    os._exit(0)
sys.stdin.readline()
"""


def test_a_label_set_made_again_after_its_removal_takes_its_series_again(tmp_path):
    """A label set cleared and made again, refresh after refresh, adds nothing to its process's
    declaration file; what each refresh recorded after the clear is what is served, and a forked
    child serves a series made again there without bringing back one removed."""
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    process = subprocess.Popen(
        [sys.executable, "-c", RECREATED],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    values = [f"{i:02d}" + "v" * 4000 for i in range(50)]

    def counted(i):
        return ("recreated_total", (("q", values[i]),))

    try:
        size, failures = map(int, said(process).split())
        assert failures == 0
        assert size < 1024 * 1024
        expected = {counted(i): 99 + i for i in range(50)}
        expected |= {("recreated_gauge", (("q", values[0]),)): 0}
        expected |= {("recreated_build_info", (("build", "0"), ("q", v))): 1 for v in values}

        def served(got):
            return {k: v for k, v in got.items() if k[0].startswith("recreated")}

        got = exporter.scrape_until(lambda got: served(got) == expected)
        assert served(got) == expected
        process.stdin.write("\n")
        process.stdin.flush()
        assert said(process) == "removed\n"
        got = exporter.scrape_until(lambda got: counted(1) not in got and counted(2) not in got)
        assert counted(1) not in got and counted(2) not in got
        process.stdin.write("\n")
        process.stdin.flush()
        assert said(process) == "child\n"
        expected = {counted(1): 7, counted(2): None, counted(3): 103, counted(4): 103}
        got = exporter.scrape_until(lambda got: got.get(counted(3)) == 103)
        assert {key: got.get(key) for key in expected} == expected
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        exporter.stop()


SET_ONCE = """
import sys
import zelnor_client
alive = zelnor_client.Gauge("set_once", "Set once.", multiprocess_mode="livesum")
alive.set(1)
build = zelnor_client.Info("set_once_build", "Set once.")
build.info({"version": "1.2.3"})
state = zelnor_client.Enum("set_once_state", "Set once.", states=["starting", "running"])
state.state("running")
queues = zelnor_client.Gauge("set_once_queue", "One removed.", ["queue"])
queues.labels("kept").set(4)
queues.labels("gone").set(5)
queues.remove("gone")
routes = zelnor_client.Counter("set_once_routes", "Cleared, one made again.", ["route"])
routes.labels("/old").inc()
routes.labels("/new").inc(2)
routes.clear()
routes.labels("/new").inc(3)
"""


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_a_restarted_exporter_serves_what_a_live_process_set_once(tmp_path, how):
    """A process that set its gauge, Info and Enum once and removed series writes nothing more;
    the exporter that starts after one was stopped or killed serves them as that one did."""
    directory = tmp_path / "metrics"
    process = subprocess.Popen(
        [
            sys.executable,
            "-c",
            SET_ONCE + '\nprint("recorded", flush=True)\nsys.stdin.readline()\n',
        ],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    expected = {
        ("set_once", ()): 1,
        ("set_once_build_info", (("version", "1.2.3"),)): 1,
        ("set_once_state", (("set_once_state", "starting"),)): 0,
        ("set_once_state", (("set_once_state", "running"),)): 1,
        ("set_once_queue", (("pid", str(process.pid)), ("queue", "kept"))): 4,
        ("set_once_routes_total", (("route", "/new"),)): 3,
    }

    def served(got):
        return {k: v for k, v in got.items() if k[0].startswith("set_once")}

    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    try:
        assert process.stdout.readline() == "recorded\n"
        got = exporter.scrape_until(lambda got: served(got) == expected)
        assert served(got) == expected
        exporter.stop(how)
        exporter = Exporter("--interval", "0.05", "--directory", str(directory))
        # A counter starts again from what the rings still hold, as after any exporter restart.
        expected[("set_once_routes_total", (("route", "/new"),))] = 0
        got = exporter.scrape_until(lambda got: served(got) == expected)
        assert served(got) == expected
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        exporter.stop()


BULK = """
import sys
import zelnor_client
routes = zelnor_client.Counter("bulk_routes", "Declared in bulk.", ["route"])
children = [routes.labels(f"/a/route/that/takes/some/room/{i}") for i in range(60000)]
for child in children[-100:]:
    child.inc()
print("recorded", flush=True)
sys.stdin.readline()
routes.labels("x" * 3000000).inc()  # a line longer than any the exporter takes
behind = zelnor_client.Counter("bulk_behind", "Declared behind a refused line.")
behind.inc(7)
print("recorded", flush=True)
sys.stdin.readline()
"""


def test_records_behind_megabytes_of_declarations_are_served(tmp_path):
    """A process's file may hold megabytes the exporter has not read when records that name its
    last lines arrive: an exporter started after the process declared 60,000 series, and a
    refused line of 3 MB written just before a declaration and its record."""
    directory = tmp_path / "metrics"
    process = subprocess.Popen(
        [sys.executable, "-c", BULK],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    exporter = None
    try:
        assert process.stdout.readline() == "recorded\n"
        exporter = Exporter("--interval", "0.05", "--directory", str(directory))

        def counted(got):
            return sum(v for (name, _), v in got.items() if name == "bulk_routes_total")

        assert counted(exporter.scrape_until(lambda got: counted(got) == 100)) == 100
        process.stdin.write("\n")
        process.stdin.flush()
        assert process.stdout.readline() == "recorded\n"
        got = exporter.scrape_until(lambda got: got.get(("bulk_behind_total", ())) == 7)
        assert got.get(("bulk_behind_total", ())) == 7
        assert rejected(got, "undeclared_series") == 1  # the refused line's own record
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        if exporter:
            exporter.stop()


def forged_state(path, slots):
    """A state file of the right layout whose slots say what `slots` ((op, id, key, value)...)
    say, each written whole (an even sequence)."""
    data = bytearray(32 + (1 << 17) * 32)
    struct.pack_into("<4I", data, 0, 0x5A535431, 1, 1 << 17, len(slots))
    for at, (op, ident, key, value) in enumerate(slots):
        struct.pack_into("<2I2Q", data, 32 + 32 * at, 2, ord(op), ident, key)
        struct.pack_into("<d", data, 32 + 32 * at + 24, value)
    path.write_bytes(bytes(data))


TAMPERED = {
    # A link to a file that would say the gauge is 7: never followed.
    "link": lambda path, elsewhere: (
        forged_state(elsewhere, [("g", 2, 1 << 62, 7.0)]),
        path.unlink(),
        path.symlink_to(elsewhere),
    ),
    # Slots in use past the file's end, garbage operations, ids never declared, torn writes.
    "garbage": lambda path, elsewhere: path.write_bytes(
        struct.pack("<4I", 0x5A535431, 1, 1 << 17, 0xFFFFFFFF)
        + bytes(range(256)) * ((path.stat().st_size - 16) // 256)
        + bytes((path.stat().st_size - 16) % 256)
    ),
    "short": lambda path, elsewhere: os.truncate(path, 40),
}


@pytest.mark.parametrize("tamper", TAMPERED)
def test_a_restarted_exporter_takes_nothing_from_a_tampered_state_file(tmp_path, tamper):
    """The state file lies in a directory every user can write: what is not the process's own
    file of the right form is not read, and no slot of it can take the exporter down."""
    directory = tmp_path / "metrics"
    process = subprocess.Popen(
        [
            sys.executable,
            "-c",
            SET_ONCE + '\nprint("recorded", flush=True)\nsys.stdin.readline()\n',
        ],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout.readline() == "recorded\n"
        exporter = Exporter("--interval", "0.05", "--directory", str(directory))
        assert exporter.scrape_until(lambda got: got.get(("set_once", ())) == 1)[("set_once", ())]
        exporter.stop(signal.SIGKILL)  # the rings are drained
        (state,) = (directory / ".producers").glob("*.state")
        TAMPERED[tamper](state, tmp_path / "elsewhere")
        exporter = Exporter("--interval", "0.05", "--directory", str(directory))
        try:
            got = exporter.scrape_until(lambda got: ("set_once", ()) in got)
            assert got.get(("set_once", ())) == 0  # declared, its write not recovered
            assert exporter.process.poll() is None
        finally:
            code, _ = exporter.stop()
        assert code == 0
    finally:
        process.stdin.close()
        process.wait(timeout=30)
