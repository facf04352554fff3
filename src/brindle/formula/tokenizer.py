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
    def make_operand(cls, value):
        """An operand token, its subtype taken from the text."""
        if value.startswith('"'):
            subtype = cls.TEXT
        elif value.startswith("#"):
            subtype = cls.ERROR
        elif value in ("TRUE", "FALSE"):
            subtype = cls.LOGICAL
        else:
            try:
                float(value)
                subtype = cls.NUMBER
            except ValueError:
                subtype = cls.RANGE
        return cls(value, cls.OPERAND, subtype)

    @classmethod
    def make_subexp(cls, value, func=False):
        """A bracket token: "{" / "}", "(" / ")", or a function's "NAME(" / ")"."""
        if func:
            type_ = cls.FUNC
        elif value in "{}":
            type_ = cls.ARRAY
        elif value in "()":
            type_ = cls.PAREN
        else:
            type_ = cls.FUNC
        return cls(value, type_, cls.CLOSE if value in ")}" else cls.OPEN)

    def get_closer(self):
        """The closing token for this opening one."""
        return self.make_subexp("}" if self.type == self.ARRAY else ")", func=self.type == self.FUNC)

    def __eq__(self, other):
        if not isinstance(other, Token):
            return NotImplemented
        return (self.value, self.type, self.subtype) == (other.value, other.type, other.subtype)

    def __repr__(self):
        return f"Token({self.value!r}, {self.type!r}, {self.subtype!r})"


