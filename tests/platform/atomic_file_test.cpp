// The file writer's own cases, those its users' tests do not reach.
#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace psf;
using namespace psf::test;

TEST(AtomicFile, Table) {
    struct Row {
        const char* name;
        const char* planted;  // "file" or "folder" at the target, "link" at the temporary's name
        bool replace, restart, ok;
        const char* target;  // its content after, "-" when it is no file
        const char* files;   // every file in the folder after
    };
    const Row rows[] = {
        {"replaces", "file", true, false, true, "new", "outside,t,"},
        {"restart forgets", "", true, true, true, "new", "outside,t,"},
        {"taken name kept", "file", false, false, false, "old", "outside,t,"},
        {"target a folder", "folder", true, false, false, "-", "outside,"},
        {"link at temporary", "link", true, false, false, "-", "outside,"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string planted = row.planted;
        if (planted == "file") write_file(dir / "t", "old");
        if (planted == "folder") fs::create_directory(dir / "t");
        write_file(dir / "outside", "out");
        if (planted == "link") fs::create_symlink(dir / "outside", dir / ".tmp");
        AtomicFile file;
        const bool ok = file.open(dir.path(), planted == "link" ? ".tmp" : ".tmp-XXXXXX", 0600,
                                  Durability::Flushed) &&
                        (!row.restart || (file.write("older") && file.restart())) &&
                        file.write("new") && file.commit(dir / "t", row.replace);
        EXPECT_EQ(ok, row.ok) << row.name;
        EXPECT_EQ(fs::is_regular_file(dir / "t") ? read_file(dir / "t") : "-", row.target)
            << row.name;
        std::string files;
        for (const std::string& f : list_files(dir.path())) files += f + ",";
        EXPECT_EQ(files, row.files) << row.name;
    }
}
