"""zelnor in action: worker processes and threads record, this process collects.

Starts worker processes with both the fork and the spawn start method of multiprocessing, each
with a few threads that record counters, histograms and gauges. Meanwhile this process drains
every 50 ms, prints the live totals once a second, drains to empty once the workers are done,
and checks the final totals against what the workers say they recorded.

The names are the kind to copy: snake_case, a base unit (seconds), labels in Prometheus form, and
one gauge series per recording thread (gauges set from several threads of one name have no order
between the threads). zelnor-exporter serves every one of them as recorded.

    python examples/demo.py [--seconds 4] [--workers 2] [--threads 3]
"""

import argparse
import math
import multiprocessing
import os
import random
import sys
import threading
import time
from collections import defaultdict

import zelnor_core

DRAIN_INTERVAL = 0.05


def worker(label, threads, seconds, report):
    """Records for a few seconds from several threads, then reports what it recorded."""
    lock = threading.Lock()
    counters = defaultdict(int)
    histograms = defaultdict(list)
    gauges = {}

    def record(thread):
        rng = random.Random(f"{label}-{thread}")
        deadline = time.monotonic() + seconds
        queue_depth = 0
        requests = {
            route: f'http_requests{{route="{route}"}}' for route in ("/", "/login", "/search")
        }
        depth = f'queue_depth{{worker="{label}",thread="{thread}"}}'
        while time.monotonic() < deadline:
            route = rng.choice(list(requests))
            latency = round(rng.expovariate(20.0), 6)
            zelnor_core.inc_counter(requests[route], 1)
            zelnor_core.observe_histogram("request_duration_seconds", latency)
            queue_depth = rng.randint(0, 50)
            zelnor_core.set_gauge(depth, queue_depth)
            with lock:
                counters[requests[route]] += 1
                histograms["request_duration_seconds"].append(latency)
            time.sleep(0.001)
        with lock:
            gauges[depth] = float(queue_depth)

    running = [threading.Thread(target=record, args=(t,)) for t in range(threads)]
    for thread in running:
        thread.start()
    for thread in running:
        thread.join()
    report.put((dict(counters), dict(histograms), gauges))


class Totals:
    """What the collector has seen: counter sums, histogram summaries, last gauge values."""

    def __init__(self):
        self.counters = defaultdict(int)
        self.histograms = defaultdict(lambda: [0, 0.0, math.inf, -math.inf])
        self.gauges = {}

    def drain(self):
        for entry in zelnor_core.get_counter_entries():
            self.counters[entry.name] += entry.value
        for entry in zelnor_core.get_histogram_entries():
            summary = self.histograms[entry.name]
            summary[0] += 1
            summary[1] += entry.value
            summary[2] = min(summary[2], entry.value)
            summary[3] = max(summary[3], entry.value)
        for entry in zelnor_core.get_gauge_entries():
            self.gauges[entry.name] = entry.value

    def print_table(self, title):
        print(f"\n{title}")
        print(f"  {'counter':<44}{'sum':>12}")
        for name, total in sorted(self.counters.items()):
            print(f"  {name:<44}{total:>12}")
        print(f"  {'histogram':<44}{'count':>8}{'sum':>12}{'min':>10}{'max':>10}")
        for name, (count, total, low, high) in sorted(self.histograms.items()):
            print(f"  {name:<44}{count:>8}{total:>12.3f}{low:>10.4f}{high:>10.4f}")
        print(f"  {'gauge (last value)':<44}{'value':>12}")
        for name, value in sorted(self.gauges.items()):
            print(f"  {name:<44}{value:>12g}")
        sys.stdout.flush()


def expected_totals(reports):
    counters = defaultdict(int)
    histograms = defaultdict(list)
    gauges = {}
    for worker_counters, worker_histograms, worker_gauges in reports:
        for name, total in worker_counters.items():
            counters[name] += total
        for name, values in worker_histograms.items():
            histograms[name].extend(values)
        gauges.update(worker_gauges)
    return counters, histograms, gauges


def matches(totals, reports):
    counters, histograms, gauges = expected_totals(reports)
    problems = []
    if dict(totals.counters) != dict(counters):
        problems.append(f"counters: collected {dict(totals.counters)}, recorded {dict(counters)}")
    for name, values in histograms.items():
        count, total, low, high = totals.histograms[name]
        if (
            count != len(values)
            or not math.isclose(total, sum(values), rel_tol=1e-9)
            or (low, high) != (min(values), max(values))
        ):
            problems.append(f"histogram {name}: collected {count} values, recorded {len(values)}")
    if totals.gauges != gauges:
        problems.append(f"gauges: collected {totals.gauges}, recorded {gauges}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--workers", type=int, default=2, help="per start method")
    parser.add_argument("--threads", type=int, default=3, help="per worker")
    args = parser.parse_args()

    directory = os.environ.get("ZELNOR_METRICS_DIR") or "/tmp/metrics_collector"
    print(
        f"zelnor demo: collecting from {directory} (set ZELNOR_METRICS_DIR to choose another "
        "directory)",
        flush=True,
    )
    totals = Totals()
    try:
        totals.drain()  # becomes this directory's consumer before any worker starts
    except RuntimeError as refused:
        sys.exit(f"cannot collect: {refused}")

    processes = []
    reports = multiprocessing.get_context("spawn").Queue()
    for method in ("fork", "spawn"):
        context = multiprocessing.get_context(method)
        for number in range(args.workers):
            label = f"{method}{number}"
            processes.append(
                context.Process(target=worker, args=(label, args.threads, args.seconds, reports))
            )
    print(
        f"{len(processes)} workers ({args.workers} forked, {args.workers} spawned), "
        f"{args.threads} threads each, recording for {args.seconds:g} s",
        flush=True,
    )
    for process in processes:
        process.start()

    started = time.monotonic()
    next_table = started + 1.0
    collected_reports = []
    while any(process.is_alive() for process in processes) or len(collected_reports) < len(
        processes
    ):
        totals.drain()
        while not reports.empty():
            collected_reports.append(reports.get())
        if time.monotonic() >= next_table:
            totals.print_table(f"live totals after {time.monotonic() - started:.0f} s")
            next_table += 1.0
        time.sleep(DRAIN_INTERVAL)
    for process in processes:
        process.join()
    totals.drain()  # to empty: the workers have exited, everything they recorded is in the rings

    totals.print_table("final totals")
    problems = matches(totals, collected_reports)
    if problems:
        print("\nMISMATCH between what the workers recorded and what was collected:")
        for problem in problems:
            print(f"  {problem}")
        sys.exit(1)
    recorded = sum(sum(c.values()) for c, _, _ in collected_reports)
    print(
        f"\nOK: all {recorded} requests recorded by the workers were collected, "
        "and every total matches."
    )
    print(
        "Next: run `zelnor-exporter --port 9464` beside your application (one per metrics "
        "directory, started before it) and scrape http://127.0.0.1:9464/metrics, or point "
        "Prometheus at it; the README's section on the exporter says more."
    )


if __name__ == "__main__":
    main()
