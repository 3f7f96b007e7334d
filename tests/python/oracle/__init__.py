"""The exporter's folding and rendering in plain Python: the reference its native side is tested
against. The shipped exporter never runs it.

``Aggregator`` folds entries one by one into the snapshot the native side publishes, ``families``
turns a snapshot into prometheus_client's metric families, and ``render`` writes them with
prometheus_client's own encoders, as the exporter served them before it rendered natively.
"""

from prometheus_client import exposition as text_format

from oracle.aggregator import Aggregator, GaugeMode, bucket_bounds, families
from oracle.names import RejectedName, conventions_broken, family_of, parse_name
from zelnor_exporter import exposition

__all__ = [
    "Aggregator",
    "GaugeMode",
    "RejectedName",
    "bucket_bounds",
    "conventions_broken",
    "families",
    "family_of",
    "parse_name",
    "render",
]


class _Families:
    def __init__(self, metrics, names):
        self._metrics = metrics
        self._names = names

    def collect(self):
        for metric in self._metrics:
            if self._names is None:
                yield metric
                continue
            samples = [sample for sample in metric.samples if sample.name in self._names]
            if samples:
                metric.samples = samples
                yield metric


def render(snapshot, bounds, gauge_mode, openmetrics=False, escaping="underscores", names=None):
    """prometheus_client's exposition of a snapshot: the text format, or OpenMetrics with every
    name as it is and without its closing '# EOF' line; only the samples named in `names` if it
    is given."""
    registry = _Families(list(families(snapshot, bounds, gauge_mode)), names)
    if openmetrics:
        encoder, _ = exposition.choose_encoder("application/openmetrics-text; version=1.0.0")
        return encoder(registry).removesuffix(b"# EOF\n")
    if escaping == "underscores":  # prometheus_client's default, and all that 0.22 writes
        return text_format.generate_latest(registry)
    return text_format.generate_latest(registry, escaping=escaping)
