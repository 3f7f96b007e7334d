"""zelnor-exporter keeps draining whatever the recorded names are: a flood of names made to collide,
many new series at start."""

import signal
import subprocess
import sys
import textwrap
import time

from support import HERE, Exporter, Producer


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
    exporter = Exporter("--interval", "0.05")
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
                if sample.endswith("_total") and not labels and not sample.startswith("zelnor_")
            )
            entries = samples[("zelnor_exporter_entries_total", (("kind", "counter"),))]
            return flooded + sum(rejected(samples).values()) == entries

        got = exporter.scrape_until(accounted, timeout=60)
        assert got[(name + "_total", ())] == 32000
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
