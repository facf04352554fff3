"""Facts with one home: the two XML escapers give back every text through a parser
(ElementTree as the oracle) in the place each is for, and whether a number format
shows a date is decided by one rule, the same when a cell is asked and when its
number is read back from the saved file."""

import datetime as dt
import io
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st

import brindle
from brindle.package.names import quote, quote_text
from brindle.styles.numbers import is_date_format

# Every character XML 1.0 can carry, with the ones escaping is about made likely.
xml_text = st.text(st.one_of(
    st.sampled_from("&<>\"'\t\n\r \r\n]]>"),
    st.characters(blacklist_categories=("Cs",),
                  blacklist_characters="".join(map(chr, range(0x20))) + "\ufffe\uffff")))


@given(xml_text)
def test_quote_gives_the_text_back_as_an_attribute_and_as_content(text):
    assert ET.fromstring(f'<a v="{quote(text)}"/>').get("v") == text
    assert (ET.fromstring(f"<a>{quote(text)}</a>").text or "") == text


@given(xml_text)
def test_quote_text_gives_the_text_back_as_content(text):
    assert (ET.fromstring(f"<a>{quote_text(text)}</a>").text or "") == text


def test_quote_text_keeps_line_breaks_and_tabs_literal():
    assert quote_text("a\tb\nc\rd") == "a\tb\nc&#13;d"


def reload(wb, **kw):
    out = io.BytesIO()
    wb.save(out)
    return brindle.load_workbook(io.BytesIO(out.getvalue()), **kw)


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_texts_with_line_breaks_survive_the_stylesheet_and_kept_elements(native):
    wb = brindle.Workbook(native=native)
    ws = wb.active
    ws["A1"] = 1.5
    ws["A1"].number_format = '0.0" per\nline\ttab"'
    ws["A2"] = 2
    ws["A2"].font = brindle.Font(name="Two\r\nLines")
    back = reload(wb, native=native).active
    assert back["A1"].number_format == '0.0" per\nline\ttab"'
    assert back["A2"].font.name == "Two\r\nLines"


# Codes the two former detectors judged differently, and plain ones.
CODES = [
    "yyyy-mm-dd", "h:mm AM/PM", "[h]:mm:ss", "[mm]:ss", "0.00", "General", '"day "0',
    "[Red]0.0", "[$-409]d-mmm", r"0\d", "#,##0;[Red]-#,##0",
    "0.00_h",     # "_h": a space as wide as an h, not an hour
    "0*m",        # "*m": m repeated to fill the cell
    "0;d",        # only the first section decides
    "general",
]


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])
def test_a_cell_is_a_date_exactly_when_its_number_reads_back_as_one(native, read_only):
    wb = brindle.Workbook(native=native)
    ws = wb.active
    asked = []
    for row, code in enumerate(CODES, 1):
        cell = ws.cell(row=row, column=1, value=45000.25)
        cell.number_format = code
        asked.append(cell.is_date)
    assert asked == [is_date_format(code) for code in CODES]
    back = reload(wb, read_only=read_only, native=native)
    values = [row[0] for row in back[back.sheetnames[0]].iter_rows(values_only=True)]
    assert [isinstance(v, (dt.datetime, dt.timedelta)) for v in values] == asked
    assert asked[-4:] == [False, False, False, False]
