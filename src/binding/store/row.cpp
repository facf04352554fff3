// One row of Worksheet._cells_by_row: the cells (or values) of columns
// min_col to max_col, creating the missing ones as Worksheet.cell does.
#include <store/row.hpp>

#include <frame/errors.hpp>

namespace brindle {
namespace {

// Switches the cyclic collector off while a row of new objects is built (it
// would otherwise scan the growing heap again and again), and back on only
// if it was on.
class GcPause {
public:
    explicit GcPause(bool pause) : was_on_(pause && PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_on_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_on_;
};

// A new cell as Worksheet.cell(row, column) makes it: no style, no value,
// data type "n".
PyResult<PyRef> new_cell(PyStore& st, std::uint32_t row, std::uint32_t col) {
    if (!st.cell_cls || !st.dt[kDtN]) return unsupported("no cell class");
    PyRef vals[8];
    vals[0] = st.ws ? st.ws.clone() : PyRef::borrow(Py_None);
    vals[1] = PyRef::borrow(Py_None);
    vals[2] = PyRef::steal(PyLong_FromUnsignedLong(row));
    vals[3] = PyRef::steal(PyLong_FromUnsignedLong(col));
    if (!vals[2] || !vals[3]) return py_err();
    vals[4] = PyRef::borrow(Py_None);
    vals[5] = PyRef::borrow(Py_None);
    vals[6] = st.dt[kDtN].clone();
    vals[7] = PyRef::borrow(Py_None);
    return st.cell_cls->build(std::span<PyRef>(vals, 8));
}

PyResult<PyRef> value_attr(PyObject* cell) {
    PyRef v = PyRef::steal(PyObject_GetAttrString(cell, "value"));
    if (!v) return py_err();
    return v;
}

// Dictionary mode: the same walk over the dict, whose keys may be any
// objects equal to (row, column).
PyResult<bool> dict_row(PyStore& st, const RowRequest& rq, PyObject* out) {
    bool created = false;
    for (std::uint64_t c = rq.min_col, k = 0; c <= rq.max_col; ++c, ++k) {
        const auto col = static_cast<std::uint32_t>(c);
        PyRef key = BR_TRY(st.key_tuple(pack_key(rq.row, col)));
        PyObject* found = nullptr;
        const int got = PyDict_GetItemRef(st.dict.get(), key.get(), &found);
        if (got < 0) return py_err();
        PyRef cell = PyRef::steal(found);
        if (got == 0) {
            cell = BR_TRY(new_cell(st, rq.row, col));
            if (PyDict_SetItem(st.dict.get(), key.get(), cell.get()) < 0) return py_err();
            created = true;
        }
        if (rq.values_only) cell = BR_TRY(value_attr(cell.get()));
        PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(k), cell.release());
    }
    return created;
}

PyResult<bool> compact_row(PyStore& st, const RowRequest& rq, PyObject* out) {
    StoreCore& core = st.core;
    const std::optional<RowRange> range = core.row_range(rq.row);
    std::uint64_t pos = range ? range->first : 0;
    const std::uint64_t end = range ? range->end : 0;
    bool created = false;
    for (std::uint64_t c = rq.min_col, k = 0; c <= rq.max_col; ++c, ++k) {
        const auto col = static_cast<std::uint32_t>(c);
        // The row's records ascend by column: one forward walk serves the
        // whole call.
        while (pos < end && core.record(pos).column < col) ++pos;
        std::optional<Loc> loc;
        if (pos < end && core.record(pos).column == col && core.record(pos).tag != tag::kDeleted)
            loc = Loc{Loc::kRecord, rq.row, pos};
        const std::uint64_t key = pack_key(rq.row, col);
        if (!loc && core.live_side() != 0)
            if (std::optional<std::uint64_t> side = core.find_side(key)) loc = Loc{Loc::kSide, 0, *side};
        if (!loc) {
            if (!st.cell_cls || !st.dt[kDtN]) return unsupported("no cell class");
            core.insert_new(key, SideEntry{key, 0, -1, tag::kNone, kDtN});
            loc = Loc{Loc::kSide, 0, core.side_total() - 1};
            created = true;
        }
        PyRef item = rq.values_only ? BR_TRY(st.value_obj(*loc)) : BR_TRY(st.materialize(*loc));
        PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(k), item.release());
    }
    return created;
}

}  // namespace

PyResult<PyRef> store_row(PyStore& st, const RowRequest& rq) {
    const std::uint64_t width = rq.max_col >= rq.min_col ? std::uint64_t{rq.max_col} - rq.min_col + 1 : 0;
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(width)));
    if (!out) return py_err();
    bool created = false;
    if (width != 0) {
        GcPause pause(!rq.values_only);
        created = st.dict_mode() ? BR_TRY(dict_row(st, rq, out.get())) : BR_TRY(compact_row(st, rq, out.get()));
    }
    PyRef result = PyRef::steal(PyTuple_Pack(2, out.get(), created ? Py_True : Py_False));
    if (!result) return py_err();
    return result;
}

}  // namespace brindle
