"""Expat over a host file object, with the raw bytes of chosen elements kept.

Elements that the reader hands on whole (everything in a worksheet that is
not a cell) must reach their consumer byte for byte, as they are in the
part, with the namespace bindings of their ancestors. ElementTree keeps no
source positions, so this module drives expat itself and keeps just enough
of the input to cut such elements out.
"""

import codecs
import re
import xml.etree.ElementTree as ET
from xml.parsers import expat

from brindle.utils.xml_encoding import part_encoding

CHUNK = 65536

# No cell holds more than 32,767 characters. The text of one element past
# this many is no workbook's: both readers (and the native engine, with the
# same words) refuse it as soon as they have read that much, rather than
# take memory and time in proportion to it.
MAX_TEXT = 1 << 20
TEXT_TOO_LONG = "text longer than 1048576 characters"


class TextTooLong(ValueError):
    """An element's text longer than MAX_TEXT characters."""


class OutsideSheet(ValueError):
    """A row or cell numbered outside A1:XFD1048576: no application opens the
    file, and a sheet that held it could not be saved and read again."""


def row_outside(row):
    return OutsideSheet(f"row {row} outside the rows of a worksheet (1 to 1048576)")


def cell_outside(ref):
    return OutsideSheet(f"cell {ref} outside the cells of a worksheet (A1:XFD1048576)")


class CellFault(ValueError):
    """A cell naming what the workbook does not have: a shared string or a cell
    format past either end of its table. The package reader adds the file and part."""


# A start tag up to its closing ">": a ">" inside a quoted value does not close it.
_TAG = re.compile(rb"""<(?:[^>"']|"[^"]*"|'[^']*')*>""")


def parse_error(exc):
    """The ElementTree error for an expat failure, so callers see one error type."""
    err = ET.ParseError(str(exc))
    err.code = exc.code
    err.position = (exc.lineno, exc.offset)
    return err


def _refuse_doctype(*_args):
    # Entity declarations are how XML bombs and external fetches get in; a
    # worksheet part never needs a document type declaration.
    raise ET.ParseError("document type declarations are not allowed")


def ns_key(name):
    """The ElementTree-style key of an expat name: "{uri}local", or the bare local name."""
    uri, sep, local = name.rpartition("}")
    return "{" + name if sep else name


def _utf8_reader(read):
    """`read(CHUNK)` of the part as UTF-8 bytes, transcoding when it is in another encoding."""
    head = b""
    while len(head) < 256:
        data = read(CHUNK)
        if not data:
            break
        head += data
    encoding = part_encoding(head)
    if encoding is None:
        first = [head]

        def plain(_n):
            return first.pop() if first else read(CHUNK)
        return plain
    decoder = codecs.getincrementaldecoder(encoding)()
    pending = [head]

    def transcoded(_n):
        while True:
            data = pending.pop() if pending else read(CHUNK)
            try:
                text = decoder.decode(data, final=not data)
            except UnicodeDecodeError as exc:
                raise ET.ParseError(f"it is not valid {encoding}: {exc.reason}") from None
            if text or not data:
                return text.encode("utf-8")
    return transcoded


class Window:
    """An expat parser fed from `source`, keeping input bytes from `keep_from()` onward.

    Subclasses set their handlers on `self.parser` and call `run()` with a
    callback that is invoked after every chunk (a generator yields there).
    """

    def __init__(self, source):
        self.source = source
        # Expat always reads UTF-8 here: a part in another encoding is
        # transcoded first, so that captured bytes are UTF-8 like all others.
        p = self.parser = expat.ParserCreate("utf-8", namespace_separator="}")
        p.buffer_text = True
        p.buffer_size = CHUNK
        p.StartDoctypeDeclHandler = _refuse_doctype
        p.StartNamespaceDeclHandler = self._ns_start
        p.EndNamespaceDeclHandler = self._ns_end
        self.buf = bytearray()
        self.base = 0  # absolute offset of buf[0]
        # (prefix, uri, offset of the declaring start tag), outermost first.
        self.bindings = []
        self._scope_key = self._scope = None  # the last list `namespaces` made
        # Offsets from which input must be kept (open captures).
        self.keep = []

    def _ns_start(self, prefix, uri):
        self.bindings.append((prefix or "", uri or "", self.parser.CurrentByteIndex))

    def _ns_end(self, _prefix):
        self.bindings.pop()

    def namespaces(self, start):
        """Bindings in scope for the element whose start tag is at `start`, from its ancestors.

        A prefix declared again further in keeps the place of its first
        declaration and takes the inner URI. Elements under the same
        declarations get the same list: thousands of declarations over
        thousands of elements cost one list, not one each.
        """
        bindings = self.bindings
        n = len(bindings)
        while n and bindings[n - 1][2] >= start:
            n -= 1  # the element's own declarations
        # A stack's top entry fixes everything beneath it (declaring tags
        # have distinct offsets), so (count, offset of the top) names the list.
        key = (n, bindings[n - 1][2] if n else -1)
        if key == self._scope_key:
            return self._scope
        out = []
        where = {}
        for prefix, uri, _pos in bindings[:n]:
            i = where.get(prefix)
            if i is None:
                where[prefix] = len(out)
                out.append((prefix, uri))
            else:
                out[i] = (prefix, uri)
        self._scope_key, self._scope = key, out
        return out

    def open_capture(self):
        """Start keeping the element whose start tag is being reported; returns its handle."""
        start = self.parser.CurrentByteIndex
        m = _TAG.match(self.buf, start - self.base)
        tag_end = m.end() + self.base
        empty = self.buf[tag_end - self.base - 2] == 0x2F  # "/>"
        self.keep.append(start)
        return start, tag_end, empty

    def close_capture(self, handle):
        """The element's bytes, start tag to end tag, once its end is being reported."""
        start, tag_end, empty = handle
        if empty:
            end = tag_end
        else:
            end = self.buf.index(b">", self.parser.CurrentByteIndex - self.base) + 1 + self.base
        self.keep.remove(start)
        return bytes(self.buf[start - self.base:end - self.base])

    def feed_all(self, after_chunk):
        """Parse the whole source, calling `after_chunk()` after each piece (a generator)."""
        p = self.parser
        read = _utf8_reader(self.source.read)
        buf = self.buf
        try:
            while True:
                data = read(CHUNK)
                if not data:
                    p.Parse(b"", True)
                    yield from after_chunk()
                    return
                done = p.CurrentByteIndex  # everything before it has been reported
                lo = min(self.keep) if self.keep else done
                if lo > done:
                    lo = done
                if lo > self.base:
                    del buf[:lo - self.base]
                    self.base = lo
                buf += data
                p.Parse(data, False)
                yield from after_chunk()
        except expat.ExpatError as exc:
            raise parse_error(exc) from None
