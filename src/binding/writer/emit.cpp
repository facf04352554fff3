// One host cell as a <c> element, and the <row> start tag.
#include <writer/writer.hpp>

#include <frame/args.hpp>

#include <utils/strip.hpp>
#include <writer/cell_ref.hpp>
#include <writer/escape.hpp>
#include <text/x005f.hpp>

#include <datetime.h>

#include <charconv>
#include <cstring>

namespace brindle {

namespace {

[[nodiscard]] PyResult<bool> truth(PyObject* obj) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) return py_err();
    return t != 0;
}

std::size_t utf8_len(unsigned char lead) noexcept {
    // clang-format off
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // clang-format on
}

[[nodiscard, gnu::cold]] PyResult<std::string_view> utf8_of_str(PyObject* obj, const char* what) {
    if (!PyUnicode_Check(obj)) return must_be(what, "str", obj);
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!p) return py_err();
    return std::string_view(p, static_cast<std::size_t>(len));
}

}  // namespace

// The (value, keep) answer of the host's date helpers.
PyResult<bool> unpack_date_result(PyObject* r) {
    if (!PyTuple_Check(r)) return must_be("date helper", "return a tuple", r);
    if (PyTuple_GET_SIZE(r) != 2) {
        PyErr_Format(PyExc_TypeError, "date helper must return a 2-tuple, not a %zd-tuple",
                     PyTuple_GET_SIZE(r));
        return py_err();
    }
    PyObject* keep = PyTuple_GET_ITEM(r, 1);
    if (!PyBool_Check(keep)) return must_be("date helper flag", "bool", keep);
    return keep == Py_True;
}

PyResult<void> Writer::write_one(PyObject* cell) {
    PyRef comment = BR_TRY(cell_attr(cell, CellLayout::Comment));
    if (comment.get() != Py_None) {
        PyRef r = PyRef::steal(
            PyObject_CallFunctionObjArgs(add_comment_.get(), ws_.get(), cell, nullptr));
        if (!r) return py_err();
    }
    PyRef value = BR_TRY(cell_attr(cell, CellLayout::Value));
    PyRef style = BR_TRY(cell_attr(cell, CellLayout::Style));
    const StyleProbe probe = BR_TRY(probe_style(style.get()));
    const bool styled = probe.styled;
    if (value.get() == Py_None && !styled && !BR_TRY(truth(comment.get()))) return {};

    // A loaded cell whose value was never set is written as the file had
    // it: rare enough (cells read but not assigned) for the host's writer.
    PyRef as_read = BR_TRY(cell_attr(cell, CellLayout::AsRead));
    if (as_read.get() != Py_None) return push_fallback(cell, styled);

    generic_reads_ = false;
    PyRef data_type = BR_TRY(cell_attr(cell, CellLayout::DataType));
    PyRef row_obj = BR_TRY(cell_attr(cell, CellLayout::Row));
    PyRef column_obj = BR_TRY(cell_attr(cell, CellLayout::Column));
    // Reads through the attribute protocol may have run code that changed
    // the style array in place; its key is then taken again.
    const bool key_current = probe.keyed && !generic_reads_;
    const auto row = exact_int(row_obj.get());
    const auto column = exact_int(column_obj.get());
    if (!row || !column || *column < 1 || *column > kMaxColumn) return push_fallback(cell, styled);
    // Exactly str: a subclass may compare or escape itself differently,
    // which only the host's own writer reproduces.
    if (!PyUnicode_CheckExact(data_type.get())) return push_fallback(cell, styled);
    Py_ssize_t dt_len = 0;
    const char* dt_p = PyUnicode_AsUTF8AndSize(data_type.get(), &dt_len);
    if (!dt_p) {
        // Lone surrogates: not text we can write.
        PyErr_Clear();
        return push_fallback(cell, styled);
    }
    const std::string_view dtype(dt_p, static_cast<std::size_t>(dt_len));
    if (has_forbidden_char(dtype)) return push_fallback(cell, styled);

    std::optional<std::string_view> style_attr;
    if (styled) {
        if (key_current)
            style_attr = BR_TRY(style_text(style.get(), &probe.key));
        else
            style_attr = BR_TRY(style_text(style.get()));
    }

    std::optional<std::string_view> type_attr = dtype;
    PyRef date_result;  // keeps the date helper's value alive while it is written
    PyObject* to_write = value.get();
    std::optional<NumberText> serial;
    if (dtype == "f") {
        type_attr.reset();
    } else if (dtype == "s") {
        type_attr = kDtNames[kDtInlineStr];
    } else if (dtype == "d") {
        // The host's helper gives a date's serial number for the workbook's
        // epoch; for plain dates the same arithmetic runs here.
        if (native_dates_) serial = native_serial(value.get());
        if (serial) {
            type_attr = "n";
        } else {
            date_result = PyRef::steal(
                PyObject_CallFunctionObjArgs(date_value_.get(), ws_.get(), cell, nullptr));
            if (!date_result) return py_err();
            const bool keep = BR_TRY(unpack_date_result(date_result.get()));
            if (!keep) type_attr = "n";
            to_write = PyTuple_GET_ITEM(date_result.get(), 0);
        }
    }
    // style_text may have left its text in scratch_; nothing below reuses it.
    const Classified c = serial ? Classified::number(*serial) : classify(to_write);
    if (c.kind() == Classified::Kind::Unsupported) return push_fallback(cell, styled);
    PyRef hyperlink = BR_TRY(cell_attr(cell, CellLayout::Hyperlink));
    const bool written =
        BR_TRY(emit(*row, *column, dtype, type_attr, c, style_attr, hyperlink.get()));
    if (!written) return push_fallback(cell, styled);
    return {};
}

