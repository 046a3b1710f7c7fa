#include <gtest/gtest.h>

#include <sstream>

#include "scheduler/task_pass.h"
#include "support/table.h"

using namespace psf;

namespace {

// An hourly task on every weekday, last run on 2026/12/01 at `last_time`.
Task hourly(const std::string& title, const std::string& last_time) {
    Task t{};
    t[Title] = title;
    t[ScheduleKind] = "1";
    t[IntervalIndex] = "2";
    for (int col = OnMonday; col <= OnSunday; ++col) t[static_cast<std::size_t>(col)] = "1";
    t[LastRunDate] = "2026/12/01";
    t[LastRunTime] = last_time;
    return t;
}

// A clock that moves on by five minutes each time it is read.
class SteppingClock final : public Clock {
  public:
    explicit SteppingClock(LocalTime start) : t_(start) {}
    LocalTime now() const override {
        LocalTime out = t_;
        t_.minute += 5;
        return out;
    }

  private:
    mutable LocalTime t_;
};

TEST(TaskPass, RunsTheRowsDueAtItsStartStampsEachAndSavesOnce) {
    for (const auto& c : psf::test::read_table("scheduler/task_pass.txt", 4)) {
        TaskTable table;
        std::istringstream times(c[0]);
        for (std::string time; times >> time;) table.rows[++table.TaskCount] = hourly("t", time);
        std::string got = "ran";
        int saves = 0, runs = 0, timed_out = 0;
        const PassResult result = traite_ligne(
            table, SteppingClock(*parse_date_time("2026/12/01", c[1])),
            [&](int row) {
                got += " " + std::to_string(row);
                ++runs;
                RunSummary s;
                s.timed_out = "t" + std::to_string(row) == c[2];
                s.cancelled = s.timed_out || std::to_string(row) == c[2];
                timed_out += s.timed_out;
                return s;
            },
            [&] { ++saves; });
        got += std::string(result.cancelled ? " cancelled" : "") + (result.saved ? " saved" : "");
        EXPECT_EQ(saves, result.saved ? 1 : 0) << c.where;
        EXPECT_EQ(result.ran, runs - result.cancelled - timed_out) << c.where;
        for (int r = 1; r <= table.TaskCount; ++r) {
            got += " " + table.at(r, LastRunTime);
            EXPECT_EQ(table.at(r, LastRunDate), "2026/12/01") << c.where;
        }
        EXPECT_EQ(got, c[3]) << c.where;
    }
}

TEST(TaskPass, StampsLaterThanThePassCountFromThePass) {
    const LocalTime now = *parse_date_time("2026/12/07", "10:00");
    for (const auto& c : psf::test::read_table("scheduler/future_stamps.txt", 4)) {
        TaskTable table;
        table.TaskCount = 1;
        table.rows[1] = hourly("a", c[2]);
        table.rows[1][ScheduleKind] = c[0];
        table.rows[1][LastRunDate] = c[1];
        EXPECT_EQ(settle_future_stamps(table, now), c[3] == "1") << c.where;
        EXPECT_EQ(table.at(1, LastRunDate) + " " + table.at(1, LastRunTime),
                  c[3] == "1" ? "2026/12/07 10:00" : c[1] + " " + c[2])
            << c.where;
    }
}

TEST(TaskPass, SpecFromTaskFields) {
    Task t{};  // the 40 fields, "|" apart
    std::istringstream fields(
        "  My task | http://h/ |3|ann||x| /d |2|||||||||||||||a*|gif|||||||||||||b?|*||");
    for (std::size_t c = 1; c <= FieldCount; ++c) std::getline(fields, t[c], '|');
    RunSpec s = spec_from_task(t);
    EXPECT_EQ(s.title + "|" + s.start_address + "|" + s.destination, "My task|http://h/| /d ");
    EXPECT_EQ(s.link_depth * 100 + s.policy * 10 + s.layout, 302);
    EXPECT_EQ(s.user, "") << "no password: no credentials at all";
    EXPECT_EQ(s.include[1][0] + s.include[1][2] + s.exclude[3][0] + s.exclude[3][2], "a*gifb?*");
    EXPECT_EQ(s.include[0][0], "");
    t[Password] = "pw";
    s = spec_from_task(t);
    EXPECT_EQ(s.user + ":" + s.password, "ann:pw");
}

TEST(TaskPass, FindTaskByTrimmedTitle) {
    TaskTable table;
    table.TaskCount = 3;
    table.rows[1][Title] = "Cats ";
    table.rows[2][Title] = " Dogs";
    table.rows[3][Title] = "Dogs";
    table.rows[4][Title] = "Birds";  // beyond TaskCount
    EXPECT_EQ(find_task(table, "Dogs") * 1000 + find_task(table, " Cats") * 100 +
                  find_task(table, "cats") * 10 + find_task(table, "Birds"),
              2100);
}

}  // namespace
