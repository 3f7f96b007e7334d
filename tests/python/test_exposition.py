"""What zelnor-exporter serves, read by Prometheus's own tools and prometheus_client's: promtool,
the text and OpenMetrics parsers, and a real Prometheus server scraping it. promtool reads only the
text format; it tells format errors (exit status 1) from lint findings on names (exit status 3),
which are allowed: the exporter serves a name that only breaks a naming convention as recorded.

promtool and prometheus come from Debian's `prometheus` package; .ci/run installs it and sets
ZELNOR_REQUIRE_PROMETHEUS, so that CI fails rather than skips when they are missing.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse
import urllib.request

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families
from prometheus_client.parser import text_string_to_metric_families as text_format_families
from support import HERE, Exporter, Producer, free_port, run_python


def tool(name):
    found = shutil.which(name)
    if found is None:
        if os.environ.get("ZELNOR_REQUIRE_PROMETHEUS"):
            pytest.fail(f"{name} is required here but not installed")
        pytest.skip(f"{name} is not installed (Debian's prometheus package has it)")
    return found


def scrape(port, openmetrics=False):
    request = urllib.request.Request(f"http://127.0.0.1:{port}/metrics")
    if openmetrics:
        request.add_header("Accept", "application/openmetrics-text; version=1.0.0")
    with urllib.request.urlopen(request, timeout=10) as reply:
        return reply.read().decode()


def lint_findings(promtool, text):
    """promtool's findings on a text-format scrape: fails on a format error, returns (and prints)
    the lint findings, which are allowed."""
    checked = subprocess.run(
        [promtool, "check", "metrics"], input=text, capture_output=True, text=True
    )
    said = checked.stdout + checked.stderr
    assert checked.returncode in (0, 3) and "error while linting" not in said, said + text
    findings = said.splitlines()
    if findings:
        print("promtool's lint findings:", *findings, sep="\n  ")
    return findings


def samples_of(families):
    return {
        (s.name, tuple(sorted(s.labels.items()))): s.value
        for family in families
        for s in family.samples
    }


def check_both_formats(port, promtool):
    """Fails unless the text format reads with promtool (lint findings allowed) and
    prometheus_client's parser, and OpenMetrics with its parser, with the same series in both;
    returns the samples of each."""
    text = scrape(port)
    lint_findings(promtool, text)
    in_text = samples_of(text_format_families(text))
    in_openmetrics = samples_of(text_string_to_metric_families(scrape(port, openmetrics=True)))
    assert set(in_text) == set(in_openmetrics)
    return in_text, in_openmetrics


# Each case records `first`, waits until the exporter has it, then records `then`. Every name is
# given the case's own prefix. `kept` holds samples that must stay exactly as recorded first;
# `rejected` the reasons the later entries are counted under.
CASES = [
    (
        "counter beside gauge _total",
        [("c", "c", 3)],
        [("g", "c_total", 1)],
        {("c_total", ()): 3},
        {"name_clash": 1},
    ),
    (
        "histogram beside gauge _count, _sum and _bucket",
        [("h", "wait", 0.5)],
        [("g", "wait_count", 1), ("g", "wait_sum", 1), ("g", "wait_bucket", 1)],
        {("wait_count", ()): 1, ("wait_sum", ()): 0.5},
        {"name_clash": 3},
    ),
    (
        "gauge _total before counter",
        [("g", "f_total", 2)],
        [("c", "f", 1)],
        {("f_total", ()): 2},
        {"name_clash": 1},
    ),
    (
        "counter _bucket beside histogram",
        [("c", "k_bucket", 2)],
        [("h", "k", 1)],
        {("k_bucket_total", ()): 2},
        {"name_clash": 1},
    ),
    (
        "gauge _created beside counter",
        [("g", "r_created", 7)],
        [("c", "r", 1)],
        {("r_created", ()): 7},
        {"name_clash": 1},
    ),
    (
        "counter beside gauge of the same name",
        [("c", "same", 1)],
        [("g", "same", 5)],
        {("same_total", ()): 1},
        {"type_conflict": 1},
    ),
    (
        "histogram with its own le label",
        [("h", "lat", 0.5)],
        [("h", 'lat{le="x"}', 0.5)],
        {("lat_count", ()): 1},
        {"reserved_label": 1},
    ),
    (
        "gauge named _total",
        [("g", "ok", 1)],
        [("g", "g_total", 1)],
        {("ok", ()): 1, ("g_total", ()): 1},
        {},
    ),
    (
        "names that break only promtool's naming conventions",
        [("g", "ok", 1)],
        [
            ("g", "camelCase", 1),
            ("c", "a:b", 1),
            ("h", "latency_milliseconds", 1),
            ("g", "latency_ms", 1),
            ("c", "x_counter", 1),
            ("g", 'q{quantile="1"}', 1),
            ("g", 'g{le="1"}', 2),
        ],
        {
            ("ok", ()): 1,
            ("camelCase", ()): 1,
            ("a:b_total", ()): 1,
            ("latency_milliseconds_count", ()): 1,
            ("latency_ms", ()): 1,
            ("x_counter_total", ()): 1,
            ("q", (("quantile", "1"),)): 1,
            ("g", (("le", "1"),)): 2,
        },
        {},
    ),
    (
        "a name with a colon beside the name it would be escaped to",
        [("g", "q:depth", 1)],
        [("g", "q_depth", 2)],
        {("q:depth", ()): 1, ("q_depth", ()): 2},
        {},
    ),
    (
        "labels with escapes and UTF-8",
        [("c", 'x{v="a\\"b\\\\c\\nd",w="héllo"}', 2)],
        [],
        {("x_total", (("v", 'a"b\\c\nd'), ("w", "héllo"))): 2},
        {},
    ),
    (
        "values on bucket bounds, NaN and infinite gauges",
        [("h", "v", 1.0), ("h", "v", 0.5), ("g", "nan", float("nan")), ("g", "inf", float("inf"))],
        [],
        {("v_bucket", (("le", "0.5"),)): 1, ("v_bucket", (("le", "1.0"),)): 2},
        {},
    ),
    (
        "negative observations: no _sum (nor _count), which OpenMetrics forbids below zero",
        [("h", "delta", -2.0), ("h", "delta", 1.0)],
        [],
        {("delta_bucket", (("le", "+Inf"),)): 2},
        {},
    ),
]


@pytest.fixture(scope="module")
def table_exporter(tmp_path_factory):
    directory = tmp_path_factory.mktemp("table") / "metrics"
    exporter = Exporter("--interval", "0.02", "--buckets", "0.5,1,2", "--directory", str(directory))
    producer = Producer(directory)
    yield exporter, producer
    producer.close()
    exporter.stop(signal.SIGKILL)


@pytest.mark.parametrize("case", CASES, ids=[case[0] for case in CASES])
def test_every_scrape_passes_promtool_and_openmetrics_whatever_is_recorded(table_exporter, case):
    promtool = tool("promtool")
    exporter, producer = table_exporter
    description, first, then, kept, rejected = case
    prefix = f"t{CASES.index(case)}_"

    def record(entries, sentinel):
        for kind, name, value in entries:
            producer.record(kind, prefix + name, value)
        producer.record("g", prefix + sentinel, 1)  # drained after all of the above
        return exporter.scrape_until(lambda s: (prefix + sentinel, ()) in s)

    def rejections(samples):
        return {
            labels[0][1]: value
            for (name, labels), value in samples.items()
            if name == "zelnor_exporter_rejected_entries_total"
        }

    before = rejections(record(first, "first_done"))
    record(then, "then_done")
    in_text, samples = check_both_formats(exporter.port, promtool)
    for (name, labels), value in kept.items():
        assert samples[(prefix + name, labels)] == value, (name, labels)
        assert in_text[(prefix + name, labels)] == value, (name, labels)
    after = rejections(samples)
    assert {
        reason: after[reason] - before.get(reason, 0)
        for reason in after
        if after[reason] != before.get(reason, 0)
    } == rejected
    assert (prefix + "delta_sum", ()) not in samples


# prometheus_client's multiprocess collector over a directory, served on a port, as an application
# in its multiprocess mode serves it.
PEER_SERVER = """
import sys, time
import prometheus_client
from prometheus_client import multiprocess
registry = prometheus_client.CollectorRegistry()
multiprocess.MultiProcessCollector(registry, path=sys.argv[1])
prometheus_client.start_http_server(int(sys.argv[2]), "127.0.0.1", registry=registry)
time.sleep(3600)
"""


def test_prometheus_scraping_the_exporter_reads_exactly_what_was_recorded(tmp_path, prefix):
    """A real Prometheus scrapes the exporter, and beside it prometheus_client's multiprocess
    collector over the same zelnor_client workload (client_workload.py): it stores what was
    recorded, every series of each scrape, and the same series with the same HELP from both."""
    prometheus = tool("prometheus")
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--buckets", "0.1,1", "--directory", str(directory))
    name = prefix.replace(".", "_")
    producers = [Producer(directory) for _ in range(3)]
    peer_directory = tmp_path / "prometheus_client"
    peer_directory.mkdir()
    workload = subprocess.Popen(
        [sys.executable, str(HERE / "client_workload.py")],
        env={
            **os.environ,
            "ZELNOR_METRICS_DIR": str(directory),
            "PROMETHEUS_MULTIPROC_DIR": str(peer_directory),
        },
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    peer_port = free_port()
    peer = subprocess.Popen(
        [sys.executable, "-c", PEER_SERVER, str(peer_directory), str(peer_port)]
    )
    port = free_port()
    config = tmp_path / "prometheus.yml"
    config.write_text(f"""
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: zelnor
    static_configs:
      - targets: ["127.0.0.1:{exporter.port}"]
  - job_name: peer
    static_configs:
      - targets: ["127.0.0.1:{peer_port}"]
