#include "cli/console.h"

#include <unistd.h>

#include <charconv>

namespace psf::cli {

bool take_verbosity(std::vector<std::string>& words, Verbosity& level) {
    bool verbose = false, quiet = false;
    std::vector<std::string> rest;
    for (auto& w : words) {
        if (w == "-v" || w == "--verbose")
            verbose = true;
        else if (w == "-q" || w == "--quiet")
            quiet = true;
        else
            rest.push_back(std::move(w));
    }
    words = std::move(rest);
    level = verbose ? Verbosity::Verbose : quiet ? Verbosity::Quiet : Verbosity::Normal;
    return !(verbose && quiet);
}

std::optional<long long> whole_number(std::string_view text, long long low, long long high) {
    long long n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high) return {};
    return n;
}

Result<std::chrono::seconds> take_max_time(std::vector<std::string>& words) {
    std::chrono::seconds limit = DefaultMaxTime;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] != "--max-time") {
            rest.push_back(std::move(words[i]));
            continue;
        }
        const auto n =
            whole_number(i + 1 < words.size() ? words[++i] : "", 1, LongestMaxTime.count());
        if (!n)
            return Error{"--max-time takes a whole number of seconds from 1 to " +
                         std::to_string(LongestMaxTime.count()) + " (30 days)"};
        limit = std::chrono::seconds(*n);
    }
    words = std::move(rest);
    return limit;
}

ConsoleObserver::ConsoleObserver(Verbosity level, bool tasks)
    : level_(level),
      tasks_(tasks),
      live_(level == Verbosity::Normal && ::isatty(STDOUT_FILENO) == 1) {}

void ConsoleObserver::set_caption(const std::string& caption) {
    if (level_ == Verbosity::Verbose && !caption.empty())
        std::cout << caption << '\n' << std::flush;
}

void ConsoleObserver::progress(const RunProgress& p) {
    if (!live_) return;
    // "\r" and erase-to-end-of-line: the line is redrawn in place.
    std::cout << '\r' << (task_.empty() ? "" : task_ + ": ")
              << (p.downloading ? "copying images: " : "reading pages: ")
              << page_count_text(p.pages_read) << ", " << image_count_text(p.images_copied)
              << "\x1b[K" << std::flush;
    drawn_ = true;
}

void ConsoleObserver::clear_line() {
    if (drawn_) std::cout << "\r\x1b[K" << std::flush;
    drawn_ = false;
}

void ConsoleObserver::warn(const std::string& line) {
    clear_line();
    complain("warning: " + line);
}

int ConsoleObserver::report(const RunSummary& s, const std::string& title) {
    clear_line();
    const std::string prefix = title.empty() ? "" : title + ": ";
    if (level_ == Verbosity::Verbose)
        for (const auto& [address, cause] : s.failures)
            complain(prefix + "failed: " + address + ": " + cause);
    if (level_ == Verbosity::Verbose)
        for (const std::string& line : too_long_texts(s)) complain(prefix + line);
    if (!s.start_failure.empty()) complain(prefix + start_failure_text(s));
    if (!s.destination_failure.empty()) complain(prefix + destination_failure_text(s));
    for (const std::string& line : given_up_texts(s)) complain(prefix + line);
    if (level_ != Verbosity::Quiet) {
        if (const std::string full = lists_full_text(s); !full.empty()) complain(prefix + full);
        if (const std::string dropped = too_long_text(s); !dropped.empty())
            complain(prefix + dropped);
        std::cout << prefix << summary_text(s) << '\n' << std::flush;
    }
    if (s.timed_out) {
        complain(prefix + time_limit_text(s) +
                 (tasks_ ? "; the task keeps its last-run time" : ""));
        return ExitTimeLimit;
    }
    if (s.out_of_memory) {
        complain(prefix + out_of_memory_text(s));
        return ExitOutOfMemory;
    }
    if (!s.destination_failure.empty()) return ExitFolder;
    return s.start_failure.empty() ? ExitDone : ExitStartPage;
}

SignalStopper::SignalStopper() {
    if (!signals_.ready()) {
        complain("warning: " + signals_.ready().error().text);
        return;
    }
    watcher_ = std::thread([this] {
        for (;;) {
            const EndSignals::Heard heard = signals_.wait();
            if (heard.signal) source_.request_stop();
            if (heard.woken) return;
        }
    });
}

SignalStopper::~SignalStopper() {
    if (!watcher_.joinable()) return;
    signals_.wake();
    watcher_.join();
}

}  // namespace psf::cli
