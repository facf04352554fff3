// The worksheet prescan: the pull reader outside <sheetData>, the raw scan
// inside it, and the result as the host's dict.
#include <prescan/prescan.hpp>

#include <lib/errors.hpp>
#include <lib/pyref.hpp>
#include <prescan/pyobjects.hpp>
#include <prescan/raw_scan.hpp>
#include <pysource.hpp>
#include <sheet/helpers.hpp>
#include <xml/reader.hpp>

#include <climits>
#include <string>

namespace brindle::prescan {
namespace {

// Host side of the raw scan. A Python failure is kept in `held` and reported
// as a Source error, which the boundary turns back into that exception.
struct PySink {
    PyRef row_index_fn;
    PyRef rows;  // the "rows" list
    HeldException held;

    [[gnu::cold]] std::unexpected<XmlError> failed() {
        held.capture();
        return std::unexpected(XmlError::source());
    }

    XmlResult<std::int64_t> row_index(std::string_view text) {
        PyRef arg = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
        if (!arg) return failed();
        PyRef res = PyRef::steal(PyObject_CallOneArg(row_index_fn.get(), arg.get()));
        if (!res) return failed();
        PyRef idx = PyRef::steal(PyNumber_Index(res.get()));
        if (!idx) return failed();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
        if (overflow) return unsupported("row index");
        if (v == -1 && PyErr_Occurred()) return failed();
        return std::int64_t(v);
    }

    XmlResult<void> row_attrs(std::int64_t row, std::span<const RowAttr> attrs) {
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(attrs.size())));
        if (!list) return failed();
        for (std::size_t k = 0; k < attrs.size(); ++k) {
            PyRef pair = PyRef::steal(Py_BuildValue("(s#s#)", attrs[k].key.data(), Py_ssize_t(attrs[k].key.size()),
                                                    attrs[k].value.data(), Py_ssize_t(attrs[k].value.size())));
            if (!pair) return failed();
            PyList_SET_ITEM(list.get(), Py_ssize_t(k), pair.release());
        }
        PyRef item = PyRef::steal(Py_BuildValue("(LN)", static_cast<long long>(row), list.release()));
        if (!item || PyList_Append(rows.get(), item.get()) < 0) return failed();
        return {};
    }
};

static_assert(Sink<PySink>);

using ReaderT = Reader<PySource>;

// One child of the root, from its start event through its end tag, with the
// bindings of its ancestors (taken once its own are out of scope).
XmlResult<void> capture_into(ReaderT& r, Event ev, PyObject* list, PySink& sink) {
    r.begin_capture();
    if (ev == Event::EmptyTag) {
        (void)BR_TRY(r.next());
    } else {
        for (;;) {
            const Event e = BR_TRY(r.next());
            if (e == Event::EndOfDocument) return malformed("unexpected eof");
            if (e == Event::EndTag && r.depth() == 1) break;
        }
    }
    const std::string bytes = r.end_capture();
    PyRef item = element_tuple(bytes, r.in_scope_namespaces());
    if (!item || PyList_Append(list, item.get()) < 0) return sink.failed();
    return {};
}

XmlResult<void> drive(ReaderT& r, RawScan<PySource, PySink>& scan, PyObject* head, PyObject* tail,
                      PySink& sink) {
    bool seen = false;
    for (;;) {
        const Event ev = BR_TRY(r.next());
        if (ev == Event::EndOfDocument) return {};
        if ((ev != Event::StartTag && ev != Event::EmptyTag) || r.depth() != 2) continue;
        if (r.view(r.elem_local) != "sheetData") {
            BR_TRY_VOID(capture_into(r, ev, seen ? tail : head, sink));
            continue;
        }
        // The raw scan assumes unprefixed names mean the main namespace.
        if (r.open_name() != "sheetData" || r.default_ns() != kNsMain) return unsupported("prefixed sheetData");
        seen = true;
        if (ev == Event::StartTag) BR_TRY_VOID(scan.run(r.win, r.in_scope_namespaces()));
    }
}

[[gnu::cold]] PyObject* type_error(const char* what, const char* type, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s must be a %s, not %.200s", what, type, Py_TYPE(got)->tp_name);
    return nullptr;
}

PyRef build_corners(const std::vector<Found>& found) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return out;
    for (const Found& f : found) {
        PyRef key = PyRef::steal(Py_BuildValue("(LL)", static_cast<long long>(f.pos.row),
                                               static_cast<long long>(f.pos.col)));
        if (!key) return PyRef();
        PyRef val = f.s ? PyRef::steal(PyUnicode_FromStringAndSize(f.s->data(), Py_ssize_t(f.s->size())))
                        : PyRef::borrow(Py_None);
        if (!val || PyDict_SetItem(out.get(), key.get(), val.get()) < 0) return PyRef();
    }
    return out;
}

}  // namespace

PyObject* prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers) {
    if (!PyBool_Check(want_rows)) return type_error("want_rows", "bool", want_rows);
    if (!PyDict_Check(helpers)) return type_error("helpers", "dict", helpers);
    auto row_index = require_helper(helpers, "row_index");
    if (!row_index) return nullptr;
    Wanted wanted;
    if (!read_wanted(corners, wanted)) return nullptr;

    PyRef head = PyRef::steal(PyList_New(0));
    PyRef tail = PyRef::steal(PyList_New(0));
    PyRef rows = PyRef::steal(PyList_New(0));
    if (!head || !tail || !rows) return nullptr;
    PySink sink{std::move(*row_index), rows.clone(), {}};
    RawScan<PySource, PySink> scan(want_rows == Py_True, wanted, sink);
    ReaderT reader(source);
    if (auto done = drive(reader, scan, head.get(), tail.get(), sink); !done) {
        HeldException* held = sink.held.exc ? &sink.held : &reader.win.source.held();
        return fallback_err(done.error(), held);
    }
    PyRef found = build_corners(scan.found());
    if (!found) return nullptr;
    PyRef out = PyRef::steal(PyDict_New());
    if (!out || PyDict_SetItemString(out.get(), "head", head.get()) < 0 ||
        PyDict_SetItemString(out.get(), "tail", tail.get()) < 0 ||
        PyDict_SetItemString(out.get(), "rows", rows.get()) < 0 ||
        PyDict_SetItemString(out.get(), "corners", found.get()) < 0)
        return nullptr;
    return out.release();
}

}  // namespace brindle::prescan
