"""One instrumented workload, recorded call for call through prometheus_client's multiprocess mode
and through zelnor_client, so that the two scrapes can be compared.

    python client_workload.py

Needs PROMETHEUS_MULTIPROC_DIR and ZELNOR_METRICS_DIR in the environment. The main process defines
the metrics (as a preloaded gunicorn master does), then runs worker processes made by fork(), each
with several threads: labels (long and awkward ones among them), every metric kind, every gauge
mode. The workers run one after the other (so that "most recent" means the same for both), and
worker 2 is recycled (it ends, a new worker takes its place), worker 1 is killed with SIGKILL. For
the peer, every ended worker is marked dead, as gunicorn's child_exit hook would do; zelnor_client
needs no hook. Then it prints one JSON line with the pids and waits for a line on stdin before it
ends the live workers. Each worker also holds its own share, as each metric's collect() gives it,
against the peer's: the line names the metrics where they differ.

Every value is a multiple of 1/64 and small, so that sums are exact in any order.
"""

import json
import multiprocessing
import os
import signal
import sys
import threading

import prometheus_client
from prometheus_client import multiprocess

import zelnor_client

MODES = sorted(zelnor_client.Gauge._MULTIPROC_MODES)
ROUTES = ["/", "/api/v1/users/{id}/settings/notifications", 'say "hi"\\\n', "Zürich ☃"]
THREADS = 3


class Twin:
    """A metric of each library; every call goes to both, in the same order."""

    def __init__(self, peer, ours):
        self.peer, self.ours = peer, ours

    def labels(self, *args, **kwargs):
        return Twin(self.peer.labels(*args, **kwargs), self.ours.labels(*args, **kwargs))

    def __getattr__(self, method):
        def both(*args, **kwargs):
            getattr(self.peer, method)(*args, **kwargs)
            getattr(self.ours, method)(*args, **kwargs)

        return both


def define(cls, *args, **kwargs):
    peer_class = getattr(prometheus_client, cls.__name__)
    # Both would register the same names in prometheus_client's default registry.
    return Twin(peer_class(*args, **kwargs), cls(*args, registry=None, **kwargs))


REQUESTS = define(zelnor_client.Counter, "http_requests_total", "Requests.", ["method", "code"])
PAYLOAD = define(zelnor_client.Counter, "payload", "Bytes moved.", unit="bytes")
JOBS = define(zelnor_client.Counter, "jobs", "Jobs done.", namespace="app", subsystem="queue")
LATENCY = define(
    zelnor_client.Histogram,
    "request_latency_seconds",
    "Latency.",
    ["route"],
    buckets=(0.015625, 0.25, 1, 4),
)
PLAIN_LATENCY = define(zelnor_client.Histogram, "plain_latency_seconds", "Default buckets.")
SIZES = define(zelnor_client.Summary, "response_size", "Sizes.", ["route"])
GAUGES = {
    mode: define(
        zelnor_client.Gauge, f"pool_{mode}", f"Pool ({mode}).", ["pool"], multiprocess_mode=mode
    )
    for mode in MODES
}
TEMPERATURE = define(zelnor_client.Gauge, "temperature_celsius", "Unlabelled, default mode.")
# Set by the main process before it forks: a worker's own value starts from 0 again.
PRESET = define(zelnor_client.Gauge, "preset", "Set before the fork.", multiprocess_mode="sum")
# Info and Enum do not work in prometheus_client's multiprocess mode: zelnor_client only; the
# test compares them with what prometheus_client serves in one process.
BUILD = zelnor_client.Info("build", "Build.", ["component"])
STATE = zelnor_client.Enum("task_state", "Task state.", ["queue"], states=["idle", "busy", "done"])


TWINS = {
    "requests": REQUESTS,
    "payload": PAYLOAD,
    "jobs": JOBS,
    "latency": LATENCY,
    "plain_latency": PLAIN_LATENCY,
    "sizes": SIZES,
    "temperature": TEMPERATURE,
    "preset": PRESET,
    **GAUGES,
}


def own_samples(metric):
    """This process's samples of `metric` as its collect() gives them; _created by name only."""
    return sorted(
        (s.name, sorted(s.labels.items()), None if s.name.endswith("_created") else s.value)
        for family in metric.collect()
        for s in family.samples
    )


def work(index, thread):
    """A thread's share of a worker's calls; `index` picks the values, so runs are alike."""
    lock = WORKER_LOCK
    for step in range(40):
        route = ROUTES[(index + thread + step) % len(ROUTES)]
        REQUESTS.labels("GET" if step % 3 else "POST", str(200 + step % 4)).inc()
        REQUESTS.labels(method="PUT", code="201").inc(0.25 * (step % 5))
        PAYLOAD.inc(3_000_000_000 if step == 7 else 64 * step)
        JOBS.inc()
        LATENCY.labels(route).observe((step % 9) / 16)
        PLAIN_LATENCY.observe((index * step % 50) / 64)
        SIZES.labels(route).observe(step * 1.5)
        with lock:  # one order of the calls for both libraries
            for mode, gauge in GAUGES.items():
                child = gauge.labels(f"p{step % 2}")
                if "mostrecent" in mode:
                    child.set(index * 100 + thread * 10 + step % 7)
                elif step % 5 == 0:
                    child.set(index + step / 8)
                elif step % 5 in (1, 2):
                    child.inc(1 + thread)
                else:
                    child.dec(0.5)
            TEMPERATURE.set(20 + index + step / 64)
            PRESET.inc(0.5)
    with lock:
        for gauge in GAUGES.values():
            gauge.labels(f"only{index}").set(index + 0.5)


WORKER_LOCK = threading.Lock()


def worker(index, ready, release):
    threads = [threading.Thread(target=work, args=(index, t)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    BUILD.labels(f"worker{index}").info({"version": f"1.{index}", "commit": 'abc"d'})
    STATE.labels("default").state(["idle", "busy", "done"][index % 3])
    differ = [
        name for name, twin in TWINS.items() if own_samples(twin.peer) != own_samples(twin.ours)
    ]
    ready.put((os.getpid(), differ))
    release.get()


def main():
    PRESET.set(5)
    context = multiprocessing.get_context("fork")
    ready, releases = context.Queue(), {}
    workers = {}

    def start(index):
        releases[index] = context.Queue()
        process = context.Process(target=worker, args=(index, ready, releases[index]))
        process.start()
        workers[index] = process
        pid, differ = ready.get(timeout=60)
        mismatched.extend(differ)
        return pid

    mismatched = []
    pids = {index: start(index) for index in range(3)}
    # Recycled: worker 2 ends normally and worker 3 takes its place.
    releases[2].put(None)
    workers[2].join(timeout=60)
    pids[3] = start(3)
    # Killed: worker 1 is killed with SIGKILL.
    os.kill(pids[1], signal.SIGKILL)
    workers[1].join(timeout=60)
    for dead in (pids[1], pids[2]):
        multiprocess.mark_process_dead(dead)
    print(
        json.dumps(
            {
                "main": os.getpid(),
                "workers": pids,
                "dead": [pids[1], pids[2]],
                "mismatched": mismatched,
            }
        ),
        flush=True,
    )
    sys.stdin.readline()
    for index in (0, 3):
        releases[index].put(None)
        workers[index].join(timeout=60)


if __name__ == "__main__":
    main()
