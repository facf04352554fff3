#include <text/strings.hpp>

#include <frame/args.hpp>
#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <xml/pyxml.hpp>
#include <xml/pysource.hpp>
#include <sheet/helpers.hpp>
#include <text/string_item.hpp>
#include <text/x005f.hpp>
#include <xml/reader.hpp>

#include <string_view>

namespace brindle {
namespace {

// f(a, b) with two new references built here.
PyResult<PyRef> call2(PyObject* f, PyRef a, PyRef b) {
    PyObject* args[] = {a.get(), b.get()};
    return owned(PyObject_Vectorcall(f, args, 2, nullptr));
}

class StringTable {
public:
    StringTable(PyObject* source, StringHelpers h) : h_(std::move(h)), r_(source) {
        ctx_.item_dangerous = h_.base.text_dangerous;
        ctx_.run_dangerous = h_.base.rich_dangerous;
        ctx_.capture_runs = static_cast<bool>(h_.si_runs);
    }

    PyResult<PyRef> run() {
        PyRef out = BR_TRY(owned(PyList_New(0)));
        auto validate = [this](std::string_view rpr, const NamespaceList& ns) -> XmlResult<bool> {
            return validate_rpr(rpr, ns);
        };
        for (;;) {
            auto ev = r_.next();
            if (!ev) return fail(ev.error());
            if (*ev == Event::EndOfDocument) return out;
            if (*ev != Event::StartTag && *ev != Event::EmptyTag) continue;
            if (r_.elem_ns != kNsMain || r_.view(r_.elem_local) != "si") continue;
            if (r_.depth() != 2) return fail(XmlError::unsupported("nested si"));
            if (auto done = parse_text_into(r_, ctx_, forbid_si, validate, item_); !done)
                return fail(done.error());
            // clang-format off
            PyRef value = BR_TRY(item_.has_runs && h_.si_runs ? with_runs()
                                 : item_.deferred                ? deferred()
                                                                 : plain());
            // clang-format on
            if (PyList_Append(out.get(), value.get()) < 0) return py_err();
        }
    }

private:
    PyResult<PyRef> plain() {
        decode_escapes(item_.text);
        return str_from_utf8(item_.text);
    }

    PyResult<PyRef> with_runs() {
        PyRef bytes = BR_TRY(bytes_from(item_.bytes));
        PyRef ns = BR_TRY(namespace_list(item_.namespaces));
        return call2(h_.si_runs.get(), std::move(bytes), std::move(ns));
    }

    PyResult<PyRef> deferred() {
        PyRef bytes = BR_TRY(bytes_from(item_.bytes));
        PyRef ns = BR_TRY(namespace_list(item_.namespaces));
        return call2(h_.si_content.get(), std::move(bytes), std::move(ns));
    }

    // The host's verdict on run properties; its exception waits in `held_`
    // until the item has been read to its end.
    XmlResult<bool> validate_rpr(std::string_view rpr, const NamespaceList& ns) {
        auto verdict = [&]() -> PyResult<bool> {
            PyRef bytes = BR_TRY(bytes_from(rpr));
            PyRef list = BR_TRY(namespace_list(ns));
            PyRef res = BR_TRY(call2(h_.base.validate_rpr.get(), std::move(bytes), std::move(list)));
            const int truth = PyObject_IsTrue(res.get());
            if (truth < 0) return py_err();
            return truth != 0;
        }();
        if (verdict) return *verdict;
        held_.capture();
        return std::unexpected(XmlError::source());
    }

    // A held exception of the byte source ends the read, so when both are
    // held the source's is the one that stopped us.
    [[gnu::cold, gnu::noinline]] std::unexpected<BindError> fail(const XmlError& e) {
        HeldException& src = r_.win.source.held();
        return xml_failure(e, src.exc ? &src : &held_);
    }

    StringHelpers h_;
    Reader<PySource> r_;
    TextCtx ctx_;
    TextItem item_;
    HeldException held_;
};

}  // namespace

PyResult<PyRef> read_string_table(PyObject* source, PyObject* helpers) {
    BR_TRY(check_helpers("read_string_table", helpers));
    StringTable table(source, BR_TRY(StringHelpers::from_dict(helpers)));
    return table.run();
}

}  // namespace brindle
