"""Records between a 32-bit and a 64-bit interpreter, both ways, bit for bit: one width records and
the other drains, and a consumer of one width is killed and its queues adopted by the other.

Runs when ZELNOR_OTHER_PYTHONS names an interpreter of the other width with zelnor_core installed
(tests/interpreters.sh does).
"""

import json
import os
import signal
import struct
import subprocess
import sys

import pytest

WIDTH = 8 * struct.calcsize("P")


def other_width_python():
    for candidate in os.environ.get("ZELNOR_OTHER_PYTHONS", "").split(":"):
        if not candidate:
            continue
        probe = subprocess.run(
            [candidate, "-c", "import struct, zelnor_core\nprint(8 * struct.calcsize('P'))"],
            capture_output=True,
            text=True,
        )
        if probe.returncode == 0 and int(probe.stdout) != WIDTH:
            return candidate
    pytest.skip("no interpreter of the other width named in ZELNOR_OTHER_PYTHONS")


COUNTERS = [
    ("c.max", 2147483647),
    ("c.min", -2147483648),
    ("c.zero", 0),
    ("c" * 63, -1),
    ("d" * 80, 7),
]
DOUBLES = {
    "zero": "0000000000000000",
    "negative zero": "8000000000000000",
    "smallest subnormal": "0000000000000001",
    "largest subnormal": "000fffffffffffff",
    "infinity": "7ff0000000000000",
    "negative infinity": "fff0000000000000",
    "quiet NaN with payload": "7ff8000000000123",
    "negative quiet NaN": "fff8000000000001",
    "signalling NaN": "7ff0000000000001",
}

PRODUCER = r"""
import json, struct, sys, threading, zelnor_core
counters, doubles = json.loads(sys.argv[1]), json.loads(sys.argv[2])
def record():
    for phase in sys.stdin:  # a phase's name per line; the same thread records every phase
        phase = phase.strip()
        for name, value in counters:
            zelnor_core.inc_counter(phase + name, value)
        for name, bits in doubles.items():
            value = struct.unpack("<d", bytes.fromhex(bits)[::-1])[0]
            zelnor_core.observe_histogram(phase + name, value)
            zelnor_core.set_gauge(phase + name, value)
        print("recorded", flush=True)
thread = threading.Thread(target=record)
thread.start(); thread.join()
"""

CONSUMER = r"""
import json, struct, sys, zelnor_core
expected, got = int(sys.argv[1]), []
while len(got) < expected:
    got += [["counter", e.name, e.value] for e in zelnor_core.get_counter_entries()]
    for kind, getter in (("histogram", zelnor_core.get_histogram_entries),
                         ("gauge", zelnor_core.get_gauge_entries)):
        got += [[kind, e.name, struct.pack("<d", e.value)[::-1].hex()] for e in getter()]
print(json.dumps(got), flush=True)
sys.stdin.readline()  # stays, its queues attached, until told or killed
"""

COUNT = len(COUNTERS) + 2 * len(DOUBLES)


def quietened(bits):
    """What a 32-bit CPython float makes of a signalling NaN: its x87 loads quieten it."""
    value = int(bits, 16)
    if (value >> 52) & 0x7FF == 0x7FF and value & 0xFFFFFFFFFFFFF and not value >> 51 & 1:
        value |= 1 << 51
    return f"{value:016x}"


def expected(phase, through_32_bit):
    records = [["counter", (phase + name)[:63], value] for name, value in COUNTERS]
    for kind in ("histogram", "gauge"):
        records += [
            [kind, phase + name, quietened(bits) if through_32_bit else bits]
            for name, bits in DOUBLES.items()
        ]
    return sorted(records)


class Side:
    """A producer or consumer process of one interpreter, in the test's metrics directory."""

    def __init__(self, python, directory, script, *args):
        self.python = python
        self.process = subprocess.Popen(
            [python, "-c", script, *map(str, args)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env={**os.environ, "ZELNOR_METRICS_DIR": str(directory)},
        )

    def say(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def hear(self):
        return self.process.stdout.readline()

    def end(self, signum=None):
        if signum is not None:
            self.process.send_signal(signum)
        else:
            self.process.stdin.close()
        self.process.wait(timeout=60)


def thirty_two(python, other):
    """Whether `python`, this interpreter or `other` (always of the other width), is 32-bit."""
    return (python == other) == (WIDTH == 64)


@pytest.mark.parametrize("producer_is_other", [False, True], ids=["this records", "other records"])
def test_records_cross_widths_exactly(tmp_path, producer_is_other):
    other = other_width_python()
    producer_python, consumer_python = (
        (other, sys.executable) if producer_is_other else (sys.executable, other)
    )
    producer = Side(producer_python, tmp_path, PRODUCER, json.dumps(COUNTERS), json.dumps(DOUBLES))
    consumer = Side(consumer_python, tmp_path, CONSUMER, COUNT)
    try:
        producer.say("p.")
        assert producer.hear() == "recorded\n"
        assert sorted(json.loads(consumer.hear())) == expected("p.", through_32_bit=True)
    finally:
        producer.end()
        consumer.end()


@pytest.mark.parametrize("first_is_other", [False, True], ids=["this first", "other first"])
def test_a_killed_consumer_of_one_width_is_succeeded_by_one_of_the_other(tmp_path, first_is_other):
    other = other_width_python()
    first_python, then_python = (
        (other, sys.executable) if first_is_other else (sys.executable, other)
    )
    producer = Side(sys.executable, tmp_path, PRODUCER, json.dumps(COUNTERS), json.dumps(DOUBLES))
    try:
        first = Side(first_python, tmp_path, CONSUMER, COUNT)
        producer.say("a.")
        assert producer.hear() == "recorded\n"
        assert sorted(json.loads(first.hear())) == expected(
            "a.", through_32_bit=thirty_two(first_python, other) or WIDTH == 32
        )
        producer.say("b.")  # waits in the rings the first consumer attached
        assert producer.hear() == "recorded\n"
        first.end(signal.SIGKILL)
        successor = Side(then_python, tmp_path, CONSUMER, COUNT)
        assert sorted(json.loads(successor.hear())) == expected(
            "b.", through_32_bit=thirty_two(then_python, other) or WIDTH == 32
        )
        successor.end()
    finally:
        producer.end()
