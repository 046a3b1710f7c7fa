#include <gtest/gtest.h>

#include <functional>

#include "editor_fixture.h"

using namespace psf;
using namespace psf::editor;
using psf::editor::test::EditorFixture;

namespace {

TEST(EditorEvents, NavigationDepthFollowsTheOptionAndTheLevelsList) {
    using Step = std::function<void(TaskEditor&)>;
    const Step no = [](TaskEditor& e) { e.Option3_Click(0); };
    const Step yes = [](TaskEditor& e) { e.Option3_Click(1); };
    const auto level = [](int position) {
        return Step([position](TaskEditor& e) { e.Combo1_Click(position); });
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        int depth;
    } cases[] = {
        {"level 3 while No", {level(2)}, 0},
        {"level 3, then Yes", {level(2), yes}, 3},
        {"Yes, then level 4", {yes, level(3)}, 4},
        {"Yes on level 1 by default", {yes}, 1},
        {"back to No", {yes, level(1), no}, 0},
        {"a level outside the list is ignored", {yes, level(1), level(4), level(-1)}, 2},
    };
    for (const auto& c : cases) {
        EditorFixture f;
        for (const auto& step : c.steps) step(f.ed);
        EXPECT_EQ(f.ed.state().LinkDepth, c.depth) << c.name;
    }
}

TEST(EditorEvents, ValidationStoresTrimmedTextsEvenWhenTheRuleFails) {
    EditorFixture f;
    f.ed.Text3_Change(2, "  a.b  ");
    f.ed.Text4_Change(0, " ok* ");
    f.ed.Text5_Change("  bob ");
    f.ed.Text6_Change(" secret ");
    EXPECT_EQ(f.ed.state().UserName, "") << "typing alone changes no current value";

    EXPECT_EQ(f.ed.Text3_Validate(2).size(), 1u);
    EXPECT_TRUE(f.ed.Text4_Validate(0).empty());
    f.ed.Text5_Validate();
    f.ed.Text6_Validate();
    EXPECT_EQ(f.ed.state().IncludePatterns[2][0], "a.b");
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
    EXPECT_EQ(f.ed.state().Dir1, "/home/u/pics");
    EXPECT_EQ(f.ed.state().DestinationFolder, "/home/u/pics");

    EXPECT_TRUE(f.ed.Drive1_Change("/media/usb"));
    EXPECT_EQ(f.ed.state().Drive1, "/media/usb");
    EXPECT_EQ(f.ed.state().Dir1, "/media/usb");
    EXPECT_EQ(f.ed.state().DestinationFolder, "/media/usb");
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

    f.fill_all("t", "u");
    f.ed.Text4_Change(0, "typed, not validated");
    const Outcome out = f.ed.m_reinit_Click();
    EXPECT_TRUE(out.focus_Text1);
    EXPECT_EQ(f.ed.state(), defaults_on("/media/usb", "/media/usb/x"));
    const EditorState& s = f.ed.state();
    EXPECT_EQ(s.IntervalIndex, 2);
    EXPECT_EQ(s.Combo2, 2);
    EXPECT_EQ(s.ExistingImagePolicy, 1);
    EXPECT_EQ(s.FolderLayout, 1);
    EXPECT_EQ(s.Check1, (std::array<bool, 7>{true, true, true, true, true, true, true}));
}

TEST(EditorBusy, DisablesTheFiveCommandsAndEnablesThemAllAfterwards) {
    EditorFixture f;
    f.schedule("one");
    f.ed.Command4_Click();
    EXPECT_FALSE(f.ed.state().Command3.Enabled);

    f.ed.set_busy(true);
    const auto& s = f.ed.state();
    for (const ControlState* c : {&s.Command2, &s.Command3, &s.Command4, &s.Command6, &s.m_reinit})
        EXPECT_FALSE(c->Enabled);
    EXPECT_FALSE(f.ed.m_reinit_Click().focus_Text1);
    EXPECT_EQ(s.Text1, "one") << "Reset does nothing while busy";
    f.ed.Text1_Change("two");
    f.ed.Command2_Click();
    EXPECT_EQ(f.table.TaskCount, 1) << "Schedule does nothing while busy";

    f.ed.set_busy(false);
    for (const ControlState* c : {&s.Command2, &s.Command3, &s.Command4, &s.Command6, &s.m_reinit})
        EXPECT_TRUE(c->Enabled);
    EXPECT_EQ(s.Text1, "two") << "the loaded values stay";
}

}  // namespace
