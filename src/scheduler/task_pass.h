// A task's run from its stored fields, and the due-time pass over the table.
#pragma once

#include <functional>

#include "scheduler/clock.h"
#include "scheduler/due_rules.h"
#include "scheduler/task_run.h"
#include "store/task_table.h"

namespace psf {

// The fields a run reads: title and address trimmed, numbers read as numbers,
// both credentials or none, the filter tables from fields 21-28 and 31-38.
RunSpec spec_from_task(const Task& task);

// LastRunDate, then LastRunTime.
void stamp(Task& task, const LocalTime& when);

struct PassResult {
    int ran = 0;
    bool cancelled = false;  // a run was cancelled; it and the rows after it are not stamped
};

// One due-time pass: the rows due at the moment read once at its start run in
// table order, each stamped with the clock when its run ends; `save` is called
// once at the end when any task ran.
PassResult traite_ligne(TaskTable& table, const Clock& clock,
                        const std::function<RunSummary(int row)>& run,
                        const std::function<void()>& save);

}  // namespace psf
