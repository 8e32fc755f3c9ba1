"""Feature frames: aggregate features from ordinary tables.

``build_feature_frame`` turns a transaction table and a table of (entity,
target date) pairs into a pandas DataFrame of aggregate features, computed
by the native engine ``_engine`` (the C++ core of ``data_frame_builder_helper``'s
``execute``, on several threads); its parameters are the fields of
``FeatureParams``. ``build_feature_frame_dask``
runs the same per entity partition of Dask DataFrames, without a shuffle on
the tables ``write_partitioned`` wrote; ``gather_feature_frame`` brings its
result into this process part by part. ``build_feature_frame_spark`` runs it
on Spark DataFrames, one bucket of entities per call. ``quelmar-feature-frame``
(or ``python -m quelmar.afe.domain.modelling.feature_frame``) is the command
line; ``write_feature_frame`` writes its output to a file while computing,
in buckets of entities on disk when the inputs would not fit in memory.

The package is layered, each layer importing only those below it:
``cli``, ``distributed``, ``files``, ``compute``, ``input``, then ``params``
and ``native``, then ``support`` and ``errors``.

pandas (and pyarrow, tqdm) come with ``pip install ".[frame]"``, Dask with
``pip install ".[dask]"``, pyspark with ``pip install ".[spark]"``; they are
imported only when used.
"""

from .compute import TargetGrid, build_feature_frame, feature_columns
from .distributed import (build_feature_frame_dask, build_feature_frame_spark, gather_feature_frame,
                          write_partitioned)
from .errors import InvalidParameterError, MissingQuantityWarning, OutputTooLargeError
from .files import write_feature_frame
from .params import RESOLUTIONS, FeatureParams, operator_name
from .support import installed_version

__version__ = installed_version()

__all__ = [
    "FeatureParams",
    "InvalidParameterError",
    "MissingQuantityWarning",
    "OutputTooLargeError",
    "RESOLUTIONS",
    "TargetGrid",
    "__version__",
    "build_feature_frame",
    "build_feature_frame_dask",
    "build_feature_frame_spark",
    "feature_columns",
    "gather_feature_frame",
    "operator_name",
    "write_feature_frame",
    "write_partitioned",
]
