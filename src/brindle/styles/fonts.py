"""Fonts and fills: the two style tables cells most often point into."""

import re

_COLOR_RE = re.compile(r"^(?:[0-9A-Fa-f]{2})?[0-9A-Fa-f]{6}$")
_UNDERLINES = ("single", "double", "singleAccounting", "doubleAccounting")


def _color(value):
    if value is None:
        return None
    if not isinstance(value, str) or not _COLOR_RE.match(value):
        raise ValueError(f"a colour is RRGGBB or AARRGGBB hex text, not {value!r}")
    return (value if len(value) == 8 else "FF" + value).upper()


class _Frozen:
    __slots__ = ()

    def _key(self):
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other):
        return type(other) is type(self) and other._key() == self._key()

    def __hash__(self):
        return hash((type(self), self._key()))

    def __setattr__(self, name, value):
        raise AttributeError(f"{type(self).__name__} is immutable; make a new one")

    def __repr__(self):
        args = ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__slots__)
        return f"{type(self).__name__}({args})"


class Font(_Frozen):
    """A font. Immutable and compared by value, so equal fonts share one
    entry in the workbook."""

    __slots__ = ("name", "size", "bold", "italic", "underline", "strike", "color", "_xml")

    def __init__(self, name="Calibri", size=11, bold=False, italic=False, underline=None,
                 strike=False, color=None):
        if underline is not None and underline not in _UNDERLINES:
            raise ValueError(f"underline is one of {_UNDERLINES}, not {underline!r}")
        size = float(size)
        if not 1 <= size <= 409:
            raise ValueError(f"font size {size} is outside 1 to 409")
        for slot, value in zip(self.__slots__, (str(name), size, bool(bold), bool(italic),
                                                 underline, bool(strike), _color(color))):
            object.__setattr__(self, slot, value)
        object.__setattr__(self, "_xml", None)

    @classmethod
    def _as_read(cls, xml, **fields):
        """A font read from a file whose element says more than the fields
        above (theme colours, font family, scheme ...): `xml` is written back
        as it is."""
        font = cls(**fields)
        object.__setattr__(font, "_xml", xml)
        return font

    def __repr__(self):
        args = ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__slots__[:-1])
        return f"Font({args})"

    def to_xml(self, quote):
        if self._xml is not None:
            return self._xml
        parts = ["<font>"]
        if self.bold:
            parts.append("<b/>")
        if self.italic:
            parts.append("<i/>")
        if self.strike:
            parts.append("<strike/>")
        if self.underline:
            parts.append("<u/>" if self.underline == "single" else f'<u val="{self.underline}"/>')
        parts.append(f'<sz val="{self.size:g}"/>')
        if self.color:
            parts.append(f'<color rgb="{self.color}"/>')
        parts.append(f'<name val="{quote(self.name)}"/><family val="2"/></font>')
        return "".join(parts)


class PatternFill(_Frozen):
    """A solid background colour (the only pattern offered)."""

    __slots__ = ("color",)

    def __init__(self, color):
        object.__setattr__(self, "color", _color(color))
        if self.color is None:
            raise ValueError("a fill needs a colour")

    def to_xml(self, quote):
        return (f'<fill><patternFill patternType="solid"><fgColor rgb="{self.color}"/>'
                '<bgColor indexed="64"/></patternFill></fill>')


DEFAULT_FONT = Font()
