"""Cell comments (notes)."""

from brindle.utils.text import check_string


class Comment:
    """A note shown for one cell."""

    __slots__ = ("text", "author", "width", "height", "visible")

    def __init__(self, text, author="", width=144, height=79, visible=False):
        self.text = check_string(str(text))
        self.author = check_string(str(author))
        self.width = width
        self.height = height
        # Shown all the time, not only when the pointer rests on the cell.
        self.visible = bool(visible)

    def __repr__(self):
        return f"Comment({self.text!r}, author={self.author!r})"
