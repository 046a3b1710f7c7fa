// The schedule file under a killed save, leftovers of one, and a full disk.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
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

// What the saving process makes of the loaded table: fewer tasks, new stamps.
std::unique_ptr<TaskTable> changed(const TaskTable& t) {
    auto next = std::make_unique<TaskTable>(t);
    next->TaskCount = static_cast<std::int16_t>(std::max(1, t.TaskCount - 20));
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

// The saving process: loads the table, changes it, saves once. It writes 'r'
// just before the save and 'd' (or 'f') after it.
[[noreturn]] void save_once(const std::string& folder, int report) {
    auto table = std::make_unique<TaskTable>();
    LoadReport load;
    std::string error;
    if (!charge_planifs(folder, *table, load, error)) ::_exit(2);
    const auto next = changed(*table);
    char mark = 'r';
    if (::write(report, &mark, 1) != 1) ::_exit(3);
    const bool ok = sauve_planifs(folder, *next, error);
    mark = ok ? 'd' : 'f';
    if (::write(report, &mark, 1) != 1) ::_exit(3);
    ::_exit(ok ? 0 : 1);
}

char read_mark(int fd) {
    pollfd p{fd, POLLIN, 0};
    char mark = 0;
    if (::poll(&p, 1, 10000) <= 0 || ::read(fd, &mark, 1) != 1) return 0;
    return mark;
}

struct Landing {
    bool started = false;         // the child reached its save
    bool killed = false;          // SIGKILL ended it (rather than its own exit)
    Clock::duration save_time{};  // measured only when no kill was sent
};

// Starts a saving process and kills it `delay` after it began its save; with
// no delay given it is left to finish, and the time its save took is measured.
Landing run_saver(const std::string& folder, std::optional<Clock::duration> delay) {
    Landing landing;
    int fds[2];
    if (::pipe(fds) != 0) return landing;
    const pid_t pid = ::fork();
    if (pid < 0) return landing;
    if (pid == 0) {
        ::close(fds[0]);
        save_once(folder, fds[1]);
    }
    ::close(fds[1]);
    landing.started = read_mark(fds[0]) == 'r';
    const auto start = Clock::now();
    if (landing.started && delay) {
        while (Clock::now() - start < *delay) {
        }  // a busy wait: sleeping is far coarser than a save
        ::kill(pid, SIGKILL);
    } else if (landing.started) {
        landing.started = read_mark(fds[0]) == 'd';
        landing.save_time = Clock::now() - start;
    } else {
        ::kill(pid, SIGKILL);
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    landing.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return landing;
}

TEST(StoreCrash, KilledSaveLeavesTheOldOrTheNewFileWhole) {
    TempDir dir;
    const std::string folder = dir.str() + "/";
    const fs::path file = dir / ScheduleFileName;
    const auto old_tasks = old_table();
    const std::string old_bytes = format_schedule(*old_tasks);
    const std::string new_bytes = format_schedule(*changed(*old_tasks));
    ASSERT_NE(old_bytes, new_bytes);
    std::string error;

    // How long a saving process takes, so the kills can be spread over it.
    std::vector<Clock::duration> times;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(sauve_planifs(folder, *old_tasks, error)) << error;
        const Landing l = run_saver(folder, std::nullopt);
        ASSERT_TRUE(l.started && !l.killed);
        ASSERT_EQ(read_file(file), new_bytes);
        times.push_back(l.save_time);
    }
    std::sort(times.begin(), times.end());
    const Clock::duration save_time = times[times.size() / 2];

    constexpr int Tries = 240;
    constexpr int Steps = 60;  // kill moments from 0 to 1.5 save times, in four sweeps
    int killed = 0, mid_save = 0, old_whole = 0, new_whole = 0, torn = 0;
    for (int i = 0; i < Tries; ++i) {
        SCOPED_TRACE("try " + std::to_string(i));
        // Also proves that a leftover of the previous kill does not stop a save.
        ASSERT_TRUE(sauve_planifs(folder, *old_tasks, error)) << error;
        ASSERT_EQ(file_names(dir.path()), ScheduleFileName) << "a leftover temporary remains";

        const auto delay = save_time * 3 * (i % Steps) / (2 * (Steps - 1));
        const Landing l = run_saver(folder, delay);
        ASSERT_TRUE(l.started);
        if (l.killed) ++killed;
        const bool temp_left = temporaries_in(dir.path()) > 0;
        if (l.killed && temp_left) ++mid_save;

        const std::string bytes = read_file(file);
        if (bytes == old_bytes) {
            ++old_whole;
        } else if (bytes == new_bytes) {
            ++new_whole;
            EXPECT_FALSE(temp_left) << "the new file is in place but its temporary remains";
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
    }
    ASSERT_TRUE(sauve_planifs(folder, *old_tasks, error)) << error;
    EXPECT_EQ(file_names(dir.path()), ScheduleFileName);

    std::cout << "kill tries " << Tries << ", killed " << killed << ", mid-save " << mid_save
              << ", old whole " << old_whole << ", new whole " << new_whole << ", torn " << torn
              << " (save time "
              << std::chrono::duration_cast<std::chrono::microseconds>(save_time).count()
              << " us)\n";
    RecordProperty("kill_tries", Tries);
    RecordProperty("mid_save_kills", mid_save);
    RecordProperty("old_whole", old_whole);
    RecordProperty("new_whole", new_whole);
    EXPECT_EQ(torn, 0);
    // Without kills inside the save the test would prove nothing.
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
