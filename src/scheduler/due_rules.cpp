#include "scheduler/due_rules.h"

#include <chrono>

namespace psf {

namespace {

constexpr std::int64_t MinutesADay = 1440;

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

// Minutes since 1970/01/01 00:00; with `by_day` those of the day's start.
std::optional<std::int64_t> minute_number(const LocalTime& t, bool by_day = false) {
    const auto day = day_number(t);
    if (!day) return std::nullopt;
    return *day * MinutesADay + (by_day ? 0 : t.hour * 60 + t.minute);
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

// From a start time every d + 1 days.
bool start_time_due(const Task& task, const LocalTime& now, std::int64_t last_day,
                    std::int64_t today) {
    const int period = read_number(field(task, DayPeriodIndex));
    const int hour = read_number(field(task, StartHourIndex));
    const int quarter = read_number(field(task, StartMinuteIndex));
    if (period < 0 || hour < 0 || quarter < 0) return false;  // no such schedule

    if (last_day + period + 1 > today) return false;

    // An hour index beyond 23 gives a start time no pass reaches.
    return hour * 60 + quarter * 15 <= now.hour * 60 + now.minute;
}

}  // namespace

std::optional<LastRun> last_run(const Task& task, const LocalTime& now) {
    const std::string& kind = field(task, ScheduleKind);
    const bool by_day = kind == KindFrom;
    if (!by_day && kind != KindManyTimesADay) return std::nullopt;
    const auto stamp =
        parse_date_time(field(task, LastRunDate), by_day ? "00:00" : field(task, LastRunTime));
    const auto last = stamp ? minute_number(*stamp, by_day) : std::nullopt;
    const auto moment = minute_number(now, by_day);
    if (!last || !moment) return std::nullopt;
    if (*last > *moment) return LastRun{*moment, true};
    return LastRun{*last, false};
}

bool is_due(const Task& task, const LocalTime& now) {
    if (now.weekday < 1 || now.weekday > 7) return false;
    if (field(task, OnMonday - 1 + now.weekday) != "1") return false;
    if (field(task, LastRunDate).empty() || field(task, LastRunTime).empty()) return false;

    const auto last = last_run(task, now);
    const auto moment = minute_number(now);
    if (!last || !moment) return false;
    // Many times a day: the last-run moment plus the interval, date included,
    // so a next time past midnight waits for the next day instead of matching
    // every later pass of the same evening.
    if (field(task, ScheduleKind) == KindManyTimesADay)
        return last->minutes + interval_minutes(field(task, IntervalIndex)) <= *moment;
    return start_time_due(task, now, last->minutes / MinutesADay, *day_number(now));
}

}  // namespace psf
