"""The parameters that may be spelt several ways, turned into their normal
form: operators by member, name or code, the resolution by name or code,
horizons and dimension values from lists, strings or mappings, and the text
forms of the command line. Each resolver refuses anything else with an
``InvalidParameterError`` naming the parameter.
"""

from __future__ import annotations

import numbers
import re
from typing import Any, Dict, List, Mapping, Tuple

from quelmar.afe.domain.enums.afe_operator import AfeOperator

from ..errors import InvalidParameterError
from .layout import operator_name
from .units import INT8_MAX, INT8_MIN, INT16_MAX, INT16_MIN, INT32_MAX, RESOLUTIONS


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


def resolve_resolution(value) -> str:
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


def resolve_horizons(value) -> Tuple[int, ...]:
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


def resolve_dimension_values(value) -> Tuple[Tuple[int, int], ...]:
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


def resolve_operators(value) -> Tuple[AfeOperator, ...]:
    operators = tuple(AfeOperator) if value is None else _resolve_operators(value, "operators")
    if not operators:
        raise InvalidParameterError("operators: at least one operator is required")
    return operators


def resolve_per_dimension_operators(value) -> Tuple[AfeOperator, ...]:
    return () if value is None else _resolve_operators(value, "per_dimension_operators")


# --------------------------------------------------------------------------
# text forms (the command line's)


def dimension_values_text(text: str):
    """Codes ``"1,2,3"`` or code=value pairs ``"1=10,2=10"``."""
    pairs: Dict[int, int] = {}
    codes: List[int] = []
    try:
        for part in (p.strip() for p in text.split(",")):
            if not part:
                continue
            if "=" in part:
                code, value = part.split("=", 1)
                pairs[int(code)] = int(value)
            else:
                codes.append(int(part))
    except ValueError:
        raise InvalidParameterError(
            f"dimension_values: expected codes '1,2,3' or code=value pairs '1=10,2=10', got {text!r}"
        ) from None
    if pairs and codes:
        raise InvalidParameterError("dimension_values: give either codes or code=value pairs, not both")
    return pairs if pairs else codes


def group_text(text: str):
    """A dimension value or ``"all"``."""
    if text == "all":
        return text
    try:
        return int(text)
    except ValueError:
        raise InvalidParameterError(f"group: expected a dimension value or 'all', got {text!r}") from None


def optional_text(text: str):
    """A column name, or None for the empty text."""
    return text or None
