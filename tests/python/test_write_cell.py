"""The pure-Python cell writer against the serialisers it imitates and
against an independent model of the byte form the native writer produces."""

import datetime as dt
import decimal
import math
import xml.etree.ElementTree as ET

import pytest
from hypothesis import assume, given, strategies as st
from lxml import etree as LET

import brindle
from brindle.cell.cell import IllegalCharacterError
from brindle.utils.escapes import encode_escapes
from brindle.styles.cell_style import StyleArray
from brindle.utils.cell import get_column_letter
from brindle.writer.cell import date_value_raw, safe_string, write_cell_etree, write_cell_lxml


def write(ws, cell, styled, lxml):
    out = (write_cell_lxml if lxml else write_cell_etree)(ws, cell, styled)
    assert isinstance(out, bytes if lxml else str)
    return out.decode("ascii") if lxml else out


# -- an independent model of the two byte forms -------------------------------

def esc_attr(text, lxml):
    table = {"\t": "&#9;" if lxml else "&#09;", "\n": "&#10;", "\r": "&#13;",
             '"': "&quot;", "&": "&amp;", "<": "&lt;", ">": "&gt;"}
    return "".join(table.get(ch) or (f"&#{ord(ch)};" if lxml and ord(ch) > 127 else ch)
                   for ch in text)


def esc_text(text, lxml):
    table = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"}
    return "".join(table.get(ch) or (f"&#{ord(ch)};" if lxml and ord(ch) > 127 else ch)
                   for ch in text)


def g16(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float) and not math.isfinite(value):
        return ""
    text = "%.16g" % value
    # Next to the largest float 16 digits would read back as infinity.
    return "%.17g" % value if math.isinf(float(text)) else text


def model(ws, cell, styled, lxml):
    """The `<c>` text for a cell the native writer handles, or None when it
    hands the cell to the host."""
    value, data_type = cell._value, cell.data_type
    t = {"f": None, "s": "inlineStr"}.get(data_type, data_type)
    if data_type == "d":
        value, keep = date_value_raw(ws, value)
        t = "d" if keep else "n"
    out = f'<c r="{get_column_letter(cell.column)}{cell.row}"'
    if styled:
        out += f' s="{esc_attr(str(ws.parent._cell_styles.add(cell._style)), lxml)}"'
    if t is not None:
        out += f' t="{esc_attr(t, lxml)}"'
    if value is None or value == "":
        return out + ("></c>" if lxml else " />")
    empty_v = "<v></v>" if lxml else "<v />"
    if type(value) not in (str, bool, int, float) or (type(value) is int and
                                                       not -2**63 <= value < 2**63):
        return None
    if not isinstance(value, str):
        if data_type in ("f", "s"):
            return None
        text = g16(value)
        return out + (f"><v>{text}</v></c>" if text else f">{empty_v}</c>")
    if data_type == "s":
        if any(0xD800 <= ord(ch) <= 0xDFFF for ch in value):
            return None
        # Strings are written with their escapes (their own tests check them).
        value = encode_escapes(value)
    if any(ord(ch) < 32 and ch not in "\t\n\r" for ch in value):
        return None
    if data_type == "f":
        rest = value[1:]
        f = f"<f>{esc_text(rest, lxml)}</f>" if rest else ("<f></f>" if lxml else "<f />")
        return out + f">{f}{empty_v}</c>"
    if data_type == "s":
        marked = value != value.strip() and (lxml or value.strip() != "")
        space = ' xml:space="preserve"' if marked else ""
        return out + f"><is><t{space}>{esc_text(value, lxml)}</t></is></c>"
    return out + f"><v>{esc_text(value, lxml)}</v></c>"


@pytest.fixture
def ws():
    return brindle.Workbook().active


def make_cell(ws, value, data_type, row=1, column=1, style=None):
    cell = brindle.Cell(ws, row, column)
    cell._value = value
    cell.data_type = data_type
    if style is not None:
        cell._style = StyleArray(style)
    return cell


# -- the fixed forms --------------------------------------------------------------

