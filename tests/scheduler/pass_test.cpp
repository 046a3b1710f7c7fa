// The due-time rules, the pass over the table, and the gate that starts runs.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "scheduler/run_gate.h"
#include "scheduler/task_pass.h"
#include "support/table.h"

using namespace psf;

namespace {

// A task of the given kind and interval last run at `date` `at`, on the
// weekdays `days` gives ("," apart), every one when it gives none.
Task task(const std::string& kind, const std::string& every, const std::string& date,
          const std::string& at, const std::string& days = "") {
    Task t{};
    t[ScheduleKind] = kind, t[IntervalIndex] = every, t[LastRunDate] = date, t[LastRunTime] = at;
    std::istringstream in(days);
    for (auto col = std::size_t{OnMonday}; col <= std::size_t{OnSunday}; ++col)
        if (!std::getline(in, t[col], ',')) t[col] = "1";
    return t;
}

// The answer, then "s" when the stamp, later than now, is then settled to now;
// other stamps stay as they are.
TEST(DueRules, Table) {
    for (const auto& r : psf::test::read_table("scheduler/due_rules.txt", 12)) {
        TaskTable table;
        Task& t = table.rows[++table.TaskCount] = task(r[1], r[2], r[6], r[7], r[11]);
        t[StartHourIndex] = r[3], t[StartMinuteIndex] = r[4], t[DayPeriodIndex] = r[5];
        const LocalTime now = parse_date_time(r[8], r[9]).value();
        SCOPED_TRACE(r.where);
        EXPECT_EQ(is_due(t, now), r[10].starts_with('1')) << "due";
        EXPECT_EQ(settle_future_stamps(table, now), r[10].ends_with('s')) << "settled";
        EXPECT_EQ(t[LastRunDate] + " " + t[LastRunTime],
                  r[10].ends_with('s') ? r[8] + " " + r[9] : r[6] + " " + r[7])
            << "last run";
    }
}

// A clock that moves on by five minutes each time it is read.
struct SteppingClock final : Clock {
    mutable LocalTime t;
    explicit SteppingClock(LocalTime start) : t(start) { t.minute -= 5; }  // read first: `start`
    LocalTime now() const override { return t.minute += 5, t; }
};

TEST(TaskPass, RunsTheRowsDueAtItsStartStampsEachAndSavesOnce) {
    const std::string day = "2026/03/03";
    for (const auto& c : psf::test::read_table("scheduler/task_pass.txt", 4)) {
        TaskTable table;
        std::istringstream times(c[0]);
        for (std::string time; times >> time;)
            table.rows[++table.TaskCount] = task("1", "2", day, time);
        std::string got = "ran";
        const PassResult result = traite_ligne(
            table, SteppingClock(parse_date_time(day, c[1]).value()),
            [&](int row) {
                got += " " + std::to_string(row);
                RunSummary s;
                s.timed_out = "t" + std::to_string(row) == c[2];
                s.cancelled = s.timed_out || std::to_string(row) == c[2];
                return s;
            },
            [&] { got += " saved"; });
        // Then the runs not cancelled and whether the pass saved.
        got += (result.cancelled ? " cancelled " : " ") + std::to_string(result.ran) +
               std::to_string(result.saved);
        for (int r = 1; r <= table.TaskCount; ++r)
            got += " " + table.at(r, LastRunTime) + (table.at(r, LastRunDate) == day ? "" : "?");
        EXPECT_EQ(got, c[3]) << c.where;
    }
}

TEST(TaskPass, SpecFromTaskFieldsAndFindByTrimmedTitle) {
    Task t{};  // the 40 fields, "|" apart
    std::istringstream fields(
        "  My task | http://h/ |3|ann||x| /d |2|||||||||||||||a*|gif|||||||||||||b?|*||");
    for (std::size_t c = 1; c <= FieldCount; ++c) std::getline(fields, t[c], '|');
    const RunSpec s = spec_from_task(t);
    for (const auto& [field, got, want] :
         std::vector<std::tuple<const char*, std::string, std::string>>{
             {"title", s.title, "My task"},
             {"address", s.start_address, "http://h/"},
             {"folder", s.destination, " /d "},
             {"user (no password: none)", s.user, ""},
             {"include 1", s.include[1][0] + "." + s.include[1][2], "a*.gif"},
             {"exclude 3", s.exclude[3][0] + "." + s.exclude[3][2], "b?.*"},
             {"depth", std::to_string(s.link_depth), "3"},
             {"policy", std::to_string(s.policy), "0"},
             {"layout", std::to_string(s.layout), "2"}})
        EXPECT_EQ(got, want) << field;
    t[Password] = "pw";
    EXPECT_EQ(spec_from_task(t).user + ":" + spec_from_task(t).password, "ann:pw");

    TaskTable table;
    for (const char* title : {"Cats ", " Dogs", "Dogs", "Birds"})  // Birds beyond TaskCount
        table.rows[static_cast<std::size_t>(++table.TaskCount)][Title] = title;
    --table.TaskCount;
    for (const auto& [title, row] : {std::pair{"Dogs", 2}, {" Cats", 1}, {"cats", 0}, {"Birds", 0}})
        EXPECT_EQ(find_task(table, title), row) << title;
}

// Records what the bracket does to the window among the gate's answers.
struct Window final : BusyTarget {
    std::string log;
    void set_busy(bool busy) override { log += busy ? "+" : "-"; }
};

TEST(RunGate, Table) {
    for (const auto& c : psf::test::read_table("scheduler/run_gate.txt", 2)) {
        Window w;
        RunGate gate(w);
        for (const char step : c[0]) {
            if (step == 't') w.log += gate.tick() ? "1" : "0";
            if (step == 'r') w.log += gate.begin_retrieve_now() ? 'R' : 'r';
            if (step == 'f') w.log += gate.finish() ? 'F' : 'f';
            if (step == 'b') w.log += gate.busy() ? 'B' : 'b';
            if (step == 'd') w.log += gate.pass_deferred() ? 'D' : 'd';
            if (step == 'n') w.log += "<" + std::to_string(gate.TimerTicks()) + ">";
        }
        EXPECT_EQ(w.log, c[1]) << c.where;
    }
}

}  // namespace
