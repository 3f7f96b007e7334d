"""Turning drained entries into Prometheus metric families.

Counters are summed per series, histogram observations counted into cumulative buckets, gauges
kept by the chosen mode. Which recorded names become series is names.py's business; entries that
cannot become a valid series are counted under ``zelnor_exporter_rejected_entries_total{reason}``
and otherwise skipped. Memory is bounded: at most ``max_series`` series, and a bounded cache of
what recorded names became, so that names beyond the limit cost nothing that grows.
"""

import bisect
import enum
import math
import threading
from dataclasses import dataclass, field

from prometheus_client.core import (
    CounterMetricFamily,
    GaugeMetricFamily,
    HistogramMetricFamily,
)
from prometheus_client.utils import floatToGoString

from zelnor_exporter.names import KINDS, RejectedName, family_of, occupied_names


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


def bucket_bounds(buckets):
    """Sorted, distinct, finite-or-infinite bounds, ending with +Inf."""
    bounds = sorted({float(b) for b in buckets})
    if any(math.isnan(b) for b in bounds):
        raise ValueError("a bucket bound cannot be NaN")
    if not bounds or bounds[-1] != math.inf:
        bounds.append(math.inf)
    return bounds


class Aggregator:
    """Running totals, safe to feed from the draining thread while the HTTP thread collects."""

    def __init__(self, buckets, gauge_mode=GaugeMode.LAST, max_series=10000):
        self.bounds = bucket_bounds(buckets)
        # OpenMetrics forbids a histogram's _sum where a bucket bound is negative.
        self.expose_sums = self.bounds[0] >= 0
        self.gauge_mode = gauge_mode
        self.max_series = max_series
        self._lock = threading.Lock()
        self._families = {}  # family name -> kind, for families that hold a series
        self._occupied = {}  # name a family occupies -> that family's name
        self._series = {kind: {} for kind in KINDS}  # (name, labels) -> state
        self._classified = {}  # (kind, recorded name) -> (name, labels) or a reason
        self._classified_limit = max(4096, 2 * max_series)
        self._series_count = 0
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

    def _classify(self, kind, recorded):
        key = (kind, recorded)
        found = self._classified.get(key)
        if found is None:
            try:
                found = family_of(kind, recorded)
            except RejectedName as rejected:
                found = rejected.reason
            if len(self._classified) >= self._classified_limit:
                self._classified.clear()
            self._classified[key] = found
        if isinstance(found, str):
            raise RejectedName(found)
        return found

    def _add_one(self, kind, recorded, value):
        series = self._classify(kind, recorded)
        if kind == "counter" and value < 0:
            raise RejectedName("negative_counter_increment")
        if kind == "histogram" and math.isnan(value):
            raise RejectedName("nan_observation")
        table = self._series[kind]
        state = table.get(series)
        if state is None:
            self._admit(kind, series[0])
            if kind == "counter":
                state = 0
            elif kind == "histogram":
                state = _Histogram([0] * len(self.bounds))
            table[series] = state
            self._series_count += 1
        if kind == "counter":
            table[series] = state + value
        elif kind == "histogram":
            state.observe(value, self.bounds)
        else:
            table[series] = self.gauge_mode.combine(state, value)

    def _admit(self, kind, name):
        """Checks that a new series of family `name` may be made, registering a new family."""
        owner = self._families.get(name)
        if owner is not None and owner != kind:
            raise RejectedName("type_conflict")
        if owner is None:
            occupied = occupied_names(kind, name)
            for taken in occupied:
                holder = self._occupied.get(taken)
                if holder is not None:
                    raise RejectedName("type_conflict" if holder == name else "name_clash")
        if self._series_count >= self.max_series:
            raise RejectedName("too_many_series")
        if owner is None:
            self._families[name] = kind
            for taken in occupied:
                self._occupied[taken] = name

    def collect(self):
        """The metric families for prometheus_client's registry."""
        with self._lock:
            yield from self._families_of(self._series["counter"], CounterMetricFamily,
                                         self._counter_samples)
            yield from self._families_of(self._series["histogram"], HistogramMetricFamily,
                                         self._histogram_samples)
            yield from self._families_of(self._series["gauge"], GaugeMetricFamily,
                                         self._gauge_samples)
            yield from self._health_families()

    @staticmethod
    def _families_of(table, family_type, add_samples):
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
        # OpenMetrics counts _sum as a counter (never negative, never NaN) and wants _count and
        # _sum together or neither; the +Inf bucket holds the count either way.
        if self.expose_sums and histogram.sum >= 0:
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
        series.add_metric([], self._series_count)
        return [entries, rejected, drains, seconds, series]
