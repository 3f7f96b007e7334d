"""Makes a table of recording calls of every argument type against the zelnor_core it imports,
and prints their outcomes and what was drained, as JSON (test_fast_path.py runs it twice).

    python fast_path_table.py MARKER
"""

import decimal
import fractions
import json
import re
import sys
import threading

import zelnor_core
from support import Bad, FloatLike, Index

M = sys.argv[1]


class S(str):
    pass


class B(bytes):
    pass


class Int(int):
    pass


class F(float):
    pass


names = [
    M + "s",
    (M + "b").encode(),
    bytearray((M + "ba").encode()),
    S(M + "sub"),
    B((M + "bsub").encode()),
    M + "x" * 80,
    M + "é" * 40,
    M + "nul\0tail",
    M + "\udc80",
    None,
    5,
    memoryview((M + "mv").encode()),
]
values = [
    0,
    1,
    -1,
    2**31 - 1,
    -(2**31),
    2**31,
    -(2**31) - 1,
    2**64,
    10**400,
    True,
    False,
    Int(7),
    Index(3),
    Index(2**40),
    Bad(),
    1.0,
    -2.5,
    F(1.5),
    float("nan"),
    float("inf"),
    decimal.Decimal("7.9"),
    fractions.Fraction(9, 2),
    complex(1, 0),
    "3",
    None,
    FloatLike(),
    2**53 + 1,
    2**1000,
]

outcomes = []


def run():
    for function in ("inc_counter", "observe_histogram", "set_gauge"):
        record = getattr(zelnor_core, function)
        record(M + "warm", 0)  # the thread's collector exists from here on
        calls = [((n, v), {}) for n in names for v in values]
        calls += [
            ((M + "k",), {"arg1": 1}),
            ((), {"arg0": M, "arg1": 1}),
            ((M,), {}),
            ((M, 1, 2), {}),
            ((M, 1), {"x": 1}),
        ]
        for args, kwargs in calls:
            try:
                result = record(*args, **kwargs)
                outcomes.append(["ok", repr(result)])
            except Exception as error:
                message = re.sub(r" at 0x[0-9a-f]+", " at 0x...", str(error))
                outcomes.append([type(error).__name__, message])


thread = threading.Thread(target=run)
thread.start()
thread.join()


def describe(entry):
    try:
        name = entry.name
    except UnicodeDecodeError:
        name = "<undecodable>"
    return [name, repr(entry.value)]


drained = {
    kind: [
        describe(e)
        for e in getattr(zelnor_core, f"get_{kind}_entries")()
        if describe(e)[0] == "<undecodable>" or describe(e)[0].startswith(M)
    ]
    for kind in ("counter", "histogram", "gauge")
}
print(json.dumps({"outcomes": outcomes, "drained": drained}))
