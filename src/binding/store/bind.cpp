// bind_cells: a whole worksheet into its CellStore in one call. The sheet
// parser reads the XML; each parsed cell goes straight into the store as a
// packed record, and no host Cell exists until the host reads a key.
#include <store/bind.hpp>

#include <frame/args.hpp>
#include <frame/borrow.hpp>
#include <frame/errors.hpp>
#include <xml/pyxml.hpp>
#include <store/store_object.hpp>

#include <bit>
#include <memory>

namespace brindle {
namespace {

[[gnu::cold, gnu::noinline]] std::unexpected<BindError> decline(const char* reason) {
    raise_declined(reason);
    return py_err();
}

// Turns parsed cells into stored ones: style, position, data type, value.
class Loader {
public:
    Loader(PyStore& st, SheetParser& p, Py_ssize_t n_styles)
        : st_(st), core_(st.core), p_(p), n_styles_(n_styles) {}

    PyResult<void> store(CellRec& c) {
        const std::uint32_t style = BR_TRY(style_of(c.style));
        if (c.row < 0 || c.row > 0xFFFFFFFFLL || c.column < 0 || c.column > 0xFFFFFFFFLL)
            return decline("coordinate out of range");
        const auto row = static_cast<std::uint32_t>(c.row);
        const auto col = static_cast<std::uint32_t>(c.column);
        const std::uint8_t dt = c.data_type.code < kDtCount ? c.data_type.code : BR_TRY(custom_type(c.data_type.py.get()));
        std::uint8_t kind = tag::kNone;
        std::uint64_t payload = 0;
        Val& v = c.value;
        switch (v.kind) {
            case Val::Kind::Empty:
                break;
            case Val::Kind::Int:
                kind = tag::kInt, payload = static_cast<std::uint64_t>(v.i);
                break;
            case Val::Kind::Float:
                kind = tag::kFloat, payload = std::bit_cast<std::uint64_t>(v.f);
                break;
            case Val::Kind::Bool:
                kind = tag::kBool, payload = v.i != 0;
                break;
            case Val::Kind::SharedString:
                kind = tag::kSharedString, payload = v.index;
                break;
            case Val::Kind::Text:
                if (dt == kDtF) {
                    if (std::optional<std::uint32_t> t = core_.template_for(v.text, row, col)) {
                        kind = tag::kTemplate, payload = *t;
                        break;
                    }
                }
                if (std::optional<std::uint64_t> loc = core_.store_text(v.text)) {
                    kind = tag::kText, payload = *loc;
                } else {
                    PyRef s = BR_TRY(owned(
                        PyUnicode_FromStringAndSize(v.text.data(), static_cast<Py_ssize_t>(v.text.size()))));
                    kind = tag::kObject, payload = st_.put_obj(std::move(s));
                }
                break;
            case Val::Kind::SharedFormula:
                if (!v.has_coord) {
                    kind = tag::kSharedMaster, payload = v.index;
                } else if (v.i == c.row && v.col == c.column) {
                    kind = tag::kSharedFormula, payload = v.index;
                } else {
                    PyRef s = BR_TRY(p_.val_to_py(v));
                    kind = tag::kObject, payload = st_.put_obj(std::move(s));
                }
                break;
            case Val::Kind::DateInt:
                kind = tag::kDateInt, payload = static_cast<std::uint64_t>(v.i);
                break;
            case Val::Kind::DateFloat:
                kind = tag::kDateFloat, payload = std::bit_cast<std::uint64_t>(v.f);
                break;
            case Val::Kind::Py:
                kind = tag::kObject, payload = st_.put_obj(std::move(v.py));
                break;
        }
        // A repeated cell: the last one wins, in the first one's place.
        std::optional<Entry> old = core_.load_cell(row, col, kind, payload, style, dt);
        if (old) st_.drop_payload(*old);
        if (c.as_read != as_read::kNone) {
            if (!core_.keep_as_read(pack_key(row, col), c.as_read, c.as_read_text))
                return decline("long cached value");
        } else if (old) {
            core_.forget_as_read(pack_key(row, col));
        }
        if (c.meta) st_.meta[pack_key(row, col)] = std::move(c.meta);
        else if (old && !st_.meta.empty()) st_.meta.erase(pack_key(row, col));
        return {};
    }

private:
    PyStore& st_;
    StoreCore& core_;
    SheetParser& p_;
    Py_ssize_t n_styles_;

