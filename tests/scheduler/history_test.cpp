// The history of runs: whatever state its file is in, a run goes on and the
// problem is said once; what it keeps, and for how long.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>

#include "scheduler/run_record.h"
#include "support/full_disk.h"
#include "support/temp_dir.h"

using namespace psf;
using psf::test::DiskFull;
namespace fs = std::filesystem;

namespace {

// A run that wrote one image into `folder`, without a network.
RunSummary one_image(const fs::path& folder, const std::string& etag = "\"e\"") {
    RunSummary s;
    s.pages_read = s.images_found = s.images_copied = 1;
    s.written = {{"http://h/a.gif", (folder / "a.gif").string(), 10, "", etag}};
    return s;
}

// Records one run of `title` into the data folder `folder`; the warning said, or "none".
std::string record(const fs::path& folder, int keep = HistoryRuns, const std::string& etag = "") {
    std::string said = "none";
    RunRecorder recorder(
        folder.string() + "/", [&](const std::string& w) { said = w; }, keep);
    RunSpec spec;
    spec.title = "Gallery";
    spec.start_address = "http://h/";
    const RunSummary s = recorder.record(spec, StartedBy::Due, SystemClock(), [&](const auto&) {
        return one_image(folder, etag.empty() ? "\"e\"" : etag);
    });
    return s.images_copied == 1 ? said : "the run's summary was lost";
}

// SQL on the history as another program would run it; the first column of the last row.
std::string sql(const fs::path& folder, const std::string& statement) {
    sqlite3* db = nullptr;
    std::string out = "?";
    sqlite3_open((folder / HistoryFileName).c_str(), &db);
    sqlite3_exec(
        db, statement.c_str(),
        [](void* to, int, char** values, char**) {
            *static_cast<std::string*>(to) = values[0] ? values[0] : "";
            return 0;
        },
        &out, nullptr);
    sqlite3_close(db);
    return out;
}

TEST(History, ARunGoesOnWhateverTheStateOfItsFile) {
    const auto earlier = [](const fs::path& f) { record(f); };
    struct Case {
        const char* name;
        DiskFull how;
        std::function<void(const fs::path&)> prepare;
        bool held;         // another program holds the write lock
        const char* seen;  // the warning (DIR the folder), runs kept, damaged files kept aside
    };
    const Case cases[] = {
        {"missing", DiskFull::FileSize, {}, false, "none | 1 | 0 aside"},
        {"damaged", DiskFull::FileSize,
         [](const fs::path& f) {
             psf::test::write_file(f / HistoryFileName, std::string(600, 'x'));
         },
         false,
         "the history DIR/picsifter.db was damaged (file is not a database); it is kept as "
         "picsifter.db.damaged-"},
        {"newer", DiskFull::FileSize,
         [&](const fs::path& f) { earlier(f), sql(f, "PRAGMA user_version = 99"); }, false,
         "the history DIR/picsifter.db was written by a newer version of Picsifter; runs go on "
         "without it | 1 | 0 aside"},
        {"locked", DiskFull::FileSize, earlier, true,
         "the history DIR/picsifter.db cannot be written (database is locked, adding a run); "
         "runs go on without it | 1 | 0 aside"},
        {"read-only", DiskFull::ReadOnly, earlier, false,
         "the history DIR/picsifter.db cannot be written (attempt to write a readonly database, "
         "making room); runs go on without it | 1 | 0 aside"},
        {"full disk", DiskFull::Tmpfs, earlier, false,
         "the history DIR/picsifter.db cannot be written (database or disk is full, adding a run); "
         "runs go on without it | 1 | 0 aside"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        psf::test::TempDir dir;
        const auto run = psf::test::run_on_full_disk(
            c.how, dir.path(), std::size_t(1) << 30,
            [&](const fs::path& work) {
                if (c.prepare) c.prepare(work);
            },
            [&](const fs::path& work, psf::test::Facts& facts) {
                sqlite3* holder = nullptr;
                if (c.held) {
                    sqlite3_open((work / HistoryFileName).c_str(), &holder);
                    sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
                }
                std::string said = record(work);
                sqlite3_close(holder);
                for (auto at = said.find(work.string()); at != std::string::npos;
                     at = said.find(work.string()))
                    said.replace(at, work.string().size(), "DIR");
                int aside = 0;
                for (const auto& e : fs::directory_iterator(work))
                    aside += e.path().filename().string().starts_with("picsifter.db.damaged-");
                facts["seen"] = said + " | " + sql(work, "SELECT count(*) FROM runs") + " | " +
                                std::to_string(aside) + " aside";
            });
        if (c.how != DiskFull::FileSize && !run.skipped.empty()) continue;  // needs a mount
        const std::string seen = run.facts.count("seen") ? run.facts.at("seen") : "";
        EXPECT_TRUE(seen.starts_with(c.seen)) << seen << run.skipped;
    }
}

// The damaged file kept aside holds its bytes; the new one holds the run.
TEST(History, ADamagedFileIsKeptAsideWhole) {
    psf::test::TempDir dir;
    const std::string bytes(700, 'x');
    psf::test::write_file(dir / HistoryFileName, bytes);
    EXPECT_NE(record(dir.path()).find("was damaged"), std::string::npos);
    std::string aside;
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().starts_with("picsifter.db.damaged-")) aside = e.path();
    EXPECT_EQ(psf::test::read_file(aside), bytes);
    EXPECT_EQ(sql(dir.path(), "SELECT count(*) FROM runs"), "1");
}

// The oldest runs go with their images; the newest record of a file gives its
// validators; a run whose program is gone reads as interrupted.
TEST(History, KeepsTheLastRunsAndTheValidatorsOfEachFile) {
    psf::test::TempDir dir;
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(record(dir.path(), 3, "\"e" + std::to_string(i) + "\""), "none");
    History history(dir.str(), History::Mode::Read);
    std::string ids;
    for (const RunRecord& r : history.runs()) ids += std::to_string(r.id) + " ";
    EXPECT_EQ(ids, "5 4 3 ");
    EXPECT_EQ(sql(dir.path(), "SELECT count(*) FROM images"), "3");
    EXPECT_EQ(history.last_written((dir / "a.gif").string())->etag, "\"e5\"");
    EXPECT_FALSE(history.last_written((dir / "b.gif").string()));
    EXPECT_EQ(history.last_runs().at(0).outcome, Outcome::Done);
    sql(dir.path(), "UPDATE runs SET outcome = 'running', ended = NULL, pid = 0 WHERE id = 5");
    EXPECT_EQ(outcome_text(*History(dir.str(), History::Mode::Read).run(5)), "interrupted");
}

// A file of the first version reads as it is, and the next run brings it up
// to date: the unchanged images of each run and its policy are kept.
TEST(History, AFileOfTheFirstVersionIsReadThenBroughtUpToDate) {
    psf::test::TempDir dir;
    record(dir.path());
    sql(dir.path(),
        "ALTER TABLE runs DROP COLUMN unchanged; ALTER TABLE runs DROP COLUMN policy; "
        "PRAGMA user_version = 1");
    const auto counts = [&] {
        std::string out;
        for (const RunRecord& r : History(dir.str(), History::Mode::Read).runs())
            out += counts_text(r) + "\n";
        return out;
    };
    EXPECT_EQ(counts(), "1 page read, 1 image found, 1 copied, 0 already present, 0 failed\n");
    RunRecorder recorder(dir.str(), {});
    RunSpec spec;
    spec.policy = m_psf::NewVersion;
    recorder.record(spec, StartedBy::Crawl, SystemClock(), [&](const auto& stored) {
        RunSummary s = one_image(dir.path());
        s.images_unchanged = 4;
        s.written.clear();
        if (stored((dir / "a.gif").string())) s.images_copied = 0;  // the first run's record
        return s;
    });
    EXPECT_EQ(counts(),
              "1 page read, 1 image found, 0 copied, 4 unchanged, 0 failed\n"
              "1 page read, 1 image found, 1 copied, 0 already present, 0 failed\n");
    EXPECT_EQ(sql(dir.path(), "PRAGMA user_version"), "2");
}

}  // namespace
