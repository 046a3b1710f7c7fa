#include <gtest/gtest.h>

#include "scheduler/task_pass.h"

using namespace psf;

namespace {

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

TEST(TaskPass, RunsDueRowsInOrderStampsEachAndSavesOnce) {
    TaskTable table;
    table.TaskCount = 3;
    table.rows[1] = hourly("a", "08:00");
    table.rows[2] = hourly("b", "09:06");  // due from 10:06
    table.rows[3] = hourly("c", "07:00");
    SteppingClock clock(*parse_date_time("2026/12/01", "10:00"));
    std::vector<int> ran;
    int saves = 0;
    // Row 2 becomes due during the pass's runs, but the pass decided at its start.
    PassResult r = traite_ligne(
        table, clock,
        [&](int row) {
            ran.push_back(row);
            return RunSummary{};
        },
        [&] { ++saves; });
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
    EXPECT_EQ(r.ran, 2);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(table.at(1, LastRunTime), "10:05");
    EXPECT_EQ(table.at(3, LastRunTime), "10:10");
    EXPECT_EQ(table.at(2, LastRunTime), "09:06");
    EXPECT_EQ(table.at(1, LastRunDate), "2026/12/01");
}

TEST(TaskPass, NothingDueMeansNoSaveAndCancelStopsStamping) {
    TaskTable table;
    table.TaskCount = 2;
    table.rows[1] = hourly("a", "08:00");
    table.rows[2] = hourly("b", "08:00");
    FixedClock early(*parse_date_time("2026/12/01", "08:30"));
    int saves = 0;
    traite_ligne(
        table, early, [](int) { return RunSummary{}; }, [&] { ++saves; });
    EXPECT_EQ(saves, 0);

    FixedClock late(*parse_date_time("2026/12/01", "12:00"));
    int runs = 0;
    PassResult r = traite_ligne(
        table, late,
        [&](int) {
            ++runs;
            RunSummary s;
            s.cancelled = true;
            return s;
        },
        [&] { ++saves; });
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(table.at(1, LastRunTime), "08:00");

    // A run stopped at its time limit is not stamped; the next due row runs.
    r = traite_ligne(
        table, late,
        [&](int row) {
            RunSummary s;
            s.cancelled = s.timed_out = row == 1;
            return s;
        },
        [&] { ++saves; });
    EXPECT_EQ(r.ran, 1);
    EXPECT_EQ(table.at(1, LastRunTime), "08:00");
    EXPECT_EQ(table.at(2, LastRunTime), "12:00");
}

TEST(TaskPass, SpecFromTaskFields) {
    Task t{};
    t[Title] = "  My task ";
    t[StartAddress] = " http://h/ ";
    t[LinkDepth] = "3";
    t[UserName] = "ann";
    t[Password] = "";
    t[ExistingImagePolicy] = "x";
    t[DestinationFolder] = " /d ";
    t[FolderLayout] = "2";
    t[IncludeName2] = "a*";
    t[IncludeType2] = "gif";
    t[ExcludeName4] = "b?";
    t[ExcludeType4] = "*";
    const RunSpec s = spec_from_task(t);
    EXPECT_EQ(s.title, "My task");
    EXPECT_EQ(s.start_address, "http://h/");
    EXPECT_EQ(s.link_depth, 3);
    EXPECT_EQ(s.user, "");  // no password: no credentials at all
    EXPECT_EQ(s.policy, 0);
    EXPECT_EQ(s.destination, " /d ");
    EXPECT_EQ(s.layout, 2);
    EXPECT_EQ(s.include[1][0], "a*");
    EXPECT_EQ(s.include[1][2], "gif");
    EXPECT_EQ(s.exclude[3][0], "b?");
    EXPECT_EQ(s.exclude[3][2], "*");
    EXPECT_EQ(s.include[0][0], "");
}

TEST(TaskPass, StampsLaterThanThePassCountFromThePass) {
    const LocalTime now = *parse_date_time("2026/12/07", "10:00");
    struct Case {
        const char* name;
        const char* kind;
        const char* date;
        const char* time;
        bool settled;
    };
    const std::vector<Case> cases = {
        {"kind 1 later today", "1", "2026/12/07", "10:01", true},
        {"kind 1 now", "1", "2026/12/07", "10:00", false},
        {"kind 1 next year", "1", "2027/01/01", "00:00", true},
        {"kind 1 invalid time", "1", "2027/01/01", "25:00", false},
        {"kind 2 later today", "2", "2026/12/07", "23:00", false},  // days only
        {"kind 2 tomorrow", "2", "2026/12/08", "00:00", true},
        {"kind 2 invalid date", "2", "2026/13/08", "00:00", false},
        {"on demand", "0", "2027/01/01", "00:00", false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TaskTable table;
        table.TaskCount = 1;
        table.rows[1] = hourly("a", tc.time);
        table.rows[1][ScheduleKind] = tc.kind;
        table.rows[1][LastRunDate] = tc.date;
        EXPECT_EQ(settle_future_stamps(table, now), tc.settled);
        EXPECT_EQ(table.at(1, LastRunDate), tc.settled ? "2026/12/07" : tc.date);
        EXPECT_EQ(table.at(1, LastRunTime), tc.settled ? "10:00" : tc.time);
    }

    // The pass saves the settled stamp although nothing ran, and the task
    // then runs one interval later.
    TaskTable table;
    table.TaskCount = 1;
    table.rows[1] = hourly("a", "12:00");
    table.rows[1][LastRunDate] = "2026/12/07";
    int saves = 0, runs = 0;
    auto run = [&](int) {
        ++runs;
        return RunSummary{};
    };
    PassResult r = traite_ligne(table, FixedClock(now), run, [&] { ++saves; });
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(r.saved);
    traite_ligne(table, FixedClock(*parse_date_time("2026/12/07", "11:00")), run, [&] { ++saves; });
    EXPECT_EQ(runs, 1);
}

TEST(TaskPass, FindTaskByTrimmedTitle) {
    TaskTable table;
    table.TaskCount = 3;
    table.rows[1][Title] = "Cats ";
    table.rows[2][Title] = " Dogs";
    table.rows[3][Title] = "Dogs";
    table.rows[4][Title] = "Birds";  // beyond TaskCount
    EXPECT_EQ(find_task(table, "Dogs"), 2);
    EXPECT_EQ(find_task(table, " Cats"), 1);
    EXPECT_EQ(find_task(table, "cats"), 0);
    EXPECT_EQ(find_task(table, "Birds"), 0);
}

}  // namespace
