// The <sheetData> of a worksheet whose cells are in a CellStore, written
// straight from the store's records: most cells never become host Cell
// objects. What cannot be reproduced from a record is materialised and
// written like any host cell, in place.
//
// The store is held only while its structures are read, one row at a
// time: everything a row needs from the store (texts, rendered formulas,
// number texts, value objects) is copied out under one shared hold, and
// the row is then written with the store free, since host code (style
// lookups, helpers, materialisation) runs while writing. Between rows the
// store may change; the walk then finds its place again by key, so each row
// is written whole from one state of the store.
#include <writer/writer.hpp>

#include <store/store_object.hpp>
#include <writer/cell_ref.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace brindle {

// The parts of a walk, named so that StoreWalk (a friend of Writer) can
// hold them.
namespace stored {

// Style indexes below this are cached in a vector, the rare larger ones in
// a map (a host style list can claim any length).
constexpr std::int64_t kDenseStyles = 1 << 16;

// One stored cell of the current row, with everything it needs from the
// store copied out.
struct StoredCell {
    enum class Val : std::uint8_t {
        Cell,      // a materialised host cell: `obj`
        Empty,     // no value
        Number,    // number text in the row buffer
        Text,      // text in the row buffer
        Object,    // the value object `obj`, classified when written
        Serial,    // a date as serial number text in the row buffer, written with t="n"
        DateRaw,   // a date value `obj`, for the host's date helper
        AsRead,    // the number the file held, in the row buffer at `kept_off`
        Delegate,  // only the host's writer reproduces it
    };
    Loc loc;
    std::uint64_t key = 0;
    std::int64_t style = -1;
    std::uint8_t tag = tag::kNone;
    Val val = Val::Empty;
    std::size_t off = 0, len = 0;  // the text in the row buffer
    std::string_view dtype;        // a static text, or the UTF-8 of `custom`
    // What the cell keeps as read (as_read::*), its text in the row buffer.
    std::uint8_t kept = as_read::kNone;
    std::size_t kept_off = 0, kept_len = 0;
    PyRef obj;
    PyRef custom;
};

// The per-call memo of style texts by style index.
struct StyleMemo {
    bool known = false;
    bool styled = false;
    std::string text;
};

[[nodiscard, gnu::cold]] std::unexpected<BindError> store_switched() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return py_err();
}

// Everything of a row, collected under the store's shared hold.
class RowCollector {
public:
    RowCollector(PyStore& s, const std::optional<Epoch>& writer_epoch, bool iso_dates,
                 bool keep_results, std::string& buf)
        : s_(s), epoch_(writer_epoch), iso_(iso_dates), keep_results_(keep_results), buf_(buf) {}

