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
    EXPECT_EQ(DataFolderLock(folder, Self).state(), LockState::Taken) << "released with its holder";
    EXPECT_EQ(DataFolderLock(folder + "missing/", Self).state(), LockState::Unusable);
}

TEST(DataFolderLock, LockFilesLeftBehindAreTakenOverLiveOnesAreNot) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const std::string me = std::to_string(getpid()) + "\n" + Self + "\n\n";
    const std::string gone = std::to_string(child) + "\n" + RunnerLockHolder + "\n\n";
    enum How { Plain, Unreadable, HeldOpen };  // HeldOpen: a process keeps Qt's lock on it
    const std::tuple<std::string, int, How, LockState> cases[] = {
        // content, age in seconds, how the file is kept, the lock's state
        {gone, 0, Plain, LockState::Taken},
        {me, 60, Plain, LockState::HeldByRunner},
        {"", 60, Plain, LockState::Taken},
        {"\x01\xFFnot a lock\n", 60, Plain, LockState::Taken},
        {"x", 60, Unreadable, LockState::Taken},
        {"", 0, Plain, LockState::HeldByRunner},  // empty, just written
        {"", 60, HeldOpen, LockState::HeldByRunner},
    };
    for (const auto& [content, age_s, how, expected] : cases) {
        SCOPED_TRACE(content + " " + std::to_string(age_s) + " " + std::to_string(how));
        test::TempDir dir;
        const auto file = dir / "picsifter.lock";
        test::write_file(file, content);
        std::filesystem::last_write_time(
            file, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age_s));
        if (how == Unreadable) ::chmod(file.c_str(), 0);
        const int fd = how == HeldOpen ? ::open(file.c_str(), O_RDONLY) : -1;
        ASSERT_TRUE(how != HeldOpen || (fd >= 0 && ::flock(fd, LOCK_EX) == 0));
        EXPECT_EQ(DataFolderLock(dir.str() + "/", Self).state(), expected);
        if (fd >= 0) ::close(fd);
    }
}

TEST(AppData, LocationsFollowTheXdgRules) {
    EXPECT_EQ(program_folder(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
    const std::string own = std::string(getpwuid(getuid())->pw_dir) + "/.local/share";
    const char *xdg = getenv("XDG_DATA_HOME"), *home = getenv("HOME");
    const std::string saved[2] = {xdg ? xdg : "", home ? home : ""};
    const std::tuple<const char*, const char*, std::string> cases[] = {
        // XDG_DATA_HOME, HOME ("-": unset), the location
        {"/tmp/elsewhere", "/h", "/tmp/elsewhere"},
        {"relative/data", "/h", "/h/.local/share"},
        {"", "/h", "/h/.local/share"},
        {"-", "-", own},
        {"-", "/", own},
        {"-", "relative", own},
    };
    for (const auto& [xdg_value, home_value, expected] : cases) {
        for (auto [name, value] : {std::pair{"XDG_DATA_HOME", xdg_value}, {"HOME", home_value}})
            std::string(value) == "-" ? unsetenv(name) : setenv(name, value, 1);
        EXPECT_EQ(app_data_location(), expected) << xdg_value << " " << home_value;
    }
    setenv("XDG_DATA_HOME", saved[0].c_str(), 1);
    setenv("HOME", saved[1].c_str(), 1);
}

}  // namespace
