"""Integer ranges, time units and resolutions: the one place where a unit
becomes milliseconds.

A unit's length is an exact fraction of a millisecond (``UNIT_MS``); every
conversion of counts of a unit into milliseconds floors, as NumPy's
datetime64 casts do and as the engine does with the same ratio.
"""

from __future__ import annotations

from fractions import Fraction
from typing import Dict, Tuple

INT8_MIN, INT8_MAX = -(2 ** 7), 2 ** 7 - 1
INT16_MIN, INT16_MAX = -(2 ** 15), 2 ** 15 - 1
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1

#: Every timestamp, window bound and span stays within +-2**62 ms, so that no
#: difference or bound the kernel forms can leave int64.
TIMELINE_LIMIT_MS = 2 ** 62

#: Resolution names accepted by the front end, and the codes ``execute`` takes.
RESOLUTIONS: Dict[str, int] = {
    "year": 0,
    "month": 1,
    "day": 2,
    "hour": 3,
    "minute": 4,
    "second": 5,
}

#: The units integer timestamps may count (``timestamp_unit``); their lengths
#: are NumPy's datetime64 units of the same names.
TIMESTAMP_UNITS: Tuple[str, ...] = ("s", "ms", "us", "ns")

_DAY_MS = Fraction(86_400_000)

#: Length in milliseconds of every time unit the front end reads: NumPy's
#: datetime64 units (months and years have no fixed length there), Arrow's
#: (``date32`` counts days), and the resolutions, whose month counts 30 days
#: and year 365.
UNIT_MS: Dict[str, Fraction] = {
    "W": 7 * _DAY_MS,
    "D": _DAY_MS,
    "h": Fraction(3_600_000),
    "m": Fraction(60_000),
    "s": Fraction(1000),
    "ms": Fraction(1),
    "us": Fraction(1, 10**3),
    "ns": Fraction(1, 10**6),
    "ps": Fraction(1, 10**9),
    "fs": Fraction(1, 10**12),
    "as": Fraction(1, 10**15),
    "year": 365 * _DAY_MS,
    "month": 30 * _DAY_MS,
    "day": _DAY_MS,
    "hour": Fraction(3_600_000),
    "minute": Fraction(60_000),
    "second": Fraction(1000),
}


def ms_ratio(unit: str, step: int = 1) -> Tuple[int, int]:
    """Milliseconds per ``step`` units as (multiplier, divisor): a count c
    is floor(c * multiplier / divisor) milliseconds."""
    ms = UNIT_MS[unit] * step
    return ms.numerator, ms.denominator


def floor_ms(count: int, ratio: Tuple[int, int]) -> int:
    """One count of a unit of ``ratio`` (``ms_ratio``) in milliseconds."""
    return count * ratio[0] // ratio[1]


def counts_of_ms(ms, ratio: Tuple[int, int]):
    """Milliseconds (an int or a NumPy integer array) as counts of the unit
    of ``ratio``, floored."""
    return ms * ratio[1] // ratio[0]


def count_range(ratio: Tuple[int, int], low_ms: int, high_ms: int) -> Tuple[int, int]:
    """The counts c whose milliseconds floor(c * m / d) lie within
    [low_ms, high_ms]: ceil(low_ms * d / m) .. ceil((high_ms + 1) * d / m) - 1."""
    m, d = ratio
    return -((-low_ms * d) // m), -((-(high_ms + 1) * d) // m) - 1
