// The history of runs: every run's outcome and the images it wrote, kept in
// the SQLite database "picsifter.db" beside the schedule file. The history
// never costs a run: whatever goes wrong with it ends its use and says so
// once, and the run goes on without it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace psf {

inline constexpr const char* HistoryFileName = "picsifter.db";
// The runs kept; the oldest beyond them go when a run starts.
inline constexpr int HistoryRuns = 10000;

enum class Outcome {
    Running,
    Done,
    StartFailed,
    TimeLimit,
    Interrupted,
    DestinationFailed,
    OutOfMemory
};

struct RunRecord {
    std::int64_t id = 0;
    std::string task;  // the task's title, or a crawl's start address
    std::string start_address;
    std::string started_by;  // "timer", "now" (Retrieve Now), "run", "due" or "crawl"
    std::string started;     // "YYYY/MM/DD HH:NN"
    std::string ended;       // the same; empty until the run ends
    std::int64_t duration_ms = 0;
    Outcome outcome = Outcome::Running;
    std::string cause;  // why the start page failed, or why the destination took nothing
    int pages_read = 0;
    int images_found = 0;
    int copied = 0;
    int present = 0;
    int failed = 0;
    std::int64_t bytes_received = 0;
    std::int64_t pid = 0;  // of the program that made the run
    int unchanged = 0;
    int policy = 1;  // the existing-image policy of the run
};

struct ImageRecord {
    std::string address;
    std::string file;
    std::int64_t size = 0;
    std::string last_modified;  // as the response sent them; empty when it sent none
    std::string etag;
};

// "done", "start page failed: connection refused", "destination cannot be
// written: Read-only file system", "time limit", "interrupted" (also a run
// whose program was killed), "running".
std::string outcome_text(const RunRecord& run);
// A task's last run in a few words: "2026/12/07 10:00 done, 3 copied, 1 failed".
std::string last_run_text(const RunRecord& run);

class History {
  public:
    // Write: the file is created when missing and an older one brought to the
    // current schema; a damaged one is moved aside as
    // "picsifter.db.damaged-YYYYMMDD-HHMMSS" and a new one started. Read: an
    // existing file as it is; none gives an empty history, and nothing is
    // ever written.
    enum class Mode { Write, Read };
    History(const std::string& DataFolder, Mode mode, int keep = HistoryRuns);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Why SQLite may not be handed the history's files in DataFolder (the
    // database or its journal is a FIFO, a folder…, which it would wait on or
    // misread), naming the file; empty when it may.
    static std::string unusable_files(const std::string& DataFolder);

    // False once a problem ended its use (or when there is no history to
    // read): every call then does nothing.
    bool usable() const { return db_ != nullptr; }
    // The first problem met, in one sentence; empty when none.
    const std::string& problem() const { return problem_; }

    // Makes room for the run (the oldest runs beyond `keep` - 1 go with their
    // images), then adds it, running: its id, or 0.
    std::int64_t begin_run(const RunRecord& run);
    // The end of run `run.id`: its outcome, counts and the images it wrote.
    bool end_run(const RunRecord& run, const std::vector<ImageRecord>& images);

    // Newest first; only those of `task` when it is given; at most `limit`
    // (0: all).
    std::vector<RunRecord> runs(const std::string& task = {}, int limit = 0);
    std::optional<RunRecord> run(std::int64_t id);
    // In the order they were written.
    std::vector<ImageRecord> images(std::int64_t run);
    // The newest run of each task, crawls left out.
    std::vector<RunRecord> last_runs();
    // The newest record of an image written to `file`: its validators, for
    // asking the server whether it changed before fetching it again.
    std::optional<ImageRecord> last_written(const std::string& file);

  private:
    bool open();
    bool exec(const char* sql, const char* doing);
    // True for a result that is no error; otherwise the problem is noted and
    // the history closed (a damaged file moved aside first).
    bool check(int rc, const char* doing);
    void close();
    std::vector<RunRecord> select_runs(const std::string& where, const std::string& text,
                                       std::int64_t number, int limit);

    std::string folder_;
    std::string path_;
    Mode mode_;
    int keep_;
    sqlite3* db_ = nullptr;
    int version_ = 0;  // of the schema of the file open
    std::string problem_;
    bool moved_aside_ = false;  // a damaged file was
};

}  // namespace psf
