"""zelnor_client: prometheus_client's instrumentation API over the rings, served by zelnor-exporter
as prometheus_client's multiprocess collector serves the same calls."""

import fcntl
import inspect
import json
import math
import os
import subprocess
import sys
import time

import prometheus_client
import prometheus_client.openmetrics.exposition
import prometheus_client.openmetrics.parser
import prometheus_client.parser
import pytest
from prometheus_client import multiprocess
from support import HERE, Exporter, run_python

import zelnor_client

KINDS = ["Counter", "Gauge", "Histogram", "Summary", "Info", "Enum"]


def test_every_refusal_is_the_one_prometheus_client_raises():
    completed = run_python(
        f"import runpy, sys; sys.argv = ['cases']; "
        f"runpy.run_path({str(HERE / 'client_cases.py')!r}, run_name='__main__')"
    )
    results = json.loads(completed.stdout)
    differences = {
        case: (peer, results["ours"][case])
        for case, peer in results["peer"].items()
        if results["ours"][case] != peer
    }
    assert not differences


@pytest.mark.parametrize("kind", KINDS)
def test_constructors_and_methods_have_prometheus_clients_signatures(kind):
    ours, peer = getattr(zelnor_client, kind), getattr(prometheus_client, kind)

    def shape(function):  # self apart: the native methods' is positional-only
        parameters = list(inspect.signature(function).parameters.values())[1:]
        return [(p.name, p.kind, p.default) for p in parameters]

    assert shape(ours.__init__) == shape(peer.__init__)
    methods = {
        name
        for name in dir(peer)
        if not name.startswith("_") and callable(getattr(peer, name)) and name != "reset"
    }
    assert methods <= set(dir(ours))
    for name in sorted(methods):
        assert shape(getattr(ours, name)) == shape(getattr(peer, name)), name


# --- served as the peer serves it ---------------------------------------------------------------


def families(text, openmetrics=False):
    """The families of a scrape, by name: (type, HELP, unit, {(sample, labels): value})."""
    parse = (
        prometheus_client.openmetrics.parser.text_string_to_metric_families
        if openmetrics
        else prometheus_client.parser.text_string_to_metric_families
    )
    return {
        family.name: (
            family.type,
            family.documentation,
            family.unit,
            {(s.name, tuple(sorted(s.labels.items()))): s.value for s in family.samples},
        )
        for family in parse(text)
    }


def peer_scrape(directory, openmetrics=False):
    registry = prometheus_client.CollectorRegistry()
    multiprocess.MultiProcessCollector(registry, path=str(directory))
    if openmetrics:
        return prometheus_client.openmetrics.exposition.generate_latest(registry).decode()
    return prometheus_client.generate_latest(registry).decode()


def single_process_peer():
    """What prometheus_client serves in one process for the workload's Info and Enum calls."""
    registry = prometheus_client.CollectorRegistry()
    build = prometheus_client.Info("build", "Build.", ["component"], registry=registry)
    state = prometheus_client.Enum(
        "task_state", "Task state.", ["queue"], states=["idle", "busy", "done"], registry=registry
    )
    for index in range(4):
        build.labels(f"worker{index}").info({"version": f"1.{index}", "commit": 'abc"d'})
        state.labels("default").state(["idle", "busy", "done"][index % 3])
    return registry


def same_values(ours, peer):
    """Equal sample sets, values equal to the last bits (sums of 1/64ths are exact)."""
    return ours.keys() == peer.keys() and all(
        ours[key] == peer[key] or (math.isnan(ours[key]) and math.isnan(peer[key])) for key in ours
    )


