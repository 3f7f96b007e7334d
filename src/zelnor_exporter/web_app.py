"""What the exporter serves over HTTP around its telemetry: basic authentication for every path
when the web configuration names users, the telemetry on its one path, a landing page at / that
links it, and 404 for the rest."""

import html

LANDING_PAGE = """<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>zelnor-exporter</title></head>
<body>
<h1>zelnor-exporter</h1>
<p>Serves the metrics of every zelnor producer of one metrics directory.</p>
<ul><li><a href="{path}">Metrics</a></li></ul>
<p>Version {version}</p>
</body>
</html>
"""


class WebApp:
    """A WSGI app: `telemetry` (a WSGI app) at `telemetry_path`, behind the users of `web_config`
    (a WebConfigFile, or None), with its headers on every reply."""

    def __init__(self, telemetry, telemetry_path, web_config=None, version=""):
        self._telemetry = telemetry
        self._path = telemetry_path
        self._web_config = web_config
        self._landing = LANDING_PAGE.format(
            path=html.escape(telemetry_path, quote=True), version=html.escape(version)
        ).encode()

    def __call__(self, environ, start_response):
        config = self._web_config.current() if self._web_config is not None else None
        extra = config.headers if config is not None else []
        if config is not None and not config.authorised(environ.get("HTTP_AUTHORIZATION")):
            return _reply(
                start_response,
                "401 Unauthorized",
                b"Unauthorized\n",
                [("WWW-Authenticate", "Basic"), *extra],
            )
        path = environ.get("PATH_INFO") or "/"
        if path == self._path:

            def with_headers(status, headers, exc_info=None):
                return start_response(status, [*headers, *extra], exc_info)

            return self._telemetry(environ, with_headers)
        if path == "/":
            return _reply(start_response, "200 OK", self._landing, extra, "text/html")
        return _reply(start_response, "404 Not Found", b"Not Found\n", extra)


def _reply(start_response, status, body, headers, content_type="text/plain"):
    start_response(
        status,
        [
            ("Content-Type", f"{content_type}; charset=utf-8"),
            ("Content-Length", str(len(body))),
            *headers,
        ],
    )
    return [body]
