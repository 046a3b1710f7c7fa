#include <gtest/gtest.h>

#include "scheduler/due_rules.h"
#include "support/table.h"

using namespace psf;

namespace {

// The fields of a row of due_rules.txt, from its kind on, every weekday on.
Task task_for(const std::vector<std::string>& f) {
    Task t{};
    t[ScheduleKind] = f[1];
    t[IntervalIndex] = f[2];
    t[StartHourIndex] = f[3];
    t[StartMinuteIndex] = f[4];
    t[DayPeriodIndex] = f[5];
    for (int col = OnMonday; col <= OnSunday; ++col) t[static_cast<std::size_t>(col)] = "1";
    t[LastRunDate] = f[6];
    t[LastRunTime] = f[7];
    return t;
}

LocalTime at(const std::string& date, const std::string& time) {
    auto t = parse_date_time(date, time);
    EXPECT_TRUE(t.has_value()) << date << " " << time;
    return t.value_or(LocalTime{});
}

TEST(DueRules, StartTimeAndIntervalRules) {
    for (const auto& r : psf::test::read_table("scheduler/due_rules.txt", 11)) {
        SCOPED_TRACE(r.where);
        EXPECT_EQ(is_due(task_for(r.fields), at(r[8], r[9])), r[10] == "1");
    }
}

TEST(DueRules, TodaysWeekdayFieldMustBeExactlyOne) {
    const std::vector<std::string> c{"", "1", "0", "0", "0", "0", "2026/11/01", "10:00"};
    const LocalTime tuesday = at("2026/12/01", "10:00");
    ASSERT_EQ(tuesday.weekday, 2);
    for (const std::string value : {"0", "", " 1", "1 ", "yes"}) {
        SCOPED_TRACE("'" + value + "'");
        Task t = task_for(c);
        t[OnTuesday] = value;
        EXPECT_FALSE(is_due(t, tuesday));
        t[OnTuesday] = "1";
        t[OnWednesday] = value;
        EXPECT_TRUE(is_due(t, tuesday));
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