def test_one_workload_is_served_as_prometheus_clients_multiprocess_collector_serves_it(tmp_path):
    peer_directory = tmp_path / "prometheus"
    peer_directory.mkdir()
    exporter = Exporter("--interval", "0.05")
    workload = subprocess.Popen(
        [sys.executable, str(HERE / "client_workload.py")],
        env={**os.environ, "PROMETHEUS_MULTIPROC_DIR": str(peer_directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        line = workload.stdout.readline()
        assert line, "the workload ended early"
        pids = json.loads(line)
        assert pids["mismatched"] == []  # each worker's own share, as collect() gives it
        for openmetrics in (False, True):
            expected = families(peer_scrape(peer_directory, openmetrics), openmetrics)
            assert len(expected) == 18, expected.keys()  # 3 counters, 3 of 2 observers, 12 gauges
            exposition = (
                prometheus_client.openmetrics.exposition.generate_latest
                if openmetrics
                else prometheus_client.generate_latest
            )
            expected.update(families(exposition(single_process_peer()).decode(), openmetrics))

            def served(text, openmetrics=openmetrics, expected=expected):
                got = families(text, openmetrics)
                return {name: got.get(name) for name in expected}

            deadline = time.monotonic() + 30
            while True:
                got = served(exporter.scrape_text(openmetrics=openmetrics))
                differences = {
                    name: (got[name], peer)
                    for name, peer in expected.items()
                    if got[name] is None
                    or got[name][:2] != peer[:2]
                    or not same_values(got[name][3], peer[3])
                }
                if not differences or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            assert not differences, {
                n: (sorted(set(g[3].items()) ^ set(p[3].items()))[:6] if g else None)
                for n, (g, p) in differences.items()
            }
            # The unit prometheus_client's multiprocess collector leaves out.
            if openmetrics:
                assert got["payload_bytes"][2] == "bytes" and expected["payload_bytes"][2] == ""
        # Ended workers count in the sums, and their gauges stay in the modes that are not live.
        dead = {str(pid) for pid in pids["dead"]}
        gauges = families(exporter.scrape_text())
        assert dead <= {dict(labels)["pid"] for _, labels in gauges["pool_all"][3]}
        assert not dead & {dict(labels)["pid"] for _, labels in gauges["pool_liveall"][3]}
    finally:
        if workload.poll() is None:
            workload.stdin.write("done\n")
            workload.stdin.close()
        workload.wait(timeout=60)
        exporter.stop()


# --- the declaration channel under attack -------------------------------------------------------

RECORDER = """
import sys, time
import zelnor_client
counter = zelnor_client.Counter(sys.argv[1], sys.argv[2], ["route"])
for _ in range(int(sys.argv[3])):
    counter.labels("/a").inc()
print("recorded", flush=True)
sys.stdin.readline()
"""


def recorder(directory, name, help_text, times):
    """A process that declares a counter and records it `times` times, then waits."""
    process = subprocess.Popen(
        [sys.executable, "-c", RECORDER, name, help_text, str(times)],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert process.stdout.readline() == "recorded\n"
    return process


def test_the_declaration_channel_takes_nothing_planted_in_it(tmp_path):
    directory = tmp_path / "metrics"
    producers = directory / ".producers"
    producers.mkdir(parents=True)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    # Declarations the exporter must never read: behind a link, a hard link, a FIFO, a directory.
    bait = elsewhere / "bait"
    bait.write_text("zelnor-process 1\nF\t1\tcounter\tbait\tBait.\t\t\t0\t0\nS\t2\t1\n")
    planted = {
        "10.1.0000000a": lambda path: path.symlink_to(bait),
        "10.1.0000000b": lambda path: os.link(bait, path),
        "10.1.0000000c": lambda path: os.mkfifo(path),
        "10.1.0000000d": lambda path: path.mkdir(),
        # An oversized file, a line that never ends, lines that do not hold up.
        "10.1.0000000e": lambda path: path.write_bytes(b"zelnor-process 1\n" + b"F" * (20 << 20)),
        "10.1.0000000f": lambda path: path.write_text("zelnor-process 1\nF\t3\tcounter\tcut"),
        "10.1.00000010": lambda path: path.write_bytes(
            b"zelnor-process 1\nS\t9\t8\tx\nF\tx\ngauge\nF\t4\tcounter\tx y\tHelp.\t\t\t0\t0\n"
            + bytes(range(256))
            + b"\n"
        ),
    }
    for name, plant in planted.items():
        plant(producers / name)
    # The junk files look held by a live process (this one), so that they are read.
    held = []
    for name in ("10.1.0000000e", "10.1.0000000f", "10.1.00000010"):
        held.append(open(producers / name, "rb+"))  # kept open: it holds the lock
        fcntl.lockf(held[-1], fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)
    # A file of the right form that no live process holds, here another user's: never read.
    foreign = producers / "11.1.0000000a"
    foreign.write_text("zelnor-process 1\nF\t1\tgauge\tforeign\tForeign.\t\tall\t0\t0\nS\t2\t1\n")
    if os.geteuid() == 0:
        os.chown(foreign, 65534, 65534)
    before = bait.read_bytes()
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    first = second = None
    try:
        # Two processes declare one name otherwise: the first declaration wins, and every entry
        # of the other is counted as a conflict.
        first = recorder(directory, "conflicted_total", "First.", 5)
        exporter.scrape_until(lambda got: got.get(("conflicted_total", (("route", "/a"),))) == 5)
        second = recorder(directory, "conflicted_total", "Second.", 7)
        got = exporter.scrape_until(
            lambda got: (
                got.get(
                    (
                        "zelnor_exporter_rejected_entries_total",
                        (("reason", "declaration_conflict"),),
                    )
                )
                == 7
            )
        )
        assert got[("conflicted_total", (("route", "/a"),))] == 5
        assert (
            got[("zelnor_exporter_rejected_entries_total", (("reason", "declaration_conflict"),))]
            == 7
        )
        assert (
            got[("zelnor_exporter_rejected_entries_total", (("reason", "invalid_declaration"),))]
            >= 3
        )
        text = exporter.scrape_text()
        assert "# HELP conflicted_total First." in text
        assert "bait" not in text and "foreign" not in text
        families(exporter.scrape_text(openmetrics=True), openmetrics=True)  # still parses
    finally:
        for process in (first, second):
            if process is not None:
                process.stdin.close()
                process.wait(timeout=30)
        code, out = exporter.stop()
        for file in held:
            file.close()
    assert code == 0
    assert 'ERROR: Dropping counter entries named "conflicted": declaration_conflict' in out
    assert bait.read_bytes() == before
    # What is not a process file is left as it is; the ended producers' files are removed.
    left = sorted(path.name for path in producers.iterdir())
    assert {"10.1.0000000a", "10.1.0000000b", "10.1.0000000c", "10.1.0000000d"} <= set(left)
    assert (producers / "10.1.0000000a").is_symlink()


def test_time_measures_a_block_or_each_call_as_prometheus_clients_timer_does(tmp_path):
    completed = run_python(
        """
        import inspect, time
        import zelnor_client
        histogram = zelnor_client.Histogram("t_seconds", "d", ["route"], registry=None)
        gauge = zelnor_client.Gauge("g_seconds", "d", registry=None)
        with histogram.labels("/a").time() as timer:
            time.sleep(0.02)
        assert timer.duration >= 0.02, timer.duration
        with gauge.time() as gauge_timer:
            pass
        assert 0 <= gauge_timer.duration < 1

        @histogram.labels("/b").time()
        def handler(request, *, verbose=False):
            "Handles."
            time.sleep(0.01)
            return request

        assert handler(7) == 7 and handler(8, verbose=True) == 8
        assert handler.__name__ == "handler" and handler.__doc__ == "Handles."
        assert str(inspect.signature(handler)) == "(request, *, verbose=False)"
        labelled = histogram.time()
        labelled.labels("/c")  # a parent's timer times a child
        with labelled:
            pass
        try:
            with histogram.time():
                pass
        except ValueError as error:
            print(error)
        """,
        env={"ZELNOR_METRICS_DIR": str(tmp_path / "metrics")},
    )
    assert completed.stdout == "histogram metric is missing label values\n"


def test_gauges_of_two_processes_that_share_a_pid_are_both_served():
    """Processes of two pid namespaces (two containers on one directory) may have one pid: the
    exporter serves a sample for each, never two of one label set."""
    from zelnor_exporter import _native

    aggregator = _native.Aggregator([1.0], "last", 100)
    declaration = b"zelnor-process 1\nF\t1\tgauge\tworkers\tW.\t\tall\t0\t0\nS\t2\t1\n"
    for producer, value in ((11, 3.0), (12, 4.0)):
        aggregator.declare(producer, 7, declaration)
        aggregator.add("gauge", [(b"\x01g2:0000000000000001", value, producer, 7)])
    aggregator.end_pass(set())
    (family,) = aggregator.snapshot()["declared"]
    assert family[:2] == ("gauge", "workers")
    assert sorted((dict(labels)["pid"], value) for _, labels, value in family[4]) == [
        ("7", 3.0),
        ("7.1", 4.0),
    ]
