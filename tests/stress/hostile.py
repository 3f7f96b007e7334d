"""Hostile directory: thousands of entries of every kind mixed with live producers.

    python tests/stress/hostile.py [--entries 10000] [--seconds 15]

Plants empty files, truncated and oversized queue files, garbage headers, FIFOs, directories,
symbolic links and hard links to files elsewhere, and names of no known kind, all in the
machine's metrics directory, while producer processes record known sequences. One consumer
drains throughout. Checks that the consumer survives, that it changes nothing but the regular
queue-named files it attached (every other entry and every link target stays byte for byte as it
was), and that every record of the live producers arrives exactly once. Cleans up after itself.
"""

import argparse
import fcntl
import hashlib
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import zelnor_core

DIRECTORY = Path("/tmp/metrics_collector")
PRODUCER = r"""
import sys, threading, time, zelnor_core
def record(thread):
    for seq in range(int(sys.argv[2])):
        zelnor_core.inc_counter(f"{sys.argv[1]}.{thread}", seq)
        if seq % 20 == 19:
            time.sleep(0.02)
threads = [threading.Thread(target=record, args=(t,)) for t in range(4)]
[t.start() for t in threads]
[t.join() for t in threads]
"""


def fingerprint(path):
    """What must not change: type, link target, size and content."""
    info = os.lstat(path)
    if stat.S_ISLNK(info.st_mode):
        return ("link", os.readlink(path))
    if stat.S_ISREG(info.st_mode):
        with open(path, "rb") as f:
            return ("file", info.st_size, info.st_nlink, hashlib.sha256(f.read()).hexdigest())
    return (stat.S_IFMT(info.st_mode), info.st_size)


def plant(count, elsewhere, first=0):
    """Creates `count` hostile entries; returns those the consumer must leave untouched."""
    rng = __import__("random").Random(7)
    target = elsewhere / f"private{first}"
    target.write_bytes(b"not yours\n" * 100)
    untouched = [target]
    kinds = Counter()
    for i in range(first, first + count):
        kind = i % 10
        prefix = ("counter", "histogram", "gauge")[i % 3]
        path = DIRECTORY / f"{prefix}.hostile{i}"
        if kind == 0:
            path.touch()  # empty: attached, never ready, let go
            kinds["empty file"] += 1
        elif kind == 1:
            path.write_bytes(struct.pack("<BBxxII", 1, 0, 5, 0) + b"\x01" * 88)  # truncated
            kinds["truncated queue file"] += 1
        elif kind == 2:
            with open(path, "wb") as f:  # oversized, garbage header
                f.write(rng.randbytes(64))
                f.truncate(3 * 1024 * 1024)
            kinds["oversized queue file"] += 1
        elif kind == 3:
            with open(path, "wb") as f:  # ready, with impossible indices
                f.write(struct.pack("<BBxxII", 1, 0, rng.randrange(1000, 1 << 32),
                                    rng.randrange(1 << 32)) + rng.randbytes(200))
                f.truncate(2 * 1024 * 1024)
            kinds["garbage header"] += 1
        elif kind == 4:
            os.mkfifo(path)
            kinds["FIFO"] += 1
            untouched.append(path)
        elif kind == 5:
            path.mkdir()
            kinds["directory"] += 1
            untouched.append(path)
        elif kind == 6:
            path.symlink_to(target)
            kinds["symbolic link"] += 1
            untouched.append(path)
        elif kind == 7:
            os.link(target, path)
            kinds["hard link"] += 1
            untouched.append(path)
        elif kind == 8:
            path = DIRECTORY / f"Unknown.hostile{i}"
            path.write_bytes(b"x")
            kinds["unknown name"] += 1
            untouched.append(path)
        else:
            path.symlink_to(elsewhere / f"dangling{i}")
            kinds["dangling symbolic link"] += 1
            untouched.append(path)
    return untouched, kinds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=10000)
    parser.add_argument("--seconds", type=float, default=15)
    args = parser.parse_args()
    lock = open("/tmp/zelnor-tests.lock", "a+")
    fcntl.flock(lock, fcntl.LOCK_EX)
    DIRECTORY.mkdir(exist_ok=True)
    elsewhere = Path(tempfile.mkdtemp(prefix="zelnor-hostile-"))
    problems = []
    try:
        # Half is there before the consumer starts, half arrives while it drains.
        untouched, kinds = plant(args.entries // 2, elsewhere)
        before = {path: fingerprint(path) for path in untouched}
        got = {}

        def drain():
            for entry in zelnor_core.get_counter_entries():
                got.setdefault(entry.name, []).append(entry.value)
            zelnor_core.get_histogram_entries()
            zelnor_core.get_gauge_entries()

        drain()
        per_thread = 2000
        producers = [subprocess.Popen([sys.executable, "-c", PRODUCER, f"live{p}", str(per_thread)])
                     for p in range(2)]
        second_half = {}
        planter = threading.Thread(target=lambda: second_half.update(zip(
            ("untouched", "kinds"), plant(args.entries - args.entries // 2, elsewhere,
                                          args.entries // 2))))
        planter.start()
        while planter.is_alive():
            drain()
            time.sleep(0.01)
        untouched += second_half["untouched"]
        kinds += second_half["kinds"]
        before.update({path: fingerprint(path) for path in second_half["untouched"]})

        # Drain at least --seconds, and until every junk file attached has been let go (those
        # never ready go after ten seconds).
        deadline = time.monotonic() + args.seconds
        while time.monotonic() < deadline or (
                list(DIRECTORY.glob(".consumer/attached.*/*hostile*"))
                and time.monotonic() < deadline + 20):
            drain()
            time.sleep(0.01)
        for producer in producers:
            if producer.wait(timeout=60) != 0:
                problems.append("a producer failed")
        for p in range(2):
            for t in range(4):
                if got.get(f"live{p}.{t}") != list(range(per_thread)):
                    problems.append(f"live{p}.{t}: {len(got.get(f'live{p}.{t}', []))} records")
        changed = [str(path) for path, print_ in before.items() if fingerprint(path) != print_]
        if changed:
            problems.append(f"{len(changed)} entries changed: {changed[:5]}")
        attached_left = [p for p in DIRECTORY.iterdir() if p.name.split(".")[0] in
                         ("counter", "histogram", "gauge") and p.is_file() and not p.is_symlink()
                         and os.lstat(p).st_nlink == 1]
        if attached_left:
            problems.append(f"{len(attached_left)} plain queue files never attached")
        kept = list(DIRECTORY.glob(".consumer/attached.*/*hostile*"))
        if kept:
            problems.append(f"{len(kept)} attached junk files never let go")
        print("planted: " + ", ".join(f"{n} {kind}" for kind, n in sorted(kinds.items())))
        print(f"live records: {sum(len(v) for k, v in got.items() if k.startswith('live'))} "
              f"of {2 * 4 * per_thread} drained; untouched entries checked: {len(before)}")
    finally:
        for path in DIRECTORY.iterdir():
            if ".hostile" in path.name:
                if path.is_dir() and not path.is_symlink():
                    shutil.rmtree(path)
                else:
                    path.unlink()
        shutil.rmtree(elsewhere)
    for problem in problems:
        print(f"FAIL: {problem}")
    print(f"hostile: {'1 passed, 0 failed' if not problems else '0 passed, 1 failed'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
