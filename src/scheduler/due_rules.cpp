#include "scheduler/due_rules.h"

#include <chrono>

namespace psf {

namespace {

using Minutes = std::chrono::sys_time<std::chrono::minutes>;

Minutes moment(const LocalTime& t) {
    using namespace std::chrono;
    const sys_days d{year{t.year} / month{static_cast<unsigned>(t.month)} /
                     day{static_cast<unsigned>(t.day)}};
    return Minutes{d.time_since_epoch() + hours{t.hour} + minutes{t.minute}};
}

std::chrono::minutes interval_of(const std::string& index) {
    using std::chrono::minutes;
    if (index == "0") return minutes{15};
    if (index == "1") return minutes{30};
    if (index == "2") return minutes{60};
    if (index == "3") return minutes{240};
    if (index == "4") return minutes{480};
    return minutes{0};  // any other text adds nothing
}

std::string two_digits(int n) {
    if (n >= 0 && n < 10) return "0" + std::to_string(n);
    return std::to_string(n);
}

bool many_times_a_day_due(const Task& task, const LocalTime& now) {
    const auto last = parse_date_time(task[LastRunDate], task[LastRunTime]);
    if (!last) return false;
    // A stamp in the future (the clock was set back) counts as now.
    const Minutes from = std::min(moment(*last), moment(now));
    return from + interval_of(task[IntervalIndex]) <= moment(now);
}

bool start_time_due(const Task& task, const LocalTime& now) {
    const auto last = parse_date_time(task[LastRunDate], "00:00");
    if (!last) return false;
    const int period = read_number(task[DayPeriodIndex]);
    const int hour = read_number(task[StartHourIndex]);
    const int quarter = read_number(task[StartMinuteIndex]);
    if (period < 0 || hour < 0 || quarter < 0) return false;
    using namespace std::chrono;
    LocalTime today = now;
    today.hour = today.minute = 0;
    const Minutes last_day = std::min(moment(*last), moment(today));
    const Minutes due_day = last_day + days{period + 1};
    if (due_day > moment(today)) return false;
    const std::string start = two_digits(hour) + ":" + two_digits(quarter * 15);
    return start <= format_time(now);
}

}  // namespace

bool est_due(const Task& task, const LocalTime& now) {
    if (now.weekday < 1 || now.weekday > 7) return false;
    if (task[static_cast<std::size_t>(13 + now.weekday)] != "1") return false;
    if (task[LastRunDate].empty() || task[LastRunTime].empty()) return false;
    if (task[ScheduleKind] == "1") return many_times_a_day_due(task, now);
    if (task[ScheduleKind] == "2") return start_time_due(task, now);
    return false;
}

}  // namespace psf
