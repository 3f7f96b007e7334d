"""The exporter's HTTP server: /metrics for Prometheus, which no client, however slow, many or
idle, can use to take from the drain the descriptors it needs.

A server with a thread and a descriptor per connection, no timeout and no limit (prometheus_client's
own) lets a thousand idle connections use up the process's descriptors, and the consumer then
cannot attach a new producer's queue files or look at whether a producer still lives. This one:

- serves at most ``max_connections`` connections at once: one more is closed as soon as it is
  accepted, and waits for nothing;
- gives a connection ``timeout`` seconds in all, to send its request and take the reply: an idle
  client, or one that trickles its request a byte at a time, is cut off then;
- keeps ``reserve`` descriptors free for the consumer: a connection that would leave fewer free
  under the soft limit is closed at once;
- speaks TLS when the web configuration (web_config.py) says so: the handshake happens on the
  connection's own thread, within its time, so that no client holds up the accepting of others;
  a client that does not complete it (plain HTTP, say) is closed unserved;
- renders replies natively (the text format or OpenMetrics by ``Accept``, gzip, ``name[]``
  filters), from a snapshot the drain publishes and never waits for, and keeps each rendering
  while the totals are unchanged, so that many scrapers cost about what one does; each
  connection's thread runs at a lower scheduling priority than the drain's.

Every connection has a daemon thread of its own, so the process never waits for one to end.
"""

import copy
import errno
import os
import resource
import socket
import threading
import time
import zlib
from socketserver import ThreadingMixIn
from urllib.parse import parse_qs
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

from prometheus_client import CollectorRegistry, generate_latest, make_wsgi_app
from prometheus_client.exposition import gzip_accepted

from zelnor_exporter import exposition
from zelnor_exporter.web_app import WebApp

DEFAULT_MAX_CONNECTIONS = 64
DEFAULT_TIMEOUT = 10.0
# Descriptors kept for the consumer: attaching a queue file, probing a producer, listing the
# directory each take one or two for a moment.
DESCRIPTOR_RESERVE = 64
# The most a request's line and headers may take; the rest is not read.
REQUEST_HEAD_LIMIT = 64 * 1024
CONTENT_TYPE_PLAIN = "text/plain; version=0.0.4; charset=utf-8"
GZIP_WINDOW_BITS = 16 + zlib.MAX_WBITS  # zlib's deflate in a gzip wrapper


