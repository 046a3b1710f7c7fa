#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>

#include "platform/app_data.h"
#include "platform/curl_transfer.h"
#include "shell/f_psf.h"
#include "shell/window_fixture.h"
#include "store/schedule_file.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace psf;
using namespace psf::shell;
using psf::test::TempDir;
using psf::test::TestServer;
using namespace psf::test;
namespace fs = std::filesystem;

namespace {

TEST(Window, ControlsCaptionsAndGeometryInTwips) {
    Fixture f;
    struct Case {
        const char* name;
        const char* caption;
        int left, top, width, height;
    };
    const std::vector<Case> cases = {
        {"Label1", "Title :", 240, 270, 495, 255},
        {"Text2", "", 4320, 240, 5175, 285},
        {"Frame4", "Navigate in the web site ?", 240, 720, 2535, 855},
        {"Option3(1)", "Yes, on", 120, 540, 975, 255},
        {"Frame2", "Images already existing ", 240, 2640, 2535, 1095},
        {"Option1(2)", "create a new version", 120, 780, 2295, 255},
        {"Frame3", "destination directory", 3000, 720, 3735, 3015},
        {"Option2(1)", "Create a tree from this directory", 120, 2520, 3495, 375},
        {"Frame5", "Schedule", 6960, 720, 2775, 3495},
        {"Check1(0)", "Monday", 1440, 2180, 1290, 255},
        {"Check1(6)", "Sunday", 1440, 3200, 1290, 255},
        {"Frame7", "Retrieve only these images :", 240, 3840, 3135, 1700},
        {"Text4(3)", "", 165, 1320, 1935, 285},
        {"Combo3(2)", "", 2280, 960, 735, 315},
        {"Command2", "Schedule", 7200, 4440, 2295, 375},
        {"Label4", "", 6960, 5040, 2775, 300},
        {"Frame6", "Schedules", 120, 5640, 9975, 2175},
        {"gri", "", 120, 240, 9735, 1335},
        {"Command6", "Retrieve Now !", 3840, 1680, 2055, 375},
        {"Command4", "Edit", 7200, 1680, 2295, 375},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        auto* w = f.window->findChild<QWidget*>(tc.name);
        ASSERT_NE(w, nullptr);
        QString caption;
        if (auto* l = qobject_cast<QLabel*>(w)) caption = l->text();
        if (auto* g = qobject_cast<QGroupBox*>(w)) caption = g->title();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) caption = b->text();
        EXPECT_EQ(caption.toStdString(), tc.caption);
        EXPECT_EQ(w->geometry(), QRect(tc.left / 15, tc.top / 15, tc.width / 15, tc.height / 15));
    }
    // As drawn, at any scale factor: no control crosses a line of its frame.
    for (QGroupBox* frame : f.window->findChildren<QGroupBox*>()) {
        if (frame->title().isEmpty()) continue;  // Frame1's top line is off the client
        const QImage shot = frame->grab().toImage();
        const double scale = shot.devicePixelRatio();
        const int x = shot.width() - static_cast<int>(6 * scale);  // right of every control
        const int ground = qGray(shot.pixel(x, shot.height() / 2));
        auto line = [&](int y, int step) {
            while (y >= 0 && y < shot.height() && std::abs(qGray(shot.pixel(x, y)) - ground) < 12)
                y += step;
            return y / scale;
        };
        const double top = line(0, 1), bottom = line(shot.height() - 1, -1);
        for (QWidget* c : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            EXPECT_TRUE(c->geometry().top() > top && c->geometry().bottom() < bottom)
                << c->objectName().toStdString() << " in " << frame->objectName().toStdString();
    }
    EXPECT_EQ(f.window->client->size(), QSize(677, 527));
    EXPECT_EQ(f.window->Text6->echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.window->Combo2->count(), 5);
    EXPECT_EQ(f.window->Combo5->itemText(23), "23");
    EXPECT_FALSE(f.window->Combo7->isEditable());
    EXPECT_EQ(f.window->Timer1->interval(), 60000);
    EXPECT_TRUE(f.window->Timer1->isActive());
    EXPECT_EQ(f.window->Label4->font().pointSizeF(), 9.75);
    EXPECT_EQ(f.window->Drive1->itemText(0), "/");
}

// The stops Tab makes from the title box to "Edit", and back with Shift+Tab:
// an option group is one stop, and so is the grid, whose selection stays put.
TEST(Window, TabWalksTheFormWithTheGridAsOneStop) {
    const QString stops = QString(
        "Text1 Text2 Option3(0) Combo1 Text5 Text6 Option1(0) Drive1 Dir1 Option2(0) Text3(0) "
        "Combo3(0) Text3(1) Combo3(1) Text3(2) Combo3(2) Text3(3) Combo3(3) Text4(0) Combo4(0) "
        "Text4(1) Combo4(1) Text4(2) Combo4(2) Text4(3) Combo4(3) Option4(0) Combo2 Combo5 "
        "Combo6 Combo7 Check1(0) Check1(1) Check1(2) Check1(3) Check1(4) Check1(5) Check1(6) "
        "Command2 gri Command3 Command6 Command4");
    for (int tasks : {1, 3}) {
        SCOPED_TRACE(tasks);
        std::vector<Task> stored;
        for (int i = 1; i <= tasks; ++i)
            stored.push_back(stored_task("T" + std::to_string(i), "http://h/", "/tmp"));
        Fixture f(stored);
        ASSERT_EQ(f.window->startup(), StartResult::Shown);
        f.window->grid().setRow(tasks);
        f.window->Text2->setText("http://h/");
        emit f.window->Text2->textEdited("http://h/");
        f.window->activateWindow();
        f.window->Text1->setFocus();
        ASSERT_TRUE(wait_until([&] { return f.window->Text1->hasFocus(); }, 2000));
        auto walk = [&](Qt::Key key, Qt::KeyboardModifier modifier, QWidget* to) {
            QStringList seen = {QApplication::focusWidget()->objectName()};
            for (int i = 0; i < 60 && QApplication::focusWidget() != to; ++i) {
                QKeyEvent press(QEvent::KeyPress, key, modifier);
                QApplication::sendEvent(QApplication::focusWidget(), &press);
                seen << QApplication::focusWidget()->objectName();
            }
            return seen;
        };
        auto text = [](const QStringList& names) { return names.join(' ').toStdString(); };
        EXPECT_EQ(text(walk(Qt::Key_Tab, Qt::NoModifier, f.window->Command4)), stops.toStdString());
        EXPECT_EQ(f.window->grid().Row(), tasks);
        QStringList back = walk(Qt::Key_Backtab, Qt::ShiftModifier, f.window->Text1);
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(text(back), stops.toStdString()) << "Shift+Tab goes back the same way";
        EXPECT_EQ(f.window->grid().Row(), tasks);
        EXPECT_TRUE(f.answers.said.empty()) << f.answers.said.front().text;
    }
}

TEST(Window, StartUpFillsTheGridFromTheFile) {
    struct Case {
        const char* name;
        int tasks;
        int rows;
    };
    for (const Case& tc : {Case{"no file", 0, 2}, Case{"one task", 1, 2}, Case{"three", 3, 4}}) {
        SCOPED_TRACE(tc.name);
        std::vector<Task> tasks;
        for (int i = 0; i < tc.tasks; ++i)
            tasks.push_back(stored_task("T" + std::to_string(i + 1), "http://h/", "/tmp"));
        const DeepStart start;  // the default destination
        Fixture f(tasks);
        ASSERT_EQ(f.window->startup(), StartResult::Shown);
        EXPECT_TRUE(f.answers.said.empty());
        EXPECT_EQ(f.window->data_folder(), f.folder);
        EXPECT_TRUE(fs::is_directory(f.folder));
        EXPECT_EQ(f.window->grid().Rows(), tc.rows);
        EXPECT_EQ(f.window->gri->horizontalHeaderItem(1)->text(), "Internet Adress");
        EXPECT_EQ(f.window->grid().TextMatrix(1, 0), tc.tasks ? "T1" : "");
        EXPECT_EQ(f.window->grid().Row(), 1);
        EXPECT_EQ(f.window->gate().TimerTicks(), 0);
        EXPECT_TRUE(f.window->isVisible());
        auto* model = static_cast<QFileSystemModel*>(f.window->Dir1->model());
        EXPECT_EQ(model->filePath(f.window->Dir1->currentIndex()).toStdString(), start.folder);
        EXPECT_TRUE(folder_in_sight(*f.window));
    }
}

TEST(Window, UnusableDataFolderWarnsOnceAndKeepsWorkingWithoutSaving) {
    TempDir place;
    psf::test::write_file(place / "data", "a file, not a folder");
    Fixture f({}, (place / "data").string());
    // The fallback beside the program cannot be made either.
    psf::test::write_file(f.home / "program", "also a file");
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    ASSERT_EQ(f.answers.said.size(), 1u);
    EXPECT_NE(f.answers.said[0].text.find("will not be saved"), std::string::npos);
    EXPECT_EQ(f.window->data_folder(), "");

    f.window->Text1->setText("Cats");
    emit f.window->Text1->textEdited("Cats");
    f.window->Text2->setText("http://c/");
    emit f.window->Text2->textEdited("http://c/");
    f.window->Command2->click();
    EXPECT_EQ(f.answers.said.size(), 1u) << f.answers.said.back().text;
    EXPECT_EQ(f.window->tasks().TaskCount, 1);
    EXPECT_EQ(f.window->grid().TextMatrix(1, 0), "Cats");
}

TEST(Window, RefusedWhileACommandLineRunHoldsTheFolder) {
    Fixture f;
    fs::create_directories(f.folder);
    const std::string self = fs::read_symlink("/proc/self/exe").filename().string();
    DataFolderLock runner(f.folder, self);
    ASSERT_EQ(runner.state(), LockState::Taken);
    EXPECT_EQ(f.window->startup(), StartResult::DataFolderInUse);
    ASSERT_EQ(f.answers.said.size(), 1u);
    EXPECT_EQ(f.answers.said[0].text,
              "The data folder is in use by a command-line run; start Picsifter again when the "
              "run has ended.");
}

// Leaving a box for the title box checks it: a failed check says so once and
// keeps the focus there. "Reset" empties the box and moves the focus to the
// title without a check, whatever the box held.
TEST(Window, LeavingABoxChecksItButResetDoesNot) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f_psf& w = *f.window;
    struct Case {
        QLineEdit* box;
        const char* text;
        bool reset;
        const char* message;  // "" for none
    };
    const std::vector<Case> cases = {
        {w.Text4[1], "a/b", false, "Please don't type a / in a file name"},
        {w.Text4[1], "ab", false, ""},
        {w.Text2, "ftp://x/", false, "Please give a valid internet adress"},
        {w.Text2, "https://x/", false, ""},
        {w.Text2, "", true, ""},
        {w.Text2, "ftp://x/", true, ""},
        {w.Text3[0], "a.b", true, ""},
        {w.Text4[3], "a\\b", true, ""},
        {w.Text5, " u ", true, ""},
        {w.Text6, "p", true, ""},
    };
    w.activateWindow();
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.box->objectName().toStdString() + " " + tc.text);
        tc.box->setFocus();
        ASSERT_TRUE(wait_until([&] { return tc.box->hasFocus(); }, 2000));
        tc.box->setText(tc.text);
        emit tc.box->textEdited(tc.text);
        tc.reset ? w.m_reinit->trigger() : w.Text1->setFocus();
        QApplication::processEvents();
        std::string said;
        for (const auto& m : f.answers.said) said += m.text;
        f.answers.said.clear();
        EXPECT_EQ(said, tc.message);
        EXPECT_TRUE((*tc.message ? static_cast<QWidget*>(tc.box) : w.Text1)->hasFocus());
        EXPECT_TRUE(!tc.reset || tc.box->text().isEmpty());
    }
}

