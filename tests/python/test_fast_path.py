"""The recording calls' fast path against pybind11 alone: the same results and the same errors.

The module takes the common argument types (exact str or bytes name, exact int or float value)
without pybind11's dispatcher. A test-only build without that path runs the same table of calls;
both must record the same entries and raise the same exceptions with the same messages.
"""

import json
import os
import subprocess
import sys

import pytest
import zelnor_core
from support import HERE, build_module_variant


@pytest.fixture(scope="module")
def pybind11_only_module():
    return build_module_variant("pybind11_only")


def run_table(marker, module_directory=None):
    env = None
    if module_directory is not None:
        env = {**os.environ, "PYTHONPATH": str(module_directory)}
    completed = subprocess.run(
        [sys.executable, str(HERE / "fast_path_table.py"), marker],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
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
