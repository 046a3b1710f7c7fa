// Menus, the start-in-tray marker, the quit question and a desktop without a
// notification area (the offscreen platform has none).
#include <gtest/gtest.h>

#include <QMenuBar>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>

#include "shell/window_fixture.h"
#include "support/process.h"

using namespace psf;
using namespace psf::test;

namespace {

TEST(Menus, EntriesAndCaptions) {
    Fixture f;
    f_psf& w = *f.window;
    std::vector<std::string> bar;
    for (QAction* a : w.menuBar()->actions()) bar.push_back(a->text().toStdString());
    EXPECT_EQ(bar, (std::vector<std::string>{"&File", "&Window", "&Options", "&?"}))
        << "the tray's menu is not on the bar";
    struct Case {
        QMenu* menu;
        std::vector<std::string> entries;
    };
    const std::vector<Case> cases = {
        {w.m_fichier, {"Quit"}},
        {w.m_fenetre, {"Reset", "Minimize"}},
        {w.m_options, {"&Start in the task bar"}},
        {w.m_interro, {"Help...", "&About..."}},
        {w.mPopupSys, {"&Restore", " &Quit"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.menu->objectName().toStdString());
        std::vector<std::string> got;
        for (QAction* a : tc.menu->actions()) {
            got.push_back(a->text().toStdString());
            EXPECT_TRUE(a->shortcut().isEmpty());
        }
        EXPECT_EQ(got, tc.entries);
    }
    EXPECT_EQ(w.mPopupSys->title(), "&SysTRay");
    EXPECT_TRUE(w.m_tb->isCheckable());
}

TEST(Menus, StartInTheTaskBarKeepsFileAndMarkInStep) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    const fs::path marker = f.folder + "pref1.txt";
    EXPECT_FALSE(f.window->m_tb->isChecked());
    struct Step {
        bool blocked;  // a non-empty folder in the marker's place: neither written nor removed
        bool ticked;
        const char* said;
    };
    for (const Step& step :
         {Step{false, true, ""}, Step{false, false, ""}, Step{true, false, "could not be saved"},
          Step{false, true, ""}, Step{true, true, "could not be removed"}}) {
        if (step.blocked || fs::is_directory(marker)) fs::remove_all(marker);
        if (step.blocked) fs::create_directories(marker / "keep");
        f.window->m_tb->trigger();
        EXPECT_EQ(f.window->m_tb->isChecked(), step.ticked);
        EXPECT_EQ(fs::is_regular_file(marker), step.ticked && !step.blocked);
        EXPECT_TRUE(!fs::is_regular_file(marker) || read_file(marker) == "\"1\"\r\n");
        const std::string said = f.answers.said.empty() ? "" : f.answers.said.back().text;
        f.answers.said.clear();
        EXPECT_NE(said.find(step.said), std::string::npos) << said;
        EXPECT_EQ(said.empty(), !*step.said);
    }
}

TEST(Quit, QuestionAnsweredNoKeepsTheWindowAndYesEndsIt) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.answers.answer_no = true;
    f.window->m_quitter->trigger();
    ASSERT_EQ(f.answers.said.size(), 1u);
    const editor::Message& m = f.answers.said[0];
    EXPECT_EQ(m.title, "Picsifter");
    EXPECT_EQ(m.text,
              "Do you realy want to quit Picsifter ?\r\nSome schedule tasks will not be started.");
    EXPECT_EQ(m.icon, editor::Icon::Question);
    EXPECT_EQ(m.buttons, editor::Buttons::YesNo);
    EXPECT_TRUE(f.window->isVisible());
    EXPECT_TRUE(f.window->Timer1->isActive());

    f.answers.answer_no = false;
    f.window->mPopExit->trigger();
    EXPECT_EQ(f.answers.said.size(), 2u);
    EXPECT_FALSE(f.window->isVisible());
    EXPECT_FALSE(f.window->Timer1->isActive()) << "no task starts after the quit";
}

TEST(Quit, SignalsAndSessionEndAskNothing) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->quit_now();
    EXPECT_TRUE(f.answers.said.empty());
    EXPECT_FALSE(f.window->isVisible());

    Fixture g;  // a signal while the quit question is open ends the program too
    ASSERT_EQ(g.window->startup(), StartResult::Shown);
    g.answers.while_open = [&] { g.window->quit_now(); };
    g.window->m_quitter->trigger();
    EXPECT_TRUE(wait_until([&] { return !g.window->isVisible(); }, 5000));
}

TEST(NoTray, MarkerIgnoredAndMinimisingNeverHides) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable())
        << "this test needs no notification area";
    Fixture f;
    fs::create_directories(f.folder);
    write_file(f.folder + "pref1.txt", "\"1\"\r\n");
    EXPECT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_TRUE(f.window->m_tb->isChecked());
    EXPECT_TRUE(f.window->isVisible());
    f.window->m_tache->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(f.window->isVisible()) << "a hidden window could not be reached";
}

// Under a real X display (tray_start.sh runs these): a notification area
// that appears, goes and comes back while the window runs.
TEST(RealDisplay, TheWindowStaysReachableAsTheTrayComesAndGoes) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs X: see tray_start.sh";
    const std::vector<std::string> trayer = {QStandardPaths::findExecutable("trayer").toStdString(),
                                             "--edge",
                                             "top",
                                             "--widthtype",
                                             "pixel",
                                             "--width",
                                             "200",
                                             "--height",
                                             "24"};
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "no tray yet";
    const DeepStart start;
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_TRUE(folder_in_sight(*f.window));
    f_psf& w = *f.window;
    auto icon_shown = [&] { return w.in_tray() && !w.tray()->geometry().isEmpty(); };
    auto minimise = [&] {
        w.restore();
        w.m_tache->trigger();
        QApplication::processEvents();
    };

    auto tray = std::make_unique<Child>(trayer);
    EXPECT_TRUE(wait_until(icon_shown, 5000)) << "the icon appears with the tray";
    minimise();
    EXPECT_TRUE(wait_until([&] { return w.isHidden(); }, 2000)) << "in the tray";
    tray.reset();
    EXPECT_TRUE(wait_until([&] { return w.isVisible(); }, 5000)) << "the tray went: back";
    minimise();
    EXPECT_FALSE(w.isHidden()) << "no tray to come back from: only minimised";
    tray = std::make_unique<Child>(trayer);
    EXPECT_TRUE(wait_until(icon_shown, 5000)) << "the icon comes back with the tray";
}

}  // namespace
