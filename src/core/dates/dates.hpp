// Excel serial dates <-> calendar fields, in both date systems.
//
// A serial counts days since the workbook's epoch, with the time of day as
// the fraction. The conversions reproduce the host's from_excel/to_excel
// arithmetic exactly, including the 1900 system's phantom 29 February and
// the millisecond resolution of float serials. Pure arithmetic: no
// allocation, no Python.
#pragma once

#include <cstdint>
#include <optional>

namespace brindle {

// Day numbers count from 0001-01-01 (day 0) to 9999-12-31 (kMaxDay).
inline constexpr std::int64_t kMaxDay = 3652058;
// The largest whole-day count a Python timedelta accepts.
inline constexpr std::int64_t kMaxDeltaDays = 999999999;
inline constexpr std::int64_t kMicrosPerDay = 86400000000;

// Day number of a proleptic Gregorian date (no range check).
[[nodiscard]] constexpr std::int64_t civil_to_days(std::int64_t year, std::int64_t month,
                                                   std::int64_t day) noexcept {
    // Years start on 1 March, so the leap day is the last day of its year.
    const std::int64_t y = month < 3 ? year - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    return day + era * 146097 + (153 * mp + 2) / 5 + yoe / 4 + yoe * 365 - yoe / 100 - 307;
}

struct Epoch {
    std::int64_t days = 0;    // day number of the epoch's date
    std::int64_t micros = 0;  // the epoch's time of day
    bool is_1900 = false;     // the Windows epoch: serials 1..59 are shifted by a day

    [[nodiscard]] static constexpr Epoch make(std::int64_t year, std::int64_t month,
                                              std::int64_t day, std::int64_t hour,
                                              std::int64_t minute, std::int64_t second,
                                              std::int64_t microsecond, bool is_1900) noexcept {
        return Epoch{civil_to_days(year, month, day),
                     ((hour * 60 + minute) * 60 + second) * 1000000 + microsecond, is_1900};
    }
};

// The result of a conversion: a naive datetime, a time of day (serials in
// [0, 1) of the 1900 system, or of any system under a time-only format), or
// nothing representable.
struct DateParts {
    enum class Kind : std::uint8_t { DateTime,
                                     Time,
                                     OutOfRange };
    Kind kind = Kind::OutOfRange;
    std::int32_t year = 0;  // DateTime only
    std::uint8_t month = 0, day = 0;
    std::uint8_t hour = 0, minute = 0, second = 0;
    std::uint32_t microsecond = 0;

    [[nodiscard]] static constexpr DateParts out_of_range() noexcept { return {}; }
    [[nodiscard]] constexpr bool ok() const noexcept { return kind != Kind::OutOfRange; }
    friend constexpr bool operator==(const DateParts&, const DateParts&) = default;
};

// Serial 0 of the 1900 system is no day at all, so serials below 1 there are
// times; in other systems they are the epoch's first day unless `time_only`.
[[nodiscard]] DateParts from_excel_int(std::int64_t serial, const Epoch& epoch,
                                       bool time_only = false) noexcept;
[[nodiscard]] DateParts from_excel_float(double serial, const Epoch& epoch,
                                         bool time_only = false) noexcept;
// from_excel_int(serial, epoch).ok() without the calendar fields.
[[nodiscard]] bool excel_int_in_range(std::int64_t serial, const Epoch& epoch) noexcept;

// Epoch + `days` days + `millis` milliseconds, as calendar fields. The shared
// tail of both conversions; every overflow is OutOfRange.
[[nodiscard]] DateParts finish(std::int64_t epoch_days, std::int64_t epoch_micros,
                               std::int64_t days, std::int64_t millis) noexcept;

// The serial of a converted value relative to `epoch` (the inverse
// direction, used when writing); nothing for OutOfRange.
[[nodiscard]] std::optional<double> to_excel_serial(const DateParts& parts,
                                                    const Epoch& epoch) noexcept;

}  // namespace brindle
