"""The bare Python drain loop: calls the three getters every INTERVAL seconds and discards the
lists. It says "ready" once it is the directory's consumer, waits SETTLE seconds (default 1) for
producers to start, then drains for SECONDS seconds and prints how many entries it got and the
CPU seconds it spent.

    python drain_loop.py INTERVAL SECONDS [SETTLE]
"""

import sys
import time

import zelnor_core


def drain():
    return (
        len(zelnor_core.get_counter_entries())
        + len(zelnor_core.get_histogram_entries())
        + len(zelnor_core.get_gauge_entries())
    )


interval, seconds = float(sys.argv[1]), float(sys.argv[2])
settle = float(sys.argv[3]) if len(sys.argv) > 3 else 1.0
drain()
print("ready", flush=True)
time.sleep(settle)
drain()  # attaches what the producers made meanwhile
total, cpu, deadline = 0, time.process_time(), time.monotonic() + seconds
while time.monotonic() < deadline:
    total += drain()
    time.sleep(interval)
print(total, time.process_time() - cpu, flush=True)
