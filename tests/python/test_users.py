"""Users of one shared metrics directory (0777): what another user's processes declare and record
there never changes what is served for the application, nor grows the exporter without bound."""

import os
import subprocess
import sys
import time

from support import AS_NOBODY, Exporter


def spawn(directory, role, user=()):
    return subprocess.Popen(
        [*user, sys.executable, "-c", SCRIPT, role],
        env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )


def rejected(got, reason):
    return got.get(("zelnor_exporter_rejected_entries_total", (("reason", reason),)), 0)


# What each process does, by its first argument: the application records a series it had ("/")
# and one new each time ("/100", then "/1"); an intruder declares the application's families
# exactly as it does, clears the counter (when told), writes the Enum and the gauge, and again
# with the greatest key there is; a flood declares about 15 MiB of series in a file it holds,
# half of the application's family (refused), half of a family of its own (over and over the
# same 1,000 label values).
SCRIPT = """
import os, sys
import zelnor_client, zelnor_core
from zelnor_client import _native
counter = zelnor_client.Counter("owned", "Requests served.", ["route"])
state = zelnor_client.Enum("owned_state", "What it does.", states=["up", "down"])
latest = zelnor_client.Gauge("owned_latest", "Its latest value.", multiprocess_mode="mostrecent")
def ids():  # what this process's declaration file says: family ids, series ids, by name
    producers = os.path.join(os.environ["ZELNOR_METRICS_DIR"], ".producers")
    (mine,) = [
        name for name in os.listdir(producers)
        if name.startswith(f"{os.getpid()}.") and not name.endswith(".state")
    ]
    lines = [line.split("\\t") for line in open(os.path.join(producers, mine)).read().split("\\n")]
    families = {f[3]: int(f[1]) for f in lines if f[0] == "F"}
    names = {str(i): name for name, i in families.items()}
    return families, {names[f[2]]: int(f[1]) for f in lines if f[0] == "S"}
if sys.argv[1] == "app":
    for amount in (100, 1):
        counter.labels("/").inc(amount)
        counter.labels(f"/{amount}").inc()
        state.state("up")
        latest.set(amount)
        print("recorded", flush=True)
        sys.stdin.readline()
elif sys.argv[1] == "flood":
    zelnor_client.Counter("flood", "Its own.", ["n"])
    families, next_id = ids()[0], 1 << 40
    for family in ["owned"] * 7 + ["flood"] * 7:
        lines = [f"S\\t{next_id + i}\\t{families[family]}\\t{i % 1000}\\n" for i in range(50_000)]
        next_id += len(lines)
        _native.declare("".join(lines).encode())
    print("written", flush=True)
    sys.stdin.readline()
else:
    if sys.argv[1] == "clear":
        counter.clear()
    state.state("down")
    latest.set(666)
    for op, name, value in ((b"e", "owned_state", 1), (b"g", "owned_latest", 666)):
        zelnor_core.set_gauge(b"\\x01%s%x:ffffffffffffffff" % (op, ids()[1][name]), value)
"""

ROUTE = ("owned_total", (("route", "/"),))


def test_another_users_declarations_and_keys_far_ahead_change_nothing_served(shared_directory):
    """nobody declares the application's families as it does, clears its counter and writes its
    Enum and mostrecent gauge with the greatest key, then exits; root (whom the families admit)
    writes such keys too. The application's next records are served as it made them."""
    exporter = Exporter("--interval", "0.05", "--directory", str(shared_directory))
    app = spawn(shared_directory, "app")
    try:
        assert app.stdout.readline() == "recorded\n"
        assert exporter.scrape_until(lambda got: got.get(ROUTE) == 100)
        spawn(shared_directory, "clear", user=AS_NOBODY).wait()
        # Every record of nobody's is refused: the clear, two writes, two with the greatest key.
        exporter.scrape_until(
            lambda got: rejected(got, "declaration_conflict") >= 5 or got.get(ROUTE) != 100
        )
        spawn(shared_directory, "intrude").wait()
        exporter.scrape_until(
            lambda got: rejected(got, "key_ahead") >= 2 or got.get(("owned_latest", ())) == 666
        )
        app.stdin.write("\n")
        app.stdin.flush()
        assert app.stdout.readline() == "recorded\n"
        expected = {
            ROUTE: 101,
            ("owned_state", (("owned_state", "up"),)): 1,
            ("owned_state", (("owned_state", "down"),)): 0,
            ("owned_latest", ()): 1,
        }
        got = exporter.scrape_until(lambda got: all(got.get(k) == v for k, v in expected.items()))
        assert {key: got.get(key) for key in expected} == expected
        assert rejected(got, "declaration_conflict") >= 5
        assert rejected(got, "key_ahead") == 2
    finally:
        app.stdin.close()
        app.wait(timeout=30)
        exporter.stop()


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(next(line for line in status if line.startswith("VmRSS:")).split()[1]) / 1024


def test_declaration_files_of_another_user_keep_the_exporter_bounded(shared_directory):
    """Eight processes of nobody's hold declaration files of about 15 MiB each, of refused series
    and of series of their own: the exporter keeps what one user may, refuses the rest with a
    reason it counts, and serves the application's series, old and new."""
    budget_mib, refused_at_least = 16, 8 * 350_000 - 16 * 2**20 // 64
    options = f"--interval 0.05 --max-declared-mib {budget_mib} --directory".split()
    exporter = Exporter(*options, str(shared_directory))
    app = spawn(shared_directory, "app")
    floods = []
    try:
        assert app.stdout.readline() == "recorded\n"
        assert exporter.scrape_until(lambda got: got.get(ROUTE) == 100)
        before = resident_mib(exporter.process.pid)
        floods = [spawn(shared_directory, "flood", user=AS_NOBODY) for _ in range(8)]
        assert [flood.stdout.readline() for flood in floods] == ["written\n"] * 8
        # Read to the end once what is refused for the budget is all there and stops growing.
        counts = [-2.0, -1.0]
        while len(counts) < 240 and (counts[-1] < refused_at_least or counts[-1] != counts[-3]):
            time.sleep(0.5)
            counts.append(rejected(exporter.scrape(), "user_budget"))
        grown = resident_mib(exporter.process.pid) - before
        app.stdin.write("\n")
        app.stdin.flush()
        assert app.stdout.readline() == "recorded\n"
        expected = {ROUTE: 101, ("owned_total", (("route", "/1"),)): 1, ("owned_latest", ()): 1}
        got = exporter.scrape_until(lambda got: all(got.get(k) == v for k, v in expected.items()))
        assert {key: got.get(key) for key in expected} == expected
        assert grown < 3 * budget_mib, f"the exporter grew by {grown:.0f} MiB"
        assert counts[-1] >= refused_at_least, counts
    finally:
        for process in (app, *floods):
            process.stdin.close()
            process.wait(timeout=30)
        exporter.stop()
