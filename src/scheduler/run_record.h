// Every run's outcome kept in the history, for the window and the
// command-line runner alike: a run's start is recorded before it is made and
// its end after, so a run killed meanwhile still shows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "scheduler/clock.h"
#include "scheduler/task_run.h"
#include "store/history.h"

namespace psf {

// How a run was started, as the history names it.
enum class StartedBy { Timer, RetrieveNow, Run, Due, Crawl };

// Set to "off", no run is recorded.
inline constexpr const char* HistoryVariable = "PICSIFTER_HISTORY";

// The counts of a recorded run, as its summary line said them.
std::string counts_text(const RunRecord& r);

class RunRecorder {
  public:
    // The history of `DataFolder`, opened with the first run. `warn` gets the
    // first problem the history meets, once, as one sentence; the runs go on
    // without it.
    RunRecorder(std::string DataFolder, std::function<void(const std::string&)> warn,
                int keep = HistoryRuns);
    ~RunRecorder();
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Records the start of a run of `spec` at the clock's time, makes it with
    // `run`, handing it what the history knows of the files earlier runs
    // wrote, then records its end and the images it wrote.
    using Run = std::function<RunSummary(const m_psf::StoredLookup& stored)>;
    RunSummary record(const RunSpec& spec, StartedBy by, const Clock& clock, const Run& run);
    // The history's number of the last run recorded; 0 when it was not.
    std::int64_t last_id() const { return last_id_; }

  private:
    void say_problem();

    std::string folder_;
    std::function<void(const std::string&)> warn_;
    int keep_;
    bool off_;
    std::unique_ptr<History> history_;
    bool warned_ = false;
    std::int64_t last_id_ = 0;
};

}  // namespace psf