std::optional<NumberText> Writer::native_serial(PyObject* value) const noexcept {
    // Only the header's field macros are used, which read the objects
    // directly; its per-file API pointer stays unused.
    (void)PyDateTimeAPI;
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(value));
    DateParts parts;
    parts.kind = DateParts::Kind::DateTime;
    if (tp == datetime_cls_.get()) {
        // A zone is dropped: serials hold the wall-clock time.
        parts.hour = static_cast<std::uint8_t>(PyDateTime_DATE_GET_HOUR(value));
        parts.minute = static_cast<std::uint8_t>(PyDateTime_DATE_GET_MINUTE(value));
        parts.second = static_cast<std::uint8_t>(PyDateTime_DATE_GET_SECOND(value));
        parts.microsecond = static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(value));
    } else if (tp != date_cls_.get()) {
        return std::nullopt;
    }
    parts.year = PyDateTime_GET_YEAR(value);
    parts.month = static_cast<std::uint8_t>(PyDateTime_GET_MONTH(value));
    parts.day = static_cast<std::uint8_t>(PyDateTime_GET_DAY(value));
    const auto serial = to_excel_serial(parts, *epoch_);
    if (!serial) return std::nullopt;
    return g16_float(*serial);
}

namespace {

// Writes into a stack buffer that is appended to the output in one piece.
struct Put {
    char* p;
    void lit(std::string_view s) noexcept {
        std::memcpy(p, s.data(), s.size());
        p += s.size();
    }
    void ch(char c) noexcept { *p++ = c; }
    void column(std::int64_t col) noexcept {
        char tmp[3];
        int n = 0;
        while (col > 0) {
            --col;
            tmp[n++] = static_cast<char>('A' + col % 26);
            col /= 26;
        }
        while (n > 0) *p++ = tmp[--n];
    }
    void decimal(std::int64_t n) noexcept { p = std::to_chars(p, p + 24, n).ptr; }
};

// Attribute texts longer than this take the general path.
constexpr std::size_t kShortAttr = 32;
// Content texts up to this length that need no escaping are copied into
// the stack buffer with the tags around them.
constexpr std::size_t kShortText = 96;

bool short_plain_attr(const std::optional<std::string_view>& a, bool lxml) noexcept {
    return !a || (a->size() <= kShortAttr && !attr_needs_escape(*a, lxml));
}

}  // namespace

