#include "scheduler/task_pass.h"

#include <vector>

#include "platform/text.h"

namespace psf {

RunSpec spec_from_task(const Task& task) {
    RunSpec spec;
    spec.title = std::string(trim_blanks(task[Title]));
    spec.start_address = std::string(trim_blanks(task[StartAddress]));
    spec.link_depth = read_number(task[LinkDepth]);
    if (complete_credentials(task[UserName], task[Password])) {
        spec.user = task[UserName];
        spec.password = task[Password];
    }
    spec.policy = read_number(task[ExistingImagePolicy]);
    spec.destination = task[DestinationFolder];
    spec.layout = read_number(task[FolderLayout]);
    for (std::size_t k = 0; k < 4; ++k) {
        spec.include[k][0] = task[IncludeName1 + 2 * k];
        spec.include[k][2] = task[IncludeType1 + 2 * k];
        spec.exclude[k][0] = task[ExcludeName1 + 2 * k];
        spec.exclude[k][2] = task[ExcludeType1 + 2 * k];
    }
    return spec;
}

static_assert(StoredImageKinds == m_psf::ImageKinds, "a stored kind the engine would not take");

m_psf::ImageChoice image_choice(const TaskExtras& extras) {
    return {extras.kinds, extras.modern, extras.srcset_all};
}

RunSpec spec_from_row(const TaskTable& table, int row) {
    RunSpec spec = spec_from_task(table.rows[static_cast<std::size_t>(row)]);
    spec.images = image_choice(table.extras_of(row));
    return spec;
}

RunSummary traite_ligne_detail(const TaskTable& table, int numligne, RunMode mode,
                               m_psf::CrawlState& state, TransferControl& inet,
                               RunObserver& observer, std::stop_token stop,
                               std::chrono::seconds max_time, const m_psf::StoredLookup& stored) {
    RunSpec spec = spec_from_row(table, numligne);
    spec.max_time = max_time;
    return run_retrieval(spec, mode, state, inet, observer, stop, stored);
}

void stamp(Task& task, const LocalTime& when) {
    task[LastRunDate] = format_date(when);
    task[LastRunTime] = format_time(when);
}

bool settle_future_stamps(TaskTable& table, const LocalTime& now) {
    bool changed = false;
    for (int row = 1; row <= table.TaskCount; ++row) {
        Task& task = table.rows[static_cast<std::size_t>(row)];
        if (const auto last = last_run(task, now); last && last->ahead) {
            stamp(task, now);
            changed = true;
        }
    }
    return changed;
}

std::vector<int> due_rows(const TaskTable& table, const LocalTime& now) {
    std::vector<int> due;
    for (int row = 1; row <= table.TaskCount; ++row)
        if (is_due(table.rows[static_cast<std::size_t>(row)], now)) due.push_back(row);
    return due;
}

std::vector<int> TaskStamps::begin_pass(const LocalTime& now) {
    if (settle_future_stamps(table_, now)) unsaved_ = true;
    return due_rows(table_, now);
}

void TaskStamps::run_ended(int row, bool cancelled, const LocalTime& end) {
    if (cancelled || row < 1 || row > table_.TaskCount) return;
    stamp(table_.rows[static_cast<std::size_t>(row)], end);
    unsaved_ = true;
}

PassResult run_in_turn(
    std::size_t count, const Clock& clock, const std::function<RunSummary(std::size_t k)>& run,
    const std::function<void(std::size_t k, const RunSummary&, const LocalTime& end)>& ended,
    std::stop_token stop) {
    PassResult result;
    for (std::size_t k = 0; k < count; ++k) {
        if (stop.stop_requested()) {
            result.cancelled = true;
            break;
        }
        const RunSummary summary = run(k);
        ended(k, summary, clock.now());
        if (summary.timed_out) continue;  // not stamped; the next due task has its own time
        if (summary.cancelled) {
            result.cancelled = true;
            break;
        }
        ++result.ran;
    }
    return result;
}

PassResult traite_ligne(TaskTable& table, const Clock& clock,
                        const std::function<RunSummary(int row)>& run,
                        const std::function<void()>& save, std::stop_token stop) {
    TaskStamps stamps(table);
    const std::vector<int> rows = stamps.begin_pass(clock.now());
    PassResult result = run_in_turn(
        rows.size(), clock, [&](std::size_t k) { return run(rows[k]); },
        [&](std::size_t k, const RunSummary& summary, const LocalTime& end) {
            stamps.run_ended(rows[k], summary.cancelled, end);
        },
        stop);
    if (stamps.take_unsaved()) {
        save();
        result.saved = true;
    }
    return result;
}

}  // namespace psf
