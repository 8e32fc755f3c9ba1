"""The parameters of a feature frame computation, validated in one place.

``FeatureParams`` holds every parameter of ``build_feature_frame``; the API,
the command line and the Dask path all build one, so they share the same
defaults, checks and messages. Each field's accepted values are declared once
in ``_PARAMETER_CONSTRAINTS``; checks that involve several fields follow, and
``check_group_among`` checks ``group`` against the data's dimension values.
Every refusal is an ``InvalidParameterError`` whose message starts with the
parameter's name.
"""

from __future__ import annotations

import dataclasses
import numbers
import re
import sys
import warnings
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Union

from quelmar.afe.domain.enums.afe_operator import AfeOperator

from ._columns import (
    INT8_MAX,
    INT8_MIN,
    INT16_MAX,
    INT16_MIN,
    INT32_MAX,
    INT32_MIN,
    RESOLUTIONS,
    UNIT_MS,
    operator_name,
)

#: The units integer timestamps may count (``timestamp_unit``); their lengths
#: are NumPy's datetime64 units of the same names.
TIMESTAMP_UNITS: Tuple[str, ...] = ("s", "ms", "us", "ns")

#: Every timestamp, window bound and span stays within +-2**62 ms, so that no
#: difference or bound the kernel forms can leave int64.
TIMELINE_LIMIT_MS = 2 ** 62


class InvalidParameterError(ValueError, TypeError):
    """A parameter outside its accepted values. It is both a ValueError and a
    TypeError, so callers may catch either, whichever the fault looks like."""


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


# --------------------------------------------------------------------------
# resolvers of the parameters given in several spellings


_OPERATOR_BY_KEY: Dict[str, AfeOperator] = {}
for _op in AfeOperator:
    _OPERATOR_BY_KEY[operator_name(_op)] = _op
    _OPERATOR_BY_KEY[_op.name.lower()] = _op
_OPERATOR_BY_CODE: Dict[int, AfeOperator] = {int(op.value): op for op in AfeOperator}


def _items(value, param: str, what: str) -> List[Any]:
    """A list parameter's items: one integer or string stands for a list of
    itself (a string may list several items separated by commas)."""
    if isinstance(value, (str, AfeOperator)) or (isinstance(value, numbers.Integral) and not isinstance(value, bool)):
        value = [value]
    if isinstance(value, (bytes, Mapping)) or not hasattr(value, "__iter__"):
        raise InvalidParameterError(f"{param}: expected {what} or a list of them, got {value!r}")
    items: List[Any] = []
    for item in value:
        if isinstance(item, str):
            items.extend(part.strip() for part in item.split(",") if part.strip())
        else:
            items.append(item)
    return items


def _resolve_operators(value, param: str) -> Tuple[AfeOperator, ...]:
    """Members of ``AfeOperator`` from members, names or integer codes, in
    order, without repeats."""
    result: List[AfeOperator] = []
    for item in _items(value, param, "an operator name or code"):
        op = _one_operator(item, param)
        if op not in result:
            result.append(op)
    return tuple(result)


def _one_operator(item, param: str) -> AfeOperator:
    if isinstance(item, AfeOperator):
        return item
    if isinstance(item, str):
        op = _OPERATOR_BY_KEY.get(item.lower()) or _OPERATOR_BY_KEY.get(
            re.sub(r"(?<!^)(?=[A-Z])", "_", item).lower()
        )
        if op is None:
            known = ", ".join(operator_name(o) for o in AfeOperator)
            raise InvalidParameterError(f"{param}: unknown operator {item!r}; expected one of {known}")
        return op
    if isinstance(item, numbers.Integral) and not isinstance(item, bool):
        op = _OPERATOR_BY_CODE.get(int(item))
        if op is None:
            raise InvalidParameterError(f"{param}: unknown operator code {item}")
        return op
    raise InvalidParameterError(f"{param}: an operator must be an AfeOperator, a name or a code, got {item!r}")


