"""Splitting a cell formula into tokens.

A formula that does not start with "=" is one literal token. Otherwise the
text after the "=" is read left to right: strings, quoted sheet names,
bracketed (structured and external) references and error literals are taken
whole; operators, parentheses, function calls, array braces and separators
become tokens of their own; everything else collects into operands. Runs of
spaces and line feeds become one whitespace token holding their first
character.
"""

import re


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

    @classmethod
    def operand(cls, value):
        """An operand token, its subtype read from the text."""
        if value.startswith('"'):
            subtype = cls.TEXT
        elif value.startswith("#"):
            subtype = cls.ERROR
        elif value in ("TRUE", "FALSE"):
            subtype = cls.LOGICAL
        else:
            try:
                float(value)
            except ValueError:
                subtype = cls.RANGE
            else:
                subtype = cls.NUMBER
        return cls(value, cls.OPERAND, subtype)

    @classmethod
    def bracket(cls, value, func=False):
        """An opening or closing bracket: "{" "}", "(" ")", or a function's "NAME(" and ")"."""
        if func:
            type_ = cls.FUNC
        elif value in "{}":
            type_ = cls.ARRAY
        elif value in "()":
            type_ = cls.PAREN
        else:
            type_ = cls.FUNC
        return cls(value, type_, cls.CLOSE if value in ")}" else cls.OPEN)

    def closer(self):
        """The token that closes this opening bracket."""
        return self.bracket("}" if self.type == self.ARRAY else ")", func=self.type == self.FUNC)

    def __eq__(self, other):
        if not isinstance(other, Token):
            return NotImplemented
        return (self.value, self.type, self.subtype) == (other.value, other.type, other.subtype)

    def __repr__(self):
        return f"Token({self.value!r}, {self.type!r}, {self.subtype!r})"


# A mantissa such as "1E" or "2.5e": a sign after it belongs to the number.
_MANTISSA = re.compile(r"[1-9](\.[0-9]+)?[Ee]$")
_ERROR_LITERALS = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                   "#GETTING_DATA")
_ENDERS = frozenset(",;}) +-*/^&=><%")  # characters that end a pending operand
_OPERATORS = frozenset("+-*/^&=><%")


class Tokenizer:
    """Tokens of `formula` in `items`."""

    def __init__(self, formula):
        self.formula = formula
        self.items = []
        self._open = []  # FUNC / PAREN / ARRAY tokens not yet closed
        self._pending = []  # pieces of the operand being read
        self._pos = 0
        self._run()

    def _run(self):
        f = self.formula
        if not f:
            return
        if f[0] != "=":
            self.items.append(Token(f, Token.LITERAL))
            return
        self._pos = 1
        while self._pos < len(f):
            ch = f[self._pos]
            if ch in "+-" and self._pending and _MANTISSA.match("".join(self._pending)):
                self._pending.append(ch)
                self._pos += 1
                continue
            if ch in _ENDERS:
                self._save_token()
            if ch == '"' or ch == "'":
                self._quoted(ch)
            elif ch == "[":
                self._bracketed()
            elif ch == "#":
                self._error_literal()
            elif ch == " " or ch == "\n":
                self.items.append(Token(ch, Token.WSPACE))
                while self._pos < len(f) and f[self._pos] in " \n":
                    self._pos += 1
            elif ch in _OPERATORS:
                self._operator(ch)
            elif ch in "{(":
                self._opener(ch)
            elif ch in ")}":
                self._closer(ch)
            elif ch == ";":
                self._add(Token(";", Token.SEP, Token.ROW))
            elif ch == ",":
                if not self._open or self._open[-1].type == Token.PAREN:
                    self._add(Token(",", Token.OP_IN))  # the union operator
                else:
                    self._add(Token(",", Token.SEP, Token.ARG))
            else:
                self._pending.append(ch)
                self._pos += 1
        self._save_token()

    def _add(self, token):
        self.items.append(token)
        self._pos += len(token.value)

    def _save_token(self):
        if self._pending:
            self.items.append(Token.operand("".join(self._pending)))
            self._pending.clear()

    def _check_pending(self, allowed=""):
        """Only a piece that `allowed` contains may stand before the current character."""
        if self._pending and self._pending[-1] not in allowed:
            raise TokenizerError(
                f"Unexpected character at position {self._pos} in '{self.formula}'")

    def _quoted(self, quote):
        """A string (saved at once) or a quoted sheet name (a piece of the pending operand)."""
        self._check_pending(":")
        f = self.formula
        end = self._pos + 1
        while True:
            end = f.find(quote, end)
            if end < 0:
                what = "string" if quote == '"' else "link"
                raise TokenizerError(f"Reached end of formula while parsing {what} in {f}")
            if f.startswith(quote, end + 1):  # a doubled quote stands for itself
                end += 2
                continue
            break
        run = f[self._pos:end + 1]
        if quote == '"':
            self.items.append(Token.operand(run))
        else:
            self._pending.append(run)
        self._pos = end + 1

    def _bracketed(self):
        """A bracketed run, nested brackets included, as one piece of the pending operand."""
        f = self.formula
        depth = 0
        for i in range(self._pos, len(f)):
            if f[i] == "[":
                depth += 1
            elif f[i] == "]":
                depth -= 1
                if depth == 0:
                    self._pending.append(f[self._pos:i + 1])
                    self._pos = i + 1
                    return
        raise TokenizerError(f"Encountered unmatched '[' in {f}")

    def _error_literal(self):
        """An error literal, completing a pending sheet prefix ("Sheet1!#REF!")."""
        self._check_pending("!")
        for literal in _ERROR_LITERALS:
            if self.formula.startswith(literal, self._pos):
                self.items.append(Token.operand("".join(self._pending) + literal))
                self._pending.clear()
                self._pos += len(literal)
                return
        raise TokenizerError(f"Invalid error code at position {self._pos} in '{self.formula}'")

    def _operator(self, ch):
        two = self.formula[self._pos:self._pos + 2]
        if two in (">=", "<=", "<>"):
            self._add(Token(two, Token.OP_IN))
        elif ch == "%":
            self._add(Token(ch, Token.OP_POST))
        elif ch not in "+-":
            self._add(Token(ch, Token.OP_IN))
        else:
            # A sign after a value is the infix operator, anywhere else a prefix.
            prev = next((t for t in reversed(self.items) if t.type != Token.WSPACE), None)
            infix = prev is not None and (
                prev.subtype == Token.CLOSE or prev.type in (Token.OP_POST, Token.OPERAND))
            self._add(Token(ch, Token.OP_IN if infix else Token.OP_PRE))

    def _opener(self, ch):
        if ch == "{":
            self._check_pending()
            token = Token.bracket("{")
        elif self._pending:
            token = Token.bracket("".join(self._pending) + "(", func=True)
            self._pending.clear()
        else:
            token = Token.bracket("(")
        self.items.append(token)
        self._open.append(token)
        self._pos += 1

    def _closer(self, ch):
        closer = self._open.pop().closer()  # IndexError when nothing is open
        if closer.value != ch:
            raise TokenizerError(f"Mismatched ( and {{ pair in '{self.formula}'")
        self._add(closer)

    def render(self):
        """The formula text again, from the tokens."""
        if not self.items:
            return ""
        if self.items[0].type == Token.LITERAL:
            return self.items[0].value
        return "=" + "".join(t.value for t in self.items)
