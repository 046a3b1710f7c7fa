// The editor over an in-memory grid, with a host whose drives and folders a
// test lists and whose save writes a real schedule file into a temporary folder.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "editor/editor.h"
#include "store/schedule_file.h"
#include "support/table.h"
#include "support/temp_dir.h"

using namespace psf;
using namespace psf::editor;

namespace {

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
        if (!fail_with.empty()) error = fail_with;
        return fail_with.empty() && sauve_planifs(dir.str() + "/", table, error);
    }
    Stamp now() const override { return {"2026/03/05", "09:05"}; }
    std::string file() const { return psf::test::read_file(dir / "planifs.txt"); }
};

// Every control away from its default.
const std::string AllControls =
    "Text2 https://site/a,b.htm;Check1 0 0;Option3 1;Combo1 1;Text6 pw;Option1 2;Drive1 /media/usb;"
    "Dir1 /media/usb/x;Option2 1;Option4 2;Combo2 0;Combo5 7;Combo6 3;Combo7 6;Check1 5 0;"
    "Text3 1 cat*;Combo3 1 2;Text4 3 x?;Combo4 3 1";

using Titles = std::vector<std::string>;

struct EditorFixture {
    TaskTable table;
    MemoryGrid gri;
    FakeHost host;
    TaskEditor ed{table, gri, host, "/", "/home/u"};

    // Plays `steps`, ";" apart: a control's name, then its member and value or
    // its text. Boxes 3 to 6 are typed and left; "Text4_Change" only types;
    // "fail <error>" makes every save fail.
    void act(const std::string& steps) {
        std::istringstream all(steps);
        for (std::string step; std::getline(all, step, ';');) {
            const std::size_t sp = step.find(' ');
            play(step.substr(0, sp), sp == std::string::npos ? "" : step.substr(sp + 1));
        }
    }
    void play(const std::string& name, const std::string& text) {
        const std::string second = text.substr(std::min(text.size(), text.find(' ') + 1));
        const int a = std::atoi(text.c_str()), b = std::atoi(second.c_str());
        if (name == "Text1") return ed.Text1_Change(text);
        if (name == "Text2") return ed.Text2_Change(text);
        if (name == "Text3") return ed.Text3_Change(a, second), void(ed.Text3_Validate(a));
        if (name == "Text4") return ed.Text4_Change(a, second), void(ed.Text4_Validate(a));
        if (name == "Text4_Change") return ed.Text4_Change(a, second);
        if (name == "Text5") return ed.Text5_Change(text), ed.Text5_Validate();
        if (name == "Text6") return ed.Text6_Change(text), ed.Text6_Validate();
        if (name == "Option1") return ed.Option1_Click(a);
        if (name == "Option2") return ed.Option2_Click(a);
        if (name == "Option3") return ed.Option3_Click(a);
        if (name == "Option4") return ed.Option4_Click(a);
        if (name == "Combo1") return ed.Combo1_Click(a);
        if (name == "Combo2") return ed.Combo2_Click(a);
        if (name == "Combo3") return ed.Combo3_Click(a, b);
        if (name == "Combo4") return ed.Combo4_Click(a, b);
        if (name == "Combo5") return ed.Combo5_Click(a);
        if (name == "Combo6") return ed.Combo6_Click(a);
        if (name == "Combo7") return ed.Combo7_Click(a);
        if (name == "Check1") return ed.Check1_Click(a, b != 0);
        if (name == "Drive1") return void(ed.Drive1_Change(text));
        if (name == "Dir1") return ed.Dir1_Change(text);
        if (name == "fail") return void(host.fail_with = text);
        ADD_FAILURE() << "no control " << name;
    }

    Outcome schedule(const std::string& title, const std::string& address = "http://h/") {
        act("Text1 " + title + ";Text2 " + address);
        return ed.Command2_Click();
    }

