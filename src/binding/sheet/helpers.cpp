#include <sheet/helpers.hpp>

#include <frame/args.hpp>

#include <string>
#include <string_view>

namespace brindle {
namespace {

[[gnu::cold, gnu::noinline]] std::unexpected<BindError> missing(const char* key) {
    PyErr_Format(PyExc_TypeError, "missing helper %s", key);
    return py_err();
}

[[gnu::cold, gnu::noinline]] std::unexpected<BindError> not_str(const char* key, PyObject* item) {
    const std::string subject = std::string("helper ") + key + ": names";
    return must_be(subject.c_str(), "str", item);
}

// Collects the UTF-8 bytes of every str item of an arbitrary iterable. The
// iterator protocol is safe against a concurrently changed container (a dict
// or set raises "changed size during iteration"), so no lock is taken here.
PyResult<NameSet> name_set(PyObject* helpers, const char* key) {
    PyRef value = BR_TRY(require_helper(helpers, key));
    PyRef it = PyRef::steal(PyObject_GetIter(value.get()));
    if (!it) return py_err();
    NameSet out;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!PyUnicode_Check(item.get())) return not_str(key, item.get());
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(item.get(), &n);
        if (!s) return py_err();  // lone surrogates
        out.emplace(s, std::size_t(n));
    }
    if (PyErr_Occurred()) return py_err();
    return out;
}

}  // namespace

PyResult<PyRef> require_helper(PyObject* helpers, const char* key) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(helpers, key, &value);
    if (found < 0) return py_err();
    if (found == 0) return missing(key);
    return PyRef::steal(value);
}

PyResult<Helpers> Helpers::from_dict(PyObject* helpers) {
    // Entry points check with check_helpers first; this guards other callers.
    if (!PyDict_Check(helpers)) return must_be("helpers", "a dict", helpers);
    Helpers h;
    h.int_ = BR_TRY(require_helper(helpers, "int"));
    h.float_ = BR_TRY(require_helper(helpers, "float"));
    h.coordinate_to_tuple = BR_TRY(require_helper(helpers, "coordinate_to_tuple"));
    h.row_index = BR_TRY(require_helper(helpers, "row_index"));
    h.from_excel = BR_TRY(require_helper(helpers, "from_excel"));
    h.from_ISO8601 = BR_TRY(require_helper(helpers, "from_ISO8601"));
    h.date_warning = BR_TRY(require_helper(helpers, "date_warning"));
    h.ArrayFormula = BR_TRY(require_helper(helpers, "ArrayFormula"));
    h.DataTableFormula = BR_TRY(require_helper(helpers, "DataTableFormula"));
    h.Translator = BR_TRY(require_helper(helpers, "Translator"));
    h.TokenizerError = BR_TRY(require_helper(helpers, "TokenizerError"));
    h.TranslatorError = BR_TRY(require_helper(helpers, "TranslatorError"));
    h.text_content = BR_TRY(require_helper(helpers, "text_content"));
    h.rich_inline = BR_TRY(require_helper(helpers, "rich_inline"));
    h.validate_rpr = BR_TRY(require_helper(helpers, "validate_rpr"));
    h.text_dangerous = BR_TRY(name_set(helpers, "text_dangerous"));
    h.rich_dangerous = BR_TRY(name_set(helpers, "rich_dangerous"));
    return h;
}

PyResult<StringHelpers> StringHelpers::from_dict(PyObject* helpers) {
    StringHelpers h{BR_TRY(Helpers::from_dict(helpers)), {}, {}};
    h.si_content = BR_TRY(require_helper(helpers, "si_content"));
    PyObject* runs = nullptr;
    const int found = PyDict_GetItemStringRef(helpers, "si_runs", &runs);
    if (found < 0) return py_err();
    PyRef owned_runs = PyRef::steal(runs);
    if (found > 0 && runs != Py_None) h.si_runs = std::move(owned_runs);
    return h;
}

}  // namespace brindle
