"""Every name in a scrape exactly as the exporter made it, in both formats.

Every name the exporter serves is a valid Prometheus name already (it refuses the rest), so
no scrape needs to escape one. Since 0.23, prometheus_client escapes the sample names of its
OpenMetrics output with the rules for label names, which turns ``queue:depth`` into
``queue_depth`` below a ``# TYPE queue:depth gauge`` line: Prometheus, which asks for OpenMetrics,
stores the series under a name nobody recorded, and on the name of another family if one has it.
``choose_encoder`` chooses the format as prometheus_client does and writes OpenMetrics with every
name as it is; ``use_in_prometheus_client`` makes prometheus_client's own HTTP server use it.
"""

import functools
import inspect

from prometheus_client import exposition
from prometheus_client.openmetrics import exposition as openmetrics

_choose_encoder = exposition.choose_encoder
# Releases before 0.23 write names as they are and take no escaping.
_PARAMETERS = inspect.signature(openmetrics.generate_latest).parameters


def choose_encoder(accept_header):
    """prometheus_client's encoder and content type for the Accept header, with OpenMetrics
    written with every name as it is."""
    encoder, content_type = _choose_encoder(accept_header)
    if "escaping" in _PARAMETERS and content_type.startswith("application/openmetrics-text"):
        keywords = {"escaping": openmetrics.ALLOWUTF8}
        version = getattr(encoder, "keywords", {}).get("version")
        if version and "version" in _PARAMETERS:
            keywords["version"] = version
        encoder = functools.partial(openmetrics.generate_latest, **keywords)
    return encoder, content_type


def use_in_prometheus_client():
    """Makes prometheus_client's HTTP servers (start_http_server, make_wsgi_app) of this process
    choose their encoder through choose_encoder."""
    exposition.choose_encoder = choose_encoder
