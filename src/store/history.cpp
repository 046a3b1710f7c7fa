#include "store/history.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "platform/data_file.h"
#include "store/schedule_file.h"

namespace fs = std::filesystem;

namespace psf {

namespace {

// A history another program is writing is waited for this long, then left
// alone for the rest of the run.
constexpr int BusyTimeoutMs = 500;

// Step n takes the schema from version n to n + 1. A new version adds a step
// and never changes an old one, so every older file can be brought up to it.
constexpr const char* SchemaSteps[] = {
    R"(CREATE TABLE runs (
           id INTEGER PRIMARY KEY,
           task TEXT NOT NULL,
           start_address TEXT NOT NULL,
           started_by TEXT NOT NULL,
           started TEXT NOT NULL,
           ended TEXT,
           duration_ms INTEGER NOT NULL DEFAULT 0,
           outcome TEXT NOT NULL,
           cause TEXT NOT NULL DEFAULT '',
           pages_read INTEGER NOT NULL DEFAULT 0,
           images_found INTEGER NOT NULL DEFAULT 0,
           copied INTEGER NOT NULL DEFAULT 0,
           present INTEGER NOT NULL DEFAULT 0,
           failed INTEGER NOT NULL DEFAULT 0,
           bytes_received INTEGER NOT NULL DEFAULT 0,
           pid INTEGER NOT NULL DEFAULT 0);
       CREATE INDEX runs_by_task ON runs (task, id);
       CREATE TABLE images (
           run INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
           address TEXT NOT NULL,
           file TEXT NOT NULL,
           size INTEGER NOT NULL,
           last_modified TEXT NOT NULL DEFAULT '',
           etag TEXT NOT NULL DEFAULT '');
       CREATE INDEX images_by_run ON images (run);
       CREATE INDEX images_by_file ON images (file);)",
    // Images whose copy present was still the server's, and the policy that
    // says whether a run counts those or the images kept as present.
    R"(ALTER TABLE runs ADD COLUMN unchanged INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE runs ADD COLUMN policy INTEGER NOT NULL DEFAULT 1;)",
};
constexpr int SchemaVersion = static_cast<int>(std::size(SchemaSteps));

// The columns a run is read from; a file of version 1, read as it is, gives
// the defaults of those added since.
std::string run_columns(int version) {
    return std::string(
               "id, task, start_address, started_by, started, ended, duration_ms, "
               "outcome, cause, pages_read, images_found, copied, present, failed, "
               "bytes_received, pid, ") +
           (version >= 2 ? "unchanged, policy" : "0, 1");
}

constexpr std::pair<Outcome, const char*> OutcomeCodes[] = {
    {Outcome::Running, "running"},           {Outcome::Done, "done"},
    {Outcome::StartFailed, "start-failed"},  {Outcome::TimeLimit, "time-limit"},
    {Outcome::Interrupted, "interrupted"},   {Outcome::DestinationFailed, "destination-failed"},
    {Outcome::OutOfMemory, "out-of-memory"},
};

const char* code_of(Outcome o) {
    for (const auto& [outcome, code] : OutcomeCodes)
        if (outcome == o) return code;
    return "running";
}

Outcome outcome_of(const std::string& code) {
    for (const auto& [outcome, text] : OutcomeCodes)
        if (code == text) return outcome;
    return Outcome::Interrupted;
}

// A run left "running" by a program that is gone was killed.
bool alive(std::int64_t pid) {
    if (pid <= 0) return false;
    if (pid == ::getpid()) return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    // Gives back the last step's error, which step() has said already.
    ~Statement() { static_cast<void>(sqlite3_finalize(stmt_)); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepared() const { return rc_; }
    // A bind that fails (no memory) fails the next step rather than
    // storing a null.
    Statement& text(int i, const std::string& v) {
        if (rc_ == SQLITE_OK)
            rc_ =
                sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& number(int i, std::int64_t v) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    int step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }
    // Resetting gives back the last step's error, said by step() already;
    // clearing the bindings cannot fail.
    void reset() {
        static_cast<void>(sqlite3_reset(stmt_));
        static_cast<void>(sqlite3_clear_bindings(stmt_));
    }
    std::string text_at(int i) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i))) : "";
    }
    std::int64_t number_at(int i) const { return sqlite3_column_int64(stmt_, i); }
    int int_at(int i) const { return sqlite3_column_int(stmt_, i); }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

RunRecord run_at(const Statement& s) {
    RunRecord r;
    r.id = s.number_at(0);
    r.task = s.text_at(1);
    r.start_address = s.text_at(2);
    r.started_by = s.text_at(3);
    r.started = s.text_at(4);
    r.ended = s.text_at(5);
    r.duration_ms = s.number_at(6);
    r.outcome = outcome_of(s.text_at(7));
    r.cause = s.text_at(8);
    r.pages_read = s.int_at(9);
    r.images_found = s.int_at(10);
    r.copied = s.int_at(11);
    r.present = s.int_at(12);
    r.failed = s.int_at(13);
    r.bytes_received = s.number_at(14);
    r.pid = s.number_at(15);
    r.unchanged = s.int_at(16);
    r.policy = s.int_at(17);
    if (r.outcome == Outcome::Running && !alive(r.pid)) r.outcome = Outcome::Interrupted;
    return r;
}

