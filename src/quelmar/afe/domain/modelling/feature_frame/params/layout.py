"""The result column layout of checked parameters and the data's dimension values.

Plain Python and NumPy-free: it turns the parameters into the column names
and, per column, the (dimension value, operator code, horizon) the engine
computes there. The same layout as ``execute``'s request (operator code
lists, ``column_name_map`` and the key base ``nearest_exponent`` under
which every column key fits in 32 bits) is derived only when asked for:
the engine takes no column keys, so their 32-bit limit binds ``execute``
alone.
"""

from __future__ import annotations

import numbers
import re
from typing import Dict, Iterable, List, Optional, Tuple

from quelmar.afe.dataaccess.services.transaction_file_record_reader import (
    TransactionFileRecordReader,
)
from quelmar.afe.domain.enums.afe_operator import AfeOperator

from ..errors import InvalidParameterError
from .units import INT32_MAX, INT32_MIN

UNKNOWN_DIMENSION_VALUE = int(TransactionFileRecordReader.UNKNOWN_DIMENSION_VALUE)

#: Name separator inside a feature column name: ``{dimension}__{operator}__{horizon}``.
SEP = "__"


def operator_name(op: AfeOperator) -> str:
    """Lower snake case name of an operator: ``CountDistinct`` -> ``count_distinct``."""
    return re.sub(r"(?<!^)(?=[A-Z])", "_", op.name).lower()


class ColumnLayout:
    """The feature columns of one call.

    ``names[i]`` is the name of column ``i`` of the float32 result matrix and
    ``columns[i]`` what the engine computes there: (dimension value, operator
    code, horizon), horizon 0 for a per-dimension column. The rest is the
    same layout as ``execute`` takes it.
    """

    def __init__(self) -> None:
        self.index_map: Dict[int, int] = {}
        self.names: List[str] = []
        self.columns: List[Tuple[int, int, int]] = []
        self.triples: List[Tuple[int, AfeOperator, int]] = []
        self.requested_exponent: Optional[int] = None
        self.horizons_arg: List[int] = []
        self.included: List[int] = []
        self.set_one: List[int] = []
        self.set_two: List[int] = []

    @property
    def nearest_exponent(self) -> int:
        """``execute``'s key base for these columns (ValueError when no base
        gives keys within 32 bits)."""
        return choose_nearest_exponent(self.triples, self.requested_exponent)

    @property
    def column_name_map(self) -> Dict[int, int]:
        """``execute``'s map of packed column keys to columns."""
        e = self.nearest_exponent
        return {column_key(e, d, int(op.value), h): i for i, (d, op, h) in enumerate(self.triples)}

    def _add(self, name: str, dim: int, op: AfeOperator, horizon: int, per_dimension: bool = False) -> None:
        # execute keys a per-dimension column with the largest horizon
        self.names.append(name)
        self.triples.append((dim, op, horizon))
        self.columns.append((dim, int(op.value), 0 if per_dimension else horizon))


def column_key(nearest_exponent: int, dim: int, code: int, horizon: int) -> int:
    """Packed column key: dimension value x E^2 + operator code x E + horizon."""
    e = nearest_exponent
    return dim * e * e + code * e + horizon


def _keys_fit(e: int, triples) -> bool:
    return all(
        INT32_MIN <= column_key(e, d, int(op.value), h) <= INT32_MAX for d, op, h in triples
    )


def choose_nearest_exponent(triples, requested: Optional[int] = None) -> int:
    """Key base for the given (dimension value, operator, horizon) triples.

    The base must exceed every operator code and horizon, so that distinct
    triples give distinct keys, and every key must fit in 32 bits. The smallest
    power of ten that works is preferred (keys then read as decimal digits);
    otherwise the smallest base that works.
    """
    triples = list(triples)
    if not triples:
        return requested if requested is not None else 10
    dims = [d for d, _, _ in triples]
    top_code = max(int(op.value) for _, op, _ in triples)
    top_horizon = max(h for _, _, h in triples)
    lowest = max(top_code, top_horizon) + 1
    if requested is not None:
        if isinstance(requested, bool) or not isinstance(requested, numbers.Integral):
            raise TypeError(f"nearest_exponent: expected an integer, got {requested!r}")
        requested = int(requested)
        if requested < lowest:
            raise ValueError(
                f"nearest_exponent: {requested} is too small; it must exceed every operator code "
                f"and horizon (at least {lowest})"
            )
        if not _keys_fit(requested, triples):
            raise ValueError(
                f"nearest_exponent: with {requested} the column keys of dimension values "
                f"{min(dims)}..{max(dims)} do not fit in 32 bits"
            )
        return requested
    power = 10
    while power < lowest:
        power *= 10
    for candidate in (power, lowest):
        if _keys_fit(candidate, triples):
            return candidate
    raise ValueError(
        f"column keys do not fit in 32 bits: dimension values {min(dims)}..{max(dims)} with operator "
        f"codes up to {top_code} and horizons up to {top_horizon} need a key base of at least {lowest}, "
        "which gives keys outside -2**31..2**31-1; use smaller dimension values (dimension_values) "
        "or shorter horizons"
    )


