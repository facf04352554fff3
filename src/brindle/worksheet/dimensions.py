"""Row and column dimensions: heights, widths, visibility and outline levels."""

from brindle.utils.cell import column_index_from_string


class RowDimension:
    """Display properties of one row.

    Iterating a dimension gives the (attribute, value) text pairs it adds to
    the row's start tag, only for properties that differ from the default.
    It deliberately has no `keys` method, so `dict.update(dim)` takes those
    pairs.
    """

    # `style_id`: the row's own format, an index into the workbook's cell
    # styles (`wb._cell_styles`, whose indexes never change), or None.
    __slots__ = ("index", "height", "hidden", "outline_level", "collapsed", "style_id")

    def __init__(self, index, height=None, hidden=False, outline_level=0, collapsed=False):
        self.index = index
        self.height = height
        self.hidden = hidden
        self.outline_level = outline_level
        self.collapsed = collapsed
        self.style_id = None

    def __iter__(self):
        if self.style_id:
            yield "s", str(int(self.style_id))
            yield "customFormat", "1"
        if self.height is not None:
            yield "ht", "%.16g" % float(self.height)
            yield "customHeight", "1"
        if self.hidden:
            yield "hidden", "1"
        if self.outline_level:
            yield "outlineLevel", str(int(self.outline_level))
        if self.collapsed:
            yield "collapsed", "1"

    def __repr__(self):
        return f"<RowDimension {self.index} {dict(self)!r}>"


class RowDimensions(dict):
    """Row dimensions by 1-based row index; indexing creates a dimension."""

    def __missing__(self, index):
        if type(index) is not int or index < 1:
            raise KeyError(index)
        dim = self[index] = RowDimension(index)
        return dim


class ColumnDimension:
    """Display properties of one column: `width` (in characters), `hidden`,
    `outline_level` and `collapsed`. `max` (default: the column itself) is
    the last column they apply to, for a run of equal columns."""

    __slots__ = ("index", "width", "hidden", "outline_level", "collapsed", "max", "style_id")

    def __init__(self, index, width=None, hidden=False, outline_level=0, collapsed=False):
        self.index = index
        self.width = width
        self.hidden = hidden
        self.outline_level = outline_level
        self.collapsed = collapsed
        self.max = None
        self.style_id = None  # as for rows: an index into the workbook's cell styles

    def to_xml(self):
        if self.width is None and not self.hidden and not self.outline_level \
                and not self.collapsed and not self.style_id:
            return ""
        last = self.index if self.max is None else max(int(self.max), self.index)
        attrs = f'min="{self.index}" max="{last}"'
        if self.style_id:
            attrs += f' style="{int(self.style_id)}"'
        if self.width is not None:
            width = float(self.width)
            if not 0 <= width <= 255:
                raise ValueError(f"column width {width} is outside 0 to 255")
            attrs += f' width="{width:.16g}" customWidth="1"'
        if self.hidden:
            attrs += ' hidden="1"'
        if self.outline_level:
            attrs += f' outlineLevel="{int(self.outline_level)}"'
        if self.collapsed:
            attrs += ' collapsed="1"'
        return f"<col {attrs}/>"


class ColumnDimensions(dict):
    """Column dimensions by column letters ("A", "AB"); indexing creates one."""

    def __missing__(self, letters):
        index = column_index_from_string(letters)
        dim = self[letters.upper()] = ColumnDimension(index)
        return dim

    def to_xml(self):
        dims = sorted(self.values(), key=lambda d: d.index)
        parts = []
        for i, dim in enumerate(dims):
            text = dim.to_xml()
            if text and dim.max is not None and i + 1 < len(dims) and dims[i + 1].index <= dim.max:
                # A run may not cover a column that has a dimension of its own.
                saved = dim.max
                dim.max = dims[i + 1].index - 1
                try:
                    text = dim.to_xml()
                finally:
                    dim.max = saved
            parts.append(text)
        cols = "".join(parts)
        return f"<cols>{cols}</cols>" if cols else ""
