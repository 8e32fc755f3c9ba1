"""Build lower_bound.cpp with the module's flags and run it through ctypes."""

from __future__ import annotations

import ctypes
import os
import subprocess
from typing import Dict

import numpy as np

from generate import D_INDEX, DATE_COL_INDEX, DAY_MS, Q_INDEX, Call
from quelmar.afe.domain.enums.afe_operator import AfeOperator

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "lower_bound.cpp")
BUILD = os.path.join(HERE, "_build")
# The module's optimisation and float flags (CMakeLists.txt).
CXXFLAGS = ["-O3", "-ffp-contract=off", "-fno-fast-math", "-std=c++17", "-shared", "-fPIC", "-g"]

SLOT_OF = {
    AfeOperator.Density.value: 0,
    AfeOperator.Min.value: 1,
    AfeOperator.Max.value: 2,
    AfeOperator.Sum.value: 3,
    AfeOperator.Frequency.value: 4,
    AfeOperator.CountDistinct.value: 5,
    AfeOperator.Mode.value: 6,
    AfeOperator.TimeSinceFirst.value: 7,
    AfeOperator.TimeSinceLast.value: 8,
}

P = ctypes.c_void_p
I64 = ctypes.c_int64
I32 = ctypes.c_int32


class LbArgs(ctypes.Structure):
    _fields_ = [
        ("result", P), ("result_s0", I64),
        ("dates", P), ("dates_s0", I64),
        ("qs", P), ("qs_s0", I64),
        ("ds", P), ("ds_s0", I64),
        ("rows", P), ("row_offsets", P), ("has_rows", P), ("target_dates", P),
        ("splits", P), ("n_splits", I64), ("split_len", I64),
        ("unit_ms", I64), ("offset", I32), ("n_horizons", I32), ("horizons", P),
        ("code_to_dim", P), ("n_dims", I32),
        ("inclusive_upper", I32), ("nan_skips", I32), ("group_only", I32), ("group_dim", I32),
        ("want_distinct", I32), ("want_mode", I32),
        ("n_writes", I64), ("write_to", P), ("write_from", P),
        ("n_ratio", I64), ("ratio_to", P), ("ratio_dim", P), ("ratio_pos", P),
        ("stream_from_bytes", I64),
    ]  # fmt: skip


class LbCounters(ctypes.Structure):
    _fields_ = [("rows_scanned", I64), ("rows_accepted", I64), ("cells_written", I64), ("entities", I64),
                ("bytes_streamed", I64)]


def library_path(source: str = SOURCE) -> str:
    name = os.path.splitext(os.path.basename(source))[0]
    return os.path.join(BUILD, "lib{}.so".format(name))


def build(force: bool = False, source: str = SOURCE) -> str:
    """Compile `source` (lower_bound.cpp, or another version of it to compare
    against) unless its library is newer than the source."""
    os.makedirs(BUILD, exist_ok=True)
    lib = library_path(source)
    if force or not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(source):
        cxx = os.environ.get("CXX", "g++")
        subprocess.check_call([cxx] + CXXFLAGS + ["-o", lib + ".tmp", source])
        os.replace(lib + ".tmp", lib)
    return lib


