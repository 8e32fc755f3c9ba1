"""What a parameter accepts: each constraint says whether it accepts a value
and may normalise it; a parameter is valid when one constraint of its list
accepts it, and the first that does normalises it."""

from __future__ import annotations

import numbers
from typing import Any, Callable, Optional, Sequence

from ..errors import InvalidParameterError


class Constraint:
    def accepts(self, value: Any) -> bool:
        raise NotImplementedError

    def normalise(self, value: Any) -> Any:
        return value


class Null(Constraint):
    def accepts(self, value):
        return value is None

    def __str__(self):
        return "None"


class Integer(Constraint):
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


class Options(Constraint):
    def __init__(self, *options: str):
        self.options = options

    def accepts(self, value):
        return isinstance(value, str) and value in self.options

    def __str__(self):
        return "one of " + ", ".join(repr(o) for o in self.options)


class Boolean(Constraint):
    def accepts(self, value):
        return isinstance(value, bool) or type(value).__name__ == "bool_"

    def normalise(self, value):
        return bool(value)

    def __str__(self):
        return "True or False"


class ColumnName(Constraint):
    def accepts(self, value):
        return isinstance(value, str) and value != ""

    def __str__(self):
        return "a column name"


class Converted(Constraint):
    """A value that a resolver turns into its normal form; the resolver raises
    InvalidParameterError, naming the parameter, on anything else."""

    def __init__(self, resolve: Callable[[Any], Any]):
        self.resolve = resolve

    def accepts(self, value):
        return True

    def normalise(self, value):
        return self.resolve(value)




def validated(name: str, value: Any, constraints: Sequence[Constraint]) -> Any:
    for constraint in constraints:
        if constraint.accepts(value):
            return constraint.normalise(value)
    expected = " or ".join(str(c) for c in constraints)
    raise InvalidParameterError(f"{name}: expected {expected}, got {value!r}")
