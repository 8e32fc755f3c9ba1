"""CSV text columns converted batch by batch: ids stay text, timestamps
become integers or UTC datetimes (decided on a column's first non-empty
batch), numbers become numbers; a bad value is reported with its line."""

from __future__ import annotations

from typing import Dict, Optional

from ..errors import UsageError
from ..support import pandas, require


class TextColumns:
    """Per-batch conversion of text columns; remembers whether a timestamp
    column holds integers or dates, decided on its first non-empty batch."""

    def __init__(self, kinds: Dict[str, str], first_line: Optional[int]):
        self.path = ""
        self.kinds = kinds
        self.first_line = first_line
        self.rows_seen = 0
        self.integer_timestamps: Dict[str, bool] = {}
        self.types: Dict[str, object] = {}

    def where(self, position: int) -> str:
        if self.first_line:
            return f"line {self.rows_seen + position + self.first_line}"
        return f"row {self.rows_seen + position}"

    def convert(self, batch):
        pa = require("pyarrow")
        arrays = []
        for name in self.kinds:
            array = batch.column(batch.schema.get_field_index(name))
            if pa.types.is_string(array.type) or pa.types.is_large_string(array.type):
                array = self._from_text(name, array)
                # dates without an offset in one batch and with offsets in
                # another: both are UTC, in the type of the first batch
                first = self.types.setdefault(name, array.type)
                if array.type != first and pa.types.is_timestamp(first):
                    array = array.cast(first)
            arrays.append(array)
        self.rows_seen += batch.num_rows
        return pa.RecordBatch.from_arrays(arrays, names=list(self.kinds))

    def _from_text(self, name: str, array):
        pa = require("pyarrow")
        import pyarrow.compute as pc

        kind = self.kinds[name]
        if kind == "id":
            return array
        if kind == "timestamp":
            if name not in self.integer_timestamps and array.null_count < len(array):
                integer = pc.match_substring_regex(array, r"^\s*[+-]?\d+\s*$")
                self.integer_timestamps[name] = bool(pc.all(integer).as_py())
            if not self.integer_timestamps.get(name, False):
                return self._dates(name, array)
            kind = "int"
        target = pa.float64() if kind == "float" else pa.int64()
        try:
            return pc.cast(pc.utf8_trim_whitespace(array), target)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            raise self._bad_number(name, array, kind) from None

    def _bad_number(self, name: str, array, kind: str) -> UsageError:
        pd = pandas()
        np = require("numpy")
        text = array.to_pandas()
        numbers = pd.to_numeric(text, errors="coerce")
        bad = numbers.isna() & text.notna()
        if kind == "int":
            bad |= numbers.notna() & (numbers != np.floor(numbers))
        noun = {"float": "a number", "int": "an integer"}[kind]
        if self.kinds[name] == "timestamp":
            noun = "an integer timestamp like the rows before it"
        if not bad.any():
            return UsageError(f"{self.path}: column {name!r} holds a value that is not {noun}")
        first = int(np.argmax(bad.to_numpy()))
        return UsageError(
            f"{self.path}: column {name!r} holds {text.iloc[first]!r} at {self.where(first)}, not {noun}"
        )

    def _dates(self, name: str, array):
        """ISO-8601 text to UTC timestamps: date-only values, fractional
        seconds and any offsets (mixed daylight-saving ones too); naive values
        are UTC."""
        pa = require("pyarrow")
        pd = pandas()
        np = require("numpy")
        # Arrow's own ISO-8601 cast is the quick path for a batch of naive
        # values, or of values that all carry an offset; a batch that mixes
        # both, or that Arrow refuses, goes through pandas
        for kind in (pa.timestamp("us"), pa.timestamp("us", tz="UTC")):
            try:
                return array.cast(kind)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                pass
        text = array.to_pandas()
        parsed = pd.to_datetime(text, format="ISO8601", utc=True, errors="coerce")
        bad = (parsed.isna() & text.notna()).to_numpy()
        if bad.any():
            first = int(np.argmax(bad))
            raise UsageError(
                f"{self.path}: column {name!r} holds {text.iloc[first]!r} at {self.where(first)}, "
                "which is neither an ISO-8601 date (2024-03-05, 2024-03-05 12:00:00.250, "
                "2024-03-05T12:00+02:00) nor an integer timestamp"
            )
        return pa.array(parsed, from_pandas=True)
