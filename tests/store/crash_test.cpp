// The schedule file under a killed save, leftovers of one, and a full disk.
#include <gtest/gtest.h>
#include <sys/ptrace.h>
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

// A table small enough that a load costs little in a sanitizer build.
constexpr int KillTableSize = 60;

// What the saving process makes of the loaded table: the full table becomes a
// shorter one with new titles and stamps, and that one the full table again.
std::unique_ptr<TaskTable> changed(const TaskTable& t) {
    if (t.TaskCount != KillTableSize) return old_table(KillTableSize);
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

// In memory where possible: a flush to a real disk would make each try wait
// for the device, while a kill cuts a save in the same places either way.
fs::path fast_folder() {
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return fs::temp_directory_path();
}

// What the kills of one test found, and the checks made after each kill.
struct KillTally {
    explicit KillTally(const TempDir& d) : dir(d) {
        const auto full = old_table(KillTableSize);
        full_bytes = format_schedule(*full);
        short_bytes = format_schedule(*changed(*full));
        std::string error;
        if (!sauve_planifs(folder(), *full, error)) ADD_FAILURE() << error;
    }
    std::string folder() const { return dir.str() + "/"; }
    fs::path file() const { return dir / ScheduleFileName; }
    // The other table than the one the file holds now.
    std::string other() const { return read_file(file()) == full_bytes ? short_bytes : full_bytes; }

    // After a kill: the file is `before` or `after_save` whole, owner only,
    // loads as it reads, and a leftover neither stops the next save nor
    // outlives it.
    void check(const std::string& before, const std::string& after_save) {
        ++tries;
        const bool temp_left = temporaries_in(dir.path()) > 0;
        if (temp_left) ++mid_save;
        const std::string bytes = read_file(file());
        if (bytes == before) {
            ++old_whole;
        } else if (bytes == after_save) {
            ++new_whole;
        } else {
            ++torn;
            ADD_FAILURE() << "the schedule file is neither the old nor the new one ("
                          << bytes.size() << " bytes)";
        }
        EXPECT_EQ(mode_of(file()), 0600u);
        auto loaded = std::make_unique<TaskTable>();
        LoadReport report;
        std::string error;
        ASSERT_TRUE(charge_planifs(folder(), *loaded, report, error)) << error;
        EXPECT_EQ(format_schedule(*loaded), bytes) << "a leftover was loaded instead";
        if (temp_left) {
            ASSERT_TRUE(sauve_planifs(folder(), *loaded, error)) << error;
            EXPECT_EQ(file_names(dir.path()), ScheduleFileName);
            EXPECT_EQ(read_file(file()), bytes);
        }
    }

    void report(const std::string& how) const {
        std::cout << how << ": kill tries " << tries << ", mid-save " << mid_save << ", old whole "
                  << old_whole << ", new whole " << new_whole << ", torn " << torn << "\n";
        EXPECT_EQ(torn, 0);
    }

    const TempDir& dir;
    std::string full_bytes, short_bytes;
    int tries = 0, mid_save = 0, old_whole = 0, new_whole = 0, torn = 0;
};

// The traced saving process: loads, changes, stops itself, then saves once.
[[noreturn]] void traced_save(const std::string& folder) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(5);
    auto loaded = std::make_unique<TaskTable>();
    LoadReport load;
    std::string error;
    if (!charge_planifs(folder, *loaded, load, error)) ::_exit(2);
    const auto next = changed(*loaded);
    ::raise(SIGSTOP);  // from here on the test counts the system calls
    ::_exit(sauve_planifs(folder, *next, error) ? 0 : 1);
}

// Runs a traced save and kills it on its `kill_at`-th stop at the entry or
// exit of a system call (never, when negative). `stops` counts the stops seen.
std::string trace_save(const std::string& folder, int kill_at, int& stops) {
    stops = 0;
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) traced_save(folder);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFSTOPPED(status) || WSTOPSIG(status) != SIGSTOP) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 5 ? "no ptrace" : "did not stop";
    }
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int deliver = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, pid, nullptr, deliver) != 0) break;
        deliver = 0;
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? "finished" : "save failed";
        if (WIFSIGNALED(status)) return "died of signal " + std::to_string(WTERMSIG(status));
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            deliver = WSTOPSIG(status);  // not ours: pass it on
            continue;
        }
        if (stops++ == kill_at) break;
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return "killed";
}

// Every step of a save, one kill per system call boundary: deterministic,
// whatever the speed of the build or the machine.
TEST(StoreCrash, KilledAtEverySystemCallOfASaveLeavesTheOldOrTheNewFile) {
    TempDir dir(fast_folder());
    KillTally tally(dir);
    int stops = 0;
    const std::string whole = trace_save(tally.folder(), -1, stops);
    if (whole == "no ptrace") GTEST_SKIP() << "system calls cannot be traced here";
    ASSERT_EQ(whole, "finished");
    ASSERT_EQ(read_file(tally.file()), tally.short_bytes);
    ASSERT_GT(stops, 8);

    // Sweeps over all the stops, from both tables, until there are 120 kills.
    int killed = 0;
    for (int round = 0; killed < 120; ++round) {
        for (int k = 0; k < stops; ++k) {
            SCOPED_TRACE("round " + std::to_string(round) + ", stop " + std::to_string(k));
            const std::string before = read_file(tally.file());
            const std::string after_save = tally.other();
            int seen = 0;
            // A sanitizer build may make a system call fewer; a save that
            // ends before its stop is then checked like a killed one.
            const std::string end = trace_save(tally.folder(), k, seen);
            ASSERT_TRUE(end == "killed" || end == "finished") << end;
            if (end == "killed") ++killed;
            tally.check(before, after_save);
            if (HasFatalFailure()) return;
        }
    }
    tally.report("at system calls (" + std::to_string(stops) + " stops a save)");
    RecordProperty("syscall_kills", killed);
    RecordProperty("syscall_mid_save_kills", tally.mid_save);
    // The temporary file exists for several of the save's system calls.
    EXPECT_GE(tally.mid_save, tally.tries / 10);
    EXPECT_GT(tally.old_whole, 0);
    EXPECT_GT(tally.new_whole, 0);
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

TEST(StoreFullDisk, SaveFailsAndKeepsTheOldFile) {
    const std::size_t new_size = format_schedule(*old_table()).size();
    struct Case {
        const char* name;
        DiskFull how;
        std::size_t room;
    };
    const std::vector<Case> cases = {
        {"not a byte fits", DiskFull::FileSize, 0},
        {"half the file fits", DiskFull::FileSize, new_size / 2},
        {"all but one byte fits", DiskFull::FileSize, new_size - 1},
        {"a full file system", DiskFull::Tmpfs, 0},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        const std::string skipped = expect_save_refused(tc.how, tc.room);
        if (!skipped.empty()) std::cout << tc.name << ": skipped, " << skipped << "\n";
        EXPECT_TRUE(tc.how == DiskFull::Tmpfs || skipped.empty()) << skipped;
    }
}

}  // namespace
