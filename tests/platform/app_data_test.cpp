#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/app_data.h"
#include "support/temp_dir.h"

using namespace psf;

namespace {

// The holder name must be this executable's: a lock whose name does not
// match its live process counts as left behind by a reused pid.
const std::string Self = std::filesystem::read_symlink("/proc/self/exe").filename().string();

TEST(DataFolderLock, OneHolderAtATimeAndStaleLocksAreTakenOver) {
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

    test::TempDir stale;
    // A lock file left by a process that is gone.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    test::write_file(stale / "picsifter.lock",
                     std::to_string(child) + "\n" + RunnerLockHolder + "\n\n");
    DataFolderLock taker(stale.str() + "/", Self);
    EXPECT_EQ(taker.state(), LockState::Taken);

    DataFolderLock nowhere(dir.str() + "/missing/", Self);
    EXPECT_EQ(nowhere.state(), LockState::Unusable);
}

TEST(AppData, LocationsFollowTheEnvironment) {
    EXPECT_EQ(program_folder(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
    const char* old = getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_DATA_HOME", "/tmp/somewhere-else", 1);
    EXPECT_EQ(app_data_location(), "/tmp/somewhere-else");
    if (old)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

}  // namespace
