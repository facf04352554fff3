#include <dates/dates.hpp>

#include <gtest/gtest.h>

#include <vector>

#include <cmath>
#include <limits>

using namespace brindle;

namespace {

const Epoch kWin = Epoch::make(1899, 12, 30, 0, 0, 0, 0, true);
const Epoch kMac = Epoch::make(1904, 1, 1, 0, 0, 0, 0, false);

DateParts dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0) {
    DateParts p;
    p.kind = DateParts::Kind::DateTime;
    p.year = y;
    p.month = static_cast<std::uint8_t>(mo);
    p.day = static_cast<std::uint8_t>(d);
    p.hour = static_cast<std::uint8_t>(h);
    p.minute = static_cast<std::uint8_t>(mi);
    p.second = static_cast<std::uint8_t>(s);
    p.microsecond = static_cast<std::uint32_t>(us);
    return p;
}

DateParts tod(int h, int mi, int s = 0, int us = 0) {
    DateParts p = dt(0, 0, 0, h, mi, s, us);
    p.kind = DateParts::Kind::Time;
    return p;
}

const DateParts kOut = DateParts::out_of_range();

}  // namespace

TEST(Dates, EpochDayNumbersMatchProlepticOrdinals) {
    // date.toordinal() - 1
    EXPECT_EQ(Epoch::make(1, 1, 1, 0, 0, 0, 0, false).days, 0);
    EXPECT_EQ(kWin.days, 693593);
    EXPECT_EQ(kMac.days, 695055);
    EXPECT_EQ(Epoch::make(9999, 12, 31, 0, 0, 0, 0, false).days, kMaxDay);
    EXPECT_EQ(Epoch::make(2000, 3, 1, 1, 2, 3, 4, false).micros, 3723000004);
}

TEST(Dates, EveryDayNumberRoundTrips) {
    int prev_y = 1, prev_m = 1, prev_d = 0;
    for (std::int64_t d = 0; d <= kMaxDay; ++d) {
        const DateParts p = finish(0, 0, d, 0);
        ASSERT_EQ(p.kind, DateParts::Kind::DateTime) << d;
        ASSERT_EQ(civil_to_days(p.year, p.month, p.day), d);
        // Consecutive days: next day of the month, or the first of the next.
        const bool next_day = p.year == prev_y && p.month == prev_m && p.day == prev_d + 1;
        const bool next_month = p.day == 1 && ((p.year == prev_y && p.month == prev_m + 1) ||
                                               (p.year == prev_y + 1 && p.month == 1));
        ASSERT_TRUE(next_day || next_month || d == 0) << d;
        prev_y = p.year, prev_m = p.month, prev_d = p.day;
    }
    EXPECT_EQ(finish(0, 0, kMaxDay + 1, 0), kOut);
    EXPECT_EQ(finish(0, 0, -1, 0), kOut);
}

struct IntCase {
    std::int64_t serial;
    DateParts want;
};

TEST(Dates, IntSerialsInThe1900System) {
    const IntCase cases[] = {IntCase{1, dt(1900, 1, 1)}, IntCase{59, dt(1900, 2, 28)},
                             IntCase{60, dt(1900, 2, 28)}, IntCase{61, dt(1900, 3, 1)},
                             IntCase{0, tod(0, 0)}, IntCase{-1, dt(1899, 12, 29)},
                             IntCase{2958465, dt(9999, 12, 31)}, IntCase{2958466, kOut},
                             IntCase{-693593, dt(1, 1, 1)}, IntCase{-693594, kOut},
                             IntCase{1000000000, kOut}, IntCase{-1000000000, kOut},
                             IntCase{std::numeric_limits<std::int64_t>::min(), kOut},
                             IntCase{std::numeric_limits<std::int64_t>::max(), kOut}};
    for (const IntCase& c : cases) EXPECT_EQ(from_excel_int(c.serial, kWin), c.want) << c.serial;
}

// The range check the sheet reader makes at load agrees with the full
// conversion it makes later, at every edge and in both systems.
TEST(Dates, IntRangeCheckAgreesWithConversion) {
    const Epoch epochs[] = {kWin, Epoch::make(1904, 1, 1, 0, 0, 0, 0, false),
                            Epoch::make(1, 1, 2, 12, 0, 0, 0, false), Epoch::make(9999, 12, 30, 23, 0, 0, 0, false)};
    std::vector<std::int64_t> serials = {0, 1, -1, 59, 60, 61, std::numeric_limits<std::int64_t>::min(),
                                         std::numeric_limits<std::int64_t>::max()};
    for (std::int64_t edge : {693594LL, 2958465LL, 3652059LL, 3652058LL})
        for (std::int64_t d = -3; d <= 3; ++d) serials.insert(serials.end(), {edge + d, -edge - d});
    for (const Epoch& e : epochs)
        for (std::int64_t s : serials) EXPECT_EQ(excel_int_in_range(s, e), from_excel_int(s, e).ok()) << s;
}

struct FloatCase {
    double serial;
    DateParts want;
};

