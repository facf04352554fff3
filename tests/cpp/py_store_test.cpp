// The store's C++ surface that Python cannot see: the date fields it hands
// the writer (excel_date), the values it builds for each tag (value_obj),
// and what a replaced object leaves behind.
#include "py_env.hpp"

#include <store/py_store.hpp>

#include <bit>

using namespace brindle;
using namespace brindle::testing;

namespace {

class PyStoreTest : public PyTest {};

Loc load(PyStore& st, std::uint32_t row, std::uint32_t col, std::uint8_t kind, std::uint64_t payload) {
    EXPECT_FALSE(st.core.load_cell(row, col, kind, payload, 0, kDtN).has_value());
    std::optional<Loc> loc = st.core.find_key(pack_key(row, col));
    EXPECT_TRUE(loc.has_value());
    return *loc;
}

std::string repr(const PyRef& o) {
    PyRef r = PyRef::steal(PyObject_Repr(o.get()));
    return r ? PyUnicode_AsUTF8(r.get()) : take_error();
}

}  // namespace

TEST_F(PyStoreTest, ExcelDateOfDateCellsOnly) {
    PyStore st;
    const Loc whole = load(st, 1, 1, tag::kDateInt, 61);
    const Loc frac = load(st, 1, 2, tag::kDateFloat, std::bit_cast<std::uint64_t>(0.5));
    const Loc num = load(st, 1, 3, tag::kFloat, std::bit_cast<std::uint64_t>(61.0));
    EXPECT_FALSE(st.excel_date(whole).has_value());  // no epoch yet
    st.epoch = Epoch::make(1899, 12, 30, 0, 0, 0, 0, true);
    const std::optional<DateParts> d = st.excel_date(whole);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->kind, DateParts::Kind::DateTime);
    EXPECT_EQ(d->year, 1900);
    EXPECT_EQ(d->month, 3);
    EXPECT_EQ(d->day, 1);
    const std::optional<DateParts> t = st.excel_date(frac);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->kind, DateParts::Kind::Time);
    EXPECT_EQ(t->hour, 12);
    EXPECT_FALSE(st.excel_date(num).has_value());
}

TEST_F(PyStoreTest, ValuesByTag) {
    PyStore st;
    st.epoch = Epoch::make(1904, 1, 1, 0, 0, 0, 0, false);
    st.shared_strings = py_eval("['zero', 'one']");
    const std::uint64_t text = *st.core.store_text("caf\xc3\xa9");
    struct {
        std::uint8_t kind;
        std::uint64_t payload;
        const char* expected;
    } cases[] = {
        {tag::kNone, 0, "None"},
        {tag::kInt, static_cast<std::uint64_t>(-5), "-5"},
        {tag::kInt, std::uint64_t{1} << 40, "1099511627776"},
        {tag::kFloat, std::bit_cast<std::uint64_t>(2.5), "2.5"},
        {tag::kBool, 1, "True"},
        {tag::kSharedString, 1, "'one'"},
        {tag::kText, text, "'caf\xc3\xa9'"},
        {tag::kDateInt, 1, "datetime.datetime(1904, 1, 2, 0, 0)"},
        {tag::kDateInt, 0, "datetime.datetime(1904, 1, 1, 0, 0)"},  // day 0 is a real day here
    };
    std::uint32_t col = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const Loc loc = load(st, 2, col++, c.kind, c.payload);
        PyResult<PyRef> v = st.value_obj(loc);
        ASSERT_TRUE(v.has_value()) << take_error();
        EXPECT_EQ(repr(*v), c.expected);
    }
    // A shared-string index past the table raises the list's own error.
    const Loc bad = load(st, 3, 1, tag::kSharedString, 7);
    EXPECT_FALSE(st.value_obj(bad).has_value());
    EXPECT_EQ(take_error(), "IndexError: list index out of range");
}

TEST_F(PyStoreTest, ReplacingAValueReusesItsSlotAndReleasesTheOldObject) {
    PyStore st;
    PyRef first = py_eval("object()");
    PyRef second = py_eval("object()");
    PyRef key = py_eval("(4, 2)");
    const Py_ssize_t base = Py_REFCNT(first.get());
    ASSERT_TRUE(st.set_item(key.get(), first.get()).has_value());
    EXPECT_EQ(Py_REFCNT(first.get()), base + 1);
    ASSERT_TRUE(st.set_item(key.get(), second.get()).has_value());
    EXPECT_EQ(Py_REFCNT(first.get()), base);
    EXPECT_EQ(st.objs.slot_count(), 1u);
    PyResult<PyRef> got = st.value_obj(*st.core.find_key(pack_key(4, 2)));
    EXPECT_FALSE(got.has_value());  // a stored object is no Cell: it has no `value`
    take_error();
    st.reset();
    EXPECT_EQ(st.objs.live(), 0u);
}
