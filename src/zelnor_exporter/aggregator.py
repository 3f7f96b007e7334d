"""Turning drained entries into Prometheus metric families.

Counters are summed per series, histogram observations counted into cumulative buckets, gauges
kept by the chosen mode. A recorded name may carry labels in Prometheus form,
``http_requests{method="GET",code="200"}``. Entries that cannot become a valid series are counted
under ``zelnor_exporter_rejected_entries_total{reason=...}`` and otherwise skipped.
"""

import bisect
import enum
import math
import re
import threading
from dataclasses import dataclass, field

from prometheus_client.core import (
    CounterMetricFamily,
    GaugeMetricFamily,
    HistogramMetricFamily,
)
from prometheus_client.utils import floatToGoString

METRIC_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*")
LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")
LABEL_PAIR = re.compile(r'\s*([^=\s]+)\s*=\s*"((?:[^"\\]|\\.)*)"\s*(?:,|$)')
ESCAPE = re.compile(r"\\(.)")
RESERVED_PREFIX = "zelnor_exporter_"
KINDS = ("counter", "histogram", "gauge")


class RejectedName(ValueError):
    """A recorded name that cannot become a series; its reason is a label value."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


def _unescape(value):
    return ESCAPE.sub(lambda m: {"n": "\n"}.get(m.group(1), m.group(1)), value)


def parse_name(recorded):
    """Splits a recorded name into a metric name and a sorted tuple of label pairs."""
    if recorded is None:
        raise RejectedName("undecodable_name")
    name, brace, rest = recorded.partition("{")
    if not METRIC_NAME.fullmatch(name):
        raise RejectedName("invalid_name")
    if name.startswith(RESERVED_PREFIX):
        raise RejectedName("reserved_name")
    if not brace:
        return name, ()
    if not rest.endswith("}"):
        raise RejectedName("invalid_labels")
    body = rest[:-1]
    labels = {}
    position = 0
    while position < len(body):
        match = LABEL_PAIR.match(body, position)
        if match is None or match.end() == position:
            raise RejectedName("invalid_labels")
        label, value = match.group(1), _unescape(match.group(2))
        if not LABEL_NAME.fullmatch(label) or label.startswith("__") or label in labels:
            raise RejectedName("invalid_labels")
        labels[label] = value
        position = match.end()
    return name, tuple(sorted(labels.items()))


class GaugeMode(enum.Enum):
    LAST = "last"
    MAX = "max"
    MIN = "min"
    SUM = "sum"

    def combine(self, old, new):
        if old is None or self is GaugeMode.LAST:
            return new
        if self is GaugeMode.MAX:
            return new if new > old or math.isnan(old) else old
        if self is GaugeMode.MIN:
            return new if new < old or math.isnan(old) else old
        return old + new


@dataclass
class _Histogram:
    buckets: list
    sum: float = 0.0
    count: int = 0

    def observe(self, value, bounds):
        self.buckets[bisect.bisect_left(bounds, value)] += 1
        self.sum += value
        self.count += 1


@dataclass
class _Health:
    entries: dict = field(default_factory=lambda: dict.fromkeys(KINDS, 0))
    rejected: dict = field(default_factory=dict)
    drains: int = 0
    drain_seconds: float = 0.0


class Aggregator:
    """Running totals, safe to feed from the draining thread while the HTTP thread collects."""

    def __init__(self, buckets, gauge_mode=GaugeMode.LAST, max_series=10000):
        bounds = sorted(float(b) for b in buckets)
        if not bounds or bounds[-1] != math.inf:
            bounds.append(math.inf)
        self.bounds = bounds
        self.gauge_mode = gauge_mode
        self.max_series = max_series
        self._lock = threading.Lock()
        self._kind_of = {}
        self._counters = {}
        self._histograms = {}
        self._gauges = {}
        self._health = _Health()

    def add(self, kind, entries):
        """Adds drained entries of one kind ("counter", "histogram" or "gauge")."""
        with self._lock:
            for entry in entries:
                self._health.entries[kind] += 1
                try:
                    name = entry.name
                except UnicodeDecodeError:
                    name = None
                try:
                    self._add_one(kind, name, entry.value)
                except RejectedName as rejected:
                    self._health.rejected[rejected.reason] = (
                        self._health.rejected.get(rejected.reason, 0) + 1)

    def totals(self):
        """Entries drained so far, of all kinds."""
        with self._lock:
            return sum(self._health.entries.values())

    def record_drain(self, seconds):
        with self._lock:
            self._health.drains += 1
            self._health.drain_seconds += seconds

    def _add_one(self, kind, recorded, value):
        name, labels = parse_name(recorded)
        if kind == "counter" and name.endswith("_total"):
            name = name[: -len("_total")]  # the exposition adds it to every counter sample
        if self._kind_of.setdefault(name, kind) != kind:
            raise RejectedName("type_conflict")
        series = (name, labels)
        table = {"counter": self._counters, "histogram": self._histograms,
                 "gauge": self._gauges}[kind]
        if series not in table and self._series_count() >= self.max_series:
            raise RejectedName("too_many_series")
        if kind == "counter":
            if value < 0:
                raise RejectedName("negative_counter_increment")
            table[series] = table.get(series, 0) + value
        elif kind == "histogram":
            if math.isnan(value):
                raise RejectedName("nan_observation")
            if series not in table:
                table[series] = _Histogram([0] * len(self.bounds))
            table[series].observe(value, self.bounds)
        else:
            table[series] = self.gauge_mode.combine(table.get(series), value)

    def _series_count(self):
        return len(self._counters) + len(self._histograms) + len(self._gauges)

    def collect(self):
        """The metric families for prometheus_client's registry."""
        with self._lock:
            yield from self._families(self._counters, CounterMetricFamily, self._counter_samples)
            yield from self._families(self._histograms, HistogramMetricFamily,
                                      self._histogram_samples)
            yield from self._families(self._gauges, GaugeMetricFamily, self._gauge_samples)
            yield from self._health_families()

    @staticmethod
    def _families(table, family_type, add_samples):
        by_name = {}
        for (name, labels), state in sorted(table.items(), key=lambda item: item[0]):
            family = by_name.get(name)
            if family is None:
                family = by_name[name] = family_type(name, f"zelnor metric {name}")
            add_samples(family, dict(labels), state)
        return by_name.values()

    @staticmethod
    def _counter_samples(family, labels, total):
        family.add_sample(family.name + "_total", labels, float(total))

    def _histogram_samples(self, family, labels, histogram):
        cumulative = 0
        for bound, count in zip(self.bounds, histogram.buckets):
            cumulative += count
            le = floatToGoString(bound)
            family.add_sample(family.name + "_bucket", {**labels, "le": le}, float(cumulative))
        family.add_sample(family.name + "_count", labels, float(histogram.count))
        family.add_sample(family.name + "_sum", labels, histogram.sum)

    @staticmethod
    def _gauge_samples(family, labels, value):
        family.add_sample(family.name, labels, value)

    def _health_families(self):
        entries = CounterMetricFamily("zelnor_exporter_entries", "Entries drained, by kind",
                                      labels=["kind"])
        for kind in KINDS:
            entries.add_metric([kind], self._health.entries[kind])
        rejected = CounterMetricFamily(
            "zelnor_exporter_rejected_entries",
            "Drained entries that could not become a series, by reason", labels=["reason"])
        for reason, count in sorted(self._health.rejected.items()):
            rejected.add_metric([reason], count)
        drains = CounterMetricFamily("zelnor_exporter_drains", "Drain passes over all three kinds")
        drains.add_metric([], self._health.drains)
        seconds = CounterMetricFamily("zelnor_exporter_drain_seconds",
                                      "Time spent draining, in seconds")
        seconds.add_metric([], self._health.drain_seconds)
        series = GaugeMetricFamily("zelnor_exporter_series", "Series held")
        series.add_metric([], self._series_count())
        return [entries, rejected, drains, seconds, series]