def raise_descriptor_limit():
    """Raises the soft limit on open descriptors to the hard one (where the hard one is
    unlimited, to the kernel's most); returns the soft limit in force."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = hard
    if hard == resource.RLIM_INFINITY:
        try:
            with open("/proc/sys/fs/nr_open") as nr_open:
                wanted = int(nr_open.read())
        except (OSError, ValueError):
            return soft
    if soft != resource.RLIM_INFINITY and soft < wanted:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
            soft = wanted
        except (OSError, ValueError):
            pass
    return soft


def open_descriptors():
    """How many descriptors the process has open; None when /proc cannot tell."""
    try:
        return len(os.listdir("/proc/self/fd")) - 1  # less the listing's own
    except OSError as error:
        if error.errno in (errno.EMFILE, errno.ENFILE):
            return resource.getrlimit(resource.RLIMIT_NOFILE)[0]  # none left to look with
        return None


class CachedMetricsApp:
    """Serves the exposition of `aggregator`'s totals, rendered natively, followed by that of
    `collectors`: prometheus_client collectors of families the Python side makes (the HTTP
    server's own, say), rendered by prometheus_client's encoders in the same format and with the
    same ``name[]`` filter; for OpenMetrics, before the single ``# EOF``. The text format or
    OpenMetrics by ``Accept`` (the text format only when `openmetrics` is false), gzip by
    ``Accept-Encoding``. The native part is rendered once per format and filter while the totals
    are unchanged (``aggregator.generation``), however many clients scrape it; the collectors
    are asked at every scrape."""

    MOST_REPLIES = 16  # formats and filters kept per generation

    def __init__(self, aggregator, collectors=(), *, openmetrics=True):
        self.aggregator = aggregator
        self.collectors = list(collectors)
        self.openmetrics = openmetrics
        self._other = make_wsgi_app(CollectorRegistry(auto_describe=False))
        self._lock = threading.Lock()
        self._replies = {}
        self._replies_generation = None

    def __call__(self, environ, start_response):
        if environ["REQUEST_METHOD"] != "GET" or environ.get("PATH_INFO") == "/favicon.ico":
            return self._other(environ, start_response)  # OPTIONS, 405 and the like
        if self.openmetrics:
            encoder, content_type = exposition.choose_encoder(environ.get("HTTP_ACCEPT"))
        else:
            encoder, content_type = generate_latest, CONTENT_TYPE_PLAIN
        names = parse_qs(environ.get("QUERY_STRING", "")).get("name[]")
        compress = gzip_accepted(environ.get("HTTP_ACCEPT_ENCODING"))
        body, compressor = self._native(content_type, names, compress)
        extra = encoder(_Restricted(self.collectors, names))
        openmetrics = content_type.startswith("application/openmetrics-text")
        if openmetrics:
            extra = extra.removesuffix(b"# EOF\n") + b"# EOF\n"
        headers = [("Content-Type", content_type)]
        if compressor is not None:
            compressor = compressor.copy()
            body = body + compressor.compress(extra) + compressor.flush()
            headers.append(("Content-Encoding", "gzip"))
        else:
            body = body + extra
        start_response("200 OK", headers)
        return [body]

    def text(self):
        """The whole exposition in the text format, as a scrape without filters gets it."""
        return self.aggregator.exposition() + generate_latest(_Restricted(self.collectors, None))

    def _native(self, content_type, names, compress):
        """The native part of a reply, and when it is compressed, the compressor that goes on
        after it."""
        key = (content_type, compress, None if names is None else tuple(sorted(names)))
        # One rendering at a time: the others wait for it and take it.
        with self._lock:
            generation = self.aggregator.generation  # before the rendering: it is never newer
            if generation != self._replies_generation:
                self._replies = {}
                self._replies_generation = generation
            reply = self._replies.get(key)
            if reply is None:
                reply = self._render(content_type, names, compress)
                if len(self._replies) < self.MOST_REPLIES:
                    self._replies[key] = reply
        return reply

    def _render(self, content_type, names, compress):
        openmetrics = content_type.startswith("application/openmetrics-text")
        escaping = "underscores"
        for part in content_type.split(";"):
            key, _, value = part.strip().partition("=")
            if key == "escaping" and not openmetrics:
                escaping = value
        body = self.aggregator.render(openmetrics=openmetrics, escaping=escaping, names=names)
        if not compress:
            return body, None
        compressor = zlib.compressobj(wbits=GZIP_WINDOW_BITS)
        return compressor.compress(body) + compressor.flush(zlib.Z_SYNC_FLUSH), compressor


class _Restricted:
    """The families of `collectors`, with only the samples named in `names` when it is not None:
    as a restricted registry restricts them, but keeping each family's unit."""

    def __init__(self, collectors, names):
        self._collectors = collectors
        self._names = None if names is None else set(names)

    def collect(self):
        for collector in self._collectors:
            for family in collector.collect():
                if self._names is None:
                    yield family
                    continue
                samples = [sample for sample in family.samples if sample.name in self._names]
                if samples:
                    kept = copy.copy(family)
                    kept.samples = samples
                    yield kept


class _Nowhere:
    """Where the handler's error reports go: the exporter writes nothing on standard error."""

    def write(self, text):
        pass

    def flush(self):
        pass


class _LimitedReader:
    """A connection's input that ends after `limit` bytes, as if the client had stopped there."""

    def __init__(self, raw, limit):
        self._raw = raw
        self._left = limit

    def readline(self, size=-1):
        line = self._raw.readline(self._left if size < 0 else min(size, self._left))
        self._left -= len(line)
        return line

    def read(self, size=-1):
        data = self._raw.read(self._left if size < 0 else min(size, self._left))
        self._left -= len(data)
        return data

    def __getattr__(self, name):
        return getattr(self._raw, name)


class _Handler(WSGIRequestHandler):
    def setup(self):
        super().setup()
        self.rfile = _LimitedReader(self.rfile, REQUEST_HEAD_LIMIT)

    def log_message(self, format, *args):
        pass

    def get_stderr(self):
        return _Nowhere()


# How much lower than the drain's a connection thread's scheduling priority is (a nice value).
CONNECTION_NICENESS = 10


class MetricsServer(ThreadingMixIn, WSGIServer):
    """Serves `app` on (address, port) from a daemon thread per connection, within the limits
    the module describes; over TLS when `web_config` (a WebConfigFile, or None) configures it."""

    daemon_threads = True
    request_queue_size = 128  # waiting connections the kernel holds, with no descriptor of ours

    def __init__(self, address, port, app, *, max_connections, timeout, reserve, web_config=None):
        family, _, _, _, sockaddr = socket.getaddrinfo(
            address, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
        self.address_family = family
        self.max_connections = max_connections
        self.connection_timeout = timeout
        self.reserve = reserve
        self.refused = {"connections": 0, "descriptors": 0}
        self.timed_out = 0
        self._lock = threading.Lock()
        self._deadlines = {}  # connection -> when it is cut off, oldest first
        self._cut_off = set()  # connections cut off whose threads have not closed them yet
        self._tls = {}  # connection -> the TLS socket that took it over
        self.web_config = web_config
        self.uses_tls = web_config is not None and web_config.current().tls is not None
        super().__init__(sockaddr[:2], _Handler)
        self.set_app(app)
        threading.Thread(target=self._cut_off_late, daemon=True, name="http deadlines").start()

    def get_request(self):
        try:
            return super().get_request()
        except OSError as error:
            if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                # The connection stays in the kernel's queue; accepting again at once would
                # only spin.
                time.sleep(0.05)
            raise

    def verify_request(self, request, client_address):
        with self._lock:
            if len(self._deadlines) + len(self._cut_off) >= self.max_connections:
                self.refused["connections"] += 1
                return False  # closed at once by the caller
            soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
            held = open_descriptors()
            if soft != resource.RLIM_INFINITY and held is not None and soft - held < self.reserve:
                self.refused["descriptors"] += 1
                return False
            # A second guard, should the deadline's thread be late: no read or write waits longer.
            request.settimeout(self.connection_timeout + 1)
            self._deadlines[request] = time.monotonic() + self.connection_timeout
        return True

    def finish_request(self, request, client_address):
        if not self.uses_tls:
            super().finish_request(request, client_address)
            return
        # The configuration in force when the connection began serves all of it. Under the lock,
        # so that the deadline finds the socket that holds the connection from now on.
        with self._lock:
            secured = self.web_config.current().tls.wrap_socket(
                request, server_side=True, do_handshake_on_connect=False
            )
            self._tls[request] = secured
        try:
            secured.do_handshake()
            self.RequestHandlerClass(secured, client_address, self)
            secured.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # a failed handshake (ssl.SSLError), a client gone or cut off: nothing to say
        finally:
            secured.close()

    def process_request_thread(self, request, client_address):
        # Connections' threads yield the processor to the drain thread: however many clients
        # scrape back to back, the rings are emptied on time (rendering waits instead).
        try:
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), CONNECTION_NICENESS)
        except OSError:
            pass
        super().process_request_thread(request, client_address)

    def process_request(self, request, client_address):
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._forget(request)  # no thread: the caller closes it
            raise

    def shutdown_request(self, request):
        self._forget(request)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        pass  # a client that went away, or was cut off: nothing to say on standard error

    def _forget(self, request):
        with self._lock:
            self._deadlines.pop(request, None)
            self._cut_off.discard(request)
            self._tls.pop(request, None)

    def _cut_off_late(self):
        while True:
            late = []
            with self._lock:
                now = time.monotonic()
                pause = self.connection_timeout
                for request, deadline in self._deadlines.items():  # deadlines in order
                    if deadline > now:
                        pause = deadline - now
                        break
                    late.append(request)
                for request in late:
                    del self._deadlines[request]
                    self._cut_off.add(request)
                self.timed_out += len(late)
                late = [self._tls.get(request, request) for request in late]
            for request in late:
                try:
                    # Its thread's read, write or handshake ends at once; the thread closes it.
                    # The plain socket's own shutdown: a TLS socket's would also drop its TLS
                    # state from under the thread that uses it.
                    socket.socket.shutdown(request, socket.SHUT_RDWR)
                except OSError:
                    pass
            time.sleep(pause + 0.01)


def start_server(
    address,
    port,
    app,
    *,
    max_connections,
    timeout,
    reserve,
    telemetry_path="/metrics",
    web_config=None,
    version="",
):
    """Binds and starts serving `app` on `telemetry_path` (WebApp says what else) from a daemon
    thread; returns the server. Raises OSError when it cannot bind."""
    app = WebApp(app, telemetry_path, web_config, version)
    server = MetricsServer(
        address,
        port,
        app,
        max_connections=max_connections,
        timeout=timeout,
        reserve=reserve,
        web_config=web_config,
    )
    threading.Thread(target=server.serve_forever, daemon=True, name="http").start()
    return server
