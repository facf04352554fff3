"""Cell styles: style arrays, number formats and the styles part."""

from brindle.styles.cell_style import StyleArray

__all__ = ["StyleArray"]
