"""ns per recording call of the zelnor_core that this interpreter imports: bench/'s own loop
(bench/sections/recording.py), drained between batches, the median of the best of each round.
Compares builds, e.g. the zig wheel's module against gcc's (docs/wheels.md).

    python tools/recording_speed.py [ROUNDS]
"""

import os
import statistics
import sys
import tempfile
from pathlib import Path

sys.path[:0] = [
    str(Path(__file__).resolve().parent.parent / "bench" / name) for name in ("", "sections")
]
from common import BATCH  # noqa: E402
from recording import timed_loop  # noqa: E402


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    os.environ.setdefault("ZELNOR_METRICS_DIR", tempfile.mkdtemp(prefix="zelnor-speed-"))
    import zelnor_core

    def drain():
        zelnor_core.get_counter_entries()
        zelnor_core.get_histogram_entries()
        zelnor_core.get_gauge_entries()

    name = "http_requests_total"
    subjects = {
        "inc_counter": (zelnor_core.inc_counter, (name, 1)),
        "observe_histogram": (zelnor_core.observe_histogram, (name, 0.25)),
        "set_gauge": (zelnor_core.set_gauge, (name, 0.25)),
    }
    zelnor_core.inc_counter("warm_up", 0)
    drain()
    results = {label: [] for label in subjects}
    for _ in range(rounds):
        for label, (function, args) in subjects.items():
            best = float("inf")
            for _ in range(20):
                best = min(best, timed_loop(function, args, BATCH))
                drain()
            results[label].append(best)
    print(
        Path(zelnor_core.__file__).parent.parent.parent.parent.name,
        ", ".join(f"{label} {statistics.median(v):.1f} ns" for label, v in results.items()),
    )


if __name__ == "__main__":
    main()
