"""The exporter's native rendering against prometheus_client's rendering of the same families
(the Python reference in oracle/), byte for byte: every kind, every gauge mode, the families that
zelnor_client declares, the exporter's own, odd label values and values, every escaping, and
``name[]`` filters."""

import gzip
import json
import math
import os
import random
import signal
import subprocess
import sys
import threading
import urllib.parse
import urllib.request

import pytest
from oracle import GaugeMode, render
from prometheus_client.openmetrics.parser import (
    text_string_to_metric_families as openmetrics_families,
)
from prometheus_client.parser import text_string_to_metric_families as text_format_families
from support import HERE, Exporter, Producer, run_python

from zelnor_exporter import _native

BOUNDS = [-1.0, 0.0, 0.25, 1.0, 1e6, 123456789.0, math.inf]
LABELLED = [
    b"plain",
    b'req{code="200",method="GET"}',
    b'req{code="500",method="GET"}',
    b'odd{v="a\\"b\\\\c\\nd"}',
    b'odd{v="\\\\"}',
    b'odd{v="\\n"}',
    b'odd{v="\\""}',
    'odd{v="Zürich ☃ 𝄞"}'.encode(),
    b'odd{v="",w="x"}',
    b'odd{z="1",a="2"}',
    b"ns:colon",
    b"zelnor_reserved",
    b"bad name",
]
# Values at the edges of Python's repr and of Go's switch to an exponent.
VALUES = [
    0.0,
    -0.0,
    1.0,
    0.1,
    1e-4,
    1e-5,
    1.5e-7,
    5e-324,
    999999.9999,
    1e6,
    1234567.5,
    1e15,
    9999999999999998.0,
    1e16,
    1e17,
    2.0**63,
    1.7976931348623157e308,
    -1234567.0,
    -1e16,
    -2.5e-9,
    math.nan,
    math.inf,
    -math.inf,
]


def random_value(rng):
    return rng.choice(
        [
            rng.choice(VALUES),
            rng.uniform(-1e3, 1e3),
            10 ** rng.uniform(-30, 30),
            -(10 ** rng.uniform(-30, 30)),
            float(rng.randrange(2**53)),
        ]
    )


def fill(aggregator, rng):
    """A random workload of every kind, from five producers of which some end."""
    producers = [(key, rng.choice([100, 101, 101, 9])) for key in range(1, 6)]
    for _ in range(rng.randrange(5, 25)):
        producer, pid = rng.choice(producers)
        kind = rng.choice(["counter", "histogram", "gauge"])
        records = []
        for _ in range(rng.randrange(1, 30)):
            name = rng.choice(LABELLED) if rng.random() < 0.7 else f"n{rng.randrange(40)}".encode()
            if kind == "counter":
                value = rng.choice([0, 1, 7, 2147483647, rng.randrange(1000)])
            elif kind == "histogram":
                value = rng.choice([rng.choice(BOUNDS), random_value(rng), 0.3])
            else:
                value = random_value(rng)
            records.append((name, value, producer, pid))
        aggregator.add(kind, records)
        if rng.random() < 0.3:
            aggregator.end_pass({key for key, _ in producers if rng.random() < 0.8})
    aggregator.end_pass({key for key, _ in producers})


def sample_names(text):
    """The names of the samples of a text-format scrape."""
    names = set()
    for line in text.decode().splitlines():
        if line and not line.startswith("#"):
            names.add(line.split("{")[0].split(" ")[0])
    return names


def filters(rendered, rng):
    names = sorted(sample_names(rendered))
    yield []
    yield ["nothing_of_this_name", "plain"]  # a counter's family name is none of its samples'
    yield ["zelnor_exporter_series", "zelnor_exporter_rejected_entries_total"]
    for _ in range(3):
        yield rng.sample(names, rng.randrange(1, min(6, len(names)) + 1))


def assert_same(native, expected, what):
    assert native.decode() == expected.decode(), what


@pytest.mark.parametrize("mode", list(GaugeMode))
def test_every_kind_and_odd_label_renders_as_prometheus_client_renders_it(mode):
    for seed in range(25):
        rng = random.Random(seed)
        aggregator = _native.Aggregator(BOUNDS, mode.value, 200)
        fill(aggregator, rng)
        snapshot = aggregator.snapshot()
        bounds = aggregator.bounds
        for escaping in ("underscores", "allow-utf-8", "dots", "values"):
            assert_same(
                aggregator.render(escaping=escaping),
                render(snapshot, bounds, mode, escaping=escaping),
                (seed, escaping),
            )
        assert_same(
            aggregator.render(openmetrics=True),
            render(snapshot, bounds, mode, openmetrics=True),
            (seed, "openmetrics"),
        )
        assert aggregator.exposition() == aggregator.render()
        for names in filters(aggregator.render(), rng):
            for openmetrics in (False, True):
                assert_same(
                    aggregator.render(openmetrics=openmetrics, names=names),
                    render(snapshot, bounds, mode, openmetrics=openmetrics, names=names),
                    (seed, names, openmetrics),
                )


