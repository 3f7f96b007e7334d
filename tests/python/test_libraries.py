"""The libraries built on prometheus_client, each with its own documented example application
under gunicorn (recycled workers, one SIGKILLed mid-run), run both ways: in prometheus_client's
multiprocess mode as its documentation says, and under zelnor-run with the same code and the same
gunicorn config (its child_exit hook left in). A real Prometheus stores both; what it stores must
be the same, from the exporter and from the application's own route.

prometheus_flask_exporter and django-prometheus come from PyPI at the versions .ci/run pins;
prometheus and promtool from Debian's prometheus package.
"""

import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import urllib.parse
import urllib.request

import pytest
from support import Exporter, free_port

pytestmark = pytest.mark.once

# Its README's example for gunicorn, with the metrics endpoint on the application itself.
FLASK_APPLICATION = """
from flask import Flask
from prometheus_flask_exporter.multiprocess import GunicornInternalPrometheusMetrics

app = Flask(__name__)
metrics = GunicornInternalPrometheusMetrics(app)


@app.route("/test")
def index():
    return "Hello world"


@app.route("/error")
def error():
    raise Exception("Fail")
"""

FLASK_HOOK = """
from prometheus_flask_exporter.multiprocess import GunicornInternalPrometheusMetrics


def child_exit(server, worker):
    GunicornInternalPrometheusMetrics.mark_process_dead_on_child_exit(worker.pid)
"""

# Its README's setup: the two middlewares, its urls for /metrics, in one module.
DJANGO_APPLICATION = """
import django
from django.conf import settings

settings.configure(
    DEBUG=False,
    ALLOWED_HOSTS=["*"],
    SECRET_KEY="not a secret",
    ROOT_URLCONF=__name__,
    INSTALLED_APPS=["django_prometheus"],
    MIDDLEWARE=[
        "django_prometheus.middleware.PrometheusBeforeMiddleware",
        "django_prometheus.middleware.PrometheusAfterMiddleware",
    ],
    LOGGING_CONFIG=None,
)
django.setup()

from django.core.wsgi import get_wsgi_application
from django.http import HttpResponse
from django.urls import include, path


def index(request):
    return HttpResponse("Hello world")


def error(request):
    raise Exception("Fail")


urlpatterns = [
    path("", include("django_prometheus.urls")),
    path("test", index),
    path("error", error),
]
app = get_wsgi_application()
"""

# prometheus_client's documented hook.
PROMETHEUS_CLIENT_HOOK = """
from prometheus_client import multiprocess


def child_exit(server, worker):
    multiprocess.mark_process_dead(worker.pid)
"""

GUNICORN_SETTINGS = """
bind = "127.0.0.1:{port}"
workers = 3
max_requests = 15
"""

# prometheus_client's documented exposition beside a server whose own route counts its scrapes.
PEER_SERVER = """
import sys, time
import prometheus_client
from prometheus_client import multiprocess
registry = prometheus_client.CollectorRegistry()
multiprocess.MultiProcessCollector(registry, path=sys.argv[1])
prometheus_client.start_http_server(int(sys.argv[2]), "127.0.0.1", registry=registry)
time.sleep(3600)
"""

# Each request of the workload: path and expected status.
WORKLOAD = [("/test", 200)] * 60 + [("/error", 500)] * 12 + [("/missing", 404)] * 9


def prometheus_binary():
    found = shutil.which("prometheus")
    if found is None:
        if os.environ.get("ZELNOR_REQUIRE_PROMETHEUS"):
            pytest.fail("prometheus is required here but not installed")
        pytest.skip("prometheus is not installed (Debian's prometheus package has it)")
    return found


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", path)
        reply = connection.getresponse()
        reply.read()
        return reply.status
    except (OSError, http.client.HTTPException):
        return None
    finally:
        connection.close()


