# Typed surface of the engine extension; `_native` is its Python front.
from typing import Callable, Iterable, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

_Progress = Optional[Callable[[int, int], object]]
# A value of a store: whole 13-byte records (int64 ms, float32, int8, little-endian), newest first.
_Value = Union[bytes, bytearray, memoryview]

def count_codes(
    codes: np.ndarray,  # int8 .. int64
    counts_out: np.ndarray,  # int64, 256, C-contiguous, written: code c at c + 128
    *,
    n_jobs: int = ...,
    progress: _Progress = ...,
) -> Optional[int]: ...  # the first row outside int8; None: every code fits
def factorize_entities(
    ids: np.ndarray,  # int32 | int64
    target_ids: np.ndarray,  # int32 | int64
    codes_out: np.ndarray,  # int32, one per id, C-contiguous, written
    target_codes_out: np.ndarray,  # int32, one per target id, C-contiguous, written
    *,
    n_jobs: int = ...,
    progress: _Progress = ...,
    present_out: Optional[np.ndarray] = ...,  # bool, C-contiguous; True set at each code a transaction has
) -> Tuple[int, bool]: ...  # (n_entities, numbered by range)
def prepare_transactions(
    entity_codes: np.ndarray,  # int32 | int64, 0 .. n_entities - 1
    n_entities: int,
    timestamps: np.ndarray,  # int64 counts; see ms_multiplier / ms_divisor
    quantities: np.ndarray,  # float32 | float64
    codes: Optional[np.ndarray],  # int8 .. int64 values within int8; None: all 0
    dates_out: np.ndarray,  # int64, C-contiguous, written
    quantities_out: np.ndarray,  # float32, C-contiguous, written
    codes_out: np.ndarray,  # int8, C-contiguous, written
    offsets_out: np.ndarray,  # int64, n_entities + 1, C-contiguous, written
    *,
    ms_multiplier: int = ...,
    ms_divisor: int = ...,
    nat_is_missing: bool = ...,
    rows_checked: bool = ...,
    n_jobs: int = ...,
    progress: _Progress = ...,
    keep_from: int = ...,  # ms; only rows dated keep_from .. keep_until are prepared
    keep_until: int = ...,
    present_out: Optional[np.ndarray] = ...,  # bool, n_entities: set for entities with any row
) -> None: ...
def compute_features(
    out: np.ndarray,  # float32 (targets, columns), C-contiguous, written
    dates: np.ndarray,  # int64
    quantities: np.ndarray,  # float32
    codes: np.ndarray,  # int8
    offsets: np.ndarray,  # int64, n_entities + 1
    target_entities: np.ndarray,  # int32 | int64; negative: no transactions
    target_dates: np.ndarray,  # int64 milliseconds
    columns: np.ndarray,  # int32 (columns, 3): (dimension value, operator code, horizon or 0: per dimension)
    horizons: Iterable[int],
    offset: int,
    resolution: int,  # 0 year .. 5 second
    index_map: Mapping[int, int],  # dimension code -> value
    *,
    feature_group: bool = ..., group_value: int = ..., all_values: bool = ...,  # the feature-group mode
    fill_nan: bool = ..., empty_statistic_nan: bool = ...,
    n_jobs: int = ..., progress: _Progress = ...,
) -> None: ...
def gather_records(
    sources: Sequence[Sequence[Optional[_Value]]],  # k >= 1 sequences, one value (or None) per entity
    since_ms: int,  # records dated before are left out
    dates_out: np.ndarray,  # int64, C-contiguous, written; at least the records of sources
    quantities_out: np.ndarray,  # float32, the same
    codes_out: np.ndarray,  # int8, the same
    offsets_out: np.ndarray,  # int64, entities + 1, C-contiguous, written
    *,
    n_jobs: int = ...,
    progress: _Progress = ...,
) -> int: ...  # the rows written

class Plan:
    """compute_features' request, planned once; immutable, usable from several threads at once."""

    def __init__(
        self,
        columns: np.ndarray,  # int32 (columns, 3), as compute_features takes it
        horizons: Iterable[int],
        offset: int,
        resolution: int,
        index_map: Mapping[int, int],
        *,
        feature_group: bool = ...,
        group_value: int = ...,
        all_values: bool = ...,
        empty_statistic_nan: bool = ...,
    ) -> None: ...
    @property
    def n_columns(self) -> int: ...
    def compute(
        self,
        out: np.ndarray,  # float32 (targets, n_columns), C-contiguous, written
        dates: np.ndarray,
        quantities: np.ndarray,
        codes: np.ndarray,
        offsets: np.ndarray,
        target_entities: np.ndarray,
        target_dates: np.ndarray,
        *,
        fill_nan: bool = ...,
        n_jobs: int = ...,
        progress: _Progress = ...,
    ) -> None: ...
    def compute_row(
        self,
        out: np.ndarray,  # float32 (n_columns,), C-contiguous, written
        at_ms: int,
        since_ms: int,  # records dated before are left out
        *values: Optional[_Value],  # the entity's values, merged
    ) -> None: ...
    def compute_rows(
        self,
        out: np.ndarray,  # float32 (entities, n_columns), C-contiguous, written
        at_ms: int,
        since_ms: int,
        sources: Sequence[Sequence[Optional[_Value]]],  # as gather_records takes them
        *,
        n_jobs: int = ...,
    ) -> None: ...
