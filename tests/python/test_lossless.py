"""Lossless editing: a workbook other applications wrote, loaded and saved,
keeps every part the library does not write itself (charts, pictures, tables,
properties, metadata) byte for byte, with the relationships and the elements
that point at them; sheet operations keep names attached to the right sheets;
the saved files open in LibreOffice and Gnumeric with what they held."""

import io
import json
import posixpath
import re
import warnings
import xml.etree.ElementTree as ET
import zipfile

import pytest

import brindle
import corpus
from apps import exceljs, gnumeric, libreoffice, needs_exceljs, needs_gnumeric, needs_libreoffice
from brindle.workbook.defined_names import quote_sheet, rename_in_formula

pytest.importorskip("xlsxwriter")

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
REL = "{http://schemas.openxmlformats.org/package/2006/relationships}"
DOC_REL = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
# Content types of the parts the library writes from its model.
OWNED = ("sheet.main+xml", "worksheet+xml", "styles+xml", "sharedStrings+xml",
         "calcChain+xml", "comments+xml", "core-properties+xml", "relationships+xml")


class Books(dict):
    """{producer: path} of the rich workbook as each application writes it,
    each made when first asked for."""

    def __init__(self, tmp):
        super().__init__()
        self.tmp = tmp

    def __missing__(self, producer):
        tmp = self.tmp
        if producer == "xlsxwriter":
            path = corpus.xlsxwriter_book(tmp / "xlsxwriter.xlsx")
        elif producer == "exceljs":
            path = corpus.exceljs_book(tmp / "exceljs.xlsx")
        elif producer == "libreoffice":
            path = corpus.libreoffice_book(self["xlsxwriter"], tmp)
        else:
            path = corpus.gnumeric_book(self["xlsxwriter"], tmp)
        self[producer] = path
        return path


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    return Books(tmp_path_factory.mktemp("corpus"))


PRODUCERS = ["xlsxwriter", "libreoffice", "gnumeric",
             pytest.param("exceljs", marks=needs_exceljs)]


def load(path, native=True):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = brindle.load_workbook(path, native=native)
    return wb, [str(w.message) for w in caught]


def saved(wb):
    out = io.BytesIO()
    wb.save(out)
    return zipfile.ZipFile(io.BytesIO(out.getvalue()))


def content_types(z):
    root = ET.fromstring(z.read("[Content_Types].xml"))
    defaults = {d.get("Extension").lower(): d.get("ContentType") for d in root
                if d.tag.endswith("Default")}
    overrides = {o.get("PartName").lstrip("/"): o.get("ContentType") for o in root
                 if o.tag.endswith("Override")}
    return lambda name: overrides.get(name, defaults.get(name.rpartition(".")[2].lower()))


def owned(z, name):
    ct = content_types(z)(name) or ""
    if name.endswith(".vml"):
        return b'ObjectType="Note"' in z.read(name)  # the notes' drawing is made anew
    return name == "[Content_Types].xml" or any(ct.endswith(o) for o in OWNED)


def raw(z, name):
    """A member's bytes as stored (deflated), to tell a copy from a re-deflation."""
    info = z.getinfo(name)
    with z.open(name) as _:
        pass
    fp = z.fp
    fp.seek(info.header_offset + 26)
    n, m = int.from_bytes(fp.read(2), "little"), int.from_bytes(fp.read(2), "little")
    fp.seek(info.header_offset + 30 + n + m)
    return info.compress_type, fp.read(info.compress_size)


def check_relationships(z):
    """Every internal relationship names a part of the package, and every
    relationship id an element of a saved sheet or workbook names exists."""
    names = set(z.namelist())
    for name in [n for n in names if n.endswith(".rels")]:
        base = posixpath.dirname(posixpath.dirname(name))
        source = posixpath.join(base, posixpath.basename(name)[:-5])
        ids = set()
        for rel in ET.fromstring(z.read(name)).iter(REL + "Relationship"):
            ids.add(rel.get("Id"))
            if rel.get("TargetMode") == "External":
                continue
            target = rel.get("Target")
            target = target[1:] if target.startswith("/") \
                else posixpath.normpath(posixpath.join(base, target))
            assert target in names, (name, target)
        if source.endswith(".xml") and source in names and "sheet" in source:
            used = set(re.findall(rb'r:id="([^"]+)"', z.read(source)))
            assert {u.decode() for u in used} <= ids, source


