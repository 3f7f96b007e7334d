"""What a remote-write push costs the exporter at 10,000 and 100,000 series: rendering the
exposition (prometheus_client's generate_latest over a registry of that many counter series, three
labels each), the first snapshot (every line parsed), a later one (known lines looked up), the
requests' bytes, the memory the snapshot and the remembered lines hold, and delivering a push to a
real VictoriaMetrics where one is installed.

    python3 bench/sections/remote_write.py [SERIES ...]
"""

import json
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tracemalloc
import urllib.request

import prometheus_client
from prometheus_client import CollectorRegistry, Counter, generate_latest

from zelnor_exporter import remote_write


def registry_of(series):
    prometheus_client.disable_created_metrics()  # one sample per series, as the exporter's
    registry = CollectorRegistry()
    counter = Counter("http_requests", "Requests.", ["method", "code", "path"], registry=registry)
    for number in range(series):
        counter.labels("GET", str(200 + number % 5), f"/api/v1/items/{number}").inc(number)
    return registry


def best(measure, rounds=3):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        measure()
        times.append(time.perf_counter() - started)
    return min(times)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def delivery_seconds(snapshots):
    """Seconds one push takes to reach a VictoriaMetrics on this machine, or None."""
    victoria = shutil.which("victoria-metrics")
    if victoria is None:
        return None
    port = free_port()
    with tempfile.TemporaryDirectory() as data:
        process = subprocess.Popen(
            [victoria, f"-httpListenAddr=127.0.0.1:{port}", f"-storageDataPath={data}"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        try:
            while True:
                try:
                    urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            connection = remote_write.Connection(
                f"http://127.0.0.1:{port}/api/v1/write", 30, None, remote_write.Credentials(), {}
            )
            snapshot = snapshots.latest

            def push():
                for body, _ in snapshot.requests:
                    connection.post(body, None)

            push()  # the series are new to it once
            return best(push)
        finally:
            process.send_signal(signal.SIGTERM)
            process.wait()


def measure(series):
    registry = registry_of(series)
    text = generate_latest(registry)
    render = best(lambda: generate_latest(registry))
    first = best(lambda: remote_write.Snapshots(lambda: text, ()).fresh(0), rounds=1)
    tracemalloc.start()
    snapshots = remote_write.Snapshots(lambda: text, ())
    snapshot = snapshots.fresh(0)
    held = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    later = best(lambda: snapshots.fresh(time.monotonic()))
    lookup = best(lambda: snapshots.labels.samples(text))
    return {
        "series": series,
        "exposition_bytes": len(text),
        "render_seconds": render,
        "first_snapshot_seconds": first,  # every line parsed, then encoded
        "later_snapshot_seconds": later,  # known lines looked up, then encoded
        "lookup_seconds": lookup,
        "requests": len(snapshot.requests),
        "compressed_bytes": sum(len(body) for body, _ in snapshot.requests),
        "held_bytes": held,  # the snapshot and the remembered lines
        "delivery_seconds": delivery_seconds(snapshots),
    }


if __name__ == "__main__":
    counts = [int(a) for a in sys.argv[1:]] or [10_000, 100_000]
    print(json.dumps([measure(count) for count in counts], indent=1))
