#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <filesystem>

#include "platform/app_data.h"
#include "support/temp_dir.h"

using namespace psf;

namespace {

// The holder name must be this executable's: a lock whose name does not
// match its live process counts as left behind by a reused pid.
const std::string Self = std::filesystem::read_symlink("/proc/self/exe").filename().string();

TEST(DataFolderLock, OneHolderAtATime) {
    test::TempDir dir;
    const std::string folder = dir.str() + "/";
    {
        DataFolderLock first(folder, Self);
        ASSERT_EQ(first.state(), LockState::Taken);
        DataFolderLock second(folder, RunnerLockHolder);
        EXPECT_EQ(second.state(), LockState::HeldByRunner);
        EXPECT_EQ(second.holder_pid(), static_cast<long>(getpid()));
    }
    DataFolderLock again(folder, Self);
    EXPECT_EQ(again.state(), LockState::Taken) << "released with its holder";

    DataFolderLock nowhere(dir.str() + "/missing/", Self);
    EXPECT_EQ(nowhere.state(), LockState::Unusable);
}

TEST(DataFolderLock, LockFilesLeftBehindAreTakenOverLiveOnesAreNot) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const std::string me = std::to_string(getpid()) + "\n" + Self + "\n\n";
    struct Case {
        const char* name;
        std::string content;
        int age_s;
        bool unreadable, held_open;  // held_open: a process keeps Qt's lock on the file
        LockState expected;
    };
    const std::vector<Case> cases = {
        {"stale pid", std::to_string(child) + "\n" + RunnerLockHolder + "\n\n", 0, false, false,
         LockState::Taken},
        {"live pid", me, 60, false, false, LockState::HeldByRunner},
        {"empty", "", 60, false, false, LockState::Taken},
        {"garbage", "\x01\xFFnot a lock\n", 60, false, false, LockState::Taken},
        {"unreadable", "x", 60, true, false, LockState::Taken},
        {"empty, just written", "", 0, false, false, LockState::HeldByRunner},
        {"empty, still held", "", 60, false, true, LockState::HeldByRunner},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        test::TempDir dir;
        const auto file = dir / "picsifter.lock";
        test::write_file(file, tc.content);
        std::filesystem::last_write_time(
            file, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(tc.age_s));
        if (tc.unreadable) ::chmod(file.c_str(), 0);
        const int fd = tc.held_open ? ::open(file.c_str(), O_RDONLY) : -1;
        ASSERT_TRUE(!tc.held_open || (fd >= 0 && ::flock(fd, LOCK_EX) == 0));
        DataFolderLock lock(dir.str() + "/", Self);
        EXPECT_EQ(lock.state(), tc.expected);
        if (fd >= 0) ::close(fd);
    }
}

TEST(AppData, LocationsFollowTheXdgRules) {
    EXPECT_EQ(program_folder(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
    const passwd* entry = getpwuid(getuid());
    const std::string own = entry ? std::string(entry->pw_dir) + "/.local/share" : "";
    struct Case {
        const char *xdg, *home, *expected;  // nullptr: unset; expected nullptr: the user's own
    };
    const std::vector<Case> cases = {
        {"/tmp/somewhere-else", "/h", "/tmp/somewhere-else"},
        {"relative/data", "/h", "/h/.local/share"},
        {"", "/h", "/h/.local/share"},
        {nullptr, nullptr, nullptr},
        {nullptr, "/", nullptr},
        {nullptr, "relative", nullptr},
    };
    const char* old_xdg = getenv("XDG_DATA_HOME");
    const char* old_home = getenv("HOME");
    const std::string saved_xdg = old_xdg ? old_xdg : "", saved_home = old_home ? old_home : "";
    auto put = [](const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::string(tc.xdg ? tc.xdg : "(unset)") + " " +
                     (tc.home ? tc.home : "(unset)"));
        put("XDG_DATA_HOME", tc.xdg);
        put("HOME", tc.home);
        const std::string found = app_data_location();
        EXPECT_EQ(found, tc.expected ? tc.expected : own);
        EXPECT_FALSE(found.starts_with("/.local")) << "never a folder at the root";
    }
    put("XDG_DATA_HOME", old_xdg ? saved_xdg.c_str() : nullptr);
    put("HOME", old_home ? saved_home.c_str() : nullptr);
}

}  // namespace