ImageRecord image_at(const Statement& s) {
    return {s.text_at(0), s.text_at(1), s.number_at(2), s.text_at(3), s.text_at(4)};
}

}  // namespace

std::string outcome_text(const RunRecord& run) {
    switch (run.outcome) {
        case Outcome::Running:
            return "running";
        case Outcome::Done:
            return "done";
        case Outcome::StartFailed:
            return "start page failed: " + run.cause;
        case Outcome::TimeLimit:
            return "time limit";
        case Outcome::DestinationFailed:
            return "destination " + run.cause;
        case Outcome::OutOfMemory:
            return "out of memory";
        case Outcome::Interrupted:
            break;
    }
    return "interrupted";
}

std::string last_run_text(const RunRecord& run) {
    return run.started + " " + outcome_text(run) + ", " + std::to_string(run.copied) + " copied, " +
           std::to_string(run.failed) + " failed";
}

History::History(const std::string& DataFolder, Mode mode, int keep)
    : folder_(DataFolder),
      path_((fs::path(DataFolder) / HistoryFileName).string()),
      mode_(mode),
      keep_(keep < 1 ? 1 : keep) {
    if (DataFolder.empty()) {
        if (mode_ == Mode::Write)
            problem_ = "there is no data folder to keep the history of runs in";
        return;
    }
    // A damaged file was moved aside: a new one takes its place.
    if (!open() && moved_aside_) open();
}

History::~History() {
    close();
}

void History::close() {
    if (db_) sqlite3_close_v2(db_);  // rolls back what was not committed
    db_ = nullptr;
}

std::string History::unusable_files(const std::string& DataFolder) {
    const std::string path = (fs::path(DataFolder) / HistoryFileName).string();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        if (const Result<void> usable = data_file_usable(path + suffix); !usable)
            return usable.error().text;
    return {};
}

bool History::open() {
    if (const std::string why = unusable_files(folder_); !why.empty()) {
        problem_ = "the history cannot be used: " + why;
        return false;
    }
    std::error_code ec;
    if (mode_ == Mode::Read && !fs::exists(path_, ec)) return false;  // nothing recorded yet
    // Owner only, as the schedule file: its addresses may hold user names.
    // The journal and its index take the file's permissions.
    if (mode_ == Mode::Write) {
        const DataFile created(path_, O_WRONLY | O_CREAT, 0600);
    }
    const int flags = (mode_ == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                            : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_NOMUTEX;
    if (!check(sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr), "opening it")) return false;
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, BusyTimeoutMs);
    // The last program to close it would otherwise copy the journal back and
    // flush the file: a cost on every run, where a commit now and then does.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (!exec("PRAGMA foreign_keys = ON", "opening it")) return false;
    const auto version = [this] {
        Statement s(db_, "PRAGMA user_version");
        const int rc = s.step();
        return check(rc, "reading its version") ? s.int_at(0) : -1;
    };
    int v = version();
    if (v < 0) return false;
    if (v > SchemaVersion) {
        problem_ = "the history " + path_ + " was written by a newer version of Picsifter";
        close();
        return false;
    }
    if (mode_ == Mode::Read) {
        version_ = v;
        if (v < 1) close();  // empty
        return usable();
    }
    // Durable against a crash of the program at any moment, without a flush
    // on every commit.
    if (!exec("PRAGMA journal_mode = WAL", "opening it") ||
        !exec("PRAGMA synchronous = NORMAL", "opening it"))
        return false;
    version_ = v;
    if (v == SchemaVersion) return true;
    // Another program may be doing the same: the version read again under the lock.
    if (!exec("BEGIN IMMEDIATE", "bringing it up to date") || (v = version()) < 0) return false;
    for (; v < SchemaVersion; ++v)
        if (!exec(SchemaSteps[v], "bringing it up to date")) return false;
    const std::string set = "PRAGMA user_version = " + std::to_string(SchemaVersion);
    version_ = SchemaVersion;
    return exec(set.c_str(), "bringing it up to date") && exec("COMMIT", "bringing it up to date");
}

bool History::exec(const char* sql, const char* doing) {
    return check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), doing);
}

bool History::check(int rc, const char* doing) {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
    const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    close();
    const int primary = rc & 0xff;
    std::string problem;
    if (mode_ == Mode::Write && (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)) {
        const std::string aside = dated_name(folder_, HistoryFileName, "damaged");
        std::error_code ec;
        fs::rename(path_, aside, ec);
        if (ec) {
            problem = "the history " + path_ + " is damaged (" + why +
                      ") and cannot be moved aside: " + ec.message();
        } else {
            // Its journal goes with it; the shared-memory index is remade.
            std::error_code ignored;
            if (fs::exists(path_ + "-wal", ignored))
                fs::rename(path_ + "-wal", aside + "-wal", ignored);
            fs::remove(path_ + "-shm", ignored);
            moved_aside_ = true;
            problem = "the history " + path_ + " was damaged (" + why + "); it is kept as " +
                      fs::path(aside).filename().string() + " and a new one is started";
        }
    } else {
        problem = "the history " + path_ + " cannot be " +
                  (mode_ == Mode::Write ? "written" : "read") + " (" + why + ", " + doing + ")";
    }
    if (problem_.empty()) problem_ = problem;
    return false;
}

