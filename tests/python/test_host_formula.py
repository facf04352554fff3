"""The host formula classes: tokens, translation, array and data-table formulas."""

import pytest
from hypothesis import given, strategies as st

from brindle.formula import (ArrayFormula, DataTableFormula, Token, Tokenizer, TokenizerError,
                             Translator, TranslatorError)
from brindle.utils.cell import coordinate_to_tuple, get_column_letter


@pytest.mark.parametrize("formula", [
    '=SUM(A1:B2)+$C$3*Sheet1!D4&"A1"""', "=IF(A1>=2,{1,2;3,4},-B1%)", "plain text",
    "='my sheet'!A1+1E+3", "=A:A+1:1", "=#REF!+#N/A", "",
])
def test_tokens_give_the_formula_back(formula):
    assert Tokenizer(formula).render() == formula


def test_token_kinds():
    items = Tokenizer('=-SUM("a",B1)%').items
    kinds = [(t.value, t.type, t.subtype) for t in items]
    assert kinds == [
        ("-", Token.OP_PRE, ""), ("SUM(", Token.FUNC, Token.OPEN),
        ('"a"', Token.OPERAND, Token.TEXT), (",", Token.SEP, Token.ARG),
        ("B1", Token.OPERAND, Token.RANGE), (")", Token.FUNC, Token.CLOSE),
        ("%", Token.OP_POST, ""),
    ]


@pytest.mark.parametrize("formula,kinds", [
    ("=1E+5-A1E+5", [("1E+5", Token.OPERAND, Token.NUMBER), ("-", Token.OP_IN, ""),
                     ("A1E", Token.OPERAND, Token.RANGE), ("+", Token.OP_IN, ""),
                     ("5", Token.OPERAND, Token.NUMBER)]),
    ("=(A1,B1);{1,2}", [("(", Token.PAREN, Token.OPEN), ("A1", Token.OPERAND, Token.RANGE),
                        (",", Token.OP_IN, ""), ("B1", Token.OPERAND, Token.RANGE),
                        (")", Token.PAREN, Token.CLOSE), (";", Token.SEP, Token.ROW),
                        ("{", Token.ARRAY, Token.OPEN), ("1", Token.OPERAND, Token.NUMBER),
                        (",", Token.SEP, Token.ARG), ("2", Token.OPERAND, Token.NUMBER),
                        ("}", Token.ARRAY, Token.CLOSE)]),
    ("= \n-Sheet1!#REF!", [(" ", Token.WSPACE, ""), ("-", Token.OP_PRE, ""),
                           ("Sheet1!#REF!", Token.OPERAND, Token.RANGE)]),
    ("=A\nB", [("\n", Token.WSPACE, ""), ("AB", Token.OPERAND, Token.RANGE)]),
    ("=1_0+TRUE+true", [("1_0", Token.OPERAND, Token.NUMBER), ("+", Token.OP_IN, ""),
                        ("TRUE", Token.OPERAND, Token.LOGICAL), ("+", Token.OP_IN, ""),
                        ("true", Token.OPERAND, Token.RANGE)]),
    ("=SUM(A1", [("SUM(", Token.FUNC, Token.OPEN), ("A1", Token.OPERAND, Token.RANGE)]),
    ("=", []),
])
def test_host_token_kinds(formula, kinds):
    assert [(t.value, t.type, t.subtype) for t in Tokenizer(formula).items] == kinds


@pytest.mark.parametrize("formula,message", [
    ('="abc', 'Reached end of formula while parsing string in ="abc'),
    ("='abc", "Reached end of formula while parsing link in ='abc"),
    ("=T[[a]", "Encountered unmatched '[' in =T[[a]"),
    ("=#BAD", "Invalid error code at position 1 in '=#BAD'"),
    ('="ä"&A#N/A', "Unexpected character at position 6 in '=\"ä\"&A#N/A'"),
    ("=A{1}", "Unexpected character at position 2 in '=A{1}'"),
    ("={1,2)", "Mismatched ( and { pair in '={1,2)'"),
])
def test_tokenizer_errors(formula, message):
    with pytest.raises(TokenizerError) as info:
        Tokenizer(formula)
    assert str(info.value) == message


def test_unmatched_closer_is_an_index_error():
    with pytest.raises(IndexError, match="pop from empty list"):
        Tokenizer("=A1)")


@pytest.mark.parametrize("formula,origin,dest,expected", [
    ("=A1+$B$2+C$3+$D4", "E5", "F7", "=B3+$B$2+D$3+$D6"),
    ('=SUM(Sheet1!A1:B2)&"A1"', "A1", "C1", '=SUM(Sheet1!C1:D2)&"A1"'),
    ("=A:B+1:2+$A:$A", "A1", "B3", "=B:C+3:4+$A:$A"),
    ("=MyName+A1", "A2", "A3", "=MyName+A2"),
    ("not a formula", "A1", "Z9", "not a formula"),
    ("=Sheet1!MyName+'a b'!R1C1", "A1", "C3", "=Sheet1!MyName+'a b'!R1C1"),
    ("=a1  +  $b2", "A1", None, "=A1 + $b2"),
    ("=", "A1", "B2", ""),
])
def test_translation(formula, origin, dest, expected):
    assert Translator(formula, origin).translate_formula(dest) == expected


@pytest.mark.parametrize("formula,origin,dest", [
    ("=A1", "A2", "A1"), ("=A1", "B1", "A1"), ("=ZZZ1", "A1", "B1"),
])
def test_translation_out_of_range(formula, origin, dest):
    with pytest.raises(TranslatorError, match="Formula out of range"):
        Translator(formula, origin).translate_formula(dest)


cols = st.integers(1, 200)
rows = st.integers(1, 5000)


@given(cols, rows, cols, rows, cols, rows)
def test_translation_there_and_back(c0, r0, c1, r1, c2, r2):
    origin = f"{get_column_letter(c0)}{r0}"
    dest = f"{get_column_letter(c0 + c1)}{r0 + r1}"
    ref = f"{get_column_letter(c2)}{r2}"
    formula = f"=SUM({ref}:$A${r2})*{ref}"
    moved = Translator(formula, origin).translate_formula(dest)
    assert Translator(moved, dest).translate_formula(origin) == formula
    row, col = coordinate_to_tuple(dest)
    assert (row, col) == (r0 + r1, c0 + c1)


def test_formula_values():
    assert ArrayFormula(ref=None, text="=A1") == ArrayFormula(None, "=A1")
    assert dict(ArrayFormula("A1:B2", "=X")) == {"t": "array", "ref": "A1:B2"}
    table = DataTableFormula(ref="C3:D4", dt2D="1", r1="A1", r2="A2", t="dataTable")
    assert dict(table) == {"t": "dataTable", "ref": "C3:D4", "dt2D": "1", "r1": "A1",
                           "r2": "A2"}
    assert DataTableFormula(**{}).ref is None