    [[nodiscard]] PyResult<void> add(const Loc& loc, StoredCell& c) {
        const Entry e = s_.core.entry(loc);
        c.loc = loc;
        c.key = e.key;
        c.style = e.style;
        c.tag = e.tag;
        c.obj = PyRef();
        c.custom = PyRef();
        c.kept = as_read::kNone;
        if (e.tag == tag::kCell) {
            const PyRef* cell = s_.objs.get(static_cast<std::uint32_t>(e.payload));
            if (cell) {
                c.val = StoredCell::Val::Cell;
                c.obj = cell->clone();
                return {};
            }
            c.val = StoredCell::Val::Delegate;
            return {};
        }
        // Metadata indexes are written back by the host's writer; such
        // cells are few.
        if (!s_.meta.empty() && s_.meta.contains(e.key)) {
            c.val = StoredCell::Val::Delegate;
            return {};
        }
        // An object value decides whether the cell is written at all.
        if (e.tag == tag::kObject) c.obj = BR_TRY(s_.value_of(e));
        bool is_date = false;
        if (e.dtype < kDtCount) {
            c.dtype = kDtNames[e.dtype];
            is_date = e.dtype == kDtD;
        } else {
            const std::size_t k = e.dtype - dtype::kCustomBase;
            PyObject* t = k < s_.custom_types.size() ? s_.custom_types[k].get() : nullptr;
            if (!t || !PyUnicode_CheckExact(t)) {
                c.val = StoredCell::Val::Delegate;
                return {};
            }
            Py_ssize_t n = 0;
            const char* p = PyUnicode_AsUTF8AndSize(t, &n);
            if (!p) {
                PyErr_Clear();  // lone surrogates: the host's business
                c.val = StoredCell::Val::Delegate;
                return {};
            }
            c.custom = PyRef::borrow(t);
            c.dtype = std::string_view(p, static_cast<std::size_t>(n));
            is_date = c.dtype == "d";
        }
        // Only these data types keep anything: the lookup stays off the
        // path of plain cells.
        if ((e.dtype == kDtF ? keep_results_ : e.dtype == kDtD || e.dtype == kDtE) &&
            s_.core.has_as_read()) {
            if (const std::optional<StoreCore::AsRead> a = s_.core.as_read(e.key)) {
                take_kept(c, *a);
                if (e.dtype != kDtF) {
                    c.val = StoredCell::Val::AsRead;
                    return {};
                }
            }
        }
        if (e.tag == tag::kSharedString && s_.rich_strings) {
            // Runs kept from the file: only the host writes rich text.
            PyRef rich = BR_TRY(s_.rich_string(e.payload));
            if (rich.get() != Py_None) {
                c.val = StoredCell::Val::Delegate;
                return {};
            }
        }
        if (is_date) return add_date(loc, e, c);
        switch (e.tag) {
            case tag::kNone:
                c.val = StoredCell::Val::Empty;
                return {};
            case tag::kInt: {
                const auto i = static_cast<std::int64_t>(e.payload);
                if (i >= -kExactInt && i <= kExactInt) [[likely]]
                    return number(c, g16_int(i).view());
                return unwritable(c, e, g16_int(i).view());
            }
            case tag::kFloat: {
                const double x = std::bit_cast<double>(e.payload);
                if (std::isfinite(x)) [[likely]]
                    return number(c, g16_float(x).view());
                return unwritable(c, e, std::string_view());
            }
            case tag::kBool:
                return number(c, e.payload ? "1" : "0");
            case tag::kText: {
                const std::string_view t = s_.core.text(e.payload);
                // The empty text keeps its cell as the host writes it.
                if (t.empty() && e.dtype == kDtS) {
                    c.val = StoredCell::Val::Delegate;
                    return {};
                }
                return text(c, t);
            }
            case tag::kSharedFormula:
            case tag::kSharedMaster: {
                const SharedMaster* m = e.payload < s_.shared.size() ? &s_.shared[e.payload] : nullptr;
                if (!m || !m->native) {
                    c.val = StoredCell::Val::Delegate;
                    return {};
                }
                std::optional<CellPos> dest;
                if (e.tag == tag::kSharedFormula) dest = CellPos{e.row(), e.col()};
                const std::size_t start = buf_.size();
                if (!m->native->translate_into(dest, buf_)) {
                    buf_.resize(start);
                    c.val = StoredCell::Val::Delegate;
                    return {};
                }
                return spanned(c, StoredCell::Val::Text, start);
            }
            case tag::kTemplate: {
                const std::size_t start = buf_.size();
                if (!s_.core.render_template(static_cast<std::uint32_t>(e.payload), e.row(), e.col(),
                                             buf_)) {
                    buf_.resize(start);
                    c.val = StoredCell::Val::Delegate;
                    return {};
                }
                return spanned(c, StoredCell::Val::Text, start);
            }
            default:  // shared strings, dates under another data type, objects
                if (!c.obj) c.obj = BR_TRY(s_.value_of(e));
                if (e.tag == tag::kSharedString && e.dtype == kDtS && PyUnicode_CheckExact(c.obj.get()) &&
                    PyUnicode_GET_LENGTH(c.obj.get()) == 0) {
                    c.val = StoredCell::Val::Delegate;  // as the empty text above
                    return {};
                }
                // An int past 64 bits is past 2**53 too.
                if (e.tag == tag::kObject && PyLong_CheckExact(c.obj.get()) && kept_text(c, e)) return {};
                c.val = StoredCell::Val::Object;
                return {};
        }
    }

private:
    // Ints up to this magnitude are written exactly; past it, as the nearest double.
    static constexpr std::int64_t kExactInt = std::int64_t{1} << 53;

    // A number no text written for its value reads back as (an infinity, an
    // int past kExactInt): a loaded cell keeps the text it was read with,
    // else `fallback` is written, as the host writes it.
    [[nodiscard]] PyResult<void> unwritable(StoredCell& c, const Entry& e, std::string_view fallback) {
        if (kept_text(c, e)) return {};
        return number(c, fallback);
    }

    // Whether the cell keeps the text it was read with, which it is then written as.
    bool kept_text(StoredCell& c, const Entry& e) {
        if (!s_.core.has_as_read()) return false;
        const std::optional<StoreCore::AsRead> a = s_.core.as_read(e.key);
        if (!a) return false;
        take_kept(c, *a);
        c.val = StoredCell::Val::AsRead;
        return true;
    }

