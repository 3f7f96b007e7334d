"""Running totals of drained entries, and the Prometheus metric families they make.

The exporter folds records natively (the ``_native`` module: draining and folding never make a
Python object per record). ``Aggregator`` here is the same folding in plain Python, entry by entry:
the reference the native side is tested against. Both produce the same snapshot, and ``families``
turns a snapshot into the metric families the native rendering writes.

Counters are summed per series, histogram observations counted into cumulative buckets, gauges
kept by the chosen mode (GaugeMode). Which recorded names become series is names.py's business;
entries that cannot become a valid series are counted under
``zelnor_exporter_rejected_entries_total{reason}``, said once per name and reason on standard
output (rejection_log.py), and otherwise skipped. Memory is bounded: at
most ``max_series`` series, and a cache of what recorded names became in two bounded generations
(a full one becomes the previous one, whose names in use are carried over), so that a flood of
new names does not make the exporter forget the names in use. The native side also bounds the
cost of new names per pass (its records wait, or are rejected as ``too_many_new_names``); this
one classifies every name at once.
"""

import bisect
import functools
import math
import operator
import threading

from prometheus_client.core import (
    CounterMetricFamily,
    GaugeMetricFamily,
    HistogramMetricFamily,
    Metric,
)
from prometheus_client.utils import floatToGoString

from oracle.names import (
    KINDS,
    RejectedName,
    conventions_broken,
    family_of,
    occupied_names,
)
from oracle.rejection_log import RejectionLog
from zelnor_exporter import cli

# The modes as the shipped command line spells them: one vocabulary for both.
GaugeMode = cli.GaugeMode


def _highest(values, higher):
    """The highest value by `higher`; a NaN held so far gives way to any value."""
    result = None
    for value in values:
        if result is None or higher(value, result) or math.isnan(result):
            result = value
    return result


def gauge_value(mode, held):
    """What a gauge series shows: a value, a list of (producer, value), or None (no live producer
    holds one)."""
    if mode is GaugeMode.LAST:
        return held
    if not held:
        return None
    values = [value for _, value in held]
    if mode is GaugeMode.ALL:
        return held
    if mode is GaugeMode.SUM:
        # Added one by one, left to right, as the native side adds them (sum() compensates its
        # rounding from Python 3.12 on).
        return functools.reduce(operator.add, values[1:], values[0])
    if mode is GaugeMode.MAX:
        return _highest(values, lambda a, b: a > b)
    return _highest(values, lambda a, b: a < b)


def bucket_bounds(buckets):
    """Sorted, distinct bounds, ending with +Inf."""
    bounds = sorted({float(b) for b in buckets})
    if any(math.isnan(b) for b in bounds):
        raise ValueError("a bucket bound cannot be NaN")
    if not bounds or bounds[-1] != math.inf:
        bounds.append(math.inf)
    return bounds


def empty_health():
    return {
        "entries": dict.fromkeys(KINDS, 0),
        "rejected": {},
        "drains": 0,
        "drain_seconds": 0.0,
        "dropped": dict.fromkeys(KINDS, 0),
        "queues": dict.fromkeys(KINDS, 0),
        "fullest": dict.fromkeys(KINDS, 0.0),
    }


