"""The switch: prometheus_client's metric classes become zelnor_client's, for every module.

``install()`` replaces the classes, not prometheus_client's value class: a zelnor_client metric
records through its own native methods (about what a zelnor_core call costs), where a value class
under prometheus_client's classes would leave every call paying for prometheus_client's Python
code and locks, and a histogram one value per bucket. So, once installed:

- ``prometheus_client.Counter``, ``prometheus_client.metrics.Counter``,
  ``prometheus_client.core.Counter`` (and Gauge, Histogram, Summary, Info, Enum) are
  zelnor_client's, for every module that imports them afterwards;
- a module that took prometheus_client's own class before (``from prometheus_client import
  Counter`` at its import) makes zelnor_client's metrics with it too: the original class's
  ``__new__`` hands the call over. Only a subclass of prometheus_client's classes still makes
  prometheus_client's, and says so in a warning;
- ``prometheus_client.multiprocess.MultiProcessCollector`` yields the exporter's totals and
  ``mark_process_dead`` does nothing (the original function too, wherever it was taken);
- ``PROMETHEUS_MULTIPROC_DIR`` names the metrics directory when it names nothing, so that the
  libraries built on prometheus_client take their multiprocess route (their own ``/metrics``
  through ``MultiProcessCollector``), while prometheus_client's own values stay in-process and
  write no file;
- metrics prometheus_client made before the switch are named in a warning: they record through
  prometheus_client, in this process only, and no exporter sees them.
"""

import gc
import os
import threading
import warnings

import prometheus_client
import prometheus_client.core
import prometheus_client.metrics
import prometheus_client.multiprocess
import prometheus_client.values

from zelnor_client import metrics, multiprocess

CLASSES = ("Counter", "Gauge", "Histogram", "Summary", "Info", "Enum")
_MODULES = (prometheus_client, prometheus_client.metrics, prometheus_client.core)
_lock = threading.Lock()
_installed = False
_ORIGINALS = {name: getattr(prometheus_client.metrics, name) for name in CLASSES}
_ORIGINAL_COLLECTOR = prometheus_client.multiprocess.MultiProcessCollector
_warned_subclasses: set[type] = set()


class SwitchWarning(UserWarning):
    """Metrics that record through prometheus_client although the switch is installed."""


def installed() -> bool:
    return _installed


def install() -> None:
    """Makes prometheus_client's metric classes zelnor_client's, in this process and in the
    processes it forks; idempotent. Call it before anything imports a library that makes
    metrics at import (``zelnor-run`` does, in every Python process it starts); metrics made
    before are named in a warning."""
    global _installed
    with _lock:
        if _installed:
            return
        early = _prometheus_client_metrics()
        _point_multiproc_dir()
        # prometheus_client's values stay in this process whatever the environment says: a
        # metric of its own classes (made before the switch, or by a subclass) writes no file.
        prometheus_client.values.ValueClass = prometheus_client.values.MutexValue
        for name in CLASSES:
            ours = getattr(metrics, name)
            for module in _MODULES:
                setattr(module, name, ours)
            _hand_over(_ORIGINALS[name], ours)
        prometheus_client.multiprocess.MultiProcessCollector = multiprocess.MultiProcessCollector
        _hand_over(_ORIGINAL_COLLECTOR, multiprocess.MultiProcessCollector)
        # Wherever the function was taken (a gunicorn config's child_exit hook), it does nothing.
        prometheus_client.multiprocess.mark_process_dead.__code__ = (
            multiprocess.mark_process_dead.__code__
        )
        _installed = True
    if early:
        warnings.warn(
            f"zelnor_client.install(): {len(early)} prometheus_client metrics were made before "
            f"the switch and record through prometheus_client, in this process only: "
            f"{', '.join(sorted(early))}. Install the switch before the modules that make them "
            "are imported: run the server under zelnor-run, or call zelnor_client.install() "
            "first (in a gunicorn config file, its first line)",
            SwitchWarning,
            stacklevel=3,  # the caller of zelnor_client.install()
        )


def _prometheus_client_metrics() -> set[str]:
    """The names of the metric families prometheus_client's own classes have made so far."""
    base = prometheus_client.metrics.MetricWrapperBase
    # type(), not isinstance(): a lazy proxy (Django's settings) would evaluate itself for it.
    return {
        f"{type(found).__name__.lower()}:{found._name}"
        for found in gc.get_objects()
        if issubclass(type(found), base) and not getattr(found, "_labelvalues", ())
    }


def _point_multiproc_dir() -> None:
    for variable in ("PROMETHEUS_MULTIPROC_DIR", "prometheus_multiproc_dir"):
        if os.path.isdir(os.environ.get(variable, "")):
            return
    directory = multiprocess.metrics_directory()
    try:
        os.makedirs(directory, exist_ok=True)
        if os.stat(directory).st_uid == os.geteuid():
            os.chmod(directory, 0o777)  # as zelnor_core makes it: every user records there
    except OSError:
        pass  # the libraries say that it is no directory; recording says why
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = directory


def _hand_over(original: type, ours: type) -> None:
    """Makes `original(...)` return `ours(...)`; a subclass of `original`, or a child a parent
    of prometheus_client's own makes in labels(), stays prometheus_client's."""

    def __new__(cls, *args, **kwargs):
        if cls is original and "_labelvalues" not in kwargs:
            return ours(*args, **kwargs)
        if cls is not original and cls not in _warned_subclasses:
            _warned_subclasses.add(cls)
            warnings.warn(
                f"{cls.__module__}.{cls.__qualname__} subclasses prometheus_client's "
                f"{original.__name__}: its metrics record through prometheus_client, in this "
                "process only",
                SwitchWarning,
                stacklevel=2,
            )
        return object.__new__(cls)

    original.__new__ = staticmethod(__new__)
