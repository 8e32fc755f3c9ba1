"""Scale-out on Spark: the same computation, one bucket of entities per call.

Both tables get a bucket column computed in Spark, a 64-bit hash of the
entity id modulo the bucket count, and are cogrouped on it: Spark hands each
bucket's transactions and targets to one ``build_feature_frame`` call, so
Python is called once per bucket, not once per entity. Equal ids must land
in the same bucket, so ids of two numeric types are hashed as one type
(bigint, or double as soon as one of them is a floating type: the cast keeps
equal values equal); inside a bucket the front end matches them exactly, by
its own id rule. The dimension values are fixed once for the whole data set,
so that every bucket gives the same columns, which make the result's schema.
"""

from __future__ import annotations

import dataclasses
import functools
from typing import Optional

from ..compute import build_feature_frame, feature_columns
from ..errors import MissingColumnError
from ..params import FeatureParams
from ..support import require
from .options import task_params

BUCKET_COL = "__feature_frame_bucket"


def build_feature_frame_spark(transactions, targets, params: Optional[FeatureParams] = None, /, *,
                              buckets: Optional[int] = None, **options):
    """``build_feature_frame`` on two Spark DataFrames, one bucket of
    entities per call; returns a lazy Spark DataFrame.

    Takes a ``FeatureParams`` and/or its fields as keywords, as
    ``build_feature_frame`` does (``n_jobs`` then applies to each bucket: by
    default 1, since Spark already runs a task per core). ``buckets`` is the
    number of entity buckets (default: the session's
    ``spark.sql.shuffle.partitions``); a bucket's rows are held in one Python
    worker's memory while it is computed, so more data wants more buckets.

    The result has the targets' entity and date columns (their Spark types),
    then one float column per feature, named as ``feature_columns`` names
    them; rows come grouped by bucket. The id columns of the two tables must
    be of one Spark type, or both numeric. Timestamps reach the front end in
    the session time zone (``spark.sql.session.timeZone``), as Spark converts
    them for pandas. Warnings about dropped quantities go to the executors' logs.
    """
    params = task_params(params, options, "build_feature_frame_spark", "Spark; use the Spark UI")
    F = require("pyspark.sql.functions")
    types = require("pyspark.sql.types")
    for what, frame in (("transactions", transactions), ("targets", targets)):
        if not (hasattr(frame, "groupBy") and hasattr(frame, "schema")):
            raise TypeError(f"{what}: expected a Spark DataFrame, got {type(frame).__name__}")
    trx_cols = list(dict.fromkeys(params.transaction_columns()))
    tgt_cols = list(dict.fromkeys(params.target_columns()))
    _require_columns(transactions, "transactions", trx_cols)
    _require_columns(targets, "targets", tgt_cols)
    if buckets is None:
        buckets = _shuffle_partitions(transactions.sparkSession)
    if isinstance(buckets, bool) or not isinstance(buckets, int) or buckets < 1:
        raise ValueError(f"buckets: expected a positive integer or None, got {buckets!r}")

    trx_id, tgt_id = params.entity_col, params.entity_col_of_targets
    key_type = _key_type(types, transactions, targets, trx_id, tgt_id)
    params = _fixed_dimension_values(types, transactions, params)
    schema = types.StructType(
        [targets.schema[tgt_id], targets.schema[params.target_date_col]]
        + [types.StructField(name, types.FloatType()) for name in feature_columns(params.dimension_values, params)])

    def bucketed(frame, id_col, columns):
        # Spark's xxhash64 hashes -0.0 as 0.0, as the front end compares them
        key = frame[id_col] if key_type is None else frame[id_col].cast(key_type)
        bucket = F.pmod(F.xxhash64(key), F.lit(buckets)).alias(BUCKET_COL)
        return frame.select(*[frame[c] for c in columns], bucket).groupBy(BUCKET_COL)

    return (bucketed(transactions, trx_id, trx_cols).cogroup(bucketed(targets, tgt_id, tgt_cols))
            .applyInPandas(functools.partial(_bucket_features, params=params), schema=schema))


def _bucket_features(transactions, targets, params: FeatureParams):
    # the bucket column is among the columns, unread
    return build_feature_frame(transactions, targets, params)


def _require_columns(frame, what: str, columns) -> None:
    for col in columns:
        if col not in frame.columns:
            raise MissingColumnError(what, col, frame.columns)


def _shuffle_partitions(session) -> int:
    try:
        return int(session.conf.get("spark.sql.shuffle.partitions"))
    except (TypeError, ValueError):  # "auto" on some platforms
        return 200


def _key_type(types, transactions, targets, trx_id: str, tgt_id: str):
    """The Spark type both id columns are hashed as, or None for their own
    (one type, not numeric)."""
    trx_type, tgt_type = transactions.schema[trx_id].dataType, targets.schema[tgt_id].dataType
    numeric = (types.IntegralType, types.FloatType, types.DoubleType)
    if isinstance(trx_type, numeric) and isinstance(tgt_type, numeric):
        integral = isinstance(trx_type, types.IntegralType) and isinstance(tgt_type, types.IntegralType)
        return types.LongType() if integral else types.DoubleType()
    if trx_type != tgt_type:
        raise TypeError(f"targets: column {tgt_id!r} holds {tgt_type.simpleString()} entity ids but the "
                        f"transactions column {trx_id!r} holds {trx_type.simpleString()}")
    return None


def _fixed_dimension_values(types, transactions, params: FeatureParams) -> FeatureParams:
    """Every bucket must give the same columns: the dimension values are
    fixed once, from the codes of the whole data set unless given (code 0
    without a dimension column, when there is any transaction)."""
    if params.dimension_values is not None:
        return params
    col = params.dimension_col
    if not col:
        return params if transactions.isEmpty() else dataclasses.replace(params, dimension_values=[0])
    dtype = transactions.schema[col].dataType
    if not isinstance(dtype, types.IntegralType):
        raise TypeError(f"transactions: column {col!r} must hold integer dimension codes, got {dtype.simpleString()}")
    codes = sorted(row[0] for row in transactions.select(col).where(transactions[col].isNotNull()).distinct().collect())
    return dataclasses.replace(params, dimension_values=codes) if codes else params
