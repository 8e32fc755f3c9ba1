"""Reading a request: entity ids of the store's type, the ``at`` instant, the
query string and the batch body. Every fault is a ``RequestError`` with the
status and the message the client gets, never an exception of the store
that would turn into a 500."""

from __future__ import annotations

import datetime
import functools
import math
import re
import time
from typing import Any, Dict, List, Tuple
from urllib.parse import parse_qsl

import numpy as np

from ..params import TIMELINE_LIMIT_MS, floor_ms, ms_ratio

#: Longer digit strings are no 64-bit id or timestamp (and Python refuses to read very long ones).
_INTEGER = re.compile(r"[+-]?[0-9]{1,40}")
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_ISO = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})"
    r"(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d+))?)?(Z|[+-]\d{2}(?::?\d{2})?)?)?")
_EPOCH_DAY = datetime.date(1970, 1, 1).toordinal()
_DAY_MS = 86_400_000
_INT64_RANGE = (-(1 << 63), (1 << 63) - 1)
_UINT64_RANGE = (0, (1 << 64) - 1)


class RequestError(Exception):
    """A request the server refuses: ``status`` (4xx) and the message sent back."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status, self.message = status, message


def bad(message: str) -> RequestError:
    return RequestError(400, message)


class EntityIds:
    """The ids of one store, as requests give them: text in a URL, JSON
    values in a batch. Numbers of an integer store are integers (JSON
    numbers, or decimal text that big ids need, since many JSON readers
    lose integers beyond 2**53); a float store takes any finite number;
    text and bytes stores take strings (bytes: their UTF-8 encoding)."""

    def __init__(self, id_type: Tuple[str, str]):
        self.kind, self.dtype = id_type
        number_kind = _number_kind(self.dtype)
        self.integer = self.kind == "number" and number_kind in "iu"
        self.range = _UINT64_RANGE if number_kind == "u" else _INT64_RANGE
        self.what = {"number": "integers" if self.integer else "numbers", "string": "strings",
                     "binary": "byte strings (sent as UTF-8 text)"}.get(self.kind, self.kind)

    def from_text(self, text: str):
        """The id of a path segment or of a JSON string."""
        if self.kind in ("string", "binary"):
            try:
                encoded = text.encode("utf-8")
            except UnicodeEncodeError:
                raise bad(f"entity id {text!r} is not valid Unicode text") from None
            return text if self.kind == "string" else encoded
        if self.integer:
            if not _INTEGER.fullmatch(text):
                raise self._wrong(text)
            return self._in_range(int(text))
        value = float(text) if _NUMBER.fullmatch(text) else math.nan
        if not math.isfinite(value):
            raise self._wrong(text)
        return value

    def from_json(self, value):
        if isinstance(value, str):
            return self.from_text(value)
        if self.kind != "number" or isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self._wrong(value)
        if isinstance(value, float):
            if value != value or value in (float("inf"), float("-inf")):
                raise self._wrong(value)
            if self.integer:
                if not value.is_integer():
                    raise self._wrong(value)
                value = int(value)
        return self._in_range(value) if isinstance(value, int) else value

    def shown(self, value):
        """The id as the answer's JSON gives it back."""
        return value.decode("utf-8") if isinstance(value, bytes) else value

    def _in_range(self, value: int) -> int:
        low, high = self.range
        if not low <= value <= high:
            raise bad(f"entity id {value} is outside the range of the store's {self.dtype} ids")
        return value

    def _wrong(self, value) -> RequestError:
        return bad(f"entity id {value!r}: the store's entity ids are {self.what} ({self.dtype})")


def _number_kind(dtype_name: str) -> str:
    """NumPy's kind letter of a store's id type: "i", "u", "f" (or another)."""
    name = dtype_name.lower()  # pandas' nullable "Int64" is NumPy's "int64"
    try:
        return np.dtype(name).kind
    except TypeError:  # an Arrow-backed type such as "int64[pyarrow]"
        return "u" if name.startswith("uint") else "i" if name.startswith("int") else "f"


