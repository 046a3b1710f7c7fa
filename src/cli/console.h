// What the runner prints while a run goes, and how a signal stops it.
#pragma once

#include <chrono>
#include <iostream>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/end_signals.h"
#include "platform/result.h"
#include "scheduler/task_run.h"

namespace psf::cli {

inline constexpr int ExitDone = 0;
inline constexpr int ExitUsage = 1;
inline constexpr int ExitNoTask = 2;
inline constexpr int ExitLocked = 3;
inline constexpr int ExitFolder = 4;
inline constexpr int ExitStartPage = 5;
inline constexpr int ExitTimeLimit = 6;
inline constexpr int ExitOutOfMemory = 7;
inline constexpr int ExitInterrupted = 130;

inline constexpr const char* Usage =
    "usage: picsifter-cli list\n"
    "       picsifter-cli run TITLE [-v|--verbose|-q|--quiet] [--max-time SECONDS]\n"
    "       picsifter-cli due [--at \"YYYY/MM/DD HH:NN\"] [-v|--verbose|-q|--quiet]\n"
    "                     [--max-time SECONDS]\n"
    "       picsifter-cli crawl URL [-v|--verbose|-q|--quiet] [--max-time SECONDS]\n"
    "                     [--depth N] [--dest DIR] [--tree]\n"
    "                     [--policy keep|replace|version] [--include NAME.TYPE]...\n"
    "                     [--exclude NAME.TYPE]... [--user U [--password-file FILE]]\n"
    "                     [--connections N] [--host-connections N] [--streams N]\n"
    "                     [--cacert FILE] [--types KIND,...]\n"
    "                     [--modern [--srcset all|largest]]\n"
    "       picsifter-cli history [TITLE] [--limit N] [--json]\n"
    "       picsifter-cli history --run ID [--json]\n"
    "       picsifter-cli --help | --version\n";

// One clear line on standard error.
inline void complain(const std::string& message) {
    std::cerr << "picsifter-cli: " << message << "\n";
}

inline int usage_error(const std::string& message) {
    complain(message);
    std::cerr << Usage;
    return ExitUsage;
}

enum class Verbosity { Quiet, Normal, Verbose };

// Takes -v/--verbose and -q/--quiet out of `words`; false when both are given.
bool take_verbosity(std::vector<std::string>& words, Verbosity& level);

// The longest time limit a run takes: far beyond any run, well within the
// clock arithmetic of its deadline.
inline constexpr std::chrono::seconds LongestMaxTime{30 * 24 * 60 * 60};

// The whole number `text` is, all of it, when it lies from `low` to `high`.
std::optional<long long> whole_number(std::string_view text, long long low, long long high);

// Takes --max-time SECONDS out of `words`: each run's time limit, 2 h
// without it; fails when its value is not a whole number of seconds from 1
// to LongestMaxTime.
Result<std::chrono::seconds> take_max_time(std::vector<std::string>& words);

// What the runner prints while a run goes: with --verbose each caption the
// status label would show, one per line; on a terminal otherwise one progress
// line rewritten in place; nothing else.
class ConsoleObserver final : public RunObserver {
  public:
    // `tasks`: the runs are of stored tasks, which a time limit leaves unstamped.
    explicit ConsoleObserver(Verbosity level, bool tasks = false);
    void set_caption(const std::string& caption) override;
    void set_colour(LabelColour) override {}
    void progress(const RunProgress& p) override;
    // Names the task on the progress line (due runs several).
    void set_task(std::string title) { task_ = std::move(title); }

    // Ends the progress line, then says what the run came to: failures with
    // --verbose, a start page that could not be fetched, a destination that
    // took nothing, full lists, and the summary line (after "TITLE: " when
    // `title` is given), the hosts given up, a time limit reached and memory
    // run out. Returns the exit status the run deserves: ExitTimeLimit,
    // ExitOutOfMemory, ExitFolder (the destination), ExitStartPage or ExitDone.
    int report(const RunSummary& s, const std::string& title = {});
    // A warning on standard error, the progress line ended first.
    void warn(const std::string& line);

  private:
    void clear_line();
    Verbosity level_;
    bool tasks_;
    bool live_;  // progress rewritten in place
    bool drawn_ = false;
    std::string task_;
};

// Turns SIGINT, SIGTERM and SIGHUP into a stop request for the run, heard
// on a thread of its own; without their pipe, it says so once and the
// signals keep their default action.
class SignalStopper {
  public:
    SignalStopper();
    ~SignalStopper();
    SignalStopper(const SignalStopper&) = delete;
    SignalStopper& operator=(const SignalStopper&) = delete;
    std::stop_token token() const { return source_.get_token(); }

  private:
    EndSignals signals_;
    std::stop_source source_;
    std::thread watcher_;
};

}  // namespace psf::cli
