"""The compact style of one cell: nine indexes into the workbook's tables."""

from array import array

from brindle.utils.indexed_list import IndexedList

FIELDS = ("fontId", "fillId", "borderId", "numFmtId", "protectionId",
          "alignmentId", "pivotButton", "quotePrefix", "xfId")


class _Field:
    __slots__ = ("index",)

    def __init__(self, index):
        self.index = index

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        return instance[self.index]

    def __set__(self, instance, value):
        instance[self.index] = value


class StyleArray(array):
    """Nine signed 32-bit integers, in the order of `FIELDS`.

    A cell whose array is all zeros is unstyled. Arrays compare and hash by
    content, so the workbook's style list gives equal arrays one index; an
    array must therefore not be changed while it is a key of such a list
    (the list keeps its own copies).
    """

    __slots__ = ()

    def __new__(cls, args=None):
        if args is None:
            return super().__new__(cls, "i", bytes(4 * len(FIELDS)))
        self = super().__new__(cls, "i", args)
        if len(self) != len(FIELDS):
            raise ValueError(f"a style array holds {len(FIELDS)} integers, not {len(self)}")
        return self

    def __hash__(self):
        return hash(tuple(self))

    def __copy__(self):
        return StyleArray(self)

    def __deepcopy__(self, memo):
        return StyleArray(self)

    def __reduce__(self):
        return StyleArray, (list(self),)

    def __repr__(self):
        return "StyleArray(%r)" % (list(self),)

    def replace(self, **fields):
        """A copy with the named fields changed."""
        new = StyleArray(self)
        for name, value in fields.items():
            if name not in FIELDS:
                raise AttributeError(f"StyleArray has no field {name!r}")
            new[FIELDS.index(name)] = value
        return new


for _i, _name in enumerate(FIELDS):
    setattr(StyleArray, _name, _Field(_i))
del _i, _name


class StyleList(IndexedList):
    """The workbook's cell formats: one index per distinct style array.

    `add` stores a copy, so a cell that later changes its own array in place
    cannot corrupt the list.
    """

    __slots__ = ()

    def add(self, style):
        key = style if type(style) is StyleArray else StyleArray(style)
        index = self._index.get(key)
        if index is None:
            index = super().add(StyleArray(key) if key is style else key)
        return index
