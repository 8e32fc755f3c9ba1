"""Scale-out on Dask: the same computation, one entity partition at a time.

All transactions and all targets of an entity must meet in the partition of
the same number. Tables written by ``write_partitioned`` are split so
already: each task reads one pair of parts and computes it, with no data
moving between workers. Any other pair of Dask DataFrames is shuffled on a
hash of the entity id first. Dimension values are fixed
once for the whole data set beforehand, so every partition produces the same
columns. ``gather_feature_frame`` brings a result into this process one
part per worker, without concatenating it on a worker first.
"""

from __future__ import annotations

import dataclasses
import functools
import inspect
import sys
from typing import Optional

import numpy as np

from ..compute import TargetGrid, build_feature_frame
from ..input import IdColumn, InputTable, read_codes
from ..params import FeatureParams
from ..support import pandas, require
from .options import task_params
from .partitioned import PART_COL, Dataset, check_co_partitioned, is_dataset_path, read_part


def _with_id_hashes(frame, col: str, what: str):
    # the whole 64-bit hash: the shuffle hashes the column again, modulo its
    # partition count, and part numbers 0..n-1 would collide there, leaving
    # partitions empty and others doubled
    hashes = IdColumn(InputTable(frame, what, [col]), col).hashes()
    frame = frame.copy()
    frame[PART_COL] = hashes.view(np.int64)
    return frame


def _features_of_partition(transactions, targets, params):
    return build_feature_frame(
        transactions.drop(columns=[PART_COL]), targets.drop(columns=[PART_COL]), params
    )


def _grid_of_partition(transactions, grid, no_targets, params):
    transactions = transactions.drop(columns=[PART_COL])
    return build_feature_frame(transactions, grid if len(transactions) else no_targets, params)


class _PartFeatures:
    """The task of one pair of parts: read the needed columns (the
    transactions stay Arrow, the engine reads them in place), compute."""

    def __init__(self, params: FeatureParams, trx: Dataset, tgt: Dataset):
        self.params = params
        self.trx_schema, self.tgt_schema = trx.schema, tgt.schema
        self.trx_cols = _present(params.transaction_columns(), trx.schema.names)
        self.tgt_cols = _present(params.target_columns(), tgt.schema.names)

    def read(self, trx_files, tgt_files):
        return (read_part(trx_files, self.trx_schema, self.trx_cols),
                read_part(tgt_files, self.tgt_schema, self.tgt_cols).to_pandas())

    def __call__(self, trx_files, tgt_files):
        return build_feature_frame(*self.read(trx_files, tgt_files), self.params)

    def __dask_tokenize__(self):
        return (type(self).__name__, repr(self.params), self.trx_cols, self.tgt_cols)


def _present(columns, names):
    # an absent column is reported by build_feature_frame on the empty parts, in its own words
    return [c for c in columns if c in names]


def _fixed_dimension_values(params: FeatureParams, has_column, present_codes) -> FeatureParams:
    """Every partition must produce the same columns: the dimension values
    are fixed once, from the codes of the whole data set unless given (code 0
    without a dimension column: a partition with transactions has its
    columns, one without would have none)."""
    if params.dimension_values is None and not params.dimension_col:
        return dataclasses.replace(params, dimension_values=[0])
    if params.dimension_values is None and has_column(params.dimension_col):
        params = dataclasses.replace(params, dimension_values=sorted(int(c) for c in present_codes()))
    return params


