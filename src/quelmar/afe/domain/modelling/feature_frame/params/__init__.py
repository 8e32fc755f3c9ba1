"""The parameters layer: ``FeatureParams`` (every parameter, checked in one
place), the units and integer ranges, and the result column layout."""

from .feature_params import (FeatureParams, command_line_fields, default_text, defaults,
    stacklevel_outside_package)
from .layout import (SEP, UNKNOWN_DIMENSION_VALUE, ColumnLayout, build_layout, choose_nearest_exponent,
    column_key, feature_name, layout_for, make_index_map, operator_name)
from .units import (INT8_MAX, INT8_MIN, INT16_MAX, INT16_MIN, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN,
    RESOLUTIONS, TIMELINE_LIMIT_MS, TIMESTAMP_UNITS, UNIT_MS, count_range, counts_of_ms, floor_ms, ms_ratio)

__all__ = [
    "INT8_MAX", "INT8_MIN", "INT16_MAX", "INT16_MIN", "INT32_MAX", "INT32_MIN", "INT64_MAX", "INT64_MIN",
    "RESOLUTIONS", "SEP", "TIMELINE_LIMIT_MS", "TIMESTAMP_UNITS", "UNIT_MS", "UNKNOWN_DIMENSION_VALUE",
    "ColumnLayout", "FeatureParams", "build_layout", "choose_nearest_exponent", "column_key",
    "command_line_fields", "count_range", "counts_of_ms", "default_text", "defaults", "feature_name",
    "floor_ms", "layout_for", "make_index_map", "ms_ratio", "operator_name", "stacklevel_outside_package",
]