def feature_name(dim: int, op: AfeOperator, horizon: Optional[int]) -> str:
    if horizon is None:
        return f"{dim}{SEP}{operator_name(op)}"
    return f"{dim}{SEP}{operator_name(op)}{SEP}{horizon}"


def build_layout(dims: Iterable[int], params) -> ColumnLayout:
    """Columns, operator sets and key map for the distinct dimension values
    ``dims`` under the checked parameters ``params`` (a ``FeatureParams``).

    Outside feature-group mode every dimension value (except the unknown one,
    whose cells are never written) gets, for every horizon, one column per
    operator of ``operators`` not in ``per_dimension_operators``, ``Ratio``
    included; the operators of ``per_dimension_operators`` get one column per
    dimension value.
    """
    horizons = list(params.horizons)
    operators = list(params.operators)
    per_dimension = list(params.per_dimension_operators)
    for_afe_columns = params.for_afe_columns
    dim_group_id = params.dim_group_id
    is_no_dim_col = params.is_no_dim_col
    ratio = AfeOperator.Ratio
    dims = sorted(set(int(d) for d in dims))
    layout = ColumnLayout()
    layout.included = [int(op.value) for op in operators]
    layout.set_one = [int(op.value) for op in operators if op is not ratio and op not in per_dimension]
    layout.set_two = [int(op.value) for op in operators if op in per_dimension]
    horizon_list = sorted(horizons)
    # Outside feature-group mode the kernel keeps the horizon order it is given
    # and pairs windows with horizons by position, so it gets them ascending.
    # In feature-group mode it sorts them itself and keys the ratio with the
    # first horizon as given, so the user's order is kept.
    layout.horizons_arg = list(horizons) if for_afe_columns else horizon_list
    h_last = horizon_list[-1]
    known = [d for d in dims if d != UNKNOWN_DIMENSION_VALUE]

    def need_group_dim() -> None:
        if for_afe_columns and ratio in operators and dim_group_id not in known and is_no_dim_col:
            raise ValueError(
                "operators: ratio in feature-group mode is the share of one dimension value; "
                "give that value as group=<value>"
            )
        if dim_group_id not in known:
            raise ValueError(
                f"group (dim_group_id): {dim_group_id} is not one of the dimension values {known}"
            )

    if for_afe_columns and ratio in operators:
        need_group_dim()
        layout._add(feature_name(dim_group_id, ratio, horizons[0]), dim_group_id, ratio, horizons[0])
    else:
        ops_with_horizon = [
            op
            for op in operators
            if op not in per_dimension and (op is not ratio or not for_afe_columns)
        ]
        if (
            for_afe_columns
            and not is_no_dim_col
            and AfeOperator.CountDistinct not in operators
            and AfeOperator.Mode not in operators
        ):
            need_group_dim()
            written = [dim_group_id]
        else:
            written = known
        for d in written:
            for h in horizon_list:
                for op in ops_with_horizon:
                    layout._add(feature_name(d, op, h), d, op, h)
            for op in operators:
                if op in per_dimension:
                    layout._add(feature_name(d, op, None), d, op, h_last, per_dimension=True)
    if params.nearest_exponent is not None:
        # a key base asked for explicitly is checked with the layout
        choose_nearest_exponent(layout.triples, params.nearest_exponent)
    layout.requested_exponent = params.nearest_exponent
    return layout


def make_index_map(dimension_values, codes_present: Iterable[int]) -> Dict[int, int]:
    """The kernel's ``index_map``: dimension code -> dimension value.

    ``codes_present`` are the distinct codes of the transactions. ``None``
    maps every code present onto itself; otherwise the checked (code,
    value) pairs. Codes present in the transactions but not named map to the
    unknown dimension value, which gets no columns but still counts in the
    ratio totals. Every code present is a key, so the kernel never meets a
    code it has to insert itself.
    """
    if dimension_values is None:
        return {int(c): int(c) for c in codes_present}
    mapping = dict(dimension_values)
    for c in codes_present:
        mapping.setdefault(int(c), UNKNOWN_DIMENSION_VALUE)
    return dict(sorted(mapping.items()))


def layout_for(params, codes_present: Iterable[int]) -> ColumnLayout:
    """The feature columns of ``params`` for the dimension codes present,
    with its ``index_map``. The layout's refusals are of parameters that do
    not fit the data's dimension values (group, nearest_exponent,
    dimension_values), so they are parameter errors."""
    index_map = make_index_map(params.dimension_values, codes_present)
    dims = set(index_map.values())
    params.check_group_among(dims - {UNKNOWN_DIMENSION_VALUE})
    try:
        layout = build_layout(dims, params)
    except (TypeError, ValueError) as error:
        message = str(error)
        if message.split(":")[0].split(" ")[0] not in params.__dataclass_fields__:
            message = f"dimension_values: {message}"  # keys that do not fit: too large dimension values
        raise InvalidParameterError(message) from None
    layout.index_map = index_map
    return layout
