"""Borders, alignments, cell protection and fills kept as read.

These tables are filled mostly by loading a workbook: entries are kept in
the form the file gave them so that saving writes them back unchanged.
Like fonts they are immutable and compared by value, so equal entries share
one index in the workbook.
"""

from brindle.styles.fonts import _Frozen

_PLAIN_BORDER = "<border><left/><right/><top/><bottom/><diagonal/></border>"


class Border(_Frozen):
    """A cell border, held as its `<border>` element text."""

    __slots__ = ("xml",)

    def __init__(self, xml=_PLAIN_BORDER):
        if not isinstance(xml, str) or not xml.startswith("<border"):
            raise ValueError("a border is the text of a <border> element")
        object.__setattr__(self, "xml", xml)

    def to_xml(self, quote):
        return self.xml


class RawFill(_Frozen):
    """A fill other than a plain solid colour (patterns, gradients), held as
    its `<fill>` element text."""

    __slots__ = ("xml",)

    def __init__(self, xml):
        if not isinstance(xml, str) or not xml.startswith("<fill"):
            raise ValueError("a raw fill is the text of a <fill> element")
        object.__setattr__(self, "xml", xml)

    def to_xml(self, quote):
        return self.xml


class _Attributes(_Frozen):
    """An element made only of attributes: `attrs` holds (name, text) pairs.

    Keyword arguments take the attribute names of the file format
    (`Alignment(horizontal="center", wrapText=True)`); booleans become "1"
    and "0".
    """

    __slots__ = ("attrs",)
    TAG = None

    def __init__(self, /, **attrs):
        pairs = []
        for name, value in sorted(attrs.items()):
            if value is None:
                continue
            if isinstance(value, bool):
                value = "1" if value else "0"
            pairs.append((name, str(value)))
        object.__setattr__(self, "attrs", tuple(pairs))

    def __getattr__(self, name):
        # Only reached for names that are not slots: attributes, None when unset.
        if name.startswith("_"):
            raise AttributeError(name)
        for key, value in object.__getattribute__(self, "attrs"):
            if key == name:
                return value
        return None

    def _key(self):
        return self.attrs

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self.attrs)
        return f"{type(self).__name__}({args})"

    def __bool__(self):
        return bool(self.attrs)

    def to_xml(self, quote):
        body = "".join(f' {k}="{quote(v)}"' for k, v in self.attrs)
        return f"<{self.TAG}{body}/>"


class Alignment(_Attributes):
    """Text alignment of a cell (`horizontal`, `vertical`, `wrapText`,
    `indent`, `textRotation`, `shrinkToFit` ...)."""

    __slots__ = ()
    TAG = "alignment"


class Protection(_Attributes):
    """Cell protection (`locked`, `hidden`), effective when the sheet is protected."""

    __slots__ = ()
    TAG = "protection"


PLAIN_BORDER = Border()
NO_ALIGNMENT = Alignment()
NO_PROTECTION = Protection()
