"""Remote write from zelnor-exporter: what an exposition becomes on the wire, how a sender answers
each kind of reply, authentication and TLS, against a small receiver in the test process; and the
exporter pushing to a real Prometheus and a real VictoriaMetrics through an outage of one of them,
with nothing lost."""

import math
import threading
import time

import cramjam
import pytest
from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client.parser import text_string_to_metric_families
from receivers import (
    Prometheus,
    RecordingReceiver,
    VictoriaMetrics,
    basic,
    self_signed_certificate,
    server_tls,
)
from support import Exporter, Producer, free_port

from zelnor_exporter import cli, remote_write


def wire(samples, timestamp_ms=1):
    """{labels: value} of samples as a receiver reads them off the wire."""
    return {
        tuple(labels): values[0][0]
        for labels, values in remote_write.decode(remote_write.encode(samples, timestamp_ms))
    }


def exposition(requests_200=3):
    registry = CollectorRegistry()
    requests = Counter("requests", "Requests.", ["code", "Path"], registry=registry)
    requests.labels("200", "/a").inc(requests_200)
    requests.labels("500", 'odd "quoted"\\ value\nand a line').inc()
    requests.labels("", "/empty").inc(2)  # an empty value is no label
    histogram = Histogram("latency_seconds", "Latency.", buckets=[0.1, 1], registry=registry)
    histogram.observe(0.5)
    depth = Gauge("depth", "Depth.", ["fleet"], registry=registry)
    depth.labels("own").set(4)  # the series' own label wins over the external one
    Gauge("free", "Free.", registry=registry).set(math.inf)
    return generate_latest(registry)


def expected_series(text, external):
    """What every sample of the text should be on the wire, from prometheus_client's parser."""
    return {
        tuple(
            sorted(
                {**external, **{k: v for k, v in s.labels.items() if v}, "__name__": s.name}.items()
            )
        ): s.value
        for family in text_string_to_metric_families(text.decode())
        for s in family.samples
    }


def test_an_exposition_goes_on_the_wire_as_the_protocol_orders_and_repeats_cost_no_parsing(
    monkeypatch,
):
    external = {"fleet": "eu", "host": "a"}
    labels = remote_write.SeriesLabels(external.items())
    text = exposition()
    samples, skipped = labels.samples(text)
    got = wire(samples)
    assert got == expected_series(text, external) and skipped == 0
    for series in got:
        names = [name for name, _ in series]
        assert names == sorted(names) and "__name__" in names  # "Path" sorts before "__name__"
        assert all(value for _, value in series)
    assert (
        got[
            (
                ("Path", "/a"),
                ("__name__", "requests_total"),
                ("code", "200"),
                ("fleet", "eu"),
                ("host", "a"),
            )
        ]
        == 3
    )
    assert (("__name__", "depth"), ("fleet", "own"), ("host", "a")) in got
    assert (
        ("Path", "/empty"),
        ("__name__", "requests_total"),
        ("fleet", "eu"),
        ("host", "a"),
    ) in got

    # The next push reads its known series without the parser and forgets the series gone.
    with monkeypatch.context() as patched:
        patched.setattr(remote_write, "_parse_lines", None)  # would raise if called
        later = exposition(requests_200=7)
        again = wire(labels.samples(later)[0])
    assert again == expected_series(later, external)
    labels.samples(b"only 1\n")
    assert list(labels.known) == [b"only"]

    # Lines that cannot be sent are left out and counted; the rest go.
    bad = b'bad-name{a="1"} 1\ntimed 1 1700000000000\nnot_a_number abc\n'
    repeated = text.splitlines(keepends=True)[-1]
    samples, skipped = remote_write.SeriesLabels(()).samples(text + bad + repeated)
    assert skipped == 4 and wire(samples) == expected_series(text, {})


