"""The metric types, with prometheus_client's constructors, validation and exceptions.

Each family and each series is declared once per process, in the process's declaration file
(zelnor_core keeps it beside the queue files, in ``.producers``): what it is, its full name, HELP
text, unit, label names and values, buckets, gauge mode or states. A recording call then sends
only a compact reference to its series through the calling thread's rings (``_native``, over
zelnor_core's own collector), and zelnor-exporter folds it by what the declaration says.

docs/file-format.md describes the declaration lines and the records that name a declared series;
``_native`` lends their kinds and operations (``DECLARE_*``, ``RECORD_*``) from the one header
that both this writer and the exporter's reader take them from. A process made by fork() writes
every declaration it inherited, but for removed series, into a file of its own before its first
record, as prometheus_client's multiprocess values start again in a child, and a series it makes
again that its file lacks, when it makes it.

Beside the declaration file, the process keeps its state file (zelnor_core's
``metrics/process_state.h``): one slot per gauge, Info and Enum series, removed series and cleared
family, holding its last keyed write, so that an exporter that restarts while the process lives
serves what was set once without the process writing it again.
"""

import os
import threading
import time
import warnings
import weakref
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, TypeVar

from prometheus_client import metrics as _peer
from prometheus_client.context_managers import ExceptionCounter, InprogressTracker
from prometheus_client.decorator import decorate
from prometheus_client.metrics_core import Metric
from prometheus_client.registry import REGISTRY, CollectorRegistry
from prometheus_client.samples import Sample
from prometheus_client.utils import INF, floatToGoString
from prometheus_client.validation import (
    _validate_exemplar,
    _validate_labelnames,
    _validate_metric_name,
)

from zelnor_client import _native

T = TypeVar("T", bound="MetricWrapperBase")

# The kinds of declaration lines (their first field).
_FAMILY = _native.DECLARE_FAMILY
_SERIES = _native.DECLARE_SERIES
_INFO_VALUE = _native.DECLARE_INFO_VALUE

_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n"})


def _line(*fields: object) -> bytes:
    text = "\t".join(str(field).translate(_ESCAPES) for field in fields) + "\n"
    # A lone surrogate in a label value is written as it is; the exporter refuses what is not UTF-8.
    return text.encode("utf-8", "surrogatepass")