    // A table of `count` tasks "t1".., shown in the grid and saved.
    void load(int count) {
        for (int i = 1; i <= count; ++i) {
            Task& t = table.rows[static_cast<std::size_t>(i)];
            t = {};
            for (int c = 1; c <= FieldCount; ++c) t[static_cast<std::size_t>(c)] = "1";
            t[Title] = "t" + std::to_string(i);
            t[StartAddress] = "http://h/" + t[Title];
            t[DestinationFolder] = "/home/u";
            t[LastRunDate] = "2020/01/01";
            t[LastRunTime] = "10:00";
        }
        table.TaskCount = static_cast<std::int16_t>(count);
        fill_grid(gri, table);
        std::string error;
        ASSERT_TRUE(host.save(table, error)) << error;
        host.saves = 0;
    }

    Titles grid_row(int row) const {
        Titles cells;
        for (int c = 0; c < gri.Cols(); ++c) cells.push_back(gri.TextMatrix(row, c));
        return cells;
    }
    Titles grid_titles() const {
        Titles titles;
        for (int r = 1; r < gri.Rows(); ++r) titles.push_back(gri.TextMatrix(r, 0));
        return titles;
    }
    static Titles titles(const TaskTable& t) {
        Titles out;
        for (int r = 1; r <= t.TaskCount; ++r) out.push_back(t.at(r, Title));
        return out;
    }
    Titles file_titles() const {
        TaskTable back;
        LoadReport report;
        std::string error;
        charge_planifs(host.dir.str() + "/", back, report, error);
        return titles(back);
    }
};

TEST(FieldRules, AddressAndFileNameMessagesInOrder) {
    const std::map<std::string, std::string> texts = {
        {"a", "Please give a valid internet adress"},
        {"dot", "Please don't type a . in a file name"},
        {"slash", "Please don't type a / in a file name"},
        {"backslash", "Please don't type a \\ in a file name"},
        {"wildcard", "a ? can't follow a .   a . can't follow a ?"}};
    for (const auto& r : psf::test::read_table("editor/field_rules.txt", 3)) {
        std::vector<Message> expected, got;
        std::istringstream codes(r[2]);
        for (std::string code; codes >> code;) expected.push_back(error_message(texts.at(code)));
        if (r[0] == "name") got = check_file_name(r[1]);
        if (const auto m = r[0] == "address" ? check_address(r[1]) : std::nullopt) got = {*m};
        EXPECT_EQ(got, expected) << r.where;
    }
}

TEST(EditorEvents, NavigationDepthFollowsTheOptionAndTheLevelsList) {
    const std::pair<const char*, int> cases[] = {
        {"Combo1 2", 0},
        {"Combo1 2;Option3 1", 3},
        {"Option3 1;Combo1 3", 4},
        {"Option3 1", 1},
        {"Option3 1;Combo1 1;Option3 0", 0},
        {"Option3 1;Combo1 1;Combo1 4;Combo1 -1", 2},  // a level outside the list is ignored
    };
    for (const auto& [steps, depth] : cases) {
        EditorFixture f;
        f.act(steps);
        EXPECT_EQ(f.ed.state().LinkDepth, depth) << steps;
    }
}

TEST(EditorEvents, ValidationStoresTrimmedTextsEvenWhenTheRuleFails) {
    EditorFixture f;
    f.ed.Text5_Change("  bob ");
    EXPECT_EQ(f.ed.state().UserName, "") << "typing alone changes no current value";
    f.ed.Text3_Change(2, "  a.b  ");
    EXPECT_EQ(f.ed.Text3_Validate(2).size(), 1u);
    f.act("Text4 0  ok* ;Text5   bob ;Text6  secret ");
    EXPECT_TRUE(f.ed.Text4_Validate(0).empty());
    EXPECT_EQ(f.ed.state().IncludePatterns[2][0], "a.b") << "stored although it fails";
    EXPECT_EQ(f.ed.state().Text3[2], "  a.b  ") << "the box keeps what was typed";
    EXPECT_EQ(f.ed.state().ExcludePatterns[0][0], "ok*");
    EXPECT_EQ(f.ed.state().UserName, "bob");
    EXPECT_EQ(f.ed.state().Password, "secret");
}

