"""One cell as a `<c>` element, in the exact form of either serialiser.

Two serialisers are supported and their output differs in small ways that
readers do not care about but that a byte-exact native writer does: the
standard library's ElementTree (UTF-8 text, short empty elements `<v />`) and
lxml's incremental writer (ASCII with character references, empty elements
written as start and end tags, carriage returns in text as "&#13;").
Everything here is the reference the native engine is held to.
"""

import datetime as _dt
import decimal
import io
import math
import numbers
import operator
import xml.etree.ElementTree as ET

from brindle.cell.cell import ILLEGAL_CHARACTERS_RE, IllegalCharacterError
from brindle.cell.rich_text import CellRichText, TextBlock
from brindle.formula.formulas import ArrayFormula, DataTableFormula
from brindle.styles.cell_style import StyleArray
from brindle.utils.cell import get_column_letter
from brindle.utils.datetime import to_excel
from brindle.utils.escapes import LoneSurrogateError, encode_escapes

XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"

_DATE_TYPES = (_dt.datetime, _dt.date, _dt.time)

# Content forms of a cell.
_EMPTY, _VALUE, _FORMULA, _INLINE, _RICH = range(5)


_LARGEST_G16 = 1.797693134862315e308


def _number_text(value):
    try:
        x = float(value)
    except OverflowError:
        x = math.inf
    if math.isinf(x):
        raise ValueError(f"{value!r} is beyond the range of numbers a workbook can hold")
    text = "%.16g" % x
    # Next to the largest double, 16 digits round up past it and would read
    # back as infinity; 17 always read back as the number itself.
    if abs(x) > _LARGEST_G16 and math.isinf(float(text)):
        text = "%.17g" % x
    return text


def safe_string(value):
    """The text a cell value is written as.

    Numbers use 16 significant digits ('%.16g'; 17 next to the largest
    float, where 16 would read back as infinity), booleans are 1 and 0, and
    floats without a finite value (NaN, infinities) are written as empty
    text: they have no representation in a workbook. A number beyond the
    double range (a huge int or Decimal) raises ValueError rather than be
    written as text that reads back as infinity.
    """
    if isinstance(value, str):
        return value
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float):
        return _number_text(value) if math.isfinite(value) else ""
    if isinstance(value, decimal.Decimal):
        return "" if value.is_nan() or value.is_infinite() else _number_text(value)
    if isinstance(value, numbers.Real):
        return _number_text(value)
    return str(value)


def date_value_raw(ws, value):
    """(value to write, keep) for the value of a date cell.

    keep is True when the value is written as it is with type "d" (ISO 8601
    text when the workbook asks for ISO dates), False when it has become a
    serial number written with type "n". Durations are always serials: ISO
    8601 durations are not understood by spreadsheet readers.
    """
    wb = ws.parent
    if isinstance(value, _dt.timedelta):
        return to_excel(value), False
    if isinstance(value, _DATE_TYPES):
        if wb.iso_dates:
            # Wall-clock time, as for serials: spreadsheet dates have no zone.
            if getattr(value, "tzinfo", None) is not None:
                value = value.replace(tzinfo=None)
            return value.isoformat(), True
        return to_excel(value, wb.epoch), False
    if value is None:
        return None, bool(wb.iso_dates)
    if isinstance(value, (numbers.Real, decimal.Decimal)) and not isinstance(value, bool):
        return value, False
    return value, True


def date_value(ws, cell):
    """`date_value_raw` for the value of `cell`."""
    value = cell._value
    t = type(value)
    if t is _dt.datetime or t is _dt.date:
        # The common case in one frame fewer.
        wb = ws.parent
        if not wb.iso_dates and (t is _dt.date or value.tzinfo is None):
            return to_excel(value, wb.epoch), False
    return date_value_raw(ws, value)


def add_comment(ws, cell):
    """Record the comment of `cell` for the worksheet's comments part."""
    ws._comments.append((cell.coordinate, cell._comment))


def _prepare(ws, cell, styled):
    """(attributes, content form, text, formula attributes, cached value) of a cell to be
    written; the cached value is the `<v>` text of a formula cell, or None."""
    f_attrs = None
    value = cell._value
    data_type = cell.data_type
    row, column = cell.row, cell.column
    attrib = {"r": f"{get_column_letter(column)}{operator.index(row)}"}
    if styled:
        attrib["s"] = str(ws.parent._cell_styles.add(cell._style))
    # Only the library's own cells keep anything as read.
    as_read = getattr(cell, "_as_read", None)
    meta = ()
    if as_read is not None and len(as_read) == 3:
        # The cell's metadata indexes ride along with what else it kept;
        # they name entries of the metadata part, which is carried as read.
        meta = as_read[2]
        as_read = None if as_read[1] is None else as_read[:2]
    cached = None
    if as_read is not None and data_type == "f" and not getattr(ws, "_keep_results", True):
        # The workbook changed since its load: the result may not hold.
        as_read = None
    if as_read is not None:
        # What the file held, back as it was: the value was never set.
        as_type, as_text = as_read
        if as_type is not None:
            attrib["t"] = as_type
        if data_type == "f":
            cached = as_text
        else:
            _link(ws, cell)
            attrib.update(meta)
            return attrib, _RICH if as_type == "inlineStr" else _VALUE, as_text, None, None
    if data_type == "f":
        pass
    elif data_type == "s":
        attrib["t"] = "inlineStr"
    elif data_type == "d":
        value, keep = date_value(ws, cell)
        attrib["t"] = "d" if keep else "n"
    elif isinstance(data_type, str):
        attrib["t"] = data_type
    else:
        raise TypeError(f"data_type must be a str, not {type(data_type).__name__}")

    if value is None or (isinstance(value, str) and not value):
        form, text = _EMPTY, ""
    elif data_type == "f":
        # A formula's text is written without its leading "="; a number in a
        # formula cell is a formula in its own right.
        form = _FORMULA
        if isinstance(value, str):
            text = value[1:]
        elif isinstance(value, (ArrayFormula, DataTableFormula)):
            formula = value.text if isinstance(value, ArrayFormula) else None
            text = formula[1:] if isinstance(formula, str) and formula.startswith("=") \
                else (formula or "")
            f_attrs = {k: ("1" if v is True else str(v)) for k, v in value}
        else:
            text = safe_string(value)
    elif data_type == "s" and isinstance(value, CellRichText):
        form, text = (_RICH, value) if str(value) else (_EMPTY, "")
    else:
        form = _INLINE if data_type == "s" else _VALUE
        text = safe_string(value)
    if form == _INLINE:
        # Strings carry what XML cannot as escapes; only a lone surrogate,
        # which is no character, cannot be written.
        try:
            text = encode_escapes(text)
        except LoneSurrogateError:
            raise IllegalCharacterError(f"{text!r} cannot be used in worksheets.") from None
    elif ILLEGAL_CHARACTERS_RE.search(str(text) if form == _RICH else text):
        raise IllegalCharacterError(f"{text!r} cannot be used in worksheets.")
    _link(ws, cell)
    if form != _FORMULA:
        cached = None
    # After "t": applications write r, s, t, cm, vm in that order.
    attrib.update(meta)
    return attrib, form, text, f_attrs, cached


