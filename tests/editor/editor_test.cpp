// The editor over an in-memory grid, with a host whose drives and folders a
// test lists and whose save writes a real schedule file into a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "editor/editor.h"
#include "store/schedule_file.h"
#include "support/memory_grid.h"
#include "support/table.h"
#include "support/temp_dir.h"

using namespace psf;
using namespace psf::editor;

namespace {

class FakeHost : public EditorHost {
  public:
    std::map<std::string, std::string> drives{{"/", "/home/u"}, {"/media/usb", "/media/usb"}};
    std::set<std::string> folders{"/home/u", "/home/u/pics", "/media/usb", "/media/usb/x"};
    std::string fail_with;              // when set, every save fails with it
    std::string backup, extras_backup;  // from the last load
    int saves = 0;
    psf::test::TempDir dir;

    bool drive_ready(const std::string& drive) const override { return drives.count(drive) > 0; }
    std::string drive_folder(const std::string& drive) const override { return drives.at(drive); }
    bool folder_exists(const std::string& folder) const override {
        return folders.count(folder) > 0;
    }
    Result<void> save(const TaskTable& table) override {
        ++saves;
        if (!fail_with.empty()) return Error{fail_with};
        const Result<void> saved = sauve_planifs(dir.str() + "/", table, backup, extras_backup);
        if (saved) return saved;
        std::string error = saved.error().text;
        if (const auto at = error.find(dir.str()); at != std::string::npos)
            error.erase(at, dir.str().size());  // files named from the data folder on
        return Error{error};
    }
    Stamp now() const override { return {"2026/03/05", "09:05"}; }
    std::string file(const char* name = ScheduleFileName) const {
        return std::filesystem::is_regular_file(dir / name) ? psf::test::read_file(dir / name)
                                                            : "-";
    }
};

// f(from) .. f(to), `sep` apart.
std::string list(int from, int to, const std::function<std::string(int)>& f,
                 const char* sep = ",") {
    std::string out;
    for (int i = from; i <= to; ++i) out += (i > from ? sep : "") + f(i);
    return out;
}

// Every control away from its default.
const std::string AllControls =
    "Text2 https://site/a,b.htm;Check1 0 0;Option3 1;Combo1 1;Text6 pw;Option1 2;Drive1 /media/usb;"
    "Dir1 /media/usb/x;Option2 1;Option4 2;Combo2 0;Combo5 7;Combo6 3;Combo7 6;Check1 5 0;"
    "Text3 1 cat*;Combo3 1 2;Text4 3 x?;Combo4 3 1";

struct EditorFixture {
    TaskTable table;
    MemoryGrid gri;
    FakeHost host;
    TaskEditor ed{table, gri, host, "/", "/home/u"};

    std::string said;      // what the last command, box or drive change reported
    bool focus = false;    // the last command's request for the title box
    std::string snapshot;  // the table, grid and file at the last "snap"
    EditorState snapshot_state;

