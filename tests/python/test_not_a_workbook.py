"""Files that are not xlsx packages: each is refused with InvalidFileError
naming the file and saying what it is, in both read modes, by the engine and
the pure-Python reader, and by the command line in one line; a save into a
folder that does not exist names the path the caller gave."""

import io
import os
import subprocess
import sys
import zipfile

import pytest

import brindle
from apps import SOFFICE, needs_libreoffice

SRC = os.path.join(os.path.dirname(__file__), "..", "..", "src")

# A Basic macro that stores a document with a password: LibreOffice's
# command line has no switch that encrypts.
_MODULE = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE script:module PUBLIC "-//OpenOffice.org//DTD OfficeDocument 1.0//EN" "module.dtd">
<script:module xmlns:script="http://openoffice.org/2000/script" script:name="Module1"
 script:language="StarBasic">
Sub Encrypt(src As String, dst As String)
  Dim args(0) As New com.sun.star.beans.PropertyValue
  args(0).Name = &quot;Hidden&quot;
  args(0).Value = True
  doc = StarDesktop.loadComponentFromURL(ConvertToURL(src), &quot;_blank&quot;, 0, args())
  Dim out(1) As New com.sun.star.beans.PropertyValue
  out(0).Name = &quot;FilterName&quot;
  out(0).Value = &quot;Calc MS Excel 2007 XML&quot;
  out(1).Name = &quot;Password&quot;
  out(1).Value = &quot;secret&quot;
  doc.storeToURL(ConvertToURL(dst), out())
  doc.close(True)
End Sub
</script:module>
"""
_LIBRARY = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE library:library PUBLIC "-//OpenOffice.org//DTD OfficeDocument 1.0//EN" "library.dtd">
<library:library xmlns:library="http://openoffice.org/2000/library" library:name="Standard"
 library:readonly="false" library:passwordprotected="false">
 <library:element library:name="Module1"/>
</library:library>
"""


def _soffice(home, *args):
    subprocess.run([SOFFICE or "soffice", f"-env:UserInstallation=file://{home}", "--headless",
                    "--norestore", *args], check=True, capture_output=True, timeout=300)


@pytest.fixture(scope="module")
def made_by_libreoffice(tmp_path_factory):
    """{kind: path} of an encrypted workbook, a legacy .xls and an OpenDocument
    spreadsheet, each saved by LibreOffice from one workbook of ours and
    named .xlsx."""
    d = tmp_path_factory.mktemp("lo")
    home = d / "home"
    wb = brindle.Workbook()
    wb.active["A1"] = "secret data"
    plain = d / "plain.xlsx"
    wb.save(plain)
    out = {}
    for kind, fmt in (("xls", "xls"), ("ods", "ods")):
        _soffice(home, "--convert-to", fmt, "--outdir", str(d), str(plain))
        out[kind] = (d / f"plain.{fmt}").rename(d / f"{kind}.xlsx")
    basic = home / "user" / "basic" / "Standard"
    (basic / "Module1.xba").write_text(_MODULE, encoding="utf-8")
    (basic / "script.xlb").write_text(_LIBRARY, encoding="utf-8")
    out["encrypted"] = d / "encrypted.xlsx"
    _soffice(home, f'macro:///Standard.Module1.Encrypt("{plain}","{out["encrypted"]}")')
    return out


def _zip_bytes(members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, data in members:
            z.writestr(name, data)
    return buf.getvalue()


def _workbook_bytes():
    buf = io.BytesIO()
    wb = brindle.Workbook()
    wb.active["A1"] = 1
    wb.save(buf)
    return buf.getvalue()


MADE_HERE = {
    "empty": (b"", "empty file"),
    "csv": (b"name,amount\nalpha,1\n", "text file, not an xlsx package"),
    "utf-8 text": ("ünïcødé;1\r\n".encode(), "text file, not an xlsx package"),
    "truncated": (_workbook_bytes()[:-200], "truncated or damaged zip archive"),
    "cut to its start": (_workbook_bytes()[:100], "truncated or damaged zip archive"),
    "odf by mimetype": (_zip_bytes([("mimetype", "application/vnd.oasis.opendocument.spreadsheet"),
                                    ("content.xml", "<x/>")]), "OpenDocument spreadsheet"),
    "bare ole2": (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(1024), "legacy .xls workbook (BIFF)"),
    # The stream name straddles the reads of the file.
    "ole2 named late": (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes((1 << 20) - 16)
                        + "EncryptedPackage".encode("utf-16-le"),
                        "password-protected (encrypted) workbook"),
    "binary": (bytes(range(256)) * 4, "not an xlsx package (not a zip archive)"),
}

LO_REASONS = {
    "encrypted": "password-protected (encrypted) workbook",
    "xls": "legacy .xls workbook (BIFF)",
    "ods": "OpenDocument spreadsheet",
}


def _check_refused(path, reason, as_file_object=False):
    for read_only in (True, False):
        for native in (True, False):
            src = open(path, "rb") if as_file_object else path
            try:
                with pytest.raises(brindle.InvalidFileError) as info:
                    brindle.load_workbook(src, read_only=read_only, native=native)
            finally:
                if as_file_object:
                    src.close()
            name = str(path)
            assert str(info.value) == f"{name}: {reason}"
            assert info.value.filename == name and info.value.reason == reason
            assert isinstance(info.value, ValueError)


@pytest.mark.parametrize("kind", list(MADE_HERE))
def test_files_made_here_are_refused_saying_what_they_are(tmp_path, kind):
    data, reason = MADE_HERE[kind]
    path = tmp_path / "book.xlsx"
    path.write_bytes(data)
    _check_refused(path, reason)
    _check_refused(path, reason, as_file_object=True)


@needs_libreoffice
@pytest.mark.parametrize("kind", list(LO_REASONS))
def test_files_saved_by_libreoffice_are_refused_saying_what_they_are(made_by_libreoffice, kind):
    _check_refused(made_by_libreoffice[kind], LO_REASONS[kind])


@needs_libreoffice
@pytest.mark.parametrize("kind", list(LO_REASONS))
def test_the_command_line_prints_the_same_sentence(made_by_libreoffice, kind):
    path = made_by_libreoffice[kind]
    for command in (["info"], ["to-csv"]):
        r = subprocess.run([sys.executable, "-m", "brindle", *command, str(path)],
                           capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, PYTHONPATH=os.path.abspath(SRC)))
        assert r.returncode == 1
        assert r.stderr == f"brindle: error: {path}: {LO_REASONS[kind]}\n"


@pytest.mark.parametrize("write_only", [True, False], ids=["write_only", "full"])
@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_a_save_into_a_missing_folder_names_the_path_given(tmp_path, write_only, native):
    wb = brindle.Workbook(write_only=write_only, native=native)
    if write_only:
        wb.create_sheet("S").append([1])
    target = os.path.join(str(tmp_path), "no such folder", "book.xlsx")
    with pytest.raises(FileNotFoundError) as info:
        wb.save(target)
    assert info.value.filename == target
    assert str(info.value).endswith(f": {target!r}")
    assert ".tmp" not in str(info.value)


def test_a_save_over_a_folder_names_the_path_given_and_leaves_nothing(tmp_path):
    folder = tmp_path / "taken.xlsx"
    folder.mkdir()
    wb = brindle.Workbook()
    with pytest.raises(OSError) as info:
        wb.save(folder)
    assert info.value.filename == str(folder) and info.value.filename2 is None
    assert os.listdir(tmp_path) == ["taken.xlsx"] and not os.listdir(folder)
