// The program `picsifter` as a process, on the offscreen platform.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <thread>

#include "platform/app_data.h"
#include "support/process.h"
#include "support/temp_dir.h"

using namespace psf::test;
namespace fs = std::filesystem;

namespace {

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(Program, OneWindowPerDataFolderAndSignalsEndItCleanly) {
    TempDir home;
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + home.str(),
                                          "QT_QPA_PLATFORM=offscreen"};
    const fs::path lock = home / "Psf/picsifter.lock";
    fs::create_directories(home / "Psf");
    write_file(home / "Psf/planifs.txt", "");

    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        Child first({PICSIFTER_WINDOW_PATH}, env);
        ASSERT_TRUE(eventually([&] { return fs::exists(lock); }, std::chrono::seconds(20)))
            << "the window takes the data folder's lock";

        // A second start hands over to the first and ends at once.
        Child second({PICSIFTER_WINDOW_PATH}, env);
        EXPECT_EQ(second.wait(std::chrono::seconds(20)), 0);
        EXPECT_EQ(first.wait(std::chrono::milliseconds(0)), -1) << "the first one keeps running";

        // The runner is refused while the window holds the folder.
        auto cli = run_process({PICSIFTER_CLI_PATH, "due"}, {}, std::chrono::seconds(20), env);
        EXPECT_EQ(cli.exit_code, 3);
        EXPECT_NE(cli.err.find("in use by the Picsifter window"), std::string::npos) << cli.err;

        first.signal(sig);
        EXPECT_EQ(first.wait(std::chrono::seconds(2)), 0) << "no question on a signal";
        EXPECT_FALSE(fs::exists(lock)) << "the lock goes with the window";
        EXPECT_EQ(read_file(home / "Psf/planifs.txt"), "");
    }
}

}  // namespace
