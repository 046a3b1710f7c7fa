// Menus, the start-in-tray marker, the quit question, help and about, and a
// desktop without a notification area (the offscreen platform has none).
#include <gtest/gtest.h>

#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include "shell/f_help.h"
#include "shell/window_fixture.h"
#include "support/process.h"

using namespace psf;
using namespace psf::test;

namespace {

// Without a notification area the marker is ignored and minimising never
// hides; then "Start in the task bar" keeps file and mark in step.
TEST(Menus, BarAndStartInTheTaskBarKeepingFileAndMarkInStep) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "needs no notification area";
    Fixture f;
    QStringList bar;
    for (QAction* a : f.window->menuBar()->actions()) bar << a->text();
    EXPECT_EQ(bar.join(',').toStdString(), "&File,&Window,&Options,&?") << "no tray menu there";
    const fs::path marker = f.folder + "pref1.txt";
    fs::create_directories(f.folder);
    write_file(marker, "\"1\"\r\n");
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->m_tache->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(f.window->m_tb->isChecked() && f.window->isVisible());
    for (const auto& r : read_table("shell/marker.txt", 3)) {
        if (r[0] == "yes" || fs::is_directory(marker)) fs::remove_all(marker);
        if (r[0] == "yes") fs::create_directories(marker / "keep");
        f.window->m_tb->trigger();
        EXPECT_EQ(f.window->m_tb->isChecked(), r[1] == "yes") << r.where;
        EXPECT_EQ(fs::is_regular_file(marker), r[1] == "yes" && r[0] == "no") << r.where;
        EXPECT_TRUE(!fs::is_regular_file(marker) || read_file(marker) == "\"1\"\r\n");
        const std::string said = f.answers.take();
        EXPECT_TRUE(said.empty() == r[2].empty() && said.find(r[2]) != said.npos) << said;
    }
}

// Asked from the menu: tests/data/shell/quit.txt. A signal or the session's
// end asks nothing, even while the question is open.
TEST(Quit, QuestionAnsweredNoKeepsTheWindowAndYesEndsIt) {
    Fixture f, g, h;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    play(f.window.get(), "shell/quit.txt", &f.answers);
    const editor::Message& m = f.answers.last;
    EXPECT_TRUE(m.title == "Picsifter" && m.icon == editor::Icon::Question &&
                m.buttons == editor::Buttons::YesNo);
    ASSERT_EQ(g.window->startup(), StartResult::Shown);
    g.window->quit_now();
    EXPECT_TRUE(g.answers.said.empty() && !g.window->isVisible());
    ASSERT_EQ(h.window->startup(), StartResult::Shown);
    h.answers.while_open = [&] { h.window->quit_now(); };
    h.window->m_quitter->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.window->isVisible(); }, 5000));
}

// One help window at a time, its text with CR LF line ends; nothing typed
// lasts, and quitting closes it.
TEST(Help, TheTextExactlyOneWindowAtATimeAndTypingDoesNotLast) {
    QString text = QString::fromStdString(read_file(PICSIFTER_TEST_DATA "/shell/help.txt"));
    EXPECT_EQ(QString::fromUtf8(HelpText), QString(text).replace("\n", "\r\n"));
    Fixture f;
    for (int i = 0; i < 2; ++i) {
        f.window->m_aide->trigger();
        f.window->m_aide->trigger();
        f_help* help = help_window();
        ASSERT_EQ(f.window->findChildren<f_help*>(), QList<f_help*>{help}) << "never two";
        play(help, "shell/help_window.txt");
        EXPECT_FALSE(help->windowFlags() &
                     (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        EXPECT_EQ(help->Text1->toPlainText(), text);
        EXPECT_EQ(help->Text1->verticalScrollBar()->value(), 0) << "shown from its first line";
        help->Text1->insertPlainText("typed");
        i ? f.window->quit_now() : help->Command1->click();
        ASSERT_TRUE(QTest::qWaitFor([] { return help_window() == nullptr; }, 2000));
    }
    f.window->m_apropos->trigger();
    const editor::Message& m = f.answers.last;
    EXPECT_TRUE(m.title == "About" && m.text == "Picsifter v2.0" &&
                m.icon == editor::Icon::Information && m.buttons == editor::Buttons::Ok);
}

// Under a real X display (tray_start.sh runs these): a notification area
// that appears, goes and comes back while the window runs.
TEST(RealDisplay, TheWindowStaysReachableAsTheTrayComesAndGoes) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs X: see tray_start.sh";
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "no tray yet";
    const DeepStart start;
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_TRUE(start.in_sight(*f.window));
    f_psf& w = *f.window;
    auto icon_shown = [&] { return w.in_tray() && !w.tray()->geometry().isEmpty(); };
    auto minimise = [&] { w.restore(), w.m_tache->trigger(), QApplication::processEvents(); };
    auto tray = [] {
        return std::make_unique<Child>(
            std::vector{QStandardPaths::findExecutable("trayer").toStdString()});
    };
    auto trayer = tray();
    EXPECT_TRUE(QTest::qWaitFor(icon_shown, 5000)) << "the icon appears with the tray";
    minimise();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.isHidden(); }, 2000)) << "in the tray";
    trayer.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.isVisible(); }, 5000)) << "the tray went: back";
    minimise();
    EXPECT_FALSE(w.isHidden()) << "no tray to come back from: only minimised";
    trayer = tray();
    EXPECT_TRUE(QTest::qWaitFor(icon_shown, 5000)) << "the icon comes back with the tray";
}

}  // namespace
