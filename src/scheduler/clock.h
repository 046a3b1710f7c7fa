// A clock fixed at one moment, for tests and `--at`, and the date and time
// texts of the schedule.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace psf {

// Always the same moment, until set to another. A run's thread reads it while
// the thread that owns it may set it.
class FixedClock final : public Clock {
  public:
    explicit FixedClock(LocalTime t) : t_(t) {}
    LocalTime now() const override {
        std::lock_guard lock(mutex_);
        return t_;
    }
    void set(LocalTime t) {
        std::lock_guard lock(mutex_);
        t_ = t;
    }

  private:
    mutable std::mutex mutex_;
    LocalTime t_;
};

std::string format_date(const LocalTime& t);  // "YYYY/MM/DD"
std::string format_time(const LocalTime& t);  // "HH:NN"

// "YYYY/MM/DD" and "HH:NN", exactly in that form and a real date and time;
// the weekday is computed. Nothing for anything else.
std::optional<LocalTime> parse_date_time(std::string_view date, std::string_view time);

}  // namespace psf
