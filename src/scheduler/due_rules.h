// Which tasks a due-time pass starts.
#pragma once

#include <cstdint>
#include <optional>

#include "scheduler/clock.h"
#include "store/task_table.h"

namespace psf {

// A scheduled task's last run as its schedule counts it, in minutes since
// 1970/01/01 00:00: "many times a day" by its date and time, "From" by its
// date alone. A stamp later than `now` (the clock was set back) counts as
// `now`, so the task waits one period from here rather than until the clock
// catches up; `ahead` says so.
struct LastRun {
    std::int64_t minutes = 0;
    bool ahead = false;
};

// Nothing for a task run on demand, a kind that is unknown, or a stamp that
// is no real date and time.
std::optional<LastRun> last_run(const Task& task, const LocalTime& now);

// Whether `task` is due at the pass's moment `now` (read once per pass).
bool is_due(const Task& task, const LocalTime& now);

}  // namespace psf
