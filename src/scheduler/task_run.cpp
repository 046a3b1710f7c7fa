#include "scheduler/task_run.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/text.h"

namespace psf {

std::string page_count_text(int n) {
    return std::to_string(n) + (n == 1 ? " page read" : " pages read");
}

std::string image_count_text(int n) {
    return std::to_string(n) + (n <= 1 ? " image copied" : " images copied");
}

std::string summary_text(const RunSummary& s) {
    const bool keeps = s.policy == m_psf::KeepExisting;
    return std::to_string(s.pages_read) + (s.pages_read == 1 ? " page read, " : " pages read, ") +
           std::to_string(s.images_found) +
           (s.images_found == 1 ? " image found, " : " images found, ") +
           std::to_string(s.images_copied) + " copied, " +
           (!keeps || s.images_unchanged > 0 ? std::to_string(s.images_unchanged) + " unchanged, "
                                             : "") +
           (keeps || s.images_present > 0 ? std::to_string(s.images_present) + " already present, "
                                          : "") +
           std::to_string(s.images_failed) + " failed";
}

std::string start_failure_text(const RunSummary& s) {
    if (s.start_failure.empty()) return {};
    const std::string redirected =
        s.start_failed_at.empty() ? "" : ", redirected to " + s.start_failed_at + ",";
    return "the start page " + s.start_address + redirected +
           " could not be fetched: " + s.start_failure;
}

std::string destination_failure_text(const RunSummary& s) {
    if (s.destination_failure.empty()) return {};
    const std::string after =
        s.images_left > 0 ? "; the downloads stopped, " + std::to_string(s.images_left) +
                                (s.images_left == 1 ? " image" : " images") + " not fetched"
        : s.images_failed > 0 && s.images_copied == 0
            ? "; no image was written (" + std::to_string(s.images_failed) + " failed)"
            : "";
    return "the destination " + s.destination + " " + s.destination_failure + after;
}

std::string too_long_text(const RunSummary& s) {
    if (s.too_long == 0) return {};
    return std::to_string(s.too_long) + (s.too_long == 1 ? " value" : " values") + " longer than " +
           std::to_string(MaxAddressLength) + " bytes " + (s.too_long == 1 ? "was" : "were") +
           " dropped";
}

std::vector<std::string> too_long_texts(const RunSummary& s) {
    std::vector<std::string> out;
    for (const auto& [page, value] : s.too_long_named)
        out.push_back("dropped a value longer than " + std::to_string(MaxAddressLength) +
                      " bytes on " + page + ": " + value + "…");
    return out;
}

std::string lists_full_text(const RunSummary& s) {
    const std::string limit = std::to_string(m_psf::ListLimit);
    std::string text;
    if (s.pages_full) text = "the page list is full (" + limit + "): later pages were not read";
    if (s.images_full)
        text += (text.empty() ? "" : "; ") + std::string("the image list is full (") + limit +
                "): later images were not taken";
    return text;
}

namespace {

std::string duration_text(std::chrono::seconds d) {
    const auto n = d.count();
    if (n % 3600 == 0) return std::to_string(n / 3600) + " h";
    if (n % 60 == 0) return std::to_string(n / 60) + " min";
    return std::to_string(n) + " s";
}

// Asks the run to stop once its time is up; ends when the run does.
class Deadline {
  public:
    Deadline(std::chrono::seconds limit, std::stop_token outer)
        : forward_(outer, Stop{source_}), timer_([this, limit](std::stop_token ended) {
              std::mutex m;
              std::condition_variable_any cv;
              std::unique_lock lock(m);
              if (!cv.wait_for(lock, ended, limit, [] { return false; }) &&
                  !ended.stop_requested()) {
                  reached_ = true;
                  source_.request_stop();
              }
          }) {}
    std::stop_token token() const { return source_.get_token(); }
    bool reached() const { return reached_; }

  private:
    struct Stop {
        std::stop_source& source;
        void operator()() const noexcept { source.request_stop(); }
    };
    std::stop_source source_;
    std::atomic<bool> reached_{false};
    std::stop_callback<Stop> forward_;
    std::jthread timer_;
};

}  // namespace

std::string time_limit_text(const RunSummary& s) {
    if (!s.timed_out) return {};
    return "the run stopped after its time limit of " + duration_text(s.max_time);
}

std::string out_of_memory_text(const RunSummary& s) {
    if (!s.out_of_memory) return {};
    return "the run ran out of memory and ended early, after " + std::to_string(s.images_copied) +
           (s.images_copied == 1 ? " image copied" : " images copied");
}

std::vector<std::string> given_up_texts(const RunSummary& s) {
    std::vector<std::string> out;
    for (const std::string& host : s.given_up)
        out.push_back("host " + host +
                      " given up after failing fetch after fetch; its later fetches were not made");
    // A page may name thousands of them: the rest in one line.
    constexpr std::size_t named = 10;
    const std::vector<std::string>& unheard = s.given_up_unheard;
    for (std::size_t i = 0; i < std::min(unheard.size(), named); ++i)
        out.push_back("host " + unheard[i] +
                      " given up unheard once the run had spent its time on hosts that do not "
                      "answer; its later fetches were not made");
    if (unheard.size() > named)
        out.push_back(std::to_string(unheard.size() - named) +
                      " more hosts given up unheard the same way");
    return out;
}

std::string end_note(const RunSummary& s) {
    if (s.timed_out) return "Stopped: time limit of " + duration_text(s.max_time) + " reached";
    if (s.out_of_memory) return "Stopped: out of memory";
    if (!s.start_failure.empty()) return "Start page: " + s.start_failure;
    // The label's width takes no cause after this one.
    if (s.destination_full) return "Destination is full";
    if (!s.destination_failure.empty()) return "Destination " + s.destination_failure;
    if (!s.given_up.empty()) return "Given up: " + s.given_up.front();
    if (!s.given_up_unheard.empty()) return "Given up: " + s.given_up_unheard.front();
    if (s.images_full) return "Image list full";
    if (s.pages_full) return "Page list full";
    return {};
}

Result<void> make_destination(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') return {};
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!ec && std::filesystem::is_directory(folder, ec)) return {};
    return Error{ec ? ec.message() : "not a folder", ec.value()};
}

