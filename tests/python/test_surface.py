"""The module's visible surface: names, signatures, docstrings, the stub and the import check."""

import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import zelnor_core
from support import HERE, ROOT, build_module_variant

STUB = ROOT / "src" / "python" / "zelnor_core.pyi"

FUNCTIONS = {
    "inc_counter": ("inc_counter(arg0: str, arg1: int) -> None", "Increment a counter metric"),
    "observe_histogram": (
        "observe_histogram(arg0: str, arg1: float) -> None",
        "Observe a histogram metric",
    ),
    "set_gauge": ("set_gauge(arg0: str, arg1: float) -> None", "Set a gauge metric"),
    "get_counter_entries": (
        "get_counter_entries() -> list[zelnor_core.CounterEntry]",
        "Get all new counter metrics entries since last call",
    ),
    "get_histogram_entries": (
        "get_histogram_entries() -> list[zelnor_core.HistogramEntry]",
        "Get all new histogram metrics entries since last call",
    ),
    "get_gauge_entries": (
        "get_gauge_entries() -> list[zelnor_core.GaugeEntry]",
        "Get all new gauge metrics entries since last call",
    ),
}
CLASSES = {"CounterEntry": "int", "HistogramEntry": "float", "GaugeEntry": "float"}


def test_module_holds_exactly_three_classes_and_six_functions():
    public = {name for name in dir(zelnor_core) if not name.startswith("__")}
    assert public == set(FUNCTIONS) | set(CLASSES)
    assert zelnor_core.__doc__ is None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_docstring_is_signature_blank_line_and_sentence(name):
    signature, sentence = FUNCTIONS[name]
    assert getattr(zelnor_core, name).__doc__ == f"{signature}\n\n{sentence}\n"


@pytest.mark.parametrize("name, value_type", CLASSES.items())
def test_entry_class_shape(name, value_type):
    cls = getattr(zelnor_core, name)
    qualified = f"zelnor_core.{name}"
    assert cls.__module__ == "zelnor_core" and cls.__qualname__ == name
    assert cls.__doc__ is None
    assert cls.__init__.__doc__ == f"__init__(self: {qualified}) -> None\n"
    assert cls.name.fget.__doc__ == f"(self: {qualified}) -> str\n"
    assert cls.name.fset is None
    assert cls.value.fget.__doc__ == f"(self: {qualified}) -> {value_type}\n"
    assert cls.value.fset.__doc__ == f"(self: {qualified}, arg0: {value_type}) -> None\n"
    assert cls.name.__doc__ == "" and cls.value.__doc__ == ""
    assert not hasattr(cls(), "__dict__")
    assert {n for n in vars(cls) if not n.startswith("_")} == {"name", "value"}


def _stub():
    return ast.parse(STUB.read_text())


def _annotation_types(node):
    return {part.strip() for part in ast.unparse(node).split("|")}


def test_stub_matches_the_module():
    stub = _stub()
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert set(functions) == set(FUNCTIONS)
    assert set(classes) == set(CLASSES)

    for name, node in functions.items():
        signature = getattr(zelnor_core, name).__doc__.splitlines()[0]
        params, returns = re.fullmatch(rf"{name}\((.*)\) -> (.*)", signature).groups()
        runtime = [p.split(": ") for p in params.split(", ")] if params else []
        stub_args = node.args.posonlyargs + node.args.args
        assert [a.arg for a in stub_args] == [p for p, _ in runtime], name
        assert not node.args.args, f"{name}: parameters are positional only"
        for arg, (_, runtime_type) in zip(stub_args, runtime):
            assert runtime_type in _annotation_types(arg.annotation), name
        assert ast.unparse(node.returns) == returns.replace("zelnor_core.", ""), name
        assert ast.get_docstring(node) == FUNCTIONS[name][1]

    for name, node in classes.items():
        members = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and item.name != "__init__":
                members.setdefault(item.name, []).append(item)
        assert set(members) == {"name", "value"}
        assert ast.unparse(members["name"][0].returns) == "str"
        getter, setter = members["value"]
        assert ast.unparse(getter.returns) == CLASSES[name]
        assert ast.unparse(setter.args.args[1].annotation) == CLASSES[name]


