"""The exporter's native folding against the plain Python one, and what it adds: gauges per producer
process and the producers' dropped records, with real processes."""

import math
import random
import signal
import struct
import time

import pytest
from oracle import Aggregator, GaugeMode
from support import METRICS_DIRECTORY, Exporter, Producer

from zelnor_exporter import _native

BOUNDS = [-1.0, 0.0, 0.25, 1.0, math.inf]
# In a queue file (src/metrics/queue_file.h): the creator's pid, in its owner stamp, and the
# count of records it dropped.
OWNER_PID_OFFSET = 73728 + 4
DROPPED_OFFSET = 73760

NAMES = [
    b"requests",
    b"requests_total",
    b"request_seconds",
    b"queue_depth",
    b"wait",
    b'requests{code="200",method="GET"}',
    b'requests{method="GET", code="200"}',
    b'requests{code="500"}',
    b'requests{code=""}',
    b'latency{path="/a,b",q="x\\"y\\\\z\\n"}',
    'temp{city="Zürich"}'.encode(),
    b"wait_count",
    b"wait_bucket",
    b"c_total_total",
    b"r",
    b"r_created",
    b"k_bucket",
    b"k",
    b"camelCase",
    b"ns:name",
    b"latency_ms",
    b"x_counter",
    b"size_kilobytes",
    b"zelnor_exporter_entries",
    b"process_open_fds",
    b"process_cpu_seconds_total",
    b"process_threads",
    b'q{quantile="1"}',
    b'lat{le="x"}',
    b'g{pid="1"}',
    b"bad name",
    b"9lives",
    b'm{a="1"',
    b'm{__a="1"}',
    b"\xff\xfe",
    "é".encode() * 31 + b"\xc3",
    b"n" * 63,
    b'http_request_duration_seconds{method="POST",route="/api/v1/user',
    ('m{city="' + "é" * 28).encode()[:63],
    b"cacheHits",
    b"queue:depth",
    b"db_query_ms",
    b'g{le="1"}',
    b'c{quantile="1"}',
    b"evil\nERROR: forged",
]


class Entry:
    def __init__(self, raw, value, producer, pid):
        self.raw, self.value, self.producer, self.pid = raw, value, producer, pid

    @property
    def name(self):
        return self.raw.decode()  # strict, as the module's name getter decodes


def workload(seed):
    """Batches of (kind, entries) and ends of passes, at random."""
    rng = random.Random(seed)
    producers = [(key, rng.choice([100, 101, 101, 102])) for key in range(1, 6)]
    values = {
        "counter": lambda: rng.choice([0, 1, 7, -3, 2147483647, rng.randrange(1000)]),
        "histogram": lambda: rng.choice(
            [-2.0, -1.0, 0.0, 0.25, 1.0, 5.0, math.inf, -math.inf, math.nan, rng.uniform(-2, 2)]
        ),
        "gauge": lambda: rng.choice([math.nan, math.inf, -0.0, 1.5, rng.uniform(-1e6, 1e6)]),
    }
    steps = []
    for _ in range(rng.randrange(5, 30)):
        if rng.random() < 0.2:
            steps.append(("end", {key for key, _ in producers if rng.random() < 0.7}))
            continue
        kind = rng.choice(list(values))
        entries = []
        for _ in range(rng.randrange(1, 40)):
            producer, pid = rng.choice(producers)
            entries.append(Entry(rng.choice(NAMES), values[kind](), producer, pid))
        steps.append((kind, entries))
    return steps


def normalised(snapshot):
    """Comparable snapshots: series in order, NaN equal to NaN."""

    def plain(value):
        if isinstance(value, float) and math.isnan(value):
            return "nan"
        if isinstance(value, (list, tuple)):
            return [plain(v) for v in value]
        return value

    return {
        "series": sorted(plain(list(s)) for s in snapshot["series"]),
        "producer_labels": snapshot["producer_labels"],
        "health": {k: v for k, v in snapshot["health"].items() if k != "drain_seconds"},
    }


