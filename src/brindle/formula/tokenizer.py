"""Splitting a cell formula into tokens.

This is the small core that the translator needs: string literals, quoted
sheet names, error literals, operators, parentheses, function calls, array
braces, separators and operands. It keeps every character of the formula, so
that joining the token values gives the formula back.
"""


class TokenizerError(Exception):
    """The formula text cannot be split into tokens."""


class Token:
    """One token: its text, its type and its subtype."""

    __slots__ = ("value", "type", "subtype")

    LITERAL = "LITERAL"
    OPERAND = "OPERAND"
    FUNC = "FUNC"
    ARRAY = "ARRAY"
    PAREN = "PAREN"
    SEP = "SEP"
    OP_PRE = "OPERATOR-PREFIX"
    OP_IN = "OPERATOR-INFIX"
    OP_POST = "OPERATOR-POSTFIX"
    WSPACE = "WHITE-SPACE"

    # Subtypes.
    TEXT = "TEXT"
    NUMBER = "NUMBER"
    LOGICAL = "LOGICAL"
    ERROR = "ERROR"
    RANGE = "RANGE"
    OPEN = "OPEN"
    CLOSE = "CLOSE"
    ARG = "ARG"
    ROW = "ROW"

    def __init__(self, value, type_, subtype=""):
        self.value = value
        self.type = type_
        self.subtype = subtype

    def __repr__(self):
        return f"Token({self.value!r}, {self.type!r}, {self.subtype!r})"


_ERRORS = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
           "#GETTING_DATA")
_INFIX = "+-*/^&=><"
_TWO_CHAR = ("<=", ">=", "<>")


def _operand(text):
    if text.upper() in ("TRUE", "FALSE"):
        return Token(text, Token.OPERAND, Token.LOGICAL)
    try:
        float(text)
    except ValueError:
        return Token(text, Token.OPERAND, Token.RANGE)
    return Token(text, Token.OPERAND, Token.NUMBER)


class Tokenizer:
    """Tokens of `formula` in `items`; a text not starting with "=" is one literal."""

    def __init__(self, formula):
        self.formula = formula
        self.items = []
        self._parse()

    def _parse(self):
        f = self.formula
        if not f.startswith("="):
            if f:
                self.items.append(Token(f, Token.LITERAL))
            return
        items = self.items
        stack = []  # open tokens: FUNC / PAREN / ARRAY
        pending = []
        i, n = 1, len(f)

        def flush():
            if pending:
                items.append(_operand("".join(pending)))
                pending.clear()

        while i < n:
            ch = f[i]
            if ch == '"' or ch == "'":
                end = i + 1
                while True:
                    end = f.find(ch, end)
                    if end < 0:
                        raise TokenizerError(f"Reached end of formula while parsing {ch} in {f}")
                    if f.startswith(ch * 2, end):
                        end += 2
                        continue
                    break
                if ch == '"':
                    flush()
                    items.append(Token(f[i:end + 1], Token.OPERAND, Token.TEXT))
                else:
                    pending.append(f[i:end + 1])  # a quoted sheet name starts a reference
                i = end + 1
            elif ch == "[":
                end = f.find("]", i)
                if end < 0:
                    raise TokenizerError(f"Encountered unmatched '[' in {f}")
                pending.append(f[i:end + 1])
                i = end + 1
            elif ch == "#" and not pending:
                for err in _ERRORS:
                    if f.startswith(err, i):
                        items.append(Token(err, Token.OPERAND, Token.ERROR))
                        i += len(err)
                        break
                else:
                    raise TokenizerError(f"Invalid error code at position {i} in '{f}'")
            elif ch in "eE" and pending and "".join(pending).replace(".", "").isdigit() \
                    and i + 1 < n and f[i + 1] in "+-":
                pending.append(f[i:i + 2])  # scientific notation: 1E+3 is one number
                i += 2
            elif ch.isspace():
                flush()
                j = i
                while j < n and f[j].isspace():
                    j += 1
                items.append(Token(ch, Token.WSPACE))
                i = j
            elif f.startswith(_TWO_CHAR, i):
                flush()
                items.append(Token(f[i:i + 2], Token.OP_IN))
                i += 2
            elif ch in _INFIX:
                flush()
                prev = next((t for t in reversed(items) if t.type != Token.WSPACE), None)
                prefix = ch in "+-" and (
                    prev is None or prev.type in (Token.OP_IN, Token.OP_PRE, Token.SEP)
                    or prev.subtype == Token.OPEN)
                items.append(Token(ch, Token.OP_PRE if prefix else Token.OP_IN))
                i += 1
            elif ch == "%":
                flush()
                items.append(Token(ch, Token.OP_POST))
                i += 1
            elif ch == "(":
                if pending:
                    tok = Token("".join(pending) + "(", Token.FUNC, Token.OPEN)
                    pending.clear()
                else:
                    tok = Token("(", Token.PAREN, Token.OPEN)
                items.append(tok)
                stack.append(tok)
                i += 1
            elif ch == "{":
                flush()
                tok = Token("{", Token.ARRAY, Token.OPEN)
                items.append(tok)
                stack.append(tok)
                i += 1
            elif ch in ")}":
                flush()
                want = Token.ARRAY if ch == "}" else (Token.FUNC, Token.PAREN)
                if not stack or stack[-1].type not in (want if isinstance(want, tuple) else (want,)):
                    raise TokenizerError(f"Mismatched ( and {{ pair in '{f}'")
                items.append(Token(ch, stack.pop().type, Token.CLOSE))
                i += 1
            elif ch in ",;":
                flush()
                in_array = stack and stack[-1].type == Token.ARRAY
                if ch == ";" and not in_array:
                    raise TokenizerError(f"Unexpected ';' in '{f}'")
                sub = Token.ROW if ch == ";" else Token.ARG
                items.append(Token(ch, Token.SEP, sub) if stack else Token(ch, Token.OP_IN))
                i += 1
            else:
                pending.append(ch)
                i += 1
        flush()
        if stack:
            raise TokenizerError(f"Mismatched ( and {{ pair in '{f}'")

    def render(self):
        """The formula text again, from the tokens."""
        if not self.items:
            return ""
        if self.items[0].type == Token.LITERAL:
            return self.items[0].value
        return "=" + "".join(t.value for t in self.items)
