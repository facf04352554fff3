// Style arrays: whether a cell is styled, and its id in the workbook's
// style list, memoised by content.
#include <writer/writer.hpp>

#include <cstring>

namespace brindle {

namespace {

// A C-contiguous buffer of 32-bit signed integers, or nothing (with the
// export error discarded: such a style is handled through Python instead).
class Int32Buffer {
public:
    explicit Int32Buffer(PyObject* obj) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            failed_ = !clear_ordinary_error();
            return;
        }
        held_ = true;
        ok_ = view_.itemsize == 4 && view_.ndim <= 1 && is_int32_format(view_.format);
    }
    ~Int32Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Int32Buffer(const Int32Buffer&) = delete;
    Int32Buffer& operator=(const Int32Buffer&) = delete;

    bool ok() const noexcept { return ok_; }
    // The export raised an exception that must reach the caller.
    bool failed() const noexcept { return failed_; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len) / 4; }
    std::int32_t at(std::size_t i) const noexcept {
        std::int32_t v;
        std::memcpy(&v, static_cast<const char*>(view_.buf) + i * 4, 4);
        return v;
    }

private:
    static bool is_int32_format(const char* f) noexcept {
        if (!f) return false;
        if (*f == '@' || *f == '=') ++f;
        return (f[0] == 'i' || f[0] == 'l') && f[1] == '\0';
    }
    Py_buffer view_{};
    bool held_ = false;
    bool ok_ = false;
    bool failed_ = false;
};

}  // namespace

PyResult<bool> Writer::has_style(PyObject* style) {
    const StyleProbe probe = BR_TRY(probe_style(style));
    return probe.styled;
}

// One buffer export answers both questions a written cell asks of its style
// array: whether it is styled, and (for nine integers) its cache key.
PyResult<StyleProbe> Writer::probe_style(PyObject* style) {
    StyleProbe probe;
    if (style == Py_None) return probe;
    if (reinterpret_cast<PyObject*>(Py_TYPE(style)) == style_array_cls_.get()) {
        Int32Buffer b(style);
        if (b.failed()) return py_err();
        if (b.ok()) {
            const std::size_t n = b.size();
            if (n == 9) {
                probe.keyed = true;
                for (std::size_t i = 0; i < 9; ++i) {
                    probe.key[i] = b.at(i);
                    probe.styled |= probe.key[i] != 0;
                }
                return probe;
            }
            for (std::size_t i = 0; i < n && !probe.styled; ++i) probe.styled = b.at(i) != 0;
            return probe;
        }
    }
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return py_err();
    PyRef any = PyRef::steal(PyObject_GetAttrString(builtins.get(), "any"));
    if (!any) return py_err();
    PyRef r = PyRef::steal(PyObject_CallOneArg(any.get(), style));
    if (!r) return py_err();
    const int t = PyObject_IsTrue(r.get());
    if (t < 0) return py_err();
    probe.styled = t != 0;
    return probe;
}

PyResult<std::optional<StyleKey>> Writer::style_key(PyObject* style) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(style)) != style_array_cls_.get()) return std::nullopt;
    Int32Buffer b(style);
    if (b.failed()) return py_err();
    if (!b.ok() || b.size() != 9) return std::nullopt;
    StyleKey k;
    for (std::size_t i = 0; i < 9; ++i) k[i] = b.at(i);
    return k;
}

namespace {

[[nodiscard]] PyResult<void> str_into(PyObject* obj, std::string& out) {
    PyRef s = PyRef::steal(PyObject_Str(obj));
    if (!s) return py_err();
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.get(), &len);
    if (!p) return py_err();
    out.assign(p, static_cast<std::size_t>(len));
    return {};
}

}  // namespace

PyResult<std::string_view> Writer::style_text(PyObject* style) {
    const std::optional<StyleKey> key = BR_TRY(style_key(style));
    return style_text(style, key ? &*key : nullptr);
}

PyResult<std::string_view> Writer::style_text(PyObject* style, const StyleKey* key) {
    if (key) {
        if (auto it = style_cache_.find(*key); it != style_cache_.end()) {
            if (it->second.text_fixed) return std::string_view(it->second.text);
            BR_TRY_VOID(str_into(it->second.id.get(), scratch_));
            return std::string_view(scratch_);
        }
    }
    PyRef id = PyRef::steal(PyObject_CallMethodOneArg(cell_styles_.get(), n_add_.get(), style));
    if (!id) return py_err();
    if (!key) {
        BR_TRY_VOID(str_into(id.get(), scratch_));
        return std::string_view(scratch_);
    }
    // Kept as soon as `add` answers, whatever str() of the id then does.
    StyleEntry& e = style_cache_.emplace(*key, StyleEntry{std::move(id), {}, false}).first->second;
    BR_TRY_VOID(str_into(e.id.get(), scratch_));
    if (!PyLong_CheckExact(e.id.get())) return std::string_view(scratch_);
    // Node-based map: the text stays put when the map rehashes.
    e.text = scratch_;
    e.text_fixed = true;
    return std::string_view(e.text);
}

}  // namespace brindle