class Deployment:
    """One library's example under gunicorn, one way: `switched` under zelnor-run with an
    exporter started first, else in prometheus_client's multiprocess mode."""

    def __init__(self, root, library, switched):
        self.name = f"{library}_{'zelnor' if switched else 'prometheus_client'}"
        self.root = root / self.name
        self.root.mkdir()
        self.port = free_port()
        self.helpers = []
        self.exporter = None
        env = {**os.environ}
        env.pop("PROMETHEUS_MULTIPROC_DIR", None)
        if switched:
            env["ZELNOR_METRICS_DIR"] = str(self.root / "metrics")
            self.exporter = Exporter("--interval", "0.05", "--directory", env["ZELNOR_METRICS_DIR"])
            launcher = [sys.executable, "-m", "zelnor_client.run", sys.executable]
        else:
            env["PROMETHEUS_MULTIPROC_DIR"] = str(self.root / "prometheus_multiproc")
            os.mkdir(env["PROMETHEUS_MULTIPROC_DIR"])
            launcher = [sys.executable]
        application, hook = {
            "flask": (FLASK_APPLICATION, FLASK_HOOK),
            "django": (DJANGO_APPLICATION, PROMETHEUS_CLIENT_HOOK),
        }[library]
        (self.root / "app.py").write_text(textwrap.dedent(application))
        config = self.root / "gunicorn.conf.py"
        config.write_text(hook + GUNICORN_SETTINGS.format(port=self.port))
        self.server = subprocess.Popen(
            [*launcher, "-m", "gunicorn", "--config", str(config), "app:app"],
            cwd=self.root,
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=open(self.root / "gunicorn.log", "w"),
        )
        # Where Prometheus reads the application's totals. The Flask example's route counts no
        # scrape of itself; Django's counts each, so prometheus_client's side is read through its
        # documented standalone exposition, and the route compared once at the end.
        self.route_port = self.port
        if library == "django" and not switched:
            self.route_port = free_port()
            self.helpers.append(
                subprocess.Popen(
                    [
                        sys.executable,
                        "-c",
                        PEER_SERVER,
                        env["PROMETHEUS_MULTIPROC_DIR"],
                        str(self.route_port),
                    ],
                    env=env,
                )
            )
        self.scraped_route = library == "flask" or not switched

    def wait_until_serving(self):
        deadline = time.monotonic() + 60
        while get(self.port, "/test") != 200:
            assert self.server.poll() is None, (self.root / "gunicorn.log").read_text()
            assert time.monotonic() < deadline, "gunicorn did not start serving"
            time.sleep(0.1)

    def workers(self):
        with open(f"/proc/{self.server.pid}/task/{self.server.pid}/children") as children:
            return [int(pid) for pid in children.read().split()]

    def run(self, workload):
        for number, (path, status) in enumerate(workload):
            if number == len(workload) // 2:
                os.kill(self.workers()[0], signal.SIGKILL)
            assert get(self.port, path) == status, (self.name, path)
            assert self.server.poll() is None, (self.root / "gunicorn.log").read_text()

    def targets(self):
        """Prometheus' jobs for this deployment: name -> port."""
        found = {}
        if self.scraped_route:
            found[f"{self.name}_route"] = self.route_port
        if self.exporter is not None:
            found[f"{self.name}_exporter"] = self.exporter.port
        return found

    def stop(self):
        self.server.send_signal(signal.SIGTERM)
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        for helper in self.helpers:
            helper.kill()
            helper.wait()
        if self.exporter is not None:
            self.exporter.stop()


