"""Cells, values and rows for the writer tests: hypothesis strategies of what
a host hands the sheet writers, and the stand-in cells built from them."""

import array
import datetime as dt
import decimal
import fractions

from hypothesis import strategies as st

import brindle
import brindle.worksheet.dimensions


# Characters the escaping rules single out, mixed with any code point at all
# (lone surrogates included).
SPECIAL = st.sampled_from(list("\t\n\r\"'<>& x=\x7f\x85\xa0\xe9\u3000\U0001F600\x00\x01\x1f"
                               "\ufffe\uffff\ud800\udfff"))
TEXT = st.text(SPECIAL | st.characters(codec=None, exclude_categories=()), max_size=12)


IntSub = type("IntSub", (int,), {})
FloatSub = type("FloatSub", (float,), {})
StrSub = type("StrSub", (str,), {})

NUMBERS = st.one_of(
    st.floats(),
    st.floats(min_value=-1e-300, max_value=1e-300),
    st.sampled_from([5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e15, 1e16,
                     0.1, 1 / 3, -0.0, float("nan"), float("-inf")]),
    st.integers(-(2**70), 2**70),
    st.integers(2**53 - 3, 2**53 + 3).flatmap(lambda n: st.sampled_from([n, -n])),
    st.sampled_from([2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 10**17 + 1, 10**308, 10**309,
                     -(10**400)]),
)
FORMULAS_ETC = st.sampled_from(["=SUM(A1:A2)", "=", "=1", "=\"a\"&B2", "#N/A", "#DIV/0!",
                                "#REF!", " x", "x ", "  ", "a\r\nb", "\t"])
DATES = st.one_of(
    st.datetimes(timezones=st.none() | st.just(dt.timezone.utc)),
    st.datetimes(min_value=dt.datetime(1899, 12, 1), max_value=dt.datetime(1900, 3, 2)),
    st.dates(), st.times(), st.timedeltas(),
)
VALUES = st.one_of(
    st.none(), st.booleans(), NUMBERS, TEXT, FORMULAS_ETC, DATES,
    st.integers().map(IntSub), st.floats().map(FloatSub), TEXT.map(StrSub),
    st.sampled_from([decimal.Decimal("1.5"), decimal.Decimal("NaN"), fractions.Fraction(1, 3)]),
)


class CellSpec:
    """A `Cell` item of a row: a value with a style, a comment and a link."""

    def __init__(self, value, style, comment, link):
        self.value, self.style, self.comment, self.link = value, style, comment, link

    def __repr__(self):
        return f"CellSpec{(self.value, self.style, self.comment, self.link)!r}"

    def build(self, ws):
        cell = brindle.Cell(ws, value=self.value)
        if self.style == "font":
            cell.font = brindle.Font(bold=True, color="FF0000")
        elif self.style == "fill":
            cell.fill = brindle.PatternFill("FFFF00")
        elif self.style == "format":
            cell.number_format = "0.000"
        if self.comment is not None:
            cell.comment = brindle.Comment(self.comment, "brindle")
        if self.link is not None:
            cell.hyperlink = self.link
        return cell


ITEMS = VALUES | st.builds(CellSpec, VALUES, st.sampled_from([None, "font", "fill", "format"]),
                           st.sampled_from([None, "a note"]),
                           st.sampled_from([None, "https://example.com/?a=1&b=2"]))
ROW_DIMS = st.dictionaries(st.integers(1, 6), st.tuples(
    st.none() | st.sampled_from([0, 15, 12.75, 409.5]), st.booleans(), st.integers(0, 3)),
    max_size=3)


def outcome(exc):
    # The host's own exceptions must match exactly; the writers' argument
    # and result checks only by type (their wording differs).
    return (type(exc),) if type(exc) is TypeError else (type(exc), str(exc))


class Raising(brindle.Cell):
    """A host cell one of whose attributes raises when read."""

    __slots__ = ("broken",)

    def __getattribute__(self, name):
        get = object.__getattribute__
        if name != "broken" and name == get(self, "broken"):
            raise LookupError(f"cannot read {name}")
        return get(self, name)


STYLES = {
    "zero": lambda: brindle.StyleArray(),
    "numfmt": lambda: brindle.StyleArray([0, 0, 0, 2, 0, 0, 0, 0, 0]),
    "font": lambda: brindle.StyleArray([1, 0, 0, 0, 0, 0, 0, 0, 0]),
    "list": lambda: [0, 0, 0, 2, 0, 0, 0, 0, 0],
    "short": lambda: array.array("i", [1, 2]),
    "int": lambda: 5,
}
RAW_CELLS = st.fixed_dictionaries({
    "value": VALUES,
    "data_type": st.sampled_from(["n", "s", "f", "b", "e", "d", "str", "", "inlineStr"])
    | TEXT | st.sampled_from([None, 1, StrSub("s"), StrSub("f")]),
    "row": st.sampled_from([1, 1, 7, 0, -3, 2**40, True, 2**64, 1.0]),
    "column": st.sampled_from([1, 2, 26, 27, 703, 18278, 18279, 0, -1, True, "A"]),
    "style": st.sampled_from([None, *STYLES]),
    "comment": st.sampled_from([None, None, "note", ""]),
    "link": st.sampled_from([None, None, "https://x.test/?a&b"]),
    "broken": st.sampled_from([None] * 6 + ["_value", "data_type", "row", "column", "_style",
                                            "_comment", "hyperlink"]),
})
RAW_DIMS = st.dictionaries(st.integers(1, 6), st.sampled_from([
    brindle.worksheet.dimensions.RowDimension(1, height=15),
    {"spans": "1:2", "r": "x&\t"}, {"ht": 15}, [("customHeight", "1")], {}]), max_size=2)


def raw_cell(ws, desc):
    cell = Raising.__new__(Raising)
    object.__setattr__(cell, "broken", None)
    brindle.Cell.__init__(cell, ws, 1, 1)
    if desc["link"] is not None:
        cell.hyperlink = desc["link"]
    if desc["comment"] is not None:
        cell._comment = brindle.Comment(desc["comment"]) if desc["comment"] else ""
    if desc["style"] is not None:
        cell._style = STYLES[desc["style"]]()
    cell._value, cell.data_type = desc["value"], desc["data_type"]
    cell.row, cell.column = desc["row"], desc["column"]
    object.__setattr__(cell, "broken", desc["broken"])
    return cell
