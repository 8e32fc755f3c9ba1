# Typed surface of the engine extension; `_native` is its Python front.
from typing import Callable, Iterable, Mapping, Optional, Tuple

import numpy as np

_Progress = Optional[Callable[[int, int], object]]

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
    feature_group: bool = ...,
    group_value: int = ...,
    all_values: bool = ...,
    fill_nan: bool = ...,
    empty_statistic_nan: bool = ...,
    n_jobs: int = ...,
    progress: _Progress = ...,
) -> None: ...
