"""Transactions and targets stored partitioned by entity, so that Dask needs no shuffle.

``write_partitioned`` writes both tables as Parquet under one directory,
each row into the part numbered by the hash of its entity id::

    path/transactions/part-00003/chunk-00000.parquet
    path/transactions/_partitioning.json
    path/targets/...

Part ``i`` of the transactions and part ``i`` of the targets then hold all
the rows of the same entities, and ``build_feature_frame_dask`` computes
each pair of parts in one task. ``_partitioning.json`` names the hashing,
the part count, the entity column, the Arrow schema every file has, the
files of each part and the dimension codes present; it is written last, and
the whole directory is moved into place only when complete, so a directory
that has it was written whole.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import tempfile
from typing import List, Optional, Sequence, Tuple

import numpy as np

from ..errors import MissingColumnError
from ..input import IdColumn, InputTable, read_codes
from ..support import require

PART_COL = "__feature_frame_part"
METADATA_FILE = "_partitioning.json"
FORMAT = "quelmar-feature-frame-partitioned/1"
#: The hashing of entity ids (the input layer's ``IdColumn.hashes``, equal for
#: ids that compare equal); a dataset hashed otherwise is not co-partitioned with ours.
HASHING = "quelmar entity id hash/2: pandas.util.hash_array of the id (integers, and floats that are integers, "\
    "as their 64 bits), mod npartitions"


# --------------------------------------------------------------------------
# the hash


def part_numbers(ids: IdColumn, npartitions: int) -> np.ndarray:
    """Part number (int64) of each entity id: its hash modulo ``npartitions``."""
    return (ids.hashes() % np.uint64(npartitions)).astype(np.int64)


# --------------------------------------------------------------------------
# writing


def _part_dir(part: int) -> str:
    return f"part-{part:05d}"


def _schema_text(schema) -> str:
    return base64.b64encode(schema.serialize().to_pybytes()).decode("ascii")


def _schema_from_text(text: str):
    pa = require("pyarrow")
    return pa.ipc.read_schema(pa.py_buffer(base64.b64decode(text)))


def _write_chunk(frame, directory: str, entity_col: str, npartitions: int, chunk: int,
                 keep_index: bool, dimension_col: Optional[str], what: str):
    """Writes the rows of one pandas frame into the parts they hash to (one
    file per non-empty part, rows in their input order); returns the
    files written as (part, relative path, rows), the Arrow schema and the
    dimension codes present."""
    pa = require("pyarrow")
    import pyarrow.parquet as pq

    table = InputTable(frame, what, [entity_col] + ([dimension_col] if dimension_col else []))
    ids = IdColumn(table, entity_col)  # checked: no missing id
    codes = None
    if dimension_col:
        # the codes are checked (integers within int8) before anything is written
        codes = [int(c) for c in read_codes(table, dimension_col).present]
    parts = part_numbers(ids, npartitions)
    order = np.argsort(parts, kind="stable")
    bounds = np.searchsorted(parts[order], np.arange(npartitions + 1))
    # converted once; each part is a take of it, so all parts share one schema
    arrow = pa.Table.from_pandas(frame, preserve_index=keep_index)
    written = []
    for part in np.flatnonzero(np.diff(bounds)):
        relative = os.path.join(_part_dir(int(part)), f"chunk-{chunk:05d}.parquet")
        os.makedirs(os.path.join(directory, _part_dir(int(part))), exist_ok=True)
        pq.write_table(arrow.take(order[bounds[part]:bounds[part + 1]]), os.path.join(directory, relative))
        written.append((int(part), relative, int(bounds[part + 1] - bounds[part])))
    return written, _schema_text(arrow.schema), codes


def _write_table(frame, directory: str, what: str, entity_col: str, npartitions: int,
                 keep_index: bool, dimension_col: Optional[str]) -> None:
    pd = require("pandas")
    if entity_col not in frame.columns:
        raise MissingColumnError(what, entity_col, frame.columns)
    if dimension_col is not None and dimension_col not in frame.columns:
        dimension_col = None
    args = (directory, entity_col, npartitions)
    if isinstance(frame, pd.DataFrame):
        results = [_write_chunk(frame, *args, 0, keep_index, dimension_col, what)]
    else:
        dask = require("dask")
        # one task per input partition, each writing its rows into every part
        # they hash to: the only data movement is that one write
        results = dask.compute(*[
            dask.delayed(_write_chunk)(chunk, *args, i, keep_index, dimension_col, what)
            for i, chunk in enumerate(frame.to_delayed())
        ])
    # an empty partition's object columns convert to Arrow's null type: only
    # the schemas of rows written count, unless there are none
    schemas = {schema for written, schema, _ in results if written} or {results[0][1]}
    if len(schemas) > 1:
        raise ValueError(f"{what}: the partitions of the input have different column types; "
                         "cast them to one schema before writing")
    files: List[List[str]] = [[] for _ in range(npartitions)]
    for written, _, _ in results:
        for part, relative, _ in written:
            files[part].append(relative)
    codes = None
    if dimension_col:
        codes = sorted({c for _, _, chunk_codes in results for c in chunk_codes})
    metadata = {
        "format": FORMAT,
        "hashing": HASHING,
        "npartitions": npartitions,
        "entity_col": entity_col,
        "rows": int(sum(rows for written, _, _ in results for _, _, rows in written)),
        "schema": schemas.pop(),
        "dimension_col": dimension_col,
        "dimension_codes": codes,
        "files": files,
    }
    with open(os.path.join(directory, METADATA_FILE), "w") as out:
        json.dump(metadata, out)


def write_partitioned(transactions, targets, path, npartitions: int, *, entity_col: str = "entity",
                      target_entity_col: Optional[str] = None,
                      dimension_col: Optional[str] = "dimension") -> Tuple[str, str]:
    """Writes ``transactions`` and ``targets`` (pandas or Dask DataFrames) as
    Parquet under the new directory ``path``, each partitioned into
    ``npartitions`` parts by the hash of its entity id, so that
    ``build_feature_frame_dask`` computes on them without a shuffle. Returns
    the directories of the transactions and of the targets, to pass to it.

    The targets keep their index (the result rows keep it as with any other
    input). The dimension codes present are recorded, so the computation
    needs no pass over them. Nothing is left at ``path`` when writing fails.
    """
    if isinstance(npartitions, bool) or not isinstance(npartitions, int) or npartitions < 1:
        raise ValueError(f"npartitions: expected a positive integer, got {npartitions!r}")
    path = os.fspath(path)
    if os.path.exists(path):
        raise FileExistsError(f"{path}: exists already; write_partitioned writes a new directory")
    parent = os.path.dirname(os.path.abspath(path))
    staging = tempfile.mkdtemp(prefix=".partitioning-", dir=parent)
    try:
        tables = (("transactions", transactions, entity_col, False, dimension_col),
                  ("targets", targets, target_entity_col or entity_col, True, None))
        for what, frame, col, keep_index, dims in tables:
            os.mkdir(os.path.join(staging, what))
            _write_table(frame, os.path.join(staging, what), what, col, npartitions, keep_index, dims)
        os.rename(staging, path)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return os.path.join(path, "transactions"), os.path.join(path, "targets")


# --------------------------------------------------------------------------
# reading


def is_dataset_path(obj) -> bool:
    return isinstance(obj, (str, os.PathLike))


class Dataset:
    """One table of a partitioned dataset, checked before anything is computed:
    the metadata is ours, every file listed is there and has the recorded schema."""

    def __init__(self, path, what: str):
        import pyarrow.parquet as pq

        self.path = os.fspath(path)
        self.what = what
        where = f"{what}: {self.path}"
        try:
            with open(os.path.join(self.path, METADATA_FILE)) as f:
                meta = json.load(f)
        except FileNotFoundError:
            raise ValueError(f"{where}: not a partitioned dataset (no {METADATA_FILE}); write it with "
                             "write_partitioned, or pass Dask DataFrames") from None
        except ValueError as exc:
            raise ValueError(f"{where}: {METADATA_FILE} is not readable: {exc}") from None
        if not isinstance(meta, dict) or meta.get("format") != FORMAT:
            raise ValueError(f"{where}: {METADATA_FILE} is not of the format {FORMAT!r}")
        self.meta = meta
        self.npartitions = int(meta["npartitions"])
        self.entity_col = meta["entity_col"]
        self.schema = _schema_from_text(meta["schema"])
        self.files: List[List[str]] = [[os.path.join(self.path, f) for f in part] for part in meta["files"]]
        if len(self.files) != self.npartitions:
            raise ValueError(f"{where}: lists files of {len(self.files)} parts but has {self.npartitions}")
        for part in self.files:
            for file in part:
                try:
                    schema = pq.read_schema(file)
                except OSError as exc:
                    raise ValueError(f"{what}: {file}: cannot be read: {exc}") from None
                if not schema.equals(self.schema, check_metadata=False):
                    raise ValueError(f"{what}: {file}: its columns differ from the dataset's:\n{schema}\n"
                                     f"against\n{self.schema}")

    def check_column(self, col: str, param: str) -> None:
        if col not in self.schema.names:
            raise MissingColumnError(self.what, col, [c for c in self.schema.names
                                                      if c not in _with_index(self.schema, [])])
        if col != self.entity_col:
            raise ValueError(f"{self.what}: {self.path} is partitioned by column {self.entity_col!r}, "
                             f"not by {param}={col!r}")

    def dimension_codes(self, col: str) -> List[int]:
        """The distinct dimension codes: recorded when written, else one pass over the column."""
        if self.meta.get("dimension_col") == col and self.meta.get("dimension_codes") is not None:
            return list(self.meta["dimension_codes"])
        column = self.read_all([col])
        return [int(c) for c in read_codes(InputTable(column, self.what, [col]), col).present]

    def read_all(self, columns: Sequence[str]):
        return read_part([f for part in self.files for f in part], self.schema, columns)


def check_co_partitioned(trx: Dataset, tgt: Dataset) -> None:
    """The parts of the same number hold the same entities only when both
    tables were split into as many parts by the same hash of the same kind of id."""
    if trx.npartitions != tgt.npartitions:
        raise ValueError(f"transactions and targets are partitioned differently: {trx.npartitions} parts "
                         f"({trx.path}) against {tgt.npartitions} ({tgt.path}); write both with one "
                         "write_partitioned call")
    for key, noun in (("hashing", "hashing"), ("id_kind", "entity ids hashed as")):
        if trx.meta.get(key) != tgt.meta.get(key):
            raise ValueError(f"transactions and targets are partitioned differently: {noun} "
                             f"{trx.meta.get(key)!r} against {tgt.meta.get(key)!r}")


def read_part(files: Sequence[str], schema, columns: Sequence[str]):
    """The named columns of the files as one Arrow table (the targets' stored
    index too); an empty table of the schema for a part without files."""
    pa = require("pyarrow")
    import pyarrow.parquet as pq

    if not files:
        return schema.empty_table().select(_with_index(schema, columns))
    tables = [pq.read_table(f, columns=_with_index(schema, columns)) for f in files]
    return tables[0] if len(tables) == 1 else pa.concat_tables(tables)


def _with_index(schema, columns: Sequence[str]) -> List[str]:
    stored = (schema.pandas_metadata or {}).get("index_columns", [])
    return list(dict.fromkeys(list(columns) + [c for c in stored if isinstance(c, str)]))
