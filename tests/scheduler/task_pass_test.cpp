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

}  // namespace
