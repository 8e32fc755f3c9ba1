"""The store layer: kept state that appends keep up to date and that
answers with the training table's bits (``FeatureStore``)."""

from .feature_store import AppendReport, FeatureStore, StoreInfo

__all__ = ["AppendReport", "FeatureStore", "StoreInfo"]
