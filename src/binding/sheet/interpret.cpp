// One cell's collected texts to its native record: position, formula, value
// by data type, and the date rule with its warning path.
#include <sheet/date_obj.hpp>
#include <sheet/parser.hpp>
#include <sheet/limits.hpp>

#include <utils/cell_text.hpp>

#include <climits>

namespace brindle {
namespace {

PyResult<PyRef> call_kw(PyObject* fn, PyObject* kwargs) {
    PyRef args = PyRef::steal(PyTuple_New(0));
    if (!args) return py_err();
    PyRef res = PyRef::steal(PyObject_Call(fn, args.get(), kwargs));
    if (!res) return py_err();
    return res;
}

PyResult<PyRef> str_or_none(bool present, std::string_view s) {
    if (!present) return PyRef::borrow(Py_None);
    return owned(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
}

// Sets the host exception for a formula error; always the Python error kind.
[[gnu::cold, gnu::noinline]] std::unexpected<BindError> formula_err(const Helpers& h, const FormulaError& e) {
    PyObject* cls = nullptr;
    switch (e.kind) {
        case FormulaErrorKind::Tokenizer:
            cls = h.TokenizerError.get();
            break;
        case FormulaErrorKind::Translator:
            cls = h.TranslatorError.get();
            break;
        case FormulaErrorKind::PopEmpty:
            PyErr_SetString(PyExc_IndexError, "pop from empty list");
            return py_err();
        case FormulaErrorKind::NeedPython:
            PyErr_SetString(PyExc_TypeError, "internal: NeedPython");
            return py_err();
    }
    PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(e.message.data(), Py_ssize_t(e.message.size())));
    if (!msg) return py_err();
    PyRef inst = PyRef::steal(PyObject_CallOneArg(cls, msg.get()));
    if (!inst) return py_err();
    if (PyExceptionInstance_Check(inst.get()))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(inst.get())), inst.get());
    else
        PyErr_SetObject(PyExc_TypeError, inst.get());  // raising a non-exception fails like this
    return py_err();
}

}  // namespace

DType SheetParser::dtype_of(std::string_view t) {
    for (std::uint8_t k = 0; k < kDtCount; ++k)
        if (kDtNames[k] == t) return DType::of(k);
    DType d;
    d.code = kDtCount;
    d.py = PyRef::steal(PyUnicode_FromStringAndSize(t.data(), Py_ssize_t(t.size())));
    return d;
}

