#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "platform/app_data.h"
#include "shell/window_fixture.h"
#include "support/test_server.h"

using namespace psf;
using namespace psf::test;

namespace {

TEST(Window, ControlsCaptionsAndGeometryInTwips) {
    Fixture f;
    play(f.window.get(), "shell/window.txt");
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
        for (QWidget* c : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            EXPECT_TRUE(c->geometry().top() > line(0, 1) &&
                        c->geometry().bottom() < line(shot.height() - 1, -1))
                << c->objectName().toStdString() << " in " << frame->objectName().toStdString();
    }
    EXPECT_EQ(f.window->Label4->font().pointSizeF(), 9.75);
}

// Over 0, 1 and 3 stored tasks, started from a folder deep in the tree (the
// default destination, which comes into sight); Tab keeps the grid's row.
TEST(Window, StartUpFillsTheGridFromTheFile) {
    for (const auto& [tasks, rows] : {std::pair{0, 2}, {1, 2}, {3, 4}}) {
        SCOPED_TRACE(tasks);
        const DeepStart start;
        Fixture f(std::vector(tasks, std::pair<std::string, std::string>{"T1", "http://h/"}));
        ASSERT_EQ(f.window->startup(), StartResult::Shown);
        EXPECT_TRUE(f.window->data_folder() == f.folder && fs::is_directory(f.folder));
        Grid& g = f.window->grid();
        EXPECT_EQ(std::tuple(g.Rows(), g.TextMatrix(1, 0), g.Row(), f.window->gate().TimerTicks()),
                  std::tuple(rows, tasks ? "T1" : "", 1, 0));
        EXPECT_TRUE(start.in_sight(*f.window));
        g.setRow(rows - 1);
        f.window->activateWindow();
        play(f.window.get(), "shell/tab_stops.txt", &f.answers);
        EXPECT_EQ(g.Row(), rows - 1);
    }
}

// A data folder that cannot be made is said once and nothing is saved; one
// that a command-line run holds ends the start.
TEST(Window, UnusableOrHeldDataFolder) {
    TempDir place;
    write_file(place / "data", "a file, not a folder");
    Fixture f({}, (place / "data").string());
    write_file(f.home / "program", "also a file");  // nor can the fallback beside the program
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_TRUE(f.answers.take().ends_with("they will not be saved."));
    EXPECT_EQ(f.window->data_folder(), "");
    play(f.window.get(), "shell/schedule.txt", &f.answers);  // says nothing more

    Fixture g;
    fs::create_directories(g.folder);
    DataFolderLock runner(g.folder, fs::read_symlink("/proc/self/exe").filename().string());
    ASSERT_EQ(runner.state(), LockState::Taken);
    EXPECT_EQ(g.window->startup(), StartResult::DataFolderInUse);
    EXPECT_TRUE(g.answers.take().starts_with("The data folder is in use by a command-line run"));
}

// A site whose first image takes a while, so the run is still going while the
// window is used.
struct SlowSite : TestServer {
    SlowSite() {
        page("/", "<img src='a.gif'> <img src='b.gif'> ....................................");
        page("/quick", "no images here ..............................................");
        Reply slow(200, image_bytes(3000, 'a'), "image/gif");
        slow.delay = std::chrono::milliseconds(1500);
        route("/a.gif", slow);
        image("/b.gif", image_bytes(3000, 'b'));
    }
};

TEST(Window, RetrieveNowRunsOnTheWorkerWhileTheWindowStaysLive) {
    SlowSite site;
    Fixture f({{"Other", site.url("/none")}, {"Gallery", site.url("/")}});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->gri->setCurrentCell(1, 0);
    f.clock.set(*parse_date_time("2026/12/07", "11:30"));
    f.window->Command6->click();
    ASSERT_TRUE(f.window->busy() && QGuiApplication::overrideCursor());
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    play(f.window.get(), "shell/busy.txt");  // to the run's end
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(list_files(f.pics.path()), (std::vector<std::string>{"a.gif", "b.gif"}));
    EXPECT_EQ(f.stamps(), "08:00 11:30");
    EXPECT_NE(read_file(f.folder + "planifs.txt").find("\"11:30\""), std::string::npos);
    EXPECT_EQ(site.count("/none"), 0);
}

// Retrieve Now stamps row 1 at 08:20, so the pass due then runs only row 2,
// after the run; a scheduled run leaves the label empty.
TEST(Window, APassThatFallsDueDuringARunWaitsForIt) {
    SlowSite site;
    Fixture f({{"Gallery", site.url("/")}, {"Quick", site.url("/quick")}});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.clock.set(*parse_date_time("2026/12/07", "08:10"));  // nothing due yet
    for (int i = 0; i < 10; ++i) f.window->Timer1_Timer();
    f.window->Command6_Click();
    f.clock.set(*parse_date_time("2026/12/07", "08:20"));  // both due one quarter after 08:00
    for (int i = 0; i < 5; ++i) f.window->Timer1_Timer();
    EXPECT_TRUE(f.window->busy() && f.window->gate().pass_deferred());
    EXPECT_EQ(f.window->gate().TimerTicks() + site.count("/quick"), 0) << "no pass inside the run";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.window->busy(); }, 20'000));
    ASSERT_EQ(site.requests().size(), 4u);
    EXPECT_EQ(site.requests().back().path + f.stamps(), "/quick08:20 08:20");
    EXPECT_FALSE(f.window->gate().pass_deferred());
    EXPECT_EQ(f.window->Label4->text(), "");
}

TEST(Window, ClosingDuringARunCancelsItAndKeepsTheFileWhole) {
    SlowSite site;
    Fixture f({{"Gallery", site.url("/")}});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    const std::string before = read_file(f.folder + "planifs.txt");
    f.window->Command6_Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return site.count("/a.gif") == 1; }, 10'000));
    f.window->close();
    EXPECT_TRUE(f.answers.take().ends_with("stopped, and its task will not be marked as run."));
    EXPECT_EQ(read_file(f.folder + "planifs.txt"), before) << "a cancelled run is not stamped";
    EXPECT_FALSE(fs::exists(f.pics / "b.gif"));
}

TEST(TableGrid, NumbersRowsFromTheHeaderAndKeepsOneDataRow) {
    QTableWidget table(1, 5);
    TableGrid g(&table);
    g.AddItem("a\tb\t\td");
    EXPECT_EQ(g.TextMatrix(2, 0) + g.TextMatrix(2, 2) + table.item(1, 3)->text().toStdString(),
              "ad");
    g.setColWidth(3, 3350);
    EXPECT_EQ(table.columnWidth(3), 223);
    g.RemoveItem(1);
    EXPECT_EQ(g.TextMatrix(1, 0), "a");
    EXPECT_THROW(g.RemoveItem(1), std::out_of_range) << "the last data row stays";
    EXPECT_THROW(g.TextMatrix(2, 0), std::out_of_range);
    EXPECT_THROW(g.setTextMatrix(1, 5, "x"), std::out_of_range);
}

// Leaving boxes, then a task scheduled, reset and loaded back.
TEST(Window, BoxesScheduleAndEditThroughTheWidgets) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->activateWindow();
    play(f.window.get(), "shell/boxes.txt", &f.answers);
    play(f.window.get(), "shell/schedule.txt", &f.answers);
    EXPECT_EQ(f.window->tasks().TaskCount, 1);
}

}  // namespace