class LowerBound:
    """The lower-bound loop prepared for one call: dense tables built once,
    `run(result_frame)` does the work of one `execute`."""

    def __init__(self, call: Call, source: str = SOURCE, stream_from_bytes: int = 0):
        self.lib = ctypes.CDLL(build(source=source))
        self.lib.lb_run.argtypes = [ctypes.POINTER(LbArgs), ctypes.POINTER(LbCounters)]
        self.lib.lb_run.restype = ctypes.c_int
        wl = call.workload
        kw = call.kwargs
        data = call.data
        self._keep = []  # arrays the struct points into

        horizons = sorted(set(call.horizon_list))
        if list(call.horizon_list) != horizons:
            raise ValueError("the lower bound expects ascending distinct horizons")
        H = len(horizons)
        dim_values = [int(v) for v in call.dim_values]
        D = len(dim_values)
        dim_index: Dict[int, int] = {v: i for i, v in enumerate(dim_values)}
        code_to_dim = np.zeros(256, dtype=np.int32)
        for code, value in kw["index_map"].items():
            code_to_dim[code & 0xFF] = dim_index[value]

        included = list(kw["included_operators"])
        ratio = AfeOperator.Ratio.value in included
        want_distinct = AfeOperator.CountDistinct.value in included
        want_mode = AfeOperator.Mode.value in included
        group = bool(kw["for_afe_columns"])
        group_only = group and not ratio and not kw["is_no_dim_col"] and not want_distinct and not want_mode
        group_dim = dim_index.get(int(kw["dim_group_id"]), -1)

        # Flat write lists: (column, source index). Sources are the cells
        # [dim][position][slot]; CountDistinct and Mode are per position, and
        # the loop puts them into the cells of every dimension value, so that
        # a cell's slots are adjacent like their columns. Set two is read at
        # the smallest horizon.
        def source(i: int, j: int, op: int) -> int:
            return (i * H + j) * 9 + SLOT_OF.get(op, 0)

        cols = call.columns
        write_col, write_from = [], []
        ratio_col, ratio_dim, ratio_pos = [], [], []
        for i, d in enumerate(dim_values):
            for j, h in enumerate(horizons):
                for op in kw["included_operator_set_one"]:
                    if (d, op, h) in cols:
                        write_col.append(cols[(d, op, h)])
                        write_from.append(source(i, j, op))
            for op in kw["included_operator_set_two"]:
                if (d, op, horizons[-1]) in cols:
                    write_col.append(cols[(d, op, horizons[-1])])
                    write_from.append(source(i, 0, op))
            for j, h in enumerate(horizons):
                if (d, AfeOperator.Ratio.value, h) in cols:
                    ratio_col.append(cols[(d, AfeOperator.Ratio.value, h)])
                    ratio_dim.append(i)
                    ratio_pos.append(j)
        self._write_col = np.array(write_col, dtype=np.int64)
        self._ratio_col = np.array(ratio_col, dtype=np.int64)
        self._col_stride = None

        splits = np.ascontiguousarray(kw["splits"], dtype=np.int32)
        arrays = dict(
            rows=np.ascontiguousarray(data.rows_newest_first, dtype=np.int32),
            row_offsets=np.ascontiguousarray(data.row_offsets, dtype=np.int64),
            has_rows=data.has_rows.astype(np.uint8),
            target_dates=np.ascontiguousarray(data.target_dates, dtype=np.int64),
            splits=splits,
            horizons=np.array(horizons, dtype=np.int32),
            code_to_dim=code_to_dim,
            write_from=np.array(write_from or [0], dtype=np.int32),
            ratio_dim=np.array(ratio_dim or [0], dtype=np.int32),
            ratio_pos=np.array(ratio_pos or [0], dtype=np.int32),
        )
        self._keep.extend(arrays.values())
        a = LbArgs()
        for name, arr in arrays.items():
            setattr(a, name, arr.ctypes.data)
        dates, qs, ds = kw["trx_dates"], kw["trx_q_arrays"], kw["trx_d_arrays"]
        self._keep.extend([dates, qs, ds])
        a.dates = dates.ctypes.data + DATE_COL_INDEX * dates.strides[1]
        a.dates_s0 = dates.strides[0]
        a.qs = qs.ctypes.data + Q_INDEX * qs.strides[1]
        a.qs_s0 = qs.strides[0]
        a.ds = ds.ctypes.data + D_INDEX * ds.strides[1]
        a.ds_s0 = ds.strides[0]
        a.n_splits, a.split_len = splits.shape
        a.unit_ms = DAY_MS
        a.offset = wl.offset
        a.n_horizons = H
        a.n_dims = D
        a.inclusive_upper = int(group)
        a.nan_skips = int(group)
        a.group_only = int(group_only)
        a.group_dim = group_dim
        a.want_distinct = int(want_distinct)
        a.want_mode = int(want_mode)
        a.n_writes = len(write_col)
        a.n_ratio = len(ratio_col)
        # Result rows are written past the caches from this size on (0: the
        # loop's default, 64 MiB); tests lower it to reach that path.
        a.stream_from_bytes = stream_from_bytes
        self.args = a
        self.counters = LbCounters()

    def run(self, result_frame: np.ndarray) -> LbCounters:
        if result_frame.dtype != np.float32 or result_frame.ndim != 2:
            raise TypeError("result_frame must be a 2-axis float32 array")
        if self._col_stride != result_frame.strides[1]:
            # Column byte offsets depend on the frame's column stride.
            self._col_stride = result_frame.strides[1]
            self._write_to = (self._write_col * self._col_stride).astype(np.int64)
            self._ratio_to = (self._ratio_col * self._col_stride).astype(np.int64)
            if not len(self._write_to):
                self._write_to = np.zeros(1, dtype=np.int64)
            if not len(self._ratio_to):
                self._ratio_to = np.zeros(1, dtype=np.int64)
            self.args.write_to = self._write_to.ctypes.data
            self.args.ratio_to = self._ratio_to.ctypes.data
        self.args.result = result_frame.ctypes.data
        self.args.result_s0 = result_frame.strides[0]
        if self.lib.lb_run(ctypes.byref(self.args), ctypes.byref(self.counters)) != 0:
            raise RuntimeError("lower_bound.cpp rejected the call")
        return self.counters
