// The local clock, behind an interface so tests and `--at` can fix the time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace psf {

struct LocalTime {
    int year = 2000;
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int weekday = 6;  // Monday = 1 .. Sunday = 7
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
};

// The system's local time.
class SystemClock final : public Clock {
  public:
    LocalTime now() const override;
};

// Always the same moment.
class FixedClock final : public Clock {
  public:
    explicit FixedClock(LocalTime t) : t_(t) {}
    LocalTime now() const override { return t_; }
    void set(LocalTime t) { t_ = t; }

  private:
    LocalTime t_;
};

std::string format_date(const LocalTime& t);  // "YYYY/MM/DD"
std::string format_time(const LocalTime& t);  // "HH:NN"

// "YYYY/MM/DD" and "HH:NN", exactly in that form and a real date and time;
// the weekday is computed. Nothing for anything else.
std::optional<LocalTime> parse_date_time(std::string_view date, std::string_view time);

}  // namespace psf
