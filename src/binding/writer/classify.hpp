// What the writer can write natively, and the exact text it writes for it.
#pragma once

#include <Python.h>

#include <frame/args.hpp>
#include <frame/errors.hpp>
#include <utils/number_text.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindle {

// One cell value sorted by how it is written. Text is borrowed from the
// Python str (valid while the caller holds the object); number text lives
// inline, so a Classified can be copied freely.
class Classified {
public:
    // clang-format off
    enum class Kind : std::uint8_t { None, Text, Number, Unsupported };
    // clang-format on

    static Classified none() noexcept { return Classified(Kind::None); }
    static Classified unsupported() noexcept { return Classified(Kind::Unsupported); }
    static Classified text(std::string_view s) noexcept {
        Classified c(Kind::Text);
        c.borrowed_ = s;
        return c;
    }
    static Classified number(std::string_view literal) noexcept {
        Classified c(Kind::Number);
        c.borrowed_ = literal;
        return c;
    }
    static Classified number(const NumberText& t) noexcept {
        Classified c(Kind::Number);
        c.num_ = t;
        c.inline_ = true;
        return c;
    }

    Kind kind() const noexcept { return kind_; }
    std::string_view text() const noexcept { return inline_ ? num_.view() : borrowed_; }

private:
    explicit Classified(Kind k) noexcept : kind_(k) {}
    Kind kind_;
    bool inline_ = false;
    std::string_view borrowed_;
    NumberText num_;
};

// Exact types only: subclasses of str, int, float and bool are the host's
// business, as are ints beyond 64 bits and strings that are not valid
// Unicode (lone surrogates).
[[nodiscard]] Classified classify(PyObject* value) noexcept;

}  // namespace brindle