class _Declarations:
    """This process's declarations, kept so that a forked child can write them again."""

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._lines: dict[tuple[str, int], bytes] = {}
        self._families: dict[tuple, int] = {}
        self._values: dict[tuple, int] = {}
        self._series: dict[tuple, int] = {}  # (family id, label values) -> series id
        self._removed: set[int] = set()  # series removed and not made again since
        self._written: set[tuple[str, int]] = set()  # lines in this process's own file
        self._slots: dict[tuple[str, int], int] = {}  # (_SERIES or _FAMILY, id) -> its slot
        self._issued = 0  # the last id given out
        self._generation = _native.generation()

    def family(self, key: tuple, fields: Sequence[object]) -> int:
        """The id of the family `key` describes, declared on first use."""
        with self._lock:
            family_id = self._families.get(key)
            if family_id is None:
                family_id = self._families[key] = self._next_id()
                self._add((_FAMILY, family_id), _line(_FAMILY, family_id, *fields))
            return family_id

    def series(self, family_id: int, labelvalues: Sequence[str]) -> tuple[int, int]:
        """The id of a series, and the stamp that orders its records after a removal: a label set
        made again after its removal takes its id again, declared once per file, with a stamp
        newer than the removal's watermark (a series declared anew has its id as its stamp)."""
        key = (family_id, tuple(labelvalues))
        with self._lock:
            series_id = self._series.get(key)
            if series_id is not None and series_id in self._removed:
                self._removed.discard(series_id)
                self._lines[(_SERIES, series_id)] = _line(
                    _SERIES, series_id, family_id, *labelvalues
                )
                self._ensure((_SERIES, series_id))
                return series_id, self._next_id()
            series_id = self._series[key] = self._next_id()
            self._add((_SERIES, series_id), _line(_SERIES, series_id, family_id, *labelvalues))
            return series_id, series_id

    def info_value(self, series_id: int, labels: dict[str, str]) -> int:
        """The id of an info series' set of labels, declared on first use."""
        items = tuple(sorted(labels.items()))
        with self._lock:
            value_id = self._values.get((series_id, items))
            if value_id is None:
                value_id = self._values[(series_id, items)] = self._next_id()
                fields = [field for item in items for field in item]
                self._add(
                    (_INFO_VALUE, value_id),
                    _line(_INFO_VALUE, value_id, series_id, len(items), *fields),
                )
            else:
                self._ensure((_INFO_VALUE, value_id))  # a forked child's file may lack it
            return value_id

    def slot(self, key: tuple[str, int]) -> int:
        """The slot of this process's state area that keeps the last keyed write of a series
        (_SERIES, id) or family (_FAMILY, id) for an exporter that restarts; -1 when there is
        none."""
        with self._lock:
            slot = self._slots.get(key)
            if slot is None:
                slot = self._slots[key] = _native.state_slot()
            return slot

    def _next_id(self) -> int:
        self._issued += 1
        return self._issued

    def watermark(self) -> float:
        """What a removal's record carries: the last id given out. Records through ids above it
        were made after the removal, and the exporter keeps them whatever order it folds in."""
        with self._lock:
            return float(self._issued)

    def forget(self, series_ids: Iterable[int]) -> None:
        """Removed series are not declared again in a forked child; their ids, and the ids of
        their info values, stay theirs for when their label sets are made again."""
        with self._lock:
            gone = set(series_ids)
            self._removed |= gone
            for series_id in gone:
                self._lines.pop((_SERIES, series_id), None)

    def _add(self, key: tuple[str, int], line: bytes) -> None:
        self._lines[key] = line
        if self._generation == _native.generation():
            self._written.add(key)
            _native.declare(line)
        else:
            self.redeclare()

    def _ensure(self, key: tuple[str, int]) -> None:
        """Writes the line `key` names into this process's file unless it holds it already."""
        if self._generation != _native.generation():
            self.redeclare()  # writes every line that is not of a removed series
        elif key not in self._written:
            self._written.add(key)
            _native.declare(self._lines[key])

    def _declarable(self) -> dict[tuple[str, int], bytes]:
        """Every line a forked child writes: all but those of removed series' info values."""
        of_removed = {
            value for (series, _), value in self._values.items() if series in self._removed
        }
        return {
            key: line
            for key, line in self._lines.items()
            if not (key[0] == _INFO_VALUE and key[1] in of_removed)
        }

    def redeclare(self) -> None:
        """Writes every declaration into this process's own file (after a fork), where each value
        starts again from 0, as a process's values do in prometheus_client's multiprocess mode."""
        with self._lock:
            generation = _native.generation()
            if generation != self._generation:
                for metric in list(_BOUND):
                    metric._reset()
                lines = self._declarable()
                self._written = set(lines)
                _native.declare(b"".join(lines.values()))
                self._generation = generation
            _native.mark_declared(generation)


_DECLARATIONS = _Declarations()
_BOUND: "weakref.WeakSet[MetricWrapperBase]" = weakref.WeakSet()  # every metric bound to a series


def _decorate_timer(timer, function):
    """A timer used as a decorator, as prometheus_client's Timer is: each call timed anew."""

    def wrapped(func, *args, **kwargs):
        with timer._new_timer():
            return func(*args, **kwargs)

    return decorate(function, wrapped)


def _signature(qualname: str, parameters: str) -> Callable[..., None]:
    """A method that takes what the native method `qualname` takes, and does nothing."""
    scope: dict[str, Any] = {}
    name = qualname.rpartition(".")[2]
    exec(f"def {name}(self, {parameters}): pass", scope)
    function = scope[name]
    function.__qualname__ = qualname  # the name the interpreter's words give
    return function


