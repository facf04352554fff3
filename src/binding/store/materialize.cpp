// Stored cells to Python: the value of a cell, and the host Cell object
// built on first access and cached so that every later read returns the
// very same object.
#include <store/py_store.hpp>

#include <frame/errors.hpp>
#include <sheet/date_obj.hpp>

#include <bit>
#include <span>

namespace brindle {
namespace {

// Style ids below this are cached in a plain vector; the rare larger ones
// (a host sequence can claim any length) in a map, so that one odd id
// cannot make the cache huge.
constexpr std::int64_t kDenseStyles = 1 << 16;

[[gnu::cold, gnu::noinline]] std::unexpected<BindError> corrupt(const char* what) {
    PyErr_Format(PyExc_SystemError, "cell store: %s", what);
    return py_err();
}

PyResult<PyRef> text_obj(std::string_view s) {
    return owned(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace

std::optional<DateParts> PyStore::excel_date(const Loc& loc) const {
    if (!epoch) return std::nullopt;
    const Entry e = core.entry(loc);
    if (e.tag == tag::kDateInt) return from_excel_int(static_cast<std::int64_t>(e.payload), *epoch);
    if (e.tag == tag::kDateFloat) return from_excel_float(std::bit_cast<double>(e.payload), *epoch);
    return std::nullopt;
}

PyResult<PyRef> PyStore::render_shared(const Entry& e) {
    if (e.payload >= shared.size() || !shared[e.payload].native)
        return corrupt("shared formula without a native master");
    std::optional<CellPos> dest;
    if (e.tag == tag::kSharedFormula) dest = CellPos{e.row(), e.col()};
    std::string& buf = scratch();
    buf.clear();
    // The dependents were checked against the master when they were loaded.
    if (!shared[e.payload].native->translate_into(dest, buf)) return corrupt("shared formula out of range");
    return text_obj(buf);
}

PyResult<PyRef> PyStore::value_of(const Entry& e) {
    switch (e.tag) {
        case tag::kCell: {
            const PyRef* cell = objs.get(static_cast<std::uint32_t>(e.payload));
            if (!cell) return corrupt("empty object slot");
            return owned(PyObject_GetAttrString(cell->get(), "value"));
        }
        case tag::kNone:
            return PyRef::borrow(Py_None);
        case tag::kInt:
            return owned(PyLong_FromLongLong(static_cast<long long>(e.payload)));
        case tag::kFloat:
            return owned(PyFloat_FromDouble(std::bit_cast<double>(e.payload)));
        case tag::kBool:
            return PyRef::borrow(e.payload ? Py_True : Py_False);
        case tag::kSharedString: {
            PyObject* ss = shared_strings.get();
            if (!ss) return corrupt("shared string without a table");
            if (PyList_CheckExact(ss)) return owned(PyList_GetItemRef(ss, static_cast<Py_ssize_t>(e.payload)));
            PyRef index = BR_TRY(owned(PyLong_FromUnsignedLongLong(e.payload)));
            return owned(PyObject_GetItem(ss, index.get()));
        }
        case tag::kText:
            return text_obj(core.text(e.payload));
        case tag::kSharedFormula:
        case tag::kSharedMaster:
            return render_shared(e);
        case tag::kDateInt:
        case tag::kDateFloat: {
            if (!epoch) return corrupt("date without an epoch");
            const DateParts d = e.tag == tag::kDateInt
                                    ? from_excel_int(static_cast<std::int64_t>(e.payload), *epoch)
                                    : from_excel_float(std::bit_cast<double>(e.payload), *epoch);
            return date_to_py(d);
        }
        case tag::kObject: {
            const PyRef* obj = objs.get(static_cast<std::uint32_t>(e.payload));
            if (!obj) return corrupt("empty object slot");
            return obj->clone();
        }
        case tag::kTemplate: {
            std::string& buf = scratch();
            buf.clear();
            if (!core.render_template(static_cast<std::uint32_t>(e.payload), e.row(), e.col(), buf))
                return corrupt("template out of range");
            return text_obj(buf);
        }
        default:
            return corrupt("unknown value tag");
    }
}

PyResult<PyRef> PyStore::value_obj(const Loc& loc) { return value_of(core.entry(loc)); }

PyResult<PyRef> PyStore::style_copy(std::int64_t style) {
    PyRef* cached = nullptr;
    if (style < kDenseStyles) {
        if (static_cast<std::size_t>(style) >= style_cache.size()) style_cache.resize(static_cast<std::size_t>(style) + 1);
        cached = &style_cache[static_cast<std::size_t>(style)];
    } else {
        cached = &sparse_styles[style];
    }
    if (!*cached) {
        PyObject* styles = cell_styles.get();
        if (!styles) return corrupt("style without a style list");
        PyRef arr;
        if (PyList_Check(styles) && style < PyList_GET_SIZE(styles)) {
            arr = BR_TRY(owned(PyList_GetItemRef(styles, static_cast<Py_ssize_t>(style))));
        } else {
            PyRef index = BR_TRY(owned(PyLong_FromLongLong(style)));
            arr = BR_TRY(owned(PyObject_GetItem(styles, index.get())));
        }
        // The constructor below takes its class for an array's: anything
        // else gets array.array.__new__'s own TypeError, as in the host.
        if (!array_type || !PyType_IsSubtype(Py_TYPE(arr.get()), reinterpret_cast<PyTypeObject*>(array_type.get()))) {
            PyRef r = BR_TRY(owned(PyObject_CallMethod(array_type.get(), "__new__", "OOO", Py_TYPE(arr.get()),
                                                       typecode.get(), arr.get())));
            return corrupt("a style that is no array");
        }
        // Host code run by the lookup cannot reach this store (it is held),
        // so `cached` still points into an unchanged cache.
        *cached = BR_TRY(owned(PyTuple_Pack(2, typecode.get(), arr.get())));
    }
    if (!style_new) return corrupt("no style constructor");
    PyRef args = cached->clone();
    // array.array's own constructor on the style's class: a copy of the same
    // class and contents, without that class's __new__ or __init__.
    return owned(style_new(Py_TYPE(PyTuple_GET_ITEM(args.get(), 1)), args.get(), nullptr));
}

PyResult<PyRef> PyStore::row_int(std::uint32_t row) {
    if (!row_cache_int || row_cache_row != row) {
        row_cache_int = BR_TRY(owned(PyLong_FromUnsignedLong(row)));
        row_cache_row = row;
    }
    return row_cache_int.clone();
}

PyResult<PyRef> PyStore::rich_string(std::uint64_t index) const {
    if (!rich_strings) return PyRef::borrow(Py_None);
    PyRef key = BR_TRY(owned(PyLong_FromUnsignedLongLong(index)));
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(rich_strings.get(), key.get(), &found);
    if (r < 0) return py_err();
    return r ? PyRef::steal(found) : PyRef::borrow(Py_None);
}

PyResult<PyRef> PyStore::as_read_obj(const Entry& e, PyObject* value) const {
    PyRef kept = BR_TRY(kept_value(e, value));
    if (meta.empty()) return kept;
    const auto found = meta.find(e.key);
    if (found == meta.end()) return kept;
    // The metadata pairs ride behind what else the cell kept, or behind
    // (None, None).
    PyObject* type = kept.get() == Py_None ? Py_None : PyTuple_GET_ITEM(kept.get(), 0);
    PyObject* text = kept.get() == Py_None ? Py_None : PyTuple_GET_ITEM(kept.get(), 1);
    return owned(PyTuple_Pack(3, type, text, found->second.get()));
}

PyResult<PyRef> PyStore::kept_value(const Entry& e, PyObject* value) const {
    if (e.tag == tag::kSharedString && rich_strings) {
        PyRef rich = BR_TRY(rich_string(e.payload));
        if (rich.get() != Py_None) {
            PyRef type = BR_TRY(text_obj("inlineStr"));
            return owned(PyTuple_Pack(2, type.get(), rich.get()));
        }
    }
    // Written from its value, an empty text would make an empty cell.
    if (e.dtype == kDtS && PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0) {
        PyRef type = BR_TRY(text_obj("inlineStr"));
        return owned(PyTuple_Pack(2, type.get(), value));
    }
    if (!core.has_as_read()) return PyRef::borrow(Py_None);
    const std::optional<StoreCore::AsRead> a = core.as_read(e.key);
    if (!a) return PyRef::borrow(Py_None);
    if (a->kind >= as_read::kCount) return corrupt("unknown kept type");
    const std::string_view type = as_read::kTypeText[a->kind];
    PyRef type_obj = type.empty() ? PyRef::borrow(Py_None) : BR_TRY(text_obj(type));
    PyRef text = BR_TRY(text_obj(a->text));
    return owned(PyTuple_Pack(2, type_obj.get(), text.get()));
}

PyResult<PyRef> PyStore::materialize(const Loc& loc) {
    const Entry e = core.entry(loc);
    if (e.tag == tag::kCell) {
        const PyRef* cell = objs.get(static_cast<std::uint32_t>(e.payload));
        if (!cell) return corrupt("empty object slot");
        return cell->clone();
    }
    if (!cell_cls) return corrupt("no cell class");
    PyRef vals[9];
    vals[4] = BR_TRY(value_of(e));
    vals[1] = e.style < 0 ? PyRef::borrow(Py_None) : BR_TRY(style_copy(e.style));
    if (e.dtype < dtype::kCustomBase) {
        if (!dt[e.dtype]) return corrupt("no data-type table");
        vals[6] = dt[e.dtype].clone();
    } else {
        const std::size_t k = e.dtype - dtype::kCustomBase;
        if (k >= custom_types.size()) return corrupt("unknown data type");
        vals[6] = custom_types[k].clone();
    }
    vals[2] = BR_TRY(row_int(e.row()));
    vals[3] = BR_TRY(owned(PyLong_FromUnsignedLong(e.col())));
    vals[0] = ws ? ws.clone() : PyRef::borrow(Py_None);
    vals[5] = PyRef::borrow(Py_None);
    vals[7] = PyRef::borrow(Py_None);
    vals[8] = BR_TRY(as_read_obj(e, vals[4].get()));
    PyRef cell = BR_TRY(cell_cls->build(std::span<PyRef>(vals, 9)));
    // The stored object now lives in the cell's _value; its slot goes to the
    // cell itself.
    std::optional<PyRef> moved;
    if (e.tag == tag::kObject) moved = objs.take(static_cast<std::uint32_t>(e.payload));
    core.set_materialized(loc, put_obj(cell.clone()));
    return cell;
}

}  // namespace brindle
