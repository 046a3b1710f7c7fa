#include "scheduler/clock.h"

#include <chrono>
#include <cstdio>

namespace psf {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits of `text` from `first` for `count` characters; the caller has
// checked that they are all digits.
int digits(std::string_view text, std::size_t first, std::size_t count) {
    int value = 0;
    for (std::size_t i = first; i < first + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

bool date_shape(std::string_view d) {
    if (d.size() != 10 || d[4] != '/' || d[7] != '/') return false;
    for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u})
        if (!is_digit(d[i])) return false;
    return true;
}

bool time_shape(std::string_view t) {
    if (t.size() != 5 || t[2] != ':') return false;
    for (std::size_t i : {0u, 1u, 3u, 4u})
        if (!is_digit(t[i])) return false;
    return true;
}

}  // namespace

std::string format_date(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", t.year, t.month, t.day);
    return buf;
}

std::string format_time(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d", t.hour, t.minute);
    return buf;
}

std::optional<LocalTime> parse_date_time(std::string_view date, std::string_view time) {
    if (!date_shape(date) || !time_shape(time)) return std::nullopt;

    LocalTime t;
    t.year = digits(date, 0, 4);
    t.month = digits(date, 5, 2);
    t.day = digits(date, 8, 2);
    t.hour = digits(time, 0, 2);
    t.minute = digits(time, 3, 2);
    if (t.hour > 23 || t.minute > 59) return std::nullopt;

    namespace chr = std::chrono;
    const chr::year_month_day ymd{chr::year{t.year}, chr::month{static_cast<unsigned>(t.month)},
                                  chr::day{static_cast<unsigned>(t.day)}};
    if (!ymd.ok()) return std::nullopt;  // month 13, 30 February, 29 February off leap years
    t.weekday = static_cast<int>(chr::weekday{chr::sys_days{ymd}}.iso_encoding());
    return t;
}

}  // namespace psf