class Aggregator:
    """Folds entries one by one. Safe to feed from one thread while another takes snapshots. What
    it drops, and names it serves against Prometheus' naming conventions, it says through `log`
    (by default, on standard output)."""

    def __init__(self, buckets, gauge_mode=GaugeMode.LAST, max_series=10000, log=None):
        self.bounds = bucket_bounds(buckets)
        self.gauge_mode = gauge_mode
        self.max_series = max_series
        self._lock = threading.Lock()
        self._families = {}  # family name -> kind, for families that hold a series
        self._occupied = set()  # names the families occupy
        self._series = {}  # (kind, name, labels) -> state
        self._classified = {}  # (kind, recorded name) -> (name, labels) or a reason
        self._previous = {}  # the generation before
        self._classified_limit = max(2048, max_series)  # per generation
        self._producers = {}  # live producer -> its pid label
        self._health = empty_health()
        self._log = log if log is not None else RejectionLog()

    def add(self, kind, entries):
        """Folds entries of one kind ("counter", "histogram" or "gauge"). An entry has `name` (a
        str, or raising UnicodeDecodeError with its bytes) and `value`; a gauge's may have
        `producer` and `pid`."""
        with self._lock:
            for entry in entries:
                self._health["entries"][kind] += 1
                try:
                    name = entry.name
                except UnicodeDecodeError as undecodable:
                    name = bytes(undecodable.object)
                if kind == "gauge":
                    self._note_producer(getattr(entry, "producer", 0), getattr(entry, "pid", 0))
                try:
                    self._add_one(kind, name, entry.value, getattr(entry, "producer", 0))
                except RejectedName as rejected:
                    rejected_counts = self._health["rejected"]
                    rejected_counts[rejected.reason] = rejected_counts.get(rejected.reason, 0) + 1
                    self._log.dropped(kind, name, rejected.reason)

    def end_pass(self, live, seconds=0.0):
        """Ends a pass: the gauge values of producers not in `live` leave."""
        with self._lock:
            self._health["drains"] += 1
            self._health["drain_seconds"] += seconds
            for producer in [p for p in self._producers if p not in live]:
                del self._producers[producer]
            if self.gauge_mode is not GaugeMode.LAST:
                for key, held in self._series.items():
                    if key[0] == "gauge":
                        self._series[key] = [(p, v) for p, v in held if p in self._producers]

    def snapshot(self):
        """Everything folded so far, in the form `families` takes."""
        with self._lock:
            series = []
            for (kind, name, labels), state in self._series.items():
                if kind == "histogram":
                    state = (list(state[0]), state[1], state[2])
                elif kind == "gauge" and self.gauge_mode is not GaugeMode.LAST:
                    state = list(state)
                series.append((kind, name, labels, state))
            return {
                "series": series,
                "producer_labels": dict(self._producers),
                "health": {
                    k: dict(v) if isinstance(v, dict) else v for k, v in self._health.items()
                },
            }

    def _note_producer(self, producer, pid):
        if producer in self._producers:
            return
        label = str(pid)
        suffix = 0
        while label in self._producers.values():
            suffix += 1
            label = f"{pid}.{suffix}"
        self._producers[producer] = label

    def _classify(self, kind, recorded):
        key = (kind, recorded)
        found = self._classified.get(key)
        if found is None:
            found = self._previous.get(key)
            if found is not None:
                self._remember(key, found)
        if found is None:
            try:
                found = family_of(kind, recorded)
                if (
                    self.gauge_mode is GaugeMode.ALL
                    and kind == "gauge"
                    and any(label == "pid" for label, _ in found[1])
                ):
                    found = "reserved_label"  # the exporter's own label in this mode
                else:
                    self._log.served(kind, recorded, conventions_broken(kind, *found))
            except RejectedName as rejected:
                found = rejected.reason
            self._remember(key, found)
        if isinstance(found, str):
            raise RejectedName(found)
        return found

    def _remember(self, key, classified):
        if len(self._classified) >= self._classified_limit:
            self._previous, self._classified = self._classified, {}
        self._classified[key] = classified

    def _add_one(self, kind, recorded, value, producer):
        name, labels = self._classify(kind, recorded)
        if kind == "counter" and value < 0:
            raise RejectedName("negative_counter_increment")
        if kind == "histogram" and math.isnan(value):
            raise RejectedName("nan_observation")
        key = (kind, name, labels)
        if key not in self._series:
            self._admit(kind, name)
            self._series[key] = (
                0
                if kind == "counter"
                else [[0] * len(self.bounds), 0.0, 0]
                if kind == "histogram"
                else 0.0
                if self.gauge_mode is GaugeMode.LAST
                else []
            )
        state = self._series[key]
        if kind == "counter":
            self._series[key] = state + value
        elif kind == "histogram":
            state[0][bisect.bisect_left(self.bounds, value)] += 1
            state[1] += value
            state[2] += 1
        elif self.gauge_mode is GaugeMode.LAST:
            self._series[key] = value
        else:
            for at, (held_by, _) in enumerate(state):
                if held_by == producer:
                    state[at] = (producer, value)
                    break
            else:
                state.append((producer, value))

    def _admit(self, kind, name):
        """Checks that a new series of family `name` may be made, registering a new family."""
        owner = self._families.get(name)
        if owner is not None and owner != kind:
            raise RejectedName("type_conflict")
        occupied = occupied_names(kind, name)
        if owner is None and any(taken in self._occupied for taken in occupied):
            raise RejectedName("name_clash")  # another family came first
        if len(self._series) >= self.max_series:
            raise RejectedName("too_many_series")
        if owner is None:
            self._families[name] = kind
            self._occupied.update(occupied)

    def collect(self):
        """The metric families for prometheus_client's registry."""
        return families(self.snapshot(), self.bounds, self.gauge_mode)