PyResult<void> SheetParser::interpret(StyleId style, std::vector<CellRec>& cells) {
    // Built in place: a cell record is over a hundred bytes, and a failing
    // cell is popped again.
    CellRec& rec = cells.emplace_back();
    struct Undo {
        std::vector<CellRec>* cells;
        ~Undo() {
            if (cells) cells->pop_back();
        }
    } undo{&cells};
    rec.style = std::move(style);
    const CellTexts& c = cur_;
    const std::string_view t = c.has_t ? c.t : std::string_view("n");
    const TypeText tt = c.has_t ? type_text(c.t) : TypeText::N;
    const bool v_present = !c.v.empty() && tt != TypeText::InlineStr;

    if (c.has_r && !c.r.empty()) {
        if (auto rc = fast_coordinate(c.r)) [[likely]] {
            rec.row = rc->first;
            rec.column = rc->second;
        } else {
            auto [row, col] = BR_TRY(coordinate(c.r));
            rec.row = row;
            rec.column = col;
        }
        col_counter_ = rec.column;
        if (!cell_in_sheet(rec.row, rec.column)) [[unlikely]] {
            raise_limit(cell_outside_message(c.r).c_str());
            return py_err();
        }
        if (rec.row != row_counter_) [[unlikely]]
            BR_TRY_VOID(other_row(rec));
    } else {
        rec.row = row_counter_;
        rec.column = ++col_counter_;
        if (rec.column > kLastColumn) [[unlikely]] {
            // Counted one by one, so the first cell past the last column is XFE.
            std::string ref;
            append_column_letters(ref, rec.column);
            ref += std::to_string(rec.row);
            raise_limit(cell_outside_message(ref).c_str());
            return py_err();
        }
    }
    // A format the workbook does not have: the host names the cell, checked
    // here with the cell's other faults so that the first fault of the sheet wins.
    if (settings_.n_styles >= 0 && !rec.style.py && (rec.style.id < 0 || rec.style.id >= settings_.n_styles))
        [[unlikely]]
        return malformed("style index");

    if (!c.has_f) [[likely]] {
        if (v_present) {
            BR_TRY_VOID(value_rule(tt, t, rec.style, false, rec.value, rec.data_type));
            if (settings_.as_read) keep_number(rec, tt, v_present);
        } else if (tt == TypeText::InlineStr && has_inline_) {
            rec.value = std::move(inline_);
            rec.data_type.code = kDtS;
        } else if (tt == TypeText::E) {
            // An error without its code is still an error: empty text keeps
            // the cell, which no value would drop on save.
            rec.value.set_text("");
            rec.data_type.code = kDtE;
        } else {
            rec.data_type = dtype_of(t);
            if (rec.data_type.code == kDtCount && !rec.data_type.py) return py_err();
        }
        undo.cells = nullptr;
        return {};
    }

    const bool data_only = settings_.data_only, fav = settings_.formula_and_value;
    rec.formula_cell = !data_only;
    if (rec.formula_cell && !fav) {
        BR_TRY_VOID(formula_step(rec, rec.value));
        rec.data_type.code = kDtF;
        if (settings_.as_read) keep_cached(rec, tt, v_present);
        undo.cells = nullptr;
        return {};
    }
    Val formula;
    if (!data_only || fav) BR_TRY_VOID(formula_step(rec, formula));

    Val value;
    DType dtype;
    if (v_present) {
        BR_TRY_VOID(value_rule(tt, t, rec.style, rec.formula_cell, value, dtype));
    } else if (tt == TypeText::InlineStr && has_inline_) {
        value = std::move(inline_);
        dtype = DType::of(kDtS);
    } else {
        dtype = dtype_of(t);
        if (dtype.code == kDtCount && !dtype.py) return py_err();
    }

    if (rec.formula_cell) {  // and formula_and_value: the formula, its cached value aside
        rec.value = std::move(formula);
        rec.pair = std::make_unique<FormulaPair>();
        rec.pair->cached = std::move(value);
        rec.pair->has_cached = true;
        rec.data_type.code = kDtF;
        if (settings_.as_read) keep_cached(rec, tt, v_present);
    } else {
        rec.value = std::move(value);
        rec.data_type = std::move(dtype);
        if (settings_.as_read) keep_number(rec, tt, v_present);
        if (fav) {
            rec.pair = std::make_unique<FormulaPair>();
            rec.pair->formula = std::move(formula);
            rec.pair->has_formula = true;
        }
    }
    undo.cells = nullptr;
    return {};
}

void SheetParser::keep_cached(CellRec& rec, TypeText tt, bool v_present) {
    if (!v_present) return;
    std::uint8_t kind = as_read::kNone;
    switch (tt) {
        case TypeText::N: kind = as_read::kUntyped; break;
        case TypeText::Str: kind = as_read::kStr; break;
        case TypeText::B: kind = as_read::kB; break;
        case TypeText::E: kind = as_read::kE; break;
        case TypeText::D: kind = as_read::kD; break;
        default: return;  // shared strings and the rest: not kept
    }
    rec.as_read = kind;
    rec.as_read_text.assign(cur_.v);
}

void SheetParser::keep_number(CellRec& rec, TypeText tt, bool v_present) {
    if (tt == TypeText::D && v_present) {
        // Its own text back: the cell's format may show no date, and written
        // as a serial it would read back as a number.
        rec.as_read = as_read::kD;
        rec.as_read_text.assign(cur_.v);
        return;
    }
    if (!lossy_ || tt != TypeText::N || !v_present) return;
    rec.as_read = as_read::kN;
    rec.as_read_text.assign(cur_.v);
}

