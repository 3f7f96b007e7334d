"""Scrape cost against series: 4 workers record the same labelled counters and labelled histograms
(ten counter series to one histogram series), and one more process keeps recording, so that every
scrape finds new totals; then /metrics is scraped, each reply rendered afresh, from
prometheus_client's multiprocess collector and from zelnor-exporter over zelnor_client, side by
side in one run. The exporter's resident memory before and after gives its bytes per series."""

import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

from common import read_on, section_main

WORKERS = 4
PACE = 400  # records between pauses, so that a ring of 999 never fills between two drains

WORKLOAD = """
import os, sys, threading, time
os.environ[{variable!r}] = {directory!r}
import {library} as library

counters, histograms = {counters}, {histograms}
requests = library.Counter("requests_total", "Requests.", ["route"], registry=None)
latency = library.Histogram("latency_seconds", "Latency.", ["route"], registry=None)

def record():
    for i in range(counters):
        requests.labels(f"/api/v1/items/{{i}}").inc()
        if i % {pace} == 0:
            time.sleep(0.03)
    for i in range(histograms):
        latency.labels(f"/api/v1/items/{{i}}").observe(i % 7 / 10)
        if i % {pace} == 0:
            time.sleep(0.03)

for _ in range({workers}):
    pid = os.fork()
    if pid == 0:
        record()
        os._exit(0)
    os.waitpid(pid, 0)
live = library.Counter("live_total", "Recorded throughout.", registry=None)
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
print("recorded", flush=True)
while not stop.is_set():  # until the benchmark closes its standard input
    live.inc()
    time.sleep(0.002)
"""

PEER_SERVER = """
import sys
import prometheus_client
from prometheus_client import multiprocess
registry = prometheus_client.CollectorRegistry()
multiprocess.MultiProcessCollector(registry, path=sys.argv[1])
server, _ = prometheus_client.start_http_server(0, "127.0.0.1", registry=registry)
print(server.server_port, flush=True)
sys.stdin.readline()
"""


def scrape_ms(url, scrapes):
    """The median time of scrapes, in ms, and the size of the last. Each waits for two passes
    (--interval 0.01) after the last, so that every reply is rendered afresh rather than shared
    with the one before."""
    times = []
    size = 0
    for _ in range(scrapes):
        time.sleep(0.02)
        start = time.perf_counter()
        with urllib.request.urlopen(url, timeout=600) as reply:
            size = len(reply.read())
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times), size


def resident_bytes(pid):
    with open(f"/proc/{pid}/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def workload(library, variable, directory, series):
    histograms = max(1, series // 11)
    code = WORKLOAD.format(
        variable=variable,
        directory=directory,
        library=library,
        counters=series - histograms,
        histograms=histograms,
        pace=PACE,
        workers=WORKERS,
    )
    process = subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    assert process.stdout.readline() == "recorded\n"
    return process


def peer(series, scrapes):
    directory = tempfile.mkdtemp(prefix="zelnor-bench-scrape-prom-", dir="/dev/shm")
    recording = workload("prometheus_client", "PROMETHEUS_MULTIPROC_DIR", directory, series)
    server = subprocess.Popen(
        [sys.executable, "-c", PEER_SERVER, directory],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    port = int(server.stdout.readline())
    ms, size = scrape_ms(f"http://127.0.0.1:{port}/metrics", scrapes)
    for process in (server, recording):
        process.stdin.close()
        process.wait()
    subprocess.run(["rm", "-rf", directory], check=True)
    return {"scrape_ms": ms, "bytes": size}


def ours(series, scrapes):
    base = tempfile.mkdtemp(prefix="zelnor-bench-scrape-", dir="/dev/shm")
    directory = os.path.join(base, "metrics")
    exporter = subprocess.Popen(
        [sys.executable, "-m", "zelnor_exporter", "--directory", directory, "--port", "0"]
        + ["--address", "127.0.0.1", "--interval", "0.01"],
        stdout=subprocess.PIPE,
        text=True,
    )
    line = ""
    while "serving /metrics on" not in line:
        line = exporter.stdout.readline()
    port = int(line.split(":")[-1].split(",")[0])
    read_on(exporter)
    url = f"http://127.0.0.1:{port}/metrics"
    scrape_ms(url, 1)
    before = resident_bytes(exporter.pid)
    recording = workload("zelnor_client", "ZELNOR_METRICS_DIR", directory, series)
    held = 0
    while held < series + 1:  # every series, and the live one
        time.sleep(0.2)
        with urllib.request.urlopen(url, timeout=600) as reply:
            for line in reply.read().decode().splitlines():
                if line.startswith("zelnor_exporter_series "):
                    held = float(line.split()[-1])
    ms, size = scrape_ms(url, scrapes)
    after = resident_bytes(exporter.pid)
    recording.stdin.close()
    recording.wait()
    exporter.terminate()
    exporter.wait()
    subprocess.run(["rm", "-rf", base], check=True)
    return {"scrape_ms": ms, "bytes": size, "bytes_per_series": (after - before) / series}


def measure(*counts):
    results = {}
    for series in counts or (1000, 10000, 11000, 100000):
        scrapes = 20 if series <= 11000 else 5
        results[str(series)] = {
            "prometheus_client": peer(series, scrapes),
            "zelnor": ours(series, scrapes),
        }
    return results


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).parent))
    section_main(measure)
