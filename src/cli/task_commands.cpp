#include "cli/task_commands.h"

#include <iostream>
#include <map>

#include "cli/console.h"
#include "platform/app_data.h"
#include "platform/curl_transfer.h"
#include "platform/text.h"
#include "scheduler/run_record.h"
#include "scheduler/task_pass.h"
#include "store/history.h"

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

// The data folder and its tasks, for one command.
struct Store {
    DataFolderStore folder;
    TaskTable table;
};

int load(Store& store) {
    if (!store.folder.load(store.table)) {
        complain("cannot read the schedule file: " + store.folder.error());
        return ExitFolder;
    }
    for (const LoadWarning& w : store.folder.warnings())
        for (const std::string& line : w.lines) complain("warning: " + w.file + ": " + line);
    return ExitDone;
}

int save(const Store& store) {
    const Result<void> saved = store.folder.save(store.table);
    if (saved) return ExitDone;
    complain("cannot save the schedule file: " + saved.error().text);
    return ExitFolder;
}

// Takes the data folder for this command, or says who holds it. A history
// that SQLite may open costs no run, whatever else goes wrong with it.
int take_lock(DataFolderStore& folder) {
    const LockState state = folder.lock(RunnerLockHolder);
    const std::string pid =
        folder.holder_pid() ? " (pid " + std::to_string(folder.holder_pid()) + ")" : "";
    switch (state) {
        case LockState::Taken:
            return ExitDone;
        case LockState::HeldByWindow:
            complain("the data folder " + folder.path() + " is in use by the Picsifter window" +
                     pid);
            return ExitLocked;
        case LockState::HeldByRunner:
            complain("the data folder " + folder.path() + " is in use by another command-line run" +
                     pid);
            return ExitLocked;
        case LockState::Unusable:
            break;
    }
    complain("cannot use the data folder: " + folder.error());
    return ExitFolder;
}

// Finds the folder, takes its lock and loads the tasks.
int open_locked(Store& store) {
    if (int rc = find_data_folder(store.folder)) return rc;
    if (int rc = take_lock(store.folder)) return rc;
    return load(store);
}

}  // namespace

int find_data_folder(DataFolderStore& folder, std::string* why) {
    const std::string app_data = app_data_location();
    if (folder.find(app_data, program_folder())) return ExitDone;
    const std::string cause =
        "cannot use a data folder: " + folder.error() +
        (app_data.empty() ? " (no home folder is known: set HOME or XDG_DATA_HOME)" : "");
    why ? void(*why = cause) : complain(cause);
    return ExitFolder;
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
    if (int rc = find_data_folder(store.folder)) return rc;
    if (int rc = load(store)) return rc;
    // The last run of a task goes in a seventh column, after the sixth
    // (its extras, empty when it has none), so that both keep their place.
    History history(store.folder.path(), History::Mode::Read);
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
    const Result<std::chrono::seconds> limit = take_max_time(words);
    if (!limit) return usage_error(limit.error().text);
    const std::chrono::seconds max_time = *limit;
    if (words.size() != 1) return usage_error("run takes one task title");
    Store store;
    if (int rc = open_locked(store)) return rc;
    const int row = find_task(store.table, words[0]);
    if (row == 0) {
        complain("no task titled \"" + words[0] + "\"");
        return ExitNoTask;
    }

    SignalStopper stopper;
    CurlTransfer inet;
    m_psf::CrawlState state;
    ConsoleObserver observer(level, true);
    RunRecorder recorder(store.folder.path(), [&](const std::string& w) { observer.warn(w); });
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
    const Result<std::chrono::seconds> limit = take_max_time(words);
    if (!limit) return usage_error(limit.error().text);
    const std::chrono::seconds max_time = *limit;
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
    if (int rc = open_locked(store)) return rc;

    SignalStopper stopper;
    CurlTransfer inet;
    m_psf::CrawlState state;
    ConsoleObserver observer(level, true);
    SystemClock system_clock;
    std::optional<FixedClock> fixed;
    if (at) fixed.emplace(*at);
    const Clock& clock = fixed ? static_cast<const Clock&>(*fixed) : system_clock;
    RunRecorder recorder(store.folder.path(), [&](const std::string& w) { observer.warn(w); });

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