@pytest.mark.parametrize("producer", PRODUCERS)
@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_a_save_keeps_every_part_it_does_not_write(books, producer, native):
    src = zipfile.ZipFile(books[producer])
    wb, messages = load(books[producer], native)
    assert not [m for m in messages if "not kept" in m or "left out" in m], messages
    out = saved(wb)
    for name in src.namelist():
        if name.endswith("/") or owned(src, name):
            continue
        assert name in out.namelist(), name
        # Copied as stored: not even inflated and deflated again.
        assert raw(out, name) == raw(src, name), name
    check_relationships(out)
    for tag in ("drawing", "tableParts", "legacyDrawingHF", "legacyDrawing"):
        pattern = re.compile(b"<" + tag.encode() + rb"[\s>/]")
        in_src, in_out = (sum(len(pattern.findall(z.read(n))) for n in z.namelist()
                              if n.startswith("xl/worksheets/sheet")) for z in (src, out))
        assert in_out == in_src, tag
    again, messages = load(io.BytesIO(out.fp.getvalue()), native)
    assert not messages
    assert again.sheetnames == wb.sheetnames
    assert [(d.name, d.value, d.scope and d.scope.title) for d in again.defined_names] \
        == [(d.name, d.value, d.scope and d.scope.title) for d in wb.defined_names]
    assert again.properties == wb.properties and wb.properties.title
    assert again.active.title == wb.active.title


@needs_exceljs
def test_exceljs_reads_the_saved_file_with_its_notes_and_pictures(books, tmp_path):
    before = json.loads(exceljs("read", books["exceljs"]))
    wb, _ = load(books["exceljs"])
    path = tmp_path / "saved.xlsx"
    wb.save(path)
    after = json.loads(exceljs("read", path))
    assert after["notes"] == before["notes"] == {"Data!B2": "checked by Bob"}
    assert after["sheets"] == before["sheets"] and after["images"] == before["images"] == 1
    plain = {k: v for k, v in before["values"].items() if not k.endswith(("C2", "C3", "C4",
                                                                            "C5", "C6"))
             and k != "Other!A1"}
    assert {k: after["values"][k] for k in plain} == plain


@pytest.mark.parametrize("producer", PRODUCERS)
def test_native_and_pure_python_save_the_same_parts(books, producer):
    parts = []
    for native in (True, False):
        wb, _ = load(books[producer], native)
        wb["Data"]["B2"] = 99  # an edit, so that both write their sheets from the cells
        z = saved(wb)
        parts.append({n: z.read(n) for n in z.namelist()})
    assert parts[0] == parts[1]


@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])
def test_both_modes_list_the_chartsheet_in_its_tab(books, read_only):
    wb = brindle.load_workbook(books["xlsxwriter"], read_only=read_only)
    try:
        assert wb.sheetnames == ["Overview", "Data", "Report"]
        assert [ws.title for ws in wb.chartsheets] == ["Overview"]
        assert [ws.title for ws in wb.worksheets] == ["Data", "Report"]
        assert wb["Overview"] is wb.chartsheets[0]
        assert not hasattr(wb["Overview"], "iter_rows")
    finally:
        wb.close()  # a read-only workbook holds its file open until closed


