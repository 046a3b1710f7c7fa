#include "platform/http_date.h"

#include <cstdio>
#include <cstring>

namespace psf {

namespace {

constexpr const char* Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int month_of(const char* name) {
    for (int m = 0; m < 12; ++m)
        if (std::strcmp(name, Months[m]) == 0) return m;
    return -1;
}

}  // namespace

std::optional<std::time_t> parse_http_date(std::string_view text) {
    if (text.size() > 64) return std::nullopt;
    const std::string s(text);
    const char* c = s.c_str();
    const int size = static_cast<int>(s.size());
    char day[16] = {}, month[4] = {};
    int mday = 0, year = 0, hour = 0, minute = 0, second = 0, end = 0;
    // "Sun, 06 Nov 1994 08:49:37 GMT", then "Sunday, 06-Nov-94 08:49:37 GMT"
    // and "Sun Nov  6 08:49:37 1994".
    bool ok = std::sscanf(c, "%15[A-Za-z], %2d %3s %4d %2d:%2d:%2d GMT%n", day, &mday, month, &year,
                          &hour, &minute, &second, &end) == 7 &&
              end == size;
    if (!ok) {
        end = 0;
        ok = std::sscanf(c, "%15[A-Za-z], %2d-%3s-%2d %2d:%2d:%2d GMT%n", day, &mday, month, &year,
                         &hour, &minute, &second, &end) == 7 &&
             end == size;
        if (ok) year += year < 70 ? 2000 : 1900;
    }
    if (!ok) {
        end = 0;
        ok = std::sscanf(c, "%3s %3s %2d %2d:%2d:%2d %4d%n", day, month, &mday, &hour, &minute,
                         &second, &year, &end) == 7 &&
             end == size;
    }
    if (!ok) return std::nullopt;
    std::tm t{};
    t.tm_mon = month_of(month);
    if (t.tm_mon < 0 || mday < 1 || mday > 31 || year < 1970 || hour > 23 || minute > 59 ||
        second > 60 || hour < 0 || minute < 0 || second < 0)
        return std::nullopt;
    t.tm_mday = mday;
    t.tm_year = year - 1900;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return ::timegm(&t);
}

std::string http_date(std::time_t t) {
    std::tm g{};
    if (::gmtime_r(&t, &g) == nullptr) return {};
    char text[40];
    // A year past 9999 would be cut short, never written past the buffer.
    static_cast<void>(std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                                    Days[g.tm_wday], g.tm_mday, Months[g.tm_mon], g.tm_year + 1900,
                                    g.tm_hour, g.tm_min, g.tm_sec));
    return text;
}

}  // namespace psf
