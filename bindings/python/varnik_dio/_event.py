"""One change of a line: an immutable record, as a frozen dataclass would
make it, written out because dataclasses (and inspect) cost milliseconds at
import."""

from __future__ import annotations

_FIELDS = ("line", "value", "edge", "timestamp", "timestamp_ns")


class Event:
    """One change of a line, as the watcher saw it.

    line: the line's name ("DI3").
    value: its new level, 0 or 1.
    edge: "rising" (0 to 1) or "falling" (1 to 0).
    timestamp: seconds on the clock of time.monotonic() (CLOCK_MONOTONIC)
        of the poll that first saw the new level.
    timestamp_ns: the same in nanoseconds, as the library gives it.
    """

    __slots__ = _FIELDS
    __match_args__ = _FIELDS

    line: str
    value: int
    edge: str
    timestamp: float
    timestamp_ns: int

    def __init__(self, line: str, value: int, edge: str, timestamp: float,
                 timestamp_ns: int) -> None:
        for name, field in zip(_FIELDS, (line, value, edge, timestamp, timestamp_ns)):
            object.__setattr__(self, name, field)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to field {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete field {name!r}")

    def _values(self) -> tuple[str, int, str, float, int]:
        return (self.line, self.value, self.edge, self.timestamp, self.timestamp_ns)

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        return self._values() == other._values()  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash(self._values())

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={value!r}" for name, value in zip(_FIELDS, self._values()))
        return f"{self.__class__.__qualname__}({fields})"

    def __reduce__(self) -> tuple[type[Event], tuple[str, int, str, float, int]]:
        # Pickled and copied through __init__: __setattr__ refuses.
        return (self.__class__, self._values())
