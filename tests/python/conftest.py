"""The tests' fixtures; what they share besides lives in support.py.

Tests about the fixed default directory, /tmp/metrics_collector, take the machine-wide lock file
that the C++ tests take too, so that test runs on one machine take turns there.
"""

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

import pytest
from support import (
    AS_NOBODY,
    DEFAULT_DIRECTORY,
    METRICS_DIRECTORY,
    Consumer,
    Producer,
    queue_files_left,
)


@pytest.fixture(autouse=True)
def leave_directory_clean():
    """Leaves the run's directory as clean as it was: producers of the test are gone by now, so a
    consumer adopts whatever a killed consumer kept, drains it and lets it go."""
    yield
    if queue_files_left(METRICS_DIRECTORY):
        Consumer().close()


@pytest.fixture
def default_directory(monkeypatch):
    """For a test of the fixed default directory: processes it starts see no ZELNOR_METRICS_DIR,
    and test runs on this machine take turns; the directory is left as clean as it was."""
    monkeypatch.delenv("ZELNOR_METRICS_DIR")
    with open("/tmp/zelnor-tests.lock", "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield DEFAULT_DIRECTORY
            if queue_files_left(DEFAULT_DIRECTORY):
                Consumer().close()
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


@pytest.fixture
def prefix():
    """A metric-name prefix no other test uses, to tell our records from anyone else's."""
    return f"t{uuid.uuid4().hex[:10]}."


@pytest.fixture
def producer():
    started = Producer()
    yield started
    started.close()


@pytest.fixture
def consumer():
    started = Consumer()
    yield started
    started.close()


@pytest.fixture
def shared_directory():
    """A metrics directory anyone may write, as the default one is (root runs the test)."""
    if os.geteuid() != 0:
        pytest.skip("needs root to act as another user")
    if subprocess.run([*AS_NOBODY, sys.executable, "-c", "import zelnor_client"]).returncode:
        pytest.skip("the user nobody cannot run this interpreter's zelnor_client")
    base = Path(tempfile.mkdtemp(prefix="zelnor-users-", dir="/dev/shm"))
    base.chmod(0o755)
    (base / "metrics" / ".producers").mkdir(parents=True)
    (base / "metrics").chmod(0o777)
    (base / "metrics" / ".producers").chmod(0o1777)
    yield base / "metrics"
    shutil.rmtree(base)