""")
    server = subprocess.Popen(
        [
            prometheus,
            f"--config.file={config}",
            f"--storage.tsdb.path={tmp_path / 'data'}",
            f"--web.listen-address=127.0.0.1:{port}",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        for number, producer in enumerate(producers):
            producer.record("c", f'{name}requests{{code="200"}}', number + 1, 100)
            producer.record("h", f"{name}seconds", 0.5, 10 * (number + 1))
            producer.record("g", f'{name}depth{{worker="{number}"}}', number * 1.5)
        # Names that break only a naming convention, and one beside what a colon would escape to.
        producers[0].record("g", f"{name}queue:depth", 3)
        producers[0].record("g", f"{name}queue_depth", 4)
        producers[0].record("g", f"{name}cacheHits", 5)
        producers[0].record("h", f"{name}db_query_ms", 0.05, 4)
        producers[0].record("c", f"{name}ok_counter_name", 1, 6)

        def query_raw(expression):
            url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode(
                {"query": expression}
            )
            try:
                with urllib.request.urlopen(url, timeout=5) as reply:
                    return json.load(reply)["data"]["result"]
            except OSError:
                return None

        def query(expression):
            result = query_raw(expression)
            return float(result[0]["value"][1]) if result else None

        expected = {
            f'sum({name}requests_total{{code="200"}})': 600.0,
            f'sum({name}seconds_bucket{{le="1.0"}})': 60.0,
            f'sum({name}seconds_bucket{{le="0.1"}})': 0.0,
            f"sum({name}seconds_sum)": 30.0,
            f"sum({name}depth)": 4.5,
            f"count({name}depth)": 3.0,
            f"{name}queue:depth": 3.0,
            f"{name}queue_depth": 4.0,
            f"{name}cacheHits": 5.0,
            f"{name}db_query_ms_count": 4.0,
            f"{name}ok_counter_name_total": 6.0,
        }
        deadline = time.monotonic() + 60
        got = {}
        while time.monotonic() < deadline:
            got = {expression: query(expression) for expression in expected}
            if got == expected:
                break
            time.sleep(0.5)
        assert got == expected

        # Every series of a scrape is stored: Prometheus drops a repeated one without a scrape
        # error, so the count of what it stores from the exporter must be the scrape's.
        instance = f"127.0.0.1:{exporter.port}"

        def target():
            url = f"http://127.0.0.1:{port}/api/v1/targets"
            with urllib.request.urlopen(url, timeout=5) as reply:
                targets = json.load(reply)["data"]["activeTargets"]
            return next(t for t in targets if t["labels"]["instance"] == instance)

        stored = served = None
        while time.monotonic() < deadline:
            served = len(check_both_formats(exporter.port, tool("promtool"))[1])
            stored = query(f'count({{instance="{instance}",__name__!~"up|scrape_.*"}})')
            if stored == served:
                break
            time.sleep(0.5)
        assert stored == served
        assert target()["health"] == "up" and target()["lastError"] == ""

        # The same workload through prometheus_client's multiprocess mode and through
        # zelnor_client: the same series, values and HELP text in Prometheus.
        assert workload.stdout.readline(), "the workload ended early"
        recorded = time.time()
        while (query('timestamp(up{job="peer"})') or 0) <= recorded:
            assert time.monotonic() < deadline + 30, "the peer was not scraped after the workload"
            time.sleep(0.5)
        peer_names = query_raw('group by (__name__) ({job="peer",__name__!~"up|scrape_.*"})')
        workload_names = "|".join(sorted(r["metric"]["__name__"] for r in peer_names or []))
        assert "http_requests_total" in workload_names

        def series(job):
            found = query_raw(f'{{job="{job}",__name__=~"{workload_names}"}}') or []
            return {
                tuple(
                    sorted((k, v) for k, v in r["metric"].items() if k not in ("job", "instance"))
                ): r["value"][1]
                for r in found
            }

        def metadata(job):
            url = f"http://127.0.0.1:{port}/api/v1/targets/metadata?" + urllib.parse.urlencode(
                {"match_target": f'{{job="{job}"}}'}
            )
            with urllib.request.urlopen(url, timeout=5) as reply:
                found = json.load(reply)["data"]
            return {
                (m["metric"], m["type"], m["help"]) for m in found if m["metric"] in peer_names_set
            }

        peer_names_set = set(workload_names.split("|"))
        while time.monotonic() < deadline + 30:
            ours, theirs = series("zelnor"), series("peer")
            if ours == theirs and metadata("zelnor") == metadata("peer"):
                break
            time.sleep(0.5)
        assert ours == theirs and len(ours) > 100
        assert metadata("zelnor") == metadata("peer")
    finally:
        if workload.poll() is None:
            workload.stdin.write("done\n")
            workload.stdin.close()
        workload.wait(timeout=60)
        peer.kill()
        peer.wait()
        server.terminate()
        server.wait(timeout=30)
        for producer in producers:
            producer.close()
        exporter.stop(signal.SIGKILL)


# A new user's first names. Each breaks only one of Prometheus' naming conventions: served as
# recorded, in both formats, and named once in the exporter's output with the convention.
FIRST_HOUR = [
    ("gauge", "queue:depth", 3.0, "colon_in_name"),
    ("gauge", "cacheHits", 4.0, "camel_case"),
    ("histogram", "http_request_duration_milliseconds", 12.0, "non_base_unit"),
    ("histogram", "db_query_ms", 5.0, "abbreviated_unit"),
    ("counter", "ok_counter_name", 1, "type_in_name"),
    ("gauge", "free_total", 7.0, "reserved_suffix"),
    ("gauge", 'free{quantile="0.5"}', 8.0, "reserved_label"),
]
# Names that would break a scrape: dropped, and named once in an ERROR line with the reason.
DROPPED = [
    ("counter", "http_requests/login", 1, "invalid_name"),
    ("gauge", "queue_depth.fork0.1", 2.0, "invalid_name"),
    (
        "histogram",
        'http_request_duration_seconds{method="POST",route="/api/v1/users/{id}",code="201"}',
        0.1,
        "truncated_name",
    ),
    (
        "gauge",
        'forged\nERROR: Dropping counter entries named "x": invalid_name',
        1.0,
        "invalid_name",
    ),
    ("gauge", "zelnor_exporter_series", 1.0, "reserved_name"),
]


def quoted(name):
    """A name as the exporter's lines show it."""
    return (
        '"'
        + "".join(
            "\\" + c if c in '\\"' else c if " " <= c <= "~" else f"\\x{ord(c):02x}" for c in name
        )
        + '"'
    )


