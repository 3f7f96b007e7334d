"""Records travelling between real processes and threads, through a metrics directory."""

import multiprocessing
import os
import signal
import threading
import time

import pytest
import zelnor_core
from support import METRICS_DIRECTORY, Collected, Consumer, drain_until, run_python


def record_in_thread(body):
    """Runs body in a thread of its own, whose queues are closed when it ends."""
    failure = []

    def run():
        try:
            body()
        except BaseException as error:  # handed to the test below
            failure.append(error)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if failure:
        raise failure[0]


def test_names_and_values_arrive_exactly_as_recorded(consumer, prefix):
    long_name = prefix + "n" * 80
    cut_inside_character = prefix + "é" * 40

    def body():
        zelnor_core.inc_counter(prefix + "max", 2147483647)
        zelnor_core.inc_counter(prefix + "min", -2147483648)
        zelnor_core.inc_counter(prefix + "bool", True)
        zelnor_core.inc_counter((prefix + "bytes").encode(), 1)
        zelnor_core.inc_counter(bytearray((prefix + "bytearray").encode()), 2)
        zelnor_core.inc_counter(prefix + "nul\0ignored", 3)
        zelnor_core.inc_counter(long_name, 4)
        zelnor_core.inc_counter(cut_inside_character, 5)
        zelnor_core.observe_histogram(prefix + "h", 3)
        zelnor_core.observe_histogram(prefix + "h", -0.25)
        zelnor_core.set_gauge(prefix + "nan", float("nan"))
        zelnor_core.set_gauge(prefix + "inf", float("-inf"))

    record_in_thread(body)
    collected = Collected(prefix)
    drain_until(consumer, collected, lambda: collected.count() == 12)
    counters = collected["counter"]
    assert counters[prefix + "max"] == [2147483647]
    assert counters[prefix + "min"] == [-2147483648]
    assert counters[prefix + "bool"] == [1]
    assert counters[prefix + "bytes"] == [1]
    assert counters[prefix + "bytearray"] == [2]
    assert counters[prefix + "nul"] == [3]
    assert counters[long_name.encode()[:63].decode()] == [4]
    # The 63-byte cut falls inside a two-byte character: the name no longer decodes, the value
    # still reads.
    assert len(cut_inside_character.encode()[:63].decode("utf-8", "ignore").encode()) < 63
    assert counters[None] == [5]
    assert collected["histogram"][prefix + "h"] == [3.0, -0.25]
    assert collected["gauge"][prefix + "nan"] == ["nan"]
    assert collected["gauge"][prefix + "inf"] == ["-inf"]


def test_each_getter_returns_new_lists_of_independent_copies(prefix):
    run_python(f"""
        import threading, time, zelnor_core
        prefix = {prefix!r}
        def record():
            zelnor_core.inc_counter(prefix + "a", 1)
            zelnor_core.inc_counter(prefix + "a", 2)
            zelnor_core.set_gauge(prefix + "g", 5)
        thread = threading.Thread(target=record)
        thread.start(); thread.join()
        mine = lambda entries: [e for e in entries if e.name.startswith(prefix)]
        counters = mine(zelnor_core.get_counter_entries())
        assert [type(e) for e in counters] == [zelnor_core.CounterEntry] * 2
        assert [e.value for e in counters] == [1, 2]
        counters[0].value = 100
        assert counters[1].value == 2
        again = zelnor_core.get_counter_entries()
        assert again == [] and again is not zelnor_core.get_counter_entries()
        # The kinds drain independently: the gauge is still waiting for its own getter.
        gauges = mine(zelnor_core.get_gauge_entries())
        assert [(e.name, e.value) for e in gauges] == [(prefix + "g", 5.0)]
        assert mine(zelnor_core.get_histogram_entries()) == []
    """)


def test_a_full_queue_drops_with_one_line_and_leaves_other_kinds_alone(prefix):
    producer = run_python(f"""
        import zelnor_core
        for i in range(1000):
            zelnor_core.inc_counter({prefix!r} + "c", i)
        zelnor_core.set_gauge({prefix!r} + "g", 1.0)
    """)
    assert producer.stdout == "ERROR: Queue is full in enqueue. Head: 999, Tail: 0\n"
    consumer = Consumer()
    try:
        collected = Collected(prefix)
        drain_until(consumer, collected, lambda: collected.count() == 1000)
        assert collected["counter"][prefix + "c"] == list(range(999))
        assert collected["gauge"][prefix + "g"] == [1.0]
    finally:
        consumer.close()


