// A task's run from its stored fields, and the due-time pass over the table.
#pragma once

#include <functional>
#include <stop_token>
#include <string_view>
#include <utility>
#include <vector>

#include "scheduler/clock.h"
#include "scheduler/due_rules.h"
#include "scheduler/task_run.h"
#include "store/task_table.h"

namespace psf {

// The fields a run reads: title and address trimmed, numbers read as numbers,
// both credentials or none, the filter tables from fields 21-28 and 31-38.
RunSpec spec_from_task(const Task& task);

// A task's extras as the run takes them.
m_psf::ImageChoice image_choice(const TaskExtras& extras);

// The run of row `row`: spec_from_task with the extras the table keeps for it.
RunSpec spec_from_row(const TaskTable& table, int row);

// Runs task `numligne` (1..TaskCount) of `table`, for at most `max_time`. It
// neither stamps nor saves: the caller does both once the run has returned.
RunSummary traite_ligne_detail(const TaskTable& table, int numligne, RunMode mode,
                               m_psf::CrawlState& state, TransferControl& inet,
                               RunObserver& observer, std::stop_token stop = {},
                               std::chrono::seconds max_time = DefaultMaxTime,
                               const m_psf::StoredLookup& stored = {});

// LastRunDate, then LastRunTime.
void stamp(Task& task, const LocalTime& when);

// Scheduled rows whose last_run() is ahead of `now` are stamped `now`. True
// when any row changed.
bool settle_future_stamps(TaskTable& table, const LocalTime& now);

// The rows due at `now`, in table order.
std::vector<int> due_rows(const TaskTable& table, const LocalTime& now);

// The table's side of runs, for the window and the command-line runner alike:
// which rows a pass runs, the stamp a run leaves, and whether a save is owed.
class TaskStamps {
  public:
    explicit TaskStamps(TaskTable& table) : table_(table) {}

    // A pass's one clock reading: settles stamps ahead of it, then gives the
    // rows due at it, in table order.
    std::vector<int> begin_pass(const LocalTime& now);
    // A run of `row` ended at `end`; a cancelled run is not stamped.
    void run_ended(int row, bool cancelled, const LocalTime& end);
    // True once after the table changed: the caller saves it then.
    bool take_unsaved() { return std::exchange(unsaved_, false); }

  private:
    TaskTable& table_;
    bool unsaved_ = false;
};

struct PassResult {
    int ran = 0;
    bool cancelled = false;  // a run was cancelled; it and the rows after it are not stamped
    bool saved = false;      // `save` was called
};

// The runs of a pass, one after the other on the calling thread, for the
// runner and the window's worker alike: `run(k)` runs the k-th of `count`,
// and `ended(k, summary, end)` hears of its end, `end` being the clock read
// once it returned. A run stopped at its own time limit does not end the
// pass; a run cancelled does, and so does `stop` before the next one.
PassResult run_in_turn(
    std::size_t count, const Clock& clock, const std::function<RunSummary(std::size_t k)>& run,
    const std::function<void(std::size_t k, const RunSummary&, const LocalTime& end)>& ended,
    std::stop_token stop = {});

// One due-time pass: the rows due at the moment read once at its start run in
// table order (run_in_turn), each stamped with the clock when its run ends;
// `save` is called once at the end when the table changed.
PassResult traite_ligne(TaskTable& table, const Clock& clock,
                        const std::function<RunSummary(int row)>& run,
                        const std::function<void()>& save, std::stop_token stop = {});

}  // namespace psf