@pytest.mark.parametrize("mode", list(GaugeMode))
def test_native_and_python_folding_give_identical_totals_and_lines(mode, capfd):
    for seed in range(40):
        native = _native.Aggregator(BOUNDS, mode.value, 40)
        python = Aggregator(BOUNDS, mode, 40)
        steps = workload(seed)
        for kind, batch in steps:
            if kind == "end":
                native.end_pass(batch)
            else:
                native.add(kind, [(e.raw, e.value, e.producer, e.pid) for e in batch])
        native_lines = capfd.readouterr().out
        for kind, batch in steps:
            if kind == "end":
                python.end_pass(batch)
            else:
                python.add(kind, batch)
        python_lines = capfd.readouterr().out
        native.end_pass(set(range(1, 6)))
        python.end_pass(set(range(1, 6)))
        assert normalised(native.snapshot()) == normalised(python.snapshot()), seed
        assert native_lines == python_lines, seed


# A flood of distinct names cannot fill the log: each side names the first thousand of each sort
# (dropped, and served against a naming convention), then says once that it stops naming them.
def test_the_log_names_a_thousand_names_of_each_sort_then_says_once_that_it_stops(capfd):
    def records(count, start=0):
        return [(f"bad/{i}".encode(), 1.0, 1, 1) for i in range(start, start + count)] + [
            (f"lint{i}_ms".encode(), 1.0, 1, 1) for i in range(start, start + count)
        ]

    native = _native.Aggregator([1.0], "last", 100000)
    native.add("gauge", records(1500))
    native.add("gauge", records(1500))  # all said, or past the bound: nothing more
    native.add("gauge", records(10, 5000))
    native_lines = capfd.readouterr().out.splitlines()
    python = Aggregator([1.0], GaugeMode.LAST, 100000)
    python.add("gauge", [Entry(*record) for record in records(1500)])
    python.add("gauge", [Entry(*record) for record in records(1500)])
    python.add("gauge", [Entry(*record) for record in records(10, 5000)])
    assert capfd.readouterr().out.splitlines() == native_lines
    errors = [line for line in native_lines if line.startswith("ERROR: ")]
    notes = [line for line in native_lines if not line.startswith("ERROR: ")]
    assert errors[:2] == [
        'ERROR: Dropping gauge entries named "bad/0": invalid_name',
        'ERROR: Dropping gauge entries named "bad/1": invalid_name',
    ]
    assert len(errors) == 1001 and len(set(errors)) == 1001
    assert errors[-1] == (
        "ERROR: Dropping entries of further names without a line: 1000 said already; "
        "zelnor_exporter_rejected_entries_total counts every dropped entry by reason"
    )
    assert notes[0] == (
        'zelnor-exporter: serving gauge "lint0_ms" as recorded; it breaks Prometheus\' naming '
        "conventions: abbreviated_unit"
    )
    assert len(notes) == 1001 and len(set(notes)) == 1001
    assert notes[-1] == (
        "zelnor-exporter: further names that break Prometheus' naming conventions are served "
        "without a line: 1000 said already"
    )
    native.end_pass(set())
    assert native.snapshot()["health"]["rejected"] == {"invalid_name": 3010}  # counted all the same


# Names of one spelling per series and no family two kinds could want, so that the order in which
# names are first classified cannot change what they become.
UNCONTESTED = {
    "counter": [
        b"requests",
        b"requests_total",
        b'requests{code="200",method="GET"}',
        b'requests{method="GET", code="200"}',
        b"sent_bytes",
        b"9lives",
        b"\xff\xfe",
        b"latency_ms",
    ],
    "histogram": [b"wait_seconds", b'wait_seconds{q="1"}', b"h_total", b"bad name"],
    "gauge": [b"depth", b'temp{city="Z\xc3\xbcrich"}', b'q{quantile="1"}', b"g_count", b"x" * 63],
}


@pytest.mark.parametrize("mode", list(GaugeMode))
def test_records_whose_names_wait_for_a_later_pass_fold_as_if_at_once(mode):
    """Passes that may classify a new name or two, or none: the rest wait, and fold later in
    order, to the same totals as folding everything at once."""
    for seed in range(40):
        rng = random.Random(seed)
        native = _native.Aggregator(BOUNDS, mode.value, 40)
        python = Aggregator(BOUNDS, mode, 40)
        for kind, batch in workload(seed):
            if kind == "end":
                native.end_pass(batch)
                python.end_pass(batch)
                continue
            for entry in batch:
                entry.raw = rng.choice(UNCONTESTED[kind])
            native.begin_pass(rng.choice([0, 0, 1, 2]))
            native.add(kind, [(e.raw, e.value, e.producer, e.pid) for e in batch])
            python.add(kind, batch)
        native.begin_pass(1000)
        native.end_pass(set(range(1, 6)))
        python.end_pass(set(range(1, 6)))
        assert native.waiting == 0
        assert normalised(native.snapshot()) == normalised(python.snapshot()), seed