class Tokenizer:
    """Tokens of `formula` in `items`."""

    SN_RE = re.compile("^[1-9](\\.[0-9]+)?[Ee]$")  # a mantissa that a sign continues
    WSPACE_RE = re.compile(r"[ \n]+")
    STRING_REGEXES = {
        '"': re.compile('"(?:[^"]*"")*[^"]*"(?!")'),
        "'": re.compile("'(?:[^']*'')*[^']*'(?!')"),
    }
    ERROR_CODES = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                   "#GETTING_DATA")
    TOKEN_ENDERS = ",;}) +-*/^&=><%"

    def __init__(self, formula):
        self.formula = formula
        self.items = []
        self.token_stack = []  # open FUNC / PAREN / ARRAY tokens
        self.offset = 0
        self.token = []  # pieces of the pending operand
        self._parse()

    def _parse(self):
        if not self.formula:
            return
        if self.formula[0] != "=":
            self.items.append(Token(self.formula, Token.LITERAL))
            return
        self.offset = 1
        consumers = (
            ("\"'", self._parse_string),
            ("[", self._parse_brackets),
            ("#", self._parse_error),
            (" \n", self._parse_whitespace),
            ("+-*/^&=><%", self._parse_operator),
            ("{(", self._parse_opener),
            (")}", self._parse_closer),
            (";,", self._parse_separator),
        )
        dispatcher = {}
        for chars, consumer in consumers:
            dispatcher.update(dict.fromkeys(chars, consumer))
        f = self.formula
        while self.offset < len(f):
            if self._check_scientific_notation():
                continue
            ch = f[self.offset]
            if ch in self.TOKEN_ENDERS:
                self.save_token()
            if ch in dispatcher:
                self.offset += dispatcher[ch]()
            else:
                self.token.append(ch)
                self.offset += 1
        self.save_token()

    def _parse_string(self):
        """A string literal (saved as an operand) or a quoted sheet name (kept pending)."""
        self.assert_empty_token(can_follow=":")
        delim = self.formula[self.offset]
        match = self.STRING_REGEXES[delim].match(self.formula, self.offset)
        if match is None:
            subtype = "string" if delim == '"' else "link"
            raise TokenizerError(f"Reached end of formula while parsing {subtype} in {self.formula}")
        run = match.group(0)
        if delim == '"':
            self.items.append(Token.make_operand(run))
        else:
            self.token.append(run)
        return len(run)

    def _parse_brackets(self):
        """A bracketed run, nested brackets included, as one piece of the pending operand."""
        depth = 0
        for i in range(self.offset, len(self.formula)):
            ch = self.formula[i]
            if ch == "[":
                depth += 1
            elif ch == "]":
                depth -= 1
            if depth == 0:
                run = self.formula[self.offset:i + 1]
                self.token.append(run)
                return len(run)
        raise TokenizerError(f"Encountered unmatched '[' in {self.formula}")

    def _parse_error(self):
        """An error literal, with the sheet prefix pending before it."""
        self.assert_empty_token(can_follow="!")
        for code in self.ERROR_CODES:
            if self.formula.startswith(code, self.offset):
                self.items.append(Token.make_operand("".join(self.token) + code))
                del self.token[:]
                return len(code)
        raise TokenizerError(f"Invalid error code at position {self.offset} in '{self.formula}'")

    def _parse_whitespace(self):
        match = self.WSPACE_RE.match(self.formula, self.offset)
        self.items.append(Token(self.formula[self.offset], Token.WSPACE))
        return len(match.group(0))

    def _parse_operator(self):
        f, i = self.formula, self.offset
        if f[i:i + 2] in (">=", "<=", "<>"):
            self.items.append(Token(f[i:i + 2], Token.OP_IN))
            return 2
        ch = f[i]
        if ch == "%":
            token = Token("%", Token.OP_POST)
        elif ch in "*/^&=><":
            token = Token(ch, Token.OP_IN)
        elif not self.items:
            token = Token(ch, Token.OP_PRE)
        else:
            prev = next((t for t in reversed(self.items) if t.type != Token.WSPACE), None)
            infix = prev is not None and (
                prev.subtype == Token.CLOSE or prev.type in (Token.OP_POST, Token.OPERAND))
            token = Token(ch, Token.OP_IN if infix else Token.OP_PRE)
        self.items.append(token)
        return 1

    def _parse_opener(self):
        ch = self.formula[self.offset]
        if ch == "{":
            self.assert_empty_token()
            token = Token.make_subexp("{")
        elif self.token:
            token = Token.make_subexp("".join(self.token) + "(", func=True)
            del self.token[:]
        else:
            token = Token.make_subexp("(")
        self.items.append(token)
        self.token_stack.append(token)
        return 1

    def _parse_closer(self):
        ch = self.formula[self.offset]
        closer = self.token_stack.pop().get_closer()  # IndexError when nothing is open
        if closer.value != ch:
            raise TokenizerError(f"Mismatched ( and {{ pair in '{self.formula}'")
        self.items.append(closer)
        return 1

    def _parse_separator(self):
        ch = self.formula[self.offset]
        if ch == ";":
            token = Token(";", Token.SEP, Token.ROW)
        elif not self.token_stack or self.token_stack[-1].type == Token.PAREN:
            token = Token(",", Token.OP_IN)  # the union operator
        else:
            token = Token(",", Token.SEP, Token.ARG)
        self.items.append(token)
        return 1

    def _check_scientific_notation(self):
        """A sign right after "1E" (or "2.5e", ...) belongs to the number."""
        ch = self.formula[self.offset]
        if ch in "+-" and self.token and self.SN_RE.match("".join(self.token)):
            self.token.append(ch)
            self.offset += 1
            return True
        return False

    def assert_empty_token(self, can_follow=()):
        """Only a piece that `can_follow` contains may stand before the current character."""
        if self.token and self.token[-1] not in can_follow:
            raise TokenizerError(
                f"Unexpected character at position {self.offset} in '{self.formula}'")

    def save_token(self):
        if self.token:
            self.items.append(Token.make_operand("".join(self.token)))
            del self.token[:]

    def render(self):
        """The formula text again, from the tokens."""
        if not self.items:
            return ""
        if self.items[0].type == Token.LITERAL:
            return self.items[0].value
        return "=" + "".join(t.value for t in self.items)