def test_a_request_is_the_write_request_protobuf_would_write_for_its_series():
    """The requests are framed by hand around label bytes that protobuf serialized: protobuf reads
    them back as the very message it would have built, for every kind of value and label."""
    messages = remote_write.MESSAGES
    series = [
        ((("__name__", "a"),), 0.0),  # protobuf leaves a zero out; written, it reads the same
        ((("__name__", "b_total"), ("path", "/x y"), ("z", 'ünï"\n')), 2.0**53 + 2),
        ((("Up", "1"), ("__name__", "c")), -math.inf),
        ((("__name__", "d"), ("long", "v" * 300)), -1.5e-300),  # a length of two varint bytes
    ]
    timestamp = 1_796_778_907_564
    body = remote_write.encode([(remote_write.labels_message(k), v) for k, v in series], timestamp)
    expected = messages["WriteRequest"](
        timeseries=[
            messages["TimeSeries"](
                labels=[messages["Label"](name=n, value=v) for n, v in labels],
                samples=[messages["Sample"](value=value, timestamp=timestamp)],
            )
            for labels, value in series
        ]
    )
    raw = bytes(cramjam.snappy.decompress_raw(body))
    assert messages["WriteRequest"].FromString(raw) == expected
    nan = remote_write.decode(remote_write.encode([(remote_write.labels_message(()), math.nan)], 1))
    assert math.isnan(nan[0][1][0][0])


class Source:
    """An exposition whose counter counts the snapshots taken."""

    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1
        return f"# TYPE pushes counter\npushes_total {self.calls}\n".encode()


def writer(source, *urls, flags=(), interval=0.2):
    args = cli.parse_arguments(
        [
            *(f"--remote-write.url={url}" for url in urls),
            f"--remote-write.interval={interval}",
            "--remote-write.timeout=5",
            *flags,
        ]
    )
    return remote_write.from_arguments(args, source)


def pushed(request):
    return request.values()[(("__name__", "pushes_total"),)]


def metrics(written):
    return {
        (s.name, tuple(sorted(s.labels.items()))): s.value
        for family in written.collect()
        for s in family.samples
    }


def test_retried_failures_carry_the_newest_totals_and_a_refused_request_is_dropped(
    tmp_path, capsys
):
    receiver = RecordingReceiver(answers=[503, (429, {"Retry-After": "0"}), 400])
    password = tmp_path / "password"
    password.write_text("one\n")
    source = Source()
    written = writer(
        source,
        receiver.url,
        flags=[
            "--remote-write.username=zelnor",
            f"--remote-write.password-file={password}",
            "--remote-write.header=X-Scope-OrgID: fleet-1",
        ],
    )
    written.start()
    try:
        first, second, third, fourth = (receiver.next() for _ in range(4))
        for request in (first, second, third, fourth):
            assert request.path == "/api/v1/write"
            headers = {k.lower(): v for k, v in request.headers.items()}
            assert headers["content-encoding"] == "snappy"
            assert headers["content-type"] == "application/x-protobuf"
            assert headers["x-prometheus-remote-write-version"] == "0.1.0"
            assert headers["user-agent"].startswith("zelnor-exporter/")
            assert headers["authorization"] == basic("zelnor", "one")
            assert headers["x-scope-orgid"] == "fleet-1"
        # Each request carries the totals of its time, never older ones than before.
        requests = [first, second, third, fourth]
        stamps = [r.timestamps()[(("__name__", "pushes_total"),)] for r in requests]
        assert stamps == sorted(stamps) and [pushed(r) for r in requests] == sorted(
            pushed(r) for r in requests
        )
        # The refused one is not sent again: the next push is of a later snapshot.
        assert stamps[3] > stamps[2]

        password.write_text("two\n")  # read again for every push
        while receiver.next().headers["Authorization"] != basic("zelnor", "two"):
            pass
    finally:
        written.close()
        receiver.close()
    got = metrics(written)
    url = (("url", receiver.url),)
    assert (
        got[("zelnor_exporter_remote_write_failures_total", (("reason", "server_error"),) + url)]
        == 1
    )
    assert (
        got[("zelnor_exporter_remote_write_failures_total", (("reason", "throttled"),) + url)] == 1
    )
    assert got[("zelnor_exporter_remote_write_failures_total", (("reason", "refused"),) + url)] == 1
    assert (
        got[("zelnor_exporter_remote_write_failures_total", (("reason", "unreachable"),) + url)]
        == 0
    )
    assert got[("zelnor_exporter_remote_write_samples_dropped_total", url)] == 1
    assert got[("zelnor_exporter_remote_write_samples_sent_total", url)] >= 2
    assert (
        got[("zelnor_exporter_remote_write_last_success_timestamp_seconds", url)]
        >= stamps[3] / 1000
    )
    lines = capsys.readouterr().out.splitlines()
    failures = [line for line in lines if line.startswith("ERROR: ")]
    assert failures == [
        f"ERROR: Remote write to {receiver.url} failed (retrying with the newest totals): "
        'HTTP 503: "refused with 503"',
        f"ERROR: Remote write to {receiver.url} failed (retrying with the newest totals): "
        'HTTP 429: "refused with 429"',
        f'ERROR: Remote write to {receiver.url} failed (dropped): HTTP 400: "refused with 400"',
    ]
    assert (
        f"zelnor-exporter: remote write to {receiver.url} delivers again, after 3 failed requests"
        in lines
    )


