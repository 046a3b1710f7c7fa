// The schedule file under a killed save, leftovers of one, and a full disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "store/schedule_file.h"
#include "support/full_disk.h"
#include "support/temp_dir.h"

using namespace psf;
using psf::test::DiskFull;
using psf::test::Facts;
using psf::test::file_names;
using psf::test::read_file;
using psf::test::TempDir;
using psf::test::write_file;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A full table, so that a save takes long enough to be caught in the middle.
std::unique_ptr<TaskTable> old_table(int count = MaxTasks) {
    auto t = std::make_unique<TaskTable>();
    t->TaskCount = static_cast<std::int16_t>(count);
    for (int row = 1; row <= count; ++row) {
        for (int c = 1; c <= FieldCount; ++c) t->at(row, c) = std::to_string(row * 100 + c);
        t->at(row, Title) = "Task " + std::to_string(row);
        t->at(row, StartAddress) = "http://example.test/gallery/" + std::to_string(row) + ".htm";
        t->at(row, Password) = "secret-" + std::to_string(row);
        t->at(row, LastRunDate) = "2026/03/05";
        t->at(row, LastRunTime) = "09:05";
    }
    return t;
}

// What the saving process makes of the loaded table: the full table becomes a
// shorter one with new titles and stamps, and that one the full table again.
std::unique_ptr<TaskTable> changed(const TaskTable& t) {
    if (t.TaskCount != MaxTasks) return old_table();
    auto next = std::make_unique<TaskTable>(t);
    next->TaskCount = static_cast<std::int16_t>(t.TaskCount - 20);
    for (int row = 1; row <= next->TaskCount; ++row) {
        next->at(row, Title) += " (renamed)";
        next->at(row, LastRunDate) = "2026/04/01";
        next->at(row, LastRunTime) = "17:45";
    }
    return next;
}

bool is_save_temporary(const std::string& name) {
    return name.size() == std::string(".planifs.txt.XXXXXX").size() &&
           name.starts_with(".planifs.txt.");
}

int temporaries_in(const fs::path& folder) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder))
        if (is_save_temporary(e.path().filename().string())) ++n;
    return n;
}

unsigned mode_of(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The saving process: loads the table, changes it and saves, then saves the
// loaded table and the changed one in turn until SIGKILL ends it `delay`
// after its first save began. The process arms that kill itself, so the
// moment does not depend on when the test gets the processor back.
[[noreturn]] void keep_saving(const std::string& folder, std::chrono::nanoseconds delay) {
    auto loaded = std::make_unique<TaskTable>();
    LoadReport load;
    std::string error;
    if (!charge_planifs(folder, *loaded, load, error)) ::_exit(2);
    const auto next = changed(*loaded);
    sigevent ev{};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGKILL;
    timer_t timer{};
    itimerspec when{};
    const auto ns = std::max<std::int64_t>(delay.count(), 1);
    when.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (::timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0 ||
        ::timer_settime(timer, 0, &when, nullptr) != 0)
        ::_exit(4);
    for (bool forth = true;; forth = !forth)
        if (!sauve_planifs(folder, forth ? *next : *loaded, error)) ::_exit(1);
}

// How the saving process ended: killed, or the exit code of its failure.
std::string kill_saver(const std::string& folder, std::chrono::nanoseconds delay) {
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) keep_saving(folder, delay);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return "killed";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) return "could not load the file";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) return "a save failed";
    return "ended otherwise (status " + std::to_string(status) + ")";
}

// In memory where possible: a flush to a real disk would make each try wait
// for the device, while a kill cuts a save in the same places either way.
fs::path fast_folder() {
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return fs::temp_directory_path();
}

TEST(StoreCrash, KilledSaveLeavesTheOldOrTheNewFileWhole) {
    TempDir dir(fast_folder());
    const std::string folder = dir.str() + "/";
    const fs::path file = dir / ScheduleFileName;
    const auto full = old_table();
    const std::string full_bytes = format_schedule(*full);
    const std::string short_bytes = format_schedule(*changed(*full));
    ASSERT_NE(full_bytes, short_bytes);
    std::string error;
    ASSERT_TRUE(sauve_planifs(folder, *full, error)) << error;

    constexpr int Tries = 150;
    constexpr int Steps = 50;  // kill moments 0 to 2 ms after the first save began, three sweeps
    const std::chrono::nanoseconds step = std::chrono::microseconds(2000) / (Steps - 1);
    int mid_save = 0, old_whole = 0, new_whole = 0, torn = 0;
    for (int i = 0; i < Tries; ++i) {
        SCOPED_TRACE("try " + std::to_string(i));
        const std::string before = read_file(file);
        const std::string& other = before == full_bytes ? short_bytes : full_bytes;

        // Each saving process first loads what the killed one before it left.
        ASSERT_EQ(kill_saver(folder, step * (i % Steps)), "killed");
        const bool temp_left = temporaries_in(dir.path()) > 0;
        if (temp_left) ++mid_save;

        const std::string bytes = read_file(file);
        if (bytes == before) {
            ++old_whole;
        } else if (bytes == other) {
            ++new_whole;
        } else {
            ++torn;
            ADD_FAILURE() << "the schedule file is neither the old nor the new one ("
                          << bytes.size() << " bytes)";
        }
        EXPECT_EQ(mode_of(file), 0600u);

        auto loaded = std::make_unique<TaskTable>();
        LoadReport report;
        ASSERT_TRUE(charge_planifs(folder, *loaded, report, error)) << error;
        EXPECT_EQ(format_schedule(*loaded), bytes) << "a leftover was loaded instead";
        if (temp_left) {
            // The leftover neither stops the next save nor outlives it.
            ASSERT_TRUE(sauve_planifs(folder, *loaded, error)) << error;
            EXPECT_EQ(file_names(dir.path()), ScheduleFileName);
            EXPECT_EQ(read_file(file), bytes);
        }
    }

    // "old": the file as the killed process found it; "new": the other table.
    std::cout << "kill tries " << Tries << ", mid-save " << mid_save << ", old whole " << old_whole
              << ", new whole " << new_whole << ", torn " << torn << "\n";
    RecordProperty("kill_tries", Tries);
    RecordProperty("mid_save_kills", mid_save);
    RecordProperty("old_whole", old_whole);
    RecordProperty("new_whole", new_whole);
    EXPECT_EQ(torn, 0);
    // Without kills inside a save the test would prove nothing.
    EXPECT_GE(mid_save, Tries / 10);
}

