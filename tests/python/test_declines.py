"""The engine's declines carry their kind: "malformed" and "unsupported" send
the host back to pure Python, "limit" makes it refuse the file. Each entry
point's declines have the kind that matches their words, and the host acts
on the kind alone, whatever the message says."""

import io

import pytest

import brindle
import sheetgen as gen
from brindle import InvalidFileError
from brindle._native import native_engine
from brindle.reader import workbook as wb_mod
from brindle.reader.xmlwindow import TEXT_TOO_LONG
from testkit import make_helpers, make_parser

m = native_engine()
# Every test here calls the engine's entry points directly. A user running
# the suite on a pure-Python install has none; under CI a skip fails the run.
pytestmark = pytest.mark.skipif(m is None, reason="engine not built")
MAIN = gen.MAIN


def sst(body):
    return io.BytesIO(f'<sst xmlns="{MAIN}">{body}</sst>'.encode())


def sheet(rows):
    return io.BytesIO(f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'.encode())


def string_table(body):
    return lambda: m.read_string_table(sst(body), make_helpers())


def raw_rows(rows, parser=(), **helpers):
    def run():
        r = m.RowReader(sheet(rows), make_parser(**dict(parser)), make_helpers(**helpers))
        while r.next_raw() is not None:
            pass
    return run


def boom(*args, **kwargs):
    raise KeyError("boom")


@pytest.mark.parametrize("call,kind,message", [
    (string_table("<si a='1' a='2'/>"), "malformed", "malformed: duplicate attribute"),
    (string_table("<si><t>&nope;</t></si>"), "malformed", "malformed: undefined entity"),
    (string_table("<si><r><si/></r></si>"), "unsupported",
     "unsupported: nested element handled by dispatcher"),
    (string_table("<si><t>" + "a" * ((1 << 20) + 1) + "</t></si>"), "limit", TEXT_TOO_LONG),
    (raw_rows('<row><c t="str"><v>' + "a" * ((1 << 20) + 1) + "</v></c></row>"), "limit",
     TEXT_TOO_LONG),
    (raw_rows("<row><c r='A1'><v>1</v>"), "malformed", None),
    # A host helper's exception, folded into a decline: read again in pure Python.
    (raw_rows('<row><c s="1"><v>2</v></c></row>', {"date_formats": {1}, "timedelta_formats": {1}},
              from_excel=boom), "unsupported",
     "native reader error: KeyError: 'boom'"),
], ids=["duplicate-attr", "entity", "nested", "long-string", "long-value", "truncated", "helper"])
def test_every_decline_has_the_kind_of_its_words(call, kind, message):
    with pytest.raises(m.NativeFallback) as info:
        call()
    exc = info.value
    assert exc.kind == kind
    if message is not None:
        assert exc.args == (message,)
    if kind in ("malformed", "unsupported") and not exc.args[0].startswith("native reader error"):
        assert exc.args[0].startswith(kind + ": ")


def workbook_with_strings():
    rows = '<row r="1"><c r="A1" t="s"><v>0</v></c></row>'
    return gen.xlsx([f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'],
                    ["alpha"])


def declining_string_table(monkeypatch, kind, message):
    """Makes the engine's string table decline with `kind` and `message`."""
    found = wb_mod._native_function

    def read_string_table(source, helpers):
        exc = m.NativeFallback(message)
        if kind is not None:
            exc.kind = kind
        raise exc

    def native_function(name):
        got = found(name)
        if name == "read_string_table" and got is not None:
            return read_string_table, got[1]
        return got

    monkeypatch.setattr(wb_mod, "_native_function", native_function)


@pytest.mark.parametrize("read_only", [True, False])
@pytest.mark.parametrize("kind,message,refused", [
    ("limit", "count beyond what a workbook holds", True),
    ("limit", TEXT_TOO_LONG, True),
    # The words of a limit, but not its kind: read again, and read well.
    ("unsupported", TEXT_TOO_LONG, False),
    ("malformed", TEXT_TOO_LONG, False),
    (None, TEXT_TOO_LONG, False),  # raised by host code, with no kind
])
def test_the_host_refuses_on_the_kind_not_the_words(monkeypatch, read_only, kind, message, refused):
    declining_string_table(monkeypatch, kind, message)
    data = workbook_with_strings()
    if refused:
        with pytest.raises(InvalidFileError) as info:
            brindle.load_workbook(io.BytesIO(data), read_only=read_only)
        assert info.value.reason == f"the part holds a {message}"
        assert isinstance(info.value.__cause__, m.NativeFallback)
        return
    wb = brindle.load_workbook(io.BytesIO(data), read_only=read_only)
    try:
        assert [list(r) for r in wb.worksheets[0].iter_rows(values_only=True)] == [["alpha"]]
    finally:
        wb.close()
