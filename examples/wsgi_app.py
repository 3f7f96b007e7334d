"""A small WSGI application instrumented with zelnor_client, as it would be with prometheus_client.

Run it under gunicorn with the config beside it, and the exporter beside that:

    export ZELNOR_METRICS_DIR=/tmp/myapp-metrics
    zelnor-exporter --address 127.0.0.1 --port 9464 &
    gunicorn --config examples/gunicorn.conf.py --chdir examples wsgi_app:app
    curl -s localhost:8000/hello; curl -s localhost:9464/metrics | grep http_

Coming from prometheus_client, only the import changed (and the app no longer serves /metrics
itself: zelnor-exporter does, for every worker at once).
"""

import time

from zelnor_client import Counter, Gauge, Histogram, Info

REQUESTS = Counter("http_requests_total", "HTTP requests handled.", ["method", "route", "code"])
LATENCY = Histogram(
    "http_request_duration_seconds",
    "Time spent handling a request.",
    ["route"],
    buckets=(0.001, 0.005, 0.025, 0.1, 0.5, 2.5),
)
IN_FLIGHT = Gauge("http_requests_in_flight", "Requests being handled.", multiprocess_mode="livesum")
BUILD = Info("app_build", "The running build.")
BUILD.info({"version": "1.0.0"})

ROUTES = {"/hello": b"hello\n", "/slow": b"slow\n"}


def app(environ, start_response):
    route = environ.get("PATH_INFO", "/")
    body = ROUTES.get(route)
    with IN_FLIGHT.track_inprogress(), LATENCY.labels(route if body else "other").time():
        if route == "/slow":
            time.sleep(0.05)
        code = "200" if body is not None else "404"
        start_response(f"{code} {'OK' if body else 'Not Found'}", [("Content-Type", "text/plain")])
    REQUESTS.labels(environ["REQUEST_METHOD"], route if body else "other", code).inc()
    return [body or b"not found\n"]
