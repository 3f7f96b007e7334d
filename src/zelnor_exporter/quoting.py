"""How a name or a peer's text that the exporter did not choose shows in a log line: with ``\\``,
``"`` and every byte outside printable ASCII escaped (``\\xHH``), so that none can end the line
or forge another, and cut at MAX_NAME_BYTES. The native side quotes as this does
(exporter/rejection_log.h).
"""

MAX_NAME_BYTES = 128


def quoted(recorded):
    """The name (str or bytes) as a log line shows it."""
    raw = recorded.encode() if isinstance(recorded, str) else bytes(recorded)
    shown = raw[:MAX_NAME_BYTES]
    text = "".join(
        "\\" + chr(byte)
        if byte in b'\\"'
        else chr(byte)
        if 0x20 <= byte < 0x7F
        else f"\\x{byte:02x}"
        for byte in shown
    )
    if len(shown) < len(raw):
        return f'"{text}" (its first {len(shown)} of {len(raw)} bytes)'
    return f'"{text}"'