class Instants:
    """The ``at`` of a request, in milliseconds since 1970 (UTC): an ISO 8601
    date or date and time (naive: UTC; ``Z`` or an offset such as
    ``+02:00``), an integer timestamp in the store's ``timestamp_unit``
    (floored to the millisecond, as the tables' timestamps are), or now when
    absent. Instants outside the years 1 to 9999 are refused."""

    LOW_MS = (datetime.date(1, 1, 1).toordinal() - _EPOCH_DAY) * _DAY_MS
    HIGH_MS = (datetime.date(9999, 12, 31).toordinal() + 1 - _EPOCH_DAY) * _DAY_MS - 1

    def __init__(self, timestamp_unit: str):
        self.unit, self.ratio = timestamp_unit, ms_ratio(timestamp_unit)

    def of(self, value) -> int:
        if value is None:
            return time.time_ns() // 1_000_000
        if isinstance(value, str):
            ms = _text_ms(value, self.ratio)
        elif isinstance(value, int) and not isinstance(value, bool):
            ms = floor_ms(value, self.ratio)
        else:
            raise bad(f"at: expected an ISO 8601 date or an integer timestamp, got {value!r}")
        if not self.LOW_MS <= ms <= self.HIGH_MS or abs(ms) > TIMELINE_LIMIT_MS:
            raise bad(f"at: {value!r} is outside the years 1 to 9999 (integer timestamps count "
                      f"{self.unit} since 1970-01-01)")
        return ms


@functools.lru_cache(maxsize=4096)
def _text_ms(value: str, ratio: Tuple[int, int]) -> int:
    """Milliseconds of an ``at`` text (clients tend to ask as of the same
    few instants: the last ones read are kept)."""
    text = value.strip()
    return floor_ms(int(text), ratio) if _INTEGER.fullmatch(text) else _iso_ms(text)


def _iso_ms(text: str) -> int:
    match = _ISO.fullmatch(text)
    if match is None:
        raise bad(f"at: {text!r} is neither an ISO 8601 date (2024-05-01, 2024-05-01T12:30:00Z, "
                  "2024-05-01T12:30:00+02:00) nor an integer timestamp")
    year, month, day, hour, minute, second, fraction, zone = match.groups()
    try:
        days = datetime.date(int(year), int(month), int(day)).toordinal() - _EPOCH_DAY
        moment = datetime.time(int(hour or 0), int(minute or 0), int(second or 0))
    except ValueError as exc:
        raise bad(f"at: {text!r} is not a valid date and time ({exc})") from None
    ms = days * _DAY_MS + ((moment.hour * 60 + moment.minute) * 60 + moment.second) * 1000
    ms += int((fraction or "")[:3].ljust(3, "0"))  # below the millisecond: floored, as the tables' dates are
    if zone and zone != "Z":
        hours, minutes = int(zone[1:3]), int(zone[-2:]) if len(zone) > 3 else 0
        if hours > 23 or minutes > 59:
            raise bad(f"at: {text!r} has an offset beyond 23:59")
        ms -= (1 if zone[0] == "+" else -1) * (hours * 60 + minutes) * 60_000
    return ms


def query(query_string: bytes, allowed: Tuple[str, ...]) -> Dict[str, str]:
    """The parameters of a raw query string (as Starlette reads them, without
    its multi-dict), each among ``allowed`` and given once."""
    found: Dict[str, str] = {}
    if not query_string:
        return found
    for name, value in parse_qsl(query_string.decode("latin-1"), keep_blank_values=True):
        if name not in allowed:
            listed = ", ".join(allowed) or "none"
            raise bad(f"unknown query parameter {name!r} (known: {listed})")
        if name in found:
            raise bad(f"query parameter {name!r} is given twice")
        found[name] = value
    return found


def batch(body: Any, ids: EntityIds, max_entities: int) -> Tuple[List[Any], Any]:
    """(ids, at) of a decoded batch body ``{"entities": [...], "at": ...}``."""
    if not isinstance(body, dict):
        raise bad('the body must be a JSON object such as {"entities": [1, 2], "at": "2024-05-01"}')
    unknown = sorted(set(body) - {"entities", "at"})
    if unknown:
        raise bad(f"unknown field {unknown[0]!r} in the body (known: entities, at)")
    entities = body.get("entities")
    if not isinstance(entities, list):
        raise bad('the body needs "entities": a list of entity ids')
    if len(entities) > max_entities:
        raise RequestError(413, f"{len(entities)} entities in one request; at most {max_entities} are answered "
                           "at once")
    return [ids.from_json(e) for e in entities], body.get("at")
