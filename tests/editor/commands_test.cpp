#include <gtest/gtest.h>

#include <functional>

#include "editor_fixture.h"

using namespace psf;
using namespace psf::editor;
using psf::editor::test::EditorFixture;

namespace {

// The 40 fields in column order, separated by "|".
Task fields(std::string_view text) {
    Task t{};
    std::size_t col = 1;
    for (std::size_t bar; (bar = text.find('|')) != std::string_view::npos && col < t.size();
         text.remove_prefix(bar + 1))
        t[col++] = std::string(text.substr(0, bar));
    EXPECT_EQ(col, 40u) << "fields";
    if (col < t.size()) t[col] = std::string(text);
    return t;
}

Task stored_task(const std::string& title) {
    return fields(title + "|http://h/" + title +
                  "|0|||1|/home/u|1|0|2|0|0|0|1|1|1|1|1|1|1||*||*||*||*|/|||*||*||*||*|"
                  "2020/01/01|10:00");
}

// A table of `count` tasks "t1".., shown in the grid and saved.
void load(EditorFixture& f, int count) {
    for (int i = 1; i <= count; ++i)
        f.table.rows[static_cast<std::size_t>(i)] = stored_task("t" + std::to_string(i));
    f.table.TaskCount = static_cast<std::int16_t>(count);
    fill_grid(f.gri, f.table);
    std::string error;
    ASSERT_TRUE(f.host.save(f.table, error)) << error;
    f.host.saves = 0;
}

std::vector<std::string> grid_row(const Grid& gri, int row) {
    std::vector<std::string> cells;
    for (int c = 0; c < gri.Cols(); ++c) cells.push_back(gri.TextMatrix(row, c));
    return cells;
}

TEST(Schedule, NewTaskStoresEveryFieldStampsItAndResetsTheEditor) {
    EditorFixture f;
    f.fill_all(" My task ", " bob ");
    const Outcome out = f.ed.Command2_Click();
    ASSERT_FALSE(out.message) << out.message->text;
    EXPECT_TRUE(out.focus_Text1);

    const Task expected = fields(
        " My task |https://site/a,b.htm|2|bob|pw|3|/media/usb/x|2|2|0|7|3|6|1|1|1|1|1|0|1||*|cat*|"
        "jpg||*||*|/media/usb|||*||*||*|x?|gif|2026/03/05|09:05");
    ASSERT_EQ(f.table.TaskCount, 1);
    EXPECT_EQ(f.table.rows[1], expected);
    EXPECT_EQ(f.gri.Rows(), 2) << "the first task takes the blank data row";
    EXPECT_EQ(grid_row(f.gri, 1),
              (std::vector<std::string>{" My task ", "https://site/a,b.htm", "Yes", "/media/usb/x",
                                        "Every 7 days"}));
    EXPECT_EQ(f.file_titles(), std::vector<std::string>{" My task "});
    EXPECT_EQ(f.ed.state().Text1, "");
    EXPECT_EQ(f.ed.state().DestinationFolder, "/media/usb/x") << "the folder list is kept";

    f.schedule("second");
    EXPECT_EQ(f.gri.Rows(), 3);
    EXPECT_EQ(grid_row(f.gri, 2),
              (std::vector<std::string>{"second", "http://h/", "No", "/media/usb/x", "On demand"}));
}

TEST(Schedule, RefusalsChangeNothing) {
    const std::string quote = "A schedule can't hold a \" character: please remove it from ";
    const struct {
        const char* name;
        int tasks;
        std::function<void(EditorFixture&)> setup;
        std::string text;
    } cases[] = {
        {"blank title", 2, [](EditorFixture& f) { f.ed.Text1_Change("   "); },
         "Please give a title to this schedule"},
        {"upper-case scheme", 2, [](EditorFixture& f) { f.ed.Text2_Change("HTTPS://h/"); },
         "Please give a valid internet adress"},
        {"address after a space", 2, [](EditorFixture& f) { f.ed.Text2_Change(" http://h/"); },
         "Please give a valid internet adress"},
        {"201st task", 200, [](EditorFixture&) {}, "Number of schedule limited to 200."},
        {"quote in the title", 2, [](EditorFixture& f) { f.ed.Text1_Change("a \"b\""); },
         quote + "Title."},
        {"quote in the user", 2,
         [](EditorFixture& f) {
             f.ed.Text5_Change("u\"");
             f.ed.Text5_Validate();
         },
         quote + "User."},
        {"quote in an exclude name", 2,
         [](EditorFixture& f) {
             f.ed.Text4_Change(2, "\"");
             f.ed.Text4_Validate(2);
         },
         quote + "Do not retrieve these images."},
        {"quote in the folder", 2, [](EditorFixture& f) { f.ed.Dir1_Change("/home/\"q\""); },
         quote + "destination directory."},
        {"save fails for a new task", 2,
         [](EditorFixture& f) { f.host.fail_with = "No space left on device"; },
         "The schedules could not be saved: No space left on device"},
        {"save fails for an update", 2,
         [](EditorFixture& f) {
             f.ed.Text1_Change("t2");
             f.host.fail_with = "No space left on device";
         },
         "The schedules could not be saved: No space left on device"},
    };
    for (const auto& c : cases) {
        EditorFixture f;
        load(f, c.tasks);
        f.ed.Text1_Change("new");
        f.ed.Text2_Change("http://h/new");
        c.setup(f);
        const TaskTable table_before = f.table;
        const std::vector<std::string> grid_before = f.grid_titles();
        const std::string file_before = f.host.file();
        const EditorState editor_before = f.ed.state();

        const Outcome out = f.ed.Command2_Click();
        ASSERT_TRUE(out.message) << c.name;
        EXPECT_EQ(*out.message, error_message(c.text)) << c.name;
        EXPECT_FALSE(out.focus_Text1) << c.name;
        EXPECT_EQ(f.table.TaskCount, table_before.TaskCount) << c.name;
        EXPECT_TRUE(f.table.rows == table_before.rows) << c.name;
        EXPECT_EQ(f.grid_titles(), grid_before) << c.name;
        EXPECT_EQ(f.gri.TextMatrix(2, 1), "http://h/t2") << c.name;
        EXPECT_EQ(f.host.file(), file_before) << c.name;
        EXPECT_EQ(f.ed.state(), editor_before) << c.name;
    }
}

TEST(Schedule, SameTrimmedTitleUpdatesInPlaceEvenWithAFullTable) {
    EditorFixture f;
    load(f, 200);
    EXPECT_FALSE(f.schedule(" t150 ", "http://other/").message);
    EXPECT_EQ(f.table.TaskCount, 200);
    EXPECT_EQ(f.table.at(150, Title), " t150 ");
    EXPECT_EQ(f.table.at(150, StartAddress), "http://other/");
    EXPECT_EQ(f.table.at(150, LastRunDate), "2020/01/01");
    EXPECT_EQ(f.table.at(150, LastRunTime), "10:00");
    EXPECT_EQ(f.gri.Rows(), 201);
    EXPECT_EQ(f.gri.TextMatrix(150, 1), "http://other/");
    EXPECT_EQ(f.host.saves, 1);

    const Outcome other_case = f.schedule("T150");  // letter case makes another task
    ASSERT_TRUE(other_case.message);
    EXPECT_EQ(other_case.message->text, "Number of schedule limited to 200.");
}

TEST(Edit, LoadsWhatScheduleStored) {
    EditorFixture f;
    f.fill_all("task", "bob");
    EditorState expected = f.ed.state();
    f.ed.Command2_Click();
    f.ed.Drive1_Change("/");

    const Outcome out = f.ed.Command4_Click();
    EXPECT_FALSE(out.message);
    expected.Command3.Enabled = expected.Command4.Enabled = expected.Command6.Enabled = false;
    EXPECT_EQ(f.ed.state(), expected);
    EXPECT_EQ(f.host.saves, 1) << "Edit writes nothing";

    f.ed.Text1_Change("renamed");
    f.ed.Command2_Click();
    EXPECT_EQ(f.table_titles(), (std::vector<std::string>{"task", "renamed"}));
}

TEST(Edit, ValuesNoControlCanShowLoadAsDefaults) {
    const struct {
        const char* name;
        int field;
        std::string stored, fallback;
    } cases[] = {
        {"policy 7", ExistingImagePolicy, "7", "1"},
        {"policy 0", ExistingImagePolicy, "0", "1"},
        {"layout 3", FolderLayout, "3", "1"},
        {"layout not a number", FolderLayout, "x", "1"},
        {"kind 5", ScheduleKind, "5", "0"},
        {"depth 5", LinkDepth, "5", "0"},
        {"interval 9", IntervalIndex, "9", "2"},
        {"hour 24", StartHourIndex, "24", "0"},
        {"minute 4", StartMinuteIndex, "4", "0"},
        {"day period -1", DayPeriodIndex, "-1", "0"},
        {"unknown type", IncludeType2, "png", "*"},
    };
    for (const auto& c : cases) {
        EditorState loaded[2];
        for (int i = 0; i < 2; ++i) {
            EditorFixture f;
            load(f, 1);
            f.table.rows[1][static_cast<std::size_t>(c.field)] = i == 0 ? c.stored : c.fallback;
            f.fill_all("other", "u");  // away from the defaults, so a skipped field shows
            EXPECT_FALSE(f.ed.Command4_Click().message) << c.name;
            loaded[i] = f.ed.state();
        }
        EXPECT_EQ(loaded[0], loaded[1]) << c.name;
        EXPECT_EQ(loaded[0].Text1, "t1") << c.name;
    }
}

TEST(Edit, DriveAndFolderOfTheTask) {
    const struct {
        const char* name;
        std::string drive, folder;
        std::string Drive1, Dir1;
    } cases[] = {
        {"ready drive, folder there", "/media/usb", "/media/usb/x", "/media/usb", "/media/usb/x"},
        {"ready drive, folder gone", "/media/usb", "/media/usb/gone", "/media/usb", "/media/usb"},
        {"same drive, folder gone", "/", "/home/u/gone", "/", "/home/u/pics"},
        {"unknown drive, folder gone", "c:", "C:\\images", "/", "/home/u/pics"},
        {"unknown drive, folder there", "/mnt/old", "/home/u", "/", "/home/u"},
    };
    for (const auto& c : cases) {
        EditorFixture f;
        load(f, 1);
        f.table.at(1, Drive) = c.drive;
        f.table.at(1, DestinationFolder) = c.folder;
        f.ed.Dir1_Change("/home/u/pics");

        f.ed.Command4_Click();
        EXPECT_EQ(f.ed.state().Drive1, c.Drive1) << c.name;
        EXPECT_EQ(f.ed.state().Dir1, c.Dir1) << c.name;
        EXPECT_EQ(f.ed.state().DestinationFolder, c.folder) << c.name;

        f.ed.Command2_Click();
        EXPECT_EQ(f.table.at(1, DestinationFolder), c.folder) << c.name;
        EXPECT_EQ(f.gri.TextMatrix(1, 3), c.folder) << c.name;
    }
}

TEST(EditAndDelete, DoNothingWithoutATaskUnderTheCurrentRow) {
    const struct {
        const char* name;
        int tasks;
        bool blank_title;
    } cases[] = {
        {"no tasks", 0, false},
        {"empty title cell", 2, true},
    };
    for (const auto& c : cases) {
        EditorFixture f;
        load(f, c.tasks);
        if (c.blank_title) {
            f.table.at(2, Title) = "";
            fill_grid(f.gri, f.table);
            f.gri.setRow(2);
        }
        f.ed.Text1_Change("typed");
        const EditorState before = f.ed.state();

        f.ed.Command4_Click();
        EXPECT_EQ(f.ed.state(), before) << c.name;
        f.ed.Command3_Click();
        EXPECT_EQ(f.table.TaskCount, c.tasks) << c.name;
        EXPECT_EQ(f.gri.Rows(), std::max(2, c.tasks + 1)) << c.name;
        EXPECT_EQ(f.host.saves, 0) << c.name;
    }
}

TEST(Delete, RemovesTheCurrentRowFromTableGridAndFile) {
    const struct {
        const char* name;
        int tasks, row;
        std::string fail_with;
        std::vector<std::string> titles;
        int grid_rows;
    } cases[] = {
        {"middle of three", 3, 2, "", {"t1", "t3"}, 3},
        {"last of three", 3, 3, "", {"t1", "t2"}, 3},
        {"only task", 1, 1, "", {}, 2},
        {"save fails", 3, 2, "Read-only file system", {"t1", "t2", "t3"}, 4},
    };
    for (const auto& c : cases) {
        EditorFixture f;
        load(f, c.tasks);
        f.gri.setRow(c.row);
        f.host.fail_with = c.fail_with;
        const Outcome out = f.ed.Command3_Click();
        EXPECT_EQ(out.message.has_value(), !c.fail_with.empty()) << c.name;
        EXPECT_EQ(f.table_titles(), c.titles) << c.name;
        ASSERT_EQ(f.gri.Rows(), c.grid_rows) << c.name;
        if (c.titles.empty()) {
            EXPECT_EQ(grid_row(f.gri, 1), std::vector<std::string>(5)) << c.name;
            EXPECT_EQ(f.host.file(), "") << c.name;
        } else {
            EXPECT_EQ(f.grid_titles(), c.titles) << c.name;
            EXPECT_EQ(f.file_titles(), c.titles) << c.name;
        }
    }
}

TEST(FillGrid, ShowsEachStoredTask) {
    EditorFixture f;
    load(f, 4);
    f.table.at(1, LinkDepth) = "2";
    f.table.at(2, ScheduleKind) = "2";
    f.table.at(2, DayPeriodIndex) = "6";
    f.table.at(3, ScheduleKind) = "2";
    f.table.at(3, DayPeriodIndex) = "9";
    f.table.at(4, ScheduleKind) = "1";
    f.table.at(4, IntervalIndex) = "x";

    MemoryGrid gri;
    fill_grid(gri, f.table);
    ASSERT_EQ(gri.Rows(), 5);
    EXPECT_EQ(grid_row(gri, 0), (std::vector<std::string>{"Title", "Internet Adress", "Navigate",
                                                          "Destination", "Schedule"}));
    EXPECT_EQ(gri.ColWidth(3), 3350);
    EXPECT_EQ(gri.TextMatrix(1, 2), "Yes");
    EXPECT_EQ(gri.TextMatrix(2, 2), "No");
    EXPECT_EQ(gri.TextMatrix(2, 4), "Every 7 days");
    EXPECT_EQ(gri.TextMatrix(3, 4), "") << "no such day period";
    EXPECT_EQ(gri.TextMatrix(4, 4), "Many times a day");
    EXPECT_EQ(gri.RowSel(), 1);
    EXPECT_EQ(gri.ColSel(), 0);
}

}  // namespace
