"""Hostile tables for `build_feature_frame`.

Each case draws a small random history and targets as plain values (entity
ids of one kind: integers, strings or bytes; millisecond timestamps;
quantities with missing ones; dimension codes), computes them once in a
plain pandas layout, and then hands the same data over in other layouts:
pandas with NumPy, nullable, Arrow-backed and Categorical columns, strided
and read-only arrays; pyarrow tables of many chunks with per-chunk
dictionaries, sliced, with every Arrow temporal and integer type that means
the same value; polars frames, unchunked or concatenated without
rechunking; shuffled transaction rows. Every layout must give the same bits.
Damaged cases (missing or duplicate columns, nulls, wrong and mixed types,
codes outside int8, timestamps beyond the time line, bad parameters, not a
table at all) must raise a ValueError or TypeError whose message names the
table, the column or the parameter. No input may change.

With stores, each case also feeds its rows to a feature store (LMDB): made
from some of them, the rest appended in random batches and layouts (late
rows, rows twice, now and then a damaged batch), reopened and compacted at
random. After each step the store answers the targets it can with the bits
build_feature_frame gives on every row appended so far, and refuses the
others (NotAnswerableError); an append warns as build_feature_frame does on
the same table, and refuses what it refuses with the same error, or ids of
another kind than the store's, and a refused append changes nothing.

    python tests/fuzz_frame.py --calls 3000 --seed 1

exits 1 on the first violated check (stores are fed when lmdb is installed).
"""

from __future__ import annotations

import collections
import contextlib
import importlib.util
import os
import random
import shutil
import tempfile
import warnings
from decimal import Decimal

import numpy as np
import pandas as pd
import pyarrow as pa
import polars as pl

from fuzz_execute import FuzzFailure, fuzz_main
from quelmar.afe.domain.modelling.feature_frame import FeatureParams, MissingQuantityWarning, build_feature_frame
from quelmar.afe.domain.modelling.feature_frame.errors import NotAnswerableError, OutsideHistoryWarning
from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore, feature_store

DAY = 86_400_000
T = 19_000 * DAY  # a target date in 2022, in milliseconds
PER_MS = {"s": 1 / 1000, "ms": 1, "us": 1000, "ns": 1_000_000}
DEBUG = False
FIELDS = [f.name for f in __import__("dataclasses").fields(FeatureParams)]


# ---- the data as plain values ---------------------------------------------------