def test_a_receiver_that_hangs_or_is_gone_never_holds_up_a_live_one(tmp_path):
    hold = threading.Event()
    hung = RecordingReceiver(hold=hold)
    live = RecordingReceiver()
    gone = f"http://127.0.0.1:{free_port()}/api/v1/write"
    token = tmp_path / "token"
    token.write_text("secret-token\n")
    source = Source()
    written = writer(
        source, hung.url, gone, live.url, flags=[f"--remote-write.bearer-token-file={token}"]
    )
    written.start()
    try:
        hung.next()  # and its answer waits for hold
        totals = [pushed(live.next()) for _ in range(3)]
        assert totals == sorted(totals) and len(set(totals)) == 3
        assert live.next().headers["Authorization"] == "Bearer secret-token"
        got = metrics(written)
        assert (
            got[
                (
                    "zelnor_exporter_remote_write_failures_total",
                    (("reason", "unreachable"), ("url", gone)),
                )
            ]
            >= 1
        )
        assert got[("zelnor_exporter_remote_write_samples_sent_total", (("url", hung.url),))] == 0
    finally:
        hold.set()
        written.close()
        hung.close()
        live.close()
    # Closing sends a snapshot taken then, once, to each receiver that answers.
    last = None
    while not live.requests.empty():
        last = live.requests.get()
    assert pushed(last) == source.calls


def test_a_rendering_that_fails_is_said_once_and_the_next_push_goes(capsys):
    class Failing(Source):
        def __call__(self):
            if self.calls < 2:
                self.calls += 1
                raise RuntimeError("no totals")
            return super().__call__()

    receiver = RecordingReceiver()
    written = writer(Failing(), receiver.url)
    written.start()
    try:
        assert pushed(receiver.next()) == 3
    finally:
        written.close()
        receiver.close()
    errors = [line for line in capsys.readouterr().out.splitlines() if line.startswith("ERROR")]
    assert errors == ["ERROR: Remote write found no totals to push: RuntimeError('no totals')"]


