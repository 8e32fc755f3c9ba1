"""The parameters of a feature frame computation, validated in one place.

``FeatureParams`` holds every parameter of ``build_feature_frame``; the API,
the command line and the Dask path all build one, so they share the same
defaults, checks and messages. Each field's accepted values are declared once
in ``_PARAMETER_CONSTRAINTS`` (the parameters that may be spelt several ways
go through ``_resolve``); checks that involve several fields follow, and
``check_group_among`` checks ``group`` against the data's dimension values.
Every refusal is an ``InvalidParameterError`` whose message starts with the
parameter's name.
"""

from __future__ import annotations

import dataclasses
import numbers
import sys
import warnings
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Union

from quelmar.afe.domain.enums.afe_operator import AfeOperator

from ._columns import (
    INT16_MAX,
    INT16_MIN,
    INT32_MAX,
    INT32_MIN,
    RESOLUTIONS,
    UNIT_MS,
    operator_name,
)
from ._resolve import (
    InvalidParameterError,
    resolve_dimension_values,
    resolve_horizons,
    resolve_operators,
    resolve_per_dimension_operators,
    resolve_resolution,
)

#: The units integer timestamps may count (``timestamp_unit``); their lengths
#: are NumPy's datetime64 units of the same names.
TIMESTAMP_UNITS: Tuple[str, ...] = ("s", "ms", "us", "ns")

#: Every timestamp, window bound and span stays within +-2**62 ms, so that no
#: difference or bound the kernel forms can leave int64.
TIMELINE_LIMIT_MS = 2 ** 62


# --------------------------------------------------------------------------
# constraints: each says what it accepts and may normalise the value


class _Constraint:
    def accepts(self, value: Any) -> bool:
        raise NotImplementedError

    def normalise(self, value: Any) -> Any:
        return value


class _Null(_Constraint):
    def accepts(self, value):
        return value is None

    def __str__(self):
        return "None"


class _Integer(_Constraint):
    """An int (NumPy integers too, never a bool) in [low, high]."""

    def __init__(self, low: Optional[int], high: Optional[int]):
        self.low, self.high = low, high

    def accepts(self, value):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            return False
        value = int(value)
        return (self.low is None or value >= self.low) and (self.high is None or value <= self.high)

    def normalise(self, value):
        return int(value)

    def __str__(self):
        if self.high is None:
            return f"an integer >= {self.low}"
        return f"an integer in {self.low}..{self.high}"


class _Options(_Constraint):
    def __init__(self, *options: str):
        self.options = options

    def accepts(self, value):
        return isinstance(value, str) and value in self.options

    def __str__(self):
        return "one of " + ", ".join(repr(o) for o in self.options)


class _Boolean(_Constraint):
    def accepts(self, value):
        return isinstance(value, bool) or type(value).__name__ == "bool_"

    def normalise(self, value):
        return bool(value)

    def __str__(self):
        return "True or False"


class _ColumnName(_Constraint):
    def accepts(self, value):
        return isinstance(value, str) and value != ""

    def __str__(self):
        return "a column name"


class _Converted(_Constraint):
    """A value that a resolver turns into its normal form; the resolver raises
    InvalidParameterError, naming the parameter, on anything else."""

    def __init__(self, resolve: Callable[[Any], Any]):
        self.resolve = resolve

    def accepts(self, value):
        return True

    def normalise(self, value):
        return self.resolve(value)


_COLUMN = [_ColumnName()]

