#include <gtest/gtest.h>

#include "scheduler/due_rules.h"

using namespace psf;

namespace {

struct DueCase {
    const char* name;
    std::string kind, interval;
    int hour, quarter, period;
    std::string last_date, last_time;
    std::string now_date, now_time;
    bool due;
};

Task task_for(const DueCase& c) {
    Task t{};
    t[ScheduleKind] = c.kind;
    t[IntervalIndex] = c.interval;
    t[StartHourIndex] = std::to_string(c.hour);
    t[StartMinuteIndex] = std::to_string(c.quarter);
    t[DayPeriodIndex] = std::to_string(c.period);
    for (int col = OnMonday; col <= OnSunday; ++col) t[static_cast<std::size_t>(col)] = "1";
    t[LastRunDate] = c.last_date;
    t[LastRunTime] = c.last_time;
    return t;
}

LocalTime at(const std::string& date, const std::string& time) {
    auto t = parse_date_time(date, time);
    EXPECT_TRUE(t.has_value()) << date << " " << time;
    return t.value_or(LocalTime{});
}

// 2026/12/01 is a Tuesday.
TEST(DueRules, StartTimeAndIntervalRules) {
    const std::vector<DueCase> cases = {
        {"daily, created Tuesday 08:00, same day", "2", "", 9, 0, 0, "2026/12/01", "08:00",
         "2026/12/01", "09:30", false},
        {"daily, next day before the start", "2", "", 9, 0, 0, "2026/12/01", "08:00", "2026/12/02",
         "08:45", false},
        {"daily, next day at the start", "2", "", 9, 0, 0, "2026/12/01", "08:00", "2026/12/02",
         "09:00", true},
        {"every 2 days, one day on", "2", "", 9, 0, 1, "2026/11/30", "10:00", "2026/12/01", "10:00",
         false},
        {"every 2 days, two days on", "2", "", 9, 0, 1, "2026/11/30", "10:00", "2026/12/02",
         "10:00", true},
        {"start 09:15 at 09:15", "2", "", 9, 1, 0, "2026/12/01", "07:00", "2026/12/02", "09:15",
         true},
        {"start 09:15 at 09:14", "2", "", 9, 1, 0, "2026/12/01", "07:00", "2026/12/02", "09:14",
         false},
        {"28 February, leap year", "2", "", 0, 0, 0, "2028/02/28", "10:00", "2028/02/29", "00:00",
         true},
        {"28 February, other year", "2", "", 0, 0, 0, "2027/02/28", "10:00", "2027/03/01", "00:00",
         true},
        {"year end rolls over", "2", "", 8, 0, 0, "2026/12/31", "10:00", "2027/01/01", "08:00",
         true},
        {"missed days run once", "2", "", 8, 0, 6, "2026/01/01", "10:00", "2026/12/01", "08:00",
         true},
        {"kind 2, invalid date", "2", "", 8, 0, 0, "2026/13/01", "10:00", "2026/12/01", "09:00",
         false},
        {"kind 2, dashes", "2", "", 8, 0, 0, "2026-11-01", "10:00", "2026/12/01", "09:00", false},
        {"hourly 10:07, at 11:05", "1", "2", 0, 0, 0, "2026/12/01", "10:07", "2026/12/01", "11:05",
         false},
        {"hourly 10:07, at 11:20", "1", "2", 0, 0, 0, "2026/12/01", "10:07", "2026/12/01", "11:20",
         true},
        {"quarter 10:07, at 10:20", "1", "0", 0, 0, 0, "2026/12/01", "10:07", "2026/12/01", "10:20",
         false},
        {"quarter 10:07, at 10:22", "1", "0", 0, 0, 0, "2026/12/01", "10:07", "2026/12/01", "10:22",
         true},
        {"half-hour 09:45, at 10:14", "1", "1", 0, 0, 0, "2026/12/01", "09:45", "2026/12/01",
         "10:14", false},
        {"half-hour 09:45, at 10:15", "1", "1", 0, 0, 0, "2026/12/01", "09:45", "2026/12/01",
         "10:15", true},
        {"8 hours from 16:10, same evening", "1", "4", 0, 0, 0, "2026/12/01", "16:10", "2026/12/01",
         "23:50", false},
        {"8 hours from 16:10, 00:05 next day", "1", "4", 0, 0, 0, "2026/12/01", "16:10",
         "2026/12/02", "00:05", false},
        {"8 hours from 16:10, 00:10 next day", "1", "4", 0, 0, 0, "2026/12/01", "16:10",
         "2026/12/02", "00:10", true},
        {"after a long break", "1", "2", 0, 0, 0, "2026/11/01", "23:00", "2026/12/01", "08:00",
         true},
        {"4 hours across the month end", "1", "3", 0, 0, 0, "2026/11/30", "22:00", "2026/12/01",
         "02:00", true},
        {"unknown interval adds nothing", "1", "7", 0, 0, 0, "2026/12/01", "10:07", "2026/12/01",
         "10:07", true},
        {"empty interval adds nothing", "1", "", 0, 0, 0, "2026/12/01", "10:07", "2026/12/01",
         "10:07", true},
        {"stamp later than the pass counts as the pass", "1", "", 0, 0, 0, "2026/12/05", "10:07",
         "2026/12/01", "10:06", true},
        {"later stamp plus a quarter is not yet due", "1", "0", 0, 0, 0, "2026/12/05", "10:07",
         "2026/12/01", "10:06", false},
        {"kind 1, invalid time", "1", "0", 0, 0, 0, "2026/12/01", "24:00", "2026/12/02", "10:00",
         false},
        {"kind 1, short time", "1", "0", 0, 0, 0, "2026/12/01", "9:05", "2026/12/02", "10:00",
         false},
        {"on demand never", "0", "0", 0, 0, 0, "2026/01/01", "00:00", "2026/12/01", "10:00", false},
        {"unknown kind never", "3", "0", 0, 0, 0, "2026/01/01", "00:00", "2026/12/01", "10:00",
         false},
        {"empty stamp never", "1", "0", 0, 0, 0, "", "", "2026/12/01", "10:00", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(est_due(task_for(c), at(c.now_date, c.now_time)), c.due);
    }
}

TEST(DueRules, TodaysWeekdayFieldMustBeExactlyOne) {
    const DueCase c{"", "1", "0", 0, 0, 0, "2026/11/01", "10:00", "2026/12/01", "10:00", true};
    const LocalTime tuesday = at("2026/12/01", "10:00");
    ASSERT_EQ(tuesday.weekday, 2);
    for (const std::string value : {"0", "", " 1", "1 ", "yes"}) {
        SCOPED_TRACE("'" + value + "'");
        Task t = task_for(c);
        t[OnTuesday] = value;
        EXPECT_FALSE(est_due(t, tuesday));
        t[OnTuesday] = "1";
        t[OnWednesday] = value;
        EXPECT_TRUE(est_due(t, tuesday));
    }
}

TEST(Clock, FormatAndParse) {
    const LocalTime t = at("2026/03/05", "09:05");
    EXPECT_EQ(format_date(t), "2026/03/05");
    EXPECT_EQ(format_time(t), "09:05");
    EXPECT_EQ(t.weekday, 4);  // a Thursday
    EXPECT_EQ(at("2026/12/06", "00:00").weekday, 7);
    for (const auto& [d, tm] :
         std::vector<std::pair<std::string, std::string>>{{"2026/02/29", "10:00"},
                                                          {"2026/00/10", "10:00"},
                                                          {"2026/1/10", "10:00"},
                                                          {"2026/01/10", "10:60"},
                                                          {"2026/01/10", "1000"},
                                                          {"abcd/01/10", "10:00"}}) {
        SCOPED_TRACE(d + " " + tm);
        EXPECT_FALSE(parse_date_time(d, tm).has_value());
    }
}

}  // namespace
