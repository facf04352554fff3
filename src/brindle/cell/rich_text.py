"""Rich text: a cell string made of runs, each with its own font properties."""


class InlineFont:
    """The run properties (`<rPr>`) of one run, as the property name and its `val` text.

    `color` keeps all its attributes as a dict, since a colour is given by one
    of several attributes (rgb, theme, indexed, auto, with an optional tint).
    """

    __slots__ = ("props",)

    def __init__(self, /, **props):
        self.props = props

    def __getattr__(self, name):
        try:
            return self.props[name]
        except KeyError:
            raise AttributeError(name) from None

    def __eq__(self, other):
        return isinstance(other, InlineFont) and self.props == other.props

    def __repr__(self):
        return "InlineFont(" + ", ".join(f"{k}={v!r}" for k, v in self.props.items()) + ")"


class TextBlock:
    """One run of rich text: its font and its text."""

    __slots__ = ("font", "text")

    def __init__(self, font, text):
        self.font = font
        self.text = text

    def __eq__(self, other):
        return (isinstance(other, TextBlock) and self.font == other.font
                and self.text == other.text)

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"TextBlock({self.font!r}, {self.text!r})"


class CellRichText(list):
    """A cell's rich text: a list of `str` (unformatted text) and `TextBlock` runs."""

    def __str__(self):
        return "".join(str(part) for part in self)

    def __repr__(self):
        return f"CellRichText({list.__repr__(self)})"
