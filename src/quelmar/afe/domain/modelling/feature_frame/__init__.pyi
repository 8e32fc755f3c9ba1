"""Types of the feature frame front end (its runtime takes the parameters as
``FeatureParams`` fields in keyword arguments; they are spelled out here)."""

import dataclasses
import os
from typing import Any, Dict, List, Literal, Mapping, Optional, Sequence, Tuple, TypedDict, Union

import pandas as pd
from typing_extensions import Unpack

from quelmar.afe.domain.enums.afe_operator import AfeOperator

__version__: str
RESOLUTIONS: Dict[str, int]

_Operator = Union[AfeOperator, str, int]
_Operators = Union[_Operator, Sequence[_Operator], None]
_Resolution = Union[Literal["year", "month", "day", "hour", "minute", "second"], int]
_Horizons = Union[int, str, Sequence[int]]
_DimensionValues = Union[Mapping[int, int], Sequence[int], Sequence[Tuple[int, int]], None]
_TimestampUnit = Literal["s", "ms", "us", "ns"]
_MissingQuantities = Literal["drop", "raise"]
_Group = Union[int, Literal["all"], None]
_Table = Any  # a pandas DataFrame, a pyarrow Table or RecordBatch, or a polars DataFrame
_Count = int  # NumPy integers too
_OptionalCount = Optional[int]
_Flag = bool  # NumPy booleans too
_Column = str
_OptionalColumn = Optional[str]

class InvalidParameterError(ValueError, TypeError): ...
class MissingQuantityWarning(UserWarning): ...
class OutputTooLargeError(MemoryError): ...

@dataclasses.dataclass(frozen=True)
class TargetGrid:
    start: Any
    end: Any
    every: str = ...
    entities: Any = ...
    from_first_transaction: bool = ...
    def __init__(self, start: Any, end: Any, every: str = ..., entities: Any = ...,
                 from_first_transaction: bool = ...) -> None: ...

class FeatureOptions(TypedDict, total=False):
    """The parameters as keyword arguments (the fields of ``FeatureParams``),
    in the spellings each accepts."""

    horizons: _Horizons
    resolution: _Resolution
    offset: _Count
    operators: _Operators
    per_dimension_operators: _Operators
    dimension_values: _DimensionValues
    timestamp_unit: _TimestampUnit
    missing_quantities: _MissingQuantities
    group: _Group
    for_afe_columns: _Flag  # the kernel's spelling of group
    dim_group_id: _Count
    is_no_dim_col: _Flag
    nearest_exponent: _OptionalCount  # execute's key base
    batch_size: _OptionalCount  # no effect; warns
    n_splits: _OptionalCount  # no effect; warns
    n_jobs: _OptionalCount
    entity_col: _Column
    timestamp_col: _Column
    quantity_col: _Column
    dimension_col: _OptionalColumn
    target_entity_col: _OptionalColumn
    target_date_col: _Column

@dataclasses.dataclass(frozen=True)
class FeatureParams:
    horizons: Tuple[int, ...]
    resolution: str
    offset: int
    operators: Tuple[AfeOperator, ...]
    per_dimension_operators: Tuple[AfeOperator, ...]
    dimension_values: Optional[Tuple[Tuple[int, int], ...]]
    timestamp_unit: str
    missing_quantities: str
    group: Union[int, str, None]
    for_afe_columns: bool
    dim_group_id: int
    is_no_dim_col: bool
    nearest_exponent: Optional[int]
    batch_size: Optional[int]
    n_splits: Optional[int]
    n_jobs: Optional[int]
    entity_col: str
    timestamp_col: str
    quantity_col: str
    dimension_col: Optional[str]
    target_entity_col: Optional[str]
    target_date_col: str
    def __init__(self, **options: Unpack[FeatureOptions]) -> None: ...
    @property
    def resolution_code(self) -> int: ...
    @property
    def entity_col_of_targets(self) -> str: ...
    def jobs(self) -> int: ...
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def from_dict(cls, fields: Mapping[str, Any]) -> FeatureParams: ...

def build_feature_frame(
    transactions: _Table,
    targets: Union[_Table, TargetGrid],
    params: Optional[FeatureParams] = None,
    /,
    *,
    progress: bool = False,
    **options: Unpack[FeatureOptions],
) -> pd.DataFrame: ...
def build_feature_frame_dask(
    transactions: Any,
    targets: Any,
    params: Optional[FeatureParams] = None,
    /,
    *,
    npartitions: Optional[int] = None,
    shuffle_method: Optional[str] = None,
    **options: Unpack[FeatureOptions],
) -> Any: ...
def build_feature_frame_spark(
    transactions: Any,
    targets: Any,
    params: Optional[FeatureParams] = None,
    /,
    *,
    buckets: Optional[int] = None,
    **options: Unpack[FeatureOptions],
) -> Any: ...
def gather_feature_frame(features: Any, client: Any = None) -> pd.DataFrame: ...
def write_partitioned(
    transactions: Any,
    targets: Any,
    path: Union[str, "os.PathLike[str]"],
    npartitions: int,
    *,
    entity_col: str = ...,
    target_entity_col: Optional[str] = ...,
    dimension_col: Optional[str] = ...,
) -> Tuple[str, str]: ...
def feature_columns(
    dimension_values: _DimensionValues,
    params: Optional[FeatureParams] = None,
    /,
    **options: Unpack[FeatureOptions],
) -> List[str]: ...
def operator_name(op: AfeOperator) -> str: ...

class BuildReport:
    rows: int
    feature_columns: int
    targets_without_transactions: int
    dropped_missing_quantities: int

def write_feature_frame(
    transactions: Union[str, "os.PathLike[str]", _Table],
    targets: Union[str, "os.PathLike[str]", _Table],
    output: Union[str, "os.PathLike[str]"],
    params: Optional[FeatureParams] = None,
    /,
    *,
    memory_limit: Union[int, str, None] = None,
    progress: bool = False,
    row_number_col: Optional[str] = None,
    **options: Unpack[FeatureOptions],
) -> BuildReport: ...
