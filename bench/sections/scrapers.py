"""Declared series under scrapers: one process declares 9,000 histogram series of zelnor_client
and observes into them in turn, 2,000 times a second; the exporter's CPU is measured while nobody
scrapes, then while four clients scrape back to back and another process takes a core. Every
observation made must be served, and none dropped."""

import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

from common import read_on, section_main

SERIES = 9000
SCRAPERS = 4

# Observes in batches of 100 with a pause of 50 ms (a ring of 999 fills only if a pass comes half
# a second late) until its standard input closes, then prints how many observations it made.
PRODUCER = f"""
import sys, threading, time
import zelnor_client
latency = zelnor_client.Histogram("latency_seconds", "Latency.", ["route"], registry=None)
children = [latency.labels(f"/items/{{i}}") for i in range({SERIES})]
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
made = 0
for child in children:
    child.observe(0.01)
    made += 1
    if made % 100 == 0:
        time.sleep(0.05)
print("declared", flush=True)
while not stop.is_set():
    for _ in range(100):
        children[made % {SERIES}].observe(made % 3)
        made += 1
    time.sleep(0.05)
print(made, flush=True)
"""


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(pid, seconds):
    """The process's CPU seconds a second over `seconds`."""
    start, began = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - start) / (time.monotonic() - began)


def served(url):
    """(observations served, histogram records dropped) in one scrape."""
    count = dropped = 0.0
    with urllib.request.urlopen(url, timeout=600) as reply:
        for line in reply.read().decode().splitlines():
            if line.startswith("latency_seconds_count"):
                count += float(line.split()[-1])
            elif line.startswith('zelnor_dropped_records_total{kind="histogram"}'):
                dropped = float(line.split()[-1])
    return count, dropped


def measure(seconds=10.0):
    base = tempfile.mkdtemp(prefix="zelnor-bench-scrapers-", dir="/dev/shm")
    directory = os.path.join(base, "metrics")
    exporter = subprocess.Popen(
        [sys.executable, "-m", "zelnor_exporter", "--directory", directory, "--port", "0"]
        + ["--address", "127.0.0.1", "--interval", "0.05"],
        stdout=subprocess.PIPE,
        text=True,
    )
    line = ""
    while "serving /metrics on" not in line:
        line = exporter.stdout.readline()
    url = f"http://127.0.0.1:{int(line.split(':')[-1].split(',')[0])}/metrics"
    read_on(exporter)
    producer = subprocess.Popen(
        [sys.executable, "-c", PRODUCER],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env={**os.environ, "ZELNOR_METRICS_DIR": directory},
    )
    assert producer.stdout.readline() == "declared\n"
    quiet = cpu_share(exporter.pid, seconds)
    stop = threading.Event()
    times = []

    def scrape():
        while not stop.is_set():
            began = time.perf_counter()
            with urllib.request.urlopen(url, timeout=600) as reply:
                reply.read()
            times.append((time.perf_counter() - began) * 1000)

    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    scrapers = [threading.Thread(target=scrape) for _ in range(SCRAPERS)]
    for scraper in scrapers:
        scraper.start()
    scraped = cpu_share(exporter.pid, seconds)
    stop.set()
    for scraper in scrapers:
        scraper.join()
    busy.kill()
    producer.stdin.close()
    made = int(producer.stdout.readline())
    producer.wait()
    deadline = time.monotonic() + 30
    count, dropped = served(url)
    while count < made and time.monotonic() < deadline:
        time.sleep(0.2)
        count, dropped = served(url)
    exporter.terminate()
    exporter.wait()
    subprocess.run(["rm", "-rf", base], check=True)
    return {
        "quiet_cpu": quiet,
        "scraped_cpu": scraped,
        "scrapes": len(times),
        "scrape_ms": statistics.median(times),
        "made": made,
        "served": count,
        "dropped": dropped,
    }


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).parent))
    section_main(measure)