def _link(ws, cell):
    link = cell.hyperlink
    if link:
        ws._hyperlinks.append(link)


def etree_cell(ws, cell, styled):
    """The cell as an ElementTree element."""
    attrib, form, text, f_attrs, cached = _prepare(ws, cell, styled)
    el = ET.Element("c", attrib)
    if form == _VALUE:
        ET.SubElement(el, "v").text = text or None
    elif form == _FORMULA:
        ET.SubElement(el, "f", f_attrs or {}).text = text or None
        ET.SubElement(el, "v").text = cached
    elif form == _INLINE:
        t = ET.SubElement(ET.SubElement(el, "is"), "t")
        t.text = text
        # This serialiser's form marks only text with something besides the
        # whitespace around it; all-whitespace text is written unmarked.
        stripped = text.strip()
        if stripped and text != stripped:
            t.set(XML_SPACE, "preserve")
    elif form == _RICH:
        el.append(rich_element(ET.Element, ET.SubElement, text, lxml=False))
    return el


def rich_element(element, sub_element, rich, lxml):
    """The `<is>` element of rich text: one run per part, plain parts without
    run properties; `element` and `sub_element` are the serialiser's factories."""
    el = element("is")
    for part in rich:
        run = sub_element(el, "r")
        if isinstance(part, TextBlock):
            rpr = sub_element(run, "rPr")
            for name, value in part.font.props.items():
                if isinstance(value, dict):
                    sub_element(rpr, name, {k: str(v) for k, v in value.items()})
                elif value is True:
                    sub_element(rpr, name)
                else:
                    sub_element(rpr, name, {"val": str(value)})
            text = part.text
        else:
            text = str(part)
        t = sub_element(run, "t")
        t.text = text
        stripped = text.strip()
        if text != stripped and (lxml or stripped):
            t.set(XML_SPACE, "preserve")
    return el


def lxml_cell(xf, ws, cell, styled):
    """Write the cell into the open lxml incremental writer `xf`."""
    from lxml.etree import Element, SubElement

    attrib, form, text, f_attrs, cached = _prepare(ws, cell, styled)
    with xf.element("c", attrib):
        if form == _VALUE:
            with xf.element("v"):
                if text:
                    xf.write(text)
        elif form == _FORMULA:
            with xf.element("f", f_attrs or {}):
                if text:
                    xf.write(text)
            with xf.element("v"):
                if cached:
                    xf.write(cached)
        elif form == _INLINE:
            el = Element("is")
            t = SubElement(el, "t")
            t.text = text
            if text != text.strip():
                t.set(XML_SPACE, "preserve")
            xf.write(el)
        elif form == _RICH:
            xf.write(rich_element(Element, SubElement, text, lxml=True))


def etree_text(el):
    """`el` serialised by ElementTree as a str.

    ElementTree leaves a carriage return in content raw, which any XML
    reader turns into a line feed; written as a reference it reads back
    as itself (attributes already have theirs as references).
    """
    text = ET.tostring(el, encoding="unicode")
    return text.replace("\r", "&#13;") if "\r" in text else text


def write_cell_etree(ws, cell, styled=False):
    """The `<c>` element of `cell` as ElementTree writes it (a str)."""
    return etree_text(etree_cell(ws, cell, styled))


def write_cell_lxml(ws, cell, styled=False):
    """The `<c>` element of `cell` as lxml's incremental writer writes it (bytes)."""
    from lxml.etree import xmlfile

    out = io.BytesIO()
    with xmlfile(out) as xf:
        lxml_cell(xf, ws, cell, styled)
    return out.getvalue()


def make_writer_helpers(lxml=False):
    """The helper dictionary a native `SheetWriter` is created with.

    "write_cell" produces the serialiser's form selected by `lxml`, so the
    dictionary must be made for the mode the writer uses.
    """
    return {
        "StyleArray": StyleArray,
        "add_comment": add_comment,
        "write_cell": write_cell_lxml if lxml else write_cell_etree,
        "date_value": date_value,
        "date_value_raw": date_value_raw,
        "safe_string": safe_string,
    }
