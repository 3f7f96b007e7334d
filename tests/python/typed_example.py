"""A small typed program using zelnor_core, checked with mypy --strict by the tests."""

import zelnor_core


def record(path: str, seconds: float) -> None:
    zelnor_core.inc_counter("http_requests", 1)
    zelnor_core.inc_counter(b"raw_bytes_name", 2)
    zelnor_core.observe_histogram("latency_seconds", seconds)
    zelnor_core.set_gauge("last_path_length", len(path))


def totals() -> dict[str, int]:
    sums: dict[str, int] = {}
    for entry in zelnor_core.get_counter_entries():
        sums[entry.name] = sums.get(entry.name, 0) + entry.value
    return sums


def largest_observation() -> float:
    values = [entry.value for entry in zelnor_core.get_histogram_entries()]
    gauges: list[zelnor_core.GaugeEntry] = zelnor_core.get_gauge_entries()
    return max(values + [gauge.value for gauge in gauges], default=0.0)
