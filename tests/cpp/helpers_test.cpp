#include "py_env.hpp"

#include <sheet/helpers.hpp>

#include <string>

using namespace brindle;
using namespace brindle::testing;

namespace {

const char* const kKeys[] = {
    // clang-format off
    "int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601",
    "date_warning", "ArrayFormula", "DataTableFormula", "Translator", "TokenizerError",
    "TranslatorError", "text_content", "rich_inline", "validate_rpr", "text_dangerous",
    // clang-format on
    "rich_dangerous",
};

class HelpersTest : public PyTest {
protected:
    void SetUp() override {
        PyTest::SetUp();
        py_exec(R"(
KEYS = ['int', 'float', 'coordinate_to_tuple', 'row_index', 'from_excel', 'from_ISO8601',
        'date_warning', 'ArrayFormula', 'DataTableFormula', 'Translator', 'TokenizerError',
        'TranslatorError', 'text_content', 'rich_inline', 'validate_rpr']
def full(**over):
    d = {k: (lambda *a, **k: None) for k in KEYS}
    d['text_dangerous'] = ['extLst']
    d['rich_dangerous'] = ()
    d['si_content'] = lambda b, ns: b
    d.update(over)
    return d
)");
    }
};

TEST_F(HelpersTest, MissingKeysAreReportedInTableOrder) {
    // Dropping key i and everything after it must name key i: the keys are
    // read in a fixed order and the first absent one wins.
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        std::string code = "d = full()\nfor k in list(d)[" + std::to_string(i) + ":]: del d[k]";
        py_exec(code.c_str());
        PyRef d = py_eval("d");
        auto h = Helpers::from_dict(d.get());
        ASSERT_FALSE(h.has_value());
        EXPECT_EQ(take_error(), std::string("TypeError: missing helper ") + kKeys[i]);
    }
    PyRef d = py_eval("{k: v for k, v in full().items() if k != 'validate_rpr'}");
    ASSERT_FALSE(Helpers::from_dict(d.get()).has_value());
    EXPECT_EQ(take_error(), "TypeError: missing helper validate_rpr");
}

TEST_F(HelpersTest, NoneIsAcceptedAndSetsCollapseDuplicates) {
    PyRef d = py_eval(
        "full(int=None, text_dangerous=['a', 'b', 'a', '\\u00e9'], "
        "rich_dangerous=(x for x in {'r': 1, 's': 2}))");
    auto h = Helpers::from_dict(d.get());
    ASSERT_TRUE(h.has_value()) << take_error();
    EXPECT_EQ(h->int_.get(), Py_None);
    EXPECT_EQ(h->text_dangerous.size(), 3u);
    EXPECT_TRUE(h->text_dangerous.contains("\xC3\xA9"));
    EXPECT_TRUE(h->text_dangerous.contains("a") && !h->text_dangerous.contains("c"));
    EXPECT_TRUE(h->rich_dangerous.contains("r") && h->rich_dangerous.contains("s"));
}

TEST_F(HelpersTest, BadNameSetsAndFailingLookups) {
    py_exec(R"(
class Boom(Exception): pass
def failing():
    yield 'a'
    raise Boom('iteration')
class Collides:
    # Same hash as the key 'int': the lookup must compare, and the compare fails.
    armed = False
    def __hash__(self): return hash('int')
    def __eq__(self, other):
        if Collides.armed: raise Boom('compare')
        return False
collides = {Collides(): 1, **full()}
Collides.armed = True
class Missing(dict):
    def __missing__(self, key): return print
    def __getitem__(self, key): return print
)");
    struct Case {
        const char* dict;
        const char* error;
    } cases[] = {
        {"full(text_dangerous=['a', 1])", "TypeError: helper text_dangerous: names must be str, not int"},
        {"full(rich_dangerous=[b'r'])", "TypeError: helper rich_dangerous: names must be str, not bytes"},
        {"full(rich_dangerous=None)", "TypeError: 'NoneType' object is not iterable"},
        {"full(text_dangerous=failing())", "Boom: iteration"},
        {"full(text_dangerous=['\\ud800'])",
         "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
         "surrogates not allowed"},
        {"collides", "Boom: compare"},
        {"Missing()", "TypeError: missing helper int"},
        {"list(full())", "TypeError: helpers must be a dict, not list"},
    };
    for (const auto& c : cases) {
        PyRef d = py_eval(c.dict);
        ASSERT_TRUE(d) << c.dict;
        ASSERT_FALSE(Helpers::from_dict(d.get()).has_value()) << c.dict;
        EXPECT_EQ(take_error(), c.error) << c.dict;
    }
}

TEST_F(HelpersTest, ReferencesAreReleasedWithTheRecordAndOnFailure) {
    py_exec("f = lambda: None\nd = full(int=f, float=f)\nbad = full(float=f, rich_dangerous=[1])");
    PyRef f = py_eval("f");
    const Py_ssize_t before = Py_REFCNT(f.get());
    {
        PyRef d = py_eval("d");
        auto h = Helpers::from_dict(d.get());
        ASSERT_TRUE(h.has_value());
        EXPECT_EQ(Py_REFCNT(f.get()), before + 2);
    }
    EXPECT_EQ(Py_REFCNT(f.get()), before);
    {
        PyRef bad = py_eval("bad");
        ASSERT_FALSE(Helpers::from_dict(bad.get()).has_value());
        take_error();
    }
    EXPECT_EQ(Py_REFCNT(f.get()), before);
}

TEST_F(HelpersTest, StringTableAlsoNeedsSiContent) {
    PyRef d = py_eval("{k: v for k, v in full().items() if k != 'si_content'}");
    ASSERT_TRUE(Helpers::from_dict(d.get()).has_value());
    ASSERT_FALSE(StringHelpers::from_dict(d.get()).has_value());
    EXPECT_EQ(take_error(), "TypeError: missing helper si_content");
    // The common keys come first.
    PyRef e = py_eval("{}");
    ASSERT_FALSE(StringHelpers::from_dict(e.get()).has_value());
    EXPECT_EQ(take_error(), "TypeError: missing helper int");
    PyRef ok = py_eval("full()");
    auto h = StringHelpers::from_dict(ok.get());
    ASSERT_TRUE(h.has_value());
    EXPECT_TRUE(PyCallable_Check(h->si_content.get()));
}

TEST_F(HelpersTest, TheHostPackageSuppliesEveryKey) {
    py_exec("from testkit import make_helpers\nd = make_helpers()");
    PyRef d = py_eval("d");
    ASSERT_TRUE(d);
    auto h = StringHelpers::from_dict(d.get());
    ASSERT_TRUE(h.has_value()) << take_error();
    for (PyObject* o : {h->base.int_.get(), h->base.from_excel.get(), h->base.validate_rpr.get(),
                        h->base.Translator.get(), h->si_content.get()})
        EXPECT_TRUE(PyCallable_Check(o));
}

}  // namespace