PyResult<bool> Writer::emit(std::int64_t row, std::int64_t column, std::string_view data_type,
                            std::optional<std::string_view> type_attr, const Classified& value,
                            std::optional<std::string_view> style, PyObject* hyperlink,
                            std::optional<std::string_view> cached) {
    using Form = CellForm;
    Form form = Form::Empty;
    std::string_view text = value.text();
    switch (value.kind()) {
        case Classified::Kind::None:
            break;
        case Classified::Kind::Number:
            if (data_type == "f" || data_type == "s") return false;
            form = Form::Value;
            break;
        case Classified::Kind::Text:
            if (text.empty()) break;
            if (data_type == "s") {
                // Strings carry what XML cannot as escapes; the rare text
                // that needs them is encoded into a buffer kept for reuse.
                form = Form::Inline;
                if (needs_escapes(text)) {
                    escaped_.clear();
                    encode_escapes(escaped_, text);
                    text = escaped_;
                }
                break;
            }
            if (has_forbidden_char(text)) return false;
            form = data_type == "f" ? Form::Formula : Form::Value;
            break;
        case Classified::Kind::Unsupported:
            return false;
    }
    if (hyperlink != Py_None && BR_TRY(truth(hyperlink))) {
        PyRef r = PyRef::steal(PyObject_CallMethodOneArg(hyperlinks_.get(), n_append_.get(), hyperlink));
        if (!r) return py_err();
    }
    if (form != Form::Formula || (cached && cached->empty())) cached.reset();
    if (cached || !short_plain_attr(style, lxml_) || !short_plain_attr(type_attr, lxml_)) {
        emit_general(row, column, type_attr, form, text, style, cached);
        return true;
    }

    // The start tag and, for short text that needs no escaping, the whole
    // element go out in one append.
    char head[512];
    Put o{head};
    o.lit("<c r=\"");
    o.column(column);
    o.decimal(row);
    o.ch('"');
    if (style) {
        o.lit(" s=\"");
        o.lit(*style);
        o.ch('"');
    }
    if (type_attr) {
        o.lit(" t=\"");
        o.lit(*type_attr);
        o.ch('"');
    }
    const std::string_view empty_v = lxml_ ? "<v></v>" : "<v />";
    // `open`, the text escaped, `close`.
    // Number text (digits, sign, point, exponent) never needs escaping.
    const bool number = value.kind() == Classified::Kind::Number;
    auto body = [&](std::string_view open, std::string_view t, std::string_view close) {
        o.lit(open);
        if (t.size() <= kShortText && (number || !text_needs_escape(t, lxml_))) {
            o.lit(t);
            o.lit(close);
            buf_.append(head, static_cast<std::size_t>(o.p - head));
            return;
        }
        buf_.append(head, static_cast<std::size_t>(o.p - head));
        esc_text(buf_, t, lxml_);
        buf_.append(close);
    };
    switch (form) {
        case Form::Empty:
            o.lit(lxml_ ? "></c>" : " />");
            buf_.append(head, static_cast<std::size_t>(o.p - head));
            break;
        case Form::Value:
            if (text.empty()) {
                o.ch('>');
                o.lit(empty_v);
                o.lit("</c>");
                buf_.append(head, static_cast<std::size_t>(o.p - head));
            } else {
                body("><v>", text, "</v></c>");
            }
            break;
        case Form::Formula: {
            // The leading "=" (whatever the first character is) is implied.
            const std::string_view rest = text.substr(utf8_len(static_cast<unsigned char>(text[0])));
            if (rest.empty()) {
                o.lit(lxml_ ? "><f></f>" : "><f />");
                o.lit(empty_v);
                o.lit("</c>");
                buf_.append(head, static_cast<std::size_t>(o.p - head));
            } else {
                body("><f>", rest, lxml_ ? "</f><v></v></c>" : "</f><v /></c>");
            }
            break;
        }
        case Form::Inline: {
            const std::string_view stripped = py_strip(text);
            const bool preserve = stripped.size() != text.size() && (lxml_ || !stripped.empty());
            body(preserve ? "><is><t xml:space=\"preserve\">" : "><is><t>", text, "</t></is></c>");
            break;
        }
    }
    return true;
}