def test_every_value_is_written_as_floatToGoString_writes_it():
    rng = random.Random(7)
    values = VALUES + [random_value(rng) for _ in range(3000)]
    aggregator = _native.Aggregator([1.0], "last", len(values) + 1)
    aggregator.add("gauge", [(f"v{i}".encode(), value, 1, 1) for i, value in enumerate(values)])
    aggregator.end_pass(set())
    assert_same(
        aggregator.render(),
        render(aggregator.snapshot(), aggregator.bounds, GaugeMode.LAST),
        "values",
    )


# Every type zelnor_client declares, every gauge mode, and label values that need escaping, from
# a real producer process; a consumer process drains it and renders both ways.
PRODUCER = r"""
import sys
import zelnor_client as z

odd = ['a"b\\c\nd', "", "Zürich ☃", "\\", "\n", '"']
c = z.Counter("jobs", "Jobs done.\nSecond \\ line \"quoted\".", ["kind"])
for value in odd:
    c.labels(value).inc(3)
z.Counter("bytes_sent", "Bytes.", unit="bytes").inc(2.5)
h = z.Histogram("latency_seconds", "Latency.", ["route"], buckets=(0.01, 0.5, 7, 1e7))
for value in odd:
    for observed in (0.001, 0.3, 5, 1e9):
        h.labels(value).observe(observed)
s = z.Summary("size", "Size.", ["k"])
s.labels("x").observe(4)
s.labels('y"').observe(-1.5)
for mode in ["all", "liveall", "min", "livemin", "max", "livemax", "sum", "livesum",
             "mostrecent", "livemostrecent"]:
    z.Gauge("g_" + mode, "Gauge " + mode + ".", ["l"], multiprocess_mode=mode).labels(
        odd[0]).set(1234567.5)
z.Info("build", "Build.", ["site"]).labels("é").info({"version": '1"2', "commit": "a\\b"})
z.Enum("state", "State.", ["w"], states=["up", "down", "odd\"one"]).labels("1").state("down")
print("ready", flush=True)
sys.stdin.readline()
"""

FILTER = [
    "jobs_total",
    "latency_seconds_bucket",
    "state",
    "build_info",
    "bytes_sent_bytes_total",
    "g_all",
    "zelnor_exporter_series",
]
CONSUMER = """
import json, sys, time
sys.path.insert(0, {here!r})
from oracle import GaugeMode, render
from zelnor_exporter import _native

aggregator = _native.Aggregator([0.1, 1.0], "last", 1000)
drainer = _native.Drainer({directory!r}, aggregator)
seen = -1
while True:  # until a pass finds nothing new
    drainer.drain()
    snapshot = aggregator.snapshot()
    count = len(snapshot["declared"])
    if count == seen and count > 0:
        break
    seen = count
    time.sleep(0.2)
bounds = aggregator.bounds
cases = {{}}
for openmetrics in (False, True):
    for names in (None, {filter!r}):
        native = aggregator.render(openmetrics=openmetrics, names=names)
        expected = render(snapshot, bounds, GaugeMode.LAST, openmetrics=openmetrics, names=names)
        cases[repr((openmetrics, names))] = [native.decode(), expected.decode()]
print(json.dumps(cases))
"""


def test_declared_families_of_every_type_render_as_prometheus_client_renders_them(tmp_path):
    directory = tmp_path / "metrics"
    env = {"ZELNOR_METRICS_DIR": str(directory)}
    producer = subprocess.Popen(
        [sys.executable, "-c", PRODUCER],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env={**os.environ, **env},
    )
    try:
        assert producer.stdout.readline() == "ready\n"
        consumer = CONSUMER.format(here=str(HERE), directory=str(directory), filter=FILTER)
        completed = run_python(consumer, env=env)
    finally:
        producer.stdin.close()
        producer.wait(timeout=30)
    cases = json.loads(completed.stdout)
    for case, (native, expected) in cases.items():
        assert native == expected, case
    everything = cases[repr((False, None))][0]
    for shown in (
        "# TYPE jobs_total counter",
        "# TYPE latency_seconds histogram",
        "# TYPE size summary",
        "# TYPE build_info gauge",
        "# TYPE state gauge",
        "# TYPE g_livemostrecent gauge",
        'jobs_total{kind="a\\"b\\\\c\\nd"} 3.0',
    ):
        assert shown in everything
    assert "# UNIT bytes_sent_bytes bytes" in cases[repr((True, None))][0]
    filtered = cases[repr((True, FILTER))][0]
    assert "# UNIT bytes_sent_bytes bytes" in filtered  # kept, as the unfiltered family has it
    assert {line.split(" ")[2] for line in filtered.splitlines() if line.startswith("# TYPE")} == {
        "jobs",
        "latency_seconds",
        "state",
        "build",
        "bytes_sent_bytes",
        "g_all",
        "zelnor_exporter_series",
    }


