// `picsifter-cli list` as a process: a task with extras gets a sixth column.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/temp_dir.h"

namespace {

TEST(List, ExtrasInASixthColumn) {
    psf::test::TempDir home;
    std::filesystem::copy(PICSIFTER_TEST_DATA "/cli/list_extras", home / "Psf");
    const auto r =
        psf::test::run_process({PICSIFTER_CLI_PATH, "list"}, {}, std::chrono::seconds(30),
                               {"XDG_DATA_HOME=" + home.str()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string cells = "\thttp://h/\tNo\t0\tOn demand";
    EXPECT_EQ(r.out, "plain" + cells + "\nmodern" + cells + "\t--modern --srcset all\nkinds" +
                         cells + "\t--types png,svg\n");
}

}  // namespace
