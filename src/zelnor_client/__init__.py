"""prometheus_client's instrumentation API, carried by zelnor to one zelnor-exporter.

``from zelnor_client import Counter, Gauge, Histogram, Summary, Info, Enum`` in place of the same
names from prometheus_client: the same constructors, methods, validation and exceptions, recorded
into this thread's rings (a call costs about what a zelnor_core call costs) and served by
zelnor-exporter as prometheus_client's multiprocess collector would serve them, without a
``child_exit`` hook and without files that pile up. docs/migrating.md lists what differs.
"""

from zelnor_client.metrics import Counter, Enum, Gauge, Histogram, Info, Summary

__all__ = ["Counter", "Enum", "Gauge", "Histogram", "Info", "Summary", "install"]


def install() -> None:
    """Makes prometheus_client's metric classes these, for every module (zelnor_client.switch)."""
    from zelnor_client import switch

    switch.install()
