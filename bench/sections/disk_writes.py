"""What N producers recording steadily write to disk when the metrics directory is on this
machine's disk-backed /tmp, against tmpfs and an idle window, side by side: sectors written to the
device behind /tmp (/proc/diskstats) during the window, and after a sync at its end."""

import os
import subprocess
import time

from common import metrics_directory, program, section_main

RATE = 50_000  # records a second per producer process
SECTOR = 512


def written_bytes():
    """Bytes written so far to the block device that holds /tmp."""
    device = os.stat("/tmp").st_dev
    wanted = (os.major(device), os.minor(device))
    with open("/proc/diskstats") as stats:
        for line in stats:
            fields = line.split()
            if (int(fields[0]), int(fields[1])) == wanted:
                return int(fields[9]) * SECTOR
    return None


def window(producers, seconds, on):
    from zelnor_exporter import _native

    with metrics_directory(on) as directory:
        aggregator = _native.Aggregator([1.0], "last", 10000)
        drainer = _native.Drainer(str(directory), aggregator)
        env = {"ZELNOR_METRICS_DIR": str(directory)}
        processes = [
            subprocess.Popen(
                [
                    program("zelnor_paced_producer"),
                    str(directory),
                    str(RATE),
                    str(seconds),
                    "4",
                    "0",
                ],
                env={**os.environ, **env},
                stdout=subprocess.DEVNULL,
            )
            for _ in range(producers)
        ]
        before = written_bytes()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            drainer.drain()
            time.sleep(0.01)
        during = written_bytes() - before
        for process in processes:
            process.wait()
        drainer.drain()
        os.sync()
        return {"during": during / seconds, "with_sync": (written_bytes() - before) / seconds}


def measure(seconds):
    if written_bytes() is None:
        return None
    results = {"idle": window(0, seconds, "disk")}
    for producers in (1, 8):
        for on in ("disk", "tmpfs"):
            results[f"{producers} {on}"] = window(producers, seconds, on)
    return results


if __name__ == "__main__":
    section_main(measure)
