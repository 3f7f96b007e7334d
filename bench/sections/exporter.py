"""The exporter at the speed of the rings: its CPU per entry against the bare Python drain loop's,
side by side under the same offered load (4 producer processes of 4 threads, 285,000 entries a
second, drained every 10 ms), the same when every entry carries a name never seen before (a flood
of new names), and the rate it sustains with 1, 2, 4 and 8 producer processes offering 5 million
entries a second together."""

import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from common import metrics_directory, program, python, read_on, section_main

RINGS = 32  # producer threads in all, so that 5 million a second fit in the rings between drains


def cpu_seconds(pid):
    """CPU time of the process's threads, in nanoseconds' resolution (/proc/PID/stat counts
    in clock ticks, a tenth of the whole window's time here)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
                total += int(schedstat.read().split()[0])
        except FileNotFoundError:  # a thread that has just ended
            pass
    return total / 1e9


def producers(directory, count, rate, seconds, labelled, threads=None):
    threads = threads or max(1, RINGS // count)
    started = []
    for _ in range(count):
        # A file, not a pipe: a producer whose full-queue lines filled a pipe would stop.
        output = tempfile.TemporaryFile(mode="w+")
        process = subprocess.Popen(
            [
                program("zelnor_paced_producer"),
                str(directory),
                str(rate / count),
                str(seconds),
                str(threads),
                str(int(labelled)),  # 0 plain, 1 labelled, 2 a new name in every record
            ],
            stdout=output,
            text=True,
        )
        process.output = output
        started.append(process)
    return started


def skipped_by(processes):
    """Waits for the producers; the records their schedules skipped after a stall (the last
    number each printed, after any full-queue lines)."""
    skipped = 0
    for process in processes:
        process.wait()
        process.output.seek(0)
        skipped += int(process.output.read().split()[-1])
        process.output.close()
    return skipped


def scrape(port):
    totals = {"entries": 0.0, "dropped": 0.0, "rejected": 0.0}
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as reply:
        for line in reply.read().decode().splitlines():
            if line.startswith("zelnor_exporter_entries_total"):
                totals["entries"] += float(line.split()[-1])
            elif line.startswith("zelnor_dropped_records_total"):
                totals["dropped"] += float(line.split()[-1])
            elif line.startswith("zelnor_exporter_rejected_entries_total"):
                totals["rejected"] += float(line.split()[-1])
    return totals


def exporter_run(count, rate, seconds, labelled, interval, threads=None):
    """The exporter under `count` producer processes offering `rate` entries a second."""
    with metrics_directory("tmpfs") as directory:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        exporter = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "zelnor_exporter",
                "--directory",
                str(directory),
                "--address",
                "127.0.0.1",
                "--port",
                str(port),
                "--interval",
                str(interval),
            ],
            stdout=subprocess.PIPE,
            text=True,
        )
        while "serving /metrics" not in exporter.stdout.readline():
            pass
        read_on(exporter)
        running = producers(directory, count, rate, seconds + 2, labelled, threads)
        time.sleep(1)  # every producer's files are attached
        cpu, totals, start = cpu_seconds(exporter.pid), scrape(port), time.monotonic()
        time.sleep(seconds)
        cpu = cpu_seconds(exporter.pid) - cpu
        after, elapsed = scrape(port), time.monotonic() - start
        skipped = skipped_by(running)
        exporter.terminate()
        exporter.wait()
        entries = after["entries"] - totals["entries"]
        return {
            "cpu_ns_per_entry": cpu * 1e9 / max(entries, 1),
            "rate": entries / elapsed,
            "dropped": after["dropped"] - totals["dropped"],  # in the measured window
            "dropped_at_start": totals["dropped"],  # while 32 rings were created and attached
            "rejected": after["rejected"] - totals["rejected"],
            "skipped": skipped,
        }


def measure(seconds):
    # Side by side at a rate the Python loop keeps up with.
    compare_rate, interval = 285_000, 0.01
    with metrics_directory("tmpfs") as directory:
        env = {"ZELNOR_METRICS_DIR": str(directory)}
        loop = python(
            "drain_loop.py", interval, seconds, env=env, stdout=subprocess.PIPE, text=True
        )
        assert loop.stdout.readline() == "ready\n"
        running = producers(directory, 4, compare_rate, seconds + 1, False, 4)
        out = loop.stdout.read().split()
        loop.wait()
        skipped_by(running)
        baseline = float(out[1]) * 1e9 / max(int(out[0]), 1)
    plain = exporter_run(4, compare_rate, seconds, False, interval, 4)
    labelled = exporter_run(4, compare_rate, seconds, True, interval, 4)
    new_names = exporter_run(4, compare_rate, seconds, 2, interval, 4)
    sustained = {
        count: exporter_run(count, 5_000_000, seconds, False, 0.002) for count in (1, 2, 4, 8)
    }
    return {
        "loop_ns_per_entry": baseline,
        "plain": plain,
        "labelled": labelled,
        "new names": new_names,
        "sustained": sustained,
        "compare_rate": compare_rate,
    }


if __name__ == "__main__":
    section_main(measure)