    // What the cell keeps as read, its text into the row buffer.
    void take_kept(StoredCell& c, const StoreCore::AsRead& a) {
        c.kept = a.kind;
        c.kept_off = buf_.size();
        buf_.append(a.text);
        c.kept_len = a.text.size();
    }

    [[nodiscard]] PyResult<void> add_date(const Loc& loc, const Entry& e, StoredCell& c) {
        if (epoch_ && !iso_ && (e.tag == tag::kDateInt || e.tag == tag::kDateFloat)) {
            if (const auto parts = s_.excel_date(loc)) {
                if (const auto serial = to_excel_serial(*parts, *epoch_)) {
                    BR_TRY_VOID(number(c, g16_float(*serial).view()));
                    c.val = StoredCell::Val::Serial;
                    return {};
                }
            }
        }
        if (!c.obj) c.obj = BR_TRY(s_.value_of(e));
        c.val = StoredCell::Val::DateRaw;
        return {};
    }

    [[nodiscard]] PyResult<void> number(StoredCell& c, std::string_view t) {
        const std::size_t start = buf_.size();
        buf_.append(t);
        return spanned(c, StoredCell::Val::Number, start);
    }
    [[nodiscard]] PyResult<void> text(StoredCell& c, std::string_view t) {
        const std::size_t start = buf_.size();
        buf_.append(t);
        return spanned(c, StoredCell::Val::Text, start);
    }
    [[nodiscard]] PyResult<void> spanned(StoredCell& c, StoredCell::Val v, std::size_t start) {
        c.val = v;
        c.off = start;
        c.len = buf_.size() - start;
        return {};
    }

    PyStore& s_;
    const std::optional<Epoch>& epoch_;
    bool iso_;
    bool keep_results_;
    std::string& buf_;
};

}  // namespace stored

using stored::kDenseStyles;
using stored::RowCollector;
using stored::store_switched;
using stored::StoredCell;
using stored::StyleMemo;

// The walk over a store: compact rows, side entries by key and dimension
// rows, merged; one row collected at a time.
class StoreWalk {
public:
    StoreWalk(Writer& w, PyObject* store, PyObject* dims, std::vector<std::int64_t> dim_rows)
        : w_(w), obj_(as_store(store)), store_ref_(PyRef::borrow(store)), dims_(dims),
          dim_rows_(std::move(dim_rows)) {}

    [[nodiscard]] PyResult<void> run();

private:
    [[nodiscard]] PyResult<bool> collect_next(std::int64_t& row, bool& has_dim);
    [[nodiscard]] PyResult<void> write_cell(StoredCell& c);
    [[nodiscard]] PyResult<void> delegate(StoredCell& c);
    [[nodiscard]] PyResult<const StyleMemo*> style_of(std::int64_t index);

    PyStore& store() noexcept { return obj_->store; }

    Writer& w_;
    CellStoreObject* obj_;
    PyRef store_ref_;  // keeps obj_ alive
    PyObject* dims_;
    std::vector<std::int64_t> dim_rows_;
    std::size_t di_ = 0;

    // Position of the walk, valid while the store's change counter is `seen_`.
    std::uint64_t seen_ = 0;
    std::size_t ri_ = 0;  // next compact row (index into the row list)
    std::vector<std::pair<std::uint64_t, Loc>> side_;
    std::size_t si_ = 0;
    bool started_ = false;
    std::optional<std::int64_t> last_row_;

    std::vector<StoredCell> cells_;
    std::size_t ncells_ = 0;
    std::string rowbuf_;
    PyRef cell_styles_;
    std::vector<StyleMemo> dense_styles_;
    std::unordered_map<std::int64_t, StyleMemo> sparse_styles_;
};

