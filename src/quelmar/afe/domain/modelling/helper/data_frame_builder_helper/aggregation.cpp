// Aggregation scan (placeholder).