def _worker(prefix, worker, threads, per_thread, report):
    def record(thread):
        for i in range(per_thread):
            zelnor_core.inc_counter(f"{prefix}c.{worker}.{thread}", i)
            zelnor_core.observe_histogram(f"{prefix}h", i / 10)
            zelnor_core.set_gauge(f"{prefix}g.{worker}.{thread}", i)
            if i % 100 == 99:
                time.sleep(0.01)  # stays well within what the consumer keeps up with

    workers = [threading.Thread(target=record, args=(t,)) for t in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    report.put((worker, threads * per_thread))


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_worker_processes_and_threads_deliver_everything(consumer, prefix, method):
    context = multiprocessing.get_context(method)
    report = context.Queue()
    workers, threads, per_thread = 4, 3, 600
    processes = [
        context.Process(target=_worker, args=(prefix, w, threads, per_thread, report))
        for w in range(workers)
    ]
    for process in processes:
        process.start()
    collected = Collected(prefix)
    drain_until(
        consumer, collected, lambda: collected.count() == 3 * workers * threads * per_thread
    )
    for process in processes:
        process.join(timeout=30)
        assert process.exitcode == 0
    assert sum(report.get(timeout=5)[1] for _ in processes) == workers * threads * per_thread
    for w in range(workers):
        for t in range(threads):
            assert collected["counter"][f"{prefix}c.{w}.{t}"] == list(range(per_thread))
            assert collected["gauge"][f"{prefix}g.{w}.{t}"] == [float(i) for i in range(per_thread)]
    assert sorted(collected["histogram"][prefix + "h"]) == sorted(
        [i / 10 for i in range(per_thread)] * workers * threads
    )
    # Files attached between their creation and their ready flag are normal: nothing to report.
    assert consumer.error_lines == []


def test_many_threads_of_one_process(consumer, prefix):
    threads = [
        threading.Thread(
            target=lambda t=t: [zelnor_core.inc_counter(f"{prefix}{t}", i) for i in range(300)]
        )
        for t in range(32)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    collected = Collected(prefix)
    drain_until(consumer, collected, lambda: collected.count() == 32 * 300)
    for t in range(32):
        assert collected["counter"][f"{prefix}{t}"] == list(range(300))


def test_files_written_while_no_consumer_runs_wait_for_the_next_one(prefix):
    run_python(f"""
        import zelnor_core
        zelnor_core.inc_counter({prefix!r} + "early", 7)
    """)
    consumer = Consumer()
    try:
        collected = Collected(prefix)
        drain_until(consumer, collected, lambda: collected.count() == 1)
        assert collected["counter"][prefix + "early"] == [7]
    finally:
        consumer.close()


# --- one live consumer per directory ---


def test_a_second_consumer_is_refused_while_the_first_lives(consumer):
    consumer.drain()  # the consumer comes into being with its first getter call
    second = Consumer()
    try:
        result = second.ask("drain")
        assert result["error"] == (
            f"RuntimeError: Another consumer is already draining "
            f"{METRICS_DIRECTORY}: process {consumer.pid} holds its lock"
        )
    finally:
        second.close()
    consumer.close()
    third = Consumer()
    try:
        third.drain()
    finally:
        third.close()


def test_a_forked_child_of_the_consumer_is_refused_and_the_parent_carries_on(prefix):
    run_python(f"""
        import os, threading, zelnor_core
        prefix = {prefix!r}
        zelnor_core.get_counter_entries()
        child = os.fork()
        if child == 0:
            try:
                zelnor_core.get_counter_entries()
            except RuntimeError as refused:
                ok = str(os.getppid()) in str(refused)
                os._exit(0 if ok else 2)
            os._exit(1)
        assert os.waitpid(child, 0)[1] == 0
        def record():
            zelnor_core.inc_counter(prefix + "after", 1)
        thread = threading.Thread(target=record)
        thread.start(); thread.join()
        got = [e.value for e in zelnor_core.get_counter_entries() if e.name.startswith(prefix)]
        assert got == [1], got
    """)


def test_a_restarted_consumer_carries_on_where_the_killed_one_stopped(producer, prefix):
    """A producer thread lives through the consumer's kill and restart; nothing is lost or
    repeated: what waited in the rings at the kill reaches the successor."""
    name = prefix + "seq"
    collected = Collected(prefix)
    first = Consumer()
    producer.record("n", name, 0, 700)
    drain_until(first, collected, lambda: collected.count() == 700)
    producer.record("n", name, 700, 300)  # attached by the first consumer, never drained by it
    os.kill(first.pid, signal.SIGKILL)
    first.process.wait()
    producer.record("n", name, 1000, 500)  # while no consumer runs
    second = Consumer()
    try:
        producer.record("n", name, 1500, 150)  # 950 wait now, within a ring's 999
        drain_until(second, collected, lambda: collected.count() == 1650)
        producer.record("n", name, 1650, 900)
        drain_until(second, collected, lambda: collected.count() == 2550)
        assert collected["counter"][name] == list(range(2550))
    finally:
        second.close()
