"""Cell styles: style arrays, number formats and the styles part."""

from brindle.styles.cell_style import StyleArray
from brindle.styles.extra import Alignment, Border, Protection, RawFill
from brindle.styles.fonts import Font, PatternFill

__all__ = ["Alignment", "Border", "Font", "PatternFill", "Protection", "RawFill", "StyleArray"]
