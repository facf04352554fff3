"""Type information: the engine's stub says what the engine accepts, and a
program using the public API passes `mypy --strict`."""

import ast
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import brindle._brindle as engine

STUB = os.path.join(os.path.dirname(engine.__file__), "_brindle.pyi")


def _stub_signatures():
    """{qualified name: [(parameter name, kind, has default)]} from the stub."""
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    out = {}

    def params(fn, drop_first):
        a = fn.args
        names = []
        positional = a.posonlyargs + a.args
        defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
        for arg, default in zip(positional, defaults):
            names.append((arg.arg, "positional", default is not None))
        if a.vararg:
            names.append((a.vararg.arg, "var_positional", False))
        for arg, default in zip(a.kwonlyargs, a.kw_defaults):
            names.append((arg.arg, "keyword_only", default is not None))
        if a.kwarg:
            names.append((a.kwarg.arg, "var_keyword", False))
        return names[1:] if drop_first else names

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = params(node, False)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    name = "__init__" if item.name == "__new__" else item.name
                    out[f"{node.name}.{name}"] = params(item, True)
    return out


def _kind(p):
    return {inspect.Parameter.VAR_POSITIONAL: "var_positional",
            inspect.Parameter.VAR_KEYWORD: "var_keyword",
            inspect.Parameter.KEYWORD_ONLY: "keyword_only"}.get(p.kind, "positional")


def _module_signatures():
    out = {}
    for name, obj in vars(engine).items():
        if name.startswith("__") or name == "NativeFallback":
            continue
        if inspect.isclass(obj):
            out[f"{name}.__init__"] = inspect.signature(obj)
            for attr, member in vars(obj).items():
                if attr.startswith("__") and attr != "__reversed__":
                    continue
                if callable(member):
                    sig = inspect.signature(member)
                    params = list(sig.parameters.values())[1:]
                    out[f"{name}.{attr}"] = sig.replace(parameters=params)
        elif callable(obj):
            out[name] = inspect.signature(obj)
    return out


def test_stub_matches_the_engine():
    stub = _stub_signatures()
    for qualname, sig in _module_signatures().items():
        assert qualname in stub, f"{qualname} is missing from the stub"
        got = [(p.name, _kind(p), p.default is not p.empty) for p in sig.parameters.values()]
        assert got == stub[qualname], qualname


# mypy is a development tool, not a dependency: without it (a user's machine)
# this skips; the development environment installs it, and under CI any skip
# fails the run.
@pytest.mark.skipif(shutil.which("mypy") is None and not os.environ.get("BRINDLE_IN_DEVENV"),
                    reason="mypy is not installed")
def test_public_api_passes_mypy_strict(tmp_path):
    program = tmp_path / "sample.py"
    program.write_text(textwrap.dedent("""
        import datetime
        import brindle
        from brindle import _brindle

        def main(path: str) -> int:
            wb = brindle.Workbook(write_only=True)
            ws = wb.create_sheet("Data")
            ws.append([1, 2.5, "x", datetime.date(2024, 1, 1)])
            wb.save(path)
            status = brindle.native_available()
            if not status:
                print(status.reason)
            with brindle.load_workbook(path, read_only=True) as ro:
                for values in ro["Data"].iter_rows(values_only=True):
                    print(values)
            book = brindle.load_workbook(path)
            sheet = book["Data"]
            if isinstance(sheet, brindle.Worksheet):
                cell = sheet.cell(1, 1)
                cell.value = cell.value
                print(cell.coordinate, cell.number_format, sheet.max_row, sheet.calculate_dimension())
            book.properties.title = "Report"
            for dn in book.defined_names:
                print(dn.name, dn.value, dn.scope)
            print([cs.title for cs in book.chartsheets], book.active)
            book.move_sheet("Data", 0)
            book.save(path)
            store = _brindle.CellStore()
            n: int = len(store)
            return n

        main("out.xlsx")
        """))
    env = dict(os.environ, MYPYPATH=os.path.abspath(os.path.join(os.path.dirname(__file__),
                                                                 "..", "..", "src")))
    # Imported modules are checked as an installed package is: their own
    # internals are not reported, but every call the program makes must be
    # typed.
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                        "--follow-imports=silent",
                        "--cache-dir", str(tmp_path / ".mypy"), str(program)],
                       capture_output=True, text=True, env=env, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
