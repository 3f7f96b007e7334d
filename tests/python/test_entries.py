"""Entry objects and argument conversion: pybind11's standard rules, as the module promises."""

import decimal
import fractions
import math

import pytest
import zelnor_core
from support import METRICS_DIRECTORY, FloatLike, Index, run_python

ENTRY_CLASSES = [zelnor_core.CounterEntry, zelnor_core.HistogramEntry, zelnor_core.GaugeEntry]


@pytest.mark.parametrize("cls", ENTRY_CLASSES)
def test_new_entry_is_zero_filled(cls):
    entry = cls()
    assert entry.name == ""
    assert entry.value == 0 and type(entry.value) is (
        int if cls is zelnor_core.CounterEntry else float
    )


@pytest.mark.parametrize("cls", ENTRY_CLASSES)
def test_name_is_read_only_and_no_other_attribute_can_be_added(cls):
    entry = cls()
    with pytest.raises(AttributeError):
        entry.name = "x"
    with pytest.raises(AttributeError):
        del entry.name
    with pytest.raises(AttributeError):
        del entry.value
    with pytest.raises(AttributeError):
        entry.other = 1
    assert entry.name == "" and entry.value == 0


@pytest.mark.parametrize(
    "value, stored",
    [
        (True, 1),
        (-2147483648, -2147483648),
        (2147483647, 2147483647),
        (Index(5), 5),
        (decimal.Decimal("7.9"), 7),
        (fractions.Fraction(9, 2), 4),
    ],
)
def test_counter_value_accepts_integers_in_range(value, stored):
    entry = zelnor_core.CounterEntry()
    entry.value = value
    assert entry.value == stored and type(entry.value) is int


@pytest.mark.parametrize(
    "value", [2.5, 1.0, 2147483648, -2147483649, "3", None, Index(2**40), complex(1, 0)]
)
def test_counter_value_refuses_floats_strings_and_out_of_range(value):
    entry = zelnor_core.CounterEntry()
    entry.value = 11
    with pytest.raises(TypeError):
        entry.value = value
    assert entry.value == 11


@pytest.mark.parametrize("cls", [zelnor_core.HistogramEntry, zelnor_core.GaugeEntry])
@pytest.mark.parametrize(
    "value, stored",
    [
        (3, 3.0),
        (2.5, 2.5),
        (FloatLike(), 2.5),
        (Index(4), 4.0),
        (True, 1.0),
        (decimal.Decimal("0.5"), 0.5),
        (float("inf"), math.inf),
    ],
)
def test_float_value_accepts_numbers(cls, value, stored):
    entry = cls()
    entry.value = value
    assert entry.value == stored and type(entry.value) is float


@pytest.mark.parametrize("cls", [zelnor_core.HistogramEntry, zelnor_core.GaugeEntry])
@pytest.mark.parametrize("value", ["1.5", None, 10**400, [1.0]])
def test_float_value_refuses_strings_and_huge_integers(cls, value):
    entry = cls()
    entry.value = 1.5
    with pytest.raises(TypeError):
        entry.value = value
    assert entry.value == 1.5


def test_nan_passes_unchanged():
    entry = zelnor_core.GaugeEntry()
    entry.value = float("nan")
    assert math.isnan(entry.value)


def test_entry_classes_can_be_subclassed():
    class Mine(zelnor_core.CounterEntry):
        pass

    mine = Mine()
    mine.value = 3
    assert mine.value == 3 and isinstance(mine, zelnor_core.CounterEntry)


# --- the recording functions refuse what they cannot convert, and then record nothing ---

REFUSED_CALLS = [
    ("inc_counter", ("x", 1.0), {}),
    ("inc_counter", ("x", 2147483648), {}),
    ("inc_counter", ("x", "1"), {}),
    ("inc_counter", ("\udc80", 1), {}),
    ("inc_counter", (None, 1), {}),
    ("inc_counter", ("x",), {}),
    ("inc_counter", ("x", 1, 2), {}),
    ("inc_counter", (), {"arg0": "x", "arg1": 1}),
    ("inc_counter", ("x",), {"arg1": 1}),
    ("observe_histogram", ("x", "1.5"), {}),
    ("set_gauge", ("x", 10**400), {}),
    ("set_gauge", ("x", None), {}),
    ("set_gauge", (1, 1.0), {}),
]


@pytest.mark.parametrize("function, args, kwargs", REFUSED_CALLS)
def test_refused_arguments_raise_type_error_naming_the_signature(function, args, kwargs):
    with pytest.raises(TypeError) as raised:
        getattr(zelnor_core, function)(*args, **kwargs)
    message = str(raised.value)
    signature = getattr(zelnor_core, function).__doc__.splitlines()[0]
    assert message.startswith(
        f"{function}(): incompatible function arguments. "
        "The following argument types are supported:\n"
    )
    assert f"    1. ({signature[len(function) + 1 :]}" in message
    assert "Invoked with: " in message


def test_draining_functions_take_no_argument():
    for function in ("get_counter_entries", "get_histogram_entries", "get_gauge_entries"):
        with pytest.raises(TypeError):
            getattr(zelnor_core, function)(1)


def test_a_thread_whose_first_call_is_refused_creates_no_file():
    # A fresh interpreter, so that no collector exists yet in the recording thread.
    run_python(f"""
        import os, zelnor_core
        directory = {str(METRICS_DIRECTORY)!r}
        before = set(os.listdir(directory)) if os.path.isdir(directory) else set()
        for call in [lambda: zelnor_core.inc_counter("x", 1.5),
                     lambda: zelnor_core.set_gauge("\\udc80", 1.0),
                     lambda: zelnor_core.observe_histogram("x")]:
            try:
                call()
            except TypeError:
                pass
            else:
                raise SystemExit("accepted")
        after = set(os.listdir(directory)) if os.path.isdir(directory) else set()
        kinds = ("counter", "histogram", "gauge")
        created = [n for n in after - before if n.split(".")[0] in kinds]
        assert not created, created
        os._exit(0)
    """)