_SIGNATURES = {
    "Counter.inc": _signature("Counter.inc", "amount=1, exemplar=None"),
    "Gauge.inc": _signature("Gauge.inc", "amount=1"),
    "Gauge.dec": _signature("Gauge.dec", "amount=1"),
    "Gauge.set": _signature("Gauge.set", "value"),
    "Histogram.observe": _signature("Histogram.observe", "amount, exemplar=None"),
    "Summary.observe": _signature("Summary.observe", "amount"),
}


def _argument_error(qualname, args, kwargs):
    """Raises the TypeError the interpreter raises for those arguments to the method."""
    _SIGNATURES[qualname](None, *args, **kwargs)
    raise TypeError(f"{qualname}() takes other arguments")


_native.set_hooks(_DECLARATIONS.redeclare, _validate_exemplar, _decorate_timer, _argument_error)


def _after_fork_in_child() -> None:
    # Another thread may have held the lock when the process forked; it does not exist here.
    _DECLARATIONS._lock = threading.RLock()


os.register_at_fork(after_in_child=_after_fork_in_child)


def _build_full_name(metric_type, name, namespace, subsystem, unit):
    if not name:
        raise ValueError("Metric name should not be empty")
    full_name = ""
    if namespace:
        full_name += namespace + "_"
    if subsystem:
        full_name += subsystem + "_"
    full_name += name
    if metric_type == "counter" and full_name.endswith("_total"):
        full_name = full_name[:-6]  # Munge to OpenMetrics.
    if unit and not full_name.endswith("_" + unit):
        full_name += "_" + unit
    if unit and metric_type in ("info", "stateset"):
        raise ValueError("Metric name is of a type that cannot have a unit: " + full_name)
    return full_name


