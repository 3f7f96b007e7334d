"""Which recorded names can become Prometheus series, and under which family.

A recorded name is a metric name, optionally with labels in Prometheus form:
``http_requests{method="GET",code="200"}``. Whatever is recorded, every scrape must be valid in
both exposition formats, read by ``promtool check metrics`` and by an OpenMetrics parser. So a
name is refused (with a reason, which becomes a label value) when it

- does not parse, or names a label that Prometheus reserves or forbids;
- breaks one of promtool's rules for metric and label names (no ':', no camelCase, base units
  only, no abbreviated units, no type in the name, no suffix that belongs to another type); or
- would clash with a family accepted before it: every family occupies the names of the samples it
  may produce in either format (a counter ``c``: ``c``, ``c_total``, ``c_created``; a histogram
  ``h``: ``h``, ``h_bucket``, ``h_count``, ``h_sum``, ``h_created``; a gauge ``g``: ``g``), and two
  families never share one. The family that came first keeps its series.

A counter recorded as ``x_total`` is the counter ``x``; the exposition adds the suffix.
"""

import re

# The grammar is spelt out in ASCII (whitespace is " \t\n\r\f\v", an escape is a backslash and
# any one character), so that the exporter's native side follows exactly the same rules.
METRIC_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*")
LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")
LABEL_PAIR = re.compile(
    r"[ \t\n\r\f\v]*([^= \t\n\r\f\v]+)[ \t\n\r\f\v]*=[ \t\n\r\f\v]*"
    r'"((?:[^"\\]|\\.)*)"[ \t\n\r\f\v]*(?:,|\Z)',
    re.DOTALL,
)
ESCAPE = re.compile(r"\\(.)", re.DOTALL)
CAMEL_CASE = re.compile(r"[a-z][A-Z]")
RESERVED_PREFIX = "zelnor_"
RESERVED_LABELS = ("le", "quantile")
KINDS = ("counter", "histogram", "gauge")
SUFFIXES = {
    "counter": ("", "_total", "_created"),
    "histogram": ("", "_bucket", "_count", "_sum", "_created"),
    "gauge": ("",),
}

# promtool's units: each maps to its base unit, and may carry one of the prefixes.
UNITS = {
    "amperes": "amperes",
    "bytes": "bytes",
    "celsius": "celsius",
    "grams": "grams",
    "joules": "joules",
    "kelvin": "kelvin",
    "meters": "meters",
    "metres": "metres",
    "seconds": "seconds",
    "volts": "volts",
    "minutes": "seconds",
    "hours": "seconds",
    "days": "seconds",
    "weeks": "seconds",
    "kelvins": "kelvin",
    "fahrenheit": "celsius",
    "rankine": "celsius",
    "inches": "meters",
    "yards": "meters",
    "miles": "meters",
    "bits": "bytes",
    "calories": "joules",
    "pounds": "grams",
    "ounces": "grams",
}
UNIT_PREFIXES = (
    "pico",
    "nano",
    "micro",
    "milli",
    "centi",
    "deci",
    "deca",
    "hecto",
    "kilo",
    "kibi",
    "mega",
    "mibi",
    "giga",
    "gibi",
    "tera",
    "tebi",
    "peta",
    "pebi",
)
UNIT_ABBREVIATIONS = (
    "s",
    "ms",
    "us",
    "ns",
    "sec",
    "b",
    "kb",
    "mb",
    "gb",
    "tb",
    "pb",
    "m",
    "h",
    "d",
)


class RejectedName(ValueError):
    """A recorded name that cannot become a series; its reason is a label value."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


def _unescape(value):
    return ESCAPE.sub(lambda m: {"n": "\n"}.get(m.group(1), m.group(1)), value)


def parse_name(recorded):
    """Splits a recorded name into a metric name and a sorted tuple of label pairs. Labels with an
    empty value are dropped: Prometheus does not tell them from absent ones."""
    if recorded is None:
        raise RejectedName("undecodable_name")
    name, brace, rest = recorded.partition("{")
    if not METRIC_NAME.fullmatch(name):
        raise RejectedName("invalid_name")
    if not brace:
        return name, ()
    if not rest.endswith("}"):
        raise RejectedName("invalid_labels")
    body = rest[:-1]
    labels = {}
    position = 0
    while position < len(body):
        match = LABEL_PAIR.match(body, position)
        if match is None or match.end() == position:
            raise RejectedName("invalid_labels")
        label, value = match.group(1), _unescape(match.group(2))
        if not LABEL_NAME.fullmatch(label) or label.startswith("__") or label in labels:
            raise RejectedName("invalid_labels")
        labels[label] = value
        position = match.end()
    return name, tuple(sorted((k, v) for k, v in labels.items() if v))


def _unit_problem(name):
    """promtool's unit rule: the first part of the name that is a unit must be a base unit."""
    for part in name.split("_"):
        if part in UNITS:
            return UNITS[part] != part
        for prefix in UNIT_PREFIXES:
            if part.startswith(prefix) and part[len(prefix) :] in UNITS:
                return True
    return False


def family_of(kind, recorded):
    """The family name and labels a recorded name of a kind becomes, or RejectedName."""
    name, labels = parse_name(recorded)
    if kind == "counter":
        while name.endswith("_total"):  # the exposition adds the suffix to every counter
            name = name[: -len("_total")]
        if not METRIC_NAME.fullmatch(name):
            raise RejectedName("invalid_name")
    if name.startswith(RESERVED_PREFIX):
        raise RejectedName("reserved_name")
    if any(label in RESERVED_LABELS for label, _ in labels):
        raise RejectedName("reserved_label")
    # promtool reads the family of a counter in the text format as `name_total`.
    exposed = name + "_total" if kind == "counter" else name
    lowered = exposed.lower()
    if ":" in name:
        raise RejectedName("colon_in_name")
    if CAMEL_CASE.search(name) or any(CAMEL_CASE.search(label) for label, _ in labels):
        raise RejectedName("camel_case")
    if (
        kind != "counter"
        and name.endswith("_total")
        or (kind == "gauge" and name.endswith(("_bucket", "_count", "_sum")))
    ):
        raise RejectedName("reserved_suffix")
    if f"_{kind}_" in lowered or lowered.endswith(f"_{kind}"):
        raise RejectedName("type_in_name")
    if _unit_problem(exposed):
        raise RejectedName("non_base_unit")
    if any(f"_{unit}_" in lowered or lowered.endswith(f"_{unit}") for unit in UNIT_ABBREVIATIONS):
        raise RejectedName("abbreviated_unit")
    return name, labels


def occupied_names(kind, name):
    """The sample and family names a family of this kind occupies in either format."""
    return [name + suffix for suffix in SUFFIXES[kind]]
