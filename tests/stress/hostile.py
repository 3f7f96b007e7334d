"""Hostile directory: thousands of entries of every kind mixed with live producers.

    python tests/stress/hostile.py [--entries 10000] [--seconds 15]

Plants empty files, truncated and oversized queue files, garbage headers, FIFOs, directories,
symbolic links and hard links to files elsewhere, and names of no known kind, all in the
machine's metrics directory, while producer processes record known sequences. Meanwhile, when
run as root, an unprivileged user races the consumer for its state: renames `.consumer` away and
puts a symbolic link to a directory elsewhere in its place, and tries to rename, unlink and
replace what is inside it. One consumer drains throughout. Checks that the consumer survives,
that it changes nothing but the regular queue-named files it attached (every other entry, every
link target and the directory elsewhere stay byte for byte as they were), and that every record
of the live producers arrives exactly once. Cleans up after itself.

Before that, as root: a zelnor-exporter drains two producers while the unprivileged user renames
`.consumer` away and makes a `.consumer` of its own. The exporter must end with exit code 1 and
hand the rings it held back, so that the consumer that takes over (this process, once the
planted `.consumer` is gone) receives everything those producers record from then on.
"""

import argparse
import fcntl
import hashlib
import os
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections import Counter
from pathlib import Path

import zelnor_core

DIRECTORY = Path("/tmp/metrics_collector")
# The tests' producer program: one recording thread per process, driven over stdin.
PRODUCER = Path(__file__).resolve().parent.parent / "python" / "producer_process.py"


def feed(live, per_thread):
    """Records each live producer's numbered sequence in steps of 20, 20 ms apart: well within
    what a ring holds between two drains."""
    for start in range(0, per_thread, 20):
        for name, process in live.items():
            process.stdin.write(f"n {name} {start} 20\n")
            process.stdin.flush()
        for process in live.values():
            while process.stdout.readline() not in ("ok\n", ""):
                pass
        time.sleep(0.02)


# Runs as "nobody": races the consumer for its state directory until told to stop on stdin.
ATTACKER = r"""
import os, select, sys
metrics, elsewhere = sys.argv[1], sys.argv[2]
state = os.path.join(metrics, ".consumer")
renamed = refused = 0
while not select.select([sys.stdin], [], [], 0.002)[0]:
    try:
        for name in os.listdir(state):
            inner = os.path.join(state, name)
            for attempt in (lambda: os.rename(inner, inner + ".stolen"),
                            lambda: os.unlink(inner),
                            lambda: os.symlink(elsewhere, os.path.join(state, "planted"))):
                try:
                    attempt()
                    print("CHANGED", inner, flush=True)
                except OSError:
                    refused += 1
        os.rename(state, f"{state}.stolen.{os.getpid()}.{renamed}")
        os.symlink(elsewhere, state)
        renamed += 1
    except OSError:
        pass
print(f"ATTACKER renamed {renamed} refused {refused}", flush=True)
"""