class MetricWrapperBase(_native.Metric):
    """What every metric type shares: its name, HELP text, labels and children.

    A family without label names, and each child of one with label names, is bound to one series
    of this process and records; a labelled parent only holds its children.
    """

    __slots__ = (
        "_original_name",
        "_namespace",
        "_subsystem",
        "_name",
        "_labelnames",
        "_labelvalues",
        "_kwargs",
        "_documentation",
        "_unit",
        "_family",
        "_lock",
        "_metrics",
        "_series",
        "_created",
        "_state",
    )
    _type: str | None = None
    _reserved_labelnames: Sequence[str] = ()
    _op = b""

    def _is_observable(self):
        # A metric without label names and values, or the child of a labelled metric.
        return not self._labelnames or (self._labelnames and self._labelvalues)

    def _raise_if_not_observable(self):
        if not self._is_observable():
            raise ValueError(f"{self._type} metric is missing label values")

    def _is_parent(self):
        return self._labelnames and not self._labelvalues

    def _get_metric(self):
        return Metric(self._name, self._documentation, self._type, self._unit)

    def describe(self) -> Iterable[Metric]:
        return [self._get_metric()]

    def collect(self) -> Iterable[Metric]:
        """This process's values, as prometheus_client's collect() gives them (in its multiprocess
        mode, this process's share); zelnor-exporter serves the totals of every process."""
        metric = self._get_metric()
        for suffix, labels, value, _, _, _ in self._samples():
            metric.add_sample(self._name + suffix, labels, value)
        return [metric]

    def _samples(self) -> Iterable[Sample]:
        if not self._is_parent():
            return self._child_samples()
        with self._lock:
            children = self._metrics.copy()
        return [
            Sample(suffix, {**dict(zip(self._labelnames, values)), **labels}, value, None, None)
            for values, child in children.items()
            for suffix, labels, value, _, _, _ in child._samples()
        ]

    def _child_samples(self) -> Iterable[Sample]:
        return ()

    def _with_created(self, samples: list[Sample]) -> list[Sample]:
        if _peer._use_created:  # prometheus_client's disable_created_metrics() clears it
            samples.append(Sample("_created", {}, self._created, None, None))
        return samples

    def __str__(self) -> str:
        return f"{self._type}:{self._name}"

    def __repr__(self) -> str:
        metric_type = type(self)
        return f"{metric_type.__module__}.{metric_type.__name__}({self._name})"

    def __init__(
        self: T,
        name: str,
        documentation: str,
        labelnames: Iterable[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        registry: CollectorRegistry | None = REGISTRY,
        _labelvalues: Sequence[str] | None = None,
    ) -> None:
        self._original_name = name
        self._namespace = namespace
        self._subsystem = subsystem
        self._name = _build_full_name(self._type, name, namespace, subsystem, unit)
        self._labelnames = _validate_labelnames(self, labelnames)
        self._labelvalues = tuple(_labelvalues or ())
        self._kwargs: dict[str, Any] = {}
        self._documentation = documentation
        self._unit = unit

        _validate_metric_name(self._name)

        self._family = _DECLARATIONS.family(self._family_key(), self._family_fields())
        if self._is_parent():
            # Prepare the fields needed for child metrics.
            self._lock = threading.Lock()
            self._metrics: dict[Sequence[str], T] = {}
            self._bind(
                _native.RECORD_PARENT,
                len(self._labelnames),
                False,
                self._metrics,
                self._type,
                False,
            )

        if self._is_observable():
            self._metric_init()

        if not self._labelvalues:
            # The labelled parent, or a family without labels, as prometheus_client registers.
            if registry:
                registry.register(self)

    # --- what is declared ---

    def _extras(self) -> Sequence[str]:
        return ()

    def _mode(self) -> str:
        return ""

    def _family_fields(self) -> list[object]:
        extras = self._extras()
        return [
            self._type,
            self._name,
            self._documentation,
            self._unit,
            self._mode(),
            len(self._labelnames),
            *self._labelnames,
            len(extras),
            *extras,
        ]

    def _family_key(self) -> tuple:
        return tuple(self._family_fields())

    def _metric_init(self) -> None:
        self._created = time.time()
        _BOUND.add(self)
        self._series, stamp = _DECLARATIONS.series(self._family, self._labelvalues)
        prefix = self._op + format(self._series, "x").encode()
        if stamp != self._series and self._op in (_native.RECORD_COUNTER, _native.RECORD_OBSERVE):
            # Made again after its removal: what it adds is ordered after the removal by the
            # stamp (the keyed records of the other types travel in the removal's own lane).
            prefix += _native.RECORD_STAMP + format(stamp, "x").encode()
        self._bind(
            prefix,
            0,
            True,
            None,
            self._type,
            self._mode() in ("mostrecent", "livemostrecent"),
        )
        # A state slot keeps its last keyed write for an exporter that restarts (a counter's or an
        # observation's series needs one only once it was removed).
        keyed = self._op not in (_native.RECORD_COUNTER, _native.RECORD_OBSERVE)
        revived = stamp != self._series
        self._state = _DECLARATIONS.slot((_SERIES, self._series)) if keyed or revived else -1
        if revived:
            # Served again from now on, as a series declared anew is (a gauge at 0 until written).
            record = _native.RECORD_REVIVE + format(self._series, "x").encode()
            _native.keyed_record(record, float(stamp), self._state)

    # --- children ---

    def _labels(self: T, *labelvalues: object, **labelkwargs: object) -> T:
        """What labels() does when its lookup of an existing child does not do."""
        if not self._labelnames:
            raise ValueError(f"No label names were set when constructing {self}")

        if self._labelvalues:
            raise ValueError(
                f"{self} already has labels set "
                f"({dict(zip(self._labelnames, self._labelvalues))}); "
                "can not chain calls to .labels()"
            )

        if labelvalues and labelkwargs:
            raise ValueError("Can't pass both *args and **kwargs")

        if labelkwargs:
            if sorted(labelkwargs) != sorted(self._labelnames):
                raise ValueError("Incorrect label names")
            str_labelvalues = tuple(str(labelkwargs[label]) for label in self._labelnames)
        else:
            if len(labelvalues) != len(self._labelnames):
                raise ValueError("Incorrect label count")
            str_labelvalues = tuple(str(value) for value in labelvalues)
        with self._lock:
            if str_labelvalues not in self._metrics:
                child_kwargs = dict(self._kwargs) if self._kwargs else {}
                for k in ("namespace", "subsystem", "unit"):
                    child_kwargs.pop(k, None)
                self._metrics[str_labelvalues] = self.__class__(
                    self._original_name,
                    documentation=self._documentation,
                    labelnames=self._labelnames,
                    namespace=self._namespace,
                    subsystem=self._subsystem,
                    unit=self._unit,
                    _labelvalues=str_labelvalues,
                    **child_kwargs,
                )
            return self._metrics[str_labelvalues]

    def remove(self, *labelvalues: Any) -> None:
        """Remove the given labelset from the metric, in every process."""
        if not self._labelnames:
            raise ValueError(f"No label names were set when constructing {self}")
        if len(labelvalues) != len(self._labelnames):
            raise ValueError(
                f"Incorrect label count (expected {len(self._labelnames)}, got {labelvalues})"
            )
        labelvalues = tuple(str(value) for value in labelvalues)
        with self._lock:
            child = self._metrics.pop(labelvalues, None)
            if child is not None:
                self._labels_changed()
                self._removed([child])

    def remove_by_labels(self, labels: dict[str, str]) -> None:
        """Remove all series whose labelset partially matches the given labels, in every
        process."""
        if not self._labelnames:
            raise ValueError(f"No label names were set when constructing {self}")
        if not isinstance(labels, dict):
            raise TypeError("labels must be a dict of {label_name: label_value}")
        if not labels:
            return
        invalid = [k for k in labels.keys() if k not in self._labelnames]
        if invalid:
            raise ValueError(f"Unknown label names: {invalid}; expected {self._labelnames}")
        pos_filter = {self._labelnames.index(k): str(v) for k, v in labels.items()}
        with self._lock:
            gone = [
                self._metrics.pop(values)
                for values in list(self._metrics)
                if all(values[pos] == want for pos, want in pos_filter.items())
            ]
            self._labels_changed()
            self._removed(gone)

    def clear(self) -> None:
        """Remove all labelsets from the metric, in every process."""
        if not self._labelnames:
            return
        with self._lock:
            children = list(self._metrics.values())
            # In place: the native lookup of labels() holds this very dictionary.
            self._metrics.clear()
            self._labels_changed()
            _DECLARATIONS.forget(child._series for child in children)
            watermark = _DECLARATIONS.watermark()
            slot = _DECLARATIONS.slot((_FAMILY, self._family))
            _native.keyed_record(
                _native.RECORD_CLEAR + format(self._family, "x").encode(), watermark, slot
            )

    def _removed(self, children: list["MetricWrapperBase"]) -> None:
        _DECLARATIONS.forget(child._series for child in children)
        watermark = _DECLARATIONS.watermark()
        for child in children:
            slot = _DECLARATIONS.slot((_SERIES, child._series))
            _native.keyed_record(
                _native.RECORD_REMOVE + format(child._series, "x").encode(), watermark, slot
            )


class Counter(_native.CounterBase, MetricWrapperBase):
    """A Counter tracks counts of events or running totals.

    Example use cases for Counters:
    - Number of requests processed
    - Number of items that were inserted into a queue
    - Total amount of data that a system has processed

    Counters can only go up. If your use case can go down, you should use a Gauge instead.

    An example for a Counter:

        from zelnor_client import Counter

        c = Counter('my_failures_total', 'Description of counter')
        c.inc()     # Increment by 1
        c.inc(1.6)  # Increment by given value

    There are utilities to count exceptions raised:

        @c.count_exceptions()
        def f():
            pass

        with c.count_exceptions():
            pass

        # Count only one type of exception
        with c.count_exceptions(ValueError):
            pass
    """

    __slots__ = ()
    _type = "counter"
    _op = _native.RECORD_COUNTER

    def _child_samples(self) -> Iterable[Sample]:
        return self._with_created([Sample("_total", {}, self._local()[1], None, None)])

    def reset(self) -> None:
        """Not available: a counter summed over processes cannot be reset by one of them."""
        raise NotImplementedError(
            "zelnor_client counters are summed over every process; one process cannot reset them"
        )

    def count_exceptions(
        self, exception: type[BaseException] | tuple[type[BaseException], ...] = Exception
    ) -> ExceptionCounter:
        """Count exceptions in a block of code or function.

        Can be used as a function decorator or context manager.
        Increments the counter when an exception of the given
        type is raised up out of the code.
        """
        self._raise_if_not_observable()
        return ExceptionCounter(self, exception)


class Gauge(_native.GaugeBase, MetricWrapperBase):
    """Gauge metric, to report instantaneous values.

    Examples of Gauges include:
       - Inprogress requests
       - Number of items in a queue
       - Free memory
       - Total memory
       - Temperature

    Gauges can go both up and down.

       from zelnor_client import Gauge

       g = Gauge('my_inprogress_requests', 'Description of gauge')
       g.inc()      # Increment by 1
       g.dec(10)    # Decrement by given value
       g.set(4.2)   # Set to a given value

    There are utilities for common use cases:

       g.set_to_current_time()   # Set to current unixtime

       # Increment when entered, decrement when exited.
       @g.track_inprogress()
       def f():
           pass

       with g.track_inprogress():
           pass

    A process's value is its last write in real time, whichever of its threads made it; how the
    values of several processes combine is `multiprocess_mode`'s, as in prometheus_client.
    """

    __slots__ = ("_multiprocess_mode", "_is_most_recent", "_function")
    _type = "gauge"
    _op = _native.RECORD_GAUGE
    _MULTIPROC_MODES = frozenset(
        (
            "all",
            "liveall",
            "min",
            "livemin",
            "max",
            "livemax",
            "sum",
            "livesum",
            "mostrecent",
            "livemostrecent",
        )
    )
    _MOST_RECENT_MODES = frozenset(("mostrecent", "livemostrecent"))

    def __init__(
        self,
        name: str,
        documentation: str,
        labelnames: Iterable[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        registry: CollectorRegistry | None = REGISTRY,
        _labelvalues: Sequence[str] | None = None,
        multiprocess_mode: Literal[
            "all",
            "liveall",
            "min",
            "livemin",
            "max",
            "livemax",
            "sum",
            "livesum",
            "mostrecent",
            "livemostrecent",
        ] = "all",
    ):
        self._multiprocess_mode = multiprocess_mode
        if multiprocess_mode not in self._MULTIPROC_MODES:
            raise ValueError("Invalid multiprocess mode: " + multiprocess_mode)
        super().__init__(
            name=name,
            documentation=documentation,
            labelnames=labelnames,
            namespace=namespace,
            subsystem=subsystem,
            unit=unit,
            registry=registry,
            _labelvalues=_labelvalues,
        )
        self._kwargs["multiprocess_mode"] = self._multiprocess_mode
        self._function: Callable[[], float] | None = None
        self._is_most_recent = self._multiprocess_mode in self._MOST_RECENT_MODES

    def _mode(self) -> str:
        return self._multiprocess_mode

    def _metric_init(self) -> None:
        super()._metric_init()
        self._keep_state(self._state, self._series)

    def _child_samples(self) -> Iterable[Sample]:
        function = self._function
        value = float(function()) if function is not None else self._local()[0]
        return (Sample("", {}, value, None, None),)

    def track_inprogress(self) -> InprogressTracker:
        """Track inprogress blocks of code or functions.

        Can be used as a function decorator or context manager.
        Increments the gauge when the code is entered,
        and decrements when it is exited.
        """
        self._raise_if_not_observable()
        return InprogressTracker(self)

    def set_function(self, f: Callable[[], float]) -> None:
        """Called by this process's collect(), as prometheus_client calls it, but not served by
        zelnor-exporter, which runs in another process and cannot call `f`. Set the gauge where
        its value changes instead."""
        self._raise_if_not_observable()
        self._function = f
        warnings.warn(
            "Gauge.set_function() is not served by zelnor-exporter, which cannot call a function "
            "of this process; call set() where the value changes",
            UserWarning,
            stacklevel=2,
        )


class Summary(_native.SummaryBase, MetricWrapperBase):
    """A Summary tracks the size and number of events.

    Example use cases for Summaries:
    - Response latency
    - Request size

    Example for a Summary:

        from zelnor_client import Summary

        s = Summary('request_size_bytes', 'Request size (bytes)')
        s.observe(512)  # Observe 512 (bytes)

    Example for a Summary using time:

        REQUEST_TIME = Summary('response_latency_seconds', 'Response latency (seconds)')

        @REQUEST_TIME.time()
        def create_response(request):
          '''A dummy function'''
          time.sleep(1)

    Example for using the same Summary object as a context manager:

        with REQUEST_TIME.time():
            pass  # Logic to be timed
    """

    __slots__ = ()
    _type = "summary"
    _op = _native.RECORD_OBSERVE
    _reserved_labelnames = ["quantile"]

    def _child_samples(self) -> Iterable[Sample]:
        _, total, count, _ = self._local()
        return self._with_created(
            [Sample("_count", {}, count, None, None), Sample("_sum", {}, total, None, None)]
        )


class Histogram(_native.HistogramBase, MetricWrapperBase):
    """A Histogram tracks the size and number of events in buckets.

    You can use Histograms for aggregatable calculation of quantiles.

    Example use cases:
    - Response latency
    - Request size

    Example for a Histogram:

        from zelnor_client import Histogram

        h = Histogram('request_size_bytes', 'Request size (bytes)')
        h.observe(512)  # Observe 512 (bytes)

    Example for a Histogram using time:

        REQUEST_TIME = Histogram('response_latency_seconds', 'Response latency (seconds)')

        @REQUEST_TIME.time()
        def create_response(request):
          '''A dummy function'''
          time.sleep(1)

    Example of using the same Histogram object as a context manager:

        with REQUEST_TIME.time():
            pass  # Logic to be timed

    The default buckets are intended to cover a typical web/rpc request from milliseconds to
    seconds. They can be overridden by passing `buckets` keyword argument to `Histogram`.
    """

    __slots__ = ("_upper_bounds",)
    _type = "histogram"
    _op = _native.RECORD_OBSERVE
    _reserved_labelnames = ["le"]
    DEFAULT_BUCKETS = (
        0.005,
        0.01,
        0.025,
        0.05,
        0.075,
        0.1,
        0.25,
        0.5,
        0.75,
        1.0,
        2.5,
        5.0,
        7.5,
        10.0,
        INF,
    )

    def __init__(
        self,
        name: str,
        documentation: str,
        labelnames: Iterable[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        registry: CollectorRegistry | None = REGISTRY,
        _labelvalues: Sequence[str] | None = None,
        buckets: Sequence[float | str] = DEFAULT_BUCKETS,
    ):
        self._prepare_buckets(buckets)
        super().__init__(
            name=name,
            documentation=documentation,
            labelnames=labelnames,
            namespace=namespace,
            subsystem=subsystem,
            unit=unit,
            registry=registry,
            _labelvalues=_labelvalues,
        )
        self._kwargs["buckets"] = buckets

    def _prepare_buckets(self, source_buckets: Sequence[float | str]) -> None:
        buckets = [float(b) for b in source_buckets]
        if buckets != sorted(buckets):
            # This is probably an error on the part of the user,
            # so raise rather than sorting for them.
            raise ValueError("Buckets not in sorted order")
        if buckets and buckets[-1] != INF:
            buckets.append(INF)
        if len(buckets) < 2:
            raise ValueError("Must have at least two buckets")
        self._upper_bounds = buckets

    def _extras(self) -> Sequence[str]:
        # Each bound as prometheus_client spells it in the le label.
        return [floatToGoString(bound) for bound in self._upper_bounds]

    def _metric_init(self) -> None:
        super()._metric_init()
        self._set_bounds(self._upper_bounds)

    def _child_samples(self) -> Iterable[Sample]:
        _, total, _, buckets = self._local()
        samples, cumulative = [], 0.0
        for bound, count in zip(self._upper_bounds, buckets or ()):
            cumulative += count
            samples.append(
                Sample("_bucket", {"le": floatToGoString(bound)}, cumulative, None, None)
            )
        samples.append(Sample("_count", {}, cumulative, None, None))
        if self._upper_bounds[0] >= 0:
            samples.append(Sample("_sum", {}, total, None, None))
        return self._with_created(samples)


class Info(MetricWrapperBase):
    """Info metric, key-value pairs.

    Examples of Info include:
       - Build information
       - Version information
       - Potential target metadata

    Example usage:
       from zelnor_client import Info

       i = Info('my_build', 'Description of info')
       i.info({'version': '1.2.3', 'buildhost': 'foo@bar'})

    Served as prometheus_client serves it in one process; across processes, the labels set last
    (in real time) are served.
    """

    __slots__ = ("_labelname_set", "_value_lock", "_value")
    _type = "info"
    _op = _native.RECORD_INFO

    def _metric_init(self):
        self._labelname_set = set(self._labelnames)
        self._value_lock = threading.Lock()
        self._value = {}
        super()._metric_init()

    def info(self, val: dict[str, str]) -> None:
        """Set info metric."""
        if self._labelname_set.intersection(val.keys()):
            raise ValueError(
                f"Overlapping labels for Info metric, metric: {self._labelnames} child: {val}"
            )
        if any(i is None for i in val.values()):
            raise ValueError("Label value cannot be None")
        with self._value_lock:
            self._value = dict(val)
            value_id = _DECLARATIONS.info_value(self._series, self._value)
            _native.keyed_record(self._record_prefix(), float(value_id), self._state)

    def _record_prefix(self) -> bytes:
        return _native.RECORD_INFO + format(self._series, "x").encode()

    def _child_samples(self) -> Iterable[Sample]:
        with self._value_lock:
            return (Sample("_info", dict(self._value), 1.0, None, None),)


class Enum(MetricWrapperBase):
    """Enum metric, which of a set of states is true.

    Example usage:
       from zelnor_client import Enum

       e = Enum('task_state', 'Description of enum',
         states=['starting', 'running', 'stopped'])
       e.state('running')

    The first listed state will be the default. Served as prometheus_client serves it in one
    process; across processes, the state set last (in real time) is served.
    """

    __slots__ = ("_states", "_value_lock", "_value")
    _type = "stateset"
    _op = _native.RECORD_ENUM

    def __init__(
        self,
        name: str,
        documentation: str,
        labelnames: Sequence[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        registry: CollectorRegistry | None = REGISTRY,
        _labelvalues: Sequence[str] | None = None,
        states: Sequence[str] | None = None,
    ):
        if name in labelnames:
            raise ValueError(f"Overlapping labels for Enum metric: {name}")
        if not states:
            raise ValueError(f"No states provided for Enum metric: {name}")
        self._states = states
        super().__init__(
            name=name,
            documentation=documentation,
            labelnames=labelnames,
            namespace=namespace,
            subsystem=subsystem,
            unit=unit,
            registry=registry,
            _labelvalues=_labelvalues,
        )
        self._kwargs["states"] = self._states

    def _extras(self) -> Sequence[str]:
        return [str(state) for state in self._states]

    def _metric_init(self) -> None:
        self._value = 0
        self._value_lock = threading.Lock()
        super()._metric_init()

    def _child_samples(self) -> Iterable[Sample]:
        with self._value_lock:
            return [
                Sample("", {self._name: state}, 1 if i == self._value else 0, None, None)
                for i, state in enumerate(self._states)
            ]

    def state(self, state: str) -> None:
        """Set enum metric state."""
        self._raise_if_not_observable()
        with self._value_lock:
            self._value = self._states.index(state)
            prefix = _native.RECORD_ENUM + format(self._series, "x").encode()
            _native.keyed_record(prefix, float(self._value), self._state)