def test_stub_is_installed_beside_the_module_and_mypy_accepts_typed_use(tmp_path):
    installed = Path(zelnor_core.__file__).with_name("zelnor_core.pyi")
    assert installed.read_text() == STUB.read_text()
    mypy = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(HERE / "typed_example.py")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert mypy.returncode == 0, mypy.stdout + mypy.stderr
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import zelnor_core\nzelnor_core.inc_counter(1, 'x')\n")
    mypy = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(wrong)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert mypy.returncode == 1 and "arg-type" in mypy.stdout


# --- the interpreter-version check at import ---


@pytest.fixture(scope="module")
def version_probe_module():
    """A test-only build of the module whose import sees a version of the test's choosing."""
    return build_module_variant("version_probe")


def _import_with_version(directory, version):
    env = {**os.environ, "PYTHONPATH": str(directory)}
    if version is not None:
        env["ZELNOR_FAKE_PYTHON_VERSION"] = version
    return subprocess.run(
        [
            sys.executable,
            "-c",
            "import zelnor_core, sys\n"
            "assert zelnor_core.__file__.startswith(sys.argv[1]), zelnor_core.__file__\n",
            str(directory),
        ],
        capture_output=True,
        text=True,
        env=env,
    )


def _other_versions():
    """Versions that are not this interpreter's, derived from it: the next and previous minor, one
    that shares its first characters (3.1 for 3.10), and one a digit longer (3.100 for 3.10)."""
    major, minor = sys.version_info[:2]
    suffix = ".1 (main, Jan  1 2026, 00:00:00) [GCC 12.2.0]"
    return [
        f"{major}.{minor + 1}{suffix}",
        f"{major}.{minor - 1}{suffix}",
        f"{major}.{minor}0.0",
        f"{major}.{str(minor)[:-1] or '0'}.0",
    ]


@pytest.mark.parametrize("version", _other_versions())
def test_import_under_another_interpreter_version_fails(version_probe_module, version):
    completed = _import_with_version(version_probe_module, version)
    compiled = f"{sys.version_info.major}.{sys.version_info.minor}"
    expected = (
        f"ImportError: Python version mismatch: module was compiled for Python "
        f"{compiled}, but the interpreter version is incompatible: {version}."
    )
    assert completed.returncode == 1
    assert completed.stderr.strip().splitlines()[-1] == expected


def test_import_under_the_compiled_version_succeeds(version_probe_module):
    same = f"{sys.version_info.major}.{sys.version_info.minor}.99 (fake)"
    assert _import_with_version(version_probe_module, same).returncode == 0
    assert _import_with_version(version_probe_module, None).returncode == 0


# The module built for this interpreter, copied under a bare name and imported by each other
# interpreter CI has built for (ZELNOR_OTHER_PYTHONS): an ImportError every time, never a crash.
@pytest.mark.parametrize(
    "other",
    [p for p in os.environ.get("ZELNOR_OTHER_PYTHONS", "").split(":") if p]
    or [pytest.param(None, marks=pytest.mark.skip(reason="no other interpreter named"))],
)
def test_the_module_of_another_interpreter_fails_to_import_cleanly(other, tmp_path):
    shutil.copy(zelnor_core.__file__, tmp_path / "zelnor_core.so")
    completed = subprocess.run(
        [other, "-c", "import zelnor_core"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert completed.returncode == 1, completed.stderr  # not a signal: no crash
    assert "ImportError" in completed.stderr.strip().splitlines()[-1], completed.stderr


# zelnor_client's native half is called only by zelnor_client, but its stub is what mypy checks
# that calling code against: stubtest compares the two, member by member.
def test_zelnor_client_native_stub_matches_the_module(tmp_path):
    stubtest = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-disjoint-bases", "zelnor_client._native"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