def random_data(rng):
    kind = rng.choice(["int", "int", "str", "bytes", "uint64"])
    pool = {"int": [0, 7, -3, 2 ** 40, 12], "str": ["a", "b", "", "ü", "x" * 20],
            "bytes": [b"a", b"\x00", b"bb", b"z"], "uint64": [2 ** 64 - 1, 2 ** 63, 5]}[kind]
    entities = rng.sample(pool, rng.randint(1, len(pool)))
    n = rng.choice([0, 1, 2, 5, 9, 17, 30])
    whole_days = rng.random() < 0.3
    step = DAY if whole_days else rng.choice([1000, 3_600_000])
    data = {
        "kind": kind,
        "entity": [rng.choice(entities) for _ in range(n)],
        "timestamp": [T - rng.randint(-3, 60 * DAY // step) * step for _ in range(n)],
        "quantity": [rng.choice([0.5, 1.0, 2.25, -3.0, 0.0, 1e6, None]) if rng.random() < 0.95 else None
                     for _ in range(n)],
        "dimension": [rng.randint(-2, 3) for _ in range(n)],
        "target_entity": [rng.choice(entities + pool[:1]) for _ in range(rng.randint(0, 6))],
    }
    data["target_date"] = [T - rng.randint(-2, 20) * DAY for _ in data["target_entity"]]
    data["whole_days"] = whole_days
    data["unit"] = rng.choice(["ms", "ms", "s", "us", "ns"])
    return data


def random_params(rng, data):
    params = {"horizons": rng.choice([[7], [30, 7], [1, 90]]), "n_jobs": rng.choice([1, 2])}
    params["operators"] = rng.choice([["sum"], ["sum", "mode", "count_distinct"], ["max", "ratio", "frequency"],
                                      None])
    if rng.random() < 0.2:
        params["group"], params["offset"] = rng.choice([-2, 0, 1, "all"]), 1
        params["dimension_values"] = [-2, -1, 0, 1, 2]
    elif rng.random() < 0.3:
        params["dimension_values"] = rng.choice([[0, 1], {1: 5, 2: -7}, [-2, -1, 0, 1, 2]])
    if rng.random() < 0.2:
        params["resolution"] = rng.choice(["hour", "month", 4])
    if rng.random() < 0.1:
        params["dimension_col"] = None
    params["timestamp_unit"] = data["unit"]
    return params


# ---- layouts --------------------------------------------------------------------

def _integer_type(values, rng):
    low, high = min(values, default=0), max(values, default=0)
    for name in rng.sample(["int8", "int16", "int32", "int64", "uint8", "uint32", "uint64"], 7):
        info = np.iinfo(name)
        if info.min <= low and high <= info.max:
            return name
    return "uint64" if low >= 0 else "int64"


def _counts(data, values):
    """Timestamps as integer counts of the call's unit."""
    per = PER_MS[data["unit"]]
    return [int(v * per) if per >= 1 else v // 1000 for v in values]


def pandas_table(rng, data, which):
    cols = _names(which)
    frame = {}
    ids = data["entity"] if which == "trx" else data["target_entity"]
    frame[cols[0]] = _pandas_ids(rng, data["kind"], ids)
    times = data["timestamp"] if which == "trx" else data["target_date"]
    frame[cols[1]] = _pandas_times(rng, data, times)
    if which == "trx":
        frame["quantity"] = _pandas_quantities(rng, data["quantity"])
        codes = data["dimension"]
        how = rng.choice(["int8", "int16", "int64", ">i2", "Int8", "arrow", "strided"])
        if how == "Int8":
            frame["dimension"] = pd.array(codes, dtype="Int8")
        elif how == "arrow":
            frame["dimension"] = pd.array(codes, dtype=pd.ArrowDtype(pa.int8()))
        elif how == "strided":
            frame["dimension"] = _strided(np.array(codes, dtype=np.int32))
        else:
            frame["dimension"] = np.array(codes, dtype=how)
    return pd.DataFrame(frame, index=rng.choice([None, np.arange(len(ids)) * 3 + 5]))


def _strided(values):
    """Every other element of a read-only array twice as long."""
    doubled = np.repeat(values, 2)
    doubled.flags.writeable = False
    return doubled[::2]


def _pandas_ids(rng, kind, ids):
    how = rng.choice(["numpy", "category", "arrow", "nullable"])
    if kind in ("int", "uint64"):
        dtype = _integer_type(ids, rng)
        if how == "category":
            return pd.Categorical(np.array(ids, dtype=dtype))
        if how == "arrow":
            return pd.array(ids, dtype=pd.ArrowDtype(pa.from_numpy_dtype(np.dtype(dtype))))
        if how == "nullable":
            return pd.array(ids, dtype=dtype.capitalize().replace("Uint", "UInt"))
        return np.array(ids, dtype=np.dtype(dtype).newbyteorder(rng.choice("<>")))
    if how == "category":
        return pd.Categorical(ids)
    if how == "arrow":
        return pd.array(ids, dtype=pd.ArrowDtype(pa.string() if kind == "str" else pa.binary()))
    if how == "nullable" and kind == "str":
        return pd.array(ids, dtype="string")
    return np.array(ids, dtype=object)


def _pandas_times(rng, data, values):
    how = rng.choice(["int", "datetime", "tz", "Int64", "arrow"])
    if how == "int":
        counts = np.array(_counts(data, values), dtype=rng.choice(["<i8", ">i8"]))
        return _strided(counts) if rng.random() < 0.3 else counts
    if how == "Int64":
        return pd.array(_counts(data, values), dtype="Int64")
    unit = rng.choice(["ms", "us", "ns"] + (["s"] if data["whole_days"] or True else []))
    stamps = pd.to_datetime(np.array(values, dtype=np.int64), unit="ms").as_unit(unit)
    if how == "tz":
        return stamps.tz_localize("UTC").tz_convert(rng.choice(["Asia/Tokyo", "America/Lima"]))
    if how == "arrow":
        return pd.array(stamps, dtype=pd.ArrowDtype(pa.timestamp(unit)))
    return stamps


def _pandas_quantities(rng, values):
    how = rng.choice(["float64", "float32", ">f8", ">f4", "Float64", "arrow", "int"])
    if how == "int" and all(v is not None and float(v).is_integer() for v in values):
        return np.array([int(v) for v in values], dtype=_integer_type([int(v) for v in values], rng))
    if how == "Float64":
        return pd.array(values, dtype="Float64")
    if how == "arrow":
        return pd.array(values, dtype=pd.ArrowDtype(pa.float64()))
    return np.array([np.nan if v is None else v for v in values], dtype=how if how != "int" else np.float64)


def _names(which):
    return ["entity", "timestamp"] if which == "trx" else ["entity", "target_date"]


def arrow_table(rng, data, which):
    cols = _names(which)
    ids = data["entity"] if which == "trx" else data["target_entity"]
    times = data["timestamp"] if which == "trx" else data["target_date"]
    columns = {cols[0]: _arrow_ids(rng, data["kind"], ids), cols[1]: _arrow_times(rng, data, times)}
    if which == "trx":
        q = data["quantity"]
        if rng.random() < 0.3 and all(v is not None and float(v).is_integer() for v in q):
            columns["quantity"] = pa.array([int(v) for v in q], rng.choice([pa.int64(), pa.int32()]))
        else:
            columns["quantity"] = pa.array(q, rng.choice([pa.float64(), pa.float32()]))
        columns["dimension"] = pa.array(data["dimension"], rng.choice([pa.int8(), pa.int16(), pa.int64()]))
    table = pa.table(columns)
    if rng.random() < 0.3:  # a slice of a longer table: every buffer starts at an offset
        padded = pa.concat_tables([table.slice(0, min(2, len(table))), table])
        table = padded.slice(min(2, len(table)))
    return _rechunk(rng, table)


def _rechunk(rng, table):
    """The same rows in random chunks, each column cut in its own places
    (empty chunks included); a dictionary column gets its own dictionary in
    every chunk."""
    n = table.num_rows
    columns = []
    for column in table.columns:
        cuts = sorted(rng.randint(0, n) for _ in range(rng.randint(0, 4)))
        pieces = []
        for start, stop in zip([0] + cuts, cuts + [n]):
            piece = column.slice(start, stop - start).combine_chunks()
            if pa.types.is_dictionary(piece.type):
                piece = _own_dictionary(rng, piece.dictionary_decode()).cast(column.type)
            pieces.append(piece)
        columns.append(pa.chunked_array(pieces, type=column.type))
    return pa.table(columns, schema=table.schema)


def _own_dictionary(rng, values):
    """``values`` dictionary-encoded, the dictionary sometimes reversed and
    repeated."""
    encoded = values.dictionary_encode()
    if rng.random() < 0.5 or not len(encoded.dictionary):
        return encoded
    dictionary = encoded.dictionary.to_pylist()
    doubled = dictionary[::-1] + dictionary
    indices = [doubled.index(v) if rng.random() < 0.5 else len(dictionary) + dictionary.index(v)
               for v in values.to_pylist()]
    return pa.DictionaryArray.from_arrays(pa.array(indices, pa.int32()), pa.array(doubled, encoded.dictionary.type))


def _arrow_ids(rng, kind, ids):
    if kind in ("int", "uint64"):
        array = pa.array(ids, pa.from_numpy_dtype(np.dtype(_integer_type(ids, rng))))
    else:
        array = pa.array(ids, rng.choice([pa.string(), pa.large_string()]) if kind == "str"
                         else rng.choice([pa.binary(), pa.large_binary()]))
    if rng.random() < 0.4:
        array = array.dictionary_encode().cast(pa.dictionary(rng.choice([pa.int8(), pa.int32(), pa.uint32()]),
                                                              array.type))
    return array


def _arrow_times(rng, data, values):
    choices = ["int", "timestamp", "timestamp-tz"] + (["date32", "date64"] if data["whole_days"] else [])
    how = rng.choice(choices)
    if how == "int":
        counts = _counts(data, values)
        return pa.array(counts, rng.choice([pa.int64(), pa.int64(), pa.uint64()]) if min(counts, default=0) >= 0
                        else pa.int64())
    stamps = pa.array(values, pa.int64()).cast(pa.timestamp("ms"))
    if how.startswith("date"):
        return stamps.cast(pa.date32() if how == "date32" else pa.date64())
    unit = rng.choice(["ms", "us", "ns"])
    return stamps.cast(pa.timestamp(unit, tz="Europe/Paris" if how == "timestamp-tz" else None))


def polars_table(rng, data, which):
    table = arrow_table(rng, data, which)
    for i, column in enumerate(table.columns):  # older polars take few dictionaries: Categoricals are cast
        if pa.types.is_dictionary(column.type):
            table = table.set_column(i, table.column_names[i], column.cast(column.type.value_type))
    categorical = data["kind"] == "str" and rng.random() < 0.5

    def frame_of(part):
        frame = pl.from_arrow(part)
        return frame.with_columns(pl.col("entity").cast(pl.Categorical)) if categorical else frame

    if rng.random() < 0.5 and len(table) > 1:  # concatenated without rechunking
        cut = rng.randint(1, len(table) - 1)
        with warnings.catch_warnings():  # polars re-encodes Categoricals of different dictionaries, and says so
            warnings.simplefilter("ignore")
            return pl.concat([frame_of(table.slice(0, cut)), frame_of(table.slice(cut))], rechunk=False)
    return frame_of(table)


LAYOUTS = {"pandas": pandas_table, "arrow": arrow_table, "polars": polars_table}


def reference_tables(data):
    id_type = {"str": object, "bytes": object, "uint64": np.uint64, "int": np.int64}[data["kind"]]
    trx = pd.DataFrame({
        "entity": np.array(data["entity"], dtype=id_type),
        "timestamp": np.array(_counts(data, data["timestamp"]), dtype=np.int64),
        "quantity": np.array([np.nan if v is None else v for v in data["quantity"]], dtype=np.float64),
        "dimension": np.array(data["dimension"], dtype=np.int8),
    })
    tgt = pd.DataFrame({
        "entity": np.array(data["target_entity"], dtype=id_type),
        "target_date": np.array(_counts(data, data["target_date"]), dtype=np.int64),
    })
    return trx, tgt


def shuffled(rng, data):
    """The same data, the transactions in another row order."""
    order = list(range(len(data["entity"])))
    rng.shuffle(order)
    return dict(data, **{key: [data[key][i] for i in order]
                         for key in ("entity", "timestamp", "quantity", "dimension")})


# ---- damage ---------------------------------------------------------------------

HOSTILE_VALUES = [None, -1, 0, 1.5, "x", "", [], [0], 2 ** 70, np.float64(7), Decimal(7), True, {}, {1: 2 ** 20},
                  b"ms", [[7]], float("nan"), -(2 ** 31), 2 ** 31, "all", [7, "a"], object()]


def damage(rng, trx, tgt, params):
    """A damaged copy of the call: tables, a parameter or both."""
    kind = rng.choice(["drop", "duplicate", "null", "code", "type", "beyond", "mixed-ids", "object-ids",
                       "parameter", "parameter", "not-a-table"])
    if kind == "parameter":
        return trx, tgt, dict(params, **{rng.choice(FIELDS): rng.choice(HOSTILE_VALUES)}), kind
    if kind == "not-a-table":
        bad = rng.choice([None, [[1, 2]], {"entity": [1]}, np.zeros((2, 2)), "table"])
        return (bad, tgt, params, kind) if rng.random() < 0.5 else (trx, bad, params, kind)
    which = rng.choice(["trx", "tgt"])
    table = pd.DataFrame(trx if which == "trx" else tgt).copy() if isinstance(trx, pd.DataFrame) else None
    if table is None:
        return trx, tgt, params, "skipped"
    column = rng.choice(list(table.columns))
    n = len(table)
    if kind == "drop":
        table = table.drop(columns=[column])
    elif kind == "duplicate":
        table = pd.concat([table, table[[column]]], axis=1)
    elif kind == "null" and n:
        values = table[column].astype(object)
        values.iloc[rng.randrange(n)] = None
        table[column] = values
    elif kind == "code" and which == "trx" and n:
        table["dimension"] = np.array([rng.choice([200, -129, 2 ** 40])] * n, dtype=np.int64)
    elif kind == "type" and n:
        table[column] = rng.choice([
            np.full(n, 1.5), np.array(["x"] * n, dtype=object), np.ones(n, dtype=bool),
            pd.array([Decimal(1)] * n, dtype=pd.ArrowDtype(pa.decimal128(5, 1))),
            pd.array([1] * n, dtype=pd.ArrowDtype(pa.time32("s"))),
            pd.array([1] * n, dtype=pd.ArrowDtype(pa.duration("ms"))),
            pd.array([[1]] * n, dtype=pd.ArrowDtype(pa.list_(pa.int64()))),
        ])
    elif kind == "beyond" and n and column in ("timestamp", "target_date"):
        table[column] = np.array([rng.choice([2 ** 63 - 1, -(2 ** 63) + 1, 2 ** 62])] * n, dtype=np.int64)
    elif kind == "mixed-ids" and n:
        table["entity"] = np.array(["s"] * n, dtype=object) if table["entity"].dtype != object else np.arange(n)
    elif kind == "object-ids" and n:
        table["entity"] = pd.Series([rng.choice([2 ** 70, "a", 1, b"x", 1.5]) for _ in range(n)], dtype=object,
                                    index=table.index)
    else:
        kind = "skipped"
    return (table, tgt, params, kind) if which == "trx" else (trx, table, params, kind)


# ---- checks ---------------------------------------------------------------------

def state(obj):
    """Everything a call could change of an input, as plain values."""
    if isinstance(obj, pd.DataFrame):
        columns = [obj.iloc[:, i] for i in range(obj.shape[1])]
        arrays = [np.asarray(column) for column in columns]
        return ("pandas", list(obj.columns), repr(obj.dtypes.tolist()), repr([c.tolist() for c in columns]),
                [a.tobytes() if a.dtype != object else None for a in arrays], list(obj.index))
    if isinstance(obj, pa.Table):
        return ("arrow", _ipc_bytes(obj), [c.num_chunks for c in obj.columns])
    if isinstance(obj, pl.DataFrame):
        return ("polars", _ipc_bytes(obj.to_arrow()), obj.n_chunks("all"))
    return ("object", repr(obj))


def _ipc_bytes(table):
    """Every value, chunk and schema entry of an Arrow table, as bytes."""
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def names_what_failed(message, params):
    words = ["transactions", "targets", "build_feature_frame"] + FIELDS
    return any(word in message for word in words)


def call(trx, tgt, params):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MissingQuantityWarning)
        warnings.simplefilter("ignore", FutureWarning)
        return build_feature_frame(trx, tgt, **params)


def checked_call(trx, tgt, params, outcomes, label):
    """The frame, or None when the call was refused as it may be."""
    before = (state(trx), state(tgt))
    try:
        frame = call(trx, tgt, params)
    except (ValueError, TypeError) as error:
        if DEBUG:
            print(label, type(error).__name__, error)
        if not names_what_failed(str(error), params):
            raise FuzzFailure("{}: {} names neither table, column nor parameter: {}".format(
                label, type(error).__name__, error)) from error
        frame = None
        outcomes[label + " refused"] += 1
    except Exception as error:  # noqa: BLE001 - anything else is the fault looked for
        raise FuzzFailure("{}: raised {}: {}".format(label, type(error).__name__, error)) from error
    if (state(trx), state(tgt)) != before:
        raise FuzzFailure("{}: an input changed".format(label))
    if frame is not None:
        outcomes[label + " returned"] += 1
    return frame


def feature_bits(frame):
    return list(frame.columns), np.ascontiguousarray(frame.iloc[:, 2:].to_numpy(dtype=np.float32)).view(np.uint32)


def one_case(rng, outcomes, checks=("layouts",), directory=None):
    data = random_data(rng)
    params = random_params(rng, data)
    ref_trx, ref_tgt = reference_tables(data)
    reference = checked_call(ref_trx, ref_tgt, params, outcomes, "reference")
    if "layouts" in checks:
        layout_checks(rng, data, params, reference, outcomes)
        trx, tgt, bad_params, kind = damage(rng, ref_trx, ref_tgt, params)
        checked_call(trx, tgt, bad_params, outcomes, "damaged " + kind)
    if "stores" in checks and reference is not None:
        store_case(rng, data, params, directory, outcomes)


def layout_checks(rng, data, params, reference, outcomes):
    for _ in range(2):
        trx_kind, tgt_kind = rng.choice(list(LAYOUTS)), rng.choice(list(LAYOUTS))
        trx = LAYOUTS[trx_kind](rng, shuffled(rng, data) if rng.random() < 0.5 else data, "trx")
        tgt = LAYOUTS[tgt_kind](rng, data, "tgt")
        label = "layout {}/{}".format(trx_kind, tgt_kind)
        frame = checked_call(trx, tgt, params, outcomes, "layout")
        if (frame is None) != (reference is None):
            raise FuzzFailure("{} {} where the plain layout {} (data {}, params {})".format(
                label, "refused" if frame is None else "returned", "returned" if frame is None else "refused",
                data, params))
        if frame is not None:
            check_same_bits(frame, reference, len(data["target_entity"]), "{} gives other bits than the plain "
                            "layout (data {}, params {})".format(label, data, params))


def check_same_bits(frame, want, n_targets, failure):
    got, expected = feature_bits(frame), feature_bits(want)
    if got[0] != expected[0] or got[1].shape != expected[1].shape or (got[1] != expected[1]).any():
        raise FuzzFailure(failure)
    if len(frame) != n_targets:
        raise FuzzFailure("{}: {} rows for {} targets".format(failure, len(frame), n_targets))


# ---- a store fed in batches -----------------------------------------------------

TRX_KEYS = ("entity", "timestamp", "quantity", "dimension")


def rows_of(data, rows, keys=TRX_KEYS):
    """``data`` with only the transactions (or targets) at ``rows``, in that order."""
    return dict(data, **{key: [data[key][i] for i in rows] for key in keys})


def store_layout(rng, data, which):
    """``data`` in a random layout for a store; integer ids now and then in
    the other byte order."""
    table = LAYOUTS[rng.choice(list(LAYOUTS))](rng, data, which)
    if isinstance(table, pd.DataFrame):
        ids = table["entity"]
        if isinstance(ids.dtype, np.dtype) and ids.dtype.kind in "iu" and rng.random() < 0.3:
            table["entity"] = ids.to_numpy().astype(ids.dtype.newbyteorder(">"))  # the other byte order
    return table


def damaged_batch(rng, table, params):
    """A plain batch damaged so that build_feature_frame refuses it, or with
    ids of another kind than the store's ("other ids")."""
    table = table.copy()
    kinds = ["drop", "null id", "type", "other ids"] + (["code"] if params.get("dimension_col", "") is not None else [])
    kind = rng.choice(kinds) if len(table) else "drop"
    if kind == "drop":
        table = table.drop(columns=[rng.choice(["entity", "timestamp", "quantity"])])
    elif kind == "null id":
        ids = table["entity"].astype(object)
        ids.iloc[rng.randrange(len(table))] = None
        table["entity"] = ids
    elif kind == "type":
        table[rng.choice(["timestamp", "quantity"])] = np.array(["x"] * len(table), dtype=object)
    elif kind == "code":
        table["dimension"] = np.full(len(table), rng.choice([200, -129]), dtype=np.int64)
    else:
        table["entity"] = (np.array(["s"] * len(table), dtype=object) if pd.api.types.is_numeric_dtype(table["entity"])
                           else np.arange(len(table)))
    return table, kind


def warned(work):
    """``work()`` (or the error it raised) and the warnings it gave, as
    sorted (category, message), OutsideHistoryWarning apart."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = work()
        except (ValueError, TypeError) as error:
            result = error
    said = sorted((w.category.__name__, str(w.message)) for w in caught
                  if not issubclass(w.category, (FutureWarning, OutsideHistoryWarning)))
    outside = any(issubclass(w.category, OutsideHistoryWarning) for w in caught)
    return result, said, outside


@contextlib.contextmanager
def compaction_share(share):
    """Appends compact a store once its recent rows pass ``share`` of its base rows."""
    saved = feature_store.COMPACT_SHARE
    feature_store.COMPACT_SHARE = share
    try:
        yield
    finally:
        feature_store.COMPACT_SHARE = saved


def store_case(rng, data, params, directory, outcomes):
    # half the stores keep their appended rows apart until compacted at random
    with compaction_share(rng.choice([feature_store.COMPACT_SHARE, float("inf")])):
        fed_store(rng, data, params, directory, outcomes)


def fed_store(rng, data, params, directory, outcomes):
    n = len(data["entity"])
    order = list(range(n))
    rng.shuffle(order)
    cut = rng.randint(0, n)
    rest = order[cut:] + rng.sample(range(n), min(n, rng.randint(0, 3)))  # some rows twice
    bounds = sorted(rng.randint(0, len(rest)) for _ in range(rng.randint(0, 2)))
    parts = [rest[a:b] for a, b in zip([0] + bounds, bounds + [len(rest)])]
    history = rng.choice([0, DAY, 10 * DAY, "30d", 400 * DAY])
    label = "store (data {}, params {}, history {!r}, made from rows {}, batches {})".format(
        data, params, history, order[:cut], parts)
    path = os.path.join(directory, "store-{}".format(outcomes["store cases"]))
    outcomes["store cases"] += 1
    first = rows_of(data, order[:cut])
    table = store_layout(rng, first, "trx")
    no_targets = reference_tables(rows_of(data, [], ("target_entity", "target_date")))[1]
    _, want_said, _ = warned(lambda: build_feature_frame(table, no_targets, **params))
    before = state(table)
    store, said, _ = warned(lambda: FeatureStore.create(path, table, history=history, **params))
    if isinstance(store, Exception):
        raise FuzzFailure("{}: the store refused a table build_feature_frame takes: {}".format(label, store))
    try:
        if state(table) != before:
            raise FuzzFailure("{}: making the store changed its table".format(label))
        if said != want_said:
            raise FuzzFailure("{}: made with warnings {} where build_feature_frame gives {}".format(
                label, said, want_said))
        kept = [reference_tables(first)[0]]
        check_answers(rng, store, data, kept, outcomes, label + " once made")
        for i, part in enumerate(parts):
            batch = reference_tables(rows_of(data, part))[0]
            kind = None
            if rng.random() < 0.25:
                table, kind = damaged_batch(rng, batch, params)
            else:
                table = store_layout(rng, rows_of(data, part), "trx")
            if append_checked(store, table, no_targets, kind, outcomes, "{} batch {}".format(label, i)):
                kept.append(batch)
            if rng.random() < 0.3:
                store.close()
                store = FeatureStore.open(path)
            if rng.random() < 0.3:
                store.compact(chunk=rng.choice([1, 3, 65536]))
            check_answers(rng, store, data, kept, outcomes, "{} after batch {}".format(label, i))
    finally:
        store.close()
        shutil.rmtree(path, ignore_errors=True)


def append_checked(store, table, no_targets, kind, outcomes, label):
    """Appends ``table`` (damaged as ``kind`` says); whether the store took it."""
    before = (state(table), store.info().appends)
    want, want_said, _ = warned(lambda: build_feature_frame(table, no_targets, store.params))
    report, said, outside = warned(lambda: store.append(table))
    if state(table) != before[0]:
        raise FuzzFailure("{}: an append changed its table".format(label))
    if isinstance(want, Exception) or kind == "other ids":
        if not isinstance(report, Exception):
            raise FuzzFailure("{}: appended a {} batch that {}".format(
                label, kind, "build_feature_frame refuses ({})".format(want) if isinstance(want, Exception)
                else "has ids of another kind than the store's"))
        if isinstance(want, Exception) and (type(report), str(report)) != (type(want), str(want)):
            raise FuzzFailure("{}: refused with {}: {} where build_feature_frame raises {}: {}".format(
                label, type(report).__name__, report, type(want).__name__, want))
        if store.info().appends != before[1]:
            raise FuzzFailure("{}: a refused append changed the store".format(label))
        outcomes["store append refused"] += 1
        return False
    if isinstance(report, Exception):
        raise FuzzFailure("{}: refused a batch build_feature_frame takes: {}: {}".format(
            label, type(report).__name__, report))
    if said != want_said or outside != (report.before_history > 0):
        raise FuzzFailure("{}: appended with warnings {} (rows before the history: {}, said: {}) where "
                          "build_feature_frame gives {}".format(label, said, report.before_history, outside, want_said))
    outcomes["store append took"] += 1
    outcomes["store append warned"] += bool(said)
    return True


def check_answers(rng, store, data, kept, outcomes, label):
    """The store answers the targets it can as a rebuild on ``kept`` does, and refuses the others."""
    first = store.info().answers_from_ms
    dates = data["target_date"]
    answerable = [i for i, date in enumerate(dates) if first is None or date >= first]
    if len(answerable) < len(dates):
        targets = store_layout(rng, data, "tgt")
        try:
            store.features(targets)
        except NotAnswerableError:
            outcomes["store refused a date before its history"] += 1
        else:
            raise FuzzFailure("{}: answered a target before the earliest date it answers ({})".format(label, first))
    chosen = rows_of(data, answerable, ("target_entity", "target_date"))
    targets = store_layout(rng, chosen, "tgt")
    before = state(targets)
    frame = store.features(targets)
    if state(targets) != before:
        raise FuzzFailure("{}: features changed the targets".format(label))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MissingQuantityWarning)
        want = build_feature_frame(pd.concat(kept), reference_tables(chosen)[1], store.params)
    check_same_bits(frame, want, len(answerable), "{}: other bits than build_feature_frame on the rows "
                    "appended".format(label))
    outcomes["store answered"] += bool(answerable)


def have_stores():
    return importlib.util.find_spec("lmdb") is not None


def fuzz(calls, seed, progress=None, checks=("layouts",)):
    """``calls`` cases (each several builds: in layouts, and through a
    store when ``checks`` has "stores"); the counts of their outcomes."""
    rng = random.Random(seed)
    outcomes = collections.Counter()
    with tempfile.TemporaryDirectory(prefix="fuzz-frame-") as directory:
        for i in range(calls):
            one_case(rng, outcomes, checks, directory)
            if progress and (i + 1) % progress == 0:
                print("{} cases".format(i + 1), flush=True)
    return outcomes


if __name__ == "__main__":
    CHECKS = ("layouts", "stores") if have_stores() else ("layouts",)
    raise SystemExit(fuzz_main("fuzz_frame", __doc__.split("\n\n")[0],
                               lambda calls, seed, progress: fuzz(calls, seed, progress, CHECKS),
                               lambda outcomes: outcomes["layout returned"] > 0))