std::int64_t History::begin_run(const RunRecord& run) {
    if (!db_ || !exec("BEGIN IMMEDIATE", "adding a run")) return 0;
    {
        // Runs are numbered one after the other and only the oldest ever go,
        // so the newest keep - 1 are those above max(id) - (keep - 1): found
        // without walking the table.
        Statement prune(db_, "DELETE FROM runs WHERE id <= (SELECT max(id) FROM runs) - ?");
        prune.number(1, keep_ - 1);
        if (!check(prune.step(), "making room")) return 0;
        Statement add(db_,
                      "INSERT INTO runs (task, start_address, started_by, started, outcome, pid) "
                      "VALUES (?, ?, ?, ?, ?, ?)");
        add.text(1, run.task).text(2, run.start_address).text(3, run.started_by);
        add.text(4, run.started).text(5, code_of(Outcome::Running)).number(6, ::getpid());
        if (!check(add.step(), "adding a run")) return 0;
    }
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    return exec("COMMIT", "adding a run") ? id : 0;
}

bool History::end_run(const RunRecord& run, const std::vector<ImageRecord>& images) {
    if (!db_ || run.id == 0 || !exec("BEGIN IMMEDIATE", "ending a run")) return false;
    {
        Statement end(db_,
                      "UPDATE runs SET ended = ?, duration_ms = ?, outcome = ?, cause = ?, "
                      "pages_read = ?, images_found = ?, copied = ?, present = ?, failed = ?, "
                      "bytes_received = ?, unchanged = ?, policy = ? WHERE id = ?");
        end.text(1, run.ended).number(2, run.duration_ms).text(3, code_of(run.outcome));
        end.text(4, run.cause).number(5, run.pages_read).number(6, run.images_found);
        end.number(7, run.copied).number(8, run.present).number(9, run.failed);
        end.number(10, run.bytes_received).number(11, run.unchanged).number(12, run.policy);
        end.number(13, run.id);
        if (!check(end.step(), "ending a run")) return false;
        Statement add(db_,
                      "INSERT INTO images (run, address, file, size, last_modified, etag) "
                      "VALUES (?, ?, ?, ?, ?, ?)");
        for (const ImageRecord& image : images) {
            add.number(1, run.id).text(2, image.address).text(3, image.file);
            add.number(4, image.size).text(5, image.last_modified).text(6, image.etag);
            if (!check(add.step(), "adding the images of a run")) return false;
            add.reset();
        }
    }
    return exec("COMMIT", "ending a run");
}

std::vector<RunRecord> History::select_runs(const std::string& where, const std::string& text,
                                            std::int64_t number, int limit) {
    std::vector<RunRecord> out;
    if (!db_) return out;
    const std::string sql = "SELECT " + run_columns(version_) + " FROM runs " + where +
                            " ORDER BY id DESC LIMIT " + std::to_string(limit > 0 ? limit : -1);
    Statement s(db_, sql.c_str());
    if (!text.empty()) s.text(1, text);
    if (number != 0) s.number(1, number);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(run_at(s));
    if (!check(rc, "reading runs")) out.clear();
    return out;
}

std::vector<RunRecord> History::runs(const std::string& task, int limit) {
    return task.empty() ? select_runs("", "", 0, limit)
                        : select_runs("WHERE task = ?", task, 0, limit);
}

std::optional<RunRecord> History::run(std::int64_t id) {
    auto found = select_runs("WHERE id = ?", "", id, 1);
    if (id == 0 || found.empty()) return std::nullopt;
    return found.front();
}

std::vector<RunRecord> History::last_runs() {
    return select_runs(
        "WHERE id IN (SELECT max(id) FROM runs WHERE started_by <> 'crawl' GROUP BY task)", "", 0,
        0);
}

std::vector<ImageRecord> History::images(std::int64_t run) {
    std::vector<ImageRecord> out;
    if (!db_) return out;
    Statement s(db_,
                "SELECT address, file, size, last_modified, etag FROM images WHERE run = ? "
                "ORDER BY rowid");
    s.number(1, run);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(image_at(s));
    if (!check(rc, "reading images")) out.clear();
    return out;
}

std::optional<ImageRecord> History::last_written(const std::string& file) {
    if (!db_) return std::nullopt;
    Statement s(db_,
                "SELECT address, file, size, last_modified, etag FROM images WHERE file = ? "
                "ORDER BY rowid DESC LIMIT 1");
    s.text(1, file);
    const int rc = s.step();
    if (rc == SQLITE_ROW) return image_at(s);
    check(rc, "reading images");
    return std::nullopt;
}

}  // namespace psf
