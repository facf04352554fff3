// The Python-holding side of a worksheet's cell store: the plain core plus
// every Python object the store owns (materialised cells, stored values,
// shared-formula masters, style copies), the host objects a load hands it,
// and the dictionary of dictionary mode.
//
// Every member is guarded by the owning CellStoreObject's use flag: readers
// hold it shared, everything that changes the store holds it exclusively.
#pragma once

#include <Python.h>

#include <dates/dates.hpp>
#include <frame/borrow.hpp>
#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <sheet/parser.hpp>
#include <sheet/slots.hpp>
#include <store/obj_table.hpp>
#include <store/store_core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace brindle {

// The slot names of the host Cell, in the order materialisation fills them.
inline constexpr const char* kCellSlots[] = {"parent", "_style", "row", "column", "_value",
                                             "_hyperlink", "data_type", "_comment", "_as_read"};

// A packed key that is a cell of the store, or none.
struct KeyMatch {
    bool ok = false;
    std::uint64_t packed = 0;
};

class PyStore {
public:
    StoreCore core;
    ObjTable<PyRef> objs;
    std::vector<SharedMaster> shared;
    std::vector<PyRef> custom_types;                        // data types with codes 7 and up
    std::vector<PyRef> style_cache;                         // per style index: ("i", style array) once used
    std::unordered_map<std::int64_t, PyRef> sparse_styles;  // the same for very large indexes
    std::optional<SlotClass> cell_cls;
    std::optional<Epoch> epoch;
    PyRef ws;
    PyRef cell_styles;
    PyRef shared_strings;
    PyRef rich_strings;  // set: a non-empty dict {index: rich text} of shared strings with runs
    // By packed key: the metadata pairs of loaded cells that name cell or
    // value metadata (CellRec::meta); few cells do. Strings only: not visited.
    std::unordered_map<std::uint64_t, PyRef> meta;
    PyRef array_type;  // keeps `style_new` alive
    newfunc style_new = nullptr;
    PyRef typecode;      // "i"; strings are never in a cycle: not visited
    PyRef dt[kDtCount];  // kDtNames, interned; not visited
    PyRef dict;          // set: dictionary mode
    std::uint32_t row_cache_row = 0;
    PyRef row_cache_int;  // an int: not visited

    bool dict_mode() const noexcept { return static_cast<bool>(dict); }

    // ---- objects and payloads

    [[nodiscard]] std::uint32_t put_obj(PyRef obj) { return objs.put(std::move(obj)); }
    // Releases the object a payload holds (tags kCell and kObject only).
    void drop_payload(const Entry& e) {
        if (e.holds_object()) objs.drop(static_cast<std::uint32_t>(e.payload));
    }

    // Takes the host's cell class (and what copying styles needs) for the
    // cells the store builds; a load and an attach both start with it.
    [[nodiscard]] PyResult<void> prepare(PyObject* cls);
    // Empties the compact structures and every object they own.
    void reset();
    // Empties everything a load or clear() starts again from, dictionary
    // included; the host objects of the last load stay.
    void clear_contents();
    // Drops every Python reference (garbage-collector clearing, dealloc).
    void release_all();
    int traverse(visitproc visit, void* arg);

    // ---- materialisation

    // The Python value of the cell at `loc` (a new reference).
    [[nodiscard]] PyResult<PyRef> value_obj(const Loc& loc);
    [[nodiscard]] PyResult<PyRef> value_of(const Entry& e);
    // The host Cell of `loc`, built on first use and cached in the store.
    [[nodiscard]] PyResult<PyRef> materialize(const Loc& loc);
    // The date fields of a date cell (tags kDateInt, kDateFloat), or none
    // when the cell holds no date or the store has no native epoch.
    [[nodiscard]] std::optional<DateParts> excel_date(const Loc& loc) const;

    // ---- keys

    [[nodiscard]] PyResult<PyRef> key_tuple(std::uint64_t packed);
    // The location of `key`, or none when absent; errors of hash() and of
    // the key resolution are raised.
    [[nodiscard]] PyResult<std::optional<Loc>> resolve(PyObject* key);

    // ---- changes

    [[nodiscard]] PyResult<void> set_item(PyObject* key, PyObject* value);
    [[nodiscard]] PyResult<void> del_item(PyObject* key);
    // Removes `loc` and releases what it held.
    void remove(const Loc& loc) { drop_payload(core.remove(loc)); }
    // Moves every cell into a dict and empties the compact structures.
    [[nodiscard]] PyResult<void> to_dict_mode();
    // Number of keys, in either mode.
    [[nodiscard]] std::uint64_t size() const noexcept;

private:
    [[nodiscard]] PyResult<PyRef> style_copy(std::int64_t style);
    [[nodiscard]] PyResult<PyRef> row_int(std::uint32_t row);
    [[nodiscard]] PyResult<PyRef> render_shared(const Entry& e);

public:
    // The host's form of what the cell `e` of value `value` keeps as read:
    // (type or None, text), ("inlineStr", rich text) for a shared string with
    // runs, ("inlineStr", "") for the empty text, or None; with a third item,
    // the metadata pairs, for a cell that names metadata.
    [[nodiscard]] PyResult<PyRef> as_read_obj(const Entry& e, PyObject* value) const;
    // The same without the metadata: a pair or None.
    [[nodiscard]] PyResult<PyRef> kept_value(const Entry& e, PyObject* value) const;
    // The rich text of shared string `index` when it has runs, else None.
    [[nodiscard]] PyResult<PyRef> rich_string(std::uint64_t index) const;
};

// exact_key: a tuple (exactly) of two ints (exactly) in 0 to 2^32 - 1.
// Never raises, never calls Python.
[[nodiscard]] KeyMatch exact_key(PyObject* key) noexcept;
// equivalent_key: a tuple (or subclass) of two items that each equal,
// and hash like, an int in 0 to 2^32 - 1. Errors of the items' own methods
// count as "not equivalent"; only a failing import of builtins is raised.
[[nodiscard]] PyResult<KeyMatch> equivalent_key(PyObject* key);

// The per-thread buffer formula texts are rendered into on reads.
std::string& scratch() noexcept;

}  // namespace brindle
