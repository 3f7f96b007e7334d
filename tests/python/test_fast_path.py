"""The recording calls' fast path against pybind11 alone: the same results and the same errors.

The module takes the common argument types (exact str or bytes name, exact int or float value)
without pybind11's dispatcher. A test-only build without that path runs the same table of calls;
both must record the same entries and raise the same exceptions with the same messages.
"""

import json
import re
import subprocess
import sys

import pytest
import zelnor_core

from conftest import build_module_variant

TABLE_SCRIPT = r"""
import decimal, fractions, json, re, sys, threading, zelnor_core

M = sys.argv[1]
class S(str): pass
class B(bytes): pass
class I(int): pass
class F(float): pass
class Index:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v
class FloatLike:
    def __float__(self): return 2.5
class Bad:
    def __index__(self): raise ValueError("no")

names = [M + "s", (M + "b").encode(), bytearray((M + "ba").encode()), S(M + "sub"),
         B((M + "bsub").encode()), M + "x" * 80, M + "é" * 40, M + "nul\0tail", M + "\udc80",
         None, 5, memoryview((M + "mv").encode())]
values = [0, 1, -1, 2**31 - 1, -2**31, 2**31, -2**31 - 1, 2**64, 10**400, True, False, I(7),
          Index(3), Index(2**40), Bad(), 1.0, -2.5, F(1.5), float("nan"), float("inf"),
          decimal.Decimal("7.9"), fractions.Fraction(9, 2), complex(1, 0), "3", None, FloatLike(),
          2**53 + 1, 2**1000]

outcomes = []
def run():
    for function in ("inc_counter", "observe_histogram", "set_gauge"):
        record = getattr(zelnor_core, function)
        record(M + "warm", 0)  # the thread's collector exists from here on
        calls = [((n, v), {}) for n in names for v in values]
        calls += [((M + "k",), {"arg1": 1}), ((), {"arg0": M, "arg1": 1}), ((M,), {}),
                  ((M, 1, 2), {}), ((M, 1), {"x": 1})]
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

drained = {kind: [describe(e) for e in getattr(zelnor_core, f"get_{kind}_entries")()
                  if describe(e)[0] == "<undecodable>" or describe(e)[0].startswith(M)]
           for kind in ("counter", "histogram", "gauge")}
print(json.dumps({"outcomes": outcomes, "drained": drained}))
"""


@pytest.fixture(scope="module")
def pybind11_only_module(tmp_path_factory):
    return build_module_variant(tmp_path_factory.mktemp("pybind11_only"),
                                defines=["ZELNOR_PYBIND11_ONLY"])


def run_table(marker, module_directory=None):
    env = None
    if module_directory is not None:
        env = {**__import__("os").environ, "PYTHONPATH": str(module_directory)}
    completed = subprocess.run([sys.executable, "-c", TABLE_SCRIPT, marker], capture_output=True,
                               text=True, env=env, timeout=120)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.splitlines()[-1])


def test_the_fast_path_is_in_place():
    # The installed module's recording functions are not pybind11's dispatcher, yet look alike.
    assert type(zelnor_core.inc_counter) is type(zelnor_core.get_counter_entries)
    assert zelnor_core.inc_counter.__module__ == "zelnor_core"
    assert type(zelnor_core.inc_counter.__self__) is type(zelnor_core.get_counter_entries.__self__)


def test_fast_path_and_pybind11_agree_on_every_call(pybind11_only_module, prefix):
    fast = run_table(prefix)
    plain = run_table(prefix, pybind11_only_module)
    assert len(fast["outcomes"]) == len(plain["outcomes"]) > 900
    for index, (a, b) in enumerate(zip(fast["outcomes"], plain["outcomes"])):
        assert a == b, f"call {index}: fast path {a}, pybind11 {b}"
    assert fast["drained"] == plain["drained"]
    accepted = sum(1 for outcome in fast["outcomes"] if outcome[0] == "ok")
    assert 100 < accepted < len(fast["outcomes"])  # the table exercises both sides
