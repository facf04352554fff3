"""Reading xlsx files written by Gnumeric: the values are those Gnumeric itself exports."""

import csv
import datetime as dt
import math
import os
import shutil
import subprocess

import pytest

import brindle
from brindle._native import native_engine
from brindle.reader import workbook as wb_mod

SSCONVERT = shutil.which("ssconvert")
needs_converter = pytest.mark.skipif(
    SSCONVERT is None and not os.environ.get("BRINDLE_IN_DEVENV"),
    reason="ssconvert (gnumeric) is not installed")

EPOCH = dt.datetime(1899, 12, 30)


def convert(src, dst, *args):
    subprocess.run([SSCONVERT or "ssconvert", *args, str(src), str(dst)], check=True,
                   capture_output=True, timeout=120)
    return dst


def source_book(path):
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    ws.append(["name", "amount", "when", "double", "flag", "joined"])
    for r in range(2, 40):
        ws.append([f"item {r % 7}", r * 1.25 - 20, dt.datetime(2024, 1, 1, 6, 30) +
                   dt.timedelta(days=r, seconds=r * 37), f"=B{r}*2", r % 3 == 0,
                   f'=A{r}&"-"&B{r}'])
    ws.append(["caf\u00e9 & <b> \u2211", 10**15, dt.date(1999, 12, 31), 1e-7, None, -0.5])
    ws.append([None, None, None, "after gaps"])
    wb.save(path)


class Forbidden:
    def __init__(self, *args):
        raise AssertionError("the pure-Python reader stepped in")


def rows(path, monkeypatch, **kw):
    with monkeypatch.context() as m:
        if native_engine() is not None:
            m.setattr(wb_mod, "RowReader", Forbidden)
        with brindle.load_workbook(path, read_only=True, **kw) as wb:
            return list(wb.worksheets[0].iter_rows(values_only=True))


def matches(value, text):
    if value is None:
        return text == ""
    if isinstance(value, bool):
        return text == ("TRUE" if value else "FALSE")
    if isinstance(value, dt.datetime):
        return math.isclose((value - EPOCH) / dt.timedelta(days=1), float(text), abs_tol=1e-9)
    if isinstance(value, (int, float)):
        return math.isclose(value, float(text), rel_tol=1e-15)
    return value == text


@needs_converter
def test_values_match_gnumerics_own_export(tmp_path, monkeypatch):
    source_book(tmp_path / "brindle.xlsx")
    book = convert(tmp_path / "brindle.xlsx", tmp_path / "gnumeric.xlsx")
    export = convert(book, tmp_path / "export.csv", "-T", "Gnumeric_stf:stf_assistant",
                     "-O", "format=raw")
    with open(export, newline="", encoding="utf-8") as f:
        want = list(csv.reader(f))
    got = rows(book, monkeypatch, data_only=True)
    assert len(got) == len(want)
    for r, (have, text) in enumerate(zip(got, want), 1):
        have = have + (None,) * (len(text) - len(have))
        assert len(have) == len(text), r
        for c, (value, cell) in enumerate(zip(have, text), 1):
            assert matches(value, cell), (r, c, value, cell)
    # Spot checks that the comparison saw every kind of value.
    assert got[1][2] == dt.datetime(2024, 1, 3, 6, 31, 14)
    assert got[1][4] is False and got[2][4] is True and got[1][5] == "item 2--17.5"
    assert got[39][0] == "caf\u00e9 & <b> \u2211" and got[39][2] == dt.datetime(1999, 12, 31)


@needs_converter
def test_formulas_come_back_as_written(tmp_path, monkeypatch):
    source_book(tmp_path / "brindle.xlsx")
    book = convert(tmp_path / "brindle.xlsx", tmp_path / "gnumeric.xlsx")
    got = rows(book, monkeypatch)
    assert [row[3] for row in got[1:39]] == [f"=B{r}*2" for r in range(2, 40)]
    assert got[2][5] == '=A3&"-"&B3'
