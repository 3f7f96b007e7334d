"""The benchmark's report: the measured tables, written between the two markers of
docs/benchmarks.md (the prose around them is written by hand and left as it is), and the chart."""

import os
import sys
import time

from common import BATCH, ROOT

DOCS = ROOT / "docs"
BEGIN = "<!-- measured: begin (bench/report.py writes what lies between these markers) -->"
END = "<!-- measured: end -->"


def ratio(a, b):
    return a / b if b else float("nan")


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def met(ok):
    return "met" if ok else "missed"


PEERS = {
    "inc_counter": [
        "prometheus_client Counter.inc",
        "statsd incr (UDP)",
        "OpenTelemetry Counter.add",
    ],
    "observe_histogram": [
        "prometheus_client Histogram.observe",
        "statsd timing (UDP)",
        "OpenTelemetry Histogram.record",
    ],
    "set_gauge": ["prometheus_client Gauge.set", "statsd gauge (UDP)"],
}


def targets(results):
    recording, draining = results["recording"], results["draining"]
    floor = {
        "inc_counter": recording["physical floor (int)"],
        "observe_histogram": recording["physical floor (float)"],
        "set_gauge": recording["physical floor (float)"],
    }
    rows = []
    for function, ns in floor.items():
        value = recording[f"zelnor {function}"] / ns
        rows.append([f"{function} at most 2x the physical floor", f"{value:.2f}x", met(value <= 2)])
    fastest_peer = min(recording[label] for labels in PEERS.values() for label in labels)
    slowest_ours = max(recording[f"zelnor {f}"] for f in PEERS)
    rows.append(
        [
            "at least 15x faster than each peer's fastest call",
            f"{fastest_peer / slowest_ours:.1f}x",
            met(fastest_peer / slowest_ours >= 15),
        ]
    )
    drain_ratio = draining["drain_ns"] / draining["floor_ns"]
    rows.append(
        ["draining at most 1.15x the object floor", f"{drain_ratio:.2f}x", met(drain_ratio <= 1.15)]
    )
    if results["syscalls"]:
        extra = sum(abs(v) for v in results["syscalls"]["extra"].values())
        rows.append(
            [
                "no system call on the recording path",
                f"{extra} more in 1,000,000 calls than in 900",
                met(extra / 999100 < 1e-4),
            ]
        )
    lost = sum(r["recorded"] - r["delivered"] for r in results["end_to_end"].values())
    rows.append(["nothing lost end to end", f"{lost} lost", met(lost == 0)])
    exporter = results["exporter"]
    for kind in ("plain", "labelled"):
        value = exporter[kind]["cpu_ns_per_entry"] / exporter["loop_ns_per_entry"]
        rows.append(
            [
                f"exporter CPU per entry ({kind} names) at most 0.15x the bare drain loop's",
                f"{value:.3f}x",
                met(value <= 0.15),
            ]
        )
    slowest = min(r["rate"] for r in exporter["sustained"].values())
    dropped = sum(r["dropped"] for r in exporter["sustained"].values())
    at_start = sum(r["dropped_at_start"] for r in exporter["sustained"].values())
    rows.append(
        [
            "one exporter keeps up with 5 million entries a second, nothing dropped",
            f"at least {slowest / 1e6:.2f} million a second, {dropped:.0f} dropped "
            f"({at_start:.0f} before the window, at start)",
            met(slowest >= 4.9e6 and dropped == 0),
        ]
    )
    if "client" in results:
        rows += client_targets(results["client"])
    if "scrape" in results:
        rows += scrape_targets(results["scrape"])
    if "scrapers" in results:
        scrapers = results["scrapers"]
        rows.append(
            [
                "no record dropped while 4 clients scrape 9,000 declared histogram series back "
                "to back, another process taking a core",
                f"{scrapers['dropped']:.0f} dropped, {scrapers['served']:.0f} of "
                f"{scrapers['made']} served",
                met(scrapers["dropped"] == 0 and scrapers["served"] == scrapers["made"]),
            ]
        )
    return table(["target", "measured", ""], rows)