// A site whose image takes a while, so the run is still going while the
// window is used.
struct SlowSite {
    SlowSite() {
        server.page("/",
                    "<img src='a.gif'> <img src='b.gif'> ....................................");
        psf::test::Reply slow;
        slow.body = psf::test::image_bytes(3000, 'a');
        slow.content_type = "image/gif";
        slow.delay = std::chrono::milliseconds(1500);
        server.route("/a.gif", slow);
        server.image("/b.gif", psf::test::image_bytes(3000, 'b'));
    }
    TestServer server;
    TempDir pics;
};

TEST(Window, RetrieveNowRunsOnTheWorkerWhileTheWindowStaysLive) {
    SlowSite site;
    const Task other = stored_task("Other", site.server.url("/none"), site.pics.str());
    Fixture f({other, stored_task("Gallery", site.server.url("/"), site.pics.str())});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->gri->setCurrentCell(1, 0);
    f.clock.set(*parse_date_time("2026/12/07", "11:30"));

    std::vector<std::string> captions;
    int ticks_during_run = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (!f.window->busy()) return;
        ++ticks_during_run;
        const std::string c = f.window->Label4->text().toStdString();
        if (!c.empty() && (captions.empty() || captions.back() != c)) captions.push_back(c);
    });
    probe.start(10);

    f.window->Command6->click();
    EXPECT_TRUE(f.window->busy());
    for (QWidget* w :
         {static_cast<QWidget*>(f.window->Command2), static_cast<QWidget*>(f.window->Command3),
          static_cast<QWidget*>(f.window->Command4), static_cast<QWidget*>(f.window->Command6)})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(f.window->m_reinit->isEnabled());
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);

    ASSERT_TRUE(wait_until([&] { return !f.window->busy(); }));
    EXPECT_GE(ticks_during_run, 3) << "events were handled during the run";
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions.front(), "1 page read") << "shown while the slow image loads";
    EXPECT_EQ(f.window->Label4->text(), "2 images copied");
    EXPECT_TRUE(f.window->Command6->isEnabled());
    EXPECT_TRUE(f.window->m_reinit->isEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(psf::test::list_files(site.pics.path()),
              (std::vector<std::string>{"a.gif", "b.gif"}));

    EXPECT_EQ(f.row(2)[LastRunTime], "11:30");
    EXPECT_EQ(f.row(1)[LastRunTime], "08:00");
    LoadReport report;
    TaskTable saved;
    std::string error;
    ASSERT_TRUE(charge_planifs(f.folder, saved, report, error));
    EXPECT_EQ(saved.at(2, LastRunTime), "11:30") << "the stamp was saved";
    EXPECT_EQ(site.server.count("/none"), 0);
}

