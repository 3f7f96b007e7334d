"""zelnor-exporter keeps draining whatever its HTTP clients and the recorded names do: idle and slow
connections, many scrapers at once, a flood of names made to collide, many new series at start."""

import resource
import selectors
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import urllib.request

import pytest
from support import HERE, Exporter, Producer

DELIVERED = 6000


def record_paced(producer, kind, name, value, total, batch=400, pause=0.05):
    """Records `total` records in batches the exporter drains between: a ring of 999 holds more
    than two of them, so a pass may come a tenth of a second late and lose nothing. The first
    record goes alone, so that the producer's new queue files are attached before the rest."""
    assert producer.record(kind, name, value, 1) == []
    time.sleep(0.5)
    for start in range(1, total, batch):
        assert producer.record(kind, name, value, min(batch, total - start)) == []
        time.sleep(pause)


def rejected(samples):
    return {
        labels[0][1]: value
        for (name, labels), value in samples.items()
        if name == "zelnor_exporter_rejected_entries_total"
    }


def closed_by_the_other_side(connections, within):
    """The connections the exporter has closed, waiting up to `within` seconds for news."""
    closed = set()
    with selectors.DefaultSelector() as selector:
        for connection in connections:
            selector.register(connection, selectors.EVENT_READ)
        for key, _ in selector.select(within):
            try:
                if key.fileobj.recv(1) == b"":
                    closed.add(key.fileobj)
            except ConnectionError:
                closed.add(key.fileobj)
    return closed


@pytest.fixture
def many_descriptors():
    """Room in this process for a thousand connections and more."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = min(hard, 4096)
    if wanted < 1200:
        pytest.skip(f"the hard limit on descriptors, {hard}, leaves no room for 1000 connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


# systemd's soft limit of 1024 under a higher hard one; the same as the hard one; and a low hard
# limit with no cap on connections, where only the descriptors kept in reserve protect the drain.
@pytest.mark.parametrize(
    "descriptors, options, most_open",
    [
        ((1024, 4096), [], 64),
        ((1024, 1024), [], 64),
        ((256, 256), ["--max-connections", "1000"], 256 - 64),
    ],
)
def test_a_thousand_idle_connections_never_keep_a_producer_from_being_drained(
    many_descriptors, descriptors, options, most_open, prefix
):
    name = prefix.replace(".", "_") + "requests"
    exporter = Exporter("--interval", "0.05", "--timeout", "120", *options, descriptors=descriptors)
    connections = []
    producer = None
    try:
        connections = [socket.create_connection(("127.0.0.1", exporter.port)) for _ in range(1000)]
        producer = Producer()  # its queue files must be attached while the connections are held
        record_paced(producer, "c", name, 1, DELIVERED)
        # Those beyond what it serves were closed as soon as they were accepted; the idle ones it
        # serves are not cut off before their --timeout.
        closed = set()
        deadline = time.monotonic() + 60
        while len(connections) - len(closed) > most_open and time.monotonic() < deadline:
            closed |= closed_by_the_other_side(set(connections) - closed, 1.0)
        assert len(connections) - len(closed) <= most_open
        for connection in connections:
            connection.close()
        got = exporter.scrape_until(lambda s: s.get((name + "_total", ())) == DELIVERED)
        assert got[(name + "_total", ())] == DELIVERED
        assert got[("zelnor_dropped_records_total", (("kind", "counter"),))] == 0
        reasons = {
            labels[0][1]: value
            for (sample, labels), value in got.items()
            if sample == "zelnor_exporter_refused_connections_total"
        }
        assert sum(reasons.values()) >= 1000 - most_open
    finally:
        for connection in connections:
            connection.close()
        if producer is not None:
            producer.close()
        exporter.stop(signal.SIGKILL)


def test_idle_and_trickling_clients_are_cut_off_after_the_timeout():
    exporter = Exporter("--interval", "0.05", "--timeout", "1")
    idle = socket.create_connection(("127.0.0.1", exporter.port))
    trickling = socket.create_connection(("127.0.0.1", exporter.port))
    try:
        # A request that would never end: a byte every 0.2 s keeps it from ever being idle.
        request = b"GET /metrics HTTP/1.1\r\nHost: x\r\n" + b"X: " + b"a" * 1000
        deadline = time.monotonic() + 30
        closed = set()
        for byte in request:
            if trickling in closed or time.monotonic() > deadline:
                break
            try:
                trickling.sendall(bytes([byte]))
            except ConnectionError:
                closed.add(trickling)
                break
            closed |= closed_by_the_other_side({idle, trickling} - closed, 0.2)
        while closed != {idle, trickling} and time.monotonic() < deadline:
            closed |= closed_by_the_other_side({idle, trickling} - closed, 1.0)
        assert closed == {idle, trickling}
        got = exporter.scrape()
        assert got[("zelnor_exporter_timed_out_connections_total", ())] >= 2
    finally:
        idle.close()
        trickling.close()
        exporter.stop(signal.SIGKILL)


SERIES = 10000


def back_to_back_scrapers(exporter, count, stop, scrapes):
    """`count` threads (not started) that scrape the exporter back to back until `stop` is set,
    each reply's size appended to `scrapes`."""

    def scrape_back_to_back():
        while not stop.is_set():
            url = f"http://127.0.0.1:{exporter.port}/metrics"
            with urllib.request.urlopen(url, timeout=60) as reply:
                scrapes.append(len(reply.read()))

    return [threading.Thread(target=scrape_back_to_back) for _ in range(count)]