def test_new_names_beyond_the_backlog_are_rejected_and_never_remembered():
    native = _native.Aggregator(BOUNDS, "last", 100000)
    names = [f"name_{i}".encode() for i in range(40000)]
    native.begin_pass(0)
    native.add("counter", [(name, 1, 0, 0) for name in names])
    native.end_pass(set())  # with no credit left: nothing of the backlog folds
    waiting = native.waiting
    health = native.snapshot()["health"]
    assert health["rejected"] == {"too_many_new_names": len(names) - waiting}
    assert health["entries"]["counter"] == len(names)
    native.end_pass(set())  # no budget: everything waiting folds
    native.add("counter", [(name, 1, 0, 0) for name in names[waiting:]])
    native.end_pass(set())
    snapshot = native.snapshot()
    assert native.waiting == 0
    assert sorted(name for _, name, _, _ in snapshot["series"]) == sorted(map(bytes.decode, names))
    assert snapshot["health"]["rejected"] == {"too_many_new_names": len(names) - waiting}


def test_a_series_name_folds_at_once_however_many_names_came_since():
    """More names than the tables of names hold come between two records of a series, and the
    second comes in a pass that may classify no new name: it folds all the same."""
    native = _native.Aggregator(BOUNDS, "last", 3000)  # 3,000 names a generation
    kept = {"counter": b"kept_c", "histogram": b"kept_h", "gauge": b"kept_g"}
    for kind, name in kept.items():
        native.add(kind, [(name, 1, 0, 0)])
    for kind in kept:
        native.add(kind, [(f"{kind}_{i}".encode(), 1, 0, 0) for i in range(8000)])
    native.end_pass(set())
    native.begin_pass(0)
    for kind, name in kept.items():
        native.add(kind, [(name, 2, 0, 0)])
    native.end_pass(set())
    assert native.waiting == 0
    values = {name: value for _, name, _, value in native.snapshot()["series"]}
    assert values["kept_c"] == 3
    assert values["kept_h"] == ([0, 0, 0, 1, 1], 3.0, 2)
    assert values["kept_g"] == 2.0


# --- with real producer processes ---


def gauges(samples, name):
    return {labels: value for (sample, labels), value in samples.items() if sample == name}


@pytest.mark.parametrize(
    "mode, expected",
    [
        ("all", lambda a, b: {(("pid", str(a.pid)),): 3.0, (("pid", str(b.pid)),): 4.5}),
        ("sum", lambda a, b: {(): 7.5}),
        ("max", lambda a, b: {(): 4.5}),
        ("min", lambda a, b: {(): 3.0}),
    ],
)
def test_gauges_per_producer_process_leave_when_the_process_ends(mode, expected, prefix):
    name = prefix.replace(".", "_") + "depth"
    exporter = Exporter("--interval", "0.02", "--gauge-mode", mode)
    first, second = Producer(), Producer()
    try:
        first.record("g", name, 1.0)
        first.record("g", name, 3.0)
        second.record("g", name, 4.5)
        want = expected(first.process, second.process)
        got = exporter.scrape_until(lambda s: gauges(s, name) == want)
        assert gauges(got, name) == want
        second.close()  # its thread ends with it: its queues are let go, and its value leaves
        left = {(("pid", str(first.process.pid)),): 3.0} if mode == "all" else {(): 3.0}
        got = exporter.scrape_until(lambda s: gauges(s, name) == left)
        assert gauges(got, name) == left
    finally:
        first.close()
        second.close()
        exporter.stop(signal.SIGKILL)