CASES = [
    # (value, data_type, ElementTree form, lxml form)
    ("#N/A", "e", '<c r="A1" t="e"><v>#N/A</v></c>', None),
    ("=1", "f", '<c r="A1"><f>1</f><v /></c>', '<c r="A1"><f>1</f><v></v></c>'),
    ("=", "f", '<c r="A1"><f /><v /></c>', '<c r="A1"><f></f><v></v></c>'),
    ("=SUM(A1:A2)", "f", '<c r="A1"><f>SUM(A1:A2)</f><v /></c>',
     '<c r="A1"><f>SUM(A1:A2)</f><v></v></c>'),
    ("", "s", '<c r="A1" t="inlineStr" />', '<c r="A1" t="inlineStr"></c>'),
    (" x", "s", '<c r="A1" t="inlineStr"><is><t xml:space="preserve"> x</t></is></c>', None),
    ("  ", "s", '<c r="A1" t="inlineStr"><is><t>  </t></is></c>',
     '<c r="A1" t="inlineStr"><is><t xml:space="preserve">  </t></is></c>'),
    ("é<&>\"'", "s", '<c r="A1" t="inlineStr"><is><t>é&lt;&amp;&gt;"\'</t></is></c>',
     '<c r="A1" t="inlineStr"><is><t>&#233;&lt;&amp;&gt;"\'</t></is></c>'),
    ("a\r\nb", "n", '<c r="A1" t="n"><v>a&#13;\nb</v></c>', None),
    (True, "b", '<c r="A1" t="b"><v>1</v></c>', None),
    (False, "b", '<c r="A1" t="b"><v>0</v></c>', None),
    (float("nan"), "n", '<c r="A1" t="n"><v /></c>', '<c r="A1" t="n"><v></v></c>'),
    (-0.0, "n", '<c r="A1" t="n"><v>-0</v></c>', None),
    (2**53 + 1, "n", '<c r="A1" t="n"><v>9007199254740992</v></c>', None),
    (-2**63, "n", '<c r="A1" t="n"><v>-9.223372036854776e+18</v></c>', None),
    (1.5e-5, "n", '<c r="A1" t="n"><v>1.5e-05</v></c>', None),
    ("x", "", '<c r="A1" t=""><v>x</v></c>', None),
    ("x", "\t", '<c r="A1" t="&#09;"><v>x</v></c>', '<c r="A1" t="&#9;"><v>x</v></c>'),
    # Numbers in formula and string cells are the host's own forms.
    (5, "f", '<c r="A1"><f>5</f><v /></c>', '<c r="A1"><f>5</f><v></v></c>'),
    (5, "s", '<c r="A1" t="inlineStr"><is><t>5</t></is></c>', None),
]


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
@pytest.mark.parametrize("value,data_type,et_form,lxml_form", CASES)
def test_fixed_forms(ws, value, data_type, et_form, lxml_form, lxml):
    expected = (lxml_form or et_form) if lxml else et_form
    assert write(ws, make_cell(ws, value, data_type), False, lxml) == expected


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_style_attribute_and_column_letters(ws, lxml):
    styles = ws.parent._cell_styles
    for i in range(1, 4):
        styles.add(StyleArray([i] + [0] * 8))
    cell = make_cell(ws, None, "n", row=3, column=2, style=[0, 0, 0, 14, 0, 0, 0, 0, 0])
    short = "></c>" if lxml else " />"
    assert write(ws, cell, True, lxml) == f'<c r="B3" s="4" t="n"{short}'
    # An equal array elsewhere gets the same index; the list keeps its own copy.
    other = make_cell(ws, 1, "n", row=7, column=18278, style=list(cell._style))
    assert write(ws, other, True, lxml) == '<c r="ZZZ7" s="4" t="n"><v>1</v></c>'
    cell._style[3] = 15
    assert styles.add(StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])) == 4


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
@pytest.mark.parametrize("value,data_type", [
    ("\x00", "n"), ("=A1\x1f", "f"), ("\ud800", "s"), ("a\udfffb", "s"),
])
def test_text_no_xml_can_hold_is_refused(ws, value, data_type, lxml):
    with pytest.raises(IllegalCharacterError):
        write(ws, make_cell(ws, value, data_type), False, lxml)


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
@pytest.mark.parametrize("value,text", [
    ("a\x01b", "a_x0001_b"), ("\ufffe", "_xFFFE_"), ("\r", "&#13;"),
    ("_x0041_", "_x005F_x0041_"), (" \x0b", '<t xml:space="preserve"> _x000B_'),
])
def test_strings_carry_what_xml_cannot_as_escapes(ws, value, text, lxml):
    assert text in write(ws, make_cell(ws, value, "s"), False, lxml)


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
@pytest.mark.parametrize("column", [0, 18279, "A"])
def test_positions_without_letters_are_refused(ws, column, lxml):
    with pytest.raises(ValueError):
        write(ws, make_cell(ws, 1, "n", column=column), False, lxml)