def test_scrapers_back_to_back_never_delay_draining(prefix):
    name = prefix.replace(".", "_")
    exporter = Exporter("--interval", "0.05")
    many, counted = Producer(), Producer()
    stop = threading.Event()
    scrapes = []
    scrapers = back_to_back_scrapers(exporter, 8, stop, scrapes)
    try:
        assert many.record("s", name + "series_", 0, 1) == []
        time.sleep(0.5)
        for start in range(1, SERIES - 1, 400):  # every series there is room for, but one
            assert many.record("s", name + "series_", start, min(400, SERIES - 1 - start)) == []
            time.sleep(0.05)
        got = exporter.scrape_until(lambda s: s[("zelnor_exporter_series", ())] == SERIES - 1)
        assert got[("zelnor_exporter_series", ())] == SERIES - 1
        for scraper in scrapers:
            scraper.start()
        record_paced(counted, "c", name + "counted", 1, 32000)
        stop.set()
        for scraper in scrapers:
            scraper.join()
        assert len(scrapes) >= 8
        got = exporter.scrape_until(lambda s: s.get((name + "counted_total", ())) == 32000)
        assert got[(name + "counted_total", ())] == 32000
        assert got[("zelnor_dropped_records_total", (("kind", "counter"),))] == 0
    finally:
        stop.set()
        many.close()
        counted.close()
        exporter.stop(signal.SIGKILL)


# A process that records the given names as counters of 1, over and over, on threads of its own
# (a ring each), until its standard input closes.
FLOOD = textwrap.dedent(
    """
    import sys, threading
    sys.path.insert(0, sys.argv[1])
    import zelnor_core
    from support import colliding_names

    names = colliding_names(int(sys.argv[2]))
    stop = threading.Event()

    def flood(offset):
        turn = names[offset:] + names[:offset]
        while not stop.is_set():
            for name in turn:
                zelnor_core.inc_counter(name, 1)

    threads = [
        threading.Thread(target=flood, args=(i * 997,)) for i in range(int(sys.argv[3]))
    ]
    print("flooding", flush=True)
    for thread in threads:
        thread.start()
    sys.stdin.read()
    stop.set()
    for thread in threads:
        thread.join()
    """
)


