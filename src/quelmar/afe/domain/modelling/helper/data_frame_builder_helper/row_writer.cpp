// Row writers (placeholder).