    // The style index: the parser declined ids outside the table already. An
    // index the engine does not take is first tried on the host list, so
    // that the host's own error wins over the fallback.
    PyResult<std::uint32_t> style_of(const StyleId& s) {
        if (s.py) {
            PyResult<PyRef> item = owned(PyObject_GetItem(st_.cell_styles.get(), s.py.get()));
            if (!item && !PyErr_ExceptionMatches(PyExc_IndexError)) return py_err();
            PyErr_Clear();
            return decline("unusual style id");
        }
        const std::int64_t n = n_styles_;
        if (s.id >= 0 && s.id < n && s.id <= 0x7FFFFFFF) [[likely]]
            return static_cast<std::uint32_t>(s.id);
        PyRef index = BR_TRY(owned(PyLong_FromLongLong(s.id)));
        PyResult<PyRef> item = owned(PyObject_GetItem(st_.cell_styles.get(), index.get()));
        // Past the stylesheet: the host refuses the file, naming the cell.
        if (!item && !PyErr_ExceptionMatches(PyExc_IndexError)) return py_err();
        PyErr_Clear();
        return decline("style index");
    }

    PyResult<std::uint8_t> custom_type(PyObject* t) {
        std::vector<PyRef>& list = st_.custom_types;
        for (std::size_t k = 0; k < list.size(); ++k) {
            const int eq = PyObject_RichCompareBool(t, list[k].get(), Py_EQ);
            if (eq < 0) return py_err();
            if (eq) return static_cast<std::uint8_t>(dtype::kCustomBase + k);
        }
        if (list.size() >= dtype::kMaxCustomTypes) return decline("too many data types");
        list.push_back(PyRef::borrow(t));
        return static_cast<std::uint8_t>(dtype::kCustomBase + list.size() - 1);
    }
};

PyResult<void> append_element(PyObject* actions, const Item& it, ScopeLists& scopes) {
    PyRef entry;
    if (it.kind == Item::Kind::Unknown) {
        entry = PyRef::steal(Py_BuildValue("(ss#)", "unknown", it.bytes.data(),
                                           static_cast<Py_ssize_t>(it.bytes.size())));
    } else {
        PyRef bytes = PyRef::steal(
            PyBytes_FromStringAndSize(it.bytes.data(), static_cast<Py_ssize_t>(it.bytes.size())));
        if (!bytes) return py_err();
        PyObject* ns = BR_TRY(scopes.get(it.namespaces));
        entry = PyRef::steal(Py_BuildValue("(sOO)", "element", bytes.get(), ns));
    }
    if (!entry || PyList_Append(actions, entry.get()) < 0) return py_err();
    return {};
}

PyResult<void> load(PyStore& st, SheetParser& p, PyObject* actions, PyObject* cell_cls) {
    BR_TRY(st.prepare(cell_cls));
    const Py_ssize_t n_styles = PyObject_Length(st.cell_styles.get());
    if (n_styles < 0) return py_err();
    // Cells copy their style as an array of the style's class; a style of
    // another kind fails in the host as the first cell takes it.
    // (Other sequences are only guarded where a style is copied.)
    PyObject* styles = st.cell_styles.get();
    if (PyList_Check(styles) || PyTuple_Check(styles)) {
        auto* array = reinterpret_cast<PyTypeObject*>(st.array_type.get());
        for (Py_ssize_t i = 0; i < PyObject_Length(styles); ++i) {
            PyRef style = PyList_Check(styles) ? PyRef::steal(PyList_GetItemRef(styles, i))
                                               : PyRef::borrow(PyTuple_GET_ITEM(styles, i));
            if (!style) return py_err();
            if (!PyType_IsSubtype(Py_TYPE(style.get()), array)) return decline("style of another kind");
        }
    }
    Loader loader(st, p, n_styles);
    ScopeLists scopes;
    Item it;
    for (;;) {
        if (auto r = p.next_item_into(it); !r) {
            p.raise(r.error());
            return py_err();
        }
        switch (it.kind) {
            case Item::Kind::End:
                st.core.finish_loading();
                st.shared = p.take_shared();
                return {};
            case Item::Kind::Element:
            case Item::Kind::Unknown:
                BR_TRY(append_element(actions, it, scopes));
                break;
            case Item::Kind::Row:
                for (CellRec& c : it.cells) BR_TRY(loader.store(c));
                break;
        }
    }
}

}  // namespace

PyResult<PyRef> bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[8];
    BR_TRY(parse_args({"bind_cells",
                       {"source", "parser", "ws", "store", "cell_styles", "cell_cls", "helpers", "actions"},
                       8},
                      args, nargs, kw, a));
    PyObject *source = a[0], *parser = a[1], *ws = a[2], *store = a[3], *cell_styles = a[4], *cell_cls = a[5],
             *helpers = a[6], *actions = a[7];
    if (!BR_TRY(is_cell_store(store))) return arg_must_be("bind_cells", "store", "CellStore", store);
    if (!PyType_Check(cell_cls)) return arg_must_be("bind_cells", "cell_cls", "a type", cell_cls);
    BR_TRY(check_helpers("bind_cells", helpers));
    if (!PyList_Check(actions)) return arg_must_be("bind_cells", "actions", "list", actions);

