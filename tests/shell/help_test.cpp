#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <cstring>

#include "shell/f_help.h"
#include "shell/window_fixture.h"

using namespace psf;
using namespace psf::test;

namespace {

TEST(Help, TheTextExactlyAndTheWindowsGeometry) {
    const std::string text = HelpText;
    EXPECT_EQ(text.size(), 1379u);
    int lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos;
         at = text.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 30);
    EXPECT_TRUE(text.ends_with("memorize this retrieving task.\r\n"));
    EXPECT_NE(text.find("already in the \r\ndestination"), std::string::npos);
    EXPECT_NE(text.find("The retrieving  will be start automatically once a day."),
              std::string::npos);
    EXPECT_NE(text.find("one ore many characters"), std::string::npos);

    Fixture f;
    f.window->m_aide->trigger();
    f_help* help = help_window();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->windowTitle(), "Help");
    EXPECT_FALSE(help->isModal());
    EXPECT_EQ(help->size(), QSize(440, 342));
    EXPECT_EQ(help->minimumSize(), help->maximumSize()) << "not resizable";
    EXPECT_FALSE(help->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(help->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(help->Text1->geometry(), QRect(8, 8, 425, 281));
    EXPECT_EQ(help->Command1->text(), "Ok");
    EXPECT_EQ(help->Command1->geometry(), QRect(168, 304, 105, 25));
    QString shown = QString::fromUtf8(HelpText);
    shown.replace("\r\n", "\n");
    EXPECT_EQ(help->Text1->toPlainText().toStdString(), shown.toStdString());
    EXPECT_EQ(help->Text1->verticalScrollBar()->value(), 0) << "shown from its first line";
}

TEST(Help, OneWindowAtATimeAndTypingDoesNotLast) {
    Fixture f;
    f.window->m_aide->trigger();
    f_help* first = help_window();
    ASSERT_NE(first, nullptr);
    f.window->m_aide->trigger();
    EXPECT_EQ(help_window(), first) << "never two help windows";
    EXPECT_EQ(f.window->findChildren<f_help*>().size(), 1);

    first->Text1->insertPlainText("typed");
    first->Command1->click();
    ASSERT_TRUE(wait_until([] { return help_window() == nullptr; }, 2000)) << "Ok discards it";
    f.window->m_aide->trigger();
    ASSERT_NE(help_window(), nullptr);
    EXPECT_FALSE(help_window()->Text1->toPlainText().contains("typed"));

    // Quitting closes it too.
    f.window->quit_now();
    ASSERT_TRUE(wait_until([] { return help_window() == nullptr; }, 2000));
}

TEST(Help, AboutBox) {
    Fixture f;
    f.window->m_apropos->trigger();
    ASSERT_EQ(f.answers.said.size(), 1u);
    EXPECT_EQ(f.answers.said[0].title, "About");
    EXPECT_EQ(f.answers.said[0].text, "Picsifter v2.0");
    EXPECT_EQ(f.answers.said[0].icon, editor::Icon::Information);
    EXPECT_EQ(f.answers.said[0].buttons, editor::Buttons::Ok);
}

}  // namespace