TEST(Window, APassThatFallsDueDuringARunWaitsForIt) {
    SlowSite site;
    site.server.page("/quick", "no images here ..............................................");
    Fixture f({stored_task("Gallery", site.server.url("/"), site.pics.str()),
               stored_task("Quick", site.server.url("/quick"), site.pics.str())});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.clock.set(*parse_date_time("2026/12/07", "08:10"));  // nothing due yet
    for (int i = 0; i < 10; ++i) f.window->Timer1_Timer();
    f.window->Command6_Click();  // row 1
    ASSERT_TRUE(f.window->busy());
    f.clock.set(*parse_date_time("2026/12/07", "08:20"));  // both due one quarter after 08:00
    for (int i = 0; i < 5; ++i) f.window->Timer1_Timer();
    EXPECT_TRUE(f.window->gate().pass_deferred());
    EXPECT_EQ(f.window->gate().TimerTicks(), 0);
    EXPECT_EQ(site.server.count("/quick"), 0) << "no pass inside the run";

    ASSERT_TRUE(wait_until([&] { return !f.window->busy(); }, 20'000));
    // Retrieve Now stamped row 1 at 08:20, so the pass ran only row 2.
    EXPECT_EQ(site.server.count("/"), 1);
    EXPECT_EQ(site.server.count("/quick"), 1);
    EXPECT_EQ(f.row(1)[LastRunTime], "08:20");
    EXPECT_EQ(f.row(2)[LastRunTime], "08:20");
    EXPECT_FALSE(f.window->gate().pass_deferred());
    std::vector<std::string> order;
    for (const auto& r : site.server.requests()) order.push_back(r.path);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order.back(), "/quick") << "the pass started after the run had ended";
    EXPECT_EQ(f.window->Label4->text(), "") << "a scheduled run leaves the label empty";
}

TEST(Window, ClosingDuringARunCancelsItAndKeepsTheFileWhole) {
    SlowSite site;
    Fixture f({stored_task("Gallery", site.server.url("/"), site.pics.str())});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    const std::string before = psf::test::read_file(f.folder + "planifs.txt");
    f.window->Command6_Click();
    ASSERT_TRUE(wait_until([&] { return site.server.count("/a.gif") == 1; }));
    QElapsedTimer t;
    t.start();
    f.window->close();
    EXPECT_LT(t.elapsed(), 2000);
    ASSERT_EQ(f.answers.said.size(), 1u);
    EXPECT_TRUE(
        f.answers.said[0].text.ends_with(" started.\r\nThe run in progress will be stopped, and "
                                         "its task will not be marked as run."));
    EXPECT_EQ(psf::test::read_file(f.folder + "planifs.txt"), before)
        << "a cancelled run is not stamped";
    EXPECT_FALSE(fs::exists(site.pics / "b.gif"));
}

}  // namespace

