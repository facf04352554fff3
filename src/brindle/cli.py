"""The `brindle` command line: inspect workbooks, convert to and from CSV, and
compare the native engine with the pure-Python paths.

    python -m brindle info FILE
    python -m brindle to-csv FILE [--sheet NAME | --all] [-o OUT] [--formulas]
    python -m brindle from-csv CSV... -o OUT.xlsx [--numbers] [--dates]
    python -m brindle bench [--cells N]

Long work shows a progress bar on stderr when stderr is a terminal. Exit
status is 0 on success and 1, with one line on stderr, for a bad file or
argument.
"""

import argparse
import csv
import datetime as dt
import os
import re
import sys
import time
import zipfile

import brindle
from brindle.utils.cell import get_column_letter

PROG = "brindle"


class UsageError(Exception):
    """A bad argument or file, reported as one line and exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def _progress(total=None, unit="rows", desc=None):
    """A tqdm bar on a terminal, a no-op otherwise (and without tqdm)."""
    if not sys.stderr.isatty():
        return _Quiet()
    try:
        from tqdm import tqdm
    except ImportError:
        return _Quiet()
    return tqdm(total=total, unit=f" {unit}", desc=desc, file=sys.stderr, leave=False,
                dynamic_ncols=True, mininterval=0.2)


class _Quiet:
    def update(self, n=1):
        pass

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _open(path, data_only=False):
    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file")
    try:
        return brindle.load_workbook(path, read_only=True, data_only=data_only)
    except brindle.InvalidFileError as exc:
        raise UsageError(str(exc)) from exc  # names the file and says what it is
    except (zipfile.BadZipFile, KeyError, ValueError, OSError) as exc:
        raise UsageError(f"{path}: not a readable xlsx workbook ({exc})") from exc


def _text(value):
    """A cell value as CSV text: dates in ISO 8601 (the date alone at
    midnight), booleans as TRUE/FALSE."""
    if value is None:
        return ""
    if value is True:
        return "TRUE"
    if value is False:
        return "FALSE"
    if isinstance(value, dt.datetime) and value.time() == dt.time():
        # A workbook keeps no difference between a date and midnight of it.
        return value.date().isoformat()
    if isinstance(value, (dt.date, dt.time)):
        return value.isoformat()
    if isinstance(value, dt.timedelta):
        return _duration(value)
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e16:
        return repr(value)
    return str(value)


def _duration(value):
    """A duration as a cell formatted [h]:mm:ss shows it: whole hours past
    24, milliseconds (what a workbook keeps) only when there are some."""
    ms = value // dt.timedelta(milliseconds=1)
    sign = "-" if ms < 0 else ""
    seconds, ms = divmod(abs(ms), 1000)
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    text = f"{sign}{hours}:{minutes:02d}:{seconds:02d}"
    return f"{text}.{ms:03d}" if ms else text


def cmd_info(args, out):
    with _open(args.file) as wb:
        out.write(f"file: {args.file}\n")
        out.write(f"date system: {'1904' if wb.epoch.year == 1904 else '1900'}\n")
        out.write(f"sheets: {len(wb.sheetnames)}\n")
        for ws in wb.worksheets:
            cells = rows = 0
            max_row = max_col = 0
            with _progress(desc=ws.title) as bar:
                for idx, row in enumerate(ws.iter_rows(values_only=True), 1):
                    bar.update()
                    filled = [i for i, v in enumerate(row, 1) if v is not None]
                    if filled:
                        cells += len(filled)
                        rows += 1
                        max_row = idx
                        max_col = max(max_col, filled[-1])
            dims = f"A1:{get_column_letter(max_col)}{max_row}" if cells else "A1"
            out.write(f"  {ws.title}: {dims}, {cells} cells in {rows} rows\n")
        names = wb.defined_names
        out.write(f"defined names: {len(names)}\n")
        for name, scope, text in names:
            where = f" (sheet {scope})" if scope is not None else ""
            out.write(f"  {name}{where} = {text}\n")
    return 0


def _write_csv(ws, stream):
    writer = csv.writer(stream, lineterminator="\n")
    with _progress(desc=ws.title) as bar:
        for row in ws.iter_rows(values_only=True):
            writer.writerow([_text(v) for v in row])
            bar.update()


def _safe_name(title):
    return re.sub(r"[^\w.-]+", "_", title).strip("_") or "sheet"


def cmd_to_csv(args, out):
    with _open(args.file, data_only=not args.formulas) as wb:
        if args.all:
            folder = args.output or "."
            if os.path.exists(folder) and not os.path.isdir(folder):
                raise UsageError(f"{folder}: not a directory (--all writes one CSV per sheet)")
            os.makedirs(folder, exist_ok=True)
            stem = os.path.splitext(os.path.basename(args.file))[0]
            for ws in wb.worksheets:
                path = os.path.join(folder, f"{stem}-{_safe_name(ws.title)}.csv")
                with open(path, "w", newline="", encoding="utf-8") as f:
                    _write_csv(ws, f)
            return 0
        if args.sheet is None:
            if not wb.sheetnames:
                raise UsageError(f"{args.file}: the workbook has no worksheets")
            ws = wb.worksheets[0]
        elif args.sheet in wb.sheetnames:
            ws = wb[args.sheet]
        else:
            raise UsageError(f"{args.file}: no sheet named {args.sheet!r} "
                             f"(sheets: {', '.join(wb.sheetnames)})")
        if args.output and args.output != "-":
            with open(args.output, "w", newline="", encoding="utf-8") as f:
                _write_csv(ws, f)
        else:
            _write_csv(ws, out)
    return 0


_NUMBER = re.compile(r"[+-]?(\d+\.?\d*([eE][+-]?\d+)?|\.\d+([eE][+-]?\d+)?)\Z")
_INT = re.compile(r"[+-]?\d{1,15}\Z")


def _convert(text, numbers, dates):
    if numbers and _NUMBER.match(text):
        if _INT.match(text):
            return int(text)
        value = float(text)
        if value == value and abs(value) != float("inf"):
            return value
    if dates and len(text) >= 10 and text[4:5] == "-" and text[7:8] == "-":
        try:
            if len(text) == 10:
                return dt.date.fromisoformat(text)
            return dt.datetime.fromisoformat(text)
        except ValueError:
            pass
    return text


def _sheet_title(path, taken):
    base = re.sub(r"[\\/*?:\[\]]", "_", os.path.splitext(os.path.basename(path))[0])
    base = base.strip("'")[:31] or "Sheet"
    title, n = base, 1
    while title.casefold() in taken:
        n += 1
        suffix = f" ({n})"
        title = base[:31 - len(suffix)] + suffix
    taken.add(title.casefold())
    return title


def cmd_from_csv(args, out):
    if not args.output.lower().endswith(".xlsx"):
        raise UsageError(f"{args.output}: the output name must end in .xlsx")
    for path in args.csv:
        if not os.path.isfile(path):
            raise UsageError(f"{path}: no such file")
    wb = brindle.Workbook(write_only=True)
    taken = set()
    for path in args.csv:
        ws = wb.create_sheet(_sheet_title(path, taken))
        try:
            with open(path, newline="", encoding="utf-8-sig") as f, _progress(desc=ws.title) as bar:
                for record in csv.reader(f):
                    ws.append([_convert(t, args.numbers, args.dates) if t != "" else None
                               for t in record])
                    bar.update()
        except (UnicodeDecodeError, csv.Error) as exc:
            raise UsageError(f"{path}: not a readable UTF-8 CSV file ({exc})") from exc
    if not args.csv:
        raise UsageError("no CSV files given")
    wb.save(args.output)
    return 0


def cmd_bench(args, out):
    import tempfile

    cells = args.cells
    if cells < 10:
        raise UsageError("--cells must be at least 10")
    n_rows = cells // 10
    start = dt.date(2024, 1, 1)

    def row(r):
        return [r, r * 0.5, f"name {r % 500}", start + dt.timedelta(days=r % 3650), r % 2 == 0,
                -r, r / 7, f"id-{r}", r * 1000, r % 3 == 0]

    native = brindle.native_available()
    out.write(f"{n_rows * 10:,} cells; native engine: "
              f"{'loaded' if native else native.reason}\n")
    times = {}
    with tempfile.TemporaryDirectory() as d:
        for use_native in ((True, False) if native else (False,)):
            label = "native" if use_native else "pure Python"
            path = os.path.join(d, f"{use_native}.xlsx")
            t0 = time.perf_counter()
            wb = brindle.Workbook(write_only=True, native=use_native)
            ws = wb.create_sheet("Data")
            with _progress(total=n_rows, desc=f"write ({label})") as bar:
                for r in range(n_rows):
                    ws.append(row(r))
                    bar.update()
            wb.save(path)
            t1 = time.perf_counter()
            with brindle.load_workbook(path, read_only=True, native=use_native) as rb:
                with _progress(total=n_rows, desc=f"read ({label})") as bar:
                    for _ in rb["Data"].iter_rows(values_only=True):
                        bar.update()
            t2 = time.perf_counter()
            times[label] = (t1 - t0, t2 - t1)
            out.write(f"  {label:12s} write {t1 - t0:7.3f} s   read {t2 - t1:7.3f} s\n")
    if len(times) == 2:
        (nw, nr), (pw, pr) = times["native"], times["pure Python"]
        out.write(f"  native is {pw / nw:.1f}x faster writing, {pr / nr:.1f}x reading\n")
    return 0


def build_parser():
    parser = _Parser(prog=PROG, description="Read, write and inspect xlsx workbooks.")
    parser.add_argument("--version", action="version", version=f"{PROG} {brindle.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    p = sub.add_parser("info", help="sheets, dimensions, cell counts, date system, defined names")
    p.add_argument("file")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("to-csv", help="write a sheet (or every sheet) as CSV")
    p.add_argument("file")
    which = p.add_mutually_exclusive_group()
    which.add_argument("--sheet", help="the sheet to convert (default: the first)")
    which.add_argument("--all", action="store_true",
                       help="every sheet, one CSV each, into the directory -o (default: .)")
    p.add_argument("-o", "--output", help="output file (default: standard output)")
    p.add_argument("--formulas", action="store_true",
                   help="formula cells as their formula text instead of their cached value")
    p.set_defaults(run=cmd_to_csv)

    p = sub.add_parser("from-csv", help="one workbook with a sheet per CSV file")
    p.add_argument("csv", nargs="+")
    p.add_argument("-o", "--output", required=True)
    p.add_argument("--numbers", action="store_true", help="store numeric text as numbers")
    p.add_argument("--dates", action="store_true", help="store ISO 8601 dates as dates")
    p.set_defaults(run=cmd_from_csv)

    p = sub.add_parser("bench", help="native and pure-Python paths side by side")
    p.add_argument("--cells", type=int, default=200_000)
    p.set_defaults(run=cmd_bench)
    return parser


def main(argv=None):
    try:
        args = build_parser().parse_args(argv)
        return args.run(args, sys.stdout)
    except UsageError as exc:
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # Output piped into a program that stopped reading (`| head`).
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 0
    except (OSError, zipfile.BadZipFile, ValueError) as exc:
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 1


if __name__ == "__main__":
    sys.exit(main())
