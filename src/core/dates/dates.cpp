#include <dates/dates.hpp>

#include <optional>
#include <utility>

#include <bit>
#include <cmath>
#include <limits>

namespace brindle {

namespace {

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr std::int64_t floor_mod(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t r = a % b;
    return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}

constexpr DateParts make_time(std::int64_t hour, std::int64_t minute, std::int64_t second,
                              std::int64_t microsecond) noexcept {
    DateParts p;
    p.kind = DateParts::Kind::Time;
    p.hour = static_cast<std::uint8_t>(hour);
    p.minute = static_cast<std::uint8_t>(minute);
    p.second = static_cast<std::uint8_t>(second);
    p.microsecond = static_cast<std::uint32_t>(microsecond);
    return p;
}

// Inverse of civil_to_days for 0 <= d <= kMaxDay.
DateParts days_to_civil(std::int64_t d, std::int64_t us) noexcept {
    const std::int64_t z = d + 306;  // day 0 of a March-based era 0
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    DateParts p = make_time(us / 3600000000, (us / 60000000) % 60, (us / 1000000) % 60,
                            us % 1000000);
    p.kind = DateParts::Kind::DateTime;
    p.year = static_cast<std::int32_t>(year);
    p.month = static_cast<std::uint8_t>(month);
    p.day = static_cast<std::uint8_t>(day);
    return p;
}

// double -> int64 with saturation; NaN gives 0.
std::int64_t saturate(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

}  // namespace

namespace {

// The day number and time of day of epoch + `days` days + `millis` ms;
// nothing on any overflow or outside the datetime range.
std::optional<std::pair<std::int64_t, std::int64_t>> shift(std::int64_t epoch_days, std::int64_t epoch_micros,
                                                           std::int64_t days, std::int64_t millis) noexcept {
    std::int64_t total;
    if (__builtin_add_overflow(epoch_days, days, &total)) return std::nullopt;
    const std::int64_t carry = floor_div(epoch_micros, kMicrosPerDay);
    const std::int64_t rem = floor_mod(epoch_micros, kMicrosPerDay);
    std::int64_t d;
    if (__builtin_add_overflow(total, carry, &d)) return std::nullopt;
    // The epoch plus whole days must be a valid datetime before the time of
    // day is added, as with datetime + timedelta(days) + timedelta(ms).
    if (d < 0 || d > kMaxDay) return std::nullopt;
    std::int64_t us;
    if (__builtin_mul_overflow(millis, std::int64_t{1000}, &us) || __builtin_add_overflow(us, rem, &us))
        return std::nullopt;
    d += floor_div(us, kMicrosPerDay);
    us = floor_mod(us, kMicrosPerDay);
    if (d < 0 || d > kMaxDay) return std::nullopt;
    return std::pair{d, us};
}

// An integer serial as days from the epoch; nothing when out of range.
std::optional<std::int64_t> int_serial_days(std::int64_t serial, const Epoch& epoch) noexcept {
    // The 1900 system counts a 29 February 1900 that never was: serials
    // before it are one day early against a 1899-12-30 day zero.
    if (static_cast<std::uint64_t>(serial) < 60 && epoch.is_1900) ++serial;
    if (serial > kMaxDeltaDays || serial < -kMaxDeltaDays) return std::nullopt;
    return serial;
}

}  // namespace

DateParts finish(std::int64_t epoch_days, std::int64_t epoch_micros, std::int64_t days,
                 std::int64_t millis) noexcept {
    const auto s = shift(epoch_days, epoch_micros, days, millis);
    if (!s) return DateParts::out_of_range();
    return days_to_civil(s->first, s->second);
}

DateParts from_excel_int(std::int64_t serial, const Epoch& epoch, bool time_only) noexcept {
    if (serial == 0 && (epoch.is_1900 || time_only)) return make_time(0, 0, 0, 0);
    const std::optional<std::int64_t> days = int_serial_days(serial, epoch);
    if (!days) return DateParts::out_of_range();
    return finish(epoch.days, epoch.micros, *days, 0);
}

bool excel_int_in_range(std::int64_t serial, const Epoch& epoch) noexcept {
    if (serial == 0) return true;
    const std::optional<std::int64_t> days = int_serial_days(serial, epoch);
    return days && shift(epoch.days, epoch.micros, *days, 0).has_value();
}

DateParts from_excel_float(double serial, const Epoch& epoch, bool time_only) noexcept {
    if (!std::isfinite(serial)) return DateParts::out_of_range();
    // divmod(serial, 1) as Python computes it for floats.
    double frac = std::fmod(serial, 1.0);
    double whole = serial - frac;
    if (frac == 0.0) {
        frac = 0.0;
    } else if (frac < 0.0) {
        whole = serial - frac - 1.0;
        frac = frac + 1.0;
    }
    double day;
    if (whole != 0.0) {
        day = std::floor(whole);
        if (whole - day > 0.5) day += 1.0;
    } else {
        day = std::copysign(0.0, serial);
    }
    const double ms = std::rint((frac * 86400.0) * 1000.0);
    if (!std::isfinite(ms)) return DateParts::out_of_range();
    const std::int64_t millis = saturate(ms);
    if (serial >= 0.0 && serial < 1.0 && millis < 86400000 && (epoch.is_1900 || time_only)) {
        return make_time(millis / 3600000, millis / 60000 - (millis / 3600000) * 60,
                         millis / 1000 - (millis / 60000) * 60, (millis % 1000) * 1000);
    }
    if (serial > 0.0 && serial < 60.0 && epoch.is_1900) day += 1.0;
    if (std::fabs(day) > static_cast<double>(kMaxDeltaDays)) return DateParts::out_of_range();
    return finish(epoch.days, epoch.micros, static_cast<std::int64_t>(day), millis);
}

std::optional<double> to_excel_serial(const DateParts& p, const Epoch& epoch) noexcept {
    const double tod =
        (p.microsecond / 1000000.0 + static_cast<double>(p.hour * 3600 + p.minute * 60 + p.second)) /
        86400.0;
    switch (p.kind) {
        case DateParts::Kind::OutOfRange:
            return std::nullopt;
        case DateParts::Kind::Time:
            return tod;
        case DateParts::Kind::DateTime:
            break;
    }
    // Wide enough for any pair of epoch and date without overflow.
    const __int128 day_diff = static_cast<__int128>(civil_to_days(p.year, p.month, p.day)) -
                              static_cast<__int128>(epoch.days);
    const __int128 us = ((static_cast<__int128>(p.hour) * 60 + p.minute) * 60 + p.second) *
                            1000000 +
                        p.microsecond - static_cast<__int128>(epoch.micros);
    const __int128 total = day_diff * kMicrosPerDay + us;
    __int128 days = total / kMicrosPerDay;
    if (total % kMicrosPerDay != 0 && total < 0) --days;
    // The phantom 29 February again: dates up to 1900-02-28 sit one serial
    // lower than their distance from day zero.
    if (epoch.is_1900 && days >= 1 && days <= 60) --days;
    return tod + static_cast<double>(days);
}

}  // namespace brindle