def families(snapshot, bounds, gauge_mode):
    """The metric families of a snapshot: the series, then the exporter's own health."""
    # OpenMetrics counts _sum as a counter (never negative, never NaN), forbids it where a bucket
    # bound is negative, and wants _count and _sum together or neither; the +Inf bucket holds the
    # count either way.
    expose_sums = bounds[0] >= 0
    labels_of = snapshot["producer_labels"]
    by_name = {}
    for kind, name, labels, state in sorted(snapshot["series"], key=lambda s: s[:3]):
        family = by_name.get((kind, name))
        if family is None:
            family_type = {
                "counter": CounterMetricFamily,
                "histogram": HistogramMetricFamily,
                "gauge": GaugeMetricFamily,
            }[kind]
            family = by_name[(kind, name)] = family_type(name, f"zelnor metric {name}")
        labels = dict(labels)
        if kind == "counter":
            family.add_sample(name + "_total", labels, float(state))
        elif kind == "histogram":
            buckets, total, count = state
            cumulative = 0
            for bound, in_bucket in zip(bounds, buckets):
                cumulative += in_bucket
                family.add_sample(
                    name + "_bucket", {**labels, "le": floatToGoString(bound)}, float(cumulative)
                )
            if expose_sums and total >= 0:
                family.add_sample(name + "_count", labels, float(count))
                family.add_sample(name + "_sum", labels, total)
        else:
            value = gauge_value(gauge_mode, state)
            if gauge_mode is GaugeMode.ALL:
                for producer, held in sorted(value or [], key=lambda p: labels_of[p[0]]):
                    family.add_sample(name, {**labels, "pid": labels_of[producer]}, held)
            elif value is not None:
                family.add_sample(name, labels, value)
    yield from (family for family in by_name.values() if family.samples)
    yield from declared_families(snapshot.get("declared", ()))
    held = len(snapshot["series"]) + snapshot.get("declared_series", 0)
    yield from health_families(snapshot["health"], held)


def declared_families(declared):
    """The families processes declared (zelnor_client), each as prometheus_client's own metric
    types make it: the exposition then writes them as it writes prometheus_client's."""
    for kind, name, documentation, unit, samples in declared:
        family = Metric(name, documentation, kind, unit)
        for suffix, labels, value in samples:
            family.add_sample(name + suffix, dict(labels), value)
        yield family


def health_families(health, series):
    entries = CounterMetricFamily(
        "zelnor_exporter_entries", "Entries drained, by kind", labels=["kind"]
    )
    dropped = CounterMetricFamily(
        "zelnor_dropped_records",
        "Records the producers dropped because their ring was full (or its header corrupt), "
        "by kind",
        labels=["kind"],
    )
    queues = GaugeMetricFamily(
        "zelnor_exporter_queues", "Queues attached, by kind", labels=["kind"]
    )
    fullest = GaugeMetricFamily(
        "zelnor_exporter_fullest_queue_ratio",
        "How full the fullest ring of each kind was at the last drain, from 0 to 1",
        labels=["kind"],
    )
    for kind in KINDS:
        entries.add_metric([kind], health["entries"][kind])
        dropped.add_metric([kind], health["dropped"][kind])
        queues.add_metric([kind], health["queues"][kind])
        fullest.add_metric([kind], health["fullest"][kind])
    rejected = CounterMetricFamily(
        "zelnor_exporter_rejected_entries",
        "Drained entries that could not become a series, by reason",
        labels=["reason"],
    )
    for reason, count in sorted(health["rejected"].items()):
        rejected.add_metric([reason], count)
    drains = CounterMetricFamily("zelnor_exporter_drains", "Drain passes over all three kinds")
    drains.add_metric([], health["drains"])
    seconds = CounterMetricFamily(
        "zelnor_exporter_drain_seconds", "Time spent draining, in seconds"
    )
    seconds.add_metric([], health["drain_seconds"])
    held = GaugeMetricFamily("zelnor_exporter_series", "Series held")
    held.add_metric([], series)
    return [entries, rejected, dropped, queues, fullest, drains, seconds, held]
