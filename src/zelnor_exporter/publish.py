"""The exporter's totals for the application's own metrics route: a snapshot published on request.

An application that serves its own /metrics (prometheus_client's ``MultiProcessCollector`` under
zelnor_client's switch, or ``zelnor_client.multiprocess.MultiProcessCollector``) reads the
exporter's current exposition from the exporter's state directory, with no port or address of
its own. Both sides meet in these files, in the metrics directory's ``.consumer``, which belongs
to the exporter's user and which nobody else can write:

- ``.consumer/requests``, a FIFO of mode 0622: a reader writes one byte to ask for a snapshot.
  Opening it fails (ENXIO) while no exporter holds its other end, so a reader knows at once when
  none runs.
- ``.consumer/snapshot``, mode 0644, replaced whole by a rename: the line
  ``zelnor-snapshot 1 <begun>`` and then the text exposition. ``<begun>`` is a CLOCK_MONOTONIC
  time in nanoseconds (the machine's, the same in every process) before which the pass that
  made these totals had not begun: the exporter reads a request, notes the time, and renders the
  totals of the second pass that ends after it, which began after that time. A reader that
  recorded, noted the time, and then asked, waits for a snapshot whose ``<begun>`` is later: it
  holds every record the reader made before it asked.

A snapshot costs the exporter one rendering per round of requests, however many readers asked
in it, none while the totals are those it rendered last (whoever asks, and however often, makes
it render at most once per change of the totals and once per two passes), and nothing while no
application reads.
"""

import errno
import os
import select
import stat
import threading
import time
from collections.abc import Callable

STATE_DIRECTORY = ".consumer"
REQUESTS = "requests"
SNAPSHOT = "snapshot"
MAGIC = b"zelnor-snapshot 1 "
# The most a reader takes of a snapshot; the exporter never publishes more.
MOST_BYTES = 64 * 1024 * 1024
# Passes to wait for after a request: the one under way may have begun before it.
PASSES = 2


def header(begun: int) -> bytes:
    return MAGIC + str(begun).encode() + b"\n"


def parse_header(data: bytes) -> tuple[int, bytes] | None:
    """(begun, exposition) of a snapshot's bytes; None when they are not a snapshot."""
    line, newline, body = data.partition(b"\n")
    if not newline or not line.startswith(MAGIC) or not line[len(MAGIC) :].isdigit():
        return None
    return int(line[len(MAGIC) :]), body