TEST(EditorEvents, DriveListMovesTheFolderOnlyToAReadyDrive) {
    EditorFixture f;
    f.ed.Dir1_Change("/home/u/pics");
    EXPECT_FALSE(f.ed.Drive1_Change("/media/cdrom"));
    EXPECT_EQ(f.ed.state().Drive1, "/");
    EXPECT_EQ(f.ed.state().Dir1 + f.ed.state().DestinationFolder, "/home/u/pics/home/u/pics");
    EXPECT_TRUE(f.ed.Drive1_Change("/media/usb"));
    EXPECT_EQ(f.ed.state().Drive1, "/media/usb");
    EXPECT_EQ(f.ed.state().Dir1 + f.ed.state().DestinationFolder, "/media/usb/media/usb");
}

TEST(EditorReset, RestoresEveryDefaultButKeepsTheDriveAndFolderLists) {
    EditorFixture f;
    const auto defaults_on = [](const std::string& drive, const std::string& folder) {
        EditorState s;
        s.Drive1 = drive;
        s.Dir1 = s.DestinationFolder = folder;
        for (auto* table : {&s.IncludePatterns, &s.ExcludePatterns})
            for (auto& row : *table) row[2] = "*";
        return s;
    };
    EXPECT_EQ(f.ed.state(), defaults_on("/", "/home/u")) << "a new editor";
    f.act("Text1 t;Text5 u;" + AllControls + ";Text4_Change 0 typed, not validated");
    EXPECT_TRUE(f.ed.m_reinit_Click().focus_Text1);
    EXPECT_EQ(f.ed.state(), defaults_on("/media/usb", "/media/usb/x"));
    const EditorState& s = f.ed.state();
    EXPECT_EQ(s.IntervalIndex + s.Combo2 + s.ExistingImagePolicy + s.FolderLayout, 6);
    EXPECT_EQ(s.Check1, (std::array<bool, 7>{true, true, true, true, true, true, true}));
}

TEST(EditorBusy, DisablesTheFiveCommandsAndEnablesThemAllAfterwards) {
    EditorFixture f;
    f.schedule("one");
    const auto& s = f.ed.state();
    const auto enabled = [&s] {
        std::string e;
        for (auto* c : {&s.Command2, &s.Command3, &s.Command4, &s.Command6, &s.m_reinit})
            e += c->Enabled ? "1" : "0";
        return e;
    };
    f.ed.enter_busy();
    EXPECT_EQ(enabled(), "00000");
    f.ed.leave_busy();
    f.ed.Command4_Click();
    EXPECT_EQ(enabled(), "10001") << "Edit disables Delete, Edit and Retrieve Now";
    f.ed.enter_busy();
    EXPECT_FALSE(f.ed.m_reinit_Click().focus_Text1);
    EXPECT_EQ(s.Text1, "one") << "Reset does nothing while busy";
    f.schedule("two");
    EXPECT_EQ(f.table.TaskCount, 1) << "Schedule does nothing while busy";
    f.ed.leave_busy();
    EXPECT_EQ(enabled(), "11111");
    EXPECT_EQ(s.Text1, "two") << "the loaded values stay";
}

TEST(Schedule, NewTaskStoresEveryFieldStampsItAndResetsTheEditor) {
    EditorFixture f;
    f.act("Text1  My task ;Text5  bob ;" + AllControls);
    const Outcome out = f.ed.Command2_Click();
    ASSERT_FALSE(out.message) << out.message->text;
    EXPECT_TRUE(out.focus_Text1);
    Task expected{};
    std::istringstream stored(
        " My task |https://site/a,b.htm|2|bob|pw|3|/media/usb/x|2|2|0|7|3|6|0|1|1|1|1|0|1||*|cat*|"
        "jpg||*||*|/media/usb|||*||*||*|x?|gif|2026/03/05|09:05");
    for (std::size_t c = 1; c <= FieldCount; ++c) std::getline(stored, expected[c], '|');
    ASSERT_EQ(f.table.TaskCount, 1);
    EXPECT_EQ(f.table.rows[1], expected);
    EXPECT_EQ(f.grid_row(1),
              (Titles{" My task ", "https://site/a,b.htm", "Yes", "/media/usb/x", "Every 7 days"}))
        << "the first task takes the blank data row";
    EXPECT_EQ(f.file_titles(), Titles{" My task "});
    EXPECT_EQ(f.ed.state().Text1, "");
    EXPECT_EQ(f.ed.state().DestinationFolder, "/media/usb/x") << "the folder list is kept";

    f.schedule("second");
    EXPECT_EQ(f.grid_row(2), (Titles{"second", "http://h/", "No", "/media/usb/x", "On demand"}));
    EXPECT_EQ(f.gri.Rows(), 3);
}

