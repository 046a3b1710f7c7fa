#include "scheduler/due_rules.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace psf {

namespace {

const std::string& field(const Task& task, int col) {
    return task[static_cast<std::size_t>(col)];
}

// Days since 1970/01/01, or nothing for a date that does not exist.
std::optional<std::int64_t> day_number(const LocalTime& t) {
    namespace chr = std::chrono;
    const chr::year_month_day ymd{chr::year{t.year}, chr::month{static_cast<unsigned>(t.month)},
                                  chr::day{static_cast<unsigned>(t.day)}};
    if (!ymd.ok()) return std::nullopt;
    return chr::sys_days{ymd}.time_since_epoch().count();
}

std::optional<std::int64_t> minute_number(const LocalTime& t) {
    const auto day = day_number(t);
    if (!day) return std::nullopt;
    return *day * 1440 + t.hour * 60 + t.minute;
}

// Minutes added by IntervalIndex; any text but "0".."4" adds nothing.
int interval_minutes(const std::string& index) {
    if (index == "0") return 15;
    if (index == "1") return 30;
    if (index == "2") return 60;
    if (index == "3") return 4 * 60;
    if (index == "4") return 8 * 60;
    return 0;
}

// Many times a day: the last-run moment plus the interval, date included, so
// a next time past midnight waits for the next day instead of matching every
// later pass of the same evening.
bool many_times_a_day_due(const Task& task, std::int64_t now_minutes) {
    const auto last = parse_date_time(field(task, LastRunDate), field(task, LastRunTime));
    if (!last) return false;
    auto last_minutes = minute_number(*last);
    if (!last_minutes) return false;
    // After the clock was set back, the stamp counts as now rather than as a
    // moment the task still has to wait for.
    if (*last_minutes > now_minutes) last_minutes = now_minutes;
    const std::int64_t next = *last_minutes + interval_minutes(field(task, IntervalIndex));
    return next <= now_minutes;
}

// From a start time every d + 1 days.
bool start_time_due(const Task& task, const LocalTime& now, std::int64_t today) {
    const auto last = parse_date_time(field(task, LastRunDate), "00:00");
    if (!last) return false;
    auto last_day = day_number(*last);
    if (!last_day) return false;
    if (*last_day > today) last_day = today;  // clock set back

    const int period = read_number(field(task, DayPeriodIndex));
    const int hour = read_number(field(task, StartHourIndex));
    const int quarter = read_number(field(task, StartMinuteIndex));
    if (period < 0 || hour < 0 || quarter < 0) return false;  // no such schedule

    if (*last_day + period + 1 > today) return false;

    // Compared as text, like the stored stamps: an hour index beyond 23 gives
    // a start time no pass reaches.
    char start[32];
    std::snprintf(start, sizeof start, "%02d:%02d", hour, quarter * 15);
    return std::string(start) <= format_time(now);
}

}  // namespace

bool is_due(const Task& task, const LocalTime& now) {
    if (now.weekday < 1 || now.weekday > 7) return false;
    if (field(task, OnMonday - 1 + now.weekday) != "1") return false;
    if (field(task, LastRunDate).empty() || field(task, LastRunTime).empty()) return false;

    const auto today = day_number(now);
    if (!today) return false;

    const std::string& kind = field(task, ScheduleKind);
    if (kind == KindManyTimesADay)
        return many_times_a_day_due(task, *today * 1440 + now.hour * 60 + now.minute);
    if (kind == KindFrom) return start_time_due(task, now, *today);
    return false;  // "0" on demand, and anything unknown
}

}  // namespace psf
