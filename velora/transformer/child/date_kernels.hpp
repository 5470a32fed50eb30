// Per-element encoding of date-times as (business) day numbers and back, on raw buffers.
//
// Date-times are int64 ticks since 1970-01-01 at some number of ticks per second, with the
// int64 minimum as NaT, the layout of NumPy's datetime64. Missing values map to NaN and back.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace velora::date_kernels {

constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t seconds_per_day = 86400;
constexpr std::int64_t microseconds_per_second = 1'000'000;
constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;
constexpr std::int64_t nanoseconds_per_microsecond = 1000;

// Past this magnitude a double no longer converts to an int64 count.
constexpr double largest_count = 9.2e18;

// Numbers are read back to the nearest microsecond, the resolution of parsed text dates: a
// number that went through a scaler and came back a few ulps short must not cut a second off.
constexpr std::int64_t finest_rounding_ns = nanoseconds_per_microsecond;

// Floor division and its non-negative remainder, for dates before 1970.
struct FloorDivision {
    std::int64_t quotient;
    std::int64_t remainder;
};
inline FloorDivision floor_divide(std::int64_t value, std::int64_t divisor) {
    std::int64_t quotient = value / divisor;
    std::int64_t remainder = value % divisor;
    if (remainder < 0) {
        remainder += divisor;
        quotient -= 1;
    }
    return {quotient, remainder};
}

// Monday 5 January 1970 is day 4 of the epoch; business days are counted from it in whole
// weeks of five, which makes both counting and offsetting closed formulas.
constexpr std::int64_t reference_monday = 4;
constexpr std::int64_t business_days_per_week = 5;

// How many Monday-to-Friday days lie in [reference Monday, day), negative before it. For a
// weekend day this is the index of the following Monday, so weekends roll forward.
inline std::int64_t business_days_before(std::int64_t day) {
    const FloorDivision week = floor_divide(day - reference_monday, 7);
    const std::int64_t into_week =
        week.remainder < business_days_per_week ? week.remainder : business_days_per_week;
    return week.quotient * business_days_per_week + into_week;
}

// np.busday_count(begin, end): business days in [begin, end), or, for an end before the
// begin, minus those in (end, begin].
inline std::int64_t business_days_between(std::int64_t begin, std::int64_t end) {
    return end >= begin ? business_days_before(end) - business_days_before(begin)
                        : business_days_before(end + 1) - business_days_before(begin + 1);
}

// The business day with the given index counted from the reference Monday.
inline std::int64_t business_day_at(std::int64_t index) {
    const FloorDivision week = floor_divide(index, business_days_per_week);
    return reference_monday + week.quotient * 7 + week.remainder;
}

// Days (as a float) from `start` to each value; `ticks_per_second` is the resolution of both.
// One correctly rounded division per value. A NaT start, as learned from a column without
// dates, makes every number NaN.
inline void encode_days(const std::int64_t* ticks, std::size_t n, std::int64_t start,
                        std::int64_t ticks_per_second, double* out) {
    const auto ticks_per_day = static_cast<double>(ticks_per_second * seconds_per_day);
    const double missing = std::nan("");
    // Wrapping subtraction keeps the loop branch-free; the rare differences beyond the int64
    // range (datetime64[ns] values centuries apart) are redone exactly afterwards.
    bool overflowed = false;
    for (std::size_t i = 0; i < n; ++i) {
        const bool absent = ticks[i] == nat || start == nat;
        const auto difference = static_cast<std::int64_t>(static_cast<std::uint64_t>(ticks[i]) -
                                                          static_cast<std::uint64_t>(start));
        overflowed |= !absent && ((ticks[i] ^ start) & (ticks[i] ^ difference)) < 0;
        out[i] = absent ? missing : static_cast<double>(difference) / ticks_per_day;
    }
    for (std::size_t i = 0; overflowed && i < n; ++i) {
        std::int64_t difference = 0;
        if (ticks[i] != nat && __builtin_sub_overflow(ticks[i], start, &difference)) {
            const long double exact = static_cast<long double>(ticks[i]) - start;
            out[i] = static_cast<double>(exact) / ticks_per_day;
        }
    }
}

