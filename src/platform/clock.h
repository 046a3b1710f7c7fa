// The local clock, behind an interface so tests and `--at` can fix the time.
#pragma once

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

}  // namespace psf
