"""zelnor-exporter: name parsing, aggregation, and the real command with real producers."""

import gc
import math
import os
import signal
import socket
import subprocess
import sys
import time
import tracemalloc

import pytest
from oracle import Aggregator, GaugeMode, RejectedName, conventions_broken, family_of, parse_name
from support import (
    METRICS_DIRECTORY,
    ROOT,
    Collected,
    Consumer,
    Exporter,
    Producer,
    drain_until,
    free_port,
)


@pytest.mark.parametrize(
    "recorded, parsed",
    [
        ("requests", ("requests", ())),
        ('http{method="GET",code="200"}', ("http", (("code", "200"), ("method", "GET")))),
        (
            'http{ path = "/a,b" , q="x\\"y\\\\z\\n" }',
            ("http", (("path", "/a,b"), ("q", 'x"y\\z\n'))),
        ),
        ("ns:sub_name{}", ("ns:sub_name", ())),
        (
            'm{a="",b="x"}',
            ("m", (("b", "x"),)),
        ),  # Prometheus does not tell an empty value from none
    ],
)
def test_names_parse_into_metric_and_labels(recorded, parsed):
    assert parse_name(recorded) == parsed


# A record keeps 63 bytes of a name: this one, 82 bytes long, loses the end of its labels.
CUT = b'http_request_duration_seconds{method="POST",route="/api/v1/users/{id}",code="201"}'[:63]


@pytest.mark.parametrize(
    "recorded, reason",
    [
        (None, "undecodable_name"),
        (b"m\xff", "undecodable_name"),
        ("", "invalid_name"),
        ("9lives", "invalid_name"),
        ("has space", "invalid_name"),
        ("http_requests/login", "invalid_name"),
        ("queue_depth.fork0.1", "invalid_name"),
        ('m{a="1"', "invalid_labels"),
        ("m{a=1}", "invalid_labels"),
        ('m{__a="1"}', "invalid_labels"),
        ('m{a="1",a="2"}', "invalid_labels"),
        ('m{a="1"}x', "invalid_labels"),
        ('m{9="1"}', "invalid_labels"),
        (CUT, "truncated_name"),
        (CUT.decode(), "truncated_name"),
        (('m{city="' + "é" * 28).encode()[:63], "truncated_name"),  # cut inside an "é"
        (CUT[:62], "invalid_labels"),  # shorter than a record keeps: not cut
        (b"m\xff" + CUT[2:], "undecodable_name"),  # cut, but not UTF-8 before the cut
    ],
)
def test_names_that_cannot_be_series_are_rejected_with_a_reason(recorded, reason):
    with pytest.raises(RejectedName) as rejected:
        parse_name(recorded)
    assert rejected.value.reason == reason


# Names that would make a scrape unreadable, or take names that are not theirs.
@pytest.mark.parametrize(
    "kind, recorded, reason",
    [
        ("gauge", "zelnor_exporter_entries", "reserved_name"),
        ("counter", "zelnor_dropped_records", "reserved_name"),
        ("histogram", 'lat{le="x"}', "reserved_label"),
        ("counter", "_total", "invalid_name"),
        ("counter", "process_cpu_seconds_total", "reserved_name"),  # the process metrics' own
        ("gauge", "process_cpu_seconds_total", "reserved_name"),
        ("histogram", "process_resident_memory_bytes", "reserved_name"),
    ],
)
def test_names_that_would_break_a_scrape_are_rejected_with_their_reason(kind, recorded, reason):
    with pytest.raises(RejectedName) as rejected:
        family_of(kind, recorded)
    assert rejected.value.reason == reason


# Names that only break one of Prometheus' naming conventions (promtool's lint findings): served as
# recorded, with the conventions they break.
@pytest.mark.parametrize(
    "kind, recorded, broken",
    [
        ("gauge", "queue:depth", ["colon_in_name"]),
        ("counter", "ns:requests", ["colon_in_name"]),
        ("gauge", "cacheHits", ["camel_case"]),
        ("gauge", 'depth{queueName="a"}', ["camel_case"]),
        ("gauge", "g_total", ["reserved_suffix"]),
        ("histogram", "h_total", ["reserved_suffix"]),
        ("gauge", "g_count", ["reserved_suffix"]),
        ("gauge", 'q{quantile="0.5"}', ["reserved_label"]),
        ("counter", 'c{le="1"}', ["reserved_label"]),
        ("counter", "ok_counter_name", ["type_in_name"]),
        ("gauge", "depth_gauge_now", ["type_in_name"]),
        ("histogram", "http_request_duration_milliseconds", ["non_base_unit"]),
        ("counter", "sent_kilobytes", ["non_base_unit"]),
        ("histogram", "db_query_ms", ["abbreviated_unit"]),
        ("counter", "uptime_s", ["abbreviated_unit"]),
        ("gauge", "cacheHits:latency_ms", ["colon_in_name", "camel_case", "abbreviated_unit"]),
        ("gauge", "queue_depth", []),
    ],
)
def test_names_that_only_break_a_naming_convention_are_served_as_recorded(kind, recorded, broken):
    name, labels = family_of(kind, recorded)
    assert name == recorded.partition("{")[0]
    assert conventions_broken(kind, name, labels) == broken


