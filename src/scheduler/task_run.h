// One retrieval run: the crawl passes level by level, then the download of
// every listed image once, with what the run shows reported to an observer.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

#include "engine/m_psf.h"
#include "platform/transfer.h"

namespace psf {

enum class LabelColour {
    Busy,  // light blue, red 128, green 128, blue 255
    Idle,  // the system's button face
};

// What a run shows; called at exactly the points where the status label
// changes or pending events are processed.
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    virtual void set_caption(const std::string& caption) = 0;
    virtual void set_colour(LabelColour colour) = 0;
    virtual void process_events() {}
};

// The fields of a task as the run reads them.
struct RunSpec {
    std::string title;
    std::string start_address;
    int link_depth = 0;
    std::string user;
    std::string password;
    int policy = 1;
    std::string destination;
    int layout = 1;
    m_psf::FilterTable include{};
    m_psf::FilterTable exclude{};
};

enum class RunMode { OnDemand = 0, Scheduled = 1 };

struct RunSummary {
    int pages_read = 0;
    int images_found = 0;
    int images_copied = 0;
    bool cancelled = false;  // a cancelled run is not stamped
};

// "1 page read", "2 pages read".
std::string page_count_text(int n);
// "1 image copied", "2 images copied".
std::string image_count_text(int n);

RunSummary run_retrieval(const RunSpec& spec, RunMode mode, m_psf::CrawlState& state,
                         TransferControl& inet, RunObserver& observer, std::stop_token stop = {});

}  // namespace psf