#: What each parameter accepts. A value is valid when one constraint of its
#: list accepts it; the first that does normalises it.
_PARAMETER_CONSTRAINTS: Dict[str, List[_Constraint]] = {
    "horizons": [_Converted(resolve_horizons)],
    "resolution": [_Converted(resolve_resolution)],
    "offset": [_Integer(0, INT32_MAX)],
    "operators": [_Converted(resolve_operators)],
    "per_dimension_operators": [_Converted(resolve_per_dimension_operators)],
    "dimension_values": [_Null(), _Converted(resolve_dimension_values)],
    "timestamp_unit": [_Options(*TIMESTAMP_UNITS)],
    "missing_quantities": [_Options("drop", "raise")],
    "group": [_Null(), _Integer(INT16_MIN, INT16_MAX), _Options("all")],
    "for_afe_columns": [_Boolean()],
    "dim_group_id": [_Integer(INT32_MIN, INT32_MAX)],
    "is_no_dim_col": [_Boolean()],
    "nearest_exponent": [_Null(), _Integer(1, INT32_MAX)],
    "batch_size": [_Null(), _Integer(1, INT32_MAX)],
    "n_splits": [_Null(), _Integer(1, INT32_MAX)],
    "n_jobs": [_Null(), _Integer(1, None)],
    "entity_col": _COLUMN,
    "timestamp_col": _COLUMN,
    "quantity_col": _COLUMN,
    "dimension_col": [_Null(), _ColumnName()],
    "target_entity_col": [_Null(), _ColumnName()],
    "target_date_col": _COLUMN,
}


#: Parameters still accepted that no longer change anything.
_WITHOUT_EFFECT = ("batch_size", "n_splits")


def stacklevel_outside_package() -> int:
    """The ``stacklevel`` that points a warning raised by the caller at the
    first frame outside this package: the user's call."""
    package = __name__.rpartition(".")[0]
    frame, level = sys._getframe(1), 1
    while frame is not None and frame.f_globals.get("__name__", "").startswith(package):
        frame, level = frame.f_back, level + 1
    return level


def _validated(name: str, value: Any) -> Any:
    constraints = _PARAMETER_CONSTRAINTS[name]
    for constraint in constraints:
        if constraint.accepts(value):
            return constraint.normalise(value)
    expected = " or ".join(str(c) for c in constraints)
    raise InvalidParameterError(f"{name}: expected {expected}, got {value!r}")


# --------------------------------------------------------------------------
# the parameter object


