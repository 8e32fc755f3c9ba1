"""The compute layer: one build on one machine (``build_feature_frame``,
its preparation and report) and the target schedules (``TargetGrid``)."""

from .build import (BuildReport, PreparedBuild, build_feature_frame, build_with_report, compute_rows,
    feature_columns, frame_of, merged_report, plan_for, prepare_build, prepare_transactions, rows_in_reach)
from .grid import ScheduledTargets, TargetGrid, check_output_size, instant, interval_ms, list_entities

__all__ = [
    "BuildReport", "PreparedBuild", "ScheduledTargets", "TargetGrid", "build_feature_frame",
    "build_with_report", "check_output_size", "instant", "compute_rows", "feature_columns", "frame_of", "interval_ms",
    "list_entities", "merged_report", "plan_for", "prepare_build", "prepare_transactions", "rows_in_reach",
]
