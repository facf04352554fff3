"""Formula values that are more than their text: array formulas and data tables."""


class ArrayFormula:
    """A formula entered over the cell range `ref` (a CSE array formula)."""

    __slots__ = ("ref", "text")

    def __init__(self, ref, text=None):
        self.ref = ref
        self.text = text

    def __iter__(self):
        yield "t", "array"
        if self.ref is not None:
            yield "ref", self.ref

    def __eq__(self, other):
        if not isinstance(other, ArrayFormula):
            return NotImplemented
        return (self.ref, self.text) == (other.ref, other.text)

    def __repr__(self):
        return f"ArrayFormula(ref={self.ref!r}, text={self.text!r})"


class DataTableFormula:
    """A what-if data table over `ref`, with its input cells `r1` (and `r2` for two inputs).

    The flags keep the attribute text as read ("1", "true", ...) so that a
    table is written back the way it was found.
    """

    _ATTRS = ("ref", "ca", "dt2D", "dtr", "r1", "r2", "del1", "del2")
    __slots__ = _ATTRS + ("t",)

    def __init__(self, /, ref=None, ca=False, dt2D=False, dtr=False, r1=None, r2=None,
                 del1=False, del2=False, t="dataTable", **_ignored):
        # `_ignored` takes attributes of later file versions that we keep no model for.
        self.t = t
        self.ref = ref
        self.ca = ca
        self.dt2D = dt2D
        self.dtr = dtr
        self.r1 = r1
        self.r2 = r2
        self.del1 = del1
        self.del2 = del2

    def __iter__(self):
        yield "t", self.t
        for name in self._ATTRS:
            value = getattr(self, name)
            if value not in (None, False):
                yield name, value

    def __eq__(self, other):
        if not isinstance(other, DataTableFormula):
            return NotImplemented
        return dict(self) == dict(other)

    def __repr__(self):
        return "DataTableFormula(" + ", ".join(f"{k}={v!r}" for k, v in self) + ")"