    // Plays `script` (see tests/data/editor/scenarios.txt), checks included.
    void act(const std::string& script) {
        std::istringstream all(script);
        for (std::string step; std::getline(all, step, ';');) {
            const std::size_t sp = step.find(' '), eq = step.find('=');
            if (step.starts_with('?'))
                EXPECT_EQ(probe(step.substr(1, eq - 1)), step.substr(eq + 1)) << step;
            else
                play(step.substr(0, sp), sp == std::string::npos ? "" : step.substr(sp + 1));
        }
    }
    void play(const std::string& name, const std::string& text) {
        const std::string second = text.substr(std::min(text.size(), text.find(' ') + 1));
        const int a = std::atoi(text.c_str()), b = std::atoi(second.c_str());
        const auto show = [this](const std::vector<Message>& m) {
            said.clear();
            for (const Message& one : m)
                said += std::string(said.empty() ? "" : " / ") +
                        (one == Message{"Error", one.text, Icon::Warning, Buttons::Ok}
                             ? ""
                             : "(not an error box) ") +
                        one.text;
        };
        const auto show_one = [&](auto m) {
            show(std::vector<Message>(m.has_value(), m.value_or(Message{})));
        };
        const std::map<std::string, Outcome (TaskEditor::*)()> commands{
            {"Schedule", &TaskEditor::Command2_Click},
            {"Edit", &TaskEditor::Command4_Click},
            {"Delete", &TaskEditor::Command3_Click},
            {"Reset", &TaskEditor::m_reinit_Click}};
        const std::map<std::string, void (TaskEditor::*)(int)> clicks{
            {"Option1", &TaskEditor::Option1_Click}, {"Option2", &TaskEditor::Option2_Click},
            {"Option3", &TaskEditor::Option3_Click}, {"Option4", &TaskEditor::Option4_Click},
            {"Combo1", &TaskEditor::Combo1_Click},   {"Combo2", &TaskEditor::Combo2_Click},
            {"Combo5", &TaskEditor::Combo5_Click},   {"Combo6", &TaskEditor::Combo6_Click},
            {"Combo7", &TaskEditor::Combo7_Click}};
        if (name.empty()) return;
        if (clicks.contains(name)) return (ed.*clicks.at(name))(a);
        if (commands.contains(name)) {
            const Outcome out = (ed.*commands.at(name))();
            return show_one(out.message), void(focus = out.focus_Text1);
        }
        if (name == "busy") return ed.set_busy(true);
        if (name == "idle") return ed.set_busy(false);
        if (name == "row") return gri.setRow(a);
        if (name == "snap") return snapshot = everything(), void(snapshot_state = ed.state());
        if (name == "stored")  // task, field, value
            return void(table.at(a, b) =
                            second.substr(std::min(second.size(), second.find(' ') + 1))),
                   fill_grid(gri, table);
        if (name == "Text1") return ed.Text1_Change(text);
        if (name == "Text2") return ed.Text2_Change(text), show_one(ed.Text2_Validate());
        const bool left = !name.ends_with("_Change");  // the box is left, so validated
        if (name.starts_with("Text3"))
            return ed.Text3_Change(a, second), void(left && (show(ed.Text3_Validate(a)), 1));
        if (name.starts_with("Text4"))
            return ed.Text4_Change(a, second), void(left && (show(ed.Text4_Validate(a)), 1));
        if (name.starts_with("Text5"))
            return ed.Text5_Change(text), void(left && (ed.Text5_Validate(), 1));
        if (name == "Text6") return ed.Text6_Change(text), ed.Text6_Validate();
        if (name == "Combo3") return ed.Combo3_Click(a, b);
        if (name == "Combo4") return ed.Combo4_Click(a, b);
        if (name == "Check1") return ed.Check1_Click(a, b != 0);
        if (name == "Drive1") return void(said = ed.Drive1_Change(text) ? "" : "refused");
        if (name == "Dir1") return ed.Dir1_Change(text);
        if (name == "fail") return void(host.fail_with = text);
        if (name == "block") return void(std::filesystem::create_directory(host.dir / text));
        if (name == "Extras") {  // modern, then "all" or not, then the kinds
            std::istringstream words(second);
            std::string k;
            TaskExtras e{{}, a == 1, words >> k && k == "all"};
            e.kinds.assign(std::istream_iterator<std::string>(words), {});
            EXPECT_TRUE(ed.Extras_Change(std::move(e))) << text;
            return;
        }
        if (name == "load" || name == "damage" || name == "old") {  // a fresh load, then a save
            if (name == "damage") psf::test::write_file(host.dir / ExtrasFileName, text);
            if (name == "old") std::filesystem::remove(host.dir / ExtrasFileName);
            const std::string planifs = host.file(), extras = host.file(ExtrasFileName);
            LoadReport report;
            const Result<void> loaded = charge_planifs(host.dir.str() + "/", table, report);
            EXPECT_TRUE(loaded) << loaded.error().text;
            std::tie(host.backup, host.extras_backup) =
                std::tie(report.backup, report.extras.backup);
            said = report.clean() ? "clean" : "not clean";
            const Result<void> saved = host.save(table);
            EXPECT_TRUE(saved) << saved.error().text;
            EXPECT_EQ(host.file(), planifs);
            EXPECT_TRUE(name != "load" || host.file(ExtrasFileName) == extras);
            return;
        }
        if (name == "all") return act(AllControls);
        if (name == "reload") return act("Reset;Text1 other;Text5 u;all;Edit");
        if (name == "refused") return act("snap;Schedule;?focus=0;?unchanged=1;?said=" + text);
        ADD_FAILURE() << "no step " << name;
    }

