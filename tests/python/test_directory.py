"""The metrics directory: the fixed default, or the one ZELNOR_METRICS_DIR names."""

import os
import shutil
import stat

import pytest
from support import Collected, Consumer, Exporter, Producer, drain_until, run_python


def test_two_applications_with_directories_of_their_own_each_have_a_consumer(tmp_path, monkeypatch):
    sides = []
    for name in ("first", "second"):
        directory = tmp_path / name
        monkeypatch.setenv("ZELNOR_METRICS_DIR", str(directory))
        sides.append((directory, Consumer(), [Producer(), Producer()]))
    try:
        for number, (_, _, producers) in enumerate(sides):
            for producer in producers:
                producer.record("c", f"app{number}", number + 1, 300)
        for number, (directory, consumer, _) in enumerate(sides):
            collected = Collected(f"app{number}")
            drain_until(consumer, collected, lambda c=collected: c.count() == 600)
            assert collected["counter"] == {f"app{number}": [number + 1] * 600}
            assert (directory / ".consumer" / "lock").is_file()
    finally:
        for _, consumer, producers in sides:
            for producer in producers:
                producer.close()
            consumer.close()


@pytest.mark.parametrize(
    "value, message",
    [
        ("relative/metrics", "ZELNOR_METRICS_DIR is not an absolute path: relative/metrics"),
        (
            "/" + "d" * 4000,
            "ZELNOR_METRICS_DIR is too long for a queue file's path (4001 bytes, at "
            "most 4000): /" + "d" * 4000,
        ),
    ],
)
def test_a_bad_value_fails_the_first_call_and_creates_nothing(tmp_path, value, message):
    completed = run_python(
        """
        import os, sys, zelnor_core
        for call in (lambda: zelnor_core.inc_counter("x", 1), zelnor_core.get_counter_entries):
            try:
                call()
            except RuntimeError as error:
                print(error)
        print(sorted(os.listdir(".")))
    """,
        env={"ZELNOR_METRICS_DIR": value},
        cwd=tmp_path,
    )
    assert completed.stdout.splitlines() == [message, message, "[]"]


def test_a_configured_directory_is_made_with_the_umask_and_only_the_default_with_0777(
    tmp_path, default_directory
):
    configured = tmp_path / "made" / "metrics"
    run_python(
        """
        import os, zelnor_core
        os.umask(0o027)
        zelnor_core.inc_counter("made", 1)
        os._exit(0)
    """,
        env={"ZELNOR_METRICS_DIR": str(configured)},
    )
    assert stat.S_IMODE(configured.stat().st_mode) == 0o750
    assert sorted(p.name.split(".")[0] for p in configured.iterdir()) == [
        "counter",
        "gauge",
        "histogram",
    ]

    # Unset, the fixed directory as ever: made writable by all, and drained there.
    name = f"default{os.getpid()}"
    run_python(f"""
        import os, zelnor_core
        os.umask(0o027)
        zelnor_core.inc_counter({name!r}, 1)
    """)
    assert stat.S_IMODE(default_directory.stat().st_mode) == 0o777
    consumer = Consumer()
    try:
        collected = Collected(name)
        drain_until(consumer, collected, lambda: collected.count() == 1)
    finally:
        consumer.close()


def test_the_shared_default_spelt_with_a_trailing_slash_is_still_made_writable_by_all(
    default_directory,
):
    saved = default_directory.with_name(f"{default_directory.name}.saved-{os.getpid()}")
    if default_directory.exists():
        default_directory.rename(saved)
    umask = os.umask(0o022)
    try:
        exporter = Exporter("--directory", f"{default_directory}/")
        try:
            assert stat.S_IMODE(default_directory.stat().st_mode) == 0o777
            assert exporter.first_lines[0].startswith(
                f"zelnor-exporter: draining {default_directory},"
            )
        finally:
            exporter.stop()
    finally:
        os.umask(umask)
        shutil.rmtree(default_directory, ignore_errors=True)
        if saved.exists():
            saved.rename(default_directory)
