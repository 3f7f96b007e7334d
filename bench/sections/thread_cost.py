"""Files, disk blocks and resident memory that one producer thread costs."""

import os
from pathlib import Path

from common import section_main


def rss_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])


def measure():
    import zelnor_core

    directory = Path(os.environ["ZELNOR_METRICS_DIR"])
    before = set(os.listdir(directory)) if directory.is_dir() else set()
    rss_before = rss_kib()
    zelnor_core.inc_counter("cost", 1)
    rss_after = rss_kib()
    new = [directory / name for name in set(os.listdir(directory)) - before]
    return {
        "files": len(new),
        "bytes": sum(p.stat().st_size for p in new),
        "blocks_bytes": sum(p.stat().st_blocks * 512 for p in new),
        "rss_kib": rss_after - rss_before,
    }


if __name__ == "__main__":
    section_main(measure)