@pytest.mark.parametrize("iso,value,expected", [
    (False, dt.datetime(2024, 1, 1), '<c r="A1" s="1" t="n"><v>45292</v></c>'),
    (False, dt.datetime(1900, 2, 28, 18), '<c r="A1" s="1" t="n"><v>59.75</v></c>'),
    (False, dt.date(1900, 3, 1), '<c r="A1" s="1" t="n"><v>61</v></c>'),
    (False, dt.time(12), '<c r="A1" s="1" t="n"><v>0.5</v></c>'),
    (False, dt.timedelta(days=1, hours=6), '<c r="A1" s="1" t="n"><v>1.25</v></c>'),
    (True, dt.datetime(2024, 1, 1, 12, 30), '<c r="A1" s="1" t="d"><v>2024-01-01T12:30:00</v></c>'),
    (True, dt.date(2024, 1, 1), '<c r="A1" s="1" t="d"><v>2024-01-01</v></c>'),
    (True, dt.datetime(2024, 1, 1, 9, tzinfo=dt.timezone.utc),
     '<c r="A1" s="1" t="d"><v>2024-01-01T09:00:00</v></c>'),
    (True, dt.timedelta(hours=12), '<c r="A1" s="1" t="n"><v>0.5</v></c>'),
])
def test_date_cells(iso, value, expected):
    wb = brindle.Workbook(iso_dates=iso)
    cell = wb.active.cell(1, 1, value)
    assert cell.data_type == "d" and cell.has_style
    assert write_cell_etree(wb.active, cell, True) == expected


@pytest.mark.parametrize("value,expected", [
    (None, ""), ("x", "x"), (True, "1"), (3, "3"), (3.0, "3"), (0.1, "0.1"),
    (1 / 3, "0.3333333333333333"), (1e16, "1e+16"), (12345678901234567, "1.234567890123457e+16"),
    (float("inf"), ""), (decimal.Decimal("NaN"), ""), (decimal.Decimal("2.5"), "2.5"),
    (1.797693134862315e308, "1.797693134862315e+308"),
])
def test_safe_string(value, expected):
    assert safe_string(value) == expected
    if expected and not isinstance(value, (str, bool)):
        assert math.isfinite(float(expected))


@pytest.mark.parametrize("value", [10**400, -10**309, decimal.Decimal("1e400")])
def test_numbers_beyond_the_double_range_are_refused(value):
    with pytest.raises(ValueError):
        safe_string(value)


# -- properties ---------------------------------------------------------------------

texts = st.text(st.characters(codec="utf-8"), max_size=12) | st.sampled_from(
    ["", " ", " a ", "=", "=A1", "\t\n\r", "é", "😀", "&<>\"'", "#N/A"])
values = (st.none() | texts | st.booleans() | st.floats()
          | st.integers(min_value=-2**63, max_value=2**63 - 1)
          | st.datetimes(min_value=dt.datetime(1900, 1, 1)) | st.dates(min_value=dt.date(1900, 1, 1))
          | st.times() | st.timedeltas())
data_types = st.sampled_from(["n", "s", "f", "b", "e", "d", "str", ""])


@given(value=values, data_type=data_types, styled=st.booleans(), lxml=st.booleans(),
       row=st.integers(1, 2**31), column=st.integers(1, 18278), iso=st.booleans())
def test_matches_the_native_form(value, data_type, styled, lxml, row, column, iso):
    ws = brindle.Workbook(iso_dates=iso).active
    style = [0, 0, 0, 2, 0, 0, 0, 0, 0] if styled else None
    cell = make_cell(ws, value, data_type, row=row, column=column, style=style)
    expected = model(ws, cell, styled, lxml)
    assume(expected is not None)
    assume(not (isinstance(value, str) and any(0xD800 <= ord(c) <= 0xDFFF or c in "\ufffe\uffff"
                                               for c in value)))
    assert write(ws, cell, styled, lxml) == expected


@given(text=st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"]), min_size=1),
       data_type=st.sampled_from(["s", "n", "f"]), lxml=st.booleans())
def test_text_survives_a_parse(text, data_type, lxml):
    assume(not (set(text) & {"\ufffe", "\uffff"}))
    ws = brindle.Workbook().active
    out = write(ws, make_cell(ws, text, data_type), False, lxml)
    el = (LET if lxml else ET).fromstring(out)
    got = "".join(el.itertext())
    assert got == (text[1:] if data_type == "f" else text)
