"""Scrape cost against worker churn: after N workers have come and gone, how long /metrics takes
and how many files the directory holds, for prometheus_client's multiprocess mode and for
zelnor_client with zelnor-exporter, side by side in one run."""

import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

from common import read_on, section_main

SCRAPES = 15


def define(library):
    """What each worker records: a labelled counter, a histogram and a gauge in the default mode."""
    return (
        library.Counter("requests_total", "Requests.", ["route"], registry=None),
        library.Histogram("latency_seconds", "Latency.", registry=None),
        library.Gauge("in_flight", "In flight.", registry=None),
    )


def churn(metrics, workers):
    """Forks `workers` workers one after the other; each records a little and ends at once, as a
    recycled worker does (os._exit: no clean-up of any kind)."""
    requests, latency, in_flight = metrics
    for _ in range(workers):
        pid = os.fork()
        if pid == 0:
            for step in range(10):
                requests.labels(f"/r{step % 3}").inc()
                latency.observe(step / 100)
                in_flight.set(step)
            os._exit(0)
        os.waitpid(pid, 0)


def scrapes(url):
    """The first scrape's time and the median of the scrapes, in ms."""
    times = []
    for _ in range(SCRAPES):
        start = time.perf_counter()
        with urllib.request.urlopen(url, timeout=120) as reply:
            reply.read()
        times.append((time.perf_counter() - start) * 1000)
    return {"first_ms": times[0], "scrape_ms": statistics.median(times)}


def files_in(directory):
    return sum(len(files) for _, _, files in os.walk(directory))


def peer(workers):
    """prometheus_client's multiprocess mode, its collector served as an application serves it."""
    directory = tempfile.mkdtemp(prefix="zelnor-bench-churn-prom-", dir="/dev/shm")
    code = f"""
import os, sys
os.environ["PROMETHEUS_MULTIPROC_DIR"] = {directory!r}
sys.path.insert(0, {str(Path(__file__).parent)!r})
import prometheus_client
from prometheus_client import multiprocess
import churn
churn.churn(churn.define(prometheus_client), {workers})
registry = prometheus_client.CollectorRegistry()
multiprocess.MultiProcessCollector(registry)
server, _ = prometheus_client.start_http_server(0, "127.0.0.1", registry=registry)
print(server.server_port, flush=True)
sys.stdin.readline()
"""
    return serve(code, directory)


def ours(workers):
    """zelnor_client, with zelnor-exporter draining the directory meanwhile."""
    base = tempfile.mkdtemp(prefix="zelnor-bench-churn-", dir="/dev/shm")
    directory = os.path.join(base, "metrics")
    exporter = subprocess.Popen(
        [sys.executable, "-m", "zelnor_exporter", "--directory", directory, "--port", "0"]
        + ["--address", "127.0.0.1", "--interval", "0.1"],
        stdout=subprocess.PIPE,
        text=True,
    )
    line = ""
    while "serving /metrics on" not in line:
        line = exporter.stdout.readline()
    port = int(line.split(":")[-1].split(",")[0])
    read_on(exporter)
    code = f"""
import os, sys
os.environ["ZELNOR_METRICS_DIR"] = {directory!r}
sys.path.insert(0, {str(Path(__file__).parent)!r})
import zelnor_client
import churn
churn.churn(churn.define(zelnor_client), {workers})
"""
    subprocess.run([sys.executable, "-c", code], check=True)
    # The exporter lets ended workers go within a second or two: until every file is gone.
    settle = time.monotonic()
    while files_in(directory) > 1 and time.monotonic() - settle < 120:  # .consumer/lock stays
        time.sleep(0.2)
    result = {
        **scrapes(f"http://127.0.0.1:{port}/metrics"),
        "files": files_in(directory),
        "settled_s": time.monotonic() - settle,
    }
    exporter.terminate()
    exporter.wait()
    subprocess.run(["rm", "-rf", base], check=True)
    return result


def serve(code, directory):
    server = subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    port = int(server.stdout.readline())
    result = {**scrapes(f"http://127.0.0.1:{port}/metrics"), "files": files_in(directory)}
    server.stdin.write("\n")
    server.stdin.close()
    server.wait()
    subprocess.run(["rm", "-rf", directory], check=True)
    return result


def measure(*counts):
    return {
        str(workers): {"prometheus_client": peer(workers), "zelnor": ours(workers)}
        for workers in counts or (10, 100, 1000)
    }


if __name__ == "__main__":
    section_main(measure)
