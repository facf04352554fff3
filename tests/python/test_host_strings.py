"""The host builders of string items and the host's view of the engine's inputs."""

import pytest
from hypothesis import given, strategies as st
from lxml import etree

import testkit as _testing
from brindle.cell.rich_text import CellRichText, InlineFont, TextBlock
from brindle.reader.strings import (rich_inline, si_content, text_content, validate_rpr)
from brindle.utils.cell import coordinate_to_tuple, column_index_from_string, get_column_letter

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
NS = [("", MAIN)]


@pytest.mark.parametrize("xml,namespaces,si,inline", [
    (b"<si><t>a</t></si>", NS, "a", "a"),
    (b"<si/>", NS, "", ""),
    (b"<si><r><t>b</t></r><r><rPr><b/></rPr><t>c</t></r></si>", NS, "bc", "bc"),
    (b"<si><t>a</t><rPh><t>b</t></rPh><phoneticPr fontId='1'/></si>", NS, "a", "a"),
    (b"<si><t>_x005F_x0041_</t></si>", NS, "_x0041_", "_x0041_"),
    (b"<si><r><t>_x00</t></r><r><t>41_ x005F_</t></r></si>", NS, "A x005F_", "A x005F_"),
    (b"<si><t>a<b/>c</t></si>", NS, "a", "a"),
    (b"<x:si xmlns:x='u'><x:t>p</x:t></x:si>", [], "p", "p"),
    (b"<s:si><s:t> s </s:t></s:si>", [("s", MAIN)], " s ", " s "),
    (b"<si><mc:AlternateContent xmlns:mc='m'><mc:Choice><t>no</t></mc:Choice>"
     b"<mc:Fallback><t>yes</t></mc:Fallback></mc:AlternateContent></si>", NS, "yes", "yes"),
])
def test_plain_values(xml, namespaces, si, inline):
    assert si_content(xml, namespaces) == si
    assert text_content(xml, namespaces) == inline


@given(st.lists(st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"])),
                max_size=4))
def test_item_text_matches_lxml(texts):
    # Oracle: lxml's view of the same runs.
    item = etree.Element("si")
    for text in texts:
        etree.SubElement(etree.SubElement(item, "r"), "t").text = text
    data = etree.tostring(item)
    assert text_content(data, []) == "".join(item.xpath("r/t/text()"))


def test_rich_inline_keeps_fonts():
    xml = (b"<is><t>lead</t><r><rPr><b/><sz val='11'/><color rgb='FF0000'/></rPr><t>x</t></r>"
           b"<r><t>y</t></r></is>")
    got = rich_inline(xml, NS)
    assert isinstance(got, CellRichText) and str(got) == "leadxy"
    assert got == ["lead", TextBlock(InlineFont(b=True, sz="11", color={"rgb": "FF0000"}), "x"),
                   "y"]


@pytest.mark.parametrize("rpr,ok", [
    (b"<rPr/>", True),
    (b"<rPr><b/><i val='0'/><sz val='10.5'/><rFont val='Arial'/><family val='2'/>"
     b"<color theme='1' tint='-0.5'/><u val='double'/><vertAlign val='superscript'/>"
     b"<scheme val='minor'/></rPr>", True),
    (b"<rPr><b val='maybe'/></rPr>", False),
    (b"<rPr><sz val='big'/></rPr>", False),
    (b"<rPr><color/></rPr>", False),
    (b"<rPr><color hue='1'/></rPr>", False),
    (b"<rPr><u val='wavy'/></rPr>", False),
    (b"<rPr><glow/></rPr>", False),
    (b"<rPr><b foo='1'/></rPr>", False),
    (b"<rPr><b>", False),
    (b"<x:rPr><x:b/></x:rPr>", True),  # the prefix is bound by the ancestors
])
def test_validate_rpr(rpr, ok):
    assert validate_rpr(rpr, NS + [("x", MAIN)]) is ok


@given(st.integers(1, 18278), st.integers(1, 1048576))
def test_coordinates_round_trip(col, row):
    letters = get_column_letter(col)
    assert column_index_from_string(letters) == col
    assert coordinate_to_tuple(f"{letters}{row}") == (row, col)
    assert coordinate_to_tuple(f"${letters.lower()}${row}") == (row, col)


@pytest.mark.parametrize("bad", ["", "A", "1", "A0", "AAAA1", "A-1", "A 1", "1A", None])
def test_bad_coordinates(bad):
    with pytest.raises(ValueError):
        coordinate_to_tuple(bad)


def test_make_helpers_supplies_every_key():
    helpers = _testing.make_helpers()
    assert list(helpers) == [
        "int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601",
        "date_warning", "ArrayFormula", "DataTableFormula", "Translator", "TokenizerError",
        "TranslatorError", "text_content", "rich_inline", "validate_rpr", "text_dangerous",
        "rich_dangerous", "si_content",
    ]
    assert helpers["int"] is int and helpers["float"] is float
    assert all(isinstance(n, str) for n in helpers["text_dangerous"] | helpers["rich_dangerous"])
    assert "si_content" not in _testing.make_helpers(si_content=_testing.MISSING)


def test_make_parser():
    p = _testing.make_parser(date_formats={14}, formula_and_value=_testing.MISSING)
    assert not hasattr(p, "formula_and_value")
    assert p.date_formats == {14} and type(p.shared_strings) is list
    assert type(p.row_dimensions) is dict and p.epoch == _testing.xl_dates.WINDOWS_EPOCH
    assert p.data_only is False and p.rich_text is False and p.timedelta_formats == set()
