#include <formula/columns.hpp>
#include <formula/tokenizer.hpp>
#include <formula/translator.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace brindle;

namespace {

// Tokens as "value|Type|Subtype" lines, for readable expectations.
std::string show(const std::vector<Token>& toks) {
    std::string s;
    for (const Token& t : toks) {
        s += t.value;
        s += '|';
        s += type_name(t.type);
        s += '|';
        s += subtype_name(t.subtype);
        s += '\n';
    }
    return s;
}

struct TokCase {
    const char* formula;
    const char* tokens;
};

// Readable parameter names (gtest would otherwise dump the raw bytes).
void PrintTo(const TokCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.formula)); }

class Tokens : public testing::TestWithParam<TokCase> {};

TEST_P(Tokens, Split) {
    auto got = tokenize(GetParam().formula);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_EQ(show(*got), GetParam().tokens);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Formulas, Tokens, testing::Values(
    TokCase{"", ""},
    TokCase{"=", ""},
    TokCase{"abc", "abc|Literal|None\n"},
    TokCase{"=1E+5", "1E+5|Operand|Number\n"},
    TokCase{"=2.50e-3*x", "2.50e-3|Operand|Number\n*|OpInfix|None\nx|Operand|Range\n"},
    TokCase{"=A1E+5", "A1E|Operand|Range\n+|OpInfix|None\n5|Operand|Number\n"},
    TokCase{"=0E+5", "0E|Operand|Range\n+|OpInfix|None\n5|Operand|Number\n"},
    TokCase{"=SUM(A1, B2)",
            "SUM(|Func|Open\nA1|Operand|Range\n,|Sep|Arg\n |Whitespace|None\nB2|Operand|Range\n)|Func|Close\n"},
    TokCase{"=(A1,B1)", "(|Paren|Open\nA1|Operand|Range\n,|OpInfix|None\nB1|Operand|Range\n)|Paren|Close\n"},
    TokCase{"=A1,B1", "A1|Operand|Range\n,|OpInfix|None\nB1|Operand|Range\n"},
    TokCase{"={1,2;3}", "{|Array|Open\n1|Operand|Number\n,|Sep|Arg\n2|Operand|Number\n;|Sep|Row\n"
                        "3|Operand|Number\n}|Array|Close\n"},
    TokCase{"=-1", "-|OpPrefix|None\n1|Operand|Number\n"},
    TokCase{"=1 -1", "1|Operand|Number\n |Whitespace|None\n-|OpInfix|None\n1|Operand|Number\n"},
    TokCase{"= -1", " |Whitespace|None\n-|OpPrefix|None\n1|Operand|Number\n"},
    TokCase{"=(1)-2%-+3",
            "(|Paren|Open\n1|Operand|Number\n)|Paren|Close\n-|OpInfix|None\n2|Operand|Number\n"
            "%|OpPostfix|None\n-|OpInfix|None\n+|OpPrefix|None\n3|Operand|Number\n"},
    TokCase{"=A1<>B1>=C1<=2<3", "A1|Operand|Range\n<>|OpInfix|None\nB1|Operand|Range\n>=|OpInfix|None\n"
                                "C1|Operand|Range\n<=|OpInfix|None\n2|Operand|Number\n<|OpInfix|None\n"
                                "3|Operand|Number\n"},
    TokCase{"='My Sheet'!A1", "'My Sheet'!A1|Operand|Range\n"},
    TokCase{"='it''s'!A1", "'it''s'!A1|Operand|Range\n"},
    TokCase{"=Sheet1!#REF!", "Sheet1!#REF!|Operand|Range\n"},
    TokCase{"=#N/A+#GETTING_DATA", "#N/A|Operand|Error\n+|OpInfix|None\n#GETTING_DATA|Operand|Error\n"},
    TokCase{"=\"a\"\"b\"&\"\"", "\"a\"\"b\"|Operand|Text\n&|OpInfix|None\n\"\"|Operand|Text\n"},
    TokCase{"=T[[#This Row],[a]]+1", "T[[#This Row],[a]]|Operand|Range\n+|OpInfix|None\n1|Operand|Number\n"},
    TokCase{"=1_000+1__0", "1_000|Operand|Number\n+|OpInfix|None\n1__0|Operand|Range\n"},
    TokCase{"=TRUE+true", "TRUE|Operand|Logical\n+|OpInfix|None\ntrue|Operand|Range\n"},
    TokCase{"=inf+NaN+.5+5.+1.e3", "inf|Operand|Number\n+|OpInfix|None\nNaN|Operand|Number\n+|OpInfix|None\n"
                                  ".5|Operand|Number\n+|OpInfix|None\n5.|Operand|Number\n+|OpInfix|None\n"
                                  "1.e3|Operand|Number\n"},
    // float() trims C-locale spaces only.
    TokCase{"=\t1\v", "\t1\v|Operand|Number\n"},
    TokCase{"=\x1c" "1", "\x1c" "1|Operand|Range\n"},
    // The line feed is no operand ender: the operand goes on after it.
    TokCase{"=A\nB", "\n|Whitespace|None\nAB|Operand|Range\n"},
    TokCase{"=1  \n +2", "1|Operand|Number\n |Whitespace|None\n+|OpInfix|None\n2|Operand|Number\n"},
    // A string is saved at once, ahead of the pending "A:".
    TokCase{"=A:\"x\"", "\"x\"|Operand|Text\nA:|Operand|Range\n"},
    // Open brackets at the end are no error.
    TokCase{"=SUM(A1", "SUM(|Func|Open\nA1|Operand|Range\n"},
    TokCase{"=F(1)", "F(|Func|Open\n1|Operand|Number\n)|Func|Close\n"},
    // Non-ASCII text that cannot be a number whatever its letters are.
    TokCase{"='Bl\xc3\xa4tter'!A1", "'Bl\xc3\xa4tter'!A1|Operand|Range\n"},
    TokCase{"=\"\xe2\x82\xac\"", "\"\xe2\x82\xac\"|Operand|Text\n"}));
