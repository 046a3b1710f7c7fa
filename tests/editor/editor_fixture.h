// An editor over an in-memory grid, with a host whose drives and folders a
// test lists and whose save writes a real schedule file into a temporary folder.
#pragma once

#include <map>
#include <set>
#include <string>

#include "editor/editor.h"
#include "store/schedule_file.h"
#include "support/temp_dir.h"

namespace psf::editor::test {

class FakeHost : public EditorHost {
  public:
    std::map<std::string, std::string> drives{{"/", "/home/u"}, {"/media/usb", "/media/usb"}};
    std::set<std::string> folders{"/home/u", "/home/u/pics", "/media/usb", "/media/usb/x"};
    std::string fail_with;  // when set, every save fails with it
    int saves = 0;
    psf::test::TempDir dir;

    bool drive_ready(const std::string& drive) const override { return drives.count(drive) > 0; }
    std::string drive_folder(const std::string& drive) const override { return drives.at(drive); }
    bool folder_exists(const std::string& folder) const override {
        return folders.count(folder) > 0;
    }
    bool save(const TaskTable& table, std::string& error) override {
        ++saves;
        if (!fail_with.empty()) {
            error = fail_with;
            return false;
        }
        return sauve_planifs(data_folder(), table, error);
    }
    Stamp now() const override { return {"2026/03/05", "09:05"}; }

    std::string data_folder() const { return dir.str() + "/"; }
    std::string file() const { return psf::test::read_file(dir / "planifs.txt"); }
};

struct EditorFixture {
    TaskTable table;
    MemoryGrid gri;
    FakeHost host;
    TaskEditor ed{table, gri, host, "/", "/home/u"};

    // Types a title and an address and schedules them.
    Outcome schedule(const std::string& title, const std::string& address = "http://h/") {
        ed.Text1_Change(title);
        ed.Text2_Change(address);
        return ed.Command2_Click();
    }

    // Every control away from its default.
    void fill_all(const std::string& title, const std::string& user) {
        ed.Text1_Change(title);
        ed.Text2_Change("https://site/a,b.htm");
        ed.Option3_Click(1);
        ed.Combo1_Click(1);
        ed.Text5_Change(user);
        ed.Text5_Validate();
        ed.Text6_Change("pw");
        ed.Text6_Validate();
        ed.Option1_Click(2);
        ed.Drive1_Change("/media/usb");
        ed.Dir1_Change("/media/usb/x");
        ed.Option2_Click(1);
        ed.Option4_Click(2);
        ed.Combo2_Click(0);
        ed.Combo5_Click(7);
        ed.Combo6_Click(3);
        ed.Combo7_Click(6);
        ed.Check1_Click(5, false);
        ed.Text3_Change(1, "cat*");
        ed.Text3_Validate(1);
        ed.Combo3_Click(1, 2);
        ed.Text4_Change(3, "x?");
        ed.Text4_Validate(3);
        ed.Combo4_Click(3, 1);
    }

    std::vector<std::string> grid_titles() const {
        std::vector<std::string> titles;
        for (int r = 1; r < gri.Rows(); ++r) titles.push_back(gri.TextMatrix(r, 0));
        return titles;
    }
    std::vector<std::string> table_titles() const {
        std::vector<std::string> titles;
        for (int r = 1; r <= table.TaskCount; ++r) titles.push_back(table.at(r, Title));
        return titles;
    }
    std::vector<std::string> file_titles() const {
        TaskTable back;
        LoadReport report;
        std::string error;
        charge_planifs(host.data_folder(), back, report, error);
        std::vector<std::string> titles;
        for (int r = 1; r <= back.TaskCount; ++r) titles.push_back(back.at(r, Title));
        return titles;
    }
};

}  // namespace psf::editor::test