def test_what_the_xlsxwriter_book_holds_comes_back(books):
    wb, _ = load(books["xlsxwriter"])
    assert [ws.title for ws in wb.chartsheets] == ["Overview"]
    assert [ws.title for ws in wb.worksheets] == ["Data", "Report"]
    data = wb["Data"]
    assert data["B2"].comment.visible and not data["B3"].comment.visible
    assert data["B2"].comment.author == "Bob"
    out = saved(wb)
    sheet = out.read("xl/worksheets/sheet1.xml").decode()
    assert '<pane xSplit=' in sheet and 'sqref="B3"' in sheet  # split pane and selection
    vml = out.read("xl/drawings/vmlDrawing1.vml").decode()
    assert vml.count("<x:Visible/>") == 1
    styles = out.read("xl/styles.xml").decode()
    assert "<cellStyles" in styles and 'name="Normal"' in styles
    book = out.read("xl/workbook.xml").decode()
    assert 'activeTab="2"' in book
    assert '<definedName name="Local" localSheetId="2">Report!$A$1</definedName>' in book
    props = out.read("docProps/core.xml").decode()
    assert "<dc:title>Quarterly</dc:title>" in props and "Ann Analyst" in props
    # The custom properties and the company are carried as they were.
    assert b"Department" in out.read("docProps/custom.xml")
    assert b"ACME" in out.read("docProps/app.xml")


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_read_only_lists_the_chartsheets_among_the_tabs_as_full_mode_does(books, native):
    full, _ = load(books["xlsxwriter"], native)
    with brindle.load_workbook(books["xlsxwriter"], read_only=True, native=native) as wb:
        assert wb.sheetnames == full.sheetnames == ["Overview", "Data", "Report"]
        assert [ws.title for ws in wb.worksheets] == ["Data", "Report"]
        assert [ws.title for ws in wb] == ["Data", "Report"]
        chart = wb["Overview"]
        assert wb.chartsheets == [chart] and repr(chart) == "<ReadOnlyChartsheet 'Overview'>"
        assert chart.parent is wb and not hasattr(chart, "iter_rows")
        with pytest.raises(KeyError, match="Worksheet Nothing does not exist"):
            wb["Nothing"]


def sheet_scoped(z):
    """{(name, sheet title or None): text} of the saved workbook's names."""
    root = ET.fromstring(z.read("xl/workbook.xml"))
    titles = [s.get("name") for s in root.iter(MAIN + "sheet")]
    return {(d.get("name"), titles[int(d.get("localSheetId"))]
             if d.get("localSheetId") is not None else None): d.text
            for d in root.iter(MAIN + "definedName")}


OPS = {
    "remove": lambda wb: wb.remove(wb["Data"]),
    "insert-front": lambda wb: wb.create_sheet("New", 0),
    "move": lambda wb: wb.move_sheet("Report", -2),
    "rename": lambda wb: setattr(wb["Data"], "title", "Raw data"),
    "remove-chartsheet": lambda wb: wb.remove(wb["Overview"]),
}


@pytest.mark.parametrize("op", OPS)
def test_sheet_operations_keep_names_on_their_sheets(books, op):
    wb, _ = load(books["xlsxwriter"])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        OPS[op](wb)
        z = saved(wb)
    names = sheet_scoped(z)
    data = "Raw data" if op == "rename" else "Data"
    if op == "remove":
        assert ("_xlnm.Print_Titles", "Data") not in names
        assert names[("Local", "Report")] == "Report!$A$1"
        assert [str(w.message) for w in caught] == [
            "sheet 'Overview': 1 chart refers to the removed sheet 'Data'",
            "sheet 'Report': 1 chart refers to the removed sheet 'Data'"]
        # The removed sheet's own chart goes with it.
        assert len([n for n in z.namelist() if n.startswith("xl/charts/chart")]) == 2
    else:
        ref = quote_sheet(data)
        assert names[("_xlnm.Print_Area", data)] == f"{ref}!$A$1:$C$6"
        assert names[("_xlnm.Print_Titles", data)] == f"{ref}!$1:$1"
        assert names[("Amounts", None)] == f"{ref}!$B$2:$B$6"
    assert names[("_xlnm.Print_Area", "Report")] == "Report!$A$1:$B$2"
    root = ET.fromstring(z.read("xl/workbook.xml"))
    active = int(root.find(f"{MAIN}bookViews/{MAIN}workbookView").get("activeTab", "0"))
    assert [s.get("name") for s in root.iter(MAIN + "sheet")][active] == "Report"
    check_relationships(z)


