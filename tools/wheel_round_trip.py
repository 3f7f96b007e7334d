"""An exact round trip through an installed wheel: run by tools/check-wheel.sh in a fresh venv.

Producer processes, several threads each, record known counters, histogram observations and
gauges through zelnor_core while this process drains them; the totals must come out exactly.
Then processes record through zelnor_client into a second directory that zelnor-exporter drains,
and a scrape must show exactly what they recorded. Says so in one line,
or fails with the difference.
"""

import collections
import multiprocessing
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

PROCESSES = 4
THREADS = 3
# Records per thread and kind, under a queue's 999, so that a slow drain loses nothing.
RECORDS = 600
DEADLINE = 60.0


def record_core(process):
    import zelnor_core

    def work(thread):
        for i in range(RECORDS):
            zelnor_core.inc_counter(f"wheel_count_{thread}", process + 1)
            zelnor_core.observe_histogram("wheel_seconds", (i % 4) * 0.25)
            zelnor_core.set_gauge(f"wheel_gauge_{process}_{thread}", float(i))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def expected_core():
    counters = {
        f"wheel_count_{t}": RECORDS * sum(p + 1 for p in range(PROCESSES)) for t in range(THREADS)
    }
    observations = PROCESSES * THREADS * RECORDS
    histogram = (observations, sum((i % 4) * 0.25 for i in range(RECORDS)) * PROCESSES * THREADS)
    gauges = {
        f"wheel_gauge_{p}_{t}": float(RECORDS - 1) for p in range(PROCESSES) for t in range(THREADS)
    }
    return counters, histogram, gauges


def core_round_trip():
    import zelnor_core

    zelnor_core.get_counter_entries()  # this process becomes the consumer first
    context = multiprocessing.get_context("spawn")
    workers = [context.Process(target=record_core, args=(p,)) for p in range(PROCESSES)]
    for worker in workers:
        worker.start()
    counters = collections.Counter()
    observations, total, gauges = 0, 0.0, {}
    want = expected_core()
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        for entry in zelnor_core.get_counter_entries():
            counters[entry.name] += entry.value
        for entry in zelnor_core.get_histogram_entries():
            observations += 1
            total += entry.value
        for entry in zelnor_core.get_gauge_entries():
            gauges[entry.name] = entry.value
        if (dict(counters), (observations, total), gauges) == want:
            break
        time.sleep(0.01)
    for worker in workers:
        worker.join()
        assert worker.exitcode == 0, f"a producer exited with {worker.exitcode}"
    got = (dict(counters), (observations, total), gauges)
    assert got == want, f"zelnor_core drained {got}, recorded {want}"


CLIENT_WORKLOAD = """
from zelnor_client import Counter, Histogram
requests = Counter("wheel_requests", "Requests.", ["code"])
latency = Histogram("wheel_latency_seconds", "Latency.", buckets=(0.5, 1.0))
for i in range({records}):
    requests.labels(str(200 + i % 2)).inc()
    latency.observe((i % 4) * 0.25)
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def scrape(port):
    from prometheus_client.parser import text_string_to_metric_families

    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as reply:
        text = reply.read().decode()
    return {
        (s.name, tuple(sorted(s.labels.items()))): s.value
        for family in text_string_to_metric_families(text)
        for s in family.samples
    }


def client_round_trip(directory):
    port = free_port()
    env = dict(os.environ, ZELNOR_METRICS_DIR=str(directory))
    exporter = subprocess.Popen(
        [sys.executable, "-m", "zelnor_exporter", "--port", str(port), "--address", "127.0.0.1"],
        env=env,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        for line in exporter.stdout:
            if line.startswith("zelnor-exporter: serving /metrics"):
                break
        else:
            raise AssertionError("zelnor-exporter ended before it served")
        threading.Thread(target=exporter.stdout.read, daemon=True).start()
        code = CLIENT_WORKLOAD.format(records=RECORDS)
        for _ in range(PROCESSES):
            subprocess.run([sys.executable, "-c", code], env=env, check=True)
        observations = PROCESSES * RECORDS
        want = {
            ("wheel_requests_total", (("code", "200"),)): observations / 2,
            ("wheel_requests_total", (("code", "201"),)): observations / 2,
            ("wheel_latency_seconds_count", ()): observations,
            ("wheel_latency_seconds_sum", ()): observations * 0.375,
            ("wheel_latency_seconds_bucket", (("le", "0.5"),)): observations * 3 / 4,
            ("wheel_latency_seconds_bucket", (("le", "1.0"),)): observations,
            ("wheel_latency_seconds_bucket", (("le", "+Inf"),)): observations,
        }
        deadline = time.monotonic() + DEADLINE
        while True:
            served = scrape(port)
            got = {key: served.get(key) for key in want}
            if got == want or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        assert got == want, f"zelnor-exporter served {got}, recorded {want}"
    finally:
        exporter.terminate()
        exporter.wait(timeout=30)


def main():
    import zelnor_core

    origin = Path(zelnor_core.__file__)
    assert "site-packages" in origin.parts, f"zelnor_core comes from {origin}, not the wheel"
    with tempfile.TemporaryDirectory(prefix="zelnor-wheel-") as run:
        os.environ["ZELNOR_METRICS_DIR"] = str(Path(run) / "core")
        core_round_trip()
        client_round_trip(Path(run) / "client")
    print(
        f"{sys.implementation.cache_tag} {8 * __import__('struct').calcsize('P')}-bit, "
        f"{origin.name}"
    )
    print("round trip exact: zelnor_core in processes, zelnor_client through zelnor-exporter")


if __name__ == "__main__":
    main()
