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
    const std::string own = std::string(getpwuid(getuid())->pw_dir) + "/.local/share";
    const char *xdg = getenv("XDG_DATA_HOME"), *home = getenv("HOME");
    const std::string saved[2] = {xdg ? xdg : "", home ? home : ""};
    struct Case {
        const char *xdg, *home;  // "-": unset
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/tmp/elsewhere", "/h", "/tmp/elsewhere"},
        {"relative/data", "/h", "/h/.local/share"},
        {"", "/h", "/h/.local/share"},
        {"-", "-", own},
        {"-", "/", own},
        {"-", "relative", own},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::string(tc.xdg) + " " + tc.home);
        for (auto [name, value] : {std::pair{"XDG_DATA_HOME", tc.xdg}, {"HOME", tc.home}})
            std::string(value) == "-" ? unsetenv(name) : setenv(name, value, 1);
        EXPECT_EQ(app_data_location(), tc.expected);
    }
    setenv("XDG_DATA_HOME", saved[0].c_str(), 1);
    setenv("HOME", saved[1].c_str(), 1);
}

}  // namespace
