// One retrieval run: the crawl passes level by level, then the download of
// every listed image once, with what the run shows reported to an observer.
#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "engine/m_psf.h"
#include "platform/result.h"
#include "platform/transfer.h"

namespace psf {

enum class LabelColour {
    Busy,  // light blue, red 128, green 128, blue 255
    Idle,  // the system's button face
};

// Where a run stands, whatever its mode shows on the label.
struct RunProgress {
    bool downloading = false;  // false while pages are read
    int pages_read = 0;
    int images_copied = 0;
};

// What a run shows; called at exactly the points where the status label
// changes or pending events are processed.
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    virtual void set_caption(const std::string& caption) = 0;
    virtual void set_colour(LabelColour colour) = 0;
    virtual void process_events() {}
    // After each page scan and each stored image, in both modes.
    virtual void progress(const RunProgress&) {}
};

// How long a run may take before it stops as a cancelled run does.
inline constexpr std::chrono::seconds DefaultMaxTime{2 * 60 * 60};

// The fields of a task as the run reads them.
struct RunSpec {
    std::string title{};
    std::string start_address{};
    int link_depth = 0;
    std::string user{};
    std::string password{};
    int policy = m_psf::KeepExisting;
    std::string destination{};
    int layout = m_psf::FlatLayout;
    m_psf::FilterTable include{};
    m_psf::FilterTable exclude{};
    m_psf::ImageChoice images{};  // a task's extra settings; the default is the described scan
    std::chrono::seconds max_time = DefaultMaxTime;
};

enum class RunMode { OnDemand = 0, Scheduled = 1 };

struct RunSummary {
    std::string start_address;
    int pages_read = 0;    // pages whose body was read and scanned (a 2xx answer of a page type)
    int images_found = 0;  // distinct images
    int images_copied = 0;
    int images_present = 0;    // kept by the policy
    int images_unchanged = 0;  // the copy present was still the server's
    int images_failed = 0;
    int policy = m_psf::KeepExisting;  // the summary names what it may count
    // Why the start page could not be fetched (a transport failure or a
    // status of 400 or above); empty when it was.
    std::string start_failure;
    std::string start_failed_at;  // where it failed, when a redirect led elsewhere
    std::string destination;      // the folder the images go to
    // Why the destination took nothing: "cannot be created: CAUSE" (no fetch
    // was made), or "cannot be written: CAUSE" when it refused every image
    // that failed and none was written; "is full: CAUSE" when it had no room
    // left, which stopped the downloads; empty otherwise.
    std::string destination_failure;
    bool destination_full = false;  // no room left: the downloads stopped there
    int images_left = 0;            // not fetched then
    // Pages and images that could not be fetched or stored, with the cause.
    std::vector<std::pair<std::string, std::string>> failures;
    bool pages_full = false;  // the lists reached their limit: later entries were dropped
    bool images_full = false;
    bool cancelled = false;  // a cancelled run is not stamped
    bool timed_out = false;  // cancelled because the run reached its time limit
    // Memory ran out: the run ended there, with what it had copied (it
    // counts as run, as one whose fetches all failed does).
    bool out_of_memory = false;
    std::chrono::seconds max_time{0};
    // Hosts given up after failing fetch after fetch ("scheme://host:port").
    std::vector<std::string> given_up;
    // Hosts given up unheard once the run had spent its time on hosts that do
    // not answer.
    std::vector<std::string> given_up_unheard;
    // Values longer than an address may be, dropped: how many, and the first
    // few (page, the value's beginning).
    int too_long = 0;
    std::vector<std::pair<std::string, std::string>> too_long_named;
    std::uint64_t bytes_received = 0;  // body bytes of every response, pages and images
    std::vector<m_psf::WrittenImage> written;
};

// "12 pages read, 40 images found, 31 copied, 6 already present, 3 failed";
// under "replace" and "create a new version" "…, 3 copied, 35 unchanged, 2
// failed", with the images already present too when there are any.
std::string summary_text(const RunSummary& s);
// "the start page ADDRESS could not be fetched: CAUSE", naming where it
// failed after a redirect; or empty.
std::string start_failure_text(const RunSummary& s);
// "the destination DEST cannot be written: CAUSE; no image was written (30
// failed)", "the destination DEST is full: CAUSE; the downloads stopped, 33
// images not fetched", or empty.
std::string destination_failure_text(const RunSummary& s);
// "2 values longer than 8192 bytes were dropped", or empty.
std::string too_long_text(const RunSummary& s);
// "dropped a value longer than 8192 bytes on PAGE: BEGINNING…", one per value named.
std::vector<std::string> too_long_texts(const RunSummary& s);
// One sentence for each full list, or empty.
std::string lists_full_text(const RunSummary& s);
// "the run stopped after its time limit of 2 h", or empty.
std::string time_limit_text(const RunSummary& s);
// "the run ran out of memory and ended early, after 3 images copied", or empty.
std::string out_of_memory_text(const RunSummary& s);
// "host http://h:80 given up after failing fetch after fetch; …", one per
// host; the hosts given up unheard likewise, the first few by name.
std::vector<std::string> given_up_texts(const RunSummary& s);
// What the status label shows once such a run has ended, or empty.
std::string end_note(const RunSummary& s);

// "1 page read", "2 pages read", "0 pages read".
std::string page_count_text(int n);
// "1 image copied", "2 images copied".
std::string image_count_text(int n);

// Creates the destination folder with its missing parents, as a crawl does;
// fails with the cause when it cannot be. A folder that is not absolute is
// left alone: no image is ever written relative to the current one.
Result<void> make_destination(const std::string& folder);

// `stored` tells what earlier runs wrote, for asking whether it changed.
RunSummary run_retrieval(const RunSpec& spec, RunMode mode, m_psf::CrawlState& state,
                         TransferControl& inet, RunObserver& observer, std::stop_token stop = {},
                         const m_psf::StoredLookup& stored = {});

}  // namespace psf