void Writer::emit_general(std::int64_t row, std::int64_t column,
                          std::optional<std::string_view> type_attr, CellForm form,
                          std::string_view text, std::optional<std::string_view> style,
                          std::optional<std::string_view> cached) {
    using Form = CellForm;
    std::string& b = buf_;
    b.append("<c r=\"");
    append_column_letters(b, column);
    append_decimal(b, row);
    b.push_back('"');
    if (style) {
        b.append(" s=\"");
        esc_attr(b, *style, lxml_);
        b.push_back('"');
    }
    if (type_attr) {
        b.append(" t=\"");
        esc_attr(b, *type_attr, lxml_);
        b.push_back('"');
    }
    const std::string_view empty_v = lxml_ ? "<v></v>" : "<v />";
    switch (form) {
        case Form::Empty:
            b.append(lxml_ ? "></c>" : " />");
            break;
        case Form::Value:
            if (text.empty()) {
                b.push_back('>');
                b.append(empty_v);
            } else {
                b.append("><v>");
                esc_text(b, text, lxml_);
                b.append("</v>");
            }
            b.append("</c>");
            break;
        case Form::Formula: {
            const std::string_view rest = text.substr(utf8_len(static_cast<unsigned char>(text[0])));
            if (rest.empty()) {
                b.append(lxml_ ? "><f></f>" : "><f />");
            } else {
                b.append("><f>");
                esc_text(b, rest, lxml_);
                b.append("</f>");
            }
            if (cached && !cached->empty()) {
                b.append("<v>");
                esc_text(b, *cached, lxml_);
                b.append("</v>");
            } else {
                b.append(empty_v);
            }
            b.append("</c>");
            break;
        }
        case Form::Inline: {
            b.append("><is><t");
            const std::string_view stripped = py_strip(text);
            if (stripped.size() != text.size() && (lxml_ || !stripped.empty()))
                b.append(" xml:space=\"preserve\"");
            b.push_back('>');
            esc_text(b, text, lxml_);
            b.append("</t></is></c>");
            break;
        }
    }
}

PyResult<void> Writer::push_fallback(PyObject* cell, bool styled) {
    PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(write_cell_.get(), ws_.get(), cell,
                                                        styled ? Py_True : Py_False, nullptr));
    if (!r) return py_err();
    if (lxml_) {
        if (!PyBytes_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "write_cell must return bytes, not %.200s",
                         Py_TYPE(r.get())->tp_name);
            return py_err();
        }
        buf_.append(PyBytes_AS_STRING(r.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(r.get())));
        return {};
    }
    if (!PyUnicode_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "write_cell must return str, not %.200s",
                     Py_TYPE(r.get())->tp_name);
        return py_err();
    }
    Py_ssize_t len = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(r.get(), &len)) {
        buf_.append(p, static_cast<std::size_t>(len));
        return {};
    }
    // Not encodable (lone surrogates): the host's write gets the str itself,
    // after everything before it, so the order of the output is kept.
    HeldException encode_error;
    encode_error.capture();
    BR_TRY_VOID(flush());
    PyRef w = PyRef::steal(PyObject_CallOneArg(write_.get(), r.get()));
    if (!w) return py_err();
    return {};
}

PyResult<void> Writer::write_row_start(std::string_view row_text, PyObject* dimension) {
    buf_.append("<row");
    if (!dimension) {
        buf_.append(" r=\"");
        esc_attr(buf_, row_text, lxml_);
        buf_.push_back('"');
        buf_.push_back('>');
        return {};
    }
    // The host decides what a dimension contributes: its items update a
    // dict that starts with "r", so "r" stays first even when replaced.
    PyRef attrs = PyRef::steal(PyDict_New());
    if (!attrs) return py_err();
    PyRef r = PyRef::steal(PyUnicode_FromStringAndSize(row_text.data(),
                                                       static_cast<Py_ssize_t>(row_text.size())));
    if (!r || PyDict_SetItemString(attrs.get(), "r", r.get()) < 0) return py_err();
    PyRef done = PyRef::steal(PyObject_CallMethodOneArg(attrs.get(), n_update_.get(), dimension));
    if (!done) return py_err();
    // `attrs` is private to this call and nothing below runs Python code,
    // so its items can be walked without a critical section.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(attrs.get(), &pos, &key, &value)) {
        const std::string_view k = BR_TRY(utf8_of_str(key, "row attribute name"));
        const std::string_view v = BR_TRY(utf8_of_str(value, "row attribute value"));
        buf_.push_back(' ');
        esc_attr(buf_, k, lxml_);
        buf_.append("=\"");
        esc_attr(buf_, v, lxml_);
        buf_.push_back('"');
    }
    buf_.push_back('>');
    return {};
}

}  // namespace brindle
