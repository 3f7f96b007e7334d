"""THREADS threads each make their first recording call at once (three files created, sized,
reserved and mapped, with the interpreter lock held); prints the seconds until the last is done
and the median call.

    python first_calls.py THREADS
"""

import json
import statistics
import sys
import threading
import time

import zelnor_core

count = int(sys.argv[1])
barrier = threading.Barrier(count + 1)
durations = []


def first_call():
    barrier.wait()
    start = time.perf_counter()
    zelnor_core.inc_counter("first", 1)
    durations.append(time.perf_counter() - start)


threads = [threading.Thread(target=first_call) for _ in range(count)]
for thread in threads:
    thread.start()
barrier.wait()
start = time.perf_counter()
for thread in threads:
    thread.join()
print(
    json.dumps(
        {"seconds": time.perf_counter() - start, "median_call": statistics.median(durations)}
    )
)