class Prometheus:
    def __init__(self, root, targets):
        self.port = free_port()
        jobs = "".join(
            f"""
  - job_name: {job}
    static_configs:
      - targets: ["127.0.0.1:{port}"]"""
            for job, port in targets.items()
        )
        config = root / "prometheus.yml"
        config.write_text(f"global:\n  scrape_interval: 1s\nscrape_configs:{jobs}\n")
        self.process = subprocess.Popen(
            [
                prometheus_binary(),
                f"--config.file={config}",
                f"--storage.tsdb.path={root / 'data'}",
                f"--web.listen-address=127.0.0.1:{self.port}",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )

    def api(self, path, **parameters):
        url = f"http://127.0.0.1:{self.port}/api/v1/{path}?" + urllib.parse.urlencode(parameters)
        try:
            with urllib.request.urlopen(url, timeout=10) as reply:
                return json.load(reply)["data"]
        except OSError:
            return None

    def query(self, expression):
        return (self.api("query", query=expression) or {}).get("result", [])

    def wait_for_scrapes_after(self, jobs, moment, deadline):
        for job in jobs:
            while True:
                found = self.query(f'timestamp(up{{job="{job}"}} == 1)')
                if found and float(found[0]["value"][1]) > moment:
                    break
                assert time.monotonic() < deadline, f"{job} was not scraped after the workload"
                time.sleep(0.5)

    def stored(self, job):
        """What Prometheus holds of the job, as a comparison sees it: labels (but job and
        instance) -> value; a value that measures time (a bucket below +Inf, a sum) as None."""
        # The exporter's own families, and the process metrics it serves beside the totals.
        found = self.query(f'{{job="{job}",__name__!~"up|scrape_.*|zelnor_.*|process_.*"}}')
        series = {}
        for result in found:
            labels = {k: v for k, v in result["metric"].items() if k not in ("job", "instance")}
            name = labels["__name__"]
            value = float(result["value"][1])
            timed = name.endswith("_sum") or (name.endswith("_bucket") and labels["le"] != "+Inf")
            series[tuple(sorted(labels.items()))] = None if timed else value
        return series

    def metadata(self, job):
        found = self.api("targets/metadata", match_target=f'{{job="{job}"}}') or []
        return {
            (m["metric"], m["type"], m["help"])
            for m in found
            if not m["metric"].startswith(("up", "scrape_", "zelnor_", "process_"))
        }

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def route_samples(port, query=""):
    """The application's own route, parsed: sample -> value, timed values as None."""
    from prometheus_client.parser import text_string_to_metric_families

    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics{query}", timeout=30) as reply:
        text = reply.read().decode()
    samples = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            timed = sample.name.endswith("_sum") or (
                sample.name.endswith("_bucket") and sample.labels["le"] != "+Inf"
            )
            key = (sample.name, tuple(sorted(sample.labels.items())))
            samples[key] = None if timed else sample.value
    return samples


def differences(ours, theirs):
    return {
        "only zelnor": sorted(set(ours) - set(theirs)),
        "only prometheus_client": sorted(set(theirs) - set(ours)),
        "values": sorted(
            (key, ours[key], theirs[key])
            for key in set(ours) & set(theirs)
            if ours[key] != theirs[key]
        ),
    }


@pytest.mark.parametrize("library", ["flask", "django"])
def test_a_library_example_under_gunicorn_stores_the_same_both_ways(tmp_path, library):
    pytest.importorskip(
        {"flask": "prometheus_flask_exporter", "django": "django_prometheus"}[library]
    )
    theirs = Deployment(tmp_path, library, switched=False)
    ours = Deployment(tmp_path, library, switched=True)
    prometheus = None
    try:
        for deployment in (theirs, ours):
            deployment.wait_until_serving()
        prometheus = Prometheus(tmp_path, {**theirs.targets(), **ours.targets()})
        for deployment in (theirs, ours):
            deployment.run(WORKLOAD)
        # The route of the switched application reads the exporter's totals, with every
        # worker's records, the killed one's among them.
        route, peer_route = route_samples(ours.port), route_samples(theirs.port)
        if library == "flask":
            # prometheus_client's collector cannot take the library's restricted registry (500).
            only = route_samples(ours.port, "?name[]=flask_http_request_total")
            assert {name for name, _ in only} == {"flask_http_request_total"}
        finished = time.time()
        deadline = time.monotonic() + 90
        reference = f"{theirs.name}_route"
        jobs = [reference, *ours.targets()]
        prometheus.wait_for_scrapes_after(jobs, finished, deadline)
        while True:
            found = {
                job: differences(prometheus.stored(job), prometheus.stored(reference))
                for job in ours.targets()
            }
            if all(not any(d.values()) for d in found.values()) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        assert found == {
            job: {"only zelnor": [], "only prometheus_client": [], "values": []}
            for job in ours.targets()
        }
        assert len(prometheus.stored(reference)) > 20
        for job in ours.targets():
            assert prometheus.metadata(job) == prometheus.metadata(reference), job
        # Fetched once each, at the same point of the workload: the same samples.
        assert differences(route, peer_route) == {
            "only zelnor": [],
            "only prometheus_client": [],
            "values": [],
        }
    finally:
        if prometheus is not None:
            prometheus.stop()
        for deployment in (theirs, ours):
            deployment.stop()


# The ASGI libraries' README examples, imported before the switch (the order that used to leave
# their metrics with prometheus_client), each serving its own /metrics.
ASGI_APPLICATIONS = """
import warnings
from fastapi import FastAPI
from prometheus_fastapi_instrumentator import Instrumentator
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route
from starlette.testclient import TestClient
from starlette_exporter import PrometheusMiddleware, handle_metrics
import zelnor_client
from zelnor_client.switch import SwitchWarning
warnings.simplefilter("error", category=SwitchWarning)  # a metric left behind fails the run
zelnor_client.install()


def hello(request):
    return PlainTextResponse("Hello world")


starlette_app = Starlette(routes=[Route("/test", hello), Route("/metrics", handle_metrics)])
starlette_app.add_middleware(PrometheusMiddleware)
fastapi_app = FastAPI()


@fastapi_app.get("/test")
def index():
    return "Hello world"


Instrumentator().instrument(fastapi_app).expose(fastapi_app)
for app, count in ((starlette_app, 3), (fastapi_app, 4)):
    with TestClient(app) as client:
        for _ in range(count):
            assert client.get("/test").status_code == 200
        print("=== route")
        print(client.get("/metrics").text, end="")
"""


def test_the_asgi_libraries_imported_before_the_switch_record_through_zelnor(tmp_path):
    pytest.importorskip("starlette_exporter")
    pytest.importorskip("prometheus_fastapi_instrumentator")
    directory = tmp_path / "metrics"
    exporter = Exporter("--interval", "0.05", "--directory", str(directory))
    try:
        completed = subprocess.run(
            [sys.executable, "-c", ASGI_APPLICATIONS],
            env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert completed.returncode == 0, completed.stderr
        served = exporter.scrape()
    finally:
        exporter.stop()
    from prometheus_client.parser import text_string_to_metric_families

    routes = [
        {
            (s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text)
            for s in family.samples
        }
        for text in completed.stdout.split("=== route\n")[1:]
    ]
    starlette = (
        "starlette_requests_total",
        (("app_name", "starlette"), ("method", "GET"), ("path", "/test"), ("status_code", "200")),
    )
    fastapi = ("http_requests_total", (("handler", "/test"), ("method", "GET"), ("status", "2xx")))
    assert served[starlette] == 3 and served[fastapi] == 4
    # Each route read the exporter's totals, just after its own requests.
    assert routes[0][starlette] == 3 and fastapi not in routes[0]
    assert routes[1][starlette] == 3 and routes[1][fastapi] == 4
