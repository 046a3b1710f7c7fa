// The history of runs: whatever state its file is in, a run goes on and the
// problem is said once; what it keeps, and for how long.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "scheduler/run_record.h"
#include "support/full_disk.h"
#include "support/table.h"
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
    for (const auto& c : psf::test::read_table("scheduler/history.txt", 5)) {
        SCOPED_TRACE(c.where);
        const DiskFull how = c[1] == "full"        ? DiskFull::Tmpfs
                             : c[1] == "read-only" ? DiskFull::ReadOnly
                                                   : DiskFull::FileSize;
        psf::test::TempDir dir;
        auto run = psf::test::run_on_full_disk(
            how, dir.path(), std::size_t(1) << 30,
            [&](const fs::path& work) {
                if (c[2] == "damaged")
                    psf::test::write_file(work / HistoryFileName, std::string(600, 'x'));
                if (c[2] == "newer" || c[2] == "earlier") record(work);
                if (c[2] == "newer") sql(work, "PRAGMA user_version = 99");
            },
            [&](const fs::path& work, psf::test::Facts& facts) {
                sqlite3* holder = nullptr;
                if (c[3] == "1") {
                    sqlite3_open((work / HistoryFileName).c_str(), &holder);
                    sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
                }
                std::string said = psf::test::replaced(record(work), work.string(), "DIR");
                sqlite3_close(holder);
                int aside = 0;
                for (const auto& e : fs::directory_iterator(work)) {
                    const std::string name = e.path().filename();
                    if (!name.starts_with("picsifter.db.damaged-")) continue;
                    said = psf::test::replaced(said, name, "picsifter.db.damaged-DATE");
                    aside += psf::test::read_file(e.path()) == std::string(600, 'x');
                }
                facts["said"] = said;
                facts["runs"] = sql(work, "SELECT count(*) FROM runs");
                facts["kept aside whole"] = std::to_string(aside);
            });
        if (how != DiskFull::FileSize && !run.skipped.empty()) continue;  // needs a mount
        EXPECT_EQ(run.facts["said"], c[4]) << run.skipped;
        EXPECT_EQ(run.facts["runs"], "1");
        EXPECT_EQ(run.facts["kept aside whole"], c[2] == "damaged" ? "1" : "0");
    }
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

// Each way a run can end is kept as it came, whatever else is true of it.
TEST(History, EachEndIsKeptAsItCame) {
    const std::pair<void (*)(RunSummary&), const char*> ends[] = {
        {[](RunSummary&) {}, "done"},
        {[](RunSummary& s) { s.start_failure = "connection refused"; },
         "start page failed: connection refused"},
        {[](RunSummary& s) { s.destination_failure = "could not be created"; },
         "destination could not be created"},
        {[](RunSummary& s) { s.out_of_memory = true, s.start_failure = "x"; }, "out of memory"},
        {[](RunSummary& s) { s.cancelled = true, s.out_of_memory = true; }, "interrupted"},
        {[](RunSummary& s) { s.cancelled = s.timed_out = true; }, "time limit"},
    };
    psf::test::TempDir dir;
    RunRecorder recorder(dir.str(), {});
    for (const auto& [end, text] : ends) {
        recorder.record({}, StartedBy::Crawl, SystemClock(), [&](const auto&) {
            RunSummary s = one_image(dir.path());
            end(s);
            return s;
        });
        EXPECT_EQ(outcome_text(History(dir.str(), History::Mode::Read).runs().front()), text);
    }
}

}  // namespace
