// Recognising the Python keys that name a cell of the store.
//
// The host's dict finds (1, 2) under (1.0, 2) or (True, 2), because those
// keys are equal and hash alike. The store has no key objects to compare
// with, so it asks the question the other way round: does each item of the
// key equal, and hash like, an int that a packed key can hold?
#include <frame/args.hpp>
#include <store/py_store.hpp>

namespace brindle {
namespace {

constexpr long long kMaxIndex = 0xFFFFFFFFLL;

// The value of an exact int within 0 to 2^32 - 1, or -1.
long long index_of(PyObject* item) noexcept {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
        return v >= 0 && v <= kMaxIndex ? v : -1;
    }
    const std::optional<std::int64_t> v = exact_int(item);
    return v && *v >= 0 && *v <= kMaxIndex ? *v : -1;
}

// Whether `item` stands for an index: equal to int(item) and hashing like
// it. Every ordinary failure of the item's own methods means "no" (-1);
// KeyboardInterrupt and the like stay set and give kInterrupted.
constexpr long long kInterrupted = -2;

long long equivalent_index(PyObject* int_type, PyObject* item) {
    auto failed = [] { return clear_ordinary_error() ? -1 : kInterrupted; };
    PyRef as_int = PyRef::steal(PyObject_CallOneArg(int_type, item));
    if (!as_int) return failed();
    const int eq = PyObject_RichCompareBool(item, as_int.get(), Py_EQ);
    if (eq < 0) return failed();
    if (eq == 0) return -1;
    const Py_hash_t h1 = PyObject_Hash(item);
    const bool f1 = h1 == -1 && PyErr_Occurred();
    if (f1 && !clear_ordinary_error()) return kInterrupted;
    const Py_hash_t h2 = PyObject_Hash(as_int.get());
    const bool f2 = h2 == -1 && PyErr_Occurred();
    if (f2 && !clear_ordinary_error()) return kInterrupted;
    if (f1 != f2 || (!f1 && h1 != h2)) return -1;
    const PyResult<std::optional<std::int64_t>> v = index_int64(as_int.get());
    if (!v) return failed();
    return *v && **v >= 0 && **v <= kMaxIndex ? **v : -1;
}

}  // namespace

KeyMatch exact_key(PyObject* key) noexcept {
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2) return {};
    PyObject* r = PyTuple_GET_ITEM(key, 0);
    PyObject* c = PyTuple_GET_ITEM(key, 1);
    if (!PyLong_CheckExact(r) || !PyLong_CheckExact(c)) return {};
    const long long row = index_of(r);
    if (row < 0) return {};
    const long long col = index_of(c);
    if (col < 0) return {};
    return {true, pack_key(static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(col))};
}

PyResult<KeyMatch> equivalent_key(PyObject* key) {
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return KeyMatch{};
    // Looked up each time: `int` is whatever the builtins module says now.
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return py_err();
    PyRef int_type = PyRef::steal(PyObject_GetAttrString(builtins.get(), "int"));
    if (!int_type) return py_err();
    // Tuples are immutable: the items live as long as `key` does. The tuple's
    // own storage is read, as tuple comparison does, not a subclass's
    // __getitem__.
    PyRef r = PyRef::borrow(PyTuple_GET_ITEM(key, 0));
    PyRef c = PyRef::borrow(PyTuple_GET_ITEM(key, 1));
    const long long row = equivalent_index(int_type.get(), r.get());
    if (row == kInterrupted) return py_err();
    if (row < 0) return KeyMatch{};
    const long long col = equivalent_index(int_type.get(), c.get());
    if (col == kInterrupted) return py_err();
    if (col < 0) return KeyMatch{};
    return KeyMatch{true, pack_key(static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(col))};
}

}  // namespace brindle
