"""Moving the relative references of a formula, as copying it to another cell does."""

import re

from brindle.formula.tokenizer import Token, Tokenizer
from brindle.utils.cell import MAX_COLUMN, column_index_from_string, coordinate_to_tuple, \
    get_column_letter


class TranslatorError(Exception):
    """The formula cannot be moved: a reference would leave the sheet."""


# A reference part: a cell, a whole column or a whole row, each with "$" pins.
_CELL = re.compile(r"(\$?)([A-Za-z]{1,3})(\$?)(\d+)$")
_COL = re.compile(r"(\$?)([A-Za-z]{1,3})$")
_ROW = re.compile(r"(\$?)(\d+)$")


def _shift_row(pin, row, delta):
    """The row text after the move; a "$" pins it."""
    if pin:
        return row
    new = int(row) + delta
    if new < 1:
        raise TranslatorError("Formula out of range")
    return str(new)


def _shift_col(pin, letters, delta):
    if pin:
        return letters
    new = column_index_from_string(letters) + delta
    if not 1 <= new <= MAX_COLUMN:
        raise TranslatorError("Formula out of range")
    return get_column_letter(new)


def _shift_part(part, rdelta, cdelta, whole):
    """`whole` is "col" or "row" when `part` is one end of a whole-column or whole-row range."""
    m = _CELL.match(part)
    if m:
        cpin, letters, rpin, row = m.groups()
        return cpin + _shift_col(cpin, letters, cdelta) + rpin + _shift_row(rpin, row, rdelta)
    if whole == "col":
        pin, letters = _COL.match(part).groups()
        return pin + _shift_col(pin, letters, cdelta)
    if whole == "row":
        pin, row = _ROW.match(part).groups()
        return pin + _shift_row(pin, row, rdelta)
    return part  # a defined name, a table reference, ...


def _shift_range(text, rdelta, cdelta):
    sheet, bang, ref = text.rpartition("!")
    pieces = ref.split(":")
    if len(pieces) == 2:
        kinds = [("col" if _COL.match(p) else "row" if _ROW.match(p) else None) for p in pieces]
        whole = kinds[0] if kinds[0] == kinds[1] else None
    else:
        whole = None
    moved = ":".join(_shift_part(p, rdelta, cdelta, whole) for p in pieces)
    return sheet + bang + moved


class Translator:
    """The formula of the cell `origin`, ready to be moved to other cells."""

    def __init__(self, formula, origin):
        self.formula = formula
        self.origin = origin
        self.tokenizer = Tokenizer(formula)

    def get_tokens(self):
        return list(self.tokenizer.items)

    def translate_formula(self, dest=None, row_delta=0, col_delta=0):
        """The formula as it reads in the cell `dest` (or moved by the given deltas)."""
        items = self.tokenizer.items
        if not items or items[0].type == Token.LITERAL:
            return self.formula
        if dest is not None:
            if self.origin is None:
                raise TranslatorError("Translator has no origin to move from")
            orow, ocol = coordinate_to_tuple(self.origin)
            drow, dcol = coordinate_to_tuple(dest)
            row_delta, col_delta = drow - orow, dcol - ocol
        out = ["="]
        for tok in items:
            if tok.type == Token.OPERAND and tok.subtype == Token.RANGE:
                out.append(_shift_range(tok.value, row_delta, col_delta))
            else:
                out.append(tok.value)
        return "".join(out)