// `value` and `dtype` are fresh: the setters need not clear them.
PyResult<void> SheetParser::value_rule(TypeText tt, std::string_view t, const StyleId& style, bool formula_cell,
                                       Val& value, DType& dtype) {
    const std::string_view v = cur_.v;
    switch (tt) {
        case TypeText::N:
            return number_rule(style, formula_cell, value, dtype);
        case TypeText::S: {
            dtype.code = kDtS;
            if (auto i = short_decimal(v);
                i && *i >= 0 && *i <= INT64_C(0xFFFFFFFF) && std::uint64_t(*i) < settings_.shared_strings_len) {
                value.set_shared_string(std::uint32_t(*i));
                return {};
            }
            // The store finds the runs of a shared string by its index alone.
            if (settings_.as_read && settings_.rich_strings) return unsupported("odd shared string index");
            PyRef idx = BR_TRY(py_int(v));
            if (PyLong_CheckExact(idx.get())) {
                // Past either end of the table (a negative index would count
                // from its end): the host names the cell.
                Py_ssize_t n = PyObject_Length(settings_.shared_strings.get());
                if (n < 0) {
                    // A caller's table without a length bounds its indexes itself.
                    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return py_err();
                    PyErr_Clear();
                    n = PY_SSIZE_T_MAX;
                }
                int overflow = 0;
                const long long i = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
                if (i == -1 && PyErr_Occurred()) return py_err();
                if (overflow || i < 0 || i >= n) return malformed("shared string index");
            }
            value.set_py(BR_TRY(owned(PyObject_GetItem(settings_.shared_strings.get(), idx.get()))));
            return {};
        }
        case TypeText::B: {
            dtype.code = kDtB;
            if (auto i = short_decimal(v)) {
                value.set_bool(*i != 0);
                return {};
            }
            PyRef n = BR_TRY(py_int(v));
            const int truth = PyObject_IsTrue(n.get());
            if (truth < 0) return py_err();
            value.set_bool(truth != 0);
            return {};
        }
        case TypeText::D:
            dtype.code = kDtD;
            value.set_py(BR_TRY(py_call1(helpers_.from_ISO8601.get(), v)));
            return {};
        case TypeText::E:
        case TypeText::F:
        case TypeText::Str:
            // clang-format off
            dtype.code = tt == TypeText::E ? kDtE : tt == TypeText::F ? kDtF : kDtS;
            // clang-format on
            value.set_text(v);
            return {};
        case TypeText::InlineStr:
        case TypeText::Other:
            break;
    }
    value.set_text(v);
    dtype = dtype_of(t);
    if (dtype.code == kDtCount && !dtype.py) return py_err();
    return {};
}

