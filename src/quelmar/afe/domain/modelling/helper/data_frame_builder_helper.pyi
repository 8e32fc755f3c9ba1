"""Types of the compiled kernel ``data_frame_builder_helper``.

``execute`` fills ``result_frame`` in place and returns None. Arrays are any
objects exporting a writable buffer of the element type named (NumPy arrays
with any strides); None gives an empty view. Integers are anything with
``__int__``; the three flags are read by truth value.
"""

from typing import Dict, Iterable, Optional, SupportsInt, Union

import numpy as np
import numpy.typing as npt

from quelmar.afe.dataaccess.services.transaction_file_record_reader import (
    TransactionFileRecordReader as TransactionFileRecordReader,
)
from quelmar.afe.domain.enums.afe_operator import AfeOperator as AfeOperator

_Float32Array = Optional[npt.NDArray[np.float32]]
_Int8Array = Optional[npt.NDArray[np.int8]]
_Int32Array = Optional[npt.NDArray[np.int32]]
_Int64Array = Optional[npt.NDArray[np.int64]]
_Codes = Iterable[SupportsInt]

def execute(
    result_frame: _Float32Array,
    c_num_threads: SupportsInt,
    date_col_index: SupportsInt,
    d_index: SupportsInt,
    q_index: SupportsInt,
    splits: _Int32Array,
    horizons: _Codes,
    offset: SupportsInt,
    resolution: SupportsInt,
    index_map: Optional[Dict[int, int]],
    trx_dates: _Int64Array,
    trx_q_arrays: _Float32Array,
    trx_d_arrays: _Int8Array,
    entity_index_map: Optional[Dict[int, Union[_Int32Array, None]]],
    target_dates: _Int64Array,
    included_operators: _Codes,
    included_operator_set_one: _Codes,
    included_operator_set_two: _Codes,
    column_name_map: Optional[Dict[int, int]],
    nearest_exponent: SupportsInt,
    dim_group_id: SupportsInt = -1,
    for_afe_columns: object = False,
    is_no_dim_col: object = False,
) -> None: ...
