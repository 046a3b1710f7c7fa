// picsifter-cli: the headless runner, for machines without a desktop and for
// cron or systemd timers.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stop_token>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/crawl_command.h"
#include "cli/secret.h"
#include "cli/task_commands.h"
#include "platform/curl_transfer.h"
#include "scheduler/run_record.h"
#include "scheduler/task_run.h"

namespace fs = std::filesystem;

using namespace psf::cli;

namespace {

int crawl(std::vector<std::string> words) {
    Verbosity level = Verbosity::Normal;
    if (!take_verbosity(words, level))
        return usage_error("--verbose and --quiet exclude each other");
    const psf::Result<std::chrono::seconds> max_time = take_max_time(words);
    if (!max_time) return usage_error(max_time.error().text);
    auto args = psf::cli::parse_crawl_args(words);
    if (!args) return usage_error(args.error().text);
    if (args->password.on_command_line)
        complain(
            "warning: --password can be read by every user of this machine while the run "
            "lasts; use --password-file FILE or " +
            std::string(PasswordVariable));
    if (!args->spec.user.empty())
        if (const psf::Result<void> given =
                obtain_password(args->spec.user, args->password, args->spec.password);
            !given)
            return usage_error(given.error().text);
    args->spec.max_time = *max_time;

    std::error_code ec;
    fs::path dest = fs::absolute(args->destination, ec);
    const psf::Result<void> made =
        ec ? psf::Result<void>(psf::Error{ec.message()}) : psf::make_destination(dest.string());
    if (!made) {
        std::cerr << "picsifter-cli: cannot use the folder " << args->destination << ": "
                  << made.error().text << "\n";
        return ExitFolder;
    }
    args->spec.destination = dest.lexically_normal().string();

    psf::cli::SignalStopper stopper;
    psf::CurlTransfer inet(psf::cli::transfer_limits(*args));
    psf::m_psf::CrawlState state;
    ConsoleObserver observer(level);
    // No lock: a crawl stores no task, and the history takes care of its own.
    psf::DataFolderStore folder;
    std::string why;
    if (find_data_folder(folder, &why) != ExitDone)
        observer.warn(why + "; the run is not recorded in the history of runs");
    psf::RunRecorder recorder(folder.path(), [&](const std::string& w) {
        if (!folder.path().empty()) observer.warn(w);
    });
    const psf::RunSummary s =
        recorder.record(args->spec, psf::StartedBy::Crawl, psf::SystemClock(),
                        [&](const psf::m_psf::StoredLookup& stored) {
                            return psf::run_retrieval(args->spec, psf::RunMode::OnDemand, state,
                                                      inet, observer, stopper.token(), stored);
                        });
    if (s.cancelled && !s.timed_out) {
        std::cerr << "picsifter-cli: interrupted; " << s.images_copied << " copied\n";
        return ExitInterrupted;
    }
    return observer.report(s);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed output (`| head`) ends the printing, never the run and its stamps.
    // Cannot fail: the signal exists and may be ignored.
    static_cast<void>(::signal(SIGPIPE, SIG_IGN));
    std::vector<std::string> words(argv + 1, argv + argc);
    hide_password_argument(argc, argv);
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
    if (command == "list") return list_command(words);
    if (command == "run") return run_command(words);
    if (command == "due") return due_command(words);
    if (command == "history") return history_command(words);
    return usage_error("unknown command " + command);
}