// clang-format on

struct ErrCase {
    const char* formula;
    FormulaErrorKind kind;
    const char* message;
};

void PrintTo(const ErrCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.formula)); }

class TokenErrors : public testing::TestWithParam<ErrCase> {};

TEST_P(TokenErrors, Message) {
    auto got = tokenize(GetParam().formula);
    ASSERT_FALSE(got.has_value()) << show(*got);
    EXPECT_EQ(got.error(), (FormulaError{GetParam().kind, GetParam().message}));
}

constexpr auto Tok = FormulaErrorKind::Tokenizer;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Formulas, TokenErrors, testing::Values(
    ErrCase{"=A1)", FormulaErrorKind::PopEmpty, ""},
    ErrCase{"=(A1}", Tok, "Mismatched ( and { pair in '=(A1}'"},
    ErrCase{"={1)", Tok, "Mismatched ( and { pair in '={1)'"},
    ErrCase{"=#BAD", Tok, "Invalid error code at position 1 in '=#BAD'"},
    ErrCase{"=A#N/A", Tok, "Unexpected character at position 2 in '=A#N/A'"},
    ErrCase{"=\"abc", Tok, "Reached end of formula while parsing string in =\"abc"},
    ErrCase{"=\"ab\"\"", Tok, "Reached end of formula while parsing string in =\"ab\"\""},
    ErrCase{"='abc", Tok, "Reached end of formula while parsing link in ='abc"},
    ErrCase{"=A\"x\"", Tok, "Unexpected character at position 2 in '=A\"x\"'"},
    ErrCase{"=A1:'x", Tok, "Reached end of formula while parsing link in =A1:'x"},
    ErrCase{"='a'\"x\"", Tok, "Unexpected character at position 4 in '='a'\"x\"'"},
    ErrCase{"=A{1}", Tok, "Unexpected character at position 2 in '=A{1}'"},
    ErrCase{"=T[[a]", Tok, "Encountered unmatched '[' in =T[[a]"},
    // Positions count code points, not bytes.
    ErrCase{"=\"\xc3\xa4\"+#X", Tok, "Invalid error code at position 5 in '=\"\xc3\xa4\"+#X'"},
    ErrCase{"=\xc3\xa4", FormulaErrorKind::NeedPython, ""},
    ErrCase{"=\"\xff\"", FormulaErrorKind::NeedPython, ""},
    ErrCase{"=\"\xed\xa0\x80\"", FormulaErrorKind::NeedPython, ""}));
// clang-format on

TEST(PyFloat, AcceptsWhatFloatAccepts) {
    for (const char* yes : {"1", "+1", "-1.5", ".5", "5.", "1e5", "1E-5", "1_000", "1_0.0_1e1_0", "inf",
                            "-Infinity", "nAn", " 1 ", "\t\n\v\f\r1"})
        EXPECT_TRUE(py_float_accepts_ascii(yes)) << yes;
    // clang-format off
    for (const char* no : {"", " ", "+", ".", "e5", "1e", "1e+", "1__0", "_1", "1_", "1._5", "1_.5", "+-1",
                           "0x10", "infin", "- 1", "\x1c" "1", "1\x1f", "1 1"})
        EXPECT_FALSE(py_float_accepts_ascii(no)) << no;
    // clang-format on
    EXPECT_FALSE(py_float_accepts_ascii(std::string_view("1\0", 2)));
}

TEST(Columns, RoundTripAndLimits) {
    for (std::int64_t n = 1; n <= kMaxColumn; ++n) {
        std::string s;
        append_column_letters(s, n);
        ASSERT_EQ(column_number(s), n) << s;
    }
    EXPECT_EQ(column_number("a"), 1);
    EXPECT_EQ(column_number("Az"), 52);
    EXPECT_EQ(column_number("XFD"), 16384);
    EXPECT_EQ(column_number("ZZZ"), 18278);
    for (const char* bad : {"", "AAAA", "A1", "@", "[", "`", "{"}) EXPECT_EQ(column_number(bad), 0) << bad;
}

struct MoveCase {
    const char* formula;
    CellPos origin;
    std::optional<CellPos> dest;
    const char* expected;  // nullptr: out of range
};

