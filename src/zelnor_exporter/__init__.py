"""A Prometheus exporter for the metrics that zelnor_core carries to one consumer per directory.

Run it as ``zelnor-exporter`` (or ``python -m zelnor_exporter``): it drains every producer of its
metrics directory every ``--interval`` and serves the running totals on ``/metrics``.
"""

from zelnor_exporter.aggregator import Aggregator, GaugeMode, families
from zelnor_exporter.names import RejectedName, family_of, parse_name

__all__ = ["Aggregator", "GaugeMode", "RejectedName", "families", "family_of", "parse_name"]