# --- as served ---


def fetch(port, query="", accept=None, encoding=None):
    """(content type, content encoding, body) of /metrics."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}/metrics{query}")
    if accept:
        request.add_header("Accept", accept)
    if encoding:
        request.add_header("Accept-Encoding", encoding)
    with urllib.request.urlopen(request, timeout=10) as reply:
        return (
            reply.headers["Content-Type"],
            reply.headers.get("Content-Encoding"),
            reply.read(),
        )


OPENMETRICS = "application/openmetrics-text; version=1.0.0"


def served_names(body, openmetrics):
    parse = openmetrics_families if openmetrics else text_format_families
    return {sample.name for family in parse(body.decode()) for sample in family.samples}


def test_name_filters_serve_the_samples_named_the_exporters_own_among_them(tmp_path, prefix):
    name = prefix.replace(".", "_")
    exporter = Exporter("--interval", "0.02", "--directory", str(tmp_path / "metrics"))
    producer = Producer(tmp_path / "metrics")
    try:
        producer.record("c", name + "requests", 2)
        producer.record("h", name + "latency", 0.3)
        exporter.scrape_until(lambda s: (name + "latency_count", ()) in s)
        wanted = [
            name + "requests_total",
            name + "latency_bucket",
            "zelnor_exporter_series",
            "zelnor_exporter_timed_out_connections_total",
            name + "requests",  # a family's name, but no sample's
        ]
        query = "?" + urllib.parse.urlencode([("name[]", n) for n in wanted])
        for accept, openmetrics in ((None, False), (OPENMETRICS, True)):
            for encoding in (None, "gzip"):
                _, encoded, body = fetch(exporter.port, query, accept, encoding)
                if encoding:
                    assert encoded == "gzip"
                    body = gzip.decompress(body)
                assert served_names(body, openmetrics) == set(wanted[:4]), (accept, encoding)
        _, _, whole = fetch(exporter.port, accept=OPENMETRICS)
        assert whole.endswith(b"# EOF\n") and whole.count(b"# EOF") == 1
        names = served_names(whole, True)
        assert "zelnor_exporter_refused_connections_total" in names  # the Python side's family
        assert name + "requests_total" in names
        _, _, nothing = fetch(exporter.port, "?name[]=none_of_these", OPENMETRICS)
        assert nothing == b"# EOF\n"
    finally:
        producer.close()
        exporter.stop(signal.SIGKILL)


def test_no_openmetrics_serves_the_text_format_whatever_accept_asks(tmp_path, prefix):
    name = prefix.replace(".", "_")
    exporter = Exporter("--interval", "0.02", "--no-openmetrics", "--directory", str(tmp_path))
    producer = Producer(tmp_path)
    try:
        producer.record("c", name + "requests", 2)
        exporter.scrape_until(lambda s: (name + "requests_total", ()) in s)
        content_type, _, body = fetch(exporter.port, accept=OPENMETRICS)
        assert content_type == "text/plain; version=0.0.4; charset=utf-8"
        assert f"# TYPE {name}requests_total counter\n".encode() in body
        assert b"# EOF" not in body
        assert name + "requests_total" in served_names(body, False)
    finally:
        producer.close()
        exporter.stop(signal.SIGKILL)


SERIES = 100_000
MANY = f"""
import sys, time
import zelnor_client
requests = zelnor_client.Counter("requests", "Requests.", ["route"])
latency = zelnor_client.Histogram("latency_seconds", "Latency.", ["route"], buckets=(0.1, 1))
for i in range({SERIES} - 1000):
    requests.labels(f"/api/v1/items/{{i}}").inc(i % 5 + 1)
    if i % 200 == 0:
        time.sleep(0.05)  # a ring of 999 fills only if a drain comes a quarter second late
for i in range(1000):
    latency.labels(f"/api/v1/items/{{i}}").observe(0.5)
    if i % 200 == 0:
        time.sleep(0.05)
