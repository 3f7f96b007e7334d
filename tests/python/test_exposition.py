"""What zelnor-exporter serves, read by Prometheus's own tools: promtool, an OpenMetrics parser and
a real Prometheus server scraping it.

promtool and prometheus come from Debian's `prometheus` package; .ci/run installs it and sets
ZELNOR_REQUIRE_PROMETHEUS, so that CI fails rather than skips when they are missing.
"""

import json
import os
import shutil
import signal
import subprocess
import time
import urllib.parse
import urllib.request

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families
from support import Exporter, Producer, free_port


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


def check_both_formats(port, promtool):
    """Fails unless the scrape passes promtool and the OpenMetrics parser; returns its samples."""
    text = scrape(port)
    checked = subprocess.run(
        [promtool, "check", "metrics"], input=text, capture_output=True, text=True
    )
    assert checked.returncode == 0, checked.stderr + text
    families = list(text_string_to_metric_families(scrape(port, openmetrics=True)))
    return {
        (s.name, tuple(sorted(s.labels.items()))): s.value
        for family in families
        for s in family.samples
    }


# Each case records `first`, waits until the exporter has it, then records `then`. Every name is
# given the case's own prefix. `kept` holds samples that must stay exactly as recorded first;
# `rejected` the reasons the later entries are counted under.
CASES = [
    (
        "counter beside gauge _total",
        [("c", "c", 3)],
        [("g", "c_total", 1)],
        {("c_total", ()): 3},
        {"reserved_suffix": 1},
    ),
    (
        "histogram beside gauge _count, _sum and _bucket",
        [("h", "wait", 0.5)],
        [("g", "wait_count", 1), ("g", "wait_sum", 1), ("g", "wait_bucket", 1)],
        {("wait_count", ()): 1, ("wait_sum", ()): 0.5},
        {"reserved_suffix": 3},
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
        {("ok", ()): 1},
        {"reserved_suffix": 1},
    ),
    (
        "promtool's name rules",
        [("g", "ok", 1)],
        [
            ("g", "camelCase", 1),
            ("c", "a:b", 1),
            ("h", "latency_milliseconds", 1),
            ("g", "latency_ms", 1),
            ("c", "x_counter", 1),
            ("g", 'q{quantile="1"}', 1),
        ],
        {("ok", ()): 1},
        {
            "camel_case": 1,
            "colon_in_name": 1,
            "non_base_unit": 1,
            "abbreviated_unit": 1,
            "type_in_name": 1,
            "reserved_label": 1,
        },
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
    samples = check_both_formats(exporter.port, promtool)
    for (name, labels), value in kept.items():
        assert samples[(prefix + name, labels)] == value, (name, labels)
    after = rejections(samples)
    assert {
        reason: after[reason] - before.get(reason, 0)
        for reason in after
        if after[reason] != before.get(reason, 0)
    } == rejected
    assert (prefix + "delta_sum", ()) not in samples


def test_prometheus_scraping_the_exporter_reads_exactly_what_was_recorded(tmp_path, prefix):
    prometheus = tool("prometheus")
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--buckets", "0.1,1", "--directory", str(directory))
    name = prefix.replace(".", "_")
    producers = [Producer(directory) for _ in range(3)]
    port = free_port()
    config = tmp_path / "prometheus.yml"
    config.write_text(f"""
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: zelnor
    static_configs:
      - targets: ["127.0.0.1:{exporter.port}"]
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

        def query(expression):
            url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode(
                {"query": expression}
            )
            try:
                with urllib.request.urlopen(url, timeout=5) as reply:
                    result = json.load(reply)["data"]["result"]
            except OSError:
                return None
            return float(result[0]["value"][1]) if result else None

        expected = {
            f'sum({name}requests_total{{code="200"}})': 600.0,
            f'sum({name}seconds_bucket{{le="1.0"}})': 60.0,
            f'sum({name}seconds_bucket{{le="0.1"}})': 0.0,
            f"sum({name}seconds_sum)": 30.0,
            f"sum({name}depth)": 4.5,
            f"count({name}depth)": 3.0,
        }
        deadline = time.monotonic() + 60
        got = {}
        while time.monotonic() < deadline:
            got = {expression: query(expression) for expression in expected}
            if got == expected:
                break
            time.sleep(0.5)
        assert got == expected
    finally:
        server.terminate()
        server.wait(timeout=30)
        for producer in producers:
            producer.close()
        exporter.stop(signal.SIGKILL)
