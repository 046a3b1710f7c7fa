// Which tasks a due-time pass starts.
#pragma once

#include "scheduler/clock.h"
#include "store/task_table.h"

namespace psf {

// Whether `task` is due at the pass's moment `now` (read once per pass).
bool is_due(const Task& task, const LocalTime& now);

}  // namespace psf
