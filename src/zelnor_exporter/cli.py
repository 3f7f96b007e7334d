"""The zelnor-exporter command: drain on the main thread, serve /metrics from another."""

import argparse
import math
import os
import signal
import sys
import threading
import time

import prometheus_client
from prometheus_client.registry import CollectorRegistry

import zelnor_core
from zelnor_exporter.aggregator import Aggregator, GaugeMode

DEFAULT_DIRECTORY = "/tmp/metrics_collector"

GETTERS = (
    ("counter", zelnor_core.get_counter_entries),
    ("histogram", zelnor_core.get_histogram_entries),
    ("gauge", zelnor_core.get_gauge_entries),
)


def _buckets(text):
    try:
        bounds = [float(part) for part in text.split(",") if part.strip()]
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not a list of numbers: {text}") from error
    if any(math.isnan(bound) for bound in bounds):
        raise argparse.ArgumentTypeError(f"a bucket bound cannot be NaN: {text}")
    return bounds


def parse_arguments(argv=None):
    parser = argparse.ArgumentParser(
        prog="zelnor-exporter",
        description="Drain every zelnor producer on this machine and serve the totals to "
                    "Prometheus. Run exactly one per machine.")
    parser.add_argument("--directory",
                        default=os.environ.get("ZELNOR_METRICS_DIR") or DEFAULT_DIRECTORY,
                        help="metrics directory to drain (default: $ZELNOR_METRICS_DIR, else "
                             f"{DEFAULT_DIRECTORY})")
    parser.add_argument("--port", type=int, default=9464, help="HTTP port (default 9464)")
    parser.add_argument("--address", default="0.0.0.0",
                        help="address to listen on (default 0.0.0.0: every interface)")
    parser.add_argument("--interval", type=float, default=0.1,
                        help="seconds between drains (default 0.1)")
    parser.add_argument("--buckets", type=_buckets,
                        default=list(prometheus_client.Histogram.DEFAULT_BUCKETS),
                        help="histogram bucket bounds, comma-separated "
                             "(default: prometheus_client's)")
    parser.add_argument("--gauge-mode", choices=[mode.value for mode in GaugeMode],
                        default=GaugeMode.LAST.value,
                        help="how drained gauge values combine (default: last)")
    parser.add_argument("--max-series", type=int, default=10000,
                        help="series held at most; further new series are rejected")
    args = parser.parse_args(argv)
    if args.interval <= 0:
        parser.error("--interval must be positive")
    args.gauge_mode = GaugeMode(args.gauge_mode)
    return args


def drain_once(aggregator):
    started = time.perf_counter()
    for kind, getter in GETTERS:
        aggregator.add(kind, getter())
    aggregator.record_drain(time.perf_counter() - started)


def main(argv=None):
    args = parse_arguments(argv)
    # The module reads the directory once, at its first drain.
    os.environ["ZELNOR_METRICS_DIR"] = args.directory
    print(f"zelnor-exporter: draining {args.directory}, serving on {args.address}:{args.port}",
          flush=True)
    aggregator = Aggregator(args.buckets, args.gauge_mode, args.max_series)
    registry = CollectorRegistry()
    registry.register(aggregator)
    # Bound before anything is drained: an exporter that cannot serve must not take records out
    # of the rings only to throw them away.
    try:
        server, _ = prometheus_client.start_http_server(args.port, args.address,
                                                        registry=registry)
    except OSError as error:
        print(f"zelnor-exporter: cannot serve on {args.address}:{args.port}: {error}", flush=True)
        return 1

    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    try:
        drain_once(aggregator)  # takes the directory's consumer lock
    except RuntimeError as refused:
        print(f"zelnor-exporter: {refused}", flush=True)
        server.shutdown()
        return 1
    print(f"zelnor-exporter: serving /metrics on {args.address}:{server.server_port}, "
          f"draining every {args.interval:g} s", flush=True)

    while not stop.wait(args.interval):
        try:
            drain_once(aggregator)
        except RuntimeError as error:  # records stay in their rings for the next pass
            print(f"zelnor-exporter: drain failed: {error}", flush=True)
    drain_once(aggregator)  # what arrived since the last pass
    server.shutdown()
    print(f"zelnor-exporter: stopped after draining {aggregator.totals()} entries", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
