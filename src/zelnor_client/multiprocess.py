"""prometheus_client.multiprocess for zelnor_client: the application's own metrics route.

``MultiProcessCollector(registry)`` yields zelnor-exporter's current families, every process's
values summed as the exporter serves them, so that ``generate_latest(registry)``, the routes of
the libraries built on prometheus_client, and ``registry.get_sample_value`` see what every worker
recorded. It reads the snapshot the exporter publishes in its state directory on request
(zelnor_exporter.publish describes the files): a collect() asks, and waits, at most
`WAIT_SECONDS`, for totals whose pass began after the call, so that a process reads back what it
recorded just before. The exporter's own health families (``zelnor_*``) are left out: the route
serves the application's metrics, as prometheus_client's collector does.

``mark_process_dead`` does nothing: the exporter sees for itself when a process has ended.
"""

import os
import stat
import threading
import time
import warnings

from prometheus_client.parser import text_string_to_metric_families

from zelnor_exporter import publish

DEFAULT_DIRECTORY = "/tmp/metrics_collector"
WAIT_SECONDS = 5.0
_POLL_SECONDS = 0.005


class SnapshotWarning(UserWarning):
    """The application's route serves no totals, or older ones: no exporter answers."""


def metrics_directory() -> str:
    return os.environ.get("ZELNOR_METRICS_DIR") or DEFAULT_DIRECTORY


def _open_state(directory: str) -> tuple[int, int] | None:
    """(descriptor, owner) of the exporter's state directory, when it is one nobody else can
    write; None otherwise."""
    try:
        fd = os.open(
            os.path.join(directory, publish.STATE_DIRECTORY),
            os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
        )
    except OSError:
        return None
    status = os.fstat(fd)
    if status.st_mode & 0o022:
        os.close(fd)
        return None
    return fd, status.st_uid


def _read_snapshot(state: int, owner: int) -> tuple[int, bytes] | None:
    """(begun, exposition) of the published snapshot, if it holds up: a regular file of the
    state directory's owner, with one link, within the size bound, not written by others."""
    try:
        fd = os.open(
            publish.SNAPSHOT,
            os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
            dir_fd=state,
        )
    except OSError:
        return None
    try:
        status = os.fstat(fd)
        if (
            not stat.S_ISREG(status.st_mode)
            or status.st_uid != owner
            or status.st_nlink != 1
            or status.st_mode & 0o022
            or status.st_size > publish.MOST_BYTES
        ):
            return None
        chunks, left = [], publish.MOST_BYTES + 1
        while left > 0:
            chunk = os.read(fd, min(left, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        data = b"".join(chunks)
        if len(data) > publish.MOST_BYTES:
            return None
        return publish.parse_header(data)
    finally:
        os.close(fd)


class _Snapshots:
    """This process's reader: one parse per snapshot, however many collectors read it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._begun = -1
        self._families: list = []
        self._warned: set[str] = set()

    def families(self, directory: str) -> list:
        called = time.monotonic_ns()
        state = _open_state(directory)
        if state is None:
            self._warn(directory, "has no state directory of a zelnor-exporter: is it running?")
            return []
        fd, owner = state
        try:
            asked = publish.ask(fd, owner)
            deadline = time.monotonic() + (WAIT_SECONDS if asked else 0)
            while True:
                found = _read_snapshot(fd, owner)
                if found is not None and found[0] >= called:
                    return self._parsed(*found)
                if time.monotonic() >= deadline:
                    break
                time.sleep(_POLL_SECONDS)
        finally:
            os.close(fd)
        if found is None:
            self._warn(directory, "has no snapshot from zelnor-exporter: is it running?")
            return []
        self._warn(
            directory,
            "has no snapshot from zelnor-exporter newer than this call"
            + ("" if asked else " (no exporter answers)")
            + "; serving the last one",
        )
        return self._parsed(*found)

    def _parsed(self, begun: int, exposition: bytes) -> list:
        with self._lock:
            if begun != self._begun:
                text = exposition.decode("utf-8", "replace")
                self._families = [
                    family
                    for family in text_string_to_metric_families(text)
                    if not family.name.startswith("zelnor_")
                ]
                self._begun = begun
            return self._families

    def _warn(self, directory: str, what: str) -> None:
        if what not in self._warned:  # once per process and condition
            self._warned.add(what)
            warnings.warn(f"zelnor_client: {directory} {what}", SnapshotWarning, stacklevel=4)


_SNAPSHOTS = _Snapshots()


class MultiProcessCollector:
    """The exporter's current families, for the application's own metrics route.

    `path` is accepted for prometheus_client's sake and not used: the exporter's directory is
    ZELNOR_METRICS_DIR (else /tmp/metrics_collector)."""

    def __init__(self, registry, path=None):
        self._directory = metrics_directory()
        if registry is not None and not hasattr(registry, "register"):
            # A registry's restricted_registry(names) (prometheus_flask_exporter registers into
            # one): the collector goes into the registry it restricts.
            registry = getattr(registry, "_registry", registry)
        if registry:
            registry.register(self)
            # Its names change with what is recorded: a registry's name[] filter takes it
            # whatever the names asked for, and keeps the families of those names.
            with registry._lock:
                without = getattr(registry, "_collectors_without_names", None)
                if without is not None and self not in without:
                    without.append(self)

    def collect(self):
        return list(_SNAPSHOTS.families(self._directory))


def mark_process_dead(pid, path=None):
    """Does nothing: zelnor-exporter sees for itself when a process has ended, however it
    ended."""