def stopped_state(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rpartition(")")[2].split()[0]


def stop(process):
    process.send_signal(signal.SIGSTOP)
    while stopped_state(process.pid) != "T":
        time.sleep(0.001)


# The exporter first sees the producer's queues after it has ended: that one drain is their last.
@pytest.mark.parametrize("mode", ["all", "sum"])
def test_gauges_of_a_producer_gone_before_its_queues_were_seen_leave_with_it(mode, prefix):
    name = prefix.replace(".", "_") + "depth"
    exporter = Exporter("--interval", "0.02", "--gauge-mode", mode)
    producer = Producer()
    try:
        exporter.scrape()
        stop(exporter.process)
        producer.record("g", name, 2.5)
        producer.close()
        exporter.process.send_signal(signal.SIGCONT)
        got = exporter.scrape_until(
            lambda s: s[("zelnor_exporter_entries_total", (("kind", "gauge"),))] == 1
        )
        assert got[("zelnor_exporter_entries_total", (("kind", "gauge"),))] == 1
        assert gauges(exporter.scrape(), name) == {}
    finally:
        producer.close()
        exporter.stop(signal.SIGKILL)


# A producer whose ring is full while the exporter cannot drain drops what does not fit: each
# drop is a line on its output, and the count the exporter serves.
def test_dropped_records_are_counted_exactly(prefix):
    name = prefix.replace(".", "_") + "overfilled"
    exporter = Exporter("--interval", "0.02")
    producer = Producer()
    try:
        producer.record("c", name, 1)  # its files exist and are attached from here on
        exporter.scrape_until(lambda s: s.get((name + "_total", ())) == 1)
        stop(exporter.process)
        lines = producer.record("c", name, 1, 999 + 37)
        assert len(lines) == 37 and lines[0].startswith("ERROR: Queue is full in enqueue.")
        exporter.process.send_signal(signal.SIGCONT)
        got = exporter.scrape_until(lambda s: s.get((name + "_total", ())) == 1000)
        assert got[(name + "_total", ())] == 1000
        assert got[("zelnor_dropped_records_total", (("kind", "counter"),))] == 37
        assert got[("zelnor_dropped_records_total", (("kind", "gauge"),))] == 0
        assert got[("zelnor_exporter_queues", (("kind", "counter"),))] >= 1
        assert 0 <= got[("zelnor_exporter_fullest_queue_ratio", (("kind", "counter"),))] <= 1
    finally:
        producer.close()
        exporter.stop(signal.SIGKILL)


def counter_file_of(producer):
    """The counter queue file a producer process made, where the exporter keeps it."""
    for path in METRICS_DIRECTORY.glob(".consumer/attached.*/counter.*"):
        if struct.unpack_from("<I", path.read_bytes(), OWNER_PID_OFFSET)[0] == producer.process.pid:
            return path
    raise AssertionError(f"no counter file of process {producer.process.pid}")


def write_dropped(path, count):
    with open(path, "r+b") as file:
        file.seek(DROPPED_OFFSET)
        file.write(struct.pack("<Q", count))


# Anyone who can write a producer's file can set its count of dropped records: to a count near
# the top of 64 bits, or to one below what it said before. The sum the exporter serves only
# grows, and stops at the top.
def test_the_dropped_records_total_saturates_and_never_falls(prefix):
    name = prefix.replace(".", "_")
    exporter = Exporter("--interval", "0.02")
    first, second = Producer(), Producer()
    recorded = 0

    def record_and_wait():
        nonlocal recorded
        recorded += 1
        for producer, which in ((first, "first"), (second, "second")):
            producer.record("c", name + which, 1)
        got = exporter.scrape_until(
            lambda s: (
                s.get((name + "first_total", ())) == recorded
                and s.get((name + "second_total", ())) == recorded
            )
        )
        return got[("zelnor_dropped_records_total", (("kind", "counter"),))]

    try:
        record_and_wait()
        attached = counter_file_of(first)
        write_dropped(attached, 2**63)
        assert record_and_wait() == float(2**63)
        write_dropped(attached, 2**64 - 1)
        assert record_and_wait() == float(2**64 - 1)
        write_dropped(attached, 3)  # fell: nothing new to report
        assert record_and_wait() == float(2**64 - 1)
        write_dropped(counter_file_of(second), 10)  # new drops, but the sum is at the top
        assert record_and_wait() == float(2**64 - 1)
    finally:
        first.close()
        second.close()
        exporter.stop(signal.SIGKILL)