PyResult<void> SheetParser::number_rule(const StyleId& style, bool formula_cell, Val& value, DType& dtype) {
    const std::string_view v = cur_.v;
    dtype.code = kDtN;
    lossy_ = false;
    const ParsedNumber nt = parse_number(v);
    if (nt.kind == ParsedNumber::Kind::Int) {
        value.set_int(nt.i);
    } else if (nt.kind == ParsedNumber::Kind::Float) {
        value.set_float(nt.f);
    } else if (integer_text(v)) {
        if (auto i = short_decimal(v)) value.set_int(*i);
        else value.set_py(BR_TRY(py_call1(helpers_.int_.get(), v)));
    } else if (auto d = parse_decimal(v)) {
        value.set_float(*d);
    } else {
        PyRef o = BR_TRY(py_call1(helpers_.float_.get(), v));
        // What converts to a double is kept as one; str and the like stay as
        // the host made them.
        if (PyUnicode_Check(o.get()) || PyBytes_Check(o.get()) || PyByteArray_Check(o.get()) ||
            PyMemoryView_Check(o.get())) {
            value.set_py(std::move(o));
        } else {
            double x = PyFloat_AsDouble(o.get());
            if (x == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
                    return py_err();
                PyErr_Clear();
                value.set_py(std::move(o));
            } else {
                value.set_float(x);
            }
        }
    }

    // No number text written for an infinity, a NaN or an int past 2**53
    // (written as the nearest double) reads back as it: the text read does.
    constexpr long long kExactInt = 1LL << 53;
    if (value.kind == Val::Kind::Float) {
        lossy_ = !std::isfinite(value.f);
    } else if (value.kind == Val::Kind::Int) {
        lossy_ = value.i > kExactInt || value.i < -kExactInt;
    } else if (value.kind == Val::Kind::Py && PyLong_CheckExact(value.py.get())) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(value.py.get(), &overflow);
        if (i == -1 && PyErr_Occurred()) return py_err();
        lossy_ = overflow != 0 || i > kExactInt || i < -kExactInt;
    }
    if (style.py) return {};
    const std::uint8_t flags = settings_.format_flags(style.id);
    if (!(flags & Settings::kDateFormat)) [[likely]]
        return {};
    const bool timedelta = flags & Settings::kTimedeltaFormat;
    const bool time_only = flags & Settings::kTimeFormat;
    if (!timedelta && settings_.epoch && (value.kind == Val::Kind::Int || value.kind == Val::Kind::Float)) {
        const bool is_int = value.kind == Val::Kind::Int;
        // Stored dates are converted later without their format, which in
        // the 1900 system never matters; elsewhere a time-only format makes
        // the time here.
        if (time_only && !settings_.epoch->is_1900) {
            const DateParts d = is_int ? from_excel_int(value.i, *settings_.epoch, true)
                                       : from_excel_float(value.f, *settings_.epoch, true);
            if (d.ok() && d.kind == DateParts::Kind::Time) {
                value = Val::py_(BR_TRY(date_to_py(d)));
                dtype = DType::of(kDtD);
                return {};
            }
        }
        if (is_int ? excel_int_in_range(value.i, *settings_.epoch)
                   : from_excel_float(value.f, *settings_.epoch).ok()) {
            // Serial 60 of the 1900 system is a day that never was: it
            // reads as the day before, whose serial is 59.
            if (settings_.epoch->is_1900 && (is_int ? value.i == 60 : value.f >= 60.0 && value.f < 61.0))
                lossy_ = true;
            value.kind = is_int ? Val::Kind::DateInt : Val::Kind::DateFloat;
            dtype.code = kDtD;
            return {};
        }
        PyRef num = BR_TRY(val_to_py(value));
        return date_warning(value, dtype, num.get(), formula_cell);
    }
    if (settings_.as_read && !timedelta &&
        ((value.kind == Val::Kind::Int && value.i == 60) ||
         (value.kind == Val::Kind::Float && value.f >= 60.0 && value.f < 61.0)))
        return unsupported("serial 60 without a native epoch");  // whether it is the 1900 one
    PyRef num = BR_TRY(val_to_py(value));
    PyRef kw = PyRef::steal(time_only ? Py_BuildValue("{s:O,s:O}", "timedelta", timedelta ? Py_True : Py_False,
                                                      "time_only", Py_True)
                                      : Py_BuildValue("{s:O}", "timedelta", timedelta ? Py_True : Py_False));
    if (!kw) return py_err();
    PyRef args = PyRef::steal(PyTuple_Pack(2, num.get(), settings_.epoch_obj.get()));
    if (!args) return py_err();
    PyRef res = PyRef::steal(PyObject_Call(helpers_.from_excel.get(), args.get(), kw.get()));
    if (!res) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            return py_err();
        PyErr_Clear();
        return date_warning(value, dtype, num.get(), formula_cell);
    }
    value = Val::py_(std::move(res));
    dtype = DType::of(kDtD);
    return {};
}

// A cell whose reference names another row than its <row>: it stays where
// its reference says, its row is split by the row reader, and the sheet's
// first such cell is reported (the host names the sheet).
PyResult<void> SheetParser::other_row(const CellRec& rec) {
    other_rows_ = true;
    if (warned_other_row_) return {};
    warned_other_row_ = true;
    std::string ref;
    append_column_letters(ref, rec.column);
    ref += std::to_string(rec.row);
    const std::string msg = "cell " + ref + " lies in <row r=\"" + std::to_string(row_counter_) +
                            "\">; it is read as " + ref;
    PyRef entry = PyRef::steal(Py_BuildValue("(ss#)", "sheet_warn", msg.data(), Py_ssize_t(msg.size())));
    if (!entry || PyList_Append(actions_.get(), entry.get()) < 0) return py_err();
    return {};
}

PyResult<void> SheetParser::date_warning(Val& value, DType& dtype, PyObject* number, bool formula_cell) {
    PyRef coord = BR_TRY(str_or_none(cur_.has_r, cur_.r));
    PyRef msg = PyRef::steal(PyObject_CallFunctionObjArgs(helpers_.date_warning.get(), coord.get(), number, nullptr));
    if (!msg) return py_err();
    if (!formula_cell) {
        PyRef entry = PyRef::steal(Py_BuildValue("(sO)", "warn", msg.get()));
        if (!entry || PyList_Append(actions_.get(), entry.get()) < 0) return py_err();
    }
    value = Val::text_("#VALUE!");
    dtype = DType::of(kDtE);
    lossy_ = true;
    return {};
}

