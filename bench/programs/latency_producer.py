"""Records RATE histogram observations a second for SECONDS seconds, each holding the time it was
made, and prints how many it recorded.

    python latency_producer.py RATE SECONDS
"""

import sys
import threading
import time

import zelnor_core


def run(rate, seconds):
    sent = 0
    start = time.monotonic()
    while True:
        now = time.monotonic()
        if now - start >= seconds:
            break
        due = int((now - start) * rate)
        while sent < due:
            zelnor_core.observe_histogram("latency", time.monotonic())
            sent += 1
        time.sleep(0.001)
    print(sent, flush=True)


thread = threading.Thread(target=run, args=(float(sys.argv[1]), float(sys.argv[2])))
thread.start()
thread.join()
