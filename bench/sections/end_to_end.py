"""P producer processes at a fixed rate each, one Python consumer draining every 10 ms: what
arrives, how late, and the consumer's CPU per entry."""

import subprocess
import time

from common import python, section_main


def measure(producers, rate, seconds):
    import zelnor_core

    zelnor_core.get_histogram_entries()
    processes = [
        python("latency_producer.py", rate, seconds, stdout=subprocess.PIPE, text=True)
        for _ in range(producers)
    ]
    latencies = []
    delivered = 0
    cpu_start = time.process_time()

    def drain():
        nonlocal delivered
        entries = zelnor_core.get_histogram_entries()
        now = time.monotonic()
        delivered += len(entries)
        latencies.extend(now - entry.value for entry in entries)

    while any(p.poll() is None for p in processes):
        drain()
        time.sleep(0.01)
    for _ in range(3):
        drain()
        time.sleep(0.01)
    cpu = time.process_time() - cpu_start
    recorded = sum(int(p.stdout.read()) for p in processes)
    latencies.sort()
    zelnor_core.get_counter_entries()
    zelnor_core.get_gauge_entries()
    return {
        "recorded": recorded,
        "delivered": delivered,
        "cpu_ns_per_entry": cpu * 1e9 / max(delivered, 1),
        "p50_ms": latencies[len(latencies) // 2] * 1e3 if latencies else None,
        "p99_ms": latencies[int(len(latencies) * 0.99)] * 1e3 if latencies else None,
    }


if __name__ == "__main__":
    section_main(measure)
