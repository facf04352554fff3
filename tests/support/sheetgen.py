"""Worksheet XML for tests and benchmarks, with the values a reader must find in it.

A sheet is described by `Row` and `Cell` models; `render` writes it out
with a choice of syntax (namespace prefix, quotes, spacing, attribute
order, escaping, missing `r` attributes...), and `expected_rows` gives what
a reader must return, computed from the model and not from any reader.
`stream_sheet` writes a large sheet piece by piece for benchmarks.
"""

import datetime as dt
import io
import random
import re
import zipfile
from dataclasses import dataclass, field

from brindle.utils.cell import get_column_letter

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ODD_NS = "urn:example:odd"
WINDOWS_EPOCH = dt.datetime(1899, 12, 30)
MAC_EPOCH = dt.datetime(1904, 1, 1)
DATE_STYLE = 1  # style ids the generated sheets use for date cells


@dataclass
class Cell:
    """One `<c>`: its attributes and children as text, and what a reader must make of it."""
    t: str = None
    s: str = None
    v: str = None
    f: str = None           # formula text, without "="
    f_attrs: tuple = ()     # (name, value) pairs of the <f> tag
    inline: str = None      # text of an <is><t>
    value: object = None
    data_type: str = "n"
    style: object = 0
    write_r: bool = True


@dataclass
class Row:
    number: int
    cells: list = field(default_factory=list)   # [(column, Cell)]
    attrs: tuple = ()                             # extra (name, value) attributes
    write_r: bool = True


@dataclass
class Syntax:
    """How a sheet is written; every choice gives the same cells."""
    prefix: str = ""          # "" for the default namespace, else e.g. "x"
    quote: str = '"'
    sep: str = " "            # between attributes
    newline: str = ""         # between elements
    shuffle: random.Random = None   # shuffles attribute order when given
    escape_all: bool = False  # write every text character as a character reference
    odd_attrs: bool = False   # add attributes in a foreign namespace
    cdata: bool = False       # write <v> texts as CDATA sections


def _esc(text, escape_all):
    if escape_all:
        return "".join(f"&#x{ord(ch):X};" for ch in text)
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _attr_text(pairs, syn):
    pairs = list(pairs)
    if syn.shuffle is not None:
        syn.shuffle.shuffle(pairs)
    q = syn.quote
    out = []
    for name, value in pairs:
        value = _esc(value, syn.escape_all).replace(q, "&quot;" if q == '"' else "&apos;")
        out.append(f"{syn.sep}{name}={q}{value}{q}")
    return "".join(out)


def render_cell(col, row, cell, syn):
    p = syn.prefix + ":" if syn.prefix else ""
    attrs = []
    if cell.write_r:
        attrs.append(("r", f"{get_column_letter(col)}{row}"))
    if cell.s is not None:
        attrs.append(("s", cell.s))
    if cell.t is not None:
        attrs.append(("t", cell.t))
    if syn.odd_attrs:
        attrs.append(("o:mark", "1"))
    body = []
    if cell.f is not None:
        ftext = _esc(cell.f, syn.escape_all)
        body.append(f"<{p}f{_attr_text(cell.f_attrs, syn)}>{ftext}</{p}f>" if ftext
                    else f"<{p}f{_attr_text(cell.f_attrs, syn)}/>")
    if cell.v is not None:
        vtext = f"<![CDATA[{cell.v}]]>" if syn.cdata and "]]>" not in cell.v \
            else _esc(cell.v, syn.escape_all)
        body.append(f"<{p}v>{vtext}</{p}v>")
    if cell.inline is not None:
        body.append(f"<{p}is><{p}t>{_esc(cell.inline, syn.escape_all)}</{p}t></{p}is>")
    tag = f"<{p}c{_attr_text(attrs, syn)}"
    if not body:
        return tag + "/>"
    return tag + ">" + syn.newline.join(body) + f"</{p}c>"


