// One parsed cell in native form. Values stay native (integers, doubles,
// shared-string indexes, date serials) until someone asks for the Python
// object, so that ordinary cells cost no Python object at parse time.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <sheet/data_type.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brindle {

// The `s` attribute: a 64-bit id, or the host's object for the empty text
// and for integers beyond 64 bits.
struct StyleId {
    std::int64_t id = 0;
    PyRef py;  // set: this object is the style id
};

struct Val {
    enum class Kind : std::uint8_t {
        // clang-format off
        Empty, Int, Float, Bool, SharedString, Text, SharedFormula, DateInt, DateFloat, Py
    };
    Kind kind = Kind::Empty;
    bool has_coord = false;  // SharedFormula: the dependent cell had an `r`
                          // clang-format on
    std::uint32_t index = 0;  // SharedString, SharedFormula (the master)
    std::int64_t i = 0;       // Int, DateInt, Bool; SharedFormula: row
    std::int64_t col = 0;     // SharedFormula
    double f = 0;             // Float, DateFloat
    std::string text;         // Text
    PyRef py;                 // Py

    // Setters for a Val that holds no text or object yet: no temporary.
    void set_int(std::int64_t v) noexcept { kind = Kind::Int, i = v; }
    void set_float(double v) noexcept { kind = Kind::Float, f = v; }
    void set_bool(bool v) noexcept { kind = Kind::Bool, i = v; }
    void set_shared_string(std::uint32_t idx) noexcept { kind = Kind::SharedString, index = idx; }
    void set_text(std::string_view s) { kind = Kind::Text, text.assign(s); }
    void set_py(PyRef o) noexcept { kind = Kind::Py, py = std::move(o); }

    static Val text_(std::string_view s) {
        Val x;
        x.kind = Kind::Text;
        x.text.assign(s);
        return x;
    }
    static Val py_(PyRef o) {
        Val x;
        x.kind = Kind::Py;
        x.py = std::move(o);
        return x;
    }
};

struct DType {
    std::uint8_t code = kDtN;  // kDtCount: `py` holds the type text
    PyRef py;
    static DType of(std::uint8_t c) {
        DType d;
        d.code = c;
        return d;
    }
};

// What formula_and_value keeps beside a cell's value.
struct FormulaPair {
    Val formula;  // Empty unless data_only
    Val cached;   // Empty unless a formula cell
    bool has_formula = false;
    bool has_cached = false;
};

// What a cell keeps of its <v> as the file held it, for a reader that writes
// cells back: the type attribute it is written with (kind), and the text.
namespace as_read {
inline constexpr std::uint8_t kNone = 0;     // nothing kept
inline constexpr std::uint8_t kUntyped = 1;  // a formula's number: no type attribute
inline constexpr std::uint8_t kN = 2;
inline constexpr std::uint8_t kStr = 3;
inline constexpr std::uint8_t kB = 4;
inline constexpr std::uint8_t kE = 5;
inline constexpr std::uint8_t kD = 6;
inline constexpr std::uint8_t kCount = 7;
// The type attribute of each kind; empty for kNone and kUntyped.
inline constexpr std::string_view kTypeText[kCount] = {"", "", "n", "str", "b", "e", "d"};
}  // namespace as_read

struct CellRec {
    StyleId style;
    Val value;
    DType data_type;
    std::int64_t row = 0;
    std::int64_t column = 0;
    bool formula_cell = false;
    // Only with Settings::as_read: the cached value of a formula cell, or
    // the number of a cell whose date does not give it back (as_read::*).
    std::uint8_t as_read = as_read::kNone;
    std::string as_read_text;
    // Only with formula_and_value, and only for a cell with a formula: kept
    // aside so that the records of ordinary cells stay small.
    std::unique_ptr<FormulaPair> pair;
    // Only with Settings::as_read: the cell's metadata indexes, a tuple of
    // ("cm" | "vm", text) pairs; null for none. Strings only: not visited.
    PyRef meta;
};

}  // namespace brindle