def scrape_targets(scrape):
    target = scrape["11000"]
    value = target["zelnor"]["scrape_ms"] / target["prometheus_client"]["scrape_ms"]
    return [
        [
            "a scrape of 11,000 series at most 0.05x prometheus_client's collector's",
            f"{value:.3f}x",
            met(value <= 0.05),
        ]
    ]


def scrapers_section(scrapers):
    return f"""### Declared series under scrapers

One process declares 9,000 histogram series of zelnor_client and observes into them in turn, 2,000
times a second; the exporter (`--interval 0.05`) uses {scrapers["quiet_cpu"]:.3f} s of CPU a
second while nobody scrapes, {scrapers["scraped_cpu"]:.3f} while four clients scrape back to back
({scrapers["scrapes"]} replies, median {scrapers["scrape_ms"]:.0f} ms) and another process takes a
core; {scrapers["served"]:.0f} of {scrapers["made"]} observations served, {scrapers["dropped"]:.0f}
records dropped.
"""


def scrape_section(scrape):
    rows = [
        [
            f"{int(series):,}",
            f"{r['prometheus_client']['scrape_ms']:.1f}",
            f"{r['zelnor']['scrape_ms']:.1f}",
            f"{ratio(r['zelnor']['scrape_ms'], r['prometheus_client']['scrape_ms']):.3f}",
            f"{r['zelnor']['bytes'] / 1e6:.2f}",
            f"{r['zelnor']['bytes_per_series']:,.0f}",
        ]
        for series, r in scrape.items()
    ]
    return f"""### Scrape cost against series

4 workers recording the same labelled counters and labelled histograms (ten counter series to
one histogram series of 15 buckets), one more process recording throughout; /metrics scraped 20
times (5 from 100,000 series on), each after the exporter's next pass, so that none shares the
reply of the one before; the median.

{
        table(
            [
                "series",
                "prometheus_client ms",
                "zelnor ms",
                "ours / its",
                "reply MB",
                "exporter bytes per series",
            ],
            rows,
        )
    }
"""


def recording_section(recording):
    floor_int = recording["physical floor (int)"]
    floor_float = recording["physical floor (float)"]
    rows = []
    for label, ns in recording.items():
        counts = any(word in label for word in ("(int)", "inc_counter", ".inc", "incr", ".add"))
        rows.append([label, f"{ns:.1f}", f"{ratio(ns, floor_int if counts else floor_float):.2f}"])
    peer_rows = [
        [function, label, f"{ratio(recording[label], recording[f'zelnor {function}']):.1f}"]
        for function, labels in PEERS.items()
        for label in labels
    ]
    return f"""### Recording call

ns per call, with the loop that calls it; ratio to the physical floor of the same value type.

{table(["subject", "ns per call", "x physical floor"], rows)}

![ns per recording call, and the exporter's CPU per entry](benchmarks.png)

How many times longer each peer's call takes than zelnor's call of the same kind:

{table(["zelnor call", "peer", "peer / zelnor"], peer_rows)}
"""


