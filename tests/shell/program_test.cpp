// The program `picsifter` as a process, on the offscreen platform.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>

#include "shell/window_fixture.h"
#include "support/process.h"

using namespace psf::test;

namespace {

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
        ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(lock); }, 20'000))
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
