"""Row and column dimensions: heights, widths, visibility and outline levels."""

import array
import itertools

from brindle.utils.cell import column_index_from_string
from brindle.utils.limits import MAX_ROW


_ABSENT = object()


class RowSettings:
    """The display properties a row has, shared by every row that has the same.

    Sheets written after a change of font give every row a height: a
    settings object per row would cost hundreds of bytes a row, so rows keep
    the number of a shared one instead and a change makes (or finds) another.
    Treat it as immutable. `pairs` are the (attribute, value) texts it adds to
    a row's start tag, worked out when first written.
    """

    __slots__ = ("height", "hidden", "outline_level", "collapsed", "style_id", "_pairs")

    def __init__(self, height=None, hidden=False, outline_level=0, collapsed=False,
                 style_id=None):
        self.height = height
        self.hidden = hidden
        self.outline_level = outline_level
        self.collapsed = collapsed
        self.style_id = style_id
        self._pairs = None

    def key(self):
        """What tells two settings apart; types too, so that a row keeps the value it was
        given (1 and True would otherwise be one). TypeError for an unhashable value."""
        fields = (self.height, self.hidden, self.outline_level, self.collapsed, self.style_id)
        key = tuple((type(f), f) for f in fields)
        hash(key)
        return key

    def replaced(self, name, value):
        new = RowSettings(self.height, self.hidden, self.outline_level, self.collapsed,
                          self.style_id)
        setattr(new, name, value)
        return new

    @property
    def pairs(self):
        pairs = self._pairs
        if pairs is None:
            out = []
            if self.style_id:
                out += [("s", str(int(self.style_id))), ("customFormat", "1")]
            if self.height is not None:
                out += [("ht", "%.16g" % float(self.height)), ("customHeight", "1")]
            if self.hidden:
                out.append(("hidden", "1"))
            if self.outline_level:
                out.append(("outlineLevel", str(int(self.outline_level))))
            if self.collapsed:
                out.append(("collapsed", "1"))
            pairs = self._pairs = tuple(out)
        return pairs


_DEFAULT = RowSettings()


def _settings_property(name):
    def get(self):
        return getattr(self._settings(), name)

    def put(self, value):
        self._put(self._settings().replaced(name, value))

    return property(get, put)


class RowDimension:
    """Display properties of one row: `height` (points, or None), `hidden`,
    `outline_level`, `collapsed` and `style_id` (the row's own format, an index
    into the workbook's cell styles, whose indexes never change, or None).

    A dimension got from a worksheet's `row_dimensions` is a view of that
    row: its properties live in the worksheet, shared with every row that has
    the same, and setting one changes that row alone.

    Iterating a dimension gives the (attribute, value) text pairs it adds to
    the row's start tag, only for properties that differ from the default.
    It deliberately has no `keys` method, so `dict.update(dim)` takes those
    pairs.
    """

    __slots__ = ("index", "_owner", "_own")

    def __init__(self, index, height=None, hidden=False, outline_level=0, collapsed=False):
        self.index = index
        self._owner = None
        self._own = RowSettings(height, hidden, outline_level, collapsed)

    @classmethod
    def _view(cls, owner, index):
        dim = cls.__new__(cls)
        dim.index = index
        dim._owner = owner
        dim._own = None
        return dim

    def _settings(self):
        owner = self._owner
        return self._own if owner is None else owner._settings_at(self.index)

    def _put(self, settings):
        owner = self._owner
        if owner is None:
            self._own = settings
        else:
            owner._put(self.index, settings)

    height = _settings_property("height")
    hidden = _settings_property("hidden")
    outline_level = _settings_property("outline_level")
    collapsed = _settings_property("collapsed")
    style_id = _settings_property("style_id")

    def __iter__(self):
        return iter(self._settings().pairs)

    def __repr__(self):
        return f"<RowDimension {self.index} {dict(self)!r}>"