def _resolution(value) -> str:
    """The resolution's name, from a name (``"day"``) or a code 0 to 5."""
    if isinstance(value, str):
        name = value.strip().lower()
        if name not in RESOLUTIONS:
            raise InvalidParameterError(
                f"resolution: unknown resolution {value!r}; expected one of {', '.join(RESOLUTIONS)}"
            )
        return name
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        for name, code in RESOLUTIONS.items():
            if code == int(value):
                return name
        raise InvalidParameterError(
            f"resolution: unknown resolution code {value}; expected 0 to 5 ({', '.join(RESOLUTIONS)})"
        )
    raise InvalidParameterError(f"resolution: expected a name such as 'day' or a code 0 to 5, got {value!r}")


def _horizons(value) -> Tuple[int, ...]:
    """Positive int32 window lengths in the order given, repeats dropped."""
    result: List[int] = []
    for h in _items(value, "horizons", "a positive integer"):
        if isinstance(h, str):
            try:
                h = int(h)
            except ValueError:
                raise InvalidParameterError(f"horizons: {h!r} is not an integer") from None
        if isinstance(h, bool) or not isinstance(h, numbers.Integral):
            raise InvalidParameterError(f"horizons: horizons must be integers, got {h!r}")
        h = int(h)
        if not 1 <= h <= INT32_MAX:
            raise InvalidParameterError(
                f"horizons: every horizon must be a positive count of resolution units below 2**31, got {h}"
            )
        if h not in result:
            result.append(h)
    if not result:
        raise InvalidParameterError("horizons: at least one horizon is required")
    return tuple(result)


def _dimension_values(value) -> Tuple[Tuple[int, int], ...]:
    """(code, value) pairs ascending by code, from a dict code -> value, a
    sequence of (code, value) pairs, or a sequence of codes that map onto
    themselves."""
    if isinstance(value, Mapping):
        items = list(value.items())
    elif isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise InvalidParameterError(
            f"dimension_values: expected a dict of code -> value or a sequence of codes, got {value!r}"
        )
    else:
        items = [tuple(c) if isinstance(c, tuple) and len(c) == 2 else (c, c) for c in value]
    mapping: Dict[int, int] = {}
    for code, mapped in items:
        for number, low, high, kind in (
            (code, INT8_MIN, INT8_MAX, "dimension code"),
            (mapped, INT16_MIN, INT16_MAX, "dimension value"),
        ):
            if isinstance(number, bool) or not isinstance(number, numbers.Integral):
                raise InvalidParameterError(f"dimension_values: a {kind} must be an integer, got {number!r}")
            if not low <= int(number) <= high:
                raise InvalidParameterError(f"dimension_values: {kind} {number} is outside {low}..{high}")
        mapping[int(code)] = int(mapped)
    return tuple(sorted(mapping.items()))


def _operators(value) -> Tuple[AfeOperator, ...]:
    operators = tuple(AfeOperator) if value is None else _resolve_operators(value, "operators")
    if not operators:
        raise InvalidParameterError("operators: at least one operator is required")
    return operators


def _per_dimension(value) -> Tuple[AfeOperator, ...]:
    return () if value is None else _resolve_operators(value, "per_dimension_operators")


_COLUMN = [_ColumnName()]

#: What each parameter accepts. A value is valid when one constraint of its
#: list accepts it; the first that does normalises it.
_PARAMETER_CONSTRAINTS: Dict[str, List[_Constraint]] = {
    "horizons": [_Converted(_horizons)],
    "resolution": [_Converted(_resolution)],
    "offset": [_Integer(0, INT32_MAX)],
    "operators": [_Converted(_operators)],
    "per_dimension_operators": [_Converted(_per_dimension)],
    "dimension_values": [_Null(), _Converted(_dimension_values)],
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
        unit = UNIT_MS[self.resolution_code]
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

