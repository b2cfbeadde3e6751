// X server fixtures (placeholder).