class RowDimensions(dict):
    """Row dimensions by 1-based row index; indexing creates a dimension.

    PERF: the rows' settings are kept as a number per row (an array up to
    the last row that has one) into a table of the distinct settings, so a
    loaded sheet whose every row has a height costs four bytes a row, not a
    dimension object each. The dict itself holds only what the program put
    or asked for: views handed out by indexing (so that the same row gives
    the same object) and objects assigned to a row, which take its place.
    """

    def __init__(self):
        super().__init__()
        self._ids = array.array("I")
        self._table = [None, _DEFAULT]  # 0: the row has no dimension
        self._numbers = {_DEFAULT.key(): 1}

    # -- the compact rows -------------------------------------------------

    def _number(self, settings):
        """The table number of `settings`, shared by every equal settings."""
        try:
            key = settings.key()
        except TypeError:
            self._table.append(settings)  # not comparable: never shared
            return len(self._table) - 1
        number = self._numbers.get(key)
        if number is None:
            number = self._numbers[key] = len(self._table)
            self._table.append(settings)
        return number

    def _settings_at(self, index):
        ids = self._ids
        number = ids[index] if 0 < index < len(ids) else 0
        return self._table[number] if number else _DEFAULT

    def _put(self, index, settings):
        self._set_number(index, self._number(settings))

    def _set_number(self, index, number):
        ids = self._ids
        if index >= len(ids):
            ids.frombytes(bytes(ids.itemsize * (index + 1 - len(ids))))
        ids[index] = number

    def _stored(self, index):
        ids = self._ids
        return type(index) is int and 0 < index < len(ids) and ids[index] != 0

    def _compact_rows(self):
        return itertools.compress(range(len(self._ids)), self._ids)

    def _load(self, runs, settings_of):
        """Take the rows a sheet was read with: [first, last, attributes] runs, in file
        order, where runs of equal attributes are given one object, made into settings
        once by `settings_of`."""
        numbers = {}
        ids = self._ids
        for first, last, attrs in runs:
            number = numbers.get(id(attrs))
            if number is None:
                number = numbers[id(attrs)] = self._number(settings_of(attrs))
            # The readers refuse rows outside the sheet; a caller's runs may hold any.
            first, last = max(first, 1), min(last, MAX_ROW)
            if first > last:
                continue
            if len(ids) <= last:
                ids.frombytes(bytes(ids.itemsize * (last + 1 - len(ids))))
            ids[first:last + 1] = array.array("I", [number]) * (last + 1 - first)

    # -- the mapping --------------------------------------------------------

    def __missing__(self, index):
        if type(index) is not int or not 1 <= index <= MAX_ROW:
            raise KeyError(index)
        if not self._stored(index):
            self._set_number(index, 1)
        dim = RowDimension._view(self, index)
        dict.__setitem__(self, index, dim)
        return dim

    def __setitem__(self, index, dim):
        if self._stored(index):
            self._ids[index] = 0
        dict.__setitem__(self, index, dim)

    def __delitem__(self, index):
        stored = self._stored(index)
        if stored:
            self._ids[index] = 0
        if dict.__contains__(self, index):
            dict.__delitem__(self, index)
        elif not stored:
            raise KeyError(index)

    def get(self, index, default=None):
        dim = dict.get(self, index, _ABSENT)
        if dim is not _ABSENT:
            return dim
        if self._stored(index):
            return RowDimension._view(self, index)
        return default

    def __contains__(self, index):
        return dict.__contains__(self, index) or self._stored(index)

    def keys(self):
        own = [key for key in dict.keys(self)]
        return own + [row for row in self._compact_rows() if not dict.__contains__(self, row)]

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return len(self.keys())

    def values(self):
        return [self.get(key) for key in self.keys()]

    def items(self):
        return [(key, self.get(key)) for key in self.keys()]

    def clear(self):
        dict.clear(self)
        del self._ids[:]

    def __eq__(self, other):
        if isinstance(other, dict):
            return dict(self.items()) == dict(other.items())
        return NotImplemented

    __hash__ = None

    def __repr__(self):
        return f"RowDimensions({dict(self.items())!r})"


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