namespace {

TEST(TableGrid, NumbersRowsFromTheHeaderAndKeepsOneDataRow) {
    QTableWidget table(1, 5);
    TableGrid g(&table);
    EXPECT_EQ(g.Rows(), 2);
    EXPECT_EQ(g.Row(), 1);
    g.setTextMatrix(0, 1, "Internet Adress");
    EXPECT_EQ(table.horizontalHeaderItem(1)->text(), "Internet Adress");
    g.AddItem("a\tb\t\td");
    EXPECT_EQ(g.Rows(), 3);
    EXPECT_EQ(g.TextMatrix(2, 0), "a");
    EXPECT_EQ(g.TextMatrix(2, 2), "");
    EXPECT_EQ(g.TextMatrix(2, 3), "d");
    EXPECT_EQ(table.item(1, 3)->text(), "d");
    g.setColWidth(3, 3350);
    EXPECT_EQ(table.columnWidth(3), 223);
    g.setRow(2);
    EXPECT_EQ(g.Row(), 2);
    g.RemoveItem(1);
    EXPECT_EQ(g.TextMatrix(1, 0), "a");
    EXPECT_THROW(g.RemoveItem(1), std::out_of_range) << "the last data row stays";
    EXPECT_THROW(g.TextMatrix(2, 0), std::out_of_range);
    EXPECT_THROW(g.setTextMatrix(1, 5, "x"), std::out_of_range);
}

}  // namespace

