"""Which recorded names can become Prometheus series, and under which family.

A recorded name is a metric name, optionally with labels in Prometheus form:
``http_requests{method="GET",code="200"}``. Whatever is recorded, every scrape must stay readable
in both exposition formats: by Prometheus, by ``promtool check metrics`` and by prometheus_client's
text and OpenMetrics parsers. So a name is refused (with a reason, which becomes a label value)
only when serving it would break that:

- it is not UTF-8 (both formats are), not a metric name, or its labels do not parse, name one
  twice, or name one that is not a label name or starts with ``__``; Prometheus reads no other
  names, and prometheus_client would serve such a name changed (``a/b`` as ``a_b``, on another
  family's name) or not at all;
- it is as long as a record keeps (63 bytes) and its labels never close: the cut fell inside them;
- it is one of the exporter's own (``zelnor_``, or a family of the process metrics it serves:
  ``process_open_fds``, ...), or a histogram with its own ``le`` label, which
  its buckets need; or
- it would clash with a family accepted before it: every family occupies the names of the samples
  it may produce in either format (a counter ``c``: ``c``, ``c_total``, ``c_created``; a histogram
  ``h``: ``h``, ``h_bucket``, ``h_count``, ``h_sum``, ``h_created``; a gauge ``g``: ``g``), and two
  families never share one. The family that came first keeps its series.

A name that only breaks one of Prometheus' naming conventions (promtool reports them as lint
findings: no ':', snake_case, no type or non-base unit in the name, no ``_total`` on a gauge, ...)
is served as recorded; ``conventions_broken`` says which it breaks.

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
# The process metrics' families (the exporter's own, and each producer's), as names a family of
# any kind may take: a counter's family is named without _total, a gauge's with it.
PROCESS_FAMILIES = frozenset(
    {
        "process_cpu_seconds",
        "process_cpu_seconds_total",
        "process_open_fds",
        "process_max_fds",
        "process_virtual_memory_bytes",
        "process_resident_memory_bytes",
        "process_start_time_seconds",
    }
)
RESERVED_LABELS = ("le", "quantile")
RECORDED_NAME_BYTES = 63  # the most a record keeps of a name
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


def _without_cut_sequence(raw):
    """The bytes without an incomplete UTF-8 sequence at their end, such as a cut leaves."""
    for back in range(1, min(3, len(raw)) + 1):
        byte = raw[-back]
        if byte & 0xC0 != 0x80:  # not a continuation byte: the last sequence starts here
            needed = (
                2
                if 0xC2 <= byte <= 0xDF
                else 3
                if 0xE0 <= byte <= 0xEF
                else 4
                if 0xF0 <= byte <= 0xF4
                else 1
            )
            return raw[:-back] if needed > back else raw
    return raw


def is_truncated(raw):
    """A record's name (bytes) that the 63-byte cut fell into: as long as a record holds, a metric
    name whose labels begin and never close, and valid UTF-8 but for a sequence the cut left
    incomplete."""
    name, brace, _ = raw.partition(b"{")
    if len(raw) != RECORDED_NAME_BYTES or not brace or raw.endswith(b"}"):
        return False
    try:
        _without_cut_sequence(raw).decode()
    except UnicodeDecodeError:
        return False
    return METRIC_NAME.fullmatch(name.decode()) is not None


def parse_name(recorded):
    """Splits a recorded name (str, or the bytes of one that is not UTF-8) into a metric name and a
    sorted tuple of label pairs. Labels with an empty value are dropped: Prometheus does not tell
    them from absent ones."""
    raw = recorded.encode() if isinstance(recorded, str) else recorded
    if raw is not None and is_truncated(raw):
        raise RejectedName("truncated_name")
    if not isinstance(recorded, str):
        try:
            recorded = raw.decode()
        except (AttributeError, UnicodeDecodeError):
            raise RejectedName("undecodable_name") from None
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
    if name.startswith(RESERVED_PREFIX) or name in PROCESS_FAMILIES:
        raise RejectedName("reserved_name")
    if kind == "histogram" and any(label == "le" for label, _ in labels):
        raise RejectedName("reserved_label")  # the buckets' own label
    return name, labels


def conventions_broken(kind, name, labels):
    """The naming conventions of Prometheus (promtool check metrics reports them) that a family of
    this kind breaks, in a fixed order; an empty list for most."""
    broken = []
    # promtool reads the family of a counter in the text format as `name_total`.
    exposed = name + "_total" if kind == "counter" else name
    lowered = exposed.lower()
    if ":" in name:
        broken.append("colon_in_name")
    if CAMEL_CASE.search(name) or any(CAMEL_CASE.search(label) for label, _ in labels):
        broken.append("camel_case")
    if (kind != "counter" and name.endswith("_total")) or (
        kind == "gauge" and name.endswith(("_bucket", "_count", "_sum"))
    ):
        broken.append("reserved_suffix")
    if any(label in RESERVED_LABELS for label, _ in labels):
        broken.append("reserved_label")
    if f"_{kind}_" in lowered or lowered.endswith(f"_{kind}"):
        broken.append("type_in_name")
    if _unit_problem(exposed):
        broken.append("non_base_unit")
    if any(f"_{unit}_" in lowered or lowered.endswith(f"_{unit}") for unit in UNIT_ABBREVIATIONS):
        broken.append("abbreviated_unit")
    return broken


def occupied_names(kind, name):
    """The sample and family names a family of this kind occupies in either format."""
    return [name + suffix for suffix in SUFFIXES[kind]]