print("recorded", flush=True)
sys.stdin.readline()
"""


@pytest.mark.once
def test_an_exporter_started_with_its_defaults_serves_a_hundred_thousand_series(tmp_path):
    """The default --max-series holds every series of a large application: none is rejected as
    too_many_series, and each is served with its value."""
    directory = tmp_path / "metrics"
    exporter = Exporter("--directory", str(directory))
    producer = subprocess.Popen(
        [sys.executable, "-c", MANY],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
    )
    try:
        assert producer.stdout.readline() == "recorded\n"
        got = exporter.scrape_until(
            lambda s: s.get(("zelnor_exporter_series", ())) == SERIES, timeout=60
        )
        assert got[("zelnor_exporter_series", ())] == SERIES
        counters = {
            labels: value for (name, labels), value in got.items() if name == "requests_total"
        }
        assert len(counters) == SERIES - 1000
        assert all(
            value == int(labels[0][1].rsplit("/", 1)[1]) % 5 + 1
            for labels, value in counters.items()
        )
        counts = [value for (name, _), value in got.items() if name == "latency_seconds_count"]
        assert counts == [1.0] * 1000
        assert not any(name == "zelnor_exporter_rejected_entries_total" for name, _ in got)
    finally:
        producer.stdin.close()
        producer.wait(timeout=60)
        exporter.stop(signal.SIGKILL)


HISTOGRAMS = 9000
OBSERVED = 30_000
PACED = f"""
import sys, time
import zelnor_client
latency = zelnor_client.Histogram("paced_seconds", "Latency.", ["route"])
children = [latency.labels(f"/r/{{i}}") for i in range({HISTOGRAMS})]
for i, child in enumerate(children):
    child.observe(0.01)
    if i % 200 == 0:
        time.sleep(0.05)  # a ring of 999 holds five batches: a drain may be 0.2 s late
print("declared", flush=True)
sys.stdin.readline()
for i in range({OBSERVED}):
    children[i % {HISTOGRAMS}].observe(0.3)
    if i % 200 == 0:
        time.sleep(0.05)  # 4,000 a second, as above
print("recorded", flush=True)
sys.stdin.readline()
"""
BUSY = "import os\nos.nice(10)\nwhile True:\n    pass\n"


@pytest.mark.once
def test_scrapers_back_to_back_on_a_loaded_machine_cost_no_record(tmp_path):
    """4 clients scrape 9,000 declared histogram series back to back while a producer records at
    a bounded pace and two more processes keep the cores busy: a scrape renders from a snapshot
    and holds nothing a pass needs, so no pass is held up and no record is dropped."""
    directory = tmp_path / "metrics"
    exporter = Exporter("--directory", str(directory))
    env = {**os.environ, "ZELNOR_METRICS_DIR": str(directory)}
    producer = subprocess.Popen(
        [sys.executable, "-c", PACED],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    busy = [subprocess.Popen([sys.executable, "-c", BUSY]) for _ in range(2)]
    stop = threading.Event()
    scraped = [0] * 4

    def scrape_on(number):
        while not stop.is_set():
            fetch(exporter.port, accept=OPENMETRICS if number % 2 else None)
            scraped[number] += 1

    scrapers = [threading.Thread(target=scrape_on, args=(n,), daemon=True) for n in range(4)]
    try:
        assert producer.stdout.readline() == "declared\n"
        for scraper in scrapers:
            scraper.start()
        producer.stdin.write("\n")
        producer.stdin.flush()
        said = [producer.stdout.readline()]
        while said[-1] not in ("recorded\n", ""):
            said.append(producer.stdout.readline())
        assert said == ["recorded\n"]  # no "ERROR: Queue is full" line: no record dropped
        expected = HISTOGRAMS + OBSERVED
        got = exporter.scrape_until(
            lambda s: sum(v for (n, _), v in s.items() if n == "paced_seconds_count") == expected,
            timeout=60,
        )
        stop.set()
        for scraper in scrapers:
            scraper.join(timeout=60)
        counts = {labels: v for (n, labels), v in got.items() if n == "paced_seconds_count"}
        assert len(counts) == HISTOGRAMS and sum(counts.values()) == expected
        assert got[("zelnor_dropped_records_total", (("kind", "histogram"),))] == 0
        assert min(scraped) > 1  # every client kept scraping throughout
    finally:
        stop.set()
        for process in busy:
            process.kill()
            process.wait()
        producer.stdin.close()
        producer.wait(timeout=60)
        exporter.stop(signal.SIGKILL)
