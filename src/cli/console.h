// What the runner prints while a run goes, and how a signal stops it.
#pragma once

#include <signal.h>

#include <atomic>
#include <iostream>
#include <stop_token>
#include <string>
#include <thread>

#include "scheduler/task_run.h"

namespace psf::cli {

inline constexpr int ExitDone = 0;
inline constexpr int ExitUsage = 1;
inline constexpr int ExitNoTask = 2;
inline constexpr int ExitLocked = 3;
inline constexpr int ExitFolder = 4;
inline constexpr int ExitInterrupted = 130;

inline constexpr const char* Usage =
    "usage: picsifter-cli list\n"
    "       picsifter-cli run TITLE\n"
    "       picsifter-cli due [--at \"YYYY/MM/DD HH:NN\"]\n"
    "       picsifter-cli crawl URL [--depth N] [--dest DIR] [--tree]\n"
    "                     [--policy keep|replace|version] [--include NAME.TYPE]...\n"
    "                     [--exclude NAME.TYPE]... [--user U [--password-file FILE]]\n"
    "                     [--connections N]\n"
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

// Prints each caption the status label would show, one per line.
class PrintingObserver final : public RunObserver {
  public:
    void set_caption(const std::string& caption) override {
        if (!caption.empty()) std::cout << caption << '\n' << std::flush;
    }
    void set_colour(LabelColour) override {}
};

// Turns SIGINT, SIGTERM and SIGHUP into a stop request for the run.
class SignalStopper {
  public:
    SignalStopper() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        watcher_ = std::thread([this] {
            const timespec step{0, 100'000'000};
            while (!done_) {
                if (sigtimedwait(&set_, nullptr, &step) > 0) {
                    interrupted_ = true;
                    source_.request_stop();
                }
            }
        });
    }
    ~SignalStopper() {
        done_ = true;
        watcher_.join();
    }
    std::stop_token token() const { return source_.get_token(); }
    bool interrupted() const { return interrupted_; }

  private:
    sigset_t set_{};
    std::stop_source source_;
    std::atomic<bool> done_{false};
    std::atomic<bool> interrupted_{false};
    std::thread watcher_;
};

}  // namespace psf::cli
