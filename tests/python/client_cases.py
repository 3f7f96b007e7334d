"""Calls that prometheus_client refuses, made through it and through zelnor_client in one process:
prints, per case, what each raised (or "ok"), as JSON. Run by test_client.py in a child, so that
the test process never records."""

import json
import sys

import prometheus_client
from prometheus_client import CollectorRegistry

import zelnor_client


def cases(lib):
    def define(kind, *args, **kwargs):
        return getattr(lib, kind)(*args, registry=None, **kwargs)

    counter = define("Counter", "c_total", "d", ["a"])
    gauge = define("Gauge", "g", "d", ["a"])
    recent = define("Gauge", "r", "d", multiprocess_mode="mostrecent")
    histogram = define("Histogram", "h", "d", buckets=[1, 2])
    summary = define("Summary", "s", "d")
    info = define("Info", "i", "d", ["a"])
    enum = define("Enum", "e", "d", states=["x", "y"])
    registry = CollectorRegistry()
    lib.Counter("dup", "d", registry=registry)
    return {
        "empty name": lambda: define("Counter", "", "d"),
        "reserved label": lambda: define("Counter", "x", "d", ["__a"]),
        "le on a histogram": lambda: define("Histogram", "x", "d", ["le"]),
        "quantile on a summary": lambda: define("Summary", "x", "d", ["quantile"]),
        "le on a counter": lambda: define("Counter", "x", "d", ["le"]),
        "unsorted buckets": lambda: define("Histogram", "x", "d", buckets=[2, 1]),
        "no buckets": lambda: define("Histogram", "x", "d", buckets=[]),
        "bad bucket": lambda: define("Histogram", "x", "d", buckets=["a"]),
        "bad mode": lambda: define("Gauge", "x", "d", multiprocess_mode="bogus"),
        "unit on info": lambda: define("Info", "x", "d", unit="s"),
        "unit on enum": lambda: define("Enum", "x", "d", unit="s", states=["a"]),
        "no states": lambda: define("Enum", "x", "d", states=[]),
        "enum label named as it": lambda: define("Enum", "x", "d", ["x"], states=["a"]),
        "duplicate": lambda: lib.Counter("dup_total", "d", registry=registry),
        "labels without names": lambda: summary.labels("a"),
        "wrong label count": lambda: counter.labels("a", "b"),
        "wrong label names": lambda: counter.labels(b="1"),
        "args and kwargs": lambda: counter.labels("1", a="2"),
        "chained labels": lambda: counter.labels("1").labels("2"),
        "parent inc": lambda: counter.inc(),
        "parent set": lambda: gauge.set(1),
        "parent dec": lambda: gauge.dec(),
        "parent observe": lambda: define("Histogram", "x", "d", ["a"]).observe(1),
        "parent count_exceptions": lambda: counter.count_exceptions(),
        "parent track_inprogress": lambda: gauge.track_inprogress(),
        "parent state": lambda: define("Enum", "x", "d", ["a"], states=["a"]).state("a"),
        "negative inc": lambda: counter.labels("1").inc(-1),
        "negative float inc": lambda: counter.labels("1").inc(-0.5),
        "str inc": lambda: counter.labels("1").inc("x"),
        "bad exemplar": lambda: counter.labels("1").inc(1, {"__x": "y"}),
        "long exemplar": lambda: counter.labels("1").inc(1, {"a": "b" * 200}),
        "str set": lambda: gauge.labels("1").set("abc"),
        "None set": lambda: gauge.labels("1").set(None),
        "numeric str set": lambda: gauge.labels("1").set("1.5"),
        "str gauge inc": lambda: gauge.labels("1").inc("x"),
        "str gauge dec": lambda: gauge.labels("1").dec("x"),
        "mostrecent inc": lambda: recent.inc(),
        "mostrecent dec": lambda: recent.dec(),
        "str observe": lambda: histogram.observe("x"),
        "summary exemplar": lambda: summary.observe(1, exemplar={"a": "b"}),
        "huge inc": lambda: counter.labels("1").inc(10**400),
        "info None": lambda: info.labels("1").info({"b": None}),
        "info overlap": lambda: info.labels("1").info({"a": "x"}),
        "unknown state": lambda: enum.state("z"),
        "remove wrong count": lambda: counter.remove("1", "2"),
        "remove without names": lambda: summary.remove("a"),
        "remove_by_labels unknown": lambda: counter.remove_by_labels({"b": "1"}),
        "remove_by_labels not a dict": lambda: counter.remove_by_labels([("a", "1")]),
        "inc keyword": lambda: counter.labels("1").inc(amount=2),
        "inc unknown keyword": lambda: counter.labels("1").inc(amont=2),
    }


def outcome(call):
    try:
        call()
    except Exception as error:  # every exception is the result compared
        return f"{type(error).__name__}: {error}"
    return "ok"


def main():
    results = {}
    for label, lib in (("peer", prometheus_client), ("ours", zelnor_client)):
        results[label] = {name: outcome(call) for name, call in cases(lib).items()}
    json.dump(results, sys.stdout)


if __name__ == "__main__":
    main()
