"""The exporter's word on the names it does not serve as a Prometheus user would expect: the same
lines as its native side (exporter/rejection_log.h), on standard output.

- ``ERROR: Dropping counter entries named "http_requests/login": invalid_name``: once per kind,
  recorded name and reason; a dropped entry is lost data.
- ``zelnor-exporter: serving gauge "cacheHits" as recorded; it breaks Prometheus' naming
  conventions: camel_case``: once per kind and name.

Each sort is bounded: after MAX_LINES of it, one more line says that further ones are only counted.
A name is quoted with ``\\``, ``"`` and every byte outside printable ASCII escaped (``\\xHH``), so
that no name can end a line or forge another.
"""

from zelnor_exporter.quoting import MAX_NAME_BYTES, quoted  # noqa: F401

MAX_LINES = 1000
RECORDED_NAME_BYTES = 63


def _print_line(line):
    print(line, flush=True)


class RejectionLog:
    """Says each line once, within the bounds; `write` takes a whole line."""

    def __init__(self, write=_print_line):
        self._write = write
        self._said = set()  # (kind, name, reason), and (kind, name, None) for a served name
        self._errors = 0
        self._notes = 0

    def dropped(self, kind, recorded, reason):
        if self._first_time((kind, recorded, reason), error=True):
            line = f"ERROR: Dropping {kind} entries named {quoted(recorded)}: {reason}"
            if reason == "truncated_name":
                line += (
                    f" (a record keeps the first {RECORDED_NAME_BYTES} bytes of a name, and this "
                    "one's labels were cut)"
                )
            self._write(line)

    def served(self, kind, recorded, broken):
        if broken and self._first_time((kind, recorded, None), error=False):
            self._write(
                f"zelnor-exporter: serving {kind} {quoted(recorded)} as recorded; it breaks "
                f"Prometheus' naming conventions: {', '.join(broken)}"
            )

    def _first_time(self, key, error):
        """Whether to say the line of `key`: not when it was said already, nor once the sort's
        bound is reached (then the closing line is said, once)."""
        if key in self._said:
            return False
        said = self._errors if error else self._notes
        if said < MAX_LINES:
            self._said.add(key)
        elif said == MAX_LINES:
            self._write(
                f"ERROR: Dropping entries of further names without a line: {MAX_LINES} said "
                "already; zelnor_exporter_rejected_entries_total counts every dropped entry by "
                "reason"
                if error
                else "zelnor-exporter: further names that break Prometheus' naming conventions "
                f"are served without a line: {MAX_LINES} said already"
            )
        else:
            return False
        if error:
            self._errors += 1
        else:
            self._notes += 1
        return said < MAX_LINES