PyResult<void> SheetParser::formula_step(const CellRec& rec, Val& out) {
    const std::string_view ft = cur_.f_t;
    if (!cur_.has_f_t || (ft != "array" && ft != "dataTable" && ft != "shared")) {
        // The usual formula: its text built where it is kept.
        out.kind = Val::Kind::Text;
        out.text.reserve(cur_.f.size() + 1);
        out.text.assign("=");
        out.text.append(cur_.f);
        return {};
    }
    formula_buf_.assign("=");
    formula_buf_.append(cur_.f);
    if (ft == "array") {
        PyRef ref = BR_TRY(str_or_none(cur_.has_f_ref, cur_.f_ref));
        PyRef text = BR_TRY(str_or_none(true, formula_buf_));
        PyRef kw = PyRef::steal(Py_BuildValue("{s:O,s:O}", "ref", ref.get(), "text", text.get()));
        if (!kw) return py_err();
        PyResult<PyRef> res = call_kw(helpers_.ArrayFormula.get(), kw.get());
        if (!res) return py_err();
        out.set_py(std::move(*res));
        return {};
    }
    if (ft == "dataTable") {
        PyRef kw = dt_dict_ ? dt_dict_.clone() : PyRef::steal(PyDict_New());
        if (!kw) return py_err();
        PyResult<PyRef> res = call_kw(helpers_.DataTableFormula.get(), kw.get());
        if (!res) return py_err();
        out.set_py(std::move(*res));
        return {};
    }
    out = BR_TRY(shared_formula(rec, formula_buf_));
    return {};
}

PyResult<Val> SheetParser::shared_formula(const CellRec& rec, std::string_view formula) {
    std::optional<std::uint32_t> idx;
    if (cur_.has_f_si) {
        if (auto it = shared_by_si_.find(cur_.f_si); it != shared_by_si_.end()) idx = it->second;
    } else {
        idx = unkeyed_shared_;
    }
    const bool has_coord = cur_.has_r && !cur_.r.empty();
    if (idx) {
        const SharedMaster& m = shared_[*idx];
        if (!m.native) {
            PyRef r = BR_TRY(str_or_none(has_coord, cur_.r));
            PyRef res = PyRef::steal(PyObject_CallMethod(m.host.get(), "translate_formula", "O", r.get()));
            if (!res) return py_err();
            return Val::py_(std::move(res));
        }
        std::optional<CellPos> dest;
        if (has_coord) dest = CellPos{rec.row, rec.column};
        if (auto ok = m.native->check(dest); !ok) return formula_err(helpers_, ok.error());
        Val v;
        v.kind = Val::Kind::SharedFormula;
        v.has_coord = has_coord;
        v.i = rec.row;
        v.col = rec.column;
        v.index = *idx;
        return v;
    }
    if (formula == "=") return Val::text_(formula);
    if (shared_.size() >= UINT32_MAX) return unsupported("too many shared formulas");
    SharedMaster m;
    if (has_coord) {
        auto made = Translator::make(formula, CellPos{rec.row, rec.column});
        if (made) {
            m.native = std::move(*made);
            m.row = rec.row;
            m.col = rec.column;
        } else if (made.error().kind != FormulaErrorKind::NeedPython) {
            return formula_err(helpers_, made.error());
        }
    }
    if (!m.native) {
        PyRef r = BR_TRY(str_or_none(has_coord, cur_.r));
        PyRef text = BR_TRY(str_or_none(true, formula));
        m.host = PyRef::steal(PyObject_CallFunctionObjArgs(helpers_.Translator.get(), text.get(), r.get(), nullptr));
        if (!m.host) return py_err();
    }
    // Registered only once built: a failing master leaves nothing behind.
    shared_.push_back(std::move(m));
    const auto index = static_cast<std::uint32_t>(shared_.size() - 1);
    if (cur_.has_f_si) shared_by_si_.insert_or_assign(std::string(cur_.f_si), index);
    else unkeyed_shared_ = index;
    return Val::text_(formula);
}

}  // namespace brindle
