// The worksheet prescan: the pull reader outside <sheetData>, the raw scan
// inside it, and the result as the host's dict.
#include <prescan/prescan.hpp>

#include <frame/args.hpp>
#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <prescan/pyobjects.hpp>
#include <prescan/raw_scan.hpp>
#include <xml/pysource.hpp>
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

    PyResult<std::optional<std::int64_t>> call_row_index(std::string_view text) {
        PyRef arg = BR_TRY(owned(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()))));
        PyRef res = BR_TRY(owned(PyObject_CallOneArg(row_index_fn.get(), arg.get())));
        return index_int64(res.get());
    }

    XmlResult<std::int64_t> row_index(std::string_view text) {
        const std::optional<std::int64_t> v = BR_TRY(hold_error(call_row_index(text), held));
        if (!v) return unsupported("row index");
        return *v;
    }

    PyResult<void> append_row(std::int64_t row, std::span<const RowAttr> attrs) {
        PyRef list = BR_TRY(owned(PyList_New(Py_ssize_t(attrs.size()))));
        for (std::size_t k = 0; k < attrs.size(); ++k) {
            PyObject* pair = Py_BuildValue("(s#s#)", attrs[k].key.data(), Py_ssize_t(attrs[k].key.size()),
                                           attrs[k].value.data(), Py_ssize_t(attrs[k].value.size()));
            if (!pair) return py_err();
            PyList_SET_ITEM(list.get(), Py_ssize_t(k), pair);  // steals the new pair
        }
        PyRef item = BR_TRY(owned(Py_BuildValue("(LN)", static_cast<long long>(row), list.release())));
        if (PyList_Append(rows.get(), item.get()) < 0) return py_err();
        return {};
    }

    XmlResult<void> row_attrs(std::int64_t row, std::span<const RowAttr> attrs) {
        return hold_error(append_row(row, attrs), held);
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
    return hold_error([&]() -> PyResult<void> {
        PyRef item = BR_TRY(element_tuple(bytes, r.in_scope_namespaces()));
        if (PyList_Append(list, item.get()) < 0) return py_err();
        return {};
    }(),
                      sink.held);
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

PyResult<PyRef> build_corners(const std::vector<Found>& found) {
    PyRef out = BR_TRY(owned(PyDict_New()));
    for (const Found& f : found) {
        PyRef key = BR_TRY(owned(Py_BuildValue("(LL)", static_cast<long long>(f.pos.row),
                                               static_cast<long long>(f.pos.col))));
        PyRef val = f.s ? BR_TRY(owned(PyUnicode_FromStringAndSize(f.s->data(), Py_ssize_t(f.s->size()))))
                        : PyRef::borrow(Py_None);
        if (PyDict_SetItem(out.get(), key.get(), val.get()) < 0) return py_err();
    }
    return out;
}

}  // namespace

PyResult<PyRef> prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers) {
    // Worded as the pure-Python prescan words them.
    if (!PyBool_Check(want_rows)) return must_be("want_rows", "a bool", want_rows);
    if (!PyDict_Check(helpers)) return must_be("helpers", "a dict", helpers);
    PyRef row_index = BR_TRY(require_helper(helpers, "row_index"));
    Wanted wanted;
    BR_TRY(read_wanted(corners, wanted));

    PyRef head = BR_TRY(owned(PyList_New(0)));
    PyRef tail = BR_TRY(owned(PyList_New(0)));
    PyRef rows = BR_TRY(owned(PyList_New(0)));
    PySink sink{std::move(row_index), rows.clone(), {}};
    RawScan<PySource, PySink> scan(want_rows == Py_True, wanted, sink);
    ReaderT reader(source);
    if (auto done = drive(reader, scan, head.get(), tail.get(), sink); !done) {
        HeldException* held = sink.held.exc ? &sink.held : &reader.win.source.held();
        return xml_failure(done.error(), held);
    }
    PyRef found = BR_TRY(build_corners(scan.found()));
    PyRef out = BR_TRY(owned(PyDict_New()));
    if (PyDict_SetItemString(out.get(), "head", head.get()) < 0 ||
        PyDict_SetItemString(out.get(), "tail", tail.get()) < 0 ||
        PyDict_SetItemString(out.get(), "rows", rows.get()) < 0 ||
        PyDict_SetItemString(out.get(), "corners", found.get()) < 0)
        return py_err();
    return out;
}

}  // namespace brindle::prescan
