"""Cells and what hangs off them: hyperlinks, comments and rich text."""

from brindle.cell.cell import ERROR_CODES, Cell, IllegalCharacterError
from brindle.cell.comment import Comment
from brindle.cell.hyperlink import Hyperlink

__all__ = ["Cell", "Comment", "ERROR_CODES", "Hyperlink", "IllegalCharacterError"]