@pytest.mark.parametrize(
    "kind, recorded, family",
    [
        ("counter", "requests_total_total", "requests"),
        ("counter", "request_seconds_total", "request_seconds"),
        ("histogram", "h_bucket", "h_bucket"),  # promtool only minds these suffixes on other kinds
        (
            "gauge",
            "memory_bytes_seconds_minutes",
            "memory_bytes_seconds_minutes",
        ),  # the first unit counts
    ],
)
def test_names_promtool_accepts_keep_their_family(kind, recorded, family):
    assert family_of(kind, recorded)[0] == family
    assert conventions_broken(kind, *family_of(kind, recorded)) == []


def test_the_demo_records_only_names_the_exporter_serves_as_they_are(tmp_path):
    completed = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "demo.py"), "--seconds", "0.5", "--workers", "1"],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(tmp_path / "metrics")},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    lines = completed.stdout.splitlines()
    kinds = {"counter": "counter", "histogram": "histogram", "gauge": "gauge"}
    kind, names = None, []
    for line in lines[lines.index("final totals") + 1 :]:
        if not line.startswith("  "):
            break
        first = line.split()[0]
        if first in kinds:
            kind = kinds[first]
        else:
            names.append((kind, first))
    assert {kind for kind, _ in names} == set(kinds)
    for kind, name in names:
        assert conventions_broken(kind, *family_of(kind, name)) == [], name
    assert lines[-1].startswith("Next: run `zelnor-exporter --port 9464`")


class Entry:
    def __init__(self, name, value, producer=0, pid=0):
        self.name, self.value, self.producer, self.pid = name, value, producer, pid


def samples(aggregator):
    return {
        (s.name, tuple(sorted(s.labels.items()))): s.value
        for family in aggregator.collect()
        for s in family.samples
    }


# Producers 1 and 2 set g; 1 twice (its latest value counts), then 2 ends.
@pytest.mark.parametrize(
    "mode, while_both, after_one",
    [
        (GaugeMode.LAST, {("g", ()): 2.0}, {("g", ()): 2.0}),
        (GaugeMode.SUM, {("g", ()): 5.0}, {("g", ()): 5.0 - 2.0}),
        (GaugeMode.MAX, {("g", ()): 3.0}, {("g", ()): 3.0}),
        (GaugeMode.MIN, {("g", ()): 2.0}, {("g", ()): 3.0}),
        (
            GaugeMode.ALL,
            {("g", (("pid", "101"),)): 3.0, ("g", (("pid", "102"),)): 2.0},
            {("g", (("pid", "101"),)): 3.0},
        ),
    ],
)
def test_gauge_modes_keep_the_latest_value_of_each_live_producer(mode, while_both, after_one):
    aggregator = Aggregator([1.0], mode)
    aggregator.add(
        "gauge", [Entry("g", 7.0, 1, 101), Entry("g", 3.0, 1, 101), Entry("g", 2.0, 2, 102)]
    )
    aggregator.end_pass({1, 2})
    assert {k: v for k, v in samples(aggregator).items() if k[0] == "g"} == while_both
    aggregator.end_pass({1})
    assert {k: v for k, v in samples(aggregator).items() if k[0] == "g"} == after_one