TEST(Schedule, RefusalsChangeNothing) {
    for (const auto& r : psf::test::read_table("editor/refusals.txt", 4)) {
        SCOPED_TRACE(r.where);
        EditorFixture f;
        f.load(std::stoi(r[1]));
        f.act("Text1 new;Text2 http://h/new;" + r[2]);
        const TaskTable table_before = f.table;
        const std::string file_before = f.host.file();
        const EditorState editor_before = f.ed.state();
        const Outcome out = f.ed.Command2_Click();
        EXPECT_EQ(out.message, error_message(r[3]));
        EXPECT_FALSE(out.focus_Text1);
        EXPECT_EQ(f.table.TaskCount, table_before.TaskCount);
        EXPECT_TRUE(f.table.rows == table_before.rows);
        EXPECT_EQ(f.grid_titles(), EditorFixture::titles(table_before));
        EXPECT_EQ(f.gri.TextMatrix(2, 1), "http://h/t2");
        EXPECT_EQ(f.host.file(), file_before);
        EXPECT_EQ(f.ed.state(), editor_before);
    }
}

TEST(Schedule, SameTrimmedTitleUpdatesInPlaceEvenWithAFullTable) {
    EditorFixture f;
    f.load(200);
    EXPECT_FALSE(f.schedule(" t150 ", "http://other/").message);
    EXPECT_EQ(f.table.TaskCount, 200);
    EXPECT_EQ(f.table.at(150, Title) + f.table.at(150, StartAddress), " t150 http://other/");
    EXPECT_EQ(f.table.at(150, LastRunDate) + f.table.at(150, LastRunTime), "2020/01/0110:00");
    EXPECT_EQ(f.gri.Rows(), 201);
    EXPECT_EQ(f.gri.TextMatrix(150, 1), "http://other/");
    EXPECT_EQ(f.host.saves, 1);
    const Outcome other_case = f.schedule("T150");  // letter case makes another task
    EXPECT_EQ(other_case.message, error_message("Number of schedule limited to 200."));
}

TEST(Edit, LoadsWhatScheduleStoredAndWritesNothing) {
    EditorFixture f;
    f.act("Text1 task;Text5 bob;" + AllControls);
    EditorState expected = f.ed.state();
    f.ed.Command2_Click();
    f.ed.Drive1_Change("/");
    EXPECT_FALSE(f.ed.Command4_Click().message);
    expected.Command3.Enabled = expected.Command4.Enabled = expected.Command6.Enabled = false;
    EXPECT_EQ(f.ed.state(), expected);
    EXPECT_EQ(f.host.saves, 1);
    f.schedule("renamed");
    EXPECT_EQ(EditorFixture::titles(f.table), (Titles{"task", "renamed"}));
}

TEST(Edit, ValuesNoControlCanShowLoadAsDefaults) {
    const std::tuple<int, const char*, const char*> cases[] = {
        {ExistingImagePolicy, "7", "1"}, {ExistingImagePolicy, "0", "1"},
        {FolderLayout, "3", "1"},        {FolderLayout, "x", "1"},
        {ScheduleKind, "5", "0"},        {LinkDepth, "5", "0"},
        {IntervalIndex, "9", "2"},       {StartHourIndex, "24", "0"},
        {StartMinuteIndex, "4", "0"},    {DayPeriodIndex, "-1", "0"},
        {IncludeType2, "png", "*"},
    };
    for (const auto& [field, stored, fallback] : cases) {
        EditorState loaded[2];
        for (int i = 0; i < 2; ++i) {
            EditorFixture f;
            f.load(1);
            f.table.rows[1][static_cast<std::size_t>(field)] = i == 0 ? stored : fallback;
            f.act("Text1 other;Text5 u;" + AllControls);  // so that a skipped field shows
            EXPECT_FALSE(f.ed.Command4_Click().message);
            loaded[i] = f.ed.state();
        }
        EXPECT_EQ(loaded[0], loaded[1]) << field << " " << stored;
        EXPECT_EQ(loaded[0].Text1, "t1");
    }
}

