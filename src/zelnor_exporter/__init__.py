"""A Prometheus exporter for the metrics that zelnor_core carries to one consumer per directory.

Run it as ``zelnor-exporter`` (or ``python -m zelnor_exporter``): it drains every producer of its
metrics directory every ``--interval`` and serves the running totals on ``/metrics``.
"""