class Publisher:
    """Answers the readers of `directory`: on a request, waits for `PASSES` passes to end
    (`passes()` counts them), then publishes `render()`, the text exposition of the totals, or
    the last one again while `generation()` says that the totals have not changed since."""

    def __init__(
        self,
        directory: str,
        render: Callable[[], bytes],
        passes: Callable[[], int],
        interval: float,
        generation: Callable[[], object] | None = None,
    ) -> None:
        self._directory = directory
        self._render = render
        self._passes = passes
        self._generation = generation
        self._rendered: tuple[object, bytes] | None = None
        self._interval = interval
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._requests: int | None = None
        self.published = 0
        self._said: set[str] = set()

    def start(self) -> None:
        """Makes the FIFO of requests (the state directory exists once the exporter holds its
        lock) and answers it from a daemon thread."""
        try:
            self._requests = self._open_requests()
        except OSError as error:
            self._say(f"cannot take requests for snapshots: {error}")
            return
        self._thread = threading.Thread(target=self._serve, daemon=True, name="snapshots")
        self._thread.start()

    def stop(self) -> None:
        self._stopping.set()
        if self._thread is not None:
            self._thread.join(timeout=10)
        if self._requests is not None:
            os.close(self._requests)
            self._requests = None

    def _state(self) -> int:
        """The state directory, opened afresh: the consumer takes a new one should someone move
        it away."""
        fd = os.open(
            os.path.join(self._directory, STATE_DIRECTORY),
            os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
        )
        status = os.fstat(fd)
        if status.st_uid != os.geteuid() or status.st_mode & 0o022:
            os.close(fd)
            raise PermissionError(f"{self._directory}/{STATE_DIRECTORY} is not this user's own")
        return fd

    def _open_requests(self) -> int:
        state = self._state()
        try:
            try:
                os.unlink(REQUESTS, dir_fd=state)
            except FileNotFoundError:
                pass
            os.mkfifo(REQUESTS, 0o600, dir_fd=state)
            # Read and write: the FIFO never reads as ended while no reader has it open.
            fd = os.open(REQUESTS, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=state)
            os.fchmod(fd, 0o622)  # every user may ask; the umask would take that away
            return fd
        finally:
            os.close(state)

    def _serve(self) -> None:
        assert self._requests is not None
        while not self._stopping.is_set():
            readable, _, _ = select.select([self._requests], [], [], 0.5)
            if not readable:
                self._keep_requests()
                continue
            try:
                while os.read(self._requests, 4096):  # one answer for every request so far
                    pass
            except BlockingIOError:
                pass
            begun = time.monotonic_ns()
            try:
                self._wait_for_passes()
                self._publish(begun, self._exposition())
            except Exception as error:  # a reader waits out its bound; the exporter serves on
                self._say(f"cannot publish a snapshot: {error}")

    def _say(self, what: str) -> None:
        if what not in self._said:  # once each, however often it fails
            self._said.add(what)
            print(f"zelnor-exporter: {what}", flush=True)

    def _keep_requests(self) -> None:
        """Makes the FIFO again when its name no longer leads to it: the consumer took a new
        state directory after someone moved `.consumer` away."""
        try:
            state = self._state()
        except OSError:
            return  # the consumer takes its lock again; the next look finds the new one
        try:
            try:
                named = os.stat(REQUESTS, dir_fd=state, follow_symlinks=False)
            except FileNotFoundError:
                named = None
        finally:
            os.close(state)
        held = os.fstat(self._requests)
        if named is None or (named.st_dev, named.st_ino) != (held.st_dev, held.st_ino):
            try:
                fresh = self._open_requests()
            except OSError as error:
                self._say(f"cannot take requests for snapshots: {error}")
                return
            os.close(self._requests)
            self._requests = fresh

    def _exposition(self) -> bytes:
        if self._generation is None:
            return self._render()
        generation = self._generation()  # before the rendering: it is never newer
        if self._rendered is None or self._rendered[0] != generation:
            self._rendered = (generation, self._render())
        return self._rendered[1]

    def _wait_for_passes(self) -> None:
        # Looked at once the passes should be done, then often.
        target = self._passes() + PASSES
        deadline = time.monotonic() + max(2.0, 20 * self._interval)
        if self._stopping.wait(PASSES * self._interval):
            return
        while self._passes() < target and time.monotonic() < deadline:
            if self._stopping.wait(min(self._interval / 4, 0.05)):
                return

    def _publish(self, begun: int, exposition: bytes) -> None:
        data = header(begun) + exposition
        if len(data) > MOST_BYTES:
            raise ValueError(f"the exposition takes {len(data)} bytes, more than {MOST_BYTES}")
        state = self._state()
        temporary = f"{SNAPSHOT}.{os.getpid()}.tmp"
        try:
            fd = os.open(
                temporary,
                os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC,
                0o644,
                dir_fd=state,
            )
            try:
                os.fchmod(fd, 0o644)
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view) :]
            finally:
                os.close(fd)
            os.rename(temporary, SNAPSHOT, src_dir_fd=state, dst_dir_fd=state)
            self.published += 1
        except OSError:
            try:
                os.unlink(temporary, dir_fd=state)
            except OSError:
                pass
            raise
        finally:
            os.close(state)


def is_fifo_of(status: os.stat_result, owner: int) -> bool:
    return stat.S_ISFIFO(status.st_mode) and status.st_uid == owner


def ask(state: int, owner: int) -> bool:
    """Writes one request into the FIFO of the state directory open as `state`, whose owner is
    `owner`; False when no exporter reads it."""
    try:
        fd = os.open(
            REQUESTS, os.O_WRONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=state
        )
    except OSError as error:
        if error.errno in (errno.ENXIO, errno.ENOENT, errno.ELOOP, errno.EACCES):
            return False
        raise
    try:
        if not is_fifo_of(os.fstat(fd), owner):
            return False
        try:
            os.write(fd, b"?")
        except BlockingIOError:
            pass  # full of requests already: the exporter answers them all at once
        return True
    finally:
        os.close(fd)
