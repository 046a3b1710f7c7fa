// A due-time pass over a full table of 200 scheduled tasks of which none is
// due: what every 15th tick of the window, and every `picsifter-cli due`,
// pays when there is nothing to do.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "scheduler/task_pass.h"

namespace {

psf::TaskTable full_table() {
    psf::TaskTable table;
    table.TaskCount = psf::MaxTasks;
    for (int row = 1; row <= psf::MaxTasks; ++row) {
        psf::Task& t = table.rows[static_cast<std::size_t>(row)];
        t[psf::Title] = "Task " + std::to_string(row);
        t[psf::StartAddress] = "http://127.0.0.1/" + std::to_string(row) + "/index.html";
        for (int day = psf::OnMonday; day <= psf::OnSunday; ++day)
            t[static_cast<std::size_t>(day)] = "1";
        // A mix of the two scheduled kinds, each stamped so that it is not yet
        // due at the pass's moment (2026/12/07 10:00).
        if (row % 2 == 0) {
            t[psf::ScheduleKind] = "1";
            t[psf::IntervalIndex] = std::to_string(row % 5);
            t[psf::LastRunDate] = "2026/12/07";
            t[psf::LastRunTime] = "09:50";
        } else {
            t[psf::ScheduleKind] = "2";
            t[psf::DayPeriodIndex] = std::to_string(row % 7);
            t[psf::StartHourIndex] = "8";
            t[psf::StartMinuteIndex] = "0";
            t[psf::LastRunDate] = "2026/12/07";
            t[psf::LastRunTime] = "08:00";
        }
    }
    return table;
}

void DuePassNoneDue(benchmark::State& state) {
    psf::TaskTable table = full_table();
    const psf::FixedClock clock(psf::LocalTime{2026, 12, 7, 10, 0, 1});
    int runs = 0, saves = 0;
    const auto run = [&](int) {
        ++runs;
        return psf::RunSummary{};
    };
    const auto save = [&] { ++saves; };
    for (auto _ : state) {
        const psf::PassResult r = psf::traite_ligne(table, clock, run, save);
        benchmark::DoNotOptimize(r);
    }
    // A pass that ran or saved anything would measure the wrong thing.
    if (runs != 0 || saves != 0) {
        state.SkipWithError("a task was due");
        return;
    }
    state.counters["tasks"] = psf::MaxTasks;
}
BENCHMARK(DuePassNoneDue)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
