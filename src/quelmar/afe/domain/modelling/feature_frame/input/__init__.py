"""The input layer: every input column normalised once, at the edge.

``InputTable`` wraps a pandas DataFrame, a pyarrow Table or RecordBatch or a
polars DataFrame once (the source kind is decided there) and hands out
typed columns, each checked once and naming the first bad row when it
refuses: times (``TimeColumn``: counts and their unit, earliest and latest),
numbers (quantities, with the ``MissingQuantities`` rule), codes
(``CodeColumn``: values and codes present) and ids (``IdColumn``: one id rule
for every source and path, its hash, and ``number_entities``).
``Transactions`` and ``Targets`` are the two tables as the computation
takes them. Every path (in memory, grids, buckets on disk, partitioned
Dask, the command line's files) reads its tables through this layer.
"""

from .arrow import is_arrow_column, to_pandas
from .codes import CodeColumn, no_codes, present_codes, read_codes
from .ids import NUMERIC, IdColumn
from .numbering import EntityCodes, check_comparable, number_entities
from .numbers import MissingQuantities, read_numbers
from .table import InputTable
from .tables import Targets, Transactions
from .times import TimeColumn, read_times, times_of_array

__all__ = [
    "NUMERIC", "CodeColumn", "EntityCodes", "IdColumn", "InputTable", "MissingQuantities", "Targets",
    "TimeColumn", "Transactions", "check_comparable", "is_arrow_column", "no_codes", "number_entities",
    "present_codes", "read_codes", "read_numbers", "read_times", "times_of_array", "to_pandas",
]
