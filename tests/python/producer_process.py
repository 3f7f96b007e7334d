"""A producer in a process of its own, driven over stdin by the tests: one recording thread, which
lives as long as the process, records what each line says and then answers "ok".

    KIND NAME VALUE TIMES

KIND is c (inc_counter), h (observe_histogram), g (set_gauge), n (a numbered sequence of
counter records VALUE, VALUE + 1, ...) or s (TIMES series: one counter record of 1 under each of
NAME + str(i), i from VALUE on). A VALUE of "0x" and 16 hex digits is a double's exact bits.
Everything else the process writes on stdout is the module's (full-queue lines).
"""

import queue
import struct
import sys
import threading

import zelnor_core

RECORD = {
    "c": zelnor_core.inc_counter,
    "h": zelnor_core.observe_histogram,
    "g": zelnor_core.set_gauge,
}


def value_of(kind, text):
    if text.startswith("0x"):
        return struct.unpack(">d", bytes.fromhex(text[2:]))[0]
    return int(text) if kind in "cns" else float(text)


def work(jobs):
    while True:
        kind, name, value, times = jobs.get()
        if kind == "n":
            for number in range(value, value + times):
                zelnor_core.inc_counter(name, number)
        elif kind == "s":
            for number in range(value, value + times):
                zelnor_core.inc_counter(f"{name}{number}", 1)
        else:
            for _ in range(times):
                RECORD[kind](name, value)
        print("ok", flush=True)


jobs = queue.Queue()
threading.Thread(target=work, args=(jobs,), daemon=True).start()
for line in sys.stdin:
    kind, name, value, times = line.split()
    jobs.put((kind, name, value_of(kind, value), int(times)))
