"""One producer process of the stress run: threads that come and go, and forks.

Every record's name is "<pid>.<thread>.<seq>" and its value is seq, so the consumer can tell
that each record arrived exactly once, in order, and whole. A thread that finishes prints
"DONE <pid> <thread> <count>"; full-queue lines come on the same standard output.
"""

import os
import random
import sys
import threading
import time

import zelnor_core


def record_thread(serial, count, pace):
    pid = os.getpid()
    for seq in range(count):
        key = f"{pid}.{serial}.{seq}"
        zelnor_core.inc_counter(key, seq)
        zelnor_core.observe_histogram(key, seq)
        if seq % 10 == 9:
            time.sleep(pace)
    print(f"DONE {pid} {serial} {count}", flush=True)


def forked_child(rng):
    serial = 0
    threads = []
    for _ in range(2):
        serial += 1
        threads.append(
            threading.Thread(target=record_thread, args=(serial, rng.randint(100, 1500), 0.01))
        )
        threads[-1].start()
    for thread in threads:
        thread.join()
    os._exit(0)


def main():
    seconds, max_threads, seed = float(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    live = []
    serial = 100  # forked children number their threads from 1
    children = []
    next_fork = time.monotonic() + rng.uniform(0.5, 2.0)
    while time.monotonic() < deadline:
        live = [t for t in live if t.is_alive()]
        while len(live) < max_threads:
            serial += 1
            thread = threading.Thread(
                target=record_thread, args=(serial, rng.randint(100, 3000), 0.01)
            )
            thread.start()
            live.append(thread)
        if time.monotonic() >= next_fork:
            next_fork = time.monotonic() + rng.uniform(0.5, 2.0)
            child = os.fork()
            if child == 0:
                forked_child(rng)
            children.append(child)
        children = [c for c in children if os.waitpid(c, os.WNOHANG) == (0, 0)]
        time.sleep(0.01)
    for thread in live:
        thread.join()
    for child in children:
        os.waitpid(child, 0)


if __name__ == "__main__":
    main()
