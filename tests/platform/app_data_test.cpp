#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/app_data.h"
#include "support/table.h"
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
    for (const auto& r : test::read_table("platform/lock_files.txt", 4)) {
        test::TempDir dir;
        const auto file = dir / "picsifter.lock";
        test::write_file(file, r[0] == "me" ? std::to_string(getpid()) + "\n" + Self + "\n\n"
                               : r[0] == "gone"
                                   ? std::to_string(child) + "\n" + RunnerLockHolder + "\n\n"
                                   : r[0]);
        std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() -
                                                   std::chrono::seconds(std::stoi(r[1])));
        if (r[2] == "unreadable") ::chmod(file.c_str(), 0);
        const int fd = r[2] == "held" ? ::open(file.c_str(), O_RDONLY) : -1;
        ASSERT_TRUE(r[2] != "held" || (fd >= 0 && ::flock(fd, LOCK_EX) == 0));
        EXPECT_EQ(DataFolderLock(dir.str() + "/", Self).state(),
                  r[3] == "taken" ? LockState::Taken : LockState::HeldByRunner)
            << r.where;
        if (fd >= 0) ::close(fd);
    }
}

TEST(AppData, LocationsFollowTheXdgRules) {
    EXPECT_EQ(program_folder(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
    const std::string own = std::string(getpwuid(getuid())->pw_dir) + "/.local/share";
    const char *xdg = getenv("XDG_DATA_HOME"), *home = getenv("HOME");
    const std::string saved[2] = {xdg ? xdg : "", home ? home : ""};
    for (const auto& r : test::read_table("platform/data_home.txt", 3)) {
        for (auto [name, value] : {std::pair{"XDG_DATA_HOME", r[0]}, {"HOME", r[1]}})
            value == "-" ? unsetenv(name) : setenv(name, value.c_str(), 1);
        EXPECT_EQ(app_data_location(), r[2] == "own" ? own : r[2]) << r.where;
    }
    setenv("XDG_DATA_HOME", saved[0].c_str(), 1);
    setenv("HOME", saved[1].c_str(), 1);
}

}  // namespace
