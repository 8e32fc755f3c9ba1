"""Stand-in for the product's ``TransactionFileRecordReader``.

The real class reads transaction files in the surrounding product. The native
module ``data_frame_builder_helper`` only reads the integer class attribute
``UNKNOWN_DIMENSION_VALUE``, once, at import: the dimension value that marks an
unknown dimension, for which no result cell is ever written. The class is never
instantiated by the module.
"""


class TransactionFileRecordReader:
    UNKNOWN_DIMENSION_VALUE = -1
