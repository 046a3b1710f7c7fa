#include "cli/task_commands.h"

#include <iostream>
#include <map>
#include <memory>

#include "cli/console.h"
#include "platform/app_data.h"
#include "platform/curl_transfer.h"
#include "platform/text.h"
#include "scheduler/run_record.h"
#include "scheduler/task_pass.h"
#include "store/history.h"
#include "store/schedule_file.h"

namespace psf::cli {

namespace {

bool wants_help(const std::vector<std::string>& words) {
    for (const auto& w : words)
        if (w == "--help" || w == "-h") return true;
    return false;
}

// A task's extras as the crawl options that choose them, or empty.
std::string extras_text(const TaskExtras& extras) {
    std::string text;
    for (const std::string& kind : extras.kinds) text += (text.empty() ? "--types " : ",") + kind;
    if (extras.modern)
        text += std::string(text.empty() ? "" : " ") + "--modern --srcset " +
                (extras.srcset_all ? "all" : "largest");
    return text;
}

// The data folder, found exactly as the window finds it.
struct Store {
    std::string DataFolder;
    TaskTable table;
    std::string backup;  // where a damaged file's bytes go before its first rewrite
    std::string extras_backup;
};

// `saving`: the command may rewrite the file, so the warning names the backup.
int load(Store& store, bool saving) {
    LoadReport report;
    std::string error;
    if (!charge_planifs(store.DataFolder, store.table, report, error)) {
        complain("cannot read the schedule file: " + error);
        return ExitFolder;
    }
    if (!saving) {
        report.backup.clear();
        report.extras.backup.clear();
    }
    for (const std::string& line : load_warnings(report))
        complain("warning: " + store.DataFolder + ScheduleFileName + ": " + line);
    for (const std::string& line : extras_warnings(report.extras))
        complain("warning: " + store.DataFolder + ExtrasFileName + ": " + line);
    store.backup = report.backup;
    store.extras_backup = report.extras.backup;
    return ExitDone;
}

int save(const Store& store) {
    std::string error;
    if (sauve_planifs(store.DataFolder, store.table, error, store.backup, store.extras_backup))
        return ExitDone;
    complain("cannot save the schedule file: " + error);
    return ExitFolder;
}

// A file of the data folder that is not what it should be ends the command;
// `why` names it. A history that SQLite may open costs no run, whatever else
// goes wrong with it.
int refuse_if(const std::string& why) {
    if (why.empty()) return ExitDone;
    complain("cannot use the data folder: " + why);
    return ExitFolder;
}

// Takes the data folder for this command, or says who holds it.
int take_lock(const Store& store, std::unique_ptr<DataFolderLock>& lock) {
    lock = std::make_unique<DataFolderLock>(store.DataFolder, RunnerLockHolder);
    const std::string pid =
        lock->holder_pid() ? " (pid " + std::to_string(lock->holder_pid()) + ")" : "";
    switch (lock->state()) {
        case LockState::Taken:
            return ExitDone;
        case LockState::HeldByWindow:
            complain("the data folder " + store.DataFolder + " is in use by the Picsifter window" +
                     pid);
            return ExitLocked;
        case LockState::HeldByRunner:
            complain("the data folder " + store.DataFolder +
                     " is in use by another command-line run" + pid);
            return ExitLocked;
        case LockState::Unusable:
            break;
    }
    return refuse_if(lock->error());
}

// Finds the folder, takes its lock and loads the tasks.
int open_locked(Store& store, std::unique_ptr<DataFolderLock>& lock) {
    if (int rc = find_data_folder(store.DataFolder)) return rc;
    if (int rc = take_lock(store, lock)) return rc;
    return load(store, true);
}

}  // namespace

int find_data_folder(std::string& DataFolder, std::string* why) {
    const std::string app_data = app_data_location();
    const DataFolderChoice choice = compute_data_folder(app_data, program_folder());
    if (choice.DataFolder.empty()) {
        const std::string cause =
            "cannot use a data folder: " + choice.error +
            (app_data.empty() ? " (no home folder is known: set HOME or XDG_DATA_HOME)" : "");
        why ? void(*why = cause) : complain(cause);
        return ExitFolder;
    }
    DataFolder = choice.DataFolder;
    return ExitDone;
}

std::optional<LocalTime> parse_at(std::string_view text) {
    const auto space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    return parse_date_time(text.substr(0, space), text.substr(space + 1));
}

int list_command(const std::vector<std::string>& words) {
    if (wants_help(words)) {
        std::cout << Usage;
        return ExitDone;
    }
    if (!words.empty()) return usage_error("list takes no arguments");
    Store store;
    if (int rc = find_data_folder(store.DataFolder)) return rc;
    if (int rc = load(store, false)) return rc;
    // The last run of a task goes in a seventh column, after the sixth
    // (its extras, empty when it has none), so that both keep their place.
    History history(store.DataFolder, History::Mode::Read);
    std::map<std::string, std::string> last_run;
    for (const RunRecord& r : history.last_runs()) last_run[r.task] = last_run_text(r);
    if (!history.problem().empty()) complain("warning: " + history.problem());
    for (int row = 1; row <= store.table.TaskCount; ++row) {
        const auto cells = grid_cells(store.table.rows[static_cast<std::size_t>(row)]);
        for (std::size_t c = 0; c < cells.size(); ++c) std::cout << (c ? "\t" : "") << cells[c];
        const std::string extras = extras_text(store.table.extras_of(row));
        const auto run = last_run.find(std::string(trim_blanks(store.table.at(row, Title))));
        if (!extras.empty() || run != last_run.end()) std::cout << '\t' << extras;
        if (run != last_run.end()) std::cout << '\t' << run->second;
        std::cout << '\n';
    }
    return ExitDone;
}

int run_command(std::vector<std::string> words) {
    Verbosity level = Verbosity::Normal;
    if (!take_verbosity(words, level))
        return usage_error("--verbose and --quiet exclude each other");
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h")) {
        std::cout << Usage;
        return ExitDone;
    }
    std::chrono::seconds max_time = DefaultMaxTime;
    std::string error;
    if (!take_max_time(words, max_time, error)) return usage_error(error);
    if (words.size() != 1) return usage_error("run takes one task title");
    Store store;
    std::unique_ptr<DataFolderLock> lock;
    if (int rc = open_locked(store, lock)) return rc;
    const int row = find_task(store.table, words[0]);
    if (row == 0) {
        complain("no task titled \"" + words[0] + "\"");
        return ExitNoTask;
    }

