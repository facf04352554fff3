"""Workbooks other applications wrote, with what users' workbooks hold besides
cells: charts, pictures, tables, notes, names, print settings, properties,
views, rich text, dynamic arrays, a chartsheet in front of the worksheets."""

import struct
import zlib

import base64

from apps import exceljs, gnumeric, libreoffice


def png(width=4, height=3):
    """A small valid PNG image."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    rows = b"".join(b"\x00" + b"\xff\x00\x00" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2,
                                                               0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def xlsxwriter_book(path):
    """The rich workbook as XlsxWriter writes it; `path`."""
    import io

    import xlsxwriter

    image = io.BytesIO(png())
    book = xlsxwriter.Workbook(str(path))
    book.set_properties({"title": "Quarterly", "author": "Ann Analyst", "company": "ACME",
                         "keywords": "sales, q3"})
    book.set_custom_property("Department", "Sales")
    cs = book.add_chartsheet("Overview")  # a chartsheet before the worksheets
    data = book.add_worksheet("Data")
    report = book.add_worksheet("Report")
    bold = book.add_format({"bold": True})
    data.write_row(0, 0, ["item", "amount", "double"], bold)
    for r in range(1, 6):
        data.write(r, 0, f"item {r}")
        data.write_number(r, 1, r * 10)
        data.write_formula(r, 2, f"=B{r + 1}*2", None, r * 20)
    data.write_formula("E1", '=IF(B2>5,"big","small")', None, "big")
    data.write_formula("E2", "=B2>5", None, True)
    data.write_formula("E3", "=1/0", None, "#DIV/0!")
    data.write_rich_string("A8", "plain ", bold, "bold", " tail")
    data.write_dynamic_array_formula("G1:G5", "=SORT(B2:B6,,-1)")
    data.write_comment("B2", "checked", {"visible": True, "author": "Bob"})
    data.write_comment("B3", "a hidden note")
    data.add_table("I1:J3", {"columns": [{"header": "k"}, {"header": "v"}],
                             "data": [[1, 2], [3, 4]]})
    data.data_validation("B2:B6", {"validate": "integer", "criteria": ">", "value": 0})
    data.conditional_format("B2:B6", {"type": "cell", "criteria": ">", "value": 30,
                                      "format": bold})
    data.write_url("A12", "https://example.com/report", string="report")
    data.split_panes(30, 20)
    data.set_selection("B3")
    data.set_header("&L&G", {"image_left": "logo.png", "image_data_left": io.BytesIO(png())})
    data.print_area("A1:C6")
    data.repeat_rows(0)
    line = book.add_chart({"type": "line"})
    line.add_series({"values": "=Data!$B$2:$B$6", "categories": "=Data!$A$2:$A$6"})
    data.insert_chart("L2", line)
    data.insert_image("L20", "dot.png", {"image_data": image})
    bar = book.add_chart({"type": "bar"})
    bar.add_series({"values": "='Data'!$C$2:$C$6"})
    cs.set_chart(bar)
    report.write("A1", "see data")
    report.write_formula("A2", "=SUM(Data!B2:B6)", None, 150)
    pie = book.add_chart({"type": "pie"})
    pie.add_series({"values": "=Data!$B$2:$B$4"})
    report.insert_chart("C2", pie)
    report.print_area("A1:B2")
    book.define_name("Amounts", "=Data!$B$2:$B$6")
    book.define_name("Report!Local", "=Report!$A$1")
    report.activate()
    book.close()
    return path


def libreoffice_book(src, tmp_path):
    """`src` (an xlsx file) as LibreOffice writes it after opening it."""
    out = tmp_path / "libreoffice"
    out.mkdir()
    return libreoffice(src, "xlsx:Calc MS Excel 2007 XML", out, tmp_path / "lo-profile")


def gnumeric_book(src, tmp_path):
    """`src` (an xlsx file) as Gnumeric writes it after opening it."""
    return gnumeric(src, tmp_path / "gnumeric.xlsx")


def exceljs_book(path):
    """A workbook as ExcelJS writes it (notes, a table, a picture, rich text, a
    link, a name, formulas with their results); `path`."""
    exceljs(path, "", base64.b64encode(png()).decode())
    return path
