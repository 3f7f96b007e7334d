"""Stress: producer processes whose threads come and go, forks, SIGKILLs, and one consumer.

    python tests/stress/stress.py [--seconds 60] [--processes 8] [--threads 8] [--kills 3]

Checks that every record a producer published (killed ones included) is drained exactly once,
in order and whole; that records are lost only where a full-queue line was written (and counted);
that no file is left once the consumer has caught up; and that the consumer's descriptor and
mapping counts stay bounded however many producers come and go. Exits non-zero on any failure.
"""

import argparse
import fcntl
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

import zelnor_core

HERE = Path(__file__).resolve().parent
DIRECTORY = Path("/tmp/metrics_collector")
NAME = re.compile(r"(\d+)\.(\d+)\.(\d+)")
FULL_LINE = "ERROR: Queue is full in enqueue."
DONE_LINE = re.compile(r"DONE (\d+) (\d+) (\d+)\n")


def count_entries(path):
    return sum(1 for _ in os.scandir(path)) if os.path.isdir(path) else 0


def own_counts():
    return count_entries("/proc/self/fd"), sum(1 for _ in open("/proc/self/maps"))


def files_left():
    queue_files = [
        p for p in DIRECTORY.iterdir() if p.name.split(".")[0] in ("counter", "histogram", "gauge")
    ]
    return queue_files + list(DIRECTORY.glob(".consumer/attached.*/*"))


class Sequences:
    """Drained sequence numbers per producer thread, per kind."""

    def __init__(self):
        self.seen = {"counter": defaultdict(list), "histogram": defaultdict(list)}
        self.problems = []
        self.total = 0

    def add(self, kind, entries):
        for entry in entries:
            match = NAME.fullmatch(entry.name)
            if match is None:
                continue  # not ours
            pid, thread, seq = (int(g) for g in match.groups())
            if entry.value != seq:
                self.problems.append(f"torn {kind} record {entry.name} = {entry.value}")
            self.seen[kind][(pid, thread)].append(seq)
            self.total += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--processes", type=int, default=8)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--kills", type=int, default=3)
    args = parser.parse_args()

    lock = open("/tmp/zelnor-tests.lock", "a+")
    fcntl.flock(lock, fcntl.LOCK_EX)
    rng = random.Random(1234)
    sequences = Sequences()

    def drain():
        sequences.add("counter", zelnor_core.get_counter_entries())
        sequences.add("histogram", zelnor_core.get_histogram_entries())
        zelnor_core.get_gauge_entries()

    drain()
    baseline_fds, baseline_maps = own_counts()
    most_fds, most_maps = baseline_fds, baseline_maps

    outputs = tempfile.mkdtemp(prefix="zelnor-stress-")
    producers = {}  # pid -> (process, output path)
    killed = set()
    started = 0

    def start_producer(seconds):
        nonlocal started
        started += 1
        path = os.path.join(outputs, f"producer-{started}.out")
        process = subprocess.Popen(
            [
                sys.executable,
                str(HERE / "producer.py"),
                str(seconds),
                str(args.threads),
                str(rng.randrange(1 << 30)),
            ],
            stdout=open(path, "w"),
        )
        producers[process.pid] = (process, path)

    for _ in range(args.processes):
        start_producer(args.seconds)
    kill_times = sorted(rng.uniform(0.2, 0.8) * args.seconds for _ in range(args.kills))
    begin = time.monotonic()
    while any(p.poll() is None for p, _ in producers.values()):
        drain()
        fds, maps = own_counts()
        most_fds, most_maps = max(most_fds, fds), max(most_maps, maps)
        if kill_times and time.monotonic() - begin >= kill_times[0]:
            kill_times.pop(0)
            victim = rng.choice(
                [pid for pid, (p, _) in producers.items() if p.poll() is None and pid not in killed]
            )
            os.kill(victim, signal.SIGKILL)
            killed.add(victim)
            start_producer(max(1.0, args.seconds - (time.monotonic() - begin)))
        time.sleep(0.005)

    # Catch up: every producer has ended, so every queue is let go once drained.
    deadline = time.monotonic() + 30
    while files_left() and time.monotonic() < deadline:
        drain()
        time.sleep(0.05)
    drain()
    left = files_left()

    # What each output file says: finished threads and full-queue lines.
    done = {}
    full_lines = {}
    for _, path in producers.values():
        text = open(path).read()
        full_lines[path] = text.count(FULL_LINE)
        for thread_pid, thread, count in DONE_LINE.findall(text):
            done[(int(thread_pid), int(thread))] = int(count)

    shutil.rmtree(outputs)
    problems = list(sequences.problems)
    lost = 0
    for kind, by_thread in sequences.seen.items():
        for key, seqs in by_thread.items():
            if any(b <= a for a, b in zip(seqs, seqs[1:])):
                problems.append(f"{kind} {key}: repeated or out of order")
            if key in done:
                lost += done[key] - len(seqs)
            elif seqs:
                lost += seqs[-1] + 1 - len(seqs)  # gaps before the last published record
    reported = sum(full_lines.values())
    if lost > reported:
        problems.append(f"{lost} records missing but only {reported} full-queue lines")
    if left:
        problems.append(f"{len(left)} files left: {[str(p) for p in left[:5]]}")
    unfinished = [key for key in done if key not in sequences.seen["counter"]]
    if unfinished:
        problems.append(f"finished threads with nothing drained: {unfinished[:5]}")
    threads_seen = len(sequences.seen["counter"])
    # Bounded: a handful of queues per live thread, never one per producer that ever existed.
    live_bound = 3 * (args.processes + args.kills) * (args.threads + 2) * 2
    if most_maps - baseline_maps > live_bound:
        problems.append(f"consumer mappings grew by {most_maps - baseline_maps}")
    if most_fds - baseline_fds > 16:
        problems.append(f"consumer descriptors grew by {most_fds - baseline_fds}")

    print(
        f"producer processes: {len(producers)} ({len(killed)} killed with SIGKILL), "
        f"producer threads seen: {threads_seen} (forked children included)"
    )
    print(f"records drained: {sequences.total}, lost: {lost}, full-queue lines: {reported}")
    print(
        f"consumer descriptors: {baseline_fds} at start, at most {most_fds}; "
        f"mappings: {baseline_maps} at start, at most {most_maps}"
    )
    print(f"files left after catching up: {len(left)}")
    for problem in problems:
        print(f"FAIL: {problem}")
    print(f"stress: {'1 passed, 0 failed' if not problems else '0 passed, 1 failed'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