def test_tls_with_a_ca_file_and_a_client_certificate(tmp_path):
    certificate, key = self_signed_certificate(tmp_path)
    receiver = RecordingReceiver(tls=server_tls(certificate, key, client_ca=certificate))
    trusting = writer(
        Source(),
        receiver.url,
        flags=[
            f"--remote-write.ca-file={certificate}",
            f"--remote-write.cert-file={certificate}",
            f"--remote-write.key-file={key}",
        ],
    )
    distrusting = writer(Source(), receiver.url)  # the system's CAs do not know this one
    distrusting.start()
    trusting.start()
    try:
        assert pushed(receiver.next()) >= 1
        url = (("url", receiver.url),)
        while not metrics(distrusting)[
            ("zelnor_exporter_remote_write_failures_total", (("reason", "unreachable"),) + url)
        ]:
            time.sleep(0.05)
    finally:
        trusting.close()
        distrusting.close()
        receiver.close()
    assert metrics(distrusting)[("zelnor_exporter_remote_write_samples_sent_total", url)] == 0
    assert metrics(trusting)[("zelnor_exporter_remote_write_samples_sent_total", url)] >= 1


@pytest.mark.parametrize(
    "flags, said",
    [
        (["--remote-write.url=ftp://host/x"], "must be an http:// or https:// URL"),
        (["--remote-write.url=http://u:p@host/x"], "cannot hold credentials"),
        (
            ["--remote-write.url=http://h/x", "--remote-write.url=http://h/x"],
            "names one receiver twice",
        ),
        (["--remote-write.label=__x=1"], "not NAME=VALUE"),
        (["--remote-write.label=a="], "not NAME=VALUE"),
        (["--remote-write.label=a=1", "--remote-write.label=a=2"], "names one label twice"),
        (["--remote-write.password-file=/dev/null"], "needs --remote-write.username"),
        (
            ["--remote-write.username=u", "--remote-write.bearer-token-file=/dev/null"],
            "exclude each other",
        ),
        (["--remote-write.bearer-token-file=/nonexistent"], "No such file"),
        (["--remote-write.key-file=/dev/null"], "needs --remote-write.cert-file"),
        (["--remote-write.interval=0"], "must be positive"),
        (["--remote-write.header=Content-Type: text/plain"], "is set by the exporter itself"),
        (["--remote-write.header=X-Scope-OrgID"], "not NAME: VALUE"),
        (
            ["--remote-write.header=X-A: 1", "--remote-write.header=x-a: 2"],
            "names one header twice",
        ),
    ],
)
def test_flags_that_cannot_work_are_refused_at_start(flags, said, capsys):
    with pytest.raises(SystemExit) as exited:
        cli.parse_arguments(flags)
    assert exited.value.code == 2 and said in capsys.readouterr().err


def test_the_exporter_pushes_what_it_serves_and_serves_how_its_pushes_fare(tmp_path, prefix):
    receiver = RecordingReceiver()
    directory = tmp_path / "metrics"
    exporter = Exporter(
        "--directory",
        str(directory),
        f"--remote-write.url={receiver.url}",
        "--remote-write.interval=0.2",
        "--remote-write.label=instance=host-1",
    )
    producer = Producer(directory)
    name = prefix.replace(".", "_")
    series = (("__name__", f"{name}jobs_total"), ("instance", "host-1"), ("queue", "a"))
    try:
        producer.record("c", f'{name}jobs{{queue="a"}}', 2, 21)
        while receiver.next().values().get(series) != 42:
            pass
        url = (("url", receiver.url),)
        # And /metrics says how the pushes fare.
        served = exporter.scrape_until(
            lambda got: got.get(("zelnor_exporter_remote_write_samples_sent_total", url))
        )
        assert served[("zelnor_exporter_remote_write_samples_sent_total", url)] > 0
        assert served[("zelnor_exporter_remote_write_last_success_timestamp_seconds", url)] > 0
    finally:
        producer.close()
        status, output = exporter.stop()
        receiver.close()
    assert status == 0, output


# --- real receivers ---


def recorded_series(exporter, name):
    """The exporter's own scrape of the test's series, as a receiver stores them."""
    return {
        tuple(sorted({**dict(labels), "__name__": sample, "fleet": "test"}.items())): value
        for (sample, labels), value in exporter.scrape().items()
        if sample.startswith(name)
    }


