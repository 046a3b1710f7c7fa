// picsifter-cli: the headless runner, for machines without a desktop and for
// cron or systemd timers.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "cli/crawl_command.h"
#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"

namespace fs = std::filesystem;

namespace {

constexpr int ExitDone = 0;
constexpr int ExitUsage = 1;
constexpr int ExitFolder = 4;
constexpr int ExitInterrupted = 130;

const char* const Usage =
    "usage: picsifter-cli crawl URL [--depth N] [--dest DIR] [--tree]\n"
    "                     [--policy keep|replace|version] [--include NAME.TYPE]...\n"
    "                     [--exclude NAME.TYPE]... [--user U --password P]\n"
    "                     [--connections N]\n"
    "       picsifter-cli --help | --version\n";

int usage_error(const std::string& message) {
    std::cerr << "picsifter-cli: " << message << "\n" << Usage;
    return ExitUsage;
}

// Prints each caption the status label would show, one per line.
class PrintingObserver final : public psf::RunObserver {
  public:
    void set_caption(const std::string& caption) override {
        if (!caption.empty()) std::cout << caption << '\n' << std::flush;
    }
    void set_colour(psf::LabelColour) override {}
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

std::string plural(int n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
}

int crawl(const std::vector<std::string>& words) {
    std::string error;
    auto args = psf::cli::parse_crawl_args(words, error);
    if (!args) return usage_error(error);

    std::error_code ec;
    fs::path dest = fs::absolute(args->destination, ec);
    if (!ec) fs::create_directories(dest, ec);
    if (ec || !fs::is_directory(dest)) {
        std::cerr << "picsifter-cli: cannot use the folder " << args->destination << ": "
                  << (ec ? ec.message() : "not a folder") << "\n";
        return ExitFolder;
    }
    args->spec.destination = dest.lexically_normal().string();

    SignalStopper stopper;
    psf::CurlTransfer inet(psf::cli::transfer_limits(*args));
    psf::m_psf::CrawlState state;
    PrintingObserver observer;
    const psf::RunSummary s = psf::run_retrieval(args->spec, psf::RunMode::OnDemand, state, inet,
                                                 observer, stopper.token());
    if (s.cancelled) {
        std::cerr << "picsifter-cli: interrupted; " << s.images_copied << " copied\n";
        return ExitInterrupted;
    }
    std::cout << plural(s.pages_read, " page read, ", " pages read, ")
              << plural(s.images_found, " image found, ", " images found, ")
              << plural(s.images_copied, " image copied", " images copied") << "\n";
    return ExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) return usage_error("a command is needed");
    const std::string command = words.front();
    words.erase(words.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << Usage;
        return ExitDone;
    }
    if (command == "--version") {
        std::cout << "picsifter-cli " PICSIFTER_VERSION "\n";
        return ExitDone;
    }
    if (command == "crawl") return crawl(words);
    return usage_error("unknown command " + command);
}