def test_counters_sum_histograms_bucket_and_bad_entries_are_counted():
    aggregator = Aggregator([0.1, 1.0], max_series=4)
    aggregator.add(
        "counter", [Entry("c", 2), Entry("c_total", 3), Entry("c", -1), Entry('c{k="v"}', 1)]
    )
    aggregator.add(
        "histogram",
        [
            Entry("wait", 0.05),
            Entry("wait", 0.1),
            Entry("wait", 5.0),
            Entry("wait", math.nan),
            Entry("c", 1.0),
        ],
    )
    aggregator.add("gauge", [Entry("g1", 1.0), Entry("g2", 1.0)])
    got = samples(aggregator)
    assert got[("c_total", ())] == 5 and got[("c_total", (("k", "v"),))] == 1
    assert [got[("wait_bucket", (("le", le),))] for le in ("0.1", "1.0", "+Inf")] == [2, 2, 3]
    assert got[("wait_count", ())] == 3 and got[("wait_sum", ())] == pytest.approx(5.15)
    assert got[("g1", ())] == 1.0 and ("g2", ()) not in got
    rejected = {
        labels[0][1]: value
        for (name, labels), value in got.items()
        if name == "zelnor_exporter_rejected_entries_total"
    }
    assert rejected == {
        "negative_counter_increment": 1,
        "nan_observation": 1,
        "type_conflict": 1,
        "too_many_series": 1,
    }
    assert got[("zelnor_exporter_entries_total", (("kind", "histogram"),))] == 5


# --- the command itself, with producer processes ---


@pytest.fixture
def exporter():
    started = Exporter("--interval", "0.05", "--buckets", "0.5,1,2")
    yield started
    started.stop(signal.SIGKILL)


def test_a_scrape_shows_exactly_what_the_producers_recorded(exporter, producer, prefix):
    name = prefix.replace(".", "_")
    other = Producer()
    try:
        producer.record("c", f'{name}requests{{code="200"}}', 1, 500)
        other.record("c", f'{name}requests{{code="200"}}', 2, 100)
        other.record("c", f'{name}requests{{code="500"}}', 1, 7)
        producer.record("h", f"{name}seconds", 0.25, 3)
        producer.record("h", f"{name}seconds", 1.5, 2)
        producer.record("g", f"{name}temp", 21.5, 1)
        producer.record("c", "not-a-name", 1, 4)
        producer.record("c", f"{name}down", -3, 2)
    finally:
        other.close()
    got = exporter.scrape_until(
        lambda s: (
            s.get((f"{name}temp", ())) == 21.5
            and s.get((f"{name}requests_total", (("code", "500"),))) == 7
            and s.get(
                (
                    "zelnor_exporter_rejected_entries_total",
                    (("reason", "negative_counter_increment"),),
                )
            )
            == 2
        )
    )
    assert got[(f"{name}requests_total", (("code", "200"),))] == 700
    assert got[(f"{name}requests_total", (("code", "500"),))] == 7
    buckets = {
        labels[0][1]: value
        for (sample, labels), value in got.items()
        if sample == f"{name}seconds_bucket"
    }
    assert buckets == {"0.5": 3, "1.0": 3, "2.0": 5, "+Inf": 5}
    assert got[(f"{name}seconds_count", ())] == 5
    assert got[(f"{name}seconds_sum", ())] == pytest.approx(3.75)
    assert got[("zelnor_exporter_rejected_entries_total", (("reason", "invalid_name"),))] >= 4


def test_sigterm_drains_once_more_and_exits_cleanly(producer, prefix):
    exporter = Exporter("--interval", "3600")  # no drain between start and SIGTERM
    try:
        producer.record("c", prefix.replace(".", "_") + "late", 1, 42)
    finally:
        code, out = exporter.stop(signal.SIGTERM)
    assert code == 0
    assert "zelnor-exporter: stopped after draining 42 entries" in out