TEST(StoreCrash, LeftoversOfAKilledSaveAreNeitherLoadedNorInTheWay) {
    TempDir dir;
    const std::string folder = dir.str() + "/";
    const auto tasks = old_table(3);
    std::string error;
    ASSERT_TRUE(sauve_planifs(folder, *old_table(1), error)) << error;
    // As an older version or the user may have left it: readable by all.
    ASSERT_EQ(::chmod((dir / ScheduleFileName).c_str(), 0644), 0);

    // A killed save's temporary, half written, beside names that only look alike.
    const std::string half = format_schedule(*tasks).substr(0, 500);
    write_file(dir / ".planifs.txt.a1B2c3", half);
    write_file(dir / ".planifs.txt.keep", "mine");
    write_file(dir / "planifs.txt.bak", "mine");
    write_file(dir / "outside.txt", "victim");
    fs::create_symlink(dir / "outside.txt", dir / ".planifs.txt.Zz9Zz9");

    auto loaded = std::make_unique<TaskTable>();
    LoadReport report;
    ASSERT_TRUE(charge_planifs(folder, *loaded, report, error)) << error;
    EXPECT_EQ(loaded->TaskCount, 1) << "the leftover was read as the schedule";

    ASSERT_TRUE(sauve_planifs(folder, *tasks, error)) << error;
    EXPECT_EQ(read_file(dir / ScheduleFileName), format_schedule(*tasks));
    EXPECT_EQ(mode_of(dir / ScheduleFileName), 0600u);
    EXPECT_FALSE(fs::exists(dir / ".planifs.txt.a1B2c3"));
    EXPECT_EQ(read_file(dir / ".planifs.txt.keep"), "mine");
    EXPECT_EQ(read_file(dir / "planifs.txt.bak"), "mine");
    EXPECT_EQ(read_file(dir / "outside.txt"), "victim");  // a link is not a leftover
    EXPECT_TRUE(fs::is_symlink(dir / ".planifs.txt.Zz9Zz9"));
}

// Saves a full table where an old small one lies, on a full disk; empty
// `skipped` unless the full disk could not be made.
std::string expect_save_refused(DiskFull how, std::size_t room) {
    const auto old_tasks = old_table(3);
    const auto new_tasks = old_table();
    const std::string old_bytes = format_schedule(*old_tasks);
    TempDir dir;
    const auto run = psf::test::run_on_full_disk(
        how, dir.path(), room,
        [&](const fs::path& work) {
            std::string error;
            if (!sauve_planifs(work.string() + "/", *old_tasks, error))
                throw std::runtime_error(error);
        },
        [&](const fs::path& work, Facts& facts) {
            std::string error;
            facts["saved"] = sauve_planifs(work.string() + "/", *new_tasks, error) ? "yes" : "no";
            facts["error"] = error;
            facts["old kept"] = read_file(work / ScheduleFileName) == old_bytes ? "yes" : "no";
            facts["files"] = file_names(work);
        });
    if (!run.skipped.empty()) return run.skipped;
    Facts f = run.facts;
    if (f.count("exception")) {
        ADD_FAILURE() << f["exception"];
        return {};
    }
    const char* reason = std::strerror(how == DiskFull::Tmpfs ? ENOSPC : EFBIG);
    EXPECT_EQ(f["saved"], "no");
    EXPECT_NE(f["error"].find(ScheduleFileName), std::string::npos) << f["error"];
    EXPECT_NE(f["error"].find(reason), std::string::npos) << f["error"];
    EXPECT_EQ(f["old kept"], "yes");
    EXPECT_EQ(f["files"], ScheduleFileName) << "a temporary file was left behind";
    return {};
}

TEST(StoreFullDisk, SaveFailsUnderAFileSizeLimitAndKeepsTheOldFile) {
    const std::size_t new_size = format_schedule(*old_table()).size();
    struct Case {
        const char* name;
        std::size_t room;
    };
    const std::vector<Case> cases = {
        {"not a byte fits", 0},
        {"half the file fits", new_size / 2},
        {"all but one byte fits", new_size - 1},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        EXPECT_EQ(expect_save_refused(DiskFull::FileSize, tc.room), "");
    }
}

TEST(StoreFullDisk, SaveFailsOnAFullFileSystemAndKeepsTheOldFile) {
    if (const std::string why = expect_save_refused(DiskFull::Tmpfs, 0); !why.empty())
        GTEST_SKIP() << "no tmpfs could be mounted: " << why;
}

}  // namespace