def exporter_section(exporter):
    loop = exporter["loop_ns_per_entry"]
    rows = [["bare Python drain loop (three getters, lists discarded)", f"{loop:.0f}", "1"]]
    for kind in ("plain", "labelled"):
        ns = exporter[kind]["cpu_ns_per_entry"]
        rows.append([f"zelnor-exporter, {kind} names", f"{ns:.1f}", f"{ns / loop:.3f}"])
    if "new names" in exporter:
        flood = exporter["new names"]
        ns = flood["cpu_ns_per_entry"]
        rows.append(
            [
                "zelnor-exporter, a new name in every entry "
                f"({flood['dropped']:.0f} dropped, {flood['rejected']:.0f} rejected)",
                f"{ns:.1f}",
                f"{ns / loop:.3f}",
            ]
        )
    sustained = [
        [
            count,
            f"{r['rate'] / 1e6:.2f}",
            f"{r['cpu_ns_per_entry']:.1f}",
            f"{r['dropped']:.0f}",
            f"{r['dropped_at_start']:.0f}",
            f"{r['skipped']}",
        ]
        for count, r in exporter["sustained"].items()
    ]
    headers = [
        "P",
        "million entries drained a second",
        "CPU ns per entry",
        "dropped",
        "at start",
        "skipped",
    ]
    return f"""### The exporter

CPU per entry, under {exporter["compare_rate"]:,} entries a second from 4 producer processes
(4 threads each), drained every 10 ms:

{table(["consumer", "CPU ns per entry", "x bare loop"], rows)}

5 million entries a second offered by P producer processes (32 recording threads in all), the
exporter draining every 2 ms; records dropped during the measured window, and before it, while the
producers started at full rate and the exporter attached their rings; and records the producers'
schedules skipped because the scheduler had not run a producer thread for more than 5 ms (it
makes up at most 5 ms at once):

{table(headers, sustained)}
"""


def directory_section(first_call, disk_writes):
    rows = []
    for threads in (1, 100, 1000):
        disk, tmpfs = first_call[f"{threads} disk"], first_call[f"{threads} tmpfs"]
        rows.append(
            [
                threads,
                f"{disk['seconds'] * 1e3:.1f}",
                f"{tmpfs['seconds'] * 1e3:.1f}",
                f"{disk['seconds'] / tmpfs['seconds']:.0f}x",
                f"{disk['median_call'] * 1e3:.2f}",
                f"{tmpfs['median_call'] * 1e3:.2f}",
            ]
        )
    text = f"""### Disk-backed /tmp against tmpfs

Threads making their first recording call at once (three files created, sized, reserved, mapped
and initialised each, with the interpreter lock held): ms until the last is done, and the median
call.

{
        table(
            [
                "threads",
                "disk ms",
                "tmpfs ms",
                "disk / tmpfs",
                "disk median call ms",
                "tmpfs median call ms",
            ],
            rows,
        )
    }
"""
    if disk_writes:
        write_rows = [
            [name, f"{r['during'] / 1024:.0f}", f"{r['with_sync'] / 1024:.0f}"]
            for name, r in disk_writes.items()
        ]
        text += f"""
KiB a second written to the disk behind /tmp while producer processes (4 threads each) record
50,000 entries a second each and one consumer drains: during the window, and counting a sync at
its end.

{table(["producers, directory", "KiB/s during", "KiB/s with the sync"], write_rows)}
"""
    return text


CLIENT_KINDS = {
    "Counter.inc()": "zelnor_core inc_counter",
    "Histogram.observe()": "zelnor_core observe_histogram",
    "Gauge.set()": "zelnor_core set_gauge",
    "Counter.labels('GET', '200').inc()": "zelnor_core inc_counter",
    "child.inc()": "zelnor_core inc_counter",
    "with Histogram.time()": "zelnor_core observe_histogram",
}


SCRAPES_NOTE = (
    "15 times (prometheus_client's collector reads every file at every scrape;\nthe exporter "
    "serves its running totals, rendered again only when they changed)"
)


def client_targets(client):
    def ours(call):
        return client[f"zelnor_client {call}"]

    kept = max(
        ours(call) / client[CLIENT_KINDS[call]]
        for call in ("child.inc()", "Histogram.observe()", "Gauge.set()")
    )
    labelled = ours("Counter.labels('GET', '200').inc()") / client["zelnor_core inc_counter"]
    faster = min(
        client[f"prometheus_client {call}"] / ours(call)
        for call in CLIENT_KINDS
        if f"prometheus_client {call}" in client
    )
    return [
        [
            "zelnor_client's kept child inc() / observe() / set() at most 1.5x zelnor_core's call",
            f"{kept:.2f}x at most",
            met(kept <= 1.5),
        ],
        ["Counter.labels('GET', '200').inc() at most 3x", f"{labelled:.2f}x", met(labelled <= 3)],
        [
            "each at least 10x faster than prometheus_client's multiprocess call",
            f"{faster:.1f}x at least",
            met(faster >= 10),
        ],
    ]