void PrintTo(const MoveCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.formula)); }

class Moves : public testing::TestWithParam<MoveCase> {};

TEST_P(Moves, Translate) {
    const MoveCase& c = GetParam();
    auto t = Translator::make(c.formula, c.origin);
    ASSERT_TRUE(t.has_value()) << t.error().message;
    auto got = t->translate(c.dest);
    auto fits = t->check(c.dest);
    if (c.expected == nullptr) {
        ASSERT_FALSE(got.has_value()) << *got;
        EXPECT_EQ(got.error(), (FormulaError{FormulaErrorKind::Translator, "Formula out of range"}));
        EXPECT_FALSE(fits.has_value());
    } else {
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, c.expected);
        EXPECT_TRUE(fits.has_value());
    }
}

constexpr CellPos A1{1, 1};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Formulas, Moves, testing::Values(
    MoveCase{"=A1+$B$2+B$3+$C4", A1, CellPos{2, 2}, "=B2+$B$2+C$3+$C5"},
    MoveCase{"=SUM(A1:A3)", {4, 1}, CellPos{4, 2}, "=SUM(B1:B3)"},
    MoveCase{"=Sheet1!A1*2", {1, 2}, CellPos{3, 2}, "=Sheet1!A3*2"},
    MoveCase{"='My Sheet'!A:A", A1, CellPos{9, 3}, "='My Sheet'!C:C"},
    MoveCase{"=1:1", A1, CellPos{5, 1}, "=5:5"},
    MoveCase{"=A:C", A1, CellPos{1, 3}, "=C:E"},
    MoveCase{"=$A:c+$1:2", A1, CellPos{3, 3}, "=$A:E+$1:4"},
    MoveCase{"=a1", A1, CellPos{1, 2}, "=B1"},
    MoveCase{"=$a1", A1, CellPos{2, 2}, "=$a2"},
    MoveCase{"=A1", {2, 2}, CellPos{1, 2}, nullptr},
    MoveCase{"=A1", {2, 2}, CellPos{2, 1}, nullptr},
    MoveCase{"=XFD1", A1, CellPos{1, 2}, "=XFE1"},
    MoveCase{"=ZZZ1", A1, CellPos{1, 2}, nullptr},
    MoveCase{"=ZZZ1", {1, 2}, CellPos{1, 1}, "=ZZY1"},
    MoveCase{"=A9999999", A1, CellPos{3, 1}, "=A10000001"},
    // Beyond the row and column part limits nothing is a reference.
    MoveCase{"=A10000000+AAAA1+A0", A1, CellPos{3, 3}, "=A10000000+AAAA1+A0"},
    // Names stay as they are, with their sheet.
    MoveCase{"=MyName+Sheet1!MyName", A1, CellPos{2, 2}, "=MyName+Sheet1!MyName"},
    MoveCase{"=Sheet1!#REF!+'a b'!R1C1", A1, CellPos{2, 2}, "=Sheet1!#REF!+'a b'!R1C1"},
    // Pieces of a longer range each move on their own.
    MoveCase{"=Sheet2!A1:B2:C3", A1, CellPos{2, 1}, "=Sheet2!A2:B3:C4"},
    MoveCase{"=A1:B2:Sheet2!C3", A1, CellPos{2, 1}, "=A1:B2:Sheet2!C4"},
    MoveCase{"=A1:x:$B$2", A1, CellPos{2, 2}, "=B2:x:$B$2"},
    MoveCase{"=A1:1", A1, CellPos{2, 2}, "=B2:1"},
    MoveCase{"=\"A1\"&B1", A1, CellPos{2, 1}, "=\"A1\"&B2"},
    MoveCase{"=a1  +  b2", A1, std::nullopt, "=A1 + B2"},
    MoveCase{"plain A1", A1, CellPos{9, 9}, "plain A1"},
    MoveCase{"", A1, CellPos{9, 9}, ""},
    MoveCase{"=", A1, CellPos{9, 9}, ""},
    // The whole 64-bit plane is a valid destination.
    MoveCase{"=B2", {INT64_MIN, 2}, CellPos{INT64_MAX, 2}, "=B18446744073709551617"},
    MoveCase{"=B2", {INT64_MAX, 2}, CellPos{INT64_MIN, 2}, nullptr}));
// clang-format on

TEST(Translator, TokenizerErrorsComeBackUnchanged) {
    auto t = Translator::make("=(1}", A1);
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error().message, "Mismatched ( and { pair in '=(1}'");
}

TEST(Translator, AppendsToTheCallersBuffer) {
    auto t = Translator::make("=SUM(A1:B2)*$C$1", A1);
    ASSERT_TRUE(t.has_value());
    std::string out = "x";
    out.reserve(256);
    const char* data = out.data();
    for (std::int64_t r = 1; r <= 1000; ++r) {
        out.resize(1);
        ASSERT_TRUE(t->translate_into(CellPos{r, 3}, out).has_value());
    }
    EXPECT_EQ(out, "x=SUM(C1000:D1001)*$C$1");
    EXPECT_EQ(out.data(), data);  // no reallocation across cells
}

}  // namespace
