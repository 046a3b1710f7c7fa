#include "scheduler/run_record.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/text.h"

namespace psf {

namespace {

const char* name_of(StartedBy by) {
    switch (by) {
        case StartedBy::Timer:
            return "timer";
        case StartedBy::RetrieveNow:
            return "now";
        case StartedBy::Run:
            return "run";
        case StartedBy::Due:
            return "due";
        case StartedBy::Crawl:
            break;
    }
    return "crawl";
}

std::string moment(const Clock& clock) {
    const LocalTime t = clock.now();
    return format_date(t) + " " + format_time(t);
}

}  // namespace

std::string counts_text(const RunRecord& r) {
    RunSummary s;
    s.pages_read = r.pages_read;
    s.images_found = r.images_found;
    s.images_copied = r.copied;
    s.images_present = r.present;
    s.images_unchanged = r.unchanged;
    s.images_failed = r.failed;
    s.policy = r.policy;
    return summary_text(s);
}

RunRecorder::RunRecorder(std::string DataFolder, std::function<void(const std::string&)> warn,
                         int keep)
    : folder_(std::move(DataFolder)), warn_(std::move(warn)), keep_(keep) {
    const char* setting = std::getenv(HistoryVariable);
    off_ = setting != nullptr && std::string(setting) == "off";
}

RunRecorder::~RunRecorder() = default;

void RunRecorder::say_problem() {
    if (warned_ || !history_ || history_->problem().empty()) return;
    warned_ = true;
    if (warn_) warn_(history_->problem() + (history_->usable() ? "" : "; runs go on without it"));
}

RunSummary RunRecorder::record(const RunSpec& spec, StartedBy by, const Clock& clock,
                               const Run& run) {
    last_id_ = 0;
    if (off_) return run({});
    // A history that failed the last run (locked, say) is tried again.
    if (!history_ || !history_->usable())
        history_ = std::make_unique<History>(folder_, History::Mode::Write, keep_);
    RunRecord r;
    r.start_address = std::string(trim_blanks(spec.start_address));
    r.task = spec.title.empty() ? r.start_address : std::string(trim_blanks(spec.title));
    r.started_by = name_of(by);
    r.started = moment(clock);
    r.id = history_->begin_run(r);
    say_problem();

    const auto began = std::chrono::steady_clock::now();
    RunSummary s = run([this](const std::string& file) -> std::optional<m_psf::WrittenImage> {
        const auto image = history_->last_written(file);
        if (!image) return std::nullopt;
        return m_psf::WrittenImage{
            image->address, image->file,
            static_cast<std::uint64_t>(std::max<std::int64_t>(0, image->size)),
            image->last_modified, image->etag};
    });
    r.ended = moment(clock);
    r.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - began)
                        .count();
    r.outcome = s.timed_out                      ? Outcome::TimeLimit
                : s.cancelled                    ? Outcome::Interrupted
                : s.out_of_memory                ? Outcome::OutOfMemory
                : !s.start_failure.empty()       ? Outcome::StartFailed
                : !s.destination_failure.empty() ? Outcome::DestinationFailed
                                                 : Outcome::Done;
    r.cause = r.outcome == Outcome::DestinationFailed ? s.destination_failure : s.start_failure;
    r.pages_read = s.pages_read;
    r.images_found = s.images_found;
    r.copied = s.images_copied;
    r.present = s.images_present;
    r.unchanged = s.images_unchanged;
    r.policy = spec.policy;
    r.failed = s.images_failed;
    r.bytes_received = static_cast<std::int64_t>(s.bytes_received);
    if (r.id != 0) {
        std::vector<ImageRecord> images;
        images.reserve(s.written.size());
        for (const m_psf::WrittenImage& w : s.written)
            images.push_back(
                {w.address, w.file, static_cast<std::int64_t>(w.size), w.last_modified, w.etag});
        if (history_->end_run(r, images)) last_id_ = r.id;
        say_problem();
    }
    return s;
}

}  // namespace psf
