#include "platform/clock.h"

#include <ctime>

namespace psf {

LocalTime SystemClock::now() const {
    const std::time_t seconds = std::time(nullptr);
    std::tm tm{};
    // The present always fits; a failure would leave the zeroed fields.
    static_cast<void>(localtime_r(&seconds, &tm));
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.weekday = tm.tm_wday == 0 ? 7 : tm.tm_wday;  // tm counts from Sunday = 0
    return t;
}

}  // namespace psf
