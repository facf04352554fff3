"""The C++ formula tokenizer and translator against the host's pure-Python ones."""

import pytest
from hypothesis import given, strategies as st

from formula_probe import Probe, find_probe, host_translate

PROBE = find_probe()
pytestmark = pytest.mark.skipif(PROBE is None, reason="formula probe not built")


@pytest.fixture(scope="module")
def probe():
    p = Probe(PROBE)
    yield p
    p.close()


def check(probe, formula, origin, dest):
    native = probe.translate(formula, origin, dest)
    if native[:2] == ("error", "NeedPython"):
        # Only Unicode digit and space rules are left to the host.
        assert any(ord(c) > 127 for c in formula)
        return
    assert native == host_translate(formula, origin, dest), (formula, origin, dest)


# Pieces that formulas are built from: references of every shape, with and
# without sheets, and the characters the tokenizer treats specially.
def _ref_part():
    letters = st.text(st.sampled_from("AaBZzXFDq"), min_size=1, max_size=4)
    digits = st.text(st.sampled_from("0123456789"), min_size=1, max_size=8)
    pin = st.sampled_from(["", "$"])
    return st.builds(lambda a, b, c, d: a + b + c + d, pin, letters, pin, digits) | \
        st.builds(lambda a, b: a + b, pin, letters) | st.builds(lambda a, b: a + b, pin, digits)


sheet = st.sampled_from(["", "", "Sheet1!", "'My Sheet'!", "'it''s'!", "[1]Sheet2!", "'Blätter'!",
                         "a!b!"])
ref = _ref_part()
reference = st.builds(lambda s, a: s + a, sheet, ref) | \
    st.builds(lambda s, a, b: s + a + ":" + b, sheet, ref, ref) | \
    st.builds(lambda s, a, b, c: s + a + ":" + b + ":" + c, sheet, ref, ref, ref)
fixed = st.sampled_from([
    "1", "1.5", "1E+5", "2.5e-3", "1e", "1_000", "1__0", ".5", "5.", "inf", "NaN", "0E+1",
    "TRUE", "FALSE", "true", "MyName", "R1C1", "T[[#This Row],[a]]", "[", "]", "[[a]",
    '"abc"', '"a""b"', '""', '"', '"A1"', "'", "'x'", "!", ":", "$", "#REF!", "#N/A", "#DIV/0!",
    "#NULL!", "#VALUE!", "#NAME?", "#NUM!", "#GETTING_DATA", "#BAD", "#", "SUM(", "IF(", "(", ")",
    "{", "}", ",", ";", "+", "-", "*", "/", "^", "&", "=", ">", "<", "%", ">=", "<=", "<>",
    " ", "  ", "\n", " \n ", "\t", "\r", "\x0b", "\x1c", "\x7f", "ä", "€", "١", "\u00a0", "\u3000",
])
other = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=3)
piece = st.one_of(reference, reference, fixed, fixed, fixed, other)
formula = st.builds(lambda head, parts: head + "".join(parts),
                    st.sampled_from(["=", "=", "=", "=", "", "=="]),
                    st.lists(piece, max_size=12))

near = st.integers(1, 40)
position = st.tuples(st.one_of(near, st.integers(1, 3_000_000)),
                     st.one_of(near, st.integers(1, 18278), st.sampled_from([16384, 18277, 18278])))


@given(formula, position, st.none() | position)
def test_generated_formulas(probe, text, origin, dest):
    check(probe, text, origin, dest)


@pytest.mark.parametrize("text", [
    "=SUM(A1, B2)", "=(A1,B1)", "={1,2;3,4}", "=1 -1", "=-1", "=1E+5", "=A1E+5", "='My Sheet'!A1",
    "=Sheet1!#REF!", "=A1)", "=(A1}", "=#BAD", '="abc', "=1_000+1__0", "abc", "=A\nB", "=",
    "", '=A:"x"', "=MyName+Sheet1!MyName", "=a1  +  b2", "=$a1:c$2+$1:2+A:$C", "=ZZZ1+A1048576",
    "=SUM(Sheet2!A1:B2:C3)", "='Blätter'!A1", "=\x1c1+\t1", "=1e1_0*inf",
])
@pytest.mark.parametrize("origin,dest", [((1, 1), None), ((3, 3), (1, 1)), ((1, 1), (7, 18277))])
def test_table(probe, text, origin, dest):
    check(probe, text, origin, dest)


def _float_accepts(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


@given(st.text(st.sampled_from("0123456789+-._eEinfINFtyaA \t\n\x0b\x0c\r\x1cx"), max_size=10))
def test_number_text_matches_float(probe, text):
    assert probe.float_accepts(text) == _float_accepts(text), repr(text)