def test_a_second_exporter_is_refused_while_one_runs(exporter):
    second = subprocess.run(
        [sys.executable, "-m", "zelnor_exporter", "--port", str(free_port())],
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert second.returncode == 1
    assert (
        f"Another consumer is already draining {METRICS_DIRECTORY}: process "
        f"{exporter.process.pid} holds its lock"
    ) in second.stdout


def test_an_exporter_whose_lock_another_consumer_took_ends_and_leaves_it_the_rings(
    exporter, producer, prefix
):
    name = prefix.replace(".", "_") + "requests"
    producer.record("c", name, 1, 10)
    exporter.scrape_until(lambda s: s.get((name + "_total", ())) == 10)
    # Held still, the exporter cannot take its lock again before the second consumer takes it.
    exporter.process.send_signal(signal.SIGSTOP)
    (METRICS_DIRECTORY / ".consumer" / "lock").unlink()
    second = Consumer()
    try:
        second.drain()
        exporter.process.send_signal(signal.SIGCONT)
        assert exporter.process.wait(timeout=20) == 1
        _, out = exporter.stop()
        assert (
            f"zelnor-exporter: Another consumer is already draining {METRICS_DIRECTORY}: process "
            f"{second.pid} holds its lock"
        ) in out
        producer.record("c", name, 1, 5)  # into the rings the exporter had attached
        collected = Collected(name)
        drain_until(second, collected, lambda: len(collected["counter"][name]) >= 5)
        assert collected["counter"][name] == [1] * 5
    finally:
        second.close()


def test_the_exporter_carries_on_across_a_kill_and_restart(producer, prefix):
    """Records waiting in the rings at the kill, and all after the restart, reach the new one."""
    name = prefix.replace(".", "_") + "requests"
    first = Exporter("--interval", "0.05")
    producer.record("c", name, 1, 300)
    got = first.scrape_until(lambda s: s.get((name + "_total", ())) == 300)
    assert got[(name + "_total", ())] == 300
    first.stop(signal.SIGKILL)
    producer.record("c", name, 1, 400)  # waits in the rings the dead exporter had attached
    second = Exporter("--interval", "0.05")
    try:
        producer.record("c", name, 1, 500)
        got = second.scrape_until(lambda s: s.get((name + "_total", ())) == 900)
        assert got[(name + "_total", ())] == 900
        time.sleep(0.3)
        assert second.scrape()[(name + "_total", ())] == 900  # and nothing twice
    finally:
        second.stop(signal.SIGKILL)


def test_the_exporter_drains_the_directory_it_is_given(tmp_path, monkeypatch, prefix):
    directory = tmp_path / "application"
    monkeypatch.setenv("ZELNOR_METRICS_DIR", str(directory))
    producer = Producer()
    monkeypatch.delenv("ZELNOR_METRICS_DIR")
    exporter = Exporter("--directory", str(directory), "--interval", "0.05")
    try:
        assert exporter.first_lines[0] == (
            f"zelnor-exporter: draining {directory}, serving on 127.0.0.1:{exporter.port}\n"
        )
        name = prefix.replace(".", "_") + "requests"
        producer.record("c", name, 1, 25)
        got = exporter.scrape_until(lambda s: s.get((name + "_total", ())) == 25)
        assert got[(name + "_total", ())] == 25
    finally:
        exporter.stop(signal.SIGKILL)
        producer.close()


def test_an_exporter_that_cannot_serve_exits_before_it_drains_anything(prefix):
    name = prefix.replace(".", "_") + "waiting"
    producer = Producer()
    producer.record("c", name, 1, 500)
    producer.close()
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        completed = subprocess.run(
            [
                sys.executable,
                "-m",
                "zelnor_exporter",
                "--address",
                "127.0.0.1",
                "--port",
                str(taken.getsockname()[1]),
            ],
            capture_output=True,
            text=True,
            timeout=30,
        )
    assert completed.returncode == 1
    assert "zelnor-exporter: cannot serve on 127.0.0.1:" in completed.stdout
    assert completed.stderr == ""
    consumer = Consumer()  # the records are still in their rings
    try:
        collected = Collected(name)
        drain_until(consumer, collected, lambda: collected.count() == 500)
    finally:
        consumer.close()


def test_a_sigterm_as_soon_as_it_says_it_serves_still_ends_with_a_final_drain():
    for _ in range(10):
        exporter = Exporter("--interval", "3600")
        exporter.process.send_signal(signal.SIGTERM)
        code, out = exporter.stop()
        assert code == 0
        assert "zelnor-exporter: stopped after draining" in out


def test_names_beyond_the_series_limit_cost_nothing_that_grows():
    aggregator = Aggregator([1.0], max_series=10)

    def held(count, start):
        aggregator.add("counter", [Entry(f"name_{i}", 1) for i in range(start, start + count)])
        gc.collect()
        return tracemalloc.get_traced_memory()[0]

    tracemalloc.start()
    try:
        first = held(5000, 0)
        after = held(45000, 5000)  # what each were to cost, about 100 bytes, would be 4.5 MB
    finally:
        tracemalloc.stop()
    assert after - first < 500_000
    rejected = {
        labels[0][1]: value
        for (name, labels), value in samples(aggregator).items()
        if name == "zelnor_exporter_rejected_entries_total"
    }
    assert rejected == {"too_many_series": 50000 - 10}