RunSummary run_retrieval(const RunSpec& spec, RunMode mode, m_psf::CrawlState& state,
                         TransferControl& inet, RunObserver& observer, std::stop_token outer,
                         const m_psf::StoredLookup& stored) {
    using namespace m_psf;
    const bool scheduled = mode == RunMode::Scheduled;
    const Deadline deadline(spec.max_time, outer);
    const std::stop_token stop = deadline.token();
    RunSummary summary;
    summary.max_time = spec.max_time;
    summary.policy = spec.policy;
    RunProgress progress;

    observer.set_colour(LabelColour::Busy);
    if (scheduled) {
        observer.set_caption("Récupère " + std::string(trim_blanks(spec.title)));
        observer.process_events();
    }

    inet.SetStopToken(stop);
    state.ImagesFound = 0;
    state.PagesFound = 1;
    state.PageList[1] = std::string(trim_blanks(spec.start_address));
    state.PagesRead = 0;
    state.Notes = {};
    summary.start_address = state.PageList[1];
    summary.destination = spec.destination;
    // Nothing is fetched for a folder that cannot even be made.
    const Result<void> writable = make_destination(spec.destination);
    if (!writable) summary.destination_failure = "cannot be created: " + writable.error().text;

    if (complete_credentials(spec.user, spec.password))
        inet.SetCredentials(spec.user, spec.password, state.PageList[1]);
    else
        inet.SetCredentials("", "", state.PageList[1]);

    DownloadTally tally;
    // Memory that runs out ends the run, never the program.
    try {
        // Pages found during a pass are scanned by the next one.
        for (int level = 1; writable && level <= spec.link_depth + 1 && !stop.stop_requested();
             ++level) {
            scan_level(
                inet, state, state.PagesRead + 1, state.PagesFound, spec.include, spec.exclude,
                [&](const Response& r) {
                    summary.bytes_received += r.received;
                    const std::string cause = stop.stop_requested() ? "" : cause_text(r);
                    const std::string& asked =
                        state.PageList[static_cast<std::size_t>(state.PagesRead)];
                    if (!cause.empty()) {
                        if (state.PagesRead == 1) {
                            summary.start_failure = cause;
                            if (r.redirected) summary.start_failed_at = r.final_url;
                        }
                        summary.failures.emplace_back(asked, cause);
                    }
                    // Only a page whose body was read and scanned counts.
                    if (r.ok && r.status >= 200 && r.status < 300 && !r.not_a_page)
                        ++summary.pages_read;
                    if (!scheduled) observer.set_caption(page_count_text(summary.pages_read));
                    progress.pages_read = summary.pages_read;
                    observer.progress(progress);
                    observer.process_events();
                },
                stop, spec.images);
        }

        summary.pages_full = state.PagesFound >= ListLimit;
        summary.images_full = state.ImagesFound >= ListLimit;
        progress.downloading = true;
        tally = download_images(
            inet, state.ImageList, state.ImagesFound, spec.destination, spec.policy, spec.layout,
            [&](int n) {
                if (!scheduled) observer.set_caption(image_count_text(n));
                progress.images_copied = n;
                observer.progress(progress);
                observer.process_events();
            },
            stop, spec.images, stored);
        summary.out_of_memory = tally.out_of_memory;
    } catch (const std::bad_alloc&) {
        // Ran out before the downloads, which say what they wrote themselves.
        inet.Discard();
        summary.out_of_memory = true;
        tally = {};
    }
    summary.images_found = state.ImagesFound;

    observer.set_colour(LabelColour::Idle);
    if (scheduled) {
        observer.set_caption("");
        observer.process_events();
    }

    summary.too_long = state.Notes.too_long;
    summary.too_long_named = state.Notes.too_long_named;
    summary.images_copied = tally.copied;
    summary.images_present = tally.present;
    summary.images_unchanged = tally.unchanged;
    summary.images_failed = tally.failed;
    // Every image the run tried to write was refused: the destination's fault,
    // not the site's.
    summary.destination_full = tally.full_error != 0;
    if (summary.destination_full)
        summary.destination_failure =
            "is full: " + std::generic_category().message(tally.full_error);
    else if (tally.copied == 0 && tally.unwritten > 0 && tally.unwritten == tally.failed)
        summary.destination_failure =
            "cannot be written: " + std::generic_category().message(tally.unwritten_error);
    summary.images_left = tally.left;
    for (auto& f : tally.failures) summary.failures.push_back(std::move(f));
    summary.bytes_received += tally.received + state.Notes.style_sheet_bytes;
    summary.written = std::move(tally.written);
    summary.cancelled = stop.stop_requested();
    summary.timed_out = summary.cancelled && deadline.reached() && !outer.stop_requested();
    summary.given_up = inet.GivenUp();
    summary.given_up_unheard = inet.GivenUpUnheard();
    return summary;
}

}  // namespace psf
