"""Driving the C++ formula probe (a test-only program built with the C++ tests) from Python."""

import json
import os
import subprocess
from pathlib import Path

from brindle.formula import Token, Tokenizer, TokenizerError, Translator, TranslatorError
from brindle.utils.cell import get_column_letter

ROOT = Path(__file__).resolve().parents[2]

TYPES = {
    "Literal": Token.LITERAL, "Operand": Token.OPERAND, "Func": Token.FUNC, "Array": Token.ARRAY,
    "Paren": Token.PAREN, "Sep": Token.SEP, "OpPrefix": Token.OP_PRE, "OpInfix": Token.OP_IN,
    "OpPostfix": Token.OP_POST, "Whitespace": Token.WSPACE,
}
SUBTYPES = {
    "None": "", "Text": Token.TEXT, "Number": Token.NUMBER, "Logical": Token.LOGICAL,
    "Error": Token.ERROR, "Range": Token.RANGE, "Open": Token.OPEN, "Close": Token.CLOSE,
    "Arg": Token.ARG, "Row": Token.ROW,
}


def find_probe():
    path = os.environ.get("BRINDLE_FORMULA_PROBE")
    if path:
        return Path(path)
    candidate = ROOT / "build" / "dev" / "tests" / "cpp" / "formula_probe"
    return candidate if candidate.exists() else None


class Probe:
    """One probe process answering record after record."""

    def __init__(self, path):
        self.proc = subprocess.Popen([str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def _ask(self, mode, text, origin=(0, 0), dest=None):
        data = text.encode("utf-8")
        drow, dcol = dest if dest is not None else (0, 0)
        header = f"{mode} {len(data)} {origin[0]} {origin[1]} {drow} {dcol}\n".encode()
        self.proc.stdin.write(header + data + b"\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"formula probe died on {text!r} (exit {self.proc.wait()})")
        return json.loads(line)

    def translate(self, formula, origin, dest):
        """The C++ answer in host terms: ("error", kind, message) or (tokens, outcome)."""
        got = self._ask("T", formula, origin, dest)
        if "error" in got:
            return ("error", *got["error"])
        tokens = [(v, TYPES[t], SUBTYPES[s]) for v, t, s in got["tokens"]]
        if "text" in got:
            outcome = ("text", got["text"])
        else:
            outcome = ("error", *got["terror"])
        assert got["check"] == (outcome[0] == "text"), (formula, origin, dest, got)
        return tokens, outcome

    def float_accepts(self, text):
        return self._ask("F", text)

    def close(self):
        self.proc.stdin.close()
        status = self.proc.wait(timeout=30)
        self.proc.stdout.close()
        assert status == 0


def _error(exc):
    if type(exc) is TokenizerError:
        return ("error", "Tokenizer", str(exc))
    if type(exc) is TranslatorError:
        return ("error", "Translator", str(exc))
    if type(exc) is IndexError and str(exc) == "pop from empty list":
        return ("error", "PopEmpty", "")
    raise exc


def coordinate(pos):
    row, col = pos
    return f"{get_column_letter(col)}{row}"


def host_translate(formula, origin, dest):
    """The host's answer, in the form of Probe.translate."""
    try:
        tokenizer = Tokenizer(formula)
    except (TokenizerError, IndexError) as exc:
        return _error(exc)
    tokens = [(t.value, t.type, t.subtype) for t in tokenizer.items]
    translator = Translator(formula, coordinate(origin))
    try:
        outcome = ("text", translator.translate_formula(None if dest is None else coordinate(dest)))
    except TranslatorError as exc:
        outcome = _error(exc)
    return tokens, outcome
