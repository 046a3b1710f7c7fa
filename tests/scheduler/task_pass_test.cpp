#include <gtest/gtest.h>

#include "scheduler/task_pass.h"

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
    const struct {
        std::vector<std::string> last_times;
        const char* start;
        int cancelled_row;
        std::string expected;  // the rows run, the save, the stamps after the pass
    } cases[] = {
        // Row 2 becomes due during the runs, but the pass decided at its start.
        {{"08:00", "09:06", "07:00"}, "10:00", 0, "ran 1 3 saved 10:05 09:06 10:10"},
        {{"08:00", "08:00"}, "08:30", 0, "ran 08:00 08:00"},
        {{"08:00", "08:00"}, "12:00", 1, "ran 1 cancelled 08:00 08:00"},
        {{"11:00"}, "10:00", 0, "ran saved 10:00"},  // a later stamp is settled and saved
    };
    for (const auto& c : cases) {
        TaskTable table;
        table.TaskCount = static_cast<std::int16_t>(c.last_times.size());
        for (int r = 1; r <= table.TaskCount; ++r)
            table.rows[static_cast<std::size_t>(r)] = hourly("t", c.last_times[r - 1u]);
        std::string got = "ran";
        int saves = 0, runs = 0;
        const PassResult result = traite_ligne(
            table, SteppingClock(*parse_date_time("2026/12/01", c.start)),
            [&](int row) {
                got += " " + std::to_string(row);
                ++runs;
                RunSummary s;
                s.cancelled = row == c.cancelled_row;
                return s;
            },
            [&] { ++saves; });
        got += result.cancelled ? " cancelled" : "";
        got += result.saved ? " saved" : "";
        EXPECT_EQ(saves, result.saved ? 1 : 0);
        EXPECT_EQ(result.ran, runs - result.cancelled);
        for (int r = 1; r <= table.TaskCount; ++r) {
            got += " " + table.at(r, LastRunTime);
            EXPECT_EQ(table.at(r, LastRunDate), "2026/12/01");
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(TaskPass, StampsLaterThanThePassCountFromThePass) {
    const LocalTime now = *parse_date_time("2026/12/07", "10:00");
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        // kind, stamp date and time, whether it is settled to the pass's moment
        {"1", "2026/12/07", "10:01", true},  {"1", "2026/12/07", "10:00", false},
        {"1", "2027/01/01", "00:00", true},  {"1", "2027/01/01", "25:00", false},
        {"2", "2026/12/07", "23:00", false},  // days only
        {"2", "2026/12/08", "00:00", true},  {"2", "2026/13/08", "00:00", false},
        {"0", "2027/01/01", "00:00", false},
    };
    for (const auto& [kind, date, time, settled] : cases) {
        SCOPED_TRACE(std::string(kind) + " " + date + " " + time);
        TaskTable table;
        table.TaskCount = 1;
        table.rows[1] = hourly("a", time);
        table.rows[1][ScheduleKind] = kind;
        table.rows[1][LastRunDate] = date;
        EXPECT_EQ(settle_future_stamps(table, now), settled);
        EXPECT_EQ(table.at(1, LastRunDate) + " " + table.at(1, LastRunTime),
                  settled ? "2026/12/07 10:00" : std::string(date) + " " + time);
    }
}

TEST(TaskPass, SpecFromTaskFields) {
    Task t{};
    t[Title] = "  My task ";
    t[StartAddress] = " http://h/ ";
    t[LinkDepth] = "3";
    t[UserName] = "ann";
    t[ExistingImagePolicy] = "x";
    t[DestinationFolder] = " /d ";
    t[FolderLayout] = "2";
    t[IncludeName2] = "a*";
    t[IncludeType2] = "gif";
    t[ExcludeName4] = "b?";
    t[ExcludeType4] = "*";
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
