"""The zelnor-exporter command: drain on a native thread, serve /metrics from others.

Draining, folding and rendering are native (zelnor_exporter._native). The drain runs on a thread
of its own that never takes the interpreter lock, so that no scrape delays a pass; it publishes
immutable snapshots of the totals, which the HTTP threads render from without holding anything
the drain needs. The main thread waits for signals and for news of the drain thread. This process
is the directory's consumer through that module and never calls zelnor_core's getters.
"""

import argparse
import enum
import importlib.metadata
import math
import os
import signal
import sys

import prometheus_client
from prometheus_client.core import CounterMetricFamily

from zelnor_exporter import _native, exposition, publish, remote_write, server, web_config
from zelnor_exporter.process_metrics import ProcessMetrics

DEFAULT_DIRECTORY = "/tmp/metrics_collector"
DEFAULT_ADDRESS = "0.0.0.0"
DEFAULT_PORT = 9464
# Series held at most by default: every series an application makes, as far as memory goes
# (docs/exporter.md gives the bytes each takes).
DEFAULT_MAX_SERIES = 1_000_000
DEFAULT_MAX_DECLARED_MIB = 256
MAX_DECLARED_MIB = 1023  # all users' four times that in bytes fits 32 bits
# The longest directory a queue file's path leaves room for (as for ZELNOR_METRICS_DIR).
MAX_DIRECTORY_LENGTH = 4000


class GaugeMode(enum.Enum):
    """LAST: the value drained last, whoever set it. The others keep the latest value of each live
    producer process and expose their sum, maximum or minimum, or each of them (ALL, labelled with
    the producer's pid). A producer's values leave when its last queue is let go."""

    LAST = "last"
    ALL = "all"
    SUM = "sum"
    MAX = "max"
    MIN = "min"