def start_producer():
    return subprocess.Popen(
        [sys.executable, str(PRODUCER)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )


def hand_over(problems):
    """An exporter drains two producers until the unprivileged user replaces `.consumer`; returns
    the producers, whose rings the next consumer must get (none when this cannot act as another
    user)."""
    interpreter = shutil.which("python3", path="/usr/bin:/bin")
    if os.geteuid() != 0 or interpreter is None:
        return {}
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    exporter = subprocess.Popen(
        [sys.executable, "-m", "zelnor_exporter", "--address", "127.0.0.1", "--port", str(port)],
        stdout=subprocess.PIPE,
        text=True,
        env={k: v for k, v in os.environ.items() if k != "ZELNOR_METRICS_DIR"},
    )
    exporter.stdout.readline()
    exporter.stdout.readline()
    producers = {f"handover{p}": start_producer() for p in range(2)}
    try:
        for name, process in producers.items():
            process.stdin.write(f"n {name}_before 0 500\n")
            process.stdin.flush()
            while process.stdout.readline() not in ("ok\n", ""):
                pass
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:  # until the exporter holds both producers' rings
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as reply:
                if reply.read().decode().count("_before_total 500.0\n") == 2:
                    break
            time.sleep(0.05)
        state = DIRECTORY / ".consumer"
        replace = f"import os; os.rename('{state}', '{state}.stolen.handover'); os.mkdir('{state}')"
        subprocess.run([interpreter, "-c", replace], user=65534, group=65534, check=True)
        try:
            code = exporter.wait(timeout=30)
        except subprocess.TimeoutExpired:
            code = None
        if code != 1:
            problems.append(f"the refused exporter ended with {code}, not 1")
        shutil.rmtree(state)  # the second user's; this process takes over
    except BaseException:
        for process in producers.values():
            process.kill()
            process.wait()
        raise
    finally:
        if exporter.poll() is None:
            exporter.kill()
        exporter.wait()
        exporter.stdout.close()
    return producers


def start_attacker(elsewhere):
    """The unprivileged racer, or None when this process cannot act as another user. It runs on
    the system's interpreter, which "nobody" may execute (a root-only pyenv one it may not)."""
    interpreter = shutil.which("python3", path="/usr/bin:/bin")
    if os.geteuid() != 0 or interpreter is None:
        return None
    return subprocess.Popen(
        [interpreter, "-c", ATTACKER, str(DIRECTORY), str(elsewhere)],
        user=65534,
        group=65534,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )


def fingerprint(path):
    """What must not change: type, link target, size and content."""
    info = os.lstat(path)
    if stat.S_ISLNK(info.st_mode):
        return ("link", os.readlink(path))
    if stat.S_ISREG(info.st_mode):
        with open(path, "rb") as f:
            return ("file", info.st_size, info.st_nlink, hashlib.sha256(f.read()).hexdigest())
    return (stat.S_IFMT(info.st_mode), info.st_size)


def plant(count, elsewhere, first=0):
    """Creates `count` hostile entries; returns those the consumer must leave untouched."""
    rng = __import__("random").Random(7)
    target = elsewhere / f"private{first}"
    target.write_bytes(b"not yours\n" * 100)
    untouched = [target]
    kinds = Counter()
    for i in range(first, first + count):
        kind = i % 10
        prefix = ("counter", "histogram", "gauge")[i % 3]
        path = DIRECTORY / f"{prefix}.hostile{i}"
        if kind == 0:
            path.touch()  # empty: attached, never ready, let go
            kinds["empty file"] += 1
        elif kind == 1:
            path.write_bytes(struct.pack("<BBxxII", 1, 0, 5, 0) + b"\x01" * 88)  # truncated
            kinds["truncated queue file"] += 1
        elif kind == 2:
            with open(path, "wb") as f:  # oversized, garbage header
                f.write(rng.randbytes(64))
                f.truncate(3 * 1024 * 1024)
            kinds["oversized queue file"] += 1
        elif kind == 3:
            with open(path, "wb") as f:  # ready, with impossible indices
                f.write(
                    struct.pack(
                        "<BBxxII", 1, 0, rng.randrange(1000, 1 << 32), rng.randrange(1 << 32)
                    )
                    + rng.randbytes(200)
                )
                f.truncate(2 * 1024 * 1024)
            kinds["garbage header"] += 1
        elif kind == 4:
            os.mkfifo(path)
            kinds["FIFO"] += 1
            untouched.append(path)
        elif kind == 5:
            path.mkdir()
            kinds["directory"] += 1
            untouched.append(path)
        elif kind == 6:
            path.symlink_to(target)
            kinds["symbolic link"] += 1
            untouched.append(path)
        elif kind == 7:
            os.link(target, path)
            kinds["hard link"] += 1
            untouched.append(path)
        elif kind == 8:
            path = DIRECTORY / f"Unknown.hostile{i}"
            path.write_bytes(b"x")
            kinds["unknown name"] += 1
            untouched.append(path)
        else:
            path.symlink_to(elsewhere / f"dangling{i}")
            kinds["dangling symbolic link"] += 1
            untouched.append(path)
    return untouched, kinds


def stop_attacker(attacker):
    """Stops the racer; returns the lines it wrote (None if it was not running)."""
    if attacker is None or attacker.poll() is not None:
        return None
    out, _ = attacker.communicate("stop\n", timeout=30)
    return out.splitlines()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=10000)
    parser.add_argument("--seconds", type=float, default=15)
    args = parser.parse_args()
    lock = open("/tmp/zelnor-tests.lock", "a+")
    fcntl.flock(lock, fcntl.LOCK_EX)
    DIRECTORY.mkdir(exist_ok=True)
    elsewhere = Path(tempfile.mkdtemp(prefix="zelnor-hostile-"))
    target = Path(tempfile.mkdtemp(prefix="zelnor-hostile-target-"))  # where the links point
    os.chmod(target, 0o755)
    problems = []
    attacker = None
    live = {}
    try:
        handed_over = hand_over(problems)
        # Half is there before the consumer starts, half arrives while it drains.
        untouched, kinds = plant(args.entries // 2, elsewhere)
        before = {path: fingerprint(path) for path in untouched}
        got = {}

        def drain():
            for entry in zelnor_core.get_counter_entries():
                got.setdefault(entry.name, []).append(entry.value)
            zelnor_core.get_histogram_entries()
            zelnor_core.get_gauge_entries()

        drain()
        before[target] = []
        attacker = start_attacker(target)
        per_thread = 2000
        live = {f"live{p}.{t}": start_producer() for p in range(2) for t in range(4)}
        live.update(handed_over)  # their rings reach this consumer only if they were handed back
        feeder = threading.Thread(target=feed, args=(live, per_thread))
        feeder.start()
        second_half = {}
        planter = threading.Thread(
            target=lambda: second_half.update(
                zip(
                    ("untouched", "kinds"),
                    plant(args.entries - args.entries // 2, elsewhere, args.entries // 2),
                )
            )
        )
        planter.start()
        while planter.is_alive():
            drain()
            time.sleep(0.01)
        untouched += second_half["untouched"]
        kinds += second_half["kinds"]
        before.update({path: fingerprint(path) for path in second_half["untouched"]})

        # Drain at least --seconds, and until every junk file attached has been let go (those
        # never ready go after ten seconds). The attacker stops halfway.
        deadline = time.monotonic() + args.seconds
        while time.monotonic() < deadline - args.seconds / 2:
            drain()
            time.sleep(0.01)
        attack = stop_attacker(attacker)
        while time.monotonic() < deadline or (
            list(DIRECTORY.glob(".consumer/attached.*/*hostile*"))
            and time.monotonic() < deadline + 20
        ):
            drain()
            time.sleep(0.01)
        feeder.join()
        for process in live.values():
            process.stdin.close()
            if process.wait(timeout=60) != 0:
                problems.append("a producer failed")
        # The producers closed their queues on the way out: the next drains let them go.
        ours = f".consumer/attached.{os.getpid()}.*/*"
        settle = time.monotonic() + 10
        while list(DIRECTORY.glob(ours)) and time.monotonic() < settle:
            drain()
            time.sleep(0.05)
        if list(DIRECTORY.glob(ours)):
            problems.append(f"{len(list(DIRECTORY.glob(ours)))} ended producers' files still kept")
        for name in live:
            if got.get(name) != list(range(per_thread)):
                problems.append(f"{name}: {len(got.get(name, []))} records")
        changed = [
            str(path)
            for path, print_ in before.items()
            if (sorted(os.listdir(path)) if path == target else fingerprint(path)) != print_
        ]
        if attack is not None:
            problems += [
                f"the attacker changed {line.split()[1]}"
                for line in attack
                if line.startswith("CHANGED")
            ]
        if changed:
            problems.append(f"{len(changed)} entries changed: {changed[:5]}")
        attached_left = [
            p
            for p in DIRECTORY.iterdir()
            if p.name.split(".")[0] in ("counter", "histogram", "gauge")
            and p.is_file()
            and not p.is_symlink()
            and os.lstat(p).st_nlink == 1
        ]
        if attached_left:
            problems.append(f"{len(attached_left)} plain queue files never attached")
        kept = list(DIRECTORY.glob(".consumer/attached.*/*hostile*"))
        if kept:
            problems.append(f"{len(kept)} attached junk files never let go")
        print("planted: " + ", ".join(f"{n} {kind}" for kind, n in sorted(kinds.items())))
        print(
            f"live records: {sum(len(got.get(name, [])) for name in live)} "
            f"of {len(live) * per_thread} drained; untouched entries checked: {len(before)}"
        )
        if handed_over:
            print(
                "hand-over: the exporter whose .consumer the second user replaced ended, and "
                f"{sum(len(got.get(name, [])) for name in handed_over)} of "
                f"{len(handed_over) * per_thread} records recorded afterwards reached its successor"
            )
        summary = [line for line in attack or [] if line.startswith("ATTACKER")]
        print(summary[0] if summary else "attacker: not run (needs root to act as another user)")
    finally:
        stop_attacker(attacker)
        for process in live.values():
            if process.poll() is None:
                process.kill()
                process.wait()
        for path in DIRECTORY.iterdir():
            if path.name.startswith(".consumer.stolen") and not path.is_symlink():
                shutil.rmtree(path)
            elif ".hostile" in path.name or path.name.startswith(".consumer.stolen"):
                if path.is_dir() and not path.is_symlink():
                    shutil.rmtree(path)
                else:
                    path.unlink()
        shutil.rmtree(elsewhere)
        shutil.rmtree(target)
    for problem in problems:
        print(f"FAIL: {problem}")
    print(f"hostile: {'1 passed, 0 failed' if not problems else '0 passed, 1 failed'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