def client_section(client, churn):
    rows = []
    for call, raw in CLIENT_KINDS.items():
        ns = client[f"zelnor_client {call}"]
        peer = client.get(f"prometheus_client {call}")
        rows.append(
            [
                call,
                f"{ns:.1f}",
                f"{ratio(ns, client[raw]):.2f}",
                f"{peer:.0f}" if peer else "",
                f"{ratio(peer, ns):.1f}" if peer else "",
            ]
        )
    raw_rows = [[label, f"{client[label]:.1f}"] for label in sorted(set(CLIENT_KINDS.values()))]
    churn_rows = [
        [
            workers,
            f"{r['prometheus_client']['scrape_ms']:.1f}",
            r["prometheus_client"]["files"],
            f"{r['zelnor']['first_ms']:.1f} / {r['zelnor']['scrape_ms']:.1f}",
            r["zelnor"]["files"],
        ]
        for workers, r in churn.items()
    ]
    return f"""### zelnor_client

ns per call as an application writes it (the metric looked up, then the call), each kind against
zelnor_core's own call of that kind and against prometheus_client's multiprocess mode:

{table(["zelnor_client call", "ns", "x zelnor_core", "prometheus_client ns", "its / ours"], rows)}

zelnor_core's calls in the same run: {", ".join(f"{label} {ns} ns" for label, ns in raw_rows)}.

Scrape cost against worker churn: N workers forked one after the other, each recording a labelled
counter, a histogram and a gauge ten times and ending with `os._exit` (as a recycled worker
does); then /metrics scraped {SCRAPES_NOTE}, and the files left in each directory counted.

{
        table(
            [
                "workers ended",
                "prometheus_client ms",
                "its files",
                "zelnor ms (first / median)",
                "zelnor files",
            ],
            churn_rows,
        )
    }

![scrape time and files left against workers ended](benchmarks-churn.png)
"""


def draw_churn_chart(churn, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    workers = [int(w) for w in churn]
    figure, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5))
    for label, colour in (("prometheus_client", "#c64"), ("zelnor", "#2a7")):
        left.plot(
            workers,
            [churn[str(w)][label]["scrape_ms"] for w in workers],
            "o-",
            color=colour,
            label=label,
        )
        right.plot(
            workers,
            [max(churn[str(w)][label]["files"], 0.8) for w in workers],
            "o-",
            color=colour,
            label=label,
        )
    for axis, title in ((left, "median /metrics time, ms"), (right, "files left in the directory")):
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("workers ended")
        axis.set_title(title)
        axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def other_sections(results):
    draining, queue = results["draining"], results["queue"]
    text = f"""### Draining

Per entry, draining {BATCH} counter entries with `get_counter_entries()`:
{draining["drain_ns"]:.1f} ns, against {draining["floor_ns"]:.1f} ns for building the same number
of pybind11 objects in one list ({draining["drain_ns"] / draining["floor_ns"]:.2f}x).

### The native queue alone

`enqueue` {queue["enqueue_ns"]:.1f} ns and `dequeueMulti` {queue["dequeue_ns"]:.1f} ns per record
({queue["records"]:.0f} records in batches of {BATCH}, one process).
"""
    syscalls = results["syscalls"]
    if syscalls:
        text += f"""
### System calls on the recording path

`strace -f -c` of a producer process recording 900 calls, and of one recording 1,000,000 calls,
while a separate consumer drains: {syscalls["small"]} and {syscalls["large"]} system calls. The
difference: {syscalls["sleeps"]} `clock_nanosleep` (the producer's own pauses between batches) and
otherwise {syscalls["extra"] or "nothing"}; {syscalls["error_lines"]} full-queue lines.
"""
    rows = [
        [
            p,
            r["recorded"],
            r["delivered"],
            f"{r['cpu_ns_per_entry']:.0f}",
            f"{r['p50_ms']:.2f}",
            f"{r['p99_ms']:.2f}",
        ]
        for p, r in results["end_to_end"].items()
    ]
    cost = results["cost"]
    text += f"""
### End to end

P producer processes recording 20,000 histogram observations a second each, one Python consumer
draining every 10 ms; latency from the record (its value is the time it was made) to its drain.

{table(["P", "recorded", "delivered", "consumer CPU ns per entry", "p50 ms", "p99 ms"], rows)}

### Cost of a producer thread

{cost["files"]} files of {cost["bytes"] // max(cost["files"], 1)} bytes each (sparse),
{cost["blocks_bytes"] // 1024} KiB of blocks reserved in all, and {cost["rss_kib"]} KiB more
resident memory after the thread's first call.
"""
    return text


