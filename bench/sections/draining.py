"""ns per drained entry, against building as many pybind11 objects in one list."""

import statistics
import threading
import time

from common import BATCH, section_main


def measure(rounds):
    import zelnor_bench_binding
    import zelnor_core

    drain_ns, floor_ns = [], []

    def run():
        zelnor_core.get_counter_entries()
        for _ in range(rounds):
            for i in range(BATCH):
                zelnor_core.inc_counter("http_requests_total", i)
            start = time.perf_counter_ns()
            entries = zelnor_core.get_counter_entries()
            drain_ns.append((time.perf_counter_ns() - start) / len(entries))
            start = time.perf_counter_ns()
            records = zelnor_bench_binding.make_records(BATCH)
            floor_ns.append((time.perf_counter_ns() - start) / len(records))
            del entries, records

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    zelnor_core.get_histogram_entries()
    zelnor_core.get_gauge_entries()
    return {"drain_ns": statistics.median(drain_ns), "floor_ns": statistics.median(floor_ns)}


if __name__ == "__main__":
    section_main(measure)