namespace {

TEST(Window, ScheduleResetAndEditThroughTheWidgets) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f_psf& w = *f.window;
    w.Text1->setText("Cats");
    emit w.Text1->textEdited("Cats");
    w.Text2->setText("http://c/");
    emit w.Text2->textEdited("http://c/");
    w.Option3[1]->click();
    w.Combo1->setCurrentIndex(2);
    emit w.Combo1->activated(2);
    w.Option4[1]->click();
    w.Check1[6]->click();
    w.Command2->click();
    ASSERT_TRUE(f.answers.said.empty()) << f.answers.said.front().text;
    ASSERT_EQ(w.tasks().TaskCount, 1);
    EXPECT_EQ(f.row(1)[LinkDepth], "3");
    EXPECT_EQ(f.row(1)[ScheduleKind], "1");
    EXPECT_EQ(f.row(1)[IntervalIndex], "2") << "the interval the list shows after start-up";
    EXPECT_EQ(f.row(1)[OnSunday], "0");
    EXPECT_EQ(w.grid().TextMatrix(1, 2), "Yes");
    EXPECT_TRUE(w.Check1[6]->isChecked()) << "reset after scheduling";
    w.Command4->click();
    EXPECT_EQ(w.Text1->text(), "Cats");
    EXPECT_TRUE(w.Option3[1]->isChecked());
    EXPECT_EQ(w.Combo1->currentIndex(), 2);
    EXPECT_FALSE(w.Check1[6]->isChecked());
    EXPECT_FALSE(w.Command6->isEnabled()) << "the editor holds a loaded task";
}

}  // namespace
