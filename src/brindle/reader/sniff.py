"""What a file that is not an xlsx package is, told from its bytes.

Only consulted once the file has failed to open as a zip archive (or opened
as one that holds an OpenDocument file), so the reads here cost nothing on
the way to a workbook.
"""

import os
import zipfile
import zlib

_OLE2 = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
# An encrypted workbook is an OLE2 compound file whose directory names this
# stream; the name is stored in UTF-16LE.
_ENCRYPTED_STREAM = "EncryptedPackage".encode("utf-16-le")
_CHUNK = 1 << 20
_TEXT_PROBE = 4096
_ODF_MIME = b"application/vnd.oasis.opendocument"

EMPTY = "empty file"
ENCRYPTED = "password-protected (encrypted) workbook"
LEGACY_XLS = "legacy .xls workbook (BIFF)"
OPENDOCUMENT = "OpenDocument spreadsheet"
TEXT = "text file, not an xlsx package"
DAMAGED_ZIP = "truncated or damaged zip archive"
NOT_ZIP = "not an xlsx package (not a zip archive)"


def _chunks(file):
    """The bytes of `file` (a path or a binary file object) from its start."""
    if isinstance(file, (str, bytes, os.PathLike)):
        with open(file, "rb") as f:
            while chunk := f.read(_CHUNK):
                yield chunk
        return
    file.seek(0)
    while chunk := file.read(_CHUNK):
        yield chunk


def _has_stream_name(first, rest):
    """Whether the compound file (its first chunk, then the others) names
    the encrypted package stream; names may straddle two chunks."""
    tail = b""
    for chunk in (first, *rest):
        if _ENCRYPTED_STREAM in tail + chunk:
            return True
        tail = chunk[-len(_ENCRYPTED_STREAM):]
    return False


def _looks_like_text(head):
    if b"\x00" in head:
        return False
    try:
        head.decode("utf-8")
    except UnicodeDecodeError as exc:
        # A probe cut inside a character is still text.
        if exc.start < len(head) - 3:
            return False
    return True


def what_is_it(file):
    """The reason a file that is no zip archive cannot be read as a workbook.

    Errors of reading the file itself are left to the caller's error.
    """
    chunks = _chunks(file)
    first = next(chunks, b"")
    if not first:
        return EMPTY
    if first.startswith(_OLE2):
        return ENCRYPTED if _has_stream_name(first, chunks) else LEGACY_XLS
    if first.startswith(b"PK"):
        return DAMAGED_ZIP
    if _looks_like_text(first[:_TEXT_PROBE]):
        return TEXT
    return NOT_ZIP


def is_opendocument(zip_reader):
    """Whether an archive that opened as a zip is an OpenDocument file: its
    first member, `mimetype`, names an OpenDocument type."""
    try:
        info = zip_reader.getinfo("mimetype")
    except KeyError:
        return False
    if info.file_size > 256:
        return False
    try:
        with zip_reader.open("mimetype") as member:
            return member.read(len(_ODF_MIME)) == _ODF_MIME
    except (zipfile.BadZipFile, zlib.error, EOFError):
        return False  # a damaged member is reported when it is read