def test_names_breaking_only_a_convention_are_served_and_every_drop_is_named_once(tmp_path):
    promtool = tool("promtool")
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    try:
        recorded = [(kind, name, value) for kind, name, value, _ in FIRST_HOUR + DROPPED]
        run_python(
            f"""
            import zelnor_core
            record = {{"counter": zelnor_core.inc_counter,
                       "histogram": zelnor_core.observe_histogram,
                       "gauge": zelnor_core.set_gauge}}
            for _ in range(3):
                for kind, name, value in {recorded!r}:
                    record[kind](name, value)
            zelnor_core.set_gauge("recorded", 1)
            """,
            env={"ZELNOR_METRICS_DIR": str(directory)},
        )
        exporter.scrape_until(lambda s: ("recorded", ()) in s)
        in_text, in_openmetrics = check_both_formats(exporter.port, promtool)
        findings = "\n".join(lint_findings(promtool, scrape(exporter.port)))
        for samples in (in_text, in_openmetrics):
            assert samples[("queue:depth", ())] == 3.0
            assert samples[("cacheHits", ())] == 4.0
            assert samples[("http_request_duration_milliseconds_count", ())] == 3
            assert samples[("db_query_ms_sum", ())] == 15.0
            assert samples[("ok_counter_name_total", ())] == 3
            assert samples[("free_total", ())] == 7.0
            assert samples[("free", (("quantile", "0.5"),))] == 8.0
            rejected = {
                labels[0][1]: value
                for (name, labels), value in samples.items()
                if name == "zelnor_exporter_rejected_entries_total"
            }
            assert rejected == {"invalid_name": 9, "truncated_name": 3, "reserved_name": 3}
        for name in ("queue:depth", "cacheHits", "db_query_ms", "ok_counter_name_total"):
            assert name in findings  # promtool's lint finding of it, not an error
    finally:
        code, out = exporter.stop()
    assert code == 0
    lines = out.splitlines()
    for kind, name, _, convention in FIRST_HOUR:
        said = f"zelnor-exporter: serving {kind} {quoted(name)} as recorded; it breaks "
        assert lines.count(said + f"Prometheus' naming conventions: {convention}") == 1, out
    for kind, name, _, reason in DROPPED:
        shown = name.encode()[:63].decode()
        said = f"ERROR: Dropping {kind} entries named {quoted(shown)}: {reason}"
        assert len([line for line in lines if line.startswith(said)]) == 1, out
    assert (
        'ERROR: Dropping histogram entries named "http_request_duration_seconds{method=\\"POST\\",'
        'route=\\"/api/v1/user": truncated_name (a record keeps the first 63 bytes of a name, and '
        "this one's labels were cut)"
    ) in lines
    assert not any(line.startswith('ERROR: Dropping counter entries named "x"') for line in lines)
    assert len([line for line in lines if line.startswith("ERROR: ")]) == len(DROPPED)
