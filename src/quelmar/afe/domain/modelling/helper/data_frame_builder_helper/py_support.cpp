// Python support helpers (placeholder).
