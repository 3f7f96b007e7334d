"""An exporter refused mid-run by another user: it ends, and its rings go to the next consumer."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest
from support import Collected, Consumer, Exporter, Producer, drain_until

SYSTEM_PYTHON = shutil.which("python3", path="/usr/bin:/bin")


@pytest.fixture
def shared_directory(monkeypatch):
    """A metrics directory every local user may write into, as the shared default is."""
    base = Path(tempfile.mkdtemp(prefix="zelnor-refusal-", dir="/dev/shm"))
    base.chmod(0o755)
    directory = base / "metrics"
    directory.mkdir(mode=0o777)
    directory.chmod(0o777)
    monkeypatch.setenv("ZELNOR_METRICS_DIR", str(directory))
    yield directory
    shutil.rmtree(base)


@pytest.mark.skipif(
    os.geteuid() != 0 or SYSTEM_PYTHON is None, reason="needs root to act as another user"
)
def test_an_exporter_whose_state_another_user_replaces_hands_every_ring_to_the_next_consumer(
    shared_directory,
):
    producer = Producer(shared_directory)
    exporter = Exporter("--directory", str(shared_directory))
    consumer = None
    try:
        producer.record("n", "before", 0, 100)
        exporter.scrape_until(lambda got: got.get(("before_total", ())) == 100)
        # Two system calls by another user: its own .consumer where the exporter's was.
        state = shared_directory / ".consumer"
        subprocess.run(
            [
                SYSTEM_PYTHON,
                "-c",
                f"import os; os.rename('{state}', '{state}.old'); os.mkdir('{state}')",
            ],
            user=65534,
            group=65534,
            check=True,
        )
        assert exporter.process.wait(timeout=30) == 1
        _, out = exporter.stop()
        assert "belongs to another user (uid 65534)" in out
        shutil.rmtree(state)

        consumer = Consumer()
        collected = Collected("after")
        for start in range(0, 3000, 500):  # never more than a ring holds between two drains
            producer.record("n", "after", start, 500)
            collected.add(consumer.drain())
        drain_until(consumer, collected, lambda: collected.count() == 3000)
        assert collected["counter"]["after"] == list(range(3000))
    finally:
        producer.close()
        exporter.stop()
        if consumer is not None:
            consumer.close()
