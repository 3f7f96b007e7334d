"""The process metrics: the exporter's own, unlabelled, and each live producer process's, labelled
pid, in the same families, read from /proc as the test reads it; an ended producer's let go."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families
from support import Exporter, Producer

FAMILIES = (
    "process_cpu_seconds_total",
    "process_resident_memory_bytes",
    "process_open_fds",
    "process_start_time_seconds",
)


def by_pid(samples, name):
    return {dict(labels).get("pid"): value for (sample, labels), value in samples.items()
            if sample == name}  # fmt: skip


def start_time(pid):
    with open("/proc/stat") as stat:
        boot = next(float(line.split()[1]) for line in stat if line.startswith("btime "))
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rpartition(b")")[2].split()
    return boot + int(fields[19]) / os.sysconf("SC_CLK_TCK")


def test_each_live_producer_has_its_process_metrics_until_it_ends(prefix):
    exporter = Exporter("--interval", "0.05", "--gauge-mode", "all")
    producers = [Producer() for _ in range(3)]
    name = prefix.replace(".", "_") + "requests"
    depth = prefix.replace(".", "_") + "depth"
    try:
        for producer in producers:
            producer.record("c", name, 1, 5)
            producer.record("g", depth, 1)
        pids = {str(producer.process.pid) for producer in producers}
        got = exporter.scrape_until(
            lambda s: all(pids <= set(by_pid(s, family)) for family in (*FAMILIES, depth))
        )
        assert set(by_pid(got, depth)) == pids  # labelled as the gauges of each process are
        for family in FAMILIES:
            served = by_pid(got, family)
            assert set(served) == pids | {None}, family  # the exporter's own, unlabelled
        for producer in producers:
            pid = producer.process.pid
            assert by_pid(got, "process_start_time_seconds")[str(pid)] == pytest.approx(
                start_time(pid), abs=0.01
            )
            # Idle, blocked on its standard input: its descriptors stay as they are.
            assert by_pid(got, "process_open_fds")[str(pid)] == len(os.listdir(f"/proc/{pid}/fd"))
            assert by_pid(got, "process_resident_memory_bytes")[str(pid)] > 0
        # One family each, in both formats: the exporter's samples and the producers' together.
        text = exporter.scrape_text()
        for family in FAMILIES:
            assert text.count(f"# TYPE {family} ") == 1, family
        openmetrics = {
            family.name: len(family.samples)
            for family in text_string_to_metric_families(exporter.scrape_text(openmetrics=True))
        }
        assert openmetrics["process_cpu_seconds"] == 4 and openmetrics["process_open_fds"] == 4

        ended = str(producers[0].process.pid)
        producers[0].close()
        got = exporter.scrape_until(
            lambda s: all(ended not in by_pid(s, family) for family in FAMILIES)
        )
        for family in FAMILIES:
            assert set(by_pid(got, family)) == pids - {ended} | {None}, family
    finally:
        for producer in producers:
            producer.close()
        exporter.stop()


def test_producers_process_metrics_turn_off_and_their_names_are_the_exporters_own(prefix):
    exporter = Exporter("--interval", "0.05", "--no-producer-process-metrics")
    producer = Producer()
    name = prefix.replace(".", "_") + "requests"
    try:
        producer.record("g", "process_open_fds", 1000)
        producer.record("c", "process_cpu_seconds_total", 1)
        producer.record("c", name, 1, 3)
        rejected = ("zelnor_exporter_rejected_entries_total", (("reason", "reserved_name"),))
        got = exporter.scrape_until(
            lambda s: s.get((name + "_total", ())) == 3 and s.get(rejected) == 2
        )
        assert got.get(rejected) == 2
        for family in FAMILIES:
            assert list(by_pid(got, family)) == [None], family
        assert got[("process_open_fds", ())] != 1000
    finally:
        producer.close()
        exporter.stop()


AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# Execs the rest of its arguments with a /proc of its own, mounted with hidepid=2.
HIDING = ["unshare", "-m", "sh", "-c", 'mount -t proc -o hidepid=2 proc /proc && exec "$@"', "sh"]


def test_what_proc_hides_from_an_exporter_of_another_user_is_left_out():
    if os.geteuid() != 0 or not (shutil.which("setpriv") and shutil.which("unshare")):
        pytest.skip("needs root, setpriv and unshare (util-linux)")
    probe = subprocess.run([*AS_NOBODY, sys.executable, "-c", "import zelnor_exporter._native"])
    if probe.returncode != 0:
        pytest.skip("the user nobody cannot run this interpreter's zelnor_exporter")
    directory = Path(tempfile.mkdtemp(prefix="zelnor-hidepid-", dir="/dev/shm"))
    directory.chmod(0o777)
    producer = Producer(directory, umask=0)  # root's, with queue files nobody may drain
    try:
        pid = str(producer.process.pid)
        # /proc as it is: nobody sees root's process, but may not list its descriptors.
        # Mounted with hidepid=2: nobody sees no process of root's at all.
        for wrapper, served in (
            (AS_NOBODY, set(FAMILIES) - {"process_open_fds"}),
            (HIDING + AS_NOBODY, set()),
        ):
            producer.record("c", "requests", 1, 2)  # for this exporter: totals begin at zero
            exporter = Exporter("--interval", "0.05", "--directory", str(directory),
                                wrapper=wrapper)  # fmt: skip
            try:
                got = exporter.scrape_until(
                    lambda s, served=served: (
                        s.get(("requests_total", ())) == 2
                        and {f for f in FAMILIES if pid in by_pid(s, f)} == served
                    )
                )
                assert got[("requests_total", ())] == 2
                assert {family for family in FAMILIES if pid in by_pid(got, family)} == served
                assert all(None in by_pid(got, family) for family in FAMILIES)  # its own
            finally:
                exporter.stop()
    finally:
        producer.close()
        shutil.rmtree(directory, ignore_errors=True)
