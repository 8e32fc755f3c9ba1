"""Scale-out on Dask: the same computation, one entity partition at a time.

Both tables are shuffled on a partition number derived from the entity id, so
all transactions and all targets of an entity meet in the partition of the
same number; ``build_feature_frame`` then runs on each pair of partitions.
Dimension values are fixed once for the whole data set beforehand, so every
partition produces the same columns.
"""

from __future__ import annotations

import dataclasses
import functools
import inspect
from typing import Optional

import numpy as np

from . import _deps
from ._build import build_feature_frame
from ._grid import TargetGrid
from ._params import FeatureParams
from ._tables import Table

PART_COL = "__feature_frame_part"


def _partition_numbers(series, npartitions: int):
    """Partition number of each entity id, equal for equal ids whatever the dtype
    width (integers are hashed as int64, floats as float64, anything else as object)."""
    pd = _deps.pandas()
    api = pd.api.types
    if api.is_integer_dtype(series.dtype) and not api.is_bool_dtype(series.dtype):
        series = series.astype("int64")
    elif api.is_float_dtype(series.dtype):
        series = series.astype("float64")
    else:
        series = series.astype(object)
    hashes = pd.util.hash_pandas_object(series, index=False).to_numpy()
    return pd.Series((hashes % np.uint64(npartitions)).astype(np.int64), index=series.index, name=PART_COL)


def _with_partition_numbers(frame, col: str, npartitions: int):
    frame = frame.copy()
    frame[PART_COL] = _partition_numbers(frame[col], npartitions)
    return frame


def _features_of_partition(transactions, targets, params):
    return build_feature_frame(
        transactions.drop(columns=[PART_COL]), targets.drop(columns=[PART_COL]), params
    )


def _grid_of_partition(transactions, grid, no_targets, params):
    transactions = transactions.drop(columns=[PART_COL])
    return build_feature_frame(transactions, grid if len(transactions) else no_targets, params)


def build_feature_frame_dask(
    transactions,
    targets,
    params: Optional[FeatureParams] = None,
    /,
    *,
    npartitions: Optional[int] = None,
    shuffle_method: Optional[str] = None,
    **options,
):
    """``build_feature_frame`` on Dask DataFrames; returns a lazy Dask DataFrame.

    The result holds the same rows and values as the single-machine result;
    rows come grouped by partition, each keeping the index it had in
    ``targets`` (``.compute().sort_index()`` restores the input order when that
    index is sorted and unique). Takes a ``FeatureParams`` and/or its fields as
    keywords, as ``build_feature_frame`` does (``n_jobs`` then applies to each
    partition: by default 1, since Dask already runs partitions side by side
    on its worker threads), and ``npartitions``, the number of entity partitions (default:
    the larger partition count of the two inputs), and ``shuffle_method``,
    passed to Dask's ``shuffle`` (default: Dask's choice; ``"tasks"`` avoids
    the P2P shuffle of old distributed releases, which fails with recent
    pyarrow). Missing quantities are dropped or refused per partition; the
    warnings of dropped rows go to the workers' logs.
    """
    if "progress" in options:
        if options.pop("progress"):
            raise ValueError("progress: not available on Dask; use the Dask dashboard or progress bar")
    params = FeatureParams.from_options(params, options, "build_feature_frame_dask")
    if params.n_jobs is None:
        # Dask already runs a partition per worker thread: one engine thread
        # each, unless the user says otherwise
        params = dataclasses.replace(params, n_jobs=1)
    dd = _deps.require("dask.dataframe")
    pd = _deps.pandas()
    grid = None
    if isinstance(targets, TargetGrid):
        if targets.entities is None:
            grid, targets = targets, targets.empty_table(transactions._meta if hasattr(transactions, "_meta")
                                                         else transactions, params)
        else:
            targets = targets.table(None, params)
    frames = []
    for what, frame in (("transactions", transactions), ("targets", targets)):
        if isinstance(frame, pd.DataFrame):
            frame = dd.from_pandas(frame, npartitions=1)
        if not isinstance(frame, dd.DataFrame):
            raise TypeError(f"{what}: expected a Dask or pandas DataFrame, got {type(frame).__name__}")
        frames.append(frame)
    transactions, targets = frames
    if npartitions is not None and (isinstance(npartitions, bool) or not isinstance(npartitions, int)
                                    or npartitions < 1):
        raise ValueError(f"npartitions: expected a positive integer or None, got {npartitions!r}")

    # every partition must produce the same columns: the dimension values are
    # fixed once, from the codes of the whole data set unless given
    dimension_col = params.dimension_col
    if params.dimension_values is None and dimension_col and dimension_col in transactions.columns:
        codes = transactions[[dimension_col]].drop_duplicates().compute()
        _, present = Table(codes, "transactions", [dimension_col]).dimension_codes(dimension_col)
        params = dataclasses.replace(params, dimension_values=sorted(int(c) for c in present))
    # the empty metadata frames go through every check of the parameters and
    # column types, and give the result's columns and dtypes
    meta = build_feature_frame(transactions._meta, targets._meta, params)

    if npartitions is None:
        npartitions = max(transactions.npartitions, targets.npartitions)

    def partitioned(frame, col):
        frame_meta = frame._meta.assign(**{PART_COL: np.zeros(0, dtype=np.int64)})
        numbered = frame.map_partitions(_with_partition_numbers, col, npartitions, meta=frame_meta)
        if shuffle_method is None:
            return numbered.shuffle(on=PART_COL, npartitions=npartitions)
        # the keyword is shuffle_method in current Dask and shuffle in releases before 2024
        keyword = "shuffle_method"
        if "shuffle_method" not in inspect.signature(numbered.shuffle).parameters:
            keyword = "shuffle"
        return numbered.shuffle(on=PART_COL, npartitions=npartitions, **{keyword: shuffle_method})

    if grid is not None:
        # the grid over each partition's own entities
        return partitioned(transactions, params.entity_col).map_partitions(
            _grid_of_partition, grid, targets._meta, params, meta=meta)
    return dd.map_partitions(
        functools.partial(_features_of_partition, params=params),
        partitioned(transactions, params.entity_col),
        partitioned(targets, params.entity_col_of_targets),
        meta=meta,
        align_dataframes=False,
    )