    SignalStopper stopper;
    CurlTransfer inet;
    m_psf::CrawlState state;
    ConsoleObserver observer(level);
    RunRecorder recorder(store.DataFolder, [&](const std::string& w) { observer.warn(w); });
    const RunSummary summary = recorder.record(
        spec_from_row(store.table, row), StartedBy::Run, SystemClock(),
        [&](const m_psf::StoredLookup& stored) {
            return traite_ligne_detail(store.table, row, RunMode::OnDemand, state, inet, observer,
                                       stopper.token(), max_time, stored);
        });
    // A run whose start page failed still counts as run; one stopped at its
    // time limit does not.
    TaskStamps stamps(store.table);
    stamps.run_ended(row, summary.cancelled, SystemClock().now());
    if (summary.cancelled && !summary.timed_out) {
        complain("interrupted; the task keeps its last-run time");
        return ExitInterrupted;
    }
    const int status = observer.report(summary);
    if (stamps.take_unsaved())
        if (int rc = save(store)) return rc;
    return status;
}

int due_command(std::vector<std::string> words) {
    Verbosity level = Verbosity::Normal;
    if (!take_verbosity(words, level))
        return usage_error("--verbose and --quiet exclude each other");
    if (wants_help(words)) {
        std::cout << Usage;
        return ExitDone;
    }
    std::chrono::seconds max_time = DefaultMaxTime;
    std::string error;
    if (!take_max_time(words, max_time, error)) return usage_error(error);
    std::optional<LocalTime> at;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string value;
        if (words[i] == "--at" && i + 1 < words.size())
            value = words[++i];
        else if (words[i].rfind("--at=", 0) == 0)
            value = words[i].substr(5);
        else
            return usage_error("unknown argument " + words[i]);
        at = parse_at(value);
        if (!at) return usage_error("--at needs \"YYYY/MM/DD HH:NN\", not \"" + value + "\"");
    }

    Store store;
    std::unique_ptr<DataFolderLock> lock;
    if (int rc = open_locked(store, lock)) return rc;

    SignalStopper stopper;
    CurlTransfer inet;
    m_psf::CrawlState state;
    ConsoleObserver observer(level);
    SystemClock system_clock;
    std::optional<FixedClock> fixed;
    if (at) fixed.emplace(*at);
    const Clock& clock = fixed ? static_cast<const Clock&>(*fixed) : system_clock;
    RunRecorder recorder(store.DataFolder, [&](const std::string& w) { observer.warn(w); });

    int saved = ExitDone;
    // Every due task runs; a run stopped at its time limit makes it 6, else one
    // out of memory 7, else a destination that took nothing 4, else any dead
    // start page 5.
    int status = ExitDone;
    const auto rank = [](int rc) {
        return rc == ExitTimeLimit     ? 4
               : rc == ExitOutOfMemory ? 3
               : rc == ExitFolder      ? 2
               : rc == ExitStartPage   ? 1
                                       : 0;
    };
    const PassResult result = traite_ligne(
        store.table, clock,
        [&](int row) {
            const std::string title(trim_blanks(store.table.at(row, Title)));
            observer.set_task(title);
            RunSummary summary = recorder.record(
                spec_from_row(store.table, row), StartedBy::Due, clock,
                [&](const m_psf::StoredLookup& stored) {
                    return traite_ligne_detail(store.table, row, RunMode::Scheduled, state, inet,
                                               observer, stopper.token(), max_time, stored);
                });
            if (!summary.cancelled || summary.timed_out) {
                const int rc = observer.report(summary, title);
                if (rank(rc) > rank(status)) status = rc;
            }
            return summary;
        },
        [&] { saved = save(store); }, stopper.token());
    if (saved != ExitDone) return saved;
    if (result.cancelled) {
        complain("interrupted; the task that was running keeps its last-run time");
        return ExitInterrupted;
    }
    return status;
}

}  // namespace psf::cli