PyResult<bool> StoreWalk::collect_next(std::int64_t& row, bool& has_dim) {
    Shared hold(obj_->flag);
    if (!hold.ok()) return py_err();
    PyStore& s = store();
    if (s.dict_mode()) return store_switched();
    const Base& base = s.core.base();
    if (!started_ || s.core.changes() != seen_) {
        // First row, or the store changed while the last row was written:
        // find the place again by key.
        side_ = s.core.gen_sorted();
        ri_ = 0;
        si_ = 0;
        if (last_row_) {
            const std::int64_t after = *last_row_;
            if (after >= 0) {
                const auto r = static_cast<std::uint64_t>(after);
                ri_ = static_cast<std::size_t>(
                    std::upper_bound(base.rows.begin(), base.rows.end(), r,
                                     [](std::uint64_t v, std::uint32_t x) { return v < x; }) -
                    base.rows.begin());
                si_ = static_cast<std::size_t>(
                    std::upper_bound(side_.begin(), side_.end(), r,
                                     [](std::uint64_t v, const auto& p) { return v < key_row(p.first); }) -
                    side_.begin());
            }
        }
        if (!started_) cell_styles_ = s.cell_styles.clone();
        started_ = true;
        seen_ = s.core.changes();
    }
    constexpr std::int64_t kNoRow = std::numeric_limits<std::int64_t>::max();
    const std::int64_t r1 = ri_ < base.rows.size() ? base.rows[ri_] : kNoRow;
    const std::int64_t r2 = si_ < side_.size() ? key_row(side_[si_].first) : kNoRow;
    const bool dims_left = di_ < dim_rows_.size();
    const std::int64_t r3 = dims_left ? dim_rows_[di_] : kNoRow;
    if (r1 == kNoRow && r2 == kNoRow && !dims_left) return false;
    row = std::min({r1, r2, r3});
    has_dim = false;
    while (di_ < dim_rows_.size() && dim_rows_[di_] == row) {
        has_dim = true;
        ++di_;
    }

    // The row's live records (ascending columns) merged with its side
    // entries (ascending keys, hence columns).
    rowbuf_.clear();
    ncells_ = 0;
    RowCollector collect(s, w_.epoch_, w_.iso_dates_, w_.keep_results_, rowbuf_);
    std::uint64_t rec = 0, rec_end = 0;
    if (r1 == row) {
        const auto range = base.row_range(static_cast<std::uint32_t>(row));
        if (range) rec = range->first, rec_end = range->end;
        ++ri_;
    }
    const std::uint32_t urow = static_cast<std::uint32_t>(row);
    auto next_cell = [&]() -> StoredCell& {
        if (ncells_ == cells_.size()) cells_.emplace_back();
        return cells_[ncells_++];
    };
    while (true) {
        while (rec < rec_end && base.recs[rec].tag == tag::kDeleted) ++rec;
        const bool have_rec = rec < rec_end;
        const bool have_side = r2 == row && si_ < side_.size() && key_row(side_[si_].first) == urow;
        if (!have_rec && !have_side) break;
        if (have_rec &&
            (!have_side || base.recs[rec].column < key_col(side_[si_].first))) {
            BR_TRY_VOID(collect.add(Loc{Loc::kRecord, urow, rec}, next_cell()));
            ++rec;
        } else {
            BR_TRY_VOID(collect.add(side_[si_].second, next_cell()));
            ++si_;
        }
    }
    last_row_ = row;
    return true;
}

PyResult<void> StoreWalk::run() {
    std::string row_text;
    while (true) {
        std::int64_t row = 0;
        bool has_dim = false;
        if (!BR_TRY(collect_next(row, has_dim))) break;
        if (ncells_ == 0 && !has_dim) continue;
        PyRef dim;
        if (has_dim) {
            PyRef row_obj = PyRef::steal(PyLong_FromLongLong(row));
            if (!row_obj) return py_err();
            dim = PyRef::steal(PyObject_CallMethodOneArg(dims_, w_.n_get_.get(), row_obj.get()));
            if (!dim) return py_err();
            if (dim.get() == Py_None) dim = PyRef();
        }
        row_text.clear();
        append_decimal(row_text, row);
        BR_TRY_VOID(w_.write_row_start(row_text, dim.get()));
        for (std::size_t i = 0; i < ncells_; ++i) {
            BR_TRY_VOID(write_cell(cells_[i]));
            cells_[i].obj = PyRef();
            cells_[i].custom = PyRef();
        }
        BR_TRY_VOID(w_.row_end());
    }
    return {};
}

PyResult<const StyleMemo*> StoreWalk::style_of(std::int64_t index) {
    StyleMemo* m;
    if (index < kDenseStyles) {
        const auto i = static_cast<std::size_t>(index);
        if (i >= dense_styles_.size()) dense_styles_.resize(i + 1);
        m = &dense_styles_[i];
    } else {
        m = &sparse_styles_[index];
    }
    if (m->known) return m;
    if (!cell_styles_) {
        PyErr_SetString(PyExc_SystemError, "cell store: style without a style list");
        return py_err();
    }
    PyRef idx = PyRef::steal(PyLong_FromLongLong(index));
    if (!idx) return py_err();
    PyRef item = PyRef::steal(PyObject_GetItem(cell_styles_.get(), idx.get()));
    if (!item) return py_err();
    const bool styled = BR_TRY(w_.has_style(item.get()));
    std::string text;
    if (styled) {
        PyRef arr = PyRef::steal(PyObject_CallOneArg(w_.style_array_cls_.get(), item.get()));
        if (!arr) return py_err();
        text = std::string(BR_TRY(w_.style_text(arr.get())));
    }
    // Host code above may have grown the vector: find the entry again.
    m = index < kDenseStyles ? &dense_styles_[static_cast<std::size_t>(index)] : &sparse_styles_[index];
    m->known = true;
    m->styled = styled;
    m->text = std::move(text);
    return m;
}

