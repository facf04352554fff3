"""Cell values that are more than a plain Python value."""