@pytest.mark.once
def test_the_exporter_pushes_to_prometheus_and_victoriametrics_through_an_outage(tmp_path, prefix):
    """Both receivers store exactly the totals recorded; one of them stopped while more is
    recorded and started again gets the current totals, and the other goes on meanwhile; at
    SIGTERM the exporter pushes the final totals once more."""
    (tmp_path / "prometheus").mkdir()
    (tmp_path / "victoria").mkdir()
    prometheus = Prometheus(tmp_path / "prometheus")
    victoria = VictoriaMetrics(tmp_path / "victoria")
    directory = tmp_path / "metrics"
    exporter = Exporter(
        "--directory",
        str(directory),
        "--buckets",
        "0.1,1",
        f"--remote-write.url={prometheus.url}",
        f"--remote-write.url={victoria.url}",
        "--remote-write.interval=0.5",
        "--remote-write.label=fleet=test",
    )
    producer = Producer(directory)
    name = prefix.replace(".", "_")
    match = f'{{fleet="test",__name__=~"{name}.*"}}'
    requests = (("__name__", f"{name}requests_total"), ("code", "200"), ("fleet", "test"))
    receivers = {"prometheus": prometheus, "victoria": victoria}

    def record(round_):
        producer.record("c", f'{name}requests{{code="200"}}', 1, 50 * round_)
        producer.record("h", f"{name}seconds", 0.5, 10 * round_)
        producer.record("g", f"{name}depth", round_)

    def stored_equal_recorded(*which, counted):
        """Waits until the exporter's totals include everything recorded, and each receiver's
        newest values are those totals; returns them."""
        deadline = time.monotonic() + 90
        while True:
            recorded = recorded_series(exporter, name)
            stored = {w: receivers[w].latest(match) for w in which}
            if recorded.get(requests) == counted and all(s == recorded for s in stored.values()):
                return recorded
            assert time.monotonic() < deadline, (recorded, stored)
            time.sleep(0.25)

    def failures(url):
        return exporter.sample(
            "zelnor_exporter_remote_write_failures_total", reason="unreachable", url=url
        )

    try:
        record(1)
        recorded = stored_equal_recorded("prometheus", "victoria", counted=50)
        assert recorded[(("__name__", f"{name}seconds_count"), ("fleet", "test"))] == 10
        bucket = (("__name__", f"{name}seconds_bucket"), ("fleet", "test"), ("le", "1.0"))
        assert recorded[bucket] == 10

        victoria.stop()
        record(2)
        # Prometheus goes on while VictoriaMetrics is away...
        stored_equal_recorded("prometheus", counted=150)
        deadline = time.monotonic() + 60
        while not failures(victoria.url):
            assert time.monotonic() < deadline, "no push to the stopped receiver failed"
            time.sleep(0.25)
        record(3)
        victoria.start()
        # ...and VictoriaMetrics, back, gets the current totals: nothing recorded meanwhile lost.
        stored_equal_recorded("prometheus", "victoria", counted=300)
        assert (
            exporter.sample("zelnor_exporter_remote_write_samples_dropped_total", url=victoria.url)
            == 0
        )

        record(4)  # just before SIGTERM: only the final push can carry it
        status, output = exporter.stop()
        assert status == 0, output
        assert f"ERROR: Remote write to {victoria.url} failed (retrying" in output
        assert f"zelnor-exporter: remote write to {victoria.url} delivers again" in output
        for receiver in receivers.values():
            deadline = time.monotonic() + 60
            while (got := receiver.latest(match)).get(requests) != 500:
                assert time.monotonic() < deadline, (receiver.name, got, output)
                time.sleep(0.25)
            assert got[(("__name__", f"{name}depth"), ("fleet", "test"))] == 4
            assert got[(("__name__", f"{name}seconds_count"), ("fleet", "test"))] == 100
    finally:
        producer.close()
        exporter.stop()
        prometheus.stop()
        victoria.stop()
