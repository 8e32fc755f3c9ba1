"""The parameters of a feature frame computation, written down once.

``FeatureParams`` holds every parameter of ``build_feature_frame``; each
field carries what it accepts, its help text and its command-line form in
its metadata, so the API, the command line (its options are made from the
fields), the Dask path and the store share one list with the same
defaults, checks and messages. Checks that involve several fields follow
the per-field ones; ``check_group_among`` checks ``group`` against the
data's dimension values. Every refusal is an ``InvalidParameterError``
whose message starts with the parameter's name.
"""

from __future__ import annotations

import dataclasses
import sys
import warnings
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from quelmar.afe.domain.enums.afe_operator import AfeOperator

from ..errors import InvalidParameterError
from ..support.machine import default_n_jobs
from .constraints import Boolean, ColumnName, Constraint, Converted, Integer, Null, Options, validated
from .layout import operator_name
from .resolve import (
    dimension_values_text,
    group_text,
    optional_text,
    resolve_dimension_values,
    resolve_horizons,
    resolve_operators,
    resolve_per_dimension_operators,
    resolve_resolution,
)
from .units import (
    INT16_MAX,
    INT16_MIN,
    INT32_MAX,
    INT32_MIN,
    RESOLUTIONS,
    TIMELINE_LIMIT_MS,
    TIMESTAMP_UNITS,
    UNIT_MS,
)

#: Parameters still accepted that no longer change anything.
_WITHOUT_EFFECT = ("batch_size", "n_splits")
#: The kernel's spelling of ``group``, which ``group`` is spelled out into.
_GROUP_FIELDS = ("for_afe_columns", "dim_group_id", "is_no_dim_col")


def _param(default: Any, accepts: Sequence[Constraint], help: str, *, text: Optional[Callable[[str], Any]] = str,
           flags: Tuple[str, ...] = (), cli: bool = True, choices: Optional[Sequence[str]] = None,
           section: str = "features") -> Any:
    """A field of ``FeatureParams``: its default, what it accepts, its help,
    and on the command line (``cli``) its text form (``text`` turns the
    option's text into a value the field accepts; the flag is the field's
    name with dashes, ``flags`` add older spellings; ``section`` groups the
    options in the help)."""
    return dataclasses.field(default=default, metadata={
        "accepts": list(accepts), "help": help, "cli": cli, "text": text, "flags": flags, "choices": choices,
        "section": section})


_COLUMN = [ColumnName()]


