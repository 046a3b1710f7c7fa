#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include "support/full_disk.h"
#include "support/table.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace psf;
using namespace psf::test;

TEST(AtomicFile, Table) {
    for (const TableRow& r : read_table("platform/atomic_file.txt", 6)) {
        TempDir dir;
        if (r[0] == "file") write_file(dir / "t", "old");
        if (r[0] == "folder") fs::create_directory(dir / "t");
        write_file(dir / "outside", "out");
        if (r[0] == "link") fs::create_symlink(dir / "outside", dir / ".tmp");
        AtomicFile file;
        EXPECT_EQ(file.open(dir.path(), r[0] == "link" ? ".tmp" : ".tmp-XXXXXX", 0600,
                            Durability::Flushed) &&
                      (r[2] == "0" || (file.write("older") && file.restart())) &&
                      file.write("new") && file.commit("t", r[1] == "1"),
                  r[3] == "1")
            << r.where;
        EXPECT_EQ(fs::is_regular_file(dir / "t") ? read_file(dir / "t") : "-", r[4]) << r.where;
        EXPECT_EQ(file_names(dir.path()), r[5]) << r.where;
    }
}