def bucket_bounds(buckets):
    """Sorted, distinct bounds, ending with +Inf."""
    bounds = sorted({float(b) for b in buckets})
    if any(math.isnan(b) for b in bounds):
        raise ValueError("a bucket bound cannot be NaN")
    if not bounds or bounds[-1] != math.inf:
        bounds.append(math.inf)
    return bounds


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
        description="Drain every zelnor producer of one metrics directory and serve the totals "
        "to Prometheus. Run exactly one per directory.",
    )
    parser.add_argument(
        "--directory",
        default=os.environ.get("ZELNOR_METRICS_DIR") or DEFAULT_DIRECTORY,
        help=f"metrics directory to drain (default: $ZELNOR_METRICS_DIR, else {DEFAULT_DIRECTORY})",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    parser.add_argument(
        "--web.listen-address",
        dest="listen_address",
        type=_listen_address,
        help="host:port to listen on, [::]:port for IPv6, :port for every interface "
        f"(default {DEFAULT_ADDRESS}:{DEFAULT_PORT}: every interface; 127.0.0.1:{DEFAULT_PORT} "
        "when Prometheus runs on this machine)",
    )
    parser.add_argument("--port", type=int, help="the port of --web.listen-address, alone")
    parser.add_argument("--address", help="the host of --web.listen-address, alone")
    parser.add_argument(
        "--web.telemetry-path",
        dest="telemetry_path",
        default="/metrics",
        help="path of the metrics (default /metrics); / is a page that links it",
    )
    parser.add_argument(
        "--web.config.file",
        dest="web_config_file",
        help="web configuration for TLS and basic authentication, in the Prometheus exporter "
        "toolkit's format; read again when it changes and on SIGHUP",
    )
    parser.add_argument(
        "--producer-process-metrics",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="serve each live producer process's process_* metrics, labelled pid (default: on)",
    )
    parser.add_argument(
        "--max-connections",
        type=int,
        default=server.DEFAULT_MAX_CONNECTIONS,
        help=f"HTTP connections served at once; more are closed at once "
        f"(default {server.DEFAULT_MAX_CONNECTIONS})",
    )
    parser.add_argument(
        "--timeout",
        type=float,
        default=server.DEFAULT_TIMEOUT,
        help="seconds an HTTP connection may take for its request and reply before it is cut off "
        f"(default {server.DEFAULT_TIMEOUT:g})",
    )
    parser.add_argument(
        "--interval", type=float, default=0.1, help="seconds between drains (default 0.1)"
    )
    parser.add_argument(
        "--buckets",
        type=_buckets,
        default=list(prometheus_client.Histogram.DEFAULT_BUCKETS),
        help="histogram bucket bounds, comma-separated (default: prometheus_client's)",
    )
    parser.add_argument(
        "--gauge-mode",
        choices=[mode.value for mode in GaugeMode],
        default=GaugeMode.LAST.value,
        help="last: the value drained last (default); all: the latest value of "
        "each live producer process, labelled pid; sum, max, min: of "
        "those values",
    )
    parser.add_argument(
        "--max-series",
        type=int,
        default=DEFAULT_MAX_SERIES,
        help="series held at most; further new series are rejected "
        f"(default {DEFAULT_MAX_SERIES:,})",
    )
    parser.add_argument(
        "--max-declared-mib",
        type=int,
        default=DEFAULT_MAX_DECLARED_MIB,
        help="MiB that zelnor_client declarations of one user's live processes keep at most, "
        "those of all users four times that; further declarations are rejected "
        f"(default {DEFAULT_MAX_DECLARED_MIB})",
    )
    parser.add_argument(
        "--no-openmetrics",
        action="store_true",
        help="serve the text format only, whatever Accept asks for",
    )
    remote_write.add_arguments(parser)
    args = parser.parse_args(argv)
    if args.listen_address is not None and (args.address is not None or args.port is not None):
        parser.error("--address and --port are --web.listen-address's parts: give one or the other")
    address, port = args.listen_address or (args.address, args.port)
    args.address = address if address is not None else DEFAULT_ADDRESS
    args.port = port if port is not None else DEFAULT_PORT
    if not args.telemetry_path.startswith("/") or args.telemetry_path == "/":
        parser.error("--web.telemetry-path must begin with / and be more than /")
    remote_write.check_arguments(parser, args)
    if args.interval <= 0:
        parser.error("--interval must be positive")
    if args.max_connections < 1:
        parser.error("--max-connections must be at least 1")
    if not args.timeout > 0:
        parser.error("--timeout must be positive")
    if not 1 <= args.max_declared_mib <= MAX_DECLARED_MIB:
        parser.error(f"--max-declared-mib must be from 1 to {MAX_DECLARED_MIB}")
    # Spelt as the producers and the consumer spell it: /tmp/metrics_collector/ is the default.
    directory = _native.normalise_directory(args.directory)
    if not directory.startswith("/") or len(directory) > MAX_DIRECTORY_LENGTH:
        parser.error(
            f"--directory must be an absolute path of at most {MAX_DIRECTORY_LENGTH} "
            f"bytes: {args.directory}"
        )
    args.directory = directory
    args.gauge_mode = GaugeMode(args.gauge_mode)
    return args


def version():
    try:
        return importlib.metadata.version("zelnor")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def _listen_address(text):
    """(host, port) of host:port, [v6 host]:port or :port (every interface)."""
    host, colon, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host:
        raise argparse.ArgumentTypeError(f"an IPv6 host goes in brackets, [::]:9464: {text}")
    if not colon or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError(f"not host:port: {text}")
    return host or DEFAULT_ADDRESS, int(port)


def _host_port(host, port):
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


class Connections:
    """The HTTP server's refusals, as a prometheus_client collector."""

    def __init__(self, http):
        self.http = http

    def collect(self):
        return connection_families(self.http)


def connection_families(http):
    refused = CounterMetricFamily(
        "zelnor_exporter_refused_connections",
        "HTTP connections closed as soon as they were accepted: beyond --max-connections, or to "
        "keep descriptors free for draining",
        labels=["reason"],
    )
    for reason, count in http.refused.items():
        refused.add_metric([reason], count)
    timed_out = CounterMetricFamily(
        "zelnor_exporter_timed_out_connections",
        "HTTP connections cut off after --timeout seconds",
    )
    timed_out.add_metric([], http.timed_out)
    return [refused, timed_out]


def main(argv=None):
    args = parse_arguments(argv)
    print(
        f"zelnor-exporter: draining {args.directory}, serving on "
        f"{_host_port(args.address, args.port)}",
        flush=True,
    )
    web = None
    if args.web_config_file is not None:
        try:
            web = web_config.WebConfigFile(args.web_config_file)
        except web_config.WebConfigError as error:
            print(
                f"zelnor-exporter: cannot use web config {args.web_config_file}: {error}",
                flush=True,
            )
            return 1
    # Room for every connection allowed and for the consumer, whatever the soft limit it was
    # started with (systemd's is 1024).
    server.raise_descriptor_limit()
    aggregator = _native.Aggregator(
        bucket_bounds(args.buckets), args.gauge_mode.value, args.max_series
    )
    aggregator.limit_declarations(args.max_declared_mib * 1024 * 1024)
    app = server.CachedMetricsApp(aggregator, openmetrics=not args.no_openmetrics)
    # What the exposition serves besides the totals, each a collector with collect().
    app.collectors.append(ProcessMetrics(aggregator, producers=args.producer_process_metrics))
    exposition.use_in_prometheus_client()  # OpenMetrics with every name as it is
    writer = remote_write.from_arguments(args, app.text)
    if writer is not None:
        app.collectors.append(writer)
    # Bound before anything is drained: an exporter that cannot serve must not take records out
    # of the rings only to throw them away.
    try:
        http = server.start_server(
            args.address,
            args.port,
            app,
            max_connections=args.max_connections,
            timeout=args.timeout,
            reserve=server.DESCRIPTOR_RESERVE,
            telemetry_path=args.telemetry_path,
            web_config=web,
            version=version(),
        )
    except OSError as error:
        where = _host_port(args.address, args.port)
        print(f"zelnor-exporter: cannot serve on {where}: {error}", flush=True)
        return 1
    app.collectors.append(Connections(http))
    if web is not None:
        web.watch()
        signal.signal(signal.SIGHUP, lambda *_: web.reload_soon())

    stopping = False

    def stop(*_):
        nonlocal stopping
        stopping = True

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, stop)
    try:
        drainer = _native.Drainer(args.directory, aggregator)  # takes the consumer lock
        drainer.drain()
    except RuntimeError as refused:
        print(f"zelnor-exporter: {refused}", flush=True)
        http.shutdown()
        return 1
    scheme = "https" if http.uses_tls else "http"
    print(
        f"zelnor-exporter: serving {args.telemetry_path} on "
        f"{scheme}://{_host_port(args.address, http.server_port)}, "
        f"draining every {args.interval:g} s",
        flush=True,
    )

    drainer.start(args.interval)
    # The application's own metrics route reads the totals from here (zelnor_client.multiprocess).
    # Only the totals: the process metrics and remote write's are the exporter's, not the
    # application's (whose route may serve a process collector of its own).
    snapshots = publish.Publisher(
        args.directory,
        aggregator.exposition,
        lambda: aggregator.passes,
        args.interval,
        lambda: aggregator.generation,
    )
    snapshots.start()
    if writer is not None:
        writer.start()
    try:
        while not stopping:  # the signal handlers run between waits
            for failure in drainer.wait(0.1):  # records stay in their rings for the next pass
                print(f"zelnor-exporter: drain failed: {failure}", flush=True)
    except _native.ConsumerRefused as refused:
        # Another consumer took the directory: ending lets it have the rings this one holds.
        print(f"zelnor-exporter: {refused}", flush=True)
        http.shutdown()
        return 1
    finally:
        snapshots.stop()
        drainer.stop()
    try:
        drainer.drain()  # what arrived since the last pass
    except RuntimeError as error:
        print(f"zelnor-exporter: drain failed: {error}", flush=True)
    if writer is not None:
        writer.close()  # the final totals, once
    http.shutdown()
    print(f"zelnor-exporter: stopped after draining {aggregator.entries} entries", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
