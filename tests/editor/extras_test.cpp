// A task's extras through Schedule, Edit, Delete and Reset, kept in step with
// the schedule file in a real data folder.
#include <gtest/gtest.h>

#include <sstream>

#include "editor/editor.h"
#include "store/schedule_file.h"
#include "support/memory_grid.h"
#include "support/table.h"
#include "support/temp_dir.h"

using namespace psf;
using namespace psf::editor;
namespace fs = std::filesystem;

namespace {

struct FolderHost : EditorHost {
    psf::test::TempDir dir;
    std::string backup, extras_backup;  // from the last load

    bool drive_ready(const std::string&) const override { return true; }
    std::string drive_folder(const std::string& d) const override { return d; }
    bool folder_exists(const std::string&) const override { return true; }
    bool save(const TaskTable& table, std::string& error) override {
        return sauve_planifs(dir.str() + "/", table, error, backup, extras_backup);
    }
    Stamp now() const override { return {"2026/03/05", "09:05"}; }
    std::string file(const char* name) const {
        return fs::exists(dir / name) ? psf::test::read_file(dir / name) : "-";
    }
    LoadReport load(TaskTable& table) {
        LoadReport report;
        std::string error;
        EXPECT_TRUE(charge_planifs(dir.str() + "/", table, report, error)) << error;
        backup = report.backup;
        extras_backup = report.extras.backup;
        return report;
    }
};

std::string shown(const TaskExtras& e) {
    std::string kinds;
    for (const auto& k : e.kinds) kinds += (kinds.empty() ? "" : ",") + k;
    return kinds + (e.modern ? ";1;" : ";0;") + (e.srcset_all ? "all" : "largest");
}

struct Fixture {
    TaskTable table;
    MemoryGrid gri;
    FolderHost host;
    TaskEditor ed{table, gri, host, "/", "/"};

    Outcome schedule(const std::string& title, TaskExtras extras) {
        ed.Text1_Change(title);
        ed.Text2_Change("http://h/");
        EXPECT_TRUE(ed.Extras_Change(std::move(extras)));
        return ed.Command2_Click();
    }
};

TEST(Extras, KeptInStepWithTheScheduleFile) {
    Fixture f;
    for (const auto& r : psf::test::read_table("editor/extras.txt", 6)) {
        std::string got;
        const std::string planifs = f.host.file(ScheduleFileName);
        if (r[0] == "schedule") {
            TaskExtras e{{}, r[3] == "1", r[4] == "all"};
            std::istringstream kinds(r[2]);
            for (std::string k; kinds >> k;) e.kinds.push_back(k);
            EXPECT_FALSE(f.schedule(r[1], std::move(e)).message) << r.where;
        } else if (r[0] == "edit" || r[0] == "delete" || r[0] == "reset") {
            f.ed.m_reinit_Click();
            f.gri.setRow(r[1].empty() ? 1 : std::stoi(r[1]));
            if (r[0] != "reset") r[0] == "edit" ? f.ed.Command4_Click() : f.ed.Command3_Click();
            if (r[0] != "delete") got = shown(f.ed.state().Extras);
        } else {
            if (r[0] == "damage") psf::test::write_file(f.host.dir / ExtrasFileName, r[1]);
            if (r[0] == "old") fs::remove(f.host.dir / ExtrasFileName);
            const LoadReport report = f.host.load(f.table);
            EXPECT_EQ(report.clean(), r[0] != "damage") << r.where;
            std::string error;
            EXPECT_TRUE(f.host.save(f.table, error)) << error;
            const std::string& backup = report.extras.backup;
            EXPECT_EQ(backup.empty() ? r[1] : psf::test::read_file(backup), r[1]) << r.where;
            EXPECT_EQ(f.host.file(ScheduleFileName), planifs) << r.where;
        }
        if (got.empty()) got = f.host.file(ExtrasFileName);
        EXPECT_EQ(got, r[5]) << r.where;
    }
}

TEST(Extras, TwoHundredTasks) {
    Fixture f;
    for (int n = 1; n <= MaxTasks; ++n)
        ASSERT_FALSE(f.schedule(std::to_string(n), {{"png"}}).message);
    const std::string full = f.host.file(ExtrasFileName);
    EXPECT_TRUE(f.schedule("201", {{"png"}}).message);
    EXPECT_EQ(f.host.file(ExtrasFileName), full);
    TaskTable back;
    EXPECT_TRUE(f.host.load(back).clean());
    EXPECT_EQ(back.extras, f.table.extras);
}

}  // namespace