    Helpers h = BR_TRY(Helpers::from_dict(helpers));
    Settings settings = BR_TRY(Settings::from_parser(parser));
    settings.as_read = true;  // the cells are written back
    {
        const Py_ssize_t n_styles = PyObject_Length(cell_styles);
        if (n_styles < 0) return py_err();
        settings.n_styles = n_styles;
    }
    PyRef rd = PyRef::steal(PyObject_GetAttrString(parser, "row_dimensions"));
    if (!rd) return py_err();
    if (!PyDict_Check(rd.get())) return must_be("row_dimensions", "dict", rd.get());
    PyRef rich_strings;
    {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttrString(parser, "rich_strings", &found) < 0) return py_err();
        PyRef rs = PyRef::steal(found);
        if (rs && rs.get() != Py_None) {
            if (!PyDict_CheckExact(rs.get())) return decline("rich strings of another kind");
            if (PyDict_GET_SIZE(rs.get()) > 0) rich_strings = std::move(rs);
        }
    }
    PyRef row_runs;
    {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttrString(parser, "row_runs", &found) < 0) return py_err();
        row_runs = PyRef::steal(found);
        if (row_runs && row_runs.get() == Py_None) row_runs = PyRef();
        if (row_runs && !PyList_Check(row_runs.get())) return must_be("row_runs", "list", row_runs.get());
    }
    settings.rich_strings = static_cast<bool>(rich_strings);
    PyRef shared_strings = settings.shared_strings.clone();
    const std::optional<Epoch> epoch = settings.epoch;
    std::unique_ptr<SheetParser> p = BR_TRY(
        SheetParser::create(source, std::move(h), std::move(settings), PyRef::borrow(actions), std::move(rd)));
    if (row_runs) p->keep_row_runs(std::move(row_runs));

    CellStoreObject* so = as_store(store);
    Exclusive hold(so->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = so->store;
    st.clear_contents();
    // A new style list invalidates every cached copy of the old one's arrays.
    st.style_cache.clear();
    st.sparse_styles.clear();
    st.ws = PyRef::borrow(ws);
    st.cell_styles = PyRef::borrow(cell_styles);
    st.shared_strings = std::move(shared_strings);
    st.rich_strings = std::move(rich_strings);
    st.epoch = epoch;
    if (PyResult<void> r = load(st, *p, actions, cell_cls); !r) {
        // Shared-formula cells of an unfinished load point to masters the
        // store never received: nothing of it may be read.
        raise_error(r.error());
        PyRef exc = PyRef::steal(PyErr_GetRaisedException());
        st.clear_contents();
        PyErr_SetRaisedException(exc.release());
        return py_err();
    }
    return PyRef::borrow(Py_None);
}

}  // namespace brindle
