"""Moving the relative references of a formula, as copying it to another cell does."""

import re

from brindle.formula.tokenizer import Token, Tokenizer
from brindle.utils.cell import column_index_from_string, coordinate_to_tuple, \
    get_column_letter
from brindle.utils.limits import MAX_COLUMN_LETTERS


class TranslatorError(Exception):
    """The formula cannot be moved: a reference would leave the sheet."""


_COLUMN = r"\$?[A-Za-z]{1,3}"
_ROW = r"\$?[1-9][0-9]{0,6}"
_WHOLE_ROWS = re.compile(rf"({_ROW}):({_ROW})$")
_WHOLE_COLUMNS = re.compile(rf"({_COLUMN}):({_COLUMN})$")
_CELL = re.compile(rf"({_COLUMN})({_ROW})$")


def _move_row(row, delta):
    """Row text moved by `delta`; a "$" pins it."""
    if row.startswith("$"):
        return row
    new = int(row) + delta
    if new <= 0:
        raise TranslatorError("Formula out of range")
    return str(new)


def _move_column(letters, delta):
    """Column letters moved by `delta`, in capitals; a "$" pins them (case kept)."""
    if letters.startswith("$"):
        return letters
    new = column_index_from_string(letters) + delta
    if not 1 <= new <= MAX_COLUMN_LETTERS:
        raise TranslatorError("Formula out of range")
    return get_column_letter(new)


def _move_reference(text, rdelta, cdelta):
    """One range operand with its relative rows and columns moved."""
    sheet, bang, ref = text.rpartition("!")
    prefix = sheet + bang
    if m := _WHOLE_ROWS.match(ref):
        return prefix + _move_row(m[1], rdelta) + ":" + _move_row(m[2], rdelta)
    if m := _WHOLE_COLUMNS.match(ref):
        return prefix + _move_column(m[1], cdelta) + ":" + _move_column(m[2], cdelta)
    if ":" in ref:
        return prefix + ":".join(_move_reference(p, rdelta, cdelta) for p in ref.split(":"))
    if m := _CELL.match(ref):
        return prefix + _move_column(m[1], cdelta) + _move_row(m[2], rdelta)
    # A defined name, an error literal, a structured reference: nothing to
    # move, and the sheet it belongs to stays with it.
    return text


class Translator:
    """The formula of the cell `origin`, ready to be moved to other cells.

    `origin` is an A1-style reference, or None for a formula that is only
    ever moved by explicit deltas.
    """

    def __init__(self, formula, origin):
        self.formula = formula
        self.origin = origin
        self.tokenizer = Tokenizer(formula)

    def get_tokens(self):
        return list(self.tokenizer.items)

    def translate_formula(self, dest=None, row_delta=0, col_delta=0):
        """The formula as it reads in the cell `dest` (or moved by the given deltas).

        The text is rebuilt from the tokens, so whitespace runs come out as
        their first character and relative column letters in capitals.
        """
        items = self.tokenizer.items
        if not items:
            return ""
        if items[0].type == Token.LITERAL:
            return items[0].value
        if dest is not None:
            orow, ocol = coordinate_to_tuple(self.origin)
            drow, dcol = coordinate_to_tuple(dest)
            row_delta, col_delta = drow - orow, dcol - ocol
        out = ["="]
        for token in items:
            if token.type == Token.OPERAND and token.subtype == Token.RANGE:
                out.append(_move_reference(token.value, row_delta, col_delta))
            else:
                out.append(token.value)
        return "".join(out)