TEST(Dates, FloatSerialsInThe1900System) {
    const FloatCase cases[] = {FloatCase{0.5, tod(12, 0)}, FloatCase{1.5, dt(1900, 1, 1, 12)},
                               FloatCase{59.75, dt(1900, 2, 28, 18)}, FloatCase{60.25, dt(1900, 2, 28, 6)},
                               FloatCase{-0.5, dt(1899, 12, 29, 12)}, FloatCase{0.0, tod(0, 0)},
                               FloatCase{-0.0, tod(0, 0)}, FloatCase{0.99999999999, dt(1900, 1, 1)},
                               FloatCase{43831.0000000058, dt(2020, 1, 1, 0, 0, 0, 1000)},
                               FloatCase{2958465.9999999, dt(9999, 12, 31, 23, 59, 59, 991000)},
                               FloatCase{2958465.99999999999, kOut}, FloatCase{1e9, kOut},
                               FloatCase{-1e300, kOut}, FloatCase{1e300, kOut},
                               FloatCase{std::numeric_limits<double>::infinity(), kOut},
                               FloatCase{-std::numeric_limits<double>::infinity(), kOut},
                               FloatCase{std::nan(""), kOut},
                               FloatCase{std::numeric_limits<double>::denorm_min(), tod(0, 0)}};
    for (const FloatCase& c : cases)
        EXPECT_EQ(from_excel_float(c.serial, kWin), c.want) << std::hexfloat << c.serial;
}

TEST(Dates, OtherEpochsGetNoLeapYearCorrection) {
    EXPECT_EQ(from_excel_int(1, kMac), dt(1904, 1, 2));
    EXPECT_EQ(from_excel_float(59.5, kMac), dt(1904, 2, 29, 12));
    // An epoch with a time of day carries it into every result.
    const Epoch noon = Epoch::make(2000, 1, 1, 12, 0, 0, 0, false);
    EXPECT_EQ(from_excel_int(1, noon), dt(2000, 1, 2, 12));
    EXPECT_EQ(from_excel_float(1.75, noon), dt(2000, 1, 3, 6));
    // Fields outside their ranges normalise (microseconds beyond a day).
    const Epoch odd = Epoch::make(2000, 1, 1, 0, 0, 0, -1, false);
    EXPECT_EQ(from_excel_int(1, odd), dt(2000, 1, 1, 23, 59, 59, 999999));
}

// Day 0 of the 1904 system is a real day: serials below 1 are dates there,
// unless the format shows only a time; in the 1900 system they are times.
TEST(Dates, SerialsBelowOneInThe1904System) {
    EXPECT_EQ(from_excel_int(0, kMac), dt(1904, 1, 1));
    EXPECT_EQ(from_excel_float(0.0, kMac), dt(1904, 1, 1));
    EXPECT_EQ(from_excel_float(0.75, kMac), dt(1904, 1, 1, 18));
    EXPECT_EQ(from_excel_float(0.99999999999, kMac), dt(1904, 1, 2));
    EXPECT_EQ(from_excel_int(0, kMac, true), tod(0, 0));
    EXPECT_EQ(from_excel_float(0.75, kMac, true), tod(18, 0));
    EXPECT_EQ(from_excel_float(0.99999999999, kMac, true), dt(1904, 1, 2));
    EXPECT_EQ(from_excel_float(1.25, kMac, true), dt(1904, 1, 2, 6));
    EXPECT_EQ(from_excel_float(-0.25, kMac, true), dt(1903, 12, 31, 18));
    EXPECT_EQ(from_excel_float(0.75, kWin), tod(18, 0));
    EXPECT_EQ(from_excel_int(0, kWin), tod(0, 0));
    EXPECT_EQ(to_excel_serial(from_excel_float(0.75, kMac), kMac), 0.75);
}

TEST(Dates, FinishRefusesOverflowInsteadOfWrapping) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    const auto min = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(finish(max, 0, 1, 0), kOut);
    EXPECT_EQ(finish(min, 0, -1, 0), kOut);
    EXPECT_EQ(finish(0, min, 0, 0), kOut);
    EXPECT_EQ(finish(0, 0, 0, max), kOut);
    EXPECT_EQ(finish(0, 0, 10, -86400000), dt(1, 1, 10));
}

TEST(Dates, ToSerialInvertsFromSerial) {
    for (const Epoch& e : {kWin, kMac}) {
        for (std::int64_t s : {1, 2, 58, 59, 60, 61, 62, 366, 45292, 2957000, -1, -5000}) {
            const DateParts p = from_excel_int(s, e);
            ASSERT_TRUE(p.ok());
            // Serial 60 and 59 are the same day in the 1900 system.
            const double want = (e.is_1900 && s == 60) ? 59.0 : static_cast<double>(s);
            EXPECT_EQ(to_excel_serial(p, e), want) << s;
        }
    }
    EXPECT_EQ(to_excel_serial(tod(12, 0), kWin), 0.5);
    EXPECT_EQ(to_excel_serial(dt(1900, 1, 1, 6), kWin), 1.25);
    EXPECT_EQ(to_excel_serial(kOut, kWin), std::nullopt);
    // The far ends of the calendar against either epoch cannot overflow.
    EXPECT_EQ(to_excel_serial(dt(1, 1, 1), kWin), -693593.0);
    EXPECT_EQ(to_excel_serial(dt(9999, 12, 31), Epoch::make(1, 1, 1, 0, 0, 0, 0, false)),
              static_cast<double>(kMaxDay));
}