def test_a_flood_of_colliding_names_costs_a_legitimate_producer_nothing(prefix):
    name = prefix.replace(".", "_") + "legitimate"
    exporter = Exporter("--interval", "0.05", "--max-series", "10000")
    legitimate = Producer()
    flood = None
    try:
        legitimate.record("c", name, 1, 1)
        exporter.scrape_until(lambda s: s.get((name + "_total", ())) == 1)
        # Names that all land in one run of the unkeyed table, each costing a walk of it.
        flood = subprocess.Popen(
            [sys.executable, "-c", FLOOD, str(HERE), "19000", "16"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert flood.stdout.readline() == "flooding\n"
        flood.stdout.close()  # its full-queue lines go nowhere
        time.sleep(1)
        record_paced(legitimate, "c", name, 1, 32000 - 1)
        flood.stdin.close()
        assert flood.wait(timeout=60) == 0
        flood = None

        def accounted(samples):
            """Every flood entry drained is in a series or counted as rejected."""
            flooded = sum(
                value
                for (sample, labels), value in samples.items()
                if sample.endswith("_total")
                and not labels
                and not sample.startswith(("zelnor_", "process_"))  # the exporter's own
            )
            entries = samples[("zelnor_exporter_entries_total", (("kind", "counter"),))]
            return flooded + sum(rejected(samples).values()) == entries

        got = exporter.scrape_until(accounted, timeout=60)
        assert got[(name + "_total", ())] == 32000, rejected(got)
        assert accounted(got)
        assert got[("zelnor_exporter_series", ())] == 10000
    finally:
        if flood is not None:
            flood.kill()
            flood.wait()
        legitimate.close()
        exporter.stop(signal.SIGKILL)


def test_many_new_series_waiting_at_start_are_all_delivered_in_order(prefix):
    """Producers record while no exporter runs; the exporter then finds rings full of names it
    has never seen, more than a pass classifies: none is lost, and of two values of a gauge the
    later one stays."""
    name = prefix.replace(".", "_")
    producers = [Producer() for _ in range(3)]
    try:
        for number, producer in enumerate(producers):
            producer.record("s", f"{name}p{number}_", 0, 990)
            for gauge in range(495):
                producer.record("g", f"{name}p{number}_depth_{gauge}", 1.0)
                producer.record("g", f"{name}p{number}_depth_{gauge}", 2.0)
        exporter = Exporter("--interval", "0.1")
        try:
            got = exporter.scrape_until(
                lambda s: s[("zelnor_exporter_series", ())] == 3 * (990 + 495), timeout=60
            )
            mine = {key: value for key, value in got.items() if key[0].startswith(name)}
            assert sorted(mine.values()) == [1.0] * 3 * 990 + [2.0] * 3 * 495
            assert rejected(got) == {}
        finally:
            exporter.stop(signal.SIGKILL)
    finally:
        for producer in producers:
            producer.close()


# 9,000 histogram series of zelnor_client, declared and recorded paced (2,000 a second: a ring
# of 999 fills only if a pass comes half a second late); then, while the test's scrapers run, 10
# more observations into each.
HISTOGRAMS = textwrap.dedent(
    """
    import sys, time
    import zelnor_client
    latency = zelnor_client.Histogram("latency_seconds", "Latency.", ["route"])
    children = [latency.labels(f"/items/{i}") for i in range(9000)]
    for i, child in enumerate(children):
        child.observe(0.01)
        if i % 100 == 0:
            time.sleep(0.05)
    print("declared", flush=True)
    sys.stdin.readline()
    for turn in range(10):
        for i, child in enumerate(children):
            child.observe(turn % 3)
            if i % 100 == 0:
                time.sleep(0.05)
    print("recorded", flush=True)
    sys.stdin.readline()
    """
)


def test_scrapers_of_many_declared_histograms_never_cost_a_record():
    """Four clients scrape 9,000 declared histogram series back to back while a busy process
    takes a core: every observation is served, none dropped."""
    exporter = Exporter()
    producer = subprocess.Popen(
        [sys.executable, "-c", HISTOGRAMS],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    stop = threading.Event()
    scrapes = []
    scrapers = back_to_back_scrapers(exporter, 4, stop, scrapes)
    try:
        assert producer.stdout.readline() == "declared\n"
        for scraper in scrapers:
            scraper.start()
        producer.stdin.write("go\n")
        producer.stdin.flush()
        assert producer.stdout.readline() == "recorded\n"
        stop.set()
        for scraper in scrapers:
            scraper.join()
        assert len(scrapes) >= 4

        def counts(samples):
            return sum(v for (n, _), v in samples.items() if n == "latency_seconds_count")

        got = exporter.scrape_until(lambda s: counts(s) == 9000 * 11, timeout=60)
        assert counts(got) == 9000 * 11
        assert got[("zelnor_dropped_records_total", (("kind", "histogram"),))] == 0
    finally:
        stop.set()
        busy.kill()
        producer.kill()
        exporter.stop(signal.SIGKILL)