    std::string probe(const std::string& what) const {
        const EditorState& s = ed.state();
        std::istringstream words(what);
        std::string name;
        int a = 0, b = 0;
        words >> name >> a >> b;
        const auto i = static_cast<std::size_t>(a) % s.Text3.size();  // the four name rows
        std::string enabled, kinds;
        EditorState then = snapshot_state, d;  // the snapshot but for the commands; the defaults
        for (auto c : {&EditorState::Command2, &EditorState::Command3, &EditorState::Command4,
                       &EditorState::Command6, &EditorState::m_reinit})
            enabled += (s.*c).Enabled ? "1" : "0", (then.*c).Enabled = (s.*c).Enabled;
        d.Drive1 = s.Drive1;  // every default but the drive and folder lists
        d.Dir1 = d.DestinationFolder = s.Dir1;
        for (auto* t : {&d.IncludePatterns, &d.ExcludePatterns})
            for (auto& row : *t) row[2] = "*";
        const int policy = s.IntervalIndex + s.Combo2 + s.ExistingImagePolicy + s.FolderLayout;
        for (const std::string& k : s.Extras.kinds) kinds += (kinds.empty() ? "" : ",") + k;
        const std::map<std::string, std::string> probes{
            {"depth", std::to_string(s.LinkDepth)},
            {"user", s.UserName},
            {"password", s.Password},
            {"include", s.IncludePatterns[i][0]},
            {"exclude", s.ExcludePatterns[i][0]},
            {"Text3", s.Text3[i]},
            {"Text1", s.Text1},
            {"Drive1", s.Drive1},
            {"Dir1", s.Dir1},
            {"folder", s.DestinationFolder},
            {"said", said},
            {"focus", focus ? "1" : "0"},
            {"xfile", host.file(ExtrasFileName)},
            {"xbackup", host.extras_backup.empty() ? "" : psf::test::read_file(host.extras_backup)},
            {"xcount", std::to_string(table.extras.size())},
            {"enabled", enabled},
            {"extras",
             kinds + (s.Extras.modern ? " 1 " : " 0 ") + (s.Extras.srcset_all ? "all" : "largest")},
            {"titles", titles(table)},
            {"grid", list(1, gri.Rows() - 1, [&](int r) { return gri.TextMatrix(r, 0); })},
            {"file", file_titles()},
            {"count", std::to_string(table.TaskCount)},
            {"saves", std::to_string(host.saves)},
            {"rows", std::to_string(gri.Rows())},
            {"row", a < gri.Rows() ? grid_row(a) : ""},
            {"stamp", table.at(a, LastRunDate) + " " + table.at(a, LastRunTime)},
            {"selection", std::to_string(gri.RowSel()) + " " + std::to_string(gri.ColSel())},
            {"defaults", s == d && policy == 6 ? "1" : "0"},
            {"state", then == s ? "1" : "0"},
            {"unchanged", snapshot == everything() && snapshot_state == s ? "1" : "0"},
            {"task", task(a)}};
        if (name == "cell") return gri.TextMatrix(a, b);
        return name == "field" ? table.at(a, b) : probes.at(name);
    }

    // The table, the grid and the file, as one text.
    std::string everything() const {
        return list(
                   1, table.TaskCount, [&](int r) { return task(r); }, "/") +
               list(
                   0, gri.Rows() - 1, [&](int r) { return grid_row(r); }, "/") +
               host.file();
    }
    std::string task(int r) const {
        return list(
            1, FieldCount, [&](int c) { return table.at(r, c); }, "|");
    }

    // A table of `count` tasks "t1".., shown in the grid and saved.
    void load(int count) {
        for (int i = 1; i <= count; ++i) {
            Task& t = table.rows[static_cast<std::size_t>(i)];
            t.fill("1");
            std::tie(t[Title], t[StartAddress], t[DestinationFolder], t[LastRunDate],
                     t[LastRunTime]) =
                std::tuple("t" + std::to_string(i), "http://h/t" + std::to_string(i), "/home/u",
                           "2020/01/01", "10:00");
        }
        table.TaskCount = static_cast<std::int16_t>(count);
        fill_grid(gri, table);
        const Result<void> saved = host.save(table);
        ASSERT_TRUE(saved) << saved.error().text;
        host.saves = 0;
    }

    // The cells of a grid row, or the titles in the grid or a table, "," apart.
    std::string grid_row(int row) const {
        return list(0, gri.Cols() - 1, [&](int c) { return gri.TextMatrix(row, c); });
    }
    static std::string titles(const TaskTable& t) {
        return list(1, t.TaskCount, [&](int r) { return t.at(r, Title); });
    }
    std::string file_titles() const {
        TaskTable back;
        LoadReport report;
        return charge_planifs(host.dir.str() + "/", back, report) ? titles(back) : "unreadable";
    }
};

// A row whose task count is "+" goes on with the editor of the row before.
TEST(Editor, Scenarios) {
    for (const char* file : {"editor/scenarios.txt", "editor/extras.txt"}) {
        std::unique_ptr<EditorFixture> f;
        for (const auto& r : psf::test::read_table(file, 3)) {
            SCOPED_TRACE(r.where);
            if (r[1] != "+") f = std::make_unique<EditorFixture>(), f->load(std::stoi(r[1]));
            f->act(r[2]);
        }
    }
}

}  // namespace
