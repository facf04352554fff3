"""Moving the relative references of a formula, as copying it to another cell does."""

import re

from brindle.formula.tokenizer import Token, Tokenizer
from brindle.utils.cell import MAX_COLUMN, column_index_from_string, coordinate_to_tuple, \
    get_column_letter


class TranslatorError(Exception):
    """The formula cannot be moved: a reference would leave the sheet."""


_COL = r"\$?[A-Za-z]{1,3}"
_ROW = r"\$?[1-9][0-9]{0,6}"
ROW_RANGE_RE = re.compile(rf"({_ROW}):({_ROW})$")
COL_RANGE_RE = re.compile(rf"({_COL}):({_COL})$")
CELL_REF_RE = re.compile(rf"({_COL})({_ROW})$")


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

    @staticmethod
    def translate_row(row, rdelta):
        """Row text moved by `rdelta`; a "$" pins it."""
        if row.startswith("$"):
            return row
        new = int(row) + rdelta
        if new <= 0:
            raise TranslatorError("Formula out of range")
        return str(new)

    @staticmethod
    def translate_col(col, cdelta):
        """Column letters moved by `cdelta` (capitals out); a "$" pins them."""
        if col.startswith("$"):
            return col
        new = column_index_from_string(col) + cdelta
        if not 1 <= new <= MAX_COLUMN:
            raise TranslatorError("Formula out of range")
        return get_column_letter(new)

    @staticmethod
    def strip_ws_name(range_str):
        """The sheet prefix (through the last "!") and the reference after it."""
        if "!" in range_str:
            sheet, _, ref = range_str.rpartition("!")
            return sheet + "!", ref
        return "", range_str

    @classmethod
    def translate_range(cls, range_str, rdelta, cdelta):
        """One range operand with its relative rows and columns moved."""
        prefix, rng = cls.strip_ws_name(range_str)
        match = ROW_RANGE_RE.match(rng)
        if match:
            return (prefix + cls.translate_row(match.group(1), rdelta) + ":"
                    + cls.translate_row(match.group(2), rdelta))
        match = COL_RANGE_RE.match(rng)
        if match:
            return (prefix + cls.translate_col(match.group(1), cdelta) + ":"
                    + cls.translate_col(match.group(2), cdelta))
        if ":" in rng:
            return prefix + ":".join(cls.translate_range(piece, rdelta, cdelta)
                                     for piece in rng.split(":"))
        match = CELL_REF_RE.match(rng)
        if match:
            return (prefix + cls.translate_col(match.group(1), cdelta)
                    + cls.translate_row(match.group(2), rdelta))
        # A defined name, an error literal, a structured reference: nothing to
        # move, and the sheet it belongs to stays with it.
        return range_str

    def translate_formula(self, dest=None, row_delta=0, col_delta=0):
        """The formula as it reads in the cell `dest` (or moved by the given deltas)."""
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
                out.append(self.translate_range(token.value, row_delta, col_delta))
            else:
                out.append(token.value)
        return "".join(out)
