"""The bare Python drain loop: calls the three getters every INTERVAL seconds and discards the
lists. It says "ready" once it is the directory's consumer, lets producers start for a second,
then drains for SECONDS seconds and prints how many entries it got and the CPU seconds it spent.

    python drain_loop.py INTERVAL SECONDS
"""

import sys
import time

import zelnor_core


def drain():
    return (len(zelnor_core.get_counter_entries()) + len(zelnor_core.get_histogram_entries())
            + len(zelnor_core.get_gauge_entries()))


interval, seconds = float(sys.argv[1]), float(sys.argv[2])
drain()
print("ready", flush=True)
time.sleep(1)
drain()  # attaches what the producers made meanwhile
total, cpu, deadline = 0, time.process_time(), time.monotonic() + seconds
while time.monotonic() < deadline:
    total += drain()
    time.sleep(interval)
print(total, time.process_time() - cpu, flush=True)
