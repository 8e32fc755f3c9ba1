"""The distributed layer: tables partitioned by entity on disk
(``write_partitioned``) and the same computation on Dask, one entity
partition at a time, or on Spark, one bucket of entities at a time."""

from .dask import build_feature_frame_dask, gather_feature_frame
from .partitioned import Dataset, read_part, write_partitioned
from .spark import build_feature_frame_spark

__all__ = ["Dataset", "build_feature_frame_dask", "build_feature_frame_spark", "gather_feature_frame", "read_part",
           "write_partitioned"]
