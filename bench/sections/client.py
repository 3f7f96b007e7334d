"""ns per call of zelnor_client against zelnor_core's raw call of the same kind, and against
prometheus_client's multiprocess mode, interleaved round by round in one thread."""

import os
import statistics
import tempfile
import textwrap
import threading
import time

from common import BATCH, section_main

# Each subject is the body of a loop, as an application writes the call: its metrics are module
# globals, as an application's are, so each call looks its metric up as zelnor_core's call looks
# its function up on the module.
SUBJECTS = {
    "zelnor_core inc_counter": "zelnor_core.inc_counter('http_requests_total', 1)",
    "zelnor_core observe_histogram": "zelnor_core.observe_histogram('latency_seconds', 0.25)",
    "zelnor_core set_gauge": "zelnor_core.set_gauge('in_flight', 3.0)",
    "zelnor_client child.inc()": "ours_child.inc()",
    "zelnor_client Counter.inc()": "ours_counter.inc()",
    "zelnor_client Counter.labels('GET', '200').inc()": (
        "ours_labelled.labels('GET', '200').inc()"
    ),
    "zelnor_client Histogram.observe()": "ours_histogram.observe(0.25)",
    "zelnor_client Gauge.set()": "ours_gauge.set(3.0)",
    "zelnor_client with Histogram.time()": "with ours_histogram.time(): pass",
    "prometheus_client child.inc()": "peer_child.inc()",
    "prometheus_client Counter.inc()": "peer_counter.inc()",
    "prometheus_client Counter.labels('GET', '200').inc()": (
        "peer_labelled.labels('GET', '200').inc()"
    ),
    "prometheus_client Histogram.observe()": "peer_histogram.observe(0.25)",
    "prometheus_client Gauge.set()": "peer_gauge.set(3.0)",
    "prometheus_client with Histogram.time()": "with peer_histogram.time(): pass",
}


def timed(body, scope):
    """ns per execution of `body` over BATCH executions, with the least overhead Python has."""
    code = textwrap.dedent(
        f"""
        def loop(clock):
            start = clock()
            for _ in range({BATCH}):
                {body}
            return clock() - start
        """
    )
    exec(code, scope)
    return scope["loop"](time.perf_counter_ns) / BATCH


def metrics(library):
    labelled = library.Counter("requests_total", "Requests.", ["method", "code"], registry=None)
    return {
        "labelled": labelled,
        "child": labelled.labels("GET", "200"),
        "counter": library.Counter("jobs_total", "Jobs.", registry=None),
        "histogram": library.Histogram("latency_seconds", "Latency.", registry=None),
        "gauge": library.Gauge("in_flight", "In flight.", registry=None),
    }


def measure(rounds):
    multiproc = tempfile.TemporaryDirectory(prefix="zelnor-bench-prom-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = multiproc.name
    import prometheus_client
    import zelnor_core

    import zelnor_client

    scope = {"zelnor_core": zelnor_core}
    for prefix, library in (("ours", zelnor_client), ("peer", prometheus_client)):
        scope.update({f"{prefix}_{name}": metric for name, metric in metrics(library).items()})
    results = {label: [] for label in SUBJECTS}

    def drain():
        zelnor_core.get_counter_entries()
        zelnor_core.get_histogram_entries()
        zelnor_core.get_gauge_entries()

    def run():
        zelnor_core.inc_counter("warm_up", 0)  # the thread's files exist from here on
        drain()
        for _ in range(rounds):
            for label, body in SUBJECTS.items():
                best = float("inf")
                for _ in range(20 if "zelnor" in label else 3):
                    best = min(best, timed(body, scope))
                    drain()  # not timed; keeps every queue below its capacity
                results[label].append(best)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    drain()
    multiproc.cleanup()
    return {label: statistics.median(values) for label, values in results.items()}


if __name__ == "__main__":
    section_main(measure)