// Decodes numbers counted in a unit of `ns_per_unit` nanoseconds after `start_ns` into
// datetime64[ns] ticks; a NaT start decodes everything as NaT. Returns the position of the first
// number whose date lies outside the datetime64[ns] range (infinities included), or n when all fit.
inline std::size_t decode_days(const double* numbers, std::size_t n, std::int64_t start_ns,
                               std::int64_t ns_per_unit, std::int64_t* out) {
    const std::int64_t rounding_ns =
        ns_per_unit < finest_rounding_ns ? ns_per_unit : finest_rounding_ns;
    const double counts_per_unit = static_cast<double>(ns_per_unit / rounding_ns);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(numbers[i]) || start_ns == nat) {
            out[i] = nat;
            continue;
        }
        const double counts = std::nearbyint(numbers[i] * counts_per_unit);
        std::int64_t offset_ns = 0;
        if (!(std::fabs(counts) < largest_count) ||
            __builtin_mul_overflow(static_cast<std::int64_t>(counts), rounding_ns, &offset_ns) ||
            __builtin_add_overflow(start_ns, offset_ns, &out[i]) || out[i] == nat) {
            return i;
        }
    }
    return n;
}

// The daily business window and the start's place in it, in seconds.
struct BusinessWindow {
    std::int64_t start_day;     // days since the epoch of the start's date
    std::int64_t opening;       // hours_min in seconds after midnight
    std::int64_t length;        // (hours_max - hours_min) in seconds
    std::int64_t start_offset;  // whole seconds from the opening to the start's time of day
};

// Business days from the start: whole business days between the dates, plus the time of day
// as a share of the window, counted from the start's own place in it.
inline void encode_business_days(const std::int64_t* ticks, std::size_t n,
                                 std::int64_t ticks_per_second, const BusinessWindow& window,
                                 double* out) {
    const std::int64_t ticks_per_day = ticks_per_second * seconds_per_day;
    const auto per_second = static_cast<double>(ticks_per_second);
    const auto opening = static_cast<double>(window.opening);
    const auto start_offset = static_cast<double>(window.start_offset);
    const auto length = static_cast<double>(window.length);
    for (std::size_t i = 0; i < n; ++i) {
        if (ticks[i] == nat) {
            out[i] = std::nan("");
            continue;
        }
        const FloorDivision day = floor_divide(ticks[i], ticks_per_day);
        const double time_of_day = static_cast<double>(day.remainder) / per_second;
        const auto whole_days =
            static_cast<double>(business_days_between(window.start_day, day.quotient));
        out[i] = whole_days + (time_of_day - opening - start_offset) / length;
    }
}

// The inverse of encode_business_days into datetime64[s] ticks: each number lands on a
// business day at a whole second inside the window. Returns the position of the first number
// too large to decode, or n.
inline std::size_t decode_business_days(const double* numbers, std::size_t n,
                                        const BusinessWindow& window, std::int64_t* out) {
    const std::int64_t window_us = window.length * microseconds_per_second;
    const double start_share =
        static_cast<double>(window.start_offset) / static_cast<double>(window.length);
    // Counting mirrors np.busday_count: forwards from the start's day, backwards from the day
    // after it. For a business-day start both anchors are the start; for a weekend start the
    // first is the next Monday and the second the Friday before.
    const std::int64_t forward_anchor = business_days_before(window.start_day);
    const std::int64_t backward_anchor = business_days_before(window.start_day + 1) - 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(numbers[i])) {
            out[i] = nat;
            continue;
        }
        // Microseconds of business time from the opening of the start day's window.
        const double business_us =
            std::nearbyint((numbers[i] + start_share) * static_cast<double>(window_us));
        if (!(std::fabs(business_us) < largest_count)) {
            return i;
        }
        const FloorDivision days = floor_divide(static_cast<std::int64_t>(business_us), window_us);
        const std::int64_t anchor = days.quotient < 0 ? backward_anchor : forward_anchor;
        const std::int64_t date = business_day_at(anchor + days.quotient);
        const std::int64_t time_of_day = window.opening + days.remainder / microseconds_per_second;
        out[i] = date * seconds_per_day + time_of_day;
    }
    return n;
}

}  // namespace velora::date_kernels
