#include "scheduler/task_pass.h"

#include <vector>

namespace psf {

RunSpec spec_from_task(const Task& task) {
    RunSpec spec;
    spec.title = std::string(m_psf::trim_blanks(task[Title]));
    spec.start_address = std::string(m_psf::trim_blanks(task[StartAddress]));
    spec.link_depth = read_number(task[LinkDepth]);
    if (!task[UserName].empty() && !task[Password].empty()) {
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

void stamp(Task& task, const LocalTime& when) {
    task[LastRunDate] = format_date(when);
    task[LastRunTime] = format_time(when);
}

PassResult traite_ligne(TaskTable& table, const Clock& clock,
                        const std::function<RunSummary(int row)>& run,
                        const std::function<void()>& save) {
    PassResult result;
    const LocalTime now = clock.now();
    std::vector<int> due;
    for (int row = 1; row <= table.TaskCount; ++row)
        if (est_due(table.rows[static_cast<std::size_t>(row)], now)) due.push_back(row);
    for (int row : due) {
        const RunSummary summary = run(row);
        if (summary.cancelled) {
            result.cancelled = true;
            break;
        }
        stamp(table.rows[static_cast<std::size_t>(row)], clock.now());
        ++result.ran;
    }
    if (result.ran > 0) save();
    return result;
}

}  // namespace psf