def render(rows, syn=None, head=("<sheetPr/>",), tail=("<pageMargins left='0.7'/>",)):
    """The worksheet part of `rows` as bytes; `head` and `tail` go around `<sheetData>`."""
    syn = syn or Syntax()
    p = syn.prefix + ":" if syn.prefix else ""
    xmlns = f' xmlns:{syn.prefix}="{MAIN}"' if syn.prefix else f' xmlns="{MAIN}"'
    if syn.odd_attrs:
        xmlns += f' xmlns:o="{ODD_NS}"'
    nl = syn.newline
    out = [f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<{p}worksheet{xmlns}>']
    out += [nl + _prefixed(e, p) for e in head]
    out.append(f"{nl}<{p}sheetData>")
    for row in rows:
        attrs = ([("r", str(row.number))] if row.write_r else []) + list(row.attrs)
        cells = nl.join(render_cell(col, row.number, c, syn) for col, c in row.cells)
        if cells:
            out.append(f"{nl}<{p}row{_attr_text(attrs, syn)}>{cells}</{p}row>")
        else:
            out.append(f"{nl}<{p}row{_attr_text(attrs, syn)}/>")
    out.append(f"{nl}</{p}sheetData>")
    out += [nl + _prefixed(e, p) for e in tail]
    out.append(f"{nl}</{p}worksheet>")
    return "".join(out).encode()


def _prefixed(element, p):
    return element.replace("<", "<" + p).replace("<" + p + "/", "</" + p) if p else element


def expected_rows(rows):
    """[(idx, [(row, column, value, data_type, style_id), ...])] for the rows as modelled."""
    return [(row.number, [(row.number, col, c.value, c.data_type, c.style)
                          for col, c in row.cells]) for row in rows]


def number_cell(value):
    return Cell(v=repr(value) if isinstance(value, float) else str(value), value=value)


def date_cell(serial, epoch=WINDOWS_EPOCH):
    """A date-styled whole-day serial, with the date computed on the calendar directly."""
    day = epoch + dt.timedelta(days=serial)
    if epoch == WINDOWS_EPOCH and 0 < serial < 60:
        day += dt.timedelta(days=1)  # before the fictitious 1900-02-29
    value = dt.time(0) if serial == 0 else day
    return Cell(s=str(DATE_STYLE), v=str(serial), value=value, data_type="d", style=DATE_STYLE)


def cell_of_kind(kind, rnd, strings, epoch=WINDOWS_EPOCH):
    """A cell of one of the value kinds every reader must handle, with its expected value."""
    if kind == "int":
        return number_cell(rnd.randrange(-10**12, 10**12))
    if kind == "float":
        return number_cell(rnd.uniform(-1e6, 1e6))
    if kind == "shared":
        i = rnd.randrange(len(strings))
        return Cell(t="s", v=str(i), value=strings[i], data_type="s")
    if kind == "bool":
        b = rnd.random() < 0.5
        return Cell(t="b", v=str(int(b)), value=b, data_type="b")
    if kind == "error":
        e = rnd.choice(["#N/A", "#DIV/0!", "#REF!", "#VALUE!"])
        return Cell(t="e", v=e, value=e, data_type="e")
    if kind == "str":
        text = rnd.choice(["x", "a & b", "<tag>", "caf\u00e9", " lead"])
        return Cell(t="str", v=text, value=text, data_type="s")
    if kind == "inline":
        text = rnd.choice(["inline", "q\"uote", "\u65e5\u672c"])
        return Cell(t="inlineStr", inline=text, value=text, data_type="s")
    if kind == "date":
        top = 2958465 if epoch == WINDOWS_EPOCH else 2957003
        return date_cell(rnd.randrange(-600000 if rnd.random() < 0.1 else 0, top), epoch)
    if kind == "iso":
        when = dt.datetime(2000, 1, 1) + dt.timedelta(seconds=rnd.randrange(10**9))
        return Cell(t="d", v=when.isoformat(), value=when, data_type="d")
    if kind == "formula":
        return Cell(f="SUM(A1:B2)*2", v="0", value="=SUM(A1:B2)*2", data_type="f")
    if kind == "empty":
        return Cell(s="3", style=3)
    raise ValueError(kind)


KINDS = ("int", "float", "shared", "bool", "error", "str", "inline", "date", "iso", "formula",
         "empty")


def random_sheet(seed, n_rows=20, n_cols=8, strings=("alpha", "beta", "gamma"),
                 epoch=WINDOWS_EPOCH):
    """Rows of every value kind, with gaps, missing `r`s, shared formulas and odd row attributes.

    Rows are numbered with gaps and one pair is out of order; cells skip
    columns. A column of shared formulas refers to the cell on its left.
    """
    rnd = random.Random(seed)
    strings = list(strings)
    numbers = sorted(rnd.sample(range(1, n_rows * 3), n_rows))
    if n_rows > 3:
        numbers[1], numbers[2] = numbers[2], numbers[1]
    rows = []
    prev = 0
    for number in numbers:
        cols = sorted(rnd.sample(range(2, n_cols + 1), rnd.randrange(0, n_cols - 1)))
        row = Row(number)
        row.write_r = number != prev + 1 or rnd.random() < 0.5
        prev = number
        last = 0
        for col in cols:
            cell = cell_of_kind(rnd.choice(KINDS), rnd, strings, epoch)
            cell.write_r = col != last + 1 or rnd.random() < 0.5
            row.cells.append((col, cell))
            last = col
        if rnd.random() < 0.2:
            row.attrs = (("ht", "15.5"), ("customHeight", "1"))
        rows.append(row)
    # A shared formula group in column A: each cell doubles its right neighbour.
    master = None
    for row in rows:
        text = f"B{row.number}*2"
        cell = Cell(value="=" + text, data_type="f")
        if master is None:
            cell.f, cell.f_attrs = text, (("t", "shared"), ("ref", "A1:A999"), ("si", "0"))
            master = row.number
        else:
            cell.f, cell.f_attrs = "", (("t", "shared"), ("si", "0"))
        row.cells.insert(0, (1, cell))
        row.cells[0][1].write_r = True
    return rows, strings


def stream_sheet(n_cells, n_cols=10, n_strings=1000, seed=0):
    """A worksheet of about `n_cells` cells as an iterator of bytes pieces (one per row).

    Columns cycle through the common kinds: numbers, floats, shared strings,
    booleans, dates and formulas, as a spreadsheet program writes them.
    """
    rnd = random.Random(seed)
    yield (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           f'<worksheet xmlns="{MAIN}"><dimension ref="A1"/><sheetData>').encode()
    letters = [get_column_letter(c) for c in range(1, n_cols + 1)]
    n_rows = max(1, n_cells // n_cols)
    for r in range(1, n_rows + 1):
        parts = [f'<row r="{r}" spans="1:{n_cols}">']
        for i, col in enumerate(letters):
            k = i % 6
            if k == 0:
                parts.append(f'<c r="{col}{r}"><v>{rnd.randrange(10**6)}</v></c>')
            elif k == 1:
                parts.append(f'<c r="{col}{r}" s="3"><v>{rnd.random() * 1000!r}</v></c>')
            elif k == 2:
                parts.append(f'<c r="{col}{r}" t="s"><v>{rnd.randrange(n_strings)}</v></c>')
            elif k == 3:
                parts.append(f'<c r="{col}{r}" t="b"><v>{r & 1}</v></c>')
            elif k == 4:
                parts.append(f'<c r="{col}{r}" s="{DATE_STYLE}"><v>{40000 + r}</v></c>')
            else:
                parts.append(f'<c r="{col}{r}"><f>A{r}+1</f><v>{r + 1}</v></c>')
        parts.append("</row>")
        yield "".join(parts).encode()
    yield b'</sheetData><pageMargins left="0.7" right="0.7"/></worksheet>'


class PieceSource:
    """A file-like object over an iterator of bytes pieces; `read(n)` as a file does."""

    def __init__(self, pieces):
        self._pieces = iter(pieces)
        self._buf = bytearray()

    def read(self, n=-1):
        buf = self._buf
        while n < 0 or len(buf) < n:
            piece = next(self._pieces, None)
            if piece is None:
                break
            buf += piece
        if n < 0:
            n = len(buf)
        out = bytes(buf[:n])
        del buf[:n]
        return out


# Other ways to write the same worksheet markup (and a few that make it
# malformed), for the readers' fast paths, which take only the usual
# spelling and must leave every other one to the general reader unchanged.
SPELLINGS = [
    (r"<c ", "<c  "),
    (r"<c ", "<c\t"),
    (r'<c r="([^"]*)"', r"<c r='\1'"),
    (r"<c([ />])", r'<c cm="1"\1'),
    (r'<c r="([^"]*)"', r'<c r="\1" r="\1"'),
    (r'<c r="([^"]*)"', r'<c r="\1&#65;"'),
    (r"</c>", "</c>\n"),
    (r"</c>", "</c >"),
    (r"<v>", "<v >"),
    (r"<row", "\n <row"),
    (r"<row r=", "<row  r="),
    (r'<row r="([^"]*)"', r"<row r='\1'"),
    (r"</row>", "</row >"),
    (r"<f>", '<f ca="1">'),
    (r"<sheetData>", "<sheetData><!-- c -->"),
]


def respell(xml, choices):
    """`xml` with the SPELLINGS picked by index in `choices` applied in turn."""
    import re

    for k in choices:
        pattern, repl = SPELLINGS[k]
        xml = re.sub(pattern, repl, xml)
    return xml


_DOC_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"


def xlsx(sheets, strings=(), styles="<cellXfs><xf numFmtId=\"0\"/></cellXfs>", date1904=False,
         compression=0):
    """An xlsx file (bytes) of the worksheet parts `sheets` (named S1, S2, ...; one
    alone is named S), the shared strings `strings` and the <styleSheet> content
    `styles`; `compression` is a zipfile constant."""
    def esc(t):
        return t.replace("&", "&amp;").replace("<", "&lt;")

    def name(i):
        return "S" if len(sheets) == 1 else f"S{i}"

    count = range(1, len(sheets) + 1)
    rels = "".join(f'<Relationship Id="rId{i}" Type="{_DOC_REL}/worksheet" '
                   f'Target="worksheets/s{i}.xml"/>' for i in count)
    names = "".join(f'<sheet name="{name(i)}" sheetId="{i}" r:id="rId{i}"/>' for i in count)
    sst = "".join(f"<si><t>{esc(s)}</t></si>" for s in strings)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression) as z:
        z.writestr("_rels/.rels", f'<Relationships xmlns="{_PKG_REL}"><Relationship Id="r1" '
                   f'Type="{_DOC_REL}/officeDocument" Target="xl/workbook.xml"/></Relationships>')
        z.writestr("xl/workbook.xml", f'<workbook xmlns="{MAIN}" xmlns:r="{_DOC_REL}">'
                   f'<workbookPr date1904="{int(date1904)}"/><sheets>{names}</sheets></workbook>')
        z.writestr("xl/_rels/workbook.xml.rels", f'<Relationships xmlns="{_PKG_REL}">{rels}'
                   f'<Relationship Id="rIdS" Type="{_DOC_REL}/sharedStrings" Target="strings.xml"/>'
                   f'<Relationship Id="rIdT" Type="{_DOC_REL}/styles" Target="styles.xml"/>'
                   '</Relationships>')
        z.writestr("xl/strings.xml", f'<sst xmlns="{MAIN}">{sst}</sst>')
        z.writestr("xl/styles.xml", f'<styleSheet xmlns="{MAIN}">{styles}</styleSheet>')
        for i, sheet in zip(count, sheets):
            z.writestr(f"xl/worksheets/s{i}.xml", sheet)
    return out.getvalue()


def package(sheet, strings=(), date1904=False):
    """An xlsx file (bytes) around one worksheet part; style 1 shows dates."""
    return xlsx([sheet], strings, '<cellXfs><xf numFmtId="0"/><xf numFmtId="14"/>'
                '<xf numFmtId="0"/><xf numFmtId="0"/></cellXfs>', date1904)


_CELL_TAG = re.compile(rb"<(?:x:)?c(?=[\s/>])")


def refuse_at(data, k):
    """`data` with an attribute the native reader declines on the k-th cell (if any)."""
    tags = list(_CELL_TAG.finditer(data))
    if not tags:
        return data
    at = tags[k % len(tags)].end()
    return data[:at] + ' \u00e9="1"'.encode() + data[at:]