@dataclasses.dataclass(frozen=True)
class FeatureParams:
    """Every parameter of one feature frame computation.

    Building one checks every field (``InvalidParameterError``, a ValueError
    and TypeError, naming the field) and normalises
    it: horizons become a tuple of ints, operators a tuple of ``AfeOperator``
    members, ``dimension_values`` sorted (code, value) pairs, ``resolution``
    its name, and ``group`` is spelled out into the kernel's feature-group
    names. Instances are immutable; ``dataclasses.replace`` checks again.
    """

    horizons: Tuple[int, ...] = (7, 30, 90)
    resolution: str = "day"
    offset: int = 0
    operators: Tuple[AfeOperator, ...] = tuple(AfeOperator)
    per_dimension_operators: Tuple[AfeOperator, ...] = ()
    dimension_values: Optional[Tuple[Tuple[int, int], ...]] = None
    timestamp_unit: str = "ms"
    missing_quantities: str = "drop"
    group: Union[int, str, None] = None
    for_afe_columns: bool = False
    dim_group_id: int = -1
    is_no_dim_col: bool = False
    nearest_exponent: Optional[int] = None
    batch_size: Optional[int] = None
    n_splits: Optional[int] = None
    n_jobs: Optional[int] = None
    entity_col: str = "entity"
    timestamp_col: str = "timestamp"
    quantity_col: str = "quantity"
    dimension_col: Optional[str] = "dimension"
    target_entity_col: Optional[str] = None
    target_date_col: str = "target_date"

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            object.__setattr__(self, field.name, _validated(field.name, getattr(self, field.name)))
        for name in _WITHOUT_EFFECT:
            if getattr(self, name) is not None:
                warnings.warn(
                    f"{name} has no effect any more (the engine computes every target in one call, "
                    "on n_jobs threads) and will be removed",
                    FutureWarning,
                    stacklevel=stacklevel_outside_package(),
                )
                # kept as None, so that copies of this object do not warn again
                object.__setattr__(self, name, None)
        self._spell_out_group()
        self._check_combination()

    def _spell_out_group(self) -> None:
        """``group=v`` is feature-group mode restricted to dimension value v;
        ``group="all"`` is feature-group mode over every dimension value."""
        if self.group is None:
            return
        implied = (True, -1 if self.group == "all" else self.group, self.group == "all")
        given = (self.for_afe_columns, self.dim_group_id, self.is_no_dim_col)
        defaults = (False, -1, False)
        if given != defaults and given != implied:
            raise InvalidParameterError(
                "group: give either group or the kernel's for_afe_columns, dim_group_id and "
                f"is_no_dim_col, not both (group={self.group!r}, for_afe_columns="
                f"{self.for_afe_columns}, dim_group_id={self.dim_group_id}, "
                f"is_no_dim_col={self.is_no_dim_col})"
            )
        for name, value in zip(("for_afe_columns", "dim_group_id", "is_no_dim_col"), implied):
            object.__setattr__(self, name, value)

    def _check_combination(self) -> None:
        unit = UNIT_MS[self.resolution]
        reach = max(self.horizons) + self.offset
        if reach > INT32_MAX or reach * unit >= TIMELINE_LIMIT_MS:
            raise InvalidParameterError(
                f"offset: offset {self.offset} with horizons up to {max(self.horizons)} does not fit "
                "the 32-bit unit counts or the 64-bit millisecond time line"
            )
        if self.for_afe_columns and self.offset == 0:
            # the window end is inclusive in feature-group mode: with offset 0 a
            # transaction at the target date itself would count
            raise InvalidParameterError(
                "offset: feature-group mode (group / for_afe_columns) includes the end of the "
                "window, so offset 0 would count transactions at the target date itself; "
                "use offset >= 1"
            )
        for op in self.per_dimension_operators:
            if op is AfeOperator.Ratio:
                raise InvalidParameterError(
                    "per_dimension_operators: ratio cannot be written once per dimension value"
                )
            if op not in self.operators:
                raise InvalidParameterError(
                    f"per_dimension_operators: {operator_name(op)} is not among the requested operators"
                )
        if self.entity_col_of_targets == self.target_date_col:
            raise InvalidParameterError(
                f"target_date_col: the targets' entity column and the target date column are both "
                f"{self.target_date_col!r}"
            )

    def check_group_among(self, dimension_values) -> None:
        """``group=v`` restricts the features to dimension value v, which the
        data (or ``dimension_values``) must then have, whatever the operators."""
        if self.for_afe_columns and not self.is_no_dim_col and self.dim_group_id not in dimension_values:
            raise InvalidParameterError(
                f"group (dim_group_id): {self.dim_group_id} is not one of the dimension values "
                f"{sorted(dimension_values)}"
            )

    # ---- derived values

    @property
    def resolution_code(self) -> int:
        return RESOLUTIONS[self.resolution]

    @property
    def entity_col_of_targets(self) -> str:
        return self.entity_col if self.target_entity_col is None else self.target_entity_col

    def transaction_columns(self) -> List[str]:
        cols = [self.entity_col, self.timestamp_col, self.quantity_col]
        return cols + ([self.dimension_col] if self.dimension_col else [])

    def target_columns(self) -> List[str]:
        return [self.entity_col_of_targets, self.target_date_col]

    def jobs(self) -> int:
        """``n_jobs``, with None resolved to every core this process may run on."""
        if self.n_jobs is not None:
            return self.n_jobs
        from ._native import default_n_jobs

        return default_n_jobs()

    # ---- construction from keyword arguments

    @classmethod
    def from_options(cls, params: Optional["FeatureParams"], options: Mapping[str, Any],
                     caller: str) -> "FeatureParams":
        """A checked parameter object from an optional base object and keyword
        arguments, refusing unknown keywords the way a Python call does."""
        names = {f.name for f in dataclasses.fields(cls)}
        for key in options:
            if key not in names:
                raise TypeError(f"{caller}() got an unexpected keyword argument {key!r}")
        if params is None:
            return cls(**options)
        if not isinstance(params, cls):
            raise TypeError(f"{caller}: params must be a FeatureParams, got {type(params).__name__}")
        if "group" in options and params.group is not None:
            # a new group replaces the kernel names that the old one was spelled out into
            options = {"for_afe_columns": False, "dim_group_id": -1, "is_no_dim_col": False, **options}
        return dataclasses.replace(params, **options) if options else params


def defaults() -> Dict[str, Any]:
    """Each parameter's default, for the command line and the documentation."""
    return {f.name: f.default for f in dataclasses.fields(FeatureParams)}