PyResult<void> StoreWalk::delegate(StoredCell& c) {
    PyRef cell;
    {
        Exclusive hold(obj_->flag);
        if (!hold.ok()) return py_err();
        PyStore& s = store();
        if (s.dict_mode()) return store_switched();
        std::optional<Loc> loc = c.loc;
        if (s.core.changes() != seen_) loc = s.core.find_key(c.key);
        // A cell removed meanwhile is not written: the row shows the store
        // as it is now.
        if (!loc) return {};
        cell = BR_TRY(s.materialize(*loc));
    }
    return w_.write_one(cell.get());
}

PyResult<void> StoreWalk::write_cell(StoredCell& c) {
    using Val = StoredCell::Val;
    if (c.val == Val::Cell) return w_.write_one(c.obj.get());
    const StyleMemo* style = nullptr;
    if (c.style >= 0) style = BR_TRY(style_of(c.style));
    const bool styled = style && style->styled;
    if (!styled && (c.tag == tag::kNone || (c.tag == tag::kObject && c.obj.get() == Py_None)))
        return {};
    const std::uint32_t column = key_col(c.key);
    if (c.val == Val::Delegate || column < 1 || column > kMaxColumn) return delegate(c);

    std::optional<std::string_view> type_attr = c.dtype;
    if (c.dtype == "f") type_attr.reset();
    else if (c.dtype == "s") type_attr = kDtNames[kDtInlineStr];
    std::optional<std::string_view> cached;
    if (c.kept != as_read::kNone) {
        // What the file held goes back with the type it was read with.
        const std::string_view t = c.kept < as_read::kCount ? as_read::kTypeText[c.kept] : "";
        if (t.empty()) type_attr.reset();
        else type_attr = t;
        cached = std::string_view(rowbuf_.data() + c.kept_off, c.kept_len);
    }

    const std::string_view span(rowbuf_.data() + c.off, c.len);
    Classified value = Classified::none();
    PyRef date_result;  // keeps the helper's value alive while it is written
    switch (c.val) {
        case Val::Empty:
            break;
        case Val::Number:
            value = Classified::number(span);
            break;
        case Val::Text:
            value = Classified::text(span);
            break;
        case Val::Serial:
            value = Classified::number(span);
            type_attr = "n";
            break;
        case Val::AsRead:
            value = Classified::text(*cached);
            cached.reset();
            break;
        case Val::Object:
            value = classify(c.obj.get());
            break;
        case Val::DateRaw: {
            date_result = PyRef::steal(PyObject_CallFunctionObjArgs(
                w_.date_value_raw_.get(), w_.ws_.get(), c.obj.get(), nullptr));
            if (!date_result) return py_err();
            const bool keep = BR_TRY(unpack_date_result(date_result.get()));
            type_attr = keep ? "d" : "n";
            value = classify(PyTuple_GET_ITEM(date_result.get(), 0));
            break;
        }
        case Val::Cell:
        case Val::Delegate:
            break;  // handled above
    }
    if (value.kind() == Classified::Kind::Unsupported) return delegate(c);
    std::optional<std::string_view> style_attr;
    if (styled) style_attr = std::string_view(style->text);
    const bool written = BR_TRY(w_.emit(key_row(c.key), column, c.dtype, type_attr, value,
                                        style_attr, Py_None, cached));
    if (!written) return delegate(c);
    return {};
}

PyResult<bool> Writer::store_rows(PyObject* cells, PyObject* dims) {
    if (!BR_TRY(is_cell_store(cells))) return false;
    {
        Shared hold(as_store(cells)->flag);
        if (!hold.ok()) return py_err();
        if (as_store(cells)->store.dict_mode()) return false;
    }
    auto dim_rows = BR_TRY(dimension_rows(dims, true));
    if (!dim_rows) {
        raise_declined("row dimension keys");
        return py_err();
    }
    StoreWalk walk(*this, cells, dims, std::move(*dim_rows));
    BR_TRY_VOID(walk.run());
    return true;
}

}  // namespace brindle