TEST(Edit, DriveAndFolderOfTheTask) {
    const std::array<std::string, 4> cases[] = {
        // stored drive and folder, then the drive and folder lists
        {"/media/usb", "/media/usb/x", "/media/usb", "/media/usb/x"},
        {"/media/usb", "/media/usb/gone", "/media/usb", "/media/usb"},
        {"/", "/home/u/gone", "/", "/home/u/pics"},
        {"c:", "C:\\images", "/", "/home/u/pics"},
        {"/mnt/old", "/home/u", "/", "/home/u"},
    };
    for (const auto& [drive, folder, Drive1, Dir1] : cases) {
        SCOPED_TRACE(drive + " " + folder);
        EditorFixture f;
        f.load(1);
        f.table.at(1, Drive) = drive;
        f.table.at(1, DestinationFolder) = folder;
        f.ed.Dir1_Change("/home/u/pics");
        f.ed.Command4_Click();
        EXPECT_EQ(f.ed.state().Drive1, Drive1);
        EXPECT_EQ(f.ed.state().Dir1, Dir1);
        EXPECT_EQ(f.ed.state().DestinationFolder, folder);
        f.ed.Command2_Click();
        EXPECT_EQ(f.table.at(1, DestinationFolder), folder);
        EXPECT_EQ(f.gri.TextMatrix(1, 3), folder);
    }
}

TEST(EditAndDelete, DoNothingWithoutATaskUnderTheCurrentRow) {
    for (const int tasks : {0, 2}) {  // 2: the current row's title cell is empty
        EditorFixture f;
        f.load(tasks);
        if (tasks > 0) {
            f.table.at(2, Title) = "";
            fill_grid(f.gri, f.table);
            f.gri.setRow(2);
        }
        f.ed.Text1_Change("typed");
        const EditorState before = f.ed.state();
        f.ed.Command4_Click();
        EXPECT_EQ(f.ed.state(), before) << tasks;
        f.ed.Command3_Click();
        EXPECT_EQ(f.table.TaskCount, tasks);
        EXPECT_EQ(f.gri.Rows(), std::max(2, tasks + 1));
        EXPECT_EQ(f.host.saves, 0);
    }
}

TEST(Delete, RemovesTheCurrentRowFromTableGridAndFile) {
    const struct {
        int tasks, row;
        std::string fail_with;
        Titles titles;
        int grid_rows;
    } cases[] = {
        {3, 2, "", {"t1", "t3"}, 3},
        {3, 3, "", {"t1", "t2"}, 3},
        {1, 1, "", {}, 2},
        {3, 2, "Read-only file system", {"t1", "t2", "t3"}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.tasks) + " " + std::to_string(c.row) + " " + c.fail_with);
        EditorFixture f;
        f.load(c.tasks);
        f.gri.setRow(c.row);
        f.host.fail_with = c.fail_with;
        EXPECT_EQ(f.ed.Command3_Click().message.has_value(), !c.fail_with.empty());
        EXPECT_EQ(EditorFixture::titles(f.table), c.titles);
        ASSERT_EQ(f.gri.Rows(), c.grid_rows);
        EXPECT_EQ(c.titles.empty() ? f.grid_row(1) : f.grid_titles(),
                  c.titles.empty() ? Titles(5) : c.titles);
        EXPECT_EQ(f.file_titles(), c.titles);
    }
}

TEST(FillGrid, HeadersWidthsAndTheSelection) {
    EditorFixture f;
    f.load(4);
    EXPECT_EQ(f.grid_row(0),
              (Titles{"Title", "Internet Adress", "Navigate", "Destination", "Schedule"}));
    EXPECT_EQ(f.gri.ColWidth(3), 3350);
    EXPECT_EQ(f.gri.Rows(), 5);
    EXPECT_EQ(f.gri.RowSel() * 10 + f.gri.ColSel(), 10);
}

}  // namespace