def draw_chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    recording = results["recording"]
    exporter = results["exporter"]
    figure, (left, right) = plt.subplots(
        1, 2, figsize=(13, 6), gridspec_kw={"width_ratios": [3, 2]}
    )
    labels = list(recording)
    values = [recording[label] for label in labels]
    colours = [
        "#2a7" if label.startswith("zelnor") else "#999" if "floor" in label else "#c64"
        for label in labels
    ]
    left.barh(labels[::-1], values[::-1], color=colours[::-1])
    left.set_xscale("log")
    left.set_xlabel("ns per call (log scale)")
    left.set_title("Recording one metric")
    for y, value in enumerate(values[::-1]):
        left.text(value, y, f" {value:.0f}", va="center", fontsize=8)
    consumers = ["bare drain loop", "exporter, plain names", "exporter, labelled names"]
    cpu = [
        exporter["loop_ns_per_entry"],
        exporter["plain"]["cpu_ns_per_entry"],
        exporter["labelled"]["cpu_ns_per_entry"],
    ]
    right.barh(consumers[::-1], cpu[::-1], color=["#2a7", "#2a7", "#c64"])
    right.set_xlim(0, max(cpu) * 1.15)  # linear: the ratio to the loop is the result
    right.set_xlabel("consumer CPU ns per entry")
    right.set_title("Draining and aggregating")
    for y, value in enumerate(cpu[::-1]):
        right.text(value, y, f" {value:.0f}", va="center", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def write(results):
    uname = os.uname()
    measured = f"""{BEGIN}

Measured by `python3 bench/run.py` on {time.strftime("%Y-%m-%d")}: {uname.sysname}
{uname.release} {uname.machine}, {os.cpu_count()} cores, Python {sys.version.split()[0]}.

### Targets

{targets(results)}

{recording_section(results["recording"])}
{exporter_section(results["exporter"])}
{directory_section(results["first_call"], results["disk_writes"])}
{other_sections(results)}
{client_section(results["client"], results["churn"])}
{scrape_section(results["scrape"]) if "scrape" in results else ""}
{scrapers_section(results["scrapers"]) if "scrapers" in results else ""}
{END}"""
    DOCS.mkdir(exist_ok=True)
    page = DOCS / "benchmarks.md"
    text = page.read_text() if page.exists() else f"# Benchmarks\n\n{BEGIN}\n{END}\n"
    head, _, rest = text.partition(BEGIN)
    _, _, tail = rest.partition(END)
    page.write_text(head + measured + tail)
    draw_chart(results, DOCS / "benchmarks.png")
    draw_churn_chart(results["churn"], DOCS / "benchmarks-churn.png")
    return measured