@needs_libreoffice
@pytest.mark.parametrize("op", ["none", "remove", "move", "edit"])
def test_libreoffice_opens_the_saved_file_with_what_it_held(books, op, tmp_path):
    wb, _ = load(books["xlsxwriter"])
    if op == "edit":
        wb["Data"]["B2"] = 50
    elif op != "none":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            OPS[op](wb)
    path = tmp_path / "saved.xlsx"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb.save(path)
    ods = libreoffice(path, "ods", tmp_path, tmp_path / "profile")
    content = zipfile.ZipFile(ods).read("content.xml").decode()
    charts = len(re.findall(r"<draw:object ", content))
    assert charts == {"none": 3, "edit": 3, "move": 3, "remove": 2}[op]
    assert ("checked" in content) == (op != "remove")  # the note
    assert "draw:image" in content or op == "remove"
    assert 'table:name="Amounts"' in content or op == "remove"
    # Print ranges are on the right sheets.
    for name, rng in re.findall(r'table:name="([^"]+)"[^>]*table:print-ranges="([^"]*)"',
                                content):
        assert rng.startswith(f"{name}.") or rng.startswith(f"'{name}'."), (name, rng)


@needs_gnumeric
def test_gnumeric_reads_the_saved_file_with_the_values(books, tmp_path):
    wb, _ = load(books["xlsxwriter"])
    wb["Data"]["B2"] = 50
    path = tmp_path / "saved.xlsx"
    wb.save(path)
    out = gnumeric(path, tmp_path / "data.csv", "--export-file-per-sheet")
    texts = sorted(tmp_path.glob("data.csv*"))
    assert any('"item 1",50' in p.read_text() for p in texts), [p.read_text() for p in texts]
    assert out is not None


def test_parts_outside_the_package_and_missing_parts():
    """A relationship leaving the package is carried as written and never
    followed; one naming a missing part is dropped with a warning; a damaged
    chart is carried without being read."""
    buf = io.BytesIO()
    wb = brindle.Workbook()
    wb.active["A1"] = 1
    wb.save(buf)
    z = zipfile.ZipFile(io.BytesIO(buf.getvalue()))
    parts = {n: z.read(n) for n in z.namelist()}
    parts["xl/worksheets/_rels/sheet1.xml.rels"] = (
        b'<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        b'<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
        b'relationships/drawing" Target="../drawings/drawing1.xml"/>'
        b'<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
        b'relationships/printerSettings" Target="../../../outside.bin"/>'
        b'<Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
        b'relationships/table" Target="../tables/missing.xml"/></Relationships>')
    parts["xl/drawings/drawing1.xml"] = b"<not xml at all"
    parts["xl/worksheets/sheet1.xml"] = parts["xl/worksheets/sheet1.xml"].replace(
        b"</worksheet>", b'<pageSetup r:id="rId2"/><drawing r:id="rId1"/>'
        b'<tableParts count="1"><tablePart r:id="rId3"/></tableParts></worksheet>')
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as out:
        for name, body in parts.items():
            out.writestr(name, body)
    wb, messages = load(io.BytesIO(data.getvalue()))
    assert messages == [
        "worksheet 'Sheet': relationship rId3 names the part xl/tables/missing.xml, which is "
        "missing; it is left out",
        "worksheet 'Sheet': <tableParts> refers to parts of the file that are not kept; it is "
        "left out"]
    z = saved(wb)
    assert z.read("xl/drawings/drawing1.xml") == b"<not xml at all"
    rels = z.read("xl/worksheets/_rels/sheet1.xml.rels").decode()
    assert 'Target="../../../outside.bin"' in rels and "missing.xml" not in rels
    sheet = z.read("xl/worksheets/sheet1.xml").decode()
    assert 'r:id="rId2"' in sheet and '<drawing' in sheet and "tablePart" not in sheet