def _from_datasets(dd, transactions, targets, params: FeatureParams):
    trx, tgt = Dataset(transactions, "transactions"), Dataset(targets, "targets")
    check_co_partitioned(trx, tgt)
    trx.check_column(params.entity_col, "entity_col")
    tgt.check_column(params.entity_col_of_targets, "target_entity_col")
    params = _fixed_dimension_values(params, lambda col: col in trx.schema.names,
                                     lambda: trx.dimension_codes(params.dimension_col))
    task = _PartFeatures(params, trx, tgt)
    meta = build_feature_frame(*task.read([], []), params)
    return dd.from_map(task, trx.files, tgt.files, meta=meta, enforce_metadata=False, label="feature-frame")


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
    """``build_feature_frame`` on Dask DataFrames, or on the two directories
    that ``write_partitioned`` wrote; returns a lazy Dask DataFrame.

    The result holds the same rows and values as the single-machine result;
    rows come grouped by partition, each keeping the index it had in
    ``targets`` (``.compute().sort_index()`` restores the input order when that
    index is sorted and unique). Takes a ``FeatureParams`` and/or its fields as
    keywords, as ``build_feature_frame`` does (``n_jobs`` then applies to each
    partition: by default 1, since Dask already runs partitions side by side
    on its worker threads).

    Directories written by ``write_partitioned`` are computed part by part,
    one task for each, with no shuffle; their partitioning is checked (the
    same part count and hashing on both sides, the partitioning column,
    every file present with the same columns) before anything is computed.
    DataFrames are shuffled on the entity id first: ``npartitions`` is the
    number of entity partitions (default: the larger partition count of the
    two inputs), ``shuffle_method`` is passed to Dask's ``shuffle`` (default:
    Dask's choice; ``"tasks"`` avoids the P2P shuffle of old distributed
    releases, which fails with recent pyarrow). Missing quantities are
    dropped or refused per partition; the warnings of dropped rows go to the
    workers' logs.
    """
    params = task_params(params, options, "build_feature_frame_dask",
                         "Dask; use the Dask dashboard or progress bar")
    dd = require("dask.dataframe")
    pd = pandas()
    if npartitions is not None and (isinstance(npartitions, bool) or not isinstance(npartitions, int)
                                    or npartitions < 1):
        raise ValueError(f"npartitions: expected a positive integer or None, got {npartitions!r}")
    paths = is_dataset_path(transactions), is_dataset_path(targets)
    if all(paths):
        for name, value in (("npartitions", npartitions), ("shuffle_method", shuffle_method)):
            if value is not None:
                raise ValueError(f"{name}: a partitioned dataset is computed in the parts it was written in")
        return _from_datasets(dd, transactions, targets, params)
    if any(paths):
        raise TypeError("transactions and targets: pass both as the directories write_partitioned wrote, "
                        "or both as DataFrames")
    grid = None
    if isinstance(targets, TargetGrid):
        if targets.entities is None or targets.from_first_transaction:
            # each partition's grid over its own entities (those given among them)
            grid, targets = targets, targets.empty_table(transactions._meta if hasattr(transactions, "_meta")
                                                         else transactions, params)
        else:
            targets = targets.table(None, params)
    frames = []
    for what, frame in (("transactions", transactions), ("targets", targets)):
        if isinstance(frame, pd.DataFrame):
            frame = dd.from_pandas(frame, npartitions=1)
        if not isinstance(frame, dd.DataFrame):
            raise TypeError(f"{what}: expected a Dask or pandas DataFrame, or the directory of a partitioned "
                            f"dataset, got {type(frame).__name__}")
        frames.append(frame)
    # only the columns the computation reads cross the shuffle (the result
    # keeps no other; an absent one is reported below, on the metadata)
    def needed(frame, columns):
        keep = list(dict.fromkeys(_present(columns, frame.columns)))
        return frame[keep] if len(keep) < len(frame.columns) else frame

    transactions = needed(frames[0], params.transaction_columns())
    targets = needed(frames[1], params.target_columns())

    def present_codes():
        codes = transactions[[params.dimension_col]].drop_duplicates().compute()
        return read_codes(InputTable(codes, "transactions", [params.dimension_col]), params.dimension_col).present

    params = _fixed_dimension_values(params, lambda col: col in transactions.columns, present_codes)
    # the empty metadata frames go through every check of the parameters and
    # column types, and give the result's columns and dtypes
    meta = build_feature_frame(transactions._meta, targets._meta, params)

    if npartitions is None:
        npartitions = max(transactions.npartitions, targets.npartitions)

    # equal ids hash equally whatever their columns' types
    def partitioned(frame, col, what):
        frame_meta = frame._meta.assign(**{PART_COL: np.zeros(0, dtype=np.int64)})
        numbered = frame.map_partitions(_with_id_hashes, col, what, meta=frame_meta)
        if shuffle_method is None:
            return numbered.shuffle(on=PART_COL, npartitions=npartitions)
        # the keyword is shuffle_method in current Dask and shuffle in releases before 2024
        keyword = "shuffle_method"
        if "shuffle_method" not in inspect.signature(numbered.shuffle).parameters:
            keyword = "shuffle"
        return numbered.shuffle(on=PART_COL, npartitions=npartitions, **{keyword: shuffle_method})

    if grid is not None:
        # the grid over each partition's own entities
        # bound in a partial: a pandas frame among the arguments would be
        # aligned with the partitions by older Dask versions
        return partitioned(transactions, params.entity_col, "transactions").map_partitions(
            functools.partial(_grid_of_partition, grid=grid, no_targets=targets._meta, params=params), meta=meta)
    return dd.map_partitions(
        functools.partial(_features_of_partition, params=params),
        partitioned(transactions, params.entity_col, "transactions"),
        partitioned(targets, params.entity_col_of_targets, "targets"),
        meta=meta,
        align_dataframes=False,
    )


def _distributed_client(features):
    """The distributed client that ``features.compute()`` would run on, or
    None when it would run on a local scheduler."""
    distributed = sys.modules.get("distributed")
    if distributed is None:  # no client can exist without distributed imported
        return None
    from dask.base import get_scheduler

    # a bound Client.get when a client is the default and no other scheduler is configured
    client = getattr(get_scheduler(collections=[features]), "__self__", None)
    return client if isinstance(client, distributed.Client) else None


def gather_feature_frame(features, client=None):
    """The result of ``build_feature_frame_dask`` (any Dask DataFrame) as one
    pandas DataFrame in this process: the rows, index, columns and dtypes of
    ``features.compute()``, partition after partition.

    With a distributed client (``client``, or the one ``compute`` would use)
    each partition goes from its worker straight into this process and the
    parts are concatenated here; ``compute`` first moves them all to one
    worker, concatenates them there, then sends the whole frame on. Without
    one it is ``features.compute()``. A task's error is raised here.
    """
    if client is None:
        client = _distributed_client(features)
    if client is None:
        return features.compute()
    parts = client.gather(client.compute(features.to_delayed()))
    if not parts:
        return features._meta.copy()
    from dask.dataframe.dispatch import concat

    # as Dask concatenates partitions: empty ones left out (their dtypes
    # may differ), the first one kept when all are empty
    filled = [part for part in parts if len(part)]
    return concat(filled, uniform=True) if filled else parts[0]
