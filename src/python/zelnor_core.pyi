class CounterEntry:
    def __init__(self) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @value.setter
    def value(self, arg0: int) -> None: ...

class HistogramEntry:
    def __init__(self) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> float: ...
    @value.setter
    def value(self, arg0: float) -> None: ...

class GaugeEntry:
    def __init__(self) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> float: ...
    @value.setter
    def value(self, arg0: float) -> None: ...

def inc_counter(arg0: str | bytes | bytearray, arg1: int, /) -> None:
    """Increment a counter metric"""

def observe_histogram(arg0: str | bytes | bytearray, arg1: float, /) -> None:
    """Observe a histogram metric"""

def set_gauge(arg0: str | bytes | bytearray, arg1: float, /) -> None:
    """Set a gauge metric"""

def get_counter_entries() -> list[CounterEntry]:
    """Get all new counter metrics entries since last call"""

def get_histogram_entries() -> list[HistogramEntry]:
    """Get all new histogram metrics entries since last call"""

def get_gauge_entries() -> list[GaugeEntry]:
    """Get all new gauge metrics entries since last call"""