@pytest.mark.parametrize("text,old,new,want", [
    ("Data!$A$1", "Data", "Raw", "Raw!$A$1"),
    ("data!$A$1+Other!B2", "Data", "Raw data", "'Raw data'!$A$1+Other!B2"),
    ("'My Data'!A1:B2", "My Data", "X", "X!A1:B2"),
    ("'It''s'!A1", "It's", "Its", "Its!A1"),
    ("Data:Other!A1", "Other", "Last", "Data:Last!A1"),
    ("Other!A1", "Other", "O2", "'O2'!A1"),
    ('"Data!A1"&Data!A1', "Data", "New", '"Data!A1"&New!A1'),
    ("SUM(Database!A1)", "Data", "New", "SUM(Database!A1)"),
    ("Data!A1", "Data", "A1", "'A1'!A1"),
])
def test_renaming_a_sheet_rewrites_references_to_it(text, old, new, want):
    assert rename_in_formula(text, old, new) == want


def test_a_new_workbook_has_the_parts_applications_write():
    wb = brindle.Workbook()
    wb.active["A1"] = 1
    wb.active["A1"].comment = brindle.Comment("note", "me", visible=True)
    z = saved(wb)
    assert {"docProps/core.xml", "docProps/app.xml", "xl/comments1.xml",
            "xl/drawings/vmlDrawing1.vml"} <= set(z.namelist())
    check_relationships(z)
    again, _ = load(io.BytesIO(z.fp.getvalue()))
    assert again.active["A1"].comment.visible
    assert again.properties.creator == "brindle"


def button_book(path, note):
    import xlsxwriter
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet()
    ws.write("A1", 1)
    if note:
        ws.write_comment("B2", "a note")
    ws.insert_button("D4", {"macro": "m", "caption": "Press"})
    wb.close()
    return path


def drawing_of(z):
    """The legacy drawing the first sheet names, as text."""
    rels = ET.fromstring(z.read("xl/worksheets/_rels/sheet1.xml.rels"))
    rid = re.search(rb'<legacyDrawing [^>]*r:id="([^"]+)"', z.read("xl/worksheets/sheet1.xml"))
    target = next(r.get("Target") for r in rels if r.get("Id") == rid.group(1).decode())
    return z.read(posixpath.normpath(posixpath.join("xl/worksheets", target))).decode()


# A sheet's legacy drawing holds its form controls beside its notes: writing
# the notes anew must keep the controls, under the shape ids they had.
@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
@pytest.mark.parametrize("had_note,op,notes", [
    (True, "none", {"B2"}), (True, "add", {"B2", "E5"}), (True, "delete", set()),
    (False, "add", {"E5"})])
def test_form_controls_stay_beside_the_notes(tmp_path, native, had_note, op, notes):
    wb, _ = load(button_book(tmp_path / "in.xlsx", had_note), native)
    ws = wb.active
    if op == "add":
        ws["E5"].comment = brindle.Comment("second", "me")
    elif op == "delete":
        ws["B2"].comment = None
    for _ in range(2):  # and once more from what was saved
        out = io.BytesIO()
        wb.save(out)
        z = zipfile.ZipFile(io.BytesIO(out.getvalue()))
        drawing = drawing_of(z)
        button = re.search(r'<v:shape id="_x0000_s(\d+)"[^>]*>(?:(?!</v:shape>).)*'
                           r'ObjectType="Button"', drawing, re.S)
        assert button and button.group(1) == "1025" and "Press" in drawing
        assert drawing.count('ObjectType="Note"') == len(notes)
        ids = re.findall(r'<v:shape id="_x0000_s(\d+)"', drawing)
        assert len(ids) == len(set(ids)) == len(notes) + 1
        check_relationships(z)
        wb, _ = load(io.BytesIO(out.getvalue()), native)
        got = {c.coordinate for row in wb.active.iter_rows() for c in row if c.comment}
        assert got == notes


@needs_libreoffice
def test_libreoffice_shows_the_button_and_the_notes(tmp_path):
    wb, _ = load(button_book(tmp_path / "in.xlsx", True))
    wb.active["E5"].comment = brindle.Comment("second", "me")
    wb.save(tmp_path / "saved.xlsx")
    ods = libreoffice(tmp_path / "saved.xlsx", "ods", tmp_path, tmp_path / "profile")
    content = zipfile.ZipFile(ods).read("content.xml").decode()
    assert "Press" in content and "form:button" in content
    assert content.count("</office:annotation>") == 2
