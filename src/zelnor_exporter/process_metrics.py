"""The process metrics: the exporter's own, unlabelled, as every exporter serves them
(prometheus_client's ProcessCollector), and in the same families each live producer process's,
labelled `pid` as --gauge-mode all labels it ("4242", or "4242.1" for a second process of that
pid in another pid namespace).

Which producers live comes from the aggregator (the queues it drained in its last pass), never
from names in the metrics directory. A producer's figures are read from /proc only when it is
surely the process the queues speak of and the user who owns them may see it anyway: it is in the
exporter's pid namespace, /proc/PID started at the producer's start time, and belongs to the user
who owns its queue files (or those are root's). All reads go through one descriptor of /proc/PID,
so a pid reused meanwhile reads as gone. What /proc does not show (another user's process under
hidepid, its descriptors to anyone but that user and root) is left out, never guessed.
"""

import os

from prometheus_client import ProcessCollector
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

# The families a producer has a sample in, with the type and help the exporter's own have.
PRODUCER_FAMILIES = {
    "process_cpu_seconds": (
        CounterMetricFamily,
        "Total user and system CPU time spent in seconds.",
    ),
    "process_resident_memory_bytes": (GaugeMetricFamily, "Resident memory size in bytes."),
    "process_open_fds": (GaugeMetricFamily, "Number of open file descriptors."),
    "process_start_time_seconds": (
        GaugeMetricFamily,
        "Start time of the process since unix epoch in seconds.",
    ),
}
# Fields of /proc/PID/stat after the command's closing parenthesis, from 0 (the state).
_UTIME, _STIME, _STARTTIME, _RSS = 11, 12, 19, 21


def _boot_time():
    try:
        with open("/proc/stat", "rb") as stat:
            for line in stat:
                if line.startswith(b"btime "):
                    return float(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def _pid_namespace():
    try:
        return os.stat("/proc/self/ns/pid").st_ino
    except OSError:
        return 0


def _label_order(label):
    return [int(part) if part.isdigit() else 0 for part in label.split(".")]


class ProducerReader:
    """Reads a producer's figures from /proc, as the module describes."""

    def __init__(self):
        self.ticks = os.sysconf("SC_CLK_TCK")
        self.page_size = os.sysconf("SC_PAGE_SIZE")
        self.boot_time = _boot_time()
        self.pid_namespace = _pid_namespace()

    def read(self, pid, start_ticks, pid_namespace, uid):
        """{family: value} of the producer, or None when /proc does not surely show it; without
        process_open_fds when its descriptors cannot be listed."""
        if self.boot_time is None or pid_namespace == 0 or pid_namespace != self.pid_namespace:
            return None
        try:
            directory = os.open(f"/proc/{pid}", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError:
            return None
        try:
            if uid != 0 and os.fstat(directory).st_uid != uid:
                return None
            fields = self._stat(directory)
            if fields is None or int(fields[_STARTTIME]) != start_ticks:
                return None
            figures = {
                "process_cpu_seconds": (int(fields[_UTIME]) + int(fields[_STIME])) / self.ticks,
                "process_resident_memory_bytes": float(int(fields[_RSS]) * self.page_size),
                "process_start_time_seconds": self.boot_time + start_ticks / self.ticks,
            }
            descriptors = self._descriptors(directory)
            if descriptors is not None:
                figures["process_open_fds"] = float(descriptors)
            return figures
        except (OSError, ValueError, IndexError):
            return None
        finally:
            os.close(directory)

    @staticmethod
    def _stat(directory):
        fd = os.open("stat", os.O_RDONLY | os.O_CLOEXEC, dir_fd=directory)
        try:
            text = os.read(fd, 4096)
        finally:
            os.close(fd)
        closing = text.rfind(b")")
        return text[closing + 2 :].split() if closing >= 0 else None

    @staticmethod
    def _descriptors(directory):
        try:
            fd = os.open("fd", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=directory)
        except OSError:
            return None  # another user's, or gone
        try:
            return len(os.listdir(fd))
        except OSError:
            return None
        finally:
            os.close(fd)


class ProcessMetrics:
    """A collector of the process metrics: the exporter's own, and, with `producers`, those of
    each live producer of `aggregator` (anything with live_producers(), as _native.Aggregator
    has)."""

    def __init__(self, aggregator, producers=True):
        self._own = ProcessCollector(registry=None)
        self._aggregator = aggregator
        self._reader = ProducerReader() if producers else None

    def collect(self):
        families = {family.name: family for family in self._own.collect()}
        if self._reader is not None:
            self._add_producers(families)
        return list(families.values())

    def _add_producers(self, families):
        live = sorted(self._aggregator.live_producers(), key=lambda p: _label_order(p[0]))
        for label, pid, start_ticks, pid_namespace, uid in live:
            figures = self._reader.read(pid, start_ticks, pid_namespace, uid)
            for name, value in (figures or {}).items():
                family = families.get(name)
                if family is None:
                    family_type, documentation = PRODUCER_FAMILIES[name]
                    family = families[name] = family_type(name, documentation, labels=["pid"])
                sample = name + "_total" if family.type == "counter" else name
                family.add_sample(sample, {"pid": label}, value)