def _integer_text(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        return text  # refused by the field's check, naming the parameter


def _comma_list(values) -> str:
    return ", ".join(str(v) for v in values)


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

    horizons: Tuple[int, ...] = _param(
        (7, 30, 90), [Converted(resolve_horizons)], "comma-separated window lengths in resolution units")
    resolution: str = _param(
        "day", [Converted(resolve_resolution)], "unit of horizons and offset (a month is 30 days, a year 365)",
        choices=list(RESOLUTIONS))
    offset: int = _param(
        0, [Integer(0, INT32_MAX)], "units between the end of every window and the target date (>= 0; >= 1 with "
        "group)", text=_integer_text)
    operators: Tuple[AfeOperator, ...] = _param(
        tuple(AfeOperator), [Converted(resolve_operators)], "comma-separated operators")
    per_dimension_operators: Tuple[AfeOperator, ...] = _param(
        (), [Converted(resolve_per_dimension_operators)],
        "operators written once per dimension value instead of per horizon", flags=("--per-dimension",))
    dimension_values: Optional[Tuple[Tuple[int, int], ...]] = _param(
        None, [Null(), Converted(resolve_dimension_values)],
        "fixes the column set: codes '1,2,3', or code=value pairs '1=10,2=10'; default: the codes present in "
        "the transactions", text=dimension_values_text)
    timestamp_unit: str = _param(
        "ms", [Options(*TIMESTAMP_UNITS)], "unit of integer timestamps in both tables", flags=("--time-unit",),
        choices=list(TIMESTAMP_UNITS), section="columns")
    missing_quantities: str = _param(
        "drop", [Options("drop", "raise")], "rows with a missing quantity: dropped (and counted) or refused",
        choices=["drop", "raise"])
    group: Union[int, str, None] = _param(
        None, [Null(), Integer(INT16_MIN, INT16_MAX), Options("all")],
        "feature-group mode: one dimension value, or 'all'", text=group_text)
    for_afe_columns: bool = _param(False, [Boolean()], "the kernel's spelling of group: feature-group mode",
                                   cli=False)
    dim_group_id: int = _param(-1, [Integer(INT32_MIN, INT32_MAX)], "the kernel's spelling of group=<value>",
                               cli=False)
    is_no_dim_col: bool = _param(False, [Boolean()], "the kernel's spelling of group='all'", cli=False)
    nearest_exponent: Optional[int] = _param(
        None, [Null(), Integer(1, INT32_MAX)], "key base of column_name_map when the layout is handed to "
        "execute (the engine takes no keys)", cli=False)
    batch_size: Optional[int] = _param(
        None, [Null(), Integer(1, INT32_MAX)], "no effect any more (every target is computed in one call); "
        "will be removed", text=_integer_text, section="running")
    n_splits: Optional[int] = _param(None, [Null(), Integer(1, INT32_MAX)], "no effect any more", cli=False)
    n_jobs: Optional[int] = _param(
        None, [Null(), Integer(1, None)], "threads of the computation; default: every core this process may use",
        text=_integer_text, section="running")
    entity_col: str = _param("entity", _COLUMN, "entity id column of the transactions", section="columns")
    timestamp_col: str = _param("timestamp", _COLUMN, "timestamp column of the transactions", section="columns")
    quantity_col: str = _param("quantity", _COLUMN, "quantity column of the transactions", section="columns")
    dimension_col: Optional[str] = _param(
        "dimension", [Null(), ColumnName()], "dimension code column; '' for none", text=optional_text,
        section="columns")
    target_entity_col: Optional[str] = _param(
        None, [Null(), ColumnName()], "entity column of the targets; default: the entity_col name",
        text=optional_text, section="columns")
    target_date_col: str = _param("target_date", _COLUMN, "target date column of the targets", section="columns")

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            value = validated(field.name, getattr(self, field.name), field.metadata["accepts"])
            object.__setattr__(self, field.name, value)
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
        given = tuple(getattr(self, name) for name in _GROUP_FIELDS)
        defaults = (False, -1, False)
        if given != defaults and given != implied:
            raise InvalidParameterError(
                "group: give either group or the kernel's for_afe_columns, dim_group_id and "
                f"is_no_dim_col, not both (group={self.group!r}, for_afe_columns="
                f"{self.for_afe_columns}, dim_group_id={self.dim_group_id}, "
                f"is_no_dim_col={self.is_no_dim_col})"
            )
        for name, value in zip(_GROUP_FIELDS, implied):
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
    def window_reach_ms(self) -> int:
        """How far before a target date its largest window starts, in milliseconds."""
        return int((max(self.horizons) + self.offset) * UNIT_MS[self.resolution])

    @property
    def window_end_ms(self) -> int:
        """How far before a target date every window ends, in milliseconds."""
        return int(self.offset * UNIT_MS[self.resolution])

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
        return default_n_jobs() if self.n_jobs is None else self.n_jobs

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

    # ---- a stable text form, for a store's metadata

    def to_dict(self) -> Dict[str, Any]:
        """The fields as JSON-ready values from which ``from_dict`` rebuilds
        an equal object (``group`` stands for its kernel spelling)."""
        out: Dict[str, Any] = {}
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if field.name in _GROUP_FIELDS and self.group is not None:
                continue
            if field.name in ("operators", "per_dimension_operators"):
                value = [operator_name(op) for op in value]
            elif isinstance(value, tuple):
                value = [list(v) if isinstance(v, tuple) else v for v in value]
            out[field.name] = value
        return out

    @classmethod
    def from_dict(cls, fields: Mapping[str, Any]) -> "FeatureParams":
        def tuples(value):
            return tuple(tuples(v) for v in value) if isinstance(value, list) else value

        return cls(**{name: tuples(value) for name, value in fields.items()})


def defaults() -> Dict[str, Any]:
    """Each parameter's default, for the command line and the documentation."""
    return {f.name: f.default for f in dataclasses.fields(FeatureParams)}


def command_line_fields() -> List[dataclasses.Field]:
    """The fields that are options of the command line, in order."""
    return [f for f in dataclasses.fields(FeatureParams) if f.metadata["cli"]]


def default_text(field: dataclasses.Field) -> Optional[str]:
    """A field's default as the command line spells it."""
    default = field.default
    if default == ():
        return None
    if field.name in ("operators", "per_dimension_operators"):
        return _comma_list(operator_name(op) for op in default)
    if isinstance(default, tuple):
        return _comma_list(default)
    return None if default is None else str(default)


def stacklevel_outside_package() -> int:
    """The ``stacklevel`` that points a warning raised by the caller at the
    first frame outside this package: the user's call."""
    package = __name__.rsplit(".", 2)[0]
    frame, level = sys._getframe(1), 1
    while frame is not None and frame.f_globals.get("__name__", "").startswith(package):
        frame, level = frame.f_back, level + 1
    return level
