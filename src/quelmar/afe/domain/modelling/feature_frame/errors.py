"""Every exception and warning the feature frame front end raises on purpose.

Faults of the caller's data or parameters are ``ValueError`` or
``TypeError`` subclasses, so code written against the standard exceptions
keeps working; each message starts with what is at fault: a parameter's
name, or a table (its name or file) and a column.
"""

from __future__ import annotations

from typing import Iterable


class InvalidParameterError(ValueError, TypeError):
    """A parameter outside its accepted values. It is both a ValueError and a
    TypeError, so callers may catch either, whichever the fault looks like."""


class MissingColumnError(ValueError):
    """A table lacks a column the computation needs."""

    def __init__(self, what: str, column: str, names: Iterable[str]):
        listed = ", ".join(repr(c) for c in names)
        super().__init__(f"{what}: missing column {column!r} (columns are {listed})")


class UsageError(ValueError):
    """A fault of the command line's arguments or files, reported without a traceback."""


class OutputTooLargeError(MemoryError):
    """The result would not fit in the memory this process may use."""


class StoreError(ValueError):
    """A feature store that cannot be made, opened or used as asked: a
    foreign directory, another layout version, other parameters."""


class NotAnswerableError(StoreError):
    """A feature store asked for features as of a date it no longer keeps
    the transactions of: it refuses rather than answer approximately."""


class OutsideHistoryWarning(UserWarning):
    """Transactions appended to a store were older than anything it answers
    for, and so were not kept."""


class MissingQuantityWarning(UserWarning):
    """Transactions with a missing quantity were dropped before computing."""


class Terminated(KeyboardInterrupt):
    """SIGTERM as an exception, so that a run stopped by ``kill`` unwinds as
    one stopped by Ctrl-C: the buckets and a partial output are removed."""
