// The main window over data folders of its own, with a fixed clock and
// message boxes that answer at once; its menus, help, the tray, and the
// program as a process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QTest>
#include <QtWidgets>
#include <atomic>
#include <functional>

#include "platform/app_data.h"
#include "platform/curl_transfer.h"
#include "scheduler/run_record.h"
#include "shell/f_help.h"
#include "shell/f_historique.h"
#include "shell/f_psf.h"
#include "shell/thumbnails.h"
#include "store/schedule_file.h"
#include "support/process.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace psf::test {
namespace {

using namespace psf::shell;
namespace fs = std::filesystem;

// Answers every message box at once and remembers what it said; with
// `while_open`, a real modal box runs it from its loop.
struct Answers final : MessageSeam {
    QMessageBox::StandardButton show(QWidget*, const editor::Message& m) override {
        said += (said.empty() ? "" : "|") + (last = m).text;
        if (!while_open) return m.buttons == editor::Buttons::YesNo ? answer : QMessageBox::Ok;
        QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
        QTimer::singleShot(0, &box, while_open);
        QTimer::singleShot(3000, &box, [&box] { box.done(QMessageBox::No); });
        return static_cast<QMessageBox::StandardButton>(box.exec());
    }
    std::string take() { return std::exchange(said, {}); }
    std::string said;  // the texts since the last take(), joined by "|"
    editor::Message last;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::function<void()> while_open;
};

// A window over a data folder of its own (`app_data`, else a new one) holding
// `tasks`: navigating no, images kept, one folder, every day, last run at 08:00.
struct Fixture {
    explicit Fixture(const std::vector<std::pair<std::string, std::string>>& tasks = {},
                     std::string app_data = {}) {
        TaskTable table;
        table.TaskCount = static_cast<std::int16_t>(tasks.size());
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            Task& t = table.rows[i + 1];
            t[Title] = tasks[i].first, t[StartAddress] = tasks[i].second;
            t[DestinationFolder] = pics.str(), t[Drive] = "/";
            t[LinkDepth] = t[IntervalIndex] = "0";
            t[ExistingImagePolicy] = t[FolderLayout] = t[ScheduleKind] = "1";
            t[LastRunDate] = "2026/12/07", t[LastRunTime] = "08:00";
            for (int c = OnMonday; c <= OnSunday; ++c) t[static_cast<std::size_t>(c)] = "1";
        }
        folder = (app_data.empty() ? app_data = home.str() : app_data) + "/Psf/";
        EXPECT_TRUE(tasks.empty() ||
                    (fs::create_directories(folder) && sauve_planifs(folder, table)));
        fs::create_directories(deep), QDir::setCurrent(QString::fromStdString(deep));
        window = std::make_unique<f_psf>(WindowSetup{
            &clock, &answers, app_data, (home / "program").string(),
            [] { return std::make_unique<CurlTransfer>(TransferLimits{.stall_timeout_s = 5}); },
            [this](const std::string& text) { notices += text + "|"; }});
    }
    ~Fixture() { QDir::setCurrent(before); }
    // The folder list's current folder is the deep one the window started in, in
    // sight once the folders above it have loaded.
    bool in_sight() const {
        QTreeView* list = window->Dir1;
        auto* model = static_cast<QFileSystemModel*>(list->model());
        auto seen = [&] {
            for (QModelIndex i = list->currentIndex(); i.isValid(); i = i.parent())
                if (model->canFetchMore(i)) return false;
            return list->viewport()->rect().contains(list->visualRect(list->currentIndex()));
        };
        return model->filePath(list->currentIndex()).toStdString() == deep &&
               QTest::qWaitFor(seen, 5000) && (QApplication::processEvents(), seen());
    }
    std::string stamps() const {  // the last run times of rows 1 and 2
        return window->tasks().rows[1][LastRunTime] + " " + window->tasks().rows[2][LastRunTime];
    }

    TempDir home, pics;
    std::string folder, deep = (home / "a/b/c/d/e").string();
    QString before = QDir::currentPath();
    FixedClock clock{*parse_date_time("2026/12/07", "10:00")};
    Answers answers;
    std::string notices;  // the notifications, each followed by "|"
    std::unique_ptr<f_psf> window;
};

// In `root` and each frame in it, no control covers another beside it (by
// more than the few pixels a caption's margin takes; a label's or an
// option's caption reaches only as far as its text), nor, as drawn at any
// scale factor, a line of its frame.
void expect_apart(QWidget* root) {
    const auto drawn = [](QWidget* w) {
        const bool text = qobject_cast<QLabel*>(w) || qobject_cast<QRadioButton*>(w) ||
                          qobject_cast<QCheckBox*>(w);
        return QRect(w->pos(), text ? w->size().boundedTo(w->sizeHint()) : w->size());
    };
    QList<QWidget*> boxes = root->findChildren<QWidget*>(QRegularExpression("^(client|Frame.*)$"));
    for (QWidget* box : boxes << root) {
        const auto near = box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* a : near)
            for (QWidget* b : near) {
                const QRect both = drawn(a).intersected(drawn(b));
                EXPECT_TRUE(a >= b || !a->isVisibleTo(box) || !b->isVisibleTo(box) ||
                            std::min(both.width(), both.height()) <= 3)
                    << a->objectName().toStdString() << " on " << b->objectName().toStdString();
            }
        auto* frame = qobject_cast<QGroupBox*>(box);
        if (!frame || frame->title().isEmpty()) continue;  // Frame1's top line is off the client
        const QImage shot = frame->grab().toImage();
        const double scale = shot.devicePixelRatio();
        const int x = shot.width() - static_cast<int>(6 * scale);  // right of every control
        const int ground = qGray(shot.pixel(x, shot.height() / 2));
        auto line = [&](int y, int step) {
            while (y >= 0 && y < shot.height() && std::abs(qGray(shot.pixel(x, y)) - ground) < 12)
                y += step;
            return y / scale;
        };
        for (QWidget* c : near)
            EXPECT_TRUE(c->geometry().top() > line(0, 1) &&
                        c->geometry().bottom() < line(shot.height() - 1, -1))
                << c->objectName().toStdString() << " in " << frame->objectName().toStdString();
    }
}

// Plays the rows of tests/data/`file` on `root` and its controls: actions
// (type, click, choose, enter a box, answer) and checks of what they show, as
// described in tests/data/shell/window.txt.
void play(QWidget* root, const std::string& file, Answers* answers = nullptr) {
    for (const auto& r : read_table(file, 3)) {
        QApplication::processEvents();  // what the last row's action set going
        QObject* o = r[0] == "." ? root : root->findChild<QObject*>(QString::fromStdString(r[0]));
        ASSERT_NE(o, nullptr) << r.where;
        const QString value = QString::fromStdString(r[2]);
        auto* w = qobject_cast<QWidget*>(o);
        auto* list = qobject_cast<QComboBox*>(o);
        QStringList got, want = value.split(' ');
        if (r[1] == "type") {
            qobject_cast<QLineEdit*>(o)->setText(value);
            emit qobject_cast<QLineEdit*>(o)->textEdited(value);
        } else if (r[1] == "click") {
            QMetaObject::invokeMethod(o, o->inherits("QAction") ? "trigger" : "click");
        } else if (r[1] == "choose") {
            list->setCurrentIndex(value.toInt());
            emit list->activated(value.toInt());
        } else if (r[1] == "enter") {
            w->setFocus();
        } else if (r[1] == "answer") {  // to the next question
            answers->answer = r[2] == "No" ? QMessageBox::No : QMessageBox::Yes;
        } else if (r[1] == "entries") {  // a list's or a menu's, joined by ","
            for (int i = 0; list && i < list->count(); ++i) got << list->itemText(i);
            for (QAction* a : w->actions()) got << a->text() + a->shortcut().toString();
            got = QStringList{got.join(',')}, want = QStringList{value};
        } else if (r[1] == "said") {
            got << QString::fromStdString(answers->take()), want = QStringList{value};
        } else if (r[1].starts_with("cell ")) {  // "cell ROW COLUMN" of the grid, 0 the header
            auto* m = static_cast<QTableWidget*>(o)->model();
            const int row = r[1][5] - '0', col = r[1][7] - '0';
            got << (row ? m->index(row - 1, col).data() : m->headerData(col, Qt::Horizontal))
                       .toString();
        } else if (r[1] == "tab") {  // the stops the key walks through to the last one named
            got << QApplication::focusWidget()->objectName();
            for (int i = 0; i < 60 && got.back() != want.back(); ++i) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                got << QApplication::focusWidget()->objectName();
            }
        } else {  // until PROPERTY: the property once it shows the value; PROPERTY: at once
            const char* name = r[1].c_str() + (r[1].starts_with("until ") ? 6 : 0);
            (void)QTest::qWaitFor(
                [&] { return name == r[1] || o->property(name).toString() == value; }, 20'000);
            got << o->property(name).toString();
        }
        if (!got.empty()) {  // a check, not an action
            EXPECT_EQ(got.join(' ').toStdString(), want.join(' ').toStdString()) << r.where;
        }
    }
}

TEST(Window, ControlsCaptionsAndNothingCovered) {
    Fixture f;
    play(f.window.get(), "shell/window.txt");
    expect_apart(f.window.get());
    QTimer::singleShot(0, [] {
        expect_apart(QApplication::activeModalWidget());
        play(QApplication::activeModalWidget(), "shell/advanced.txt");
    });
    f.window->m_avance->trigger(), QApplication::processEvents();  // played once it is open
}

// Over 0, 1 and 3 stored tasks, started from a folder deep in the tree (the
// default destination, which comes into sight); Tab keeps the grid's row.
TEST(Window, StartUpFillsTheGridFromTheFile) {
    for (const auto& [tasks, rows] : {std::pair{0, 2}, {1, 2}, {3, 4}}) {
        Fixture f(std::vector(tasks, std::pair<std::string, std::string>{"T1", "http://h/"}));
        ASSERT_EQ(f.window->startup(), StartResult::Shown);
        EXPECT_EQ(f.window->data_folder(), f.folder);
        EXPECT_TRUE(fs::is_directory(f.folder));
        Grid& g = f.window->grid();
        EXPECT_EQ(g.Rows(), rows);
        EXPECT_EQ(g.TextMatrix(1, 0), tasks ? "T1" : "");
        EXPECT_EQ(g.Row(), 1);
        EXPECT_EQ(f.window->gate().TimerTicks(), 0);
        EXPECT_TRUE(f.in_sight());
        g.setRow(rows - 1);
        f.window->activateWindow();
        play(f.window.get(), "shell/tab_stops.txt", &f.answers);
        EXPECT_EQ(g.Row(), rows - 1);
    }
}

// A data folder that cannot be made is said once and nothing is saved, while
// boxes are left and a task scheduled, reset and loaded back; a data folder
// that a command-line run holds ends the start.
TEST(Window, BoxesScheduleAndEditWithoutADataFolderAndAHeldOneEndsTheStart) {
    Fixture f({}, "/proc/none");
    write_file(f.home / "program", "also a file");  // nor can the fallback beside the program
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_TRUE(f.answers.take().ends_with("they will not be saved."));
    EXPECT_EQ(f.answers.last.title, "Picsifter") << "the program's own message, not an error box";
    EXPECT_EQ(f.window->data_folder(), "");
    f.window->activateWindow();
    play(f.window.get(), "shell/boxes.txt", &f.answers);
    play(f.window.get(), "shell/schedule.txt", &f.answers);  // says nothing more
    EXPECT_EQ(f.window->tasks().TaskCount, 1);

    Fixture g;
    fs::create_directories(g.folder);
    DataFolderLock runner(g.folder, fs::read_symlink("/proc/self/exe").filename().string());
    EXPECT_EQ(g.window->startup(), StartResult::DataFolderInUse);
    EXPECT_TRUE(g.answers.take().starts_with("The data folder is in use by a command-line run"));
}

// Anything but a regular file in the place of a file of the data folder (the
// history aside: it costs only itself), or a schedule file larger than 200
// tasks can fill, is said at the start with its name, and the data folder is
// left alone; nothing waits on a FIFO.
TEST(Window, OddFilesOfTheDataFolderAreSaidAtTheStart) {
    for (const std::string name : {"picsifter.lock", "pref1.txt", "planifs.txt"}) {
        Fixture f;
        fs::create_directories(f.folder);
        const std::string path = f.folder + name, big = std::to_string(LargestScheduleFile + 1);
        if (name == "planifs.txt") {
            write_file(path, ""), fs::resize_file(path, LargestScheduleFile + 1);
        } else {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        ASSERT_EQ(f.window->startup(), StartResult::Shown);
        const std::string why = name == "planifs.txt" ? big + " bytes, more than 200 tasks"
                                                      : "a FIFO, not a regular file";
        EXPECT_NE(f.answers.take().find(path + ": " + why), std::string::npos) << name;
        EXPECT_EQ(f.window->data_folder(), "") << name;
    }
}

// A site whose first image waits until the test lets it go, so the run is
// still going while the window is used.
struct SlowSite : TestServer {
    std::atomic<bool> go = false;
    SlowSite() {
        page("/", "<img src='a.gif'> <img src='b.gif'> ....................................");
        page("/quick", "no images here ..............................................");
        on("/a.gif", [this](Peer& p) {
            while (!go && p.pause(std::chrono::milliseconds(10))) {
            }
            p.send(http_response(200, image_bytes(3000, 'a'), "image/gif"));
        });
        image("/b.gif", image_bytes(3000, 'b'));
    }
};

TEST(Window, RetrieveNowRunsOnTheWorkerWhileTheWindowStaysLive) {
    SlowSite site;
    Fixture f({{"Other", site.url("/quick")}, {"Gallery", site.url("/")}});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->gri->setCurrentCell(1, 0);
    f.clock.set(*parse_date_time("2026/12/07", "11:30"));
    f.window->activateWindow(), f.window->Command6->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.window.get()));
    f.window->Command6->click();
    ASSERT_TRUE(f.window->busy() && QGuiApplication::overrideCursor());
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    play(f.window.get(), "shell/busy.txt");
    site.go = true;
    play(f.window.get(), "shell/run_end.txt");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(list_files(f.pics.path()), (std::vector<std::string>{"a.gif", "b.gif"}));
    EXPECT_EQ(f.stamps(), "08:00 11:30");
    EXPECT_NE(read_file(f.folder + "planifs.txt").find("\"11:30\""), std::string::npos);
    EXPECT_EQ(site.count("/quick"), 0);
    // Again, with a pass falling due during the run: it waits for the run's end
    // and then takes only row 1; a scheduled run leaves the label empty.
    auto again = [&] {
        for (const char* name : {"a.gif", "b.gif"}) fs::remove(f.pics / name);
        site.go = false;
        f.window->Command6_Click();
    };
    again();
    f.clock.set(*parse_date_time("2026/12/07", "11:45"));
    for (int i = 0; i < 15; ++i) f.window->Timer1_Timer();
    EXPECT_TRUE(f.window->busy());
    EXPECT_TRUE(f.window->gate().pass_deferred());
    EXPECT_EQ(f.window->gate().TimerTicks(), 0) << "no pass inside the run";
    EXPECT_EQ(site.count("/quick"), 0) << "no pass inside the run";
    site.go = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.window->busy(); }, 20'000));
    EXPECT_EQ(site.requests().size(), 7u);
    EXPECT_EQ(site.requests().back().path, "/quick");
    EXPECT_EQ(f.stamps(), "11:45 11:45");
    EXPECT_FALSE(f.window->gate().pass_deferred());
    EXPECT_EQ(f.window->Label4->text(), "");
    // Once more, closing the window while it goes: cancelled, not stamped.
    const std::string before = read_file(f.folder + "planifs.txt");
    again();
    f.window->Command6_Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return site.count("/a.gif") == 3; }, 10'000));
    f.window->close();
    EXPECT_TRUE(f.answers.take().ends_with("stopped, and its task will not be marked as run."));
    EXPECT_EQ(read_file(f.folder + "planifs.txt"), before);
    EXPECT_FALSE(fs::exists(f.pics / "b.gif"));
    EXPECT_EQ(History(f.folder, History::Mode::Read).runs({}, 1).at(0).outcome,
              Outcome::Interrupted);
}

// Catches the addresses the desktop would open.
class Desktop : public QObject {
    Q_OBJECT
  public:
    Desktop() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~Desktop() override { QDesktopServices::unsetUrlHandler("file"); }
    Q_INVOKABLE void open(const QUrl& url) { opened << url.toLocalFile(); }
    QStringList opened;
};

// Two runs recorded before the start: the grid's tooltips, then the History
// window's rows, its filter, the thumbnails of a run (a file gone and one
// that is no image show their names) and its folder opened.
TEST(History, RowsThumbnailsAndTheFolderOfARun) {
    Fixture f(std::vector<std::pair<std::string, std::string>>{{"Gallery", "h"}, {"Other", "o"}});
    fs::create_directories(f.folder);
    QImage(200, 100, QImage::Format_RGB32).save(QString::fromStdString(f.pics / "a.jpg"));
    write_file(f.pics / "bad.jpg", "not an image");
    RunRecorder recorder(f.folder, {});
    for (const char* title : {"Gallery", "Other"}) {
        RunSpec spec;
        spec.title = title;
        recorder.record(spec, StartedBy::Due, f.clock, [&](const auto&) {
            RunSummary s;
            if (spec.title == "Other") s.start_failure = "connection refused";
            for (const char* name : {"a.jpg", "gone.jpg", "bad.jpg"})
                if (spec.title == "Gallery") s.written.push_back({"", f.pics / name, 1, "", ""});
            s.images_copied = static_cast<int>(s.written.size());
            s.images_unchanged = s.images_copied > 0 ? 2 : 0;
            return s;
        });
    }
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_EQ(f.window->last_run_tips()->tip(1),
              "Last run: 2026/12/07 10:00 done, 3 copied, 0 failed");
    EXPECT_EQ(
        f.window->last_run_tips()->tip(2),
        "Last run: 2026/12/07 10:00 start page failed: connection refused, 0 copied, 0 failed");
    f.window->m_historique->trigger();
    f_historique* h = history_window();
    ASSERT_NE(h, nullptr);
    auto rows = [h] {
        QStringList out;
        for (int r = 0; r < h->Table1->model()->rowCount(); ++r)
            for (int c = 0; c < 6; ++c) out << h->Table1->model()->index(r, c).data().toString();
        return out.join('|').toStdString();
    };
    EXPECT_EQ(rows(),
              "Other|2026/12/07 10:00|start page failed: connection refused|0|0|0|"
              "Gallery|2026/12/07 10:00|done|3|2|0");
    h->Combo1->setCurrentIndex(h->Combo1->findText("Gallery"));
    emit h->Combo1->activated(h->Combo1->currentIndex());
    EXPECT_EQ(rows(), "Gallery|2026/12/07 10:00|done|3|2|0");
    h->select_run(1);
    Thumbnails& t = *h->thumbnails;
    for (int r = 0; r < t.rowCount(); ++r)
        t.data(t.index(r), Qt::DecorationRole);  // as a view asks
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.settled(0) && t.settled(1) && t.settled(2); }));
    QStringList shown;
    for (int r = 0; r < t.rowCount(); ++r)
        shown << t.index(r).data().toString() + ":" +
                     t.index(r).data(Qt::DecorationRole).typeName();
    EXPECT_EQ(shown.join(' ').toStdString(), "a.jpg:QImage gone.jpg:QIcon bad.jpg:QIcon");
    Desktop desktop;
    h->Command1->click();
    EXPECT_EQ(desktop.opened, QStringList{QString::fromStdString(f.pics.str())});
    h->close();
}

// One notification after each run of the timer that copied images or whose
// start page failed, opening History at its run; none after Retrieve Now, nor
// once turned off, which lasts.
TEST(Window, NoticesAfterTimerRunsUntilTurnedOff) {
    TestServer site;
    site.page("/", "<img src='a.gif'> <img src='b.gif'> ......................................");
    for (const char* name : {"/a.gif", "/b.gif"}) site.image(name, image_bytes(3000, name[1]));
    auto f = std::make_unique<Fixture>(std::vector<std::pair<std::string, std::string>>{
        {"Gallery", site.url("/")}, {"Dead", TestServer().url("/")}});
    ASSERT_EQ(f->window->startup(), StartResult::Shown);
    const auto run = [&](const char* time, bool now) {
        for (const char* name : {"a.gif", "b.gif"}) fs::remove(f->pics / name);
        f->clock.set(*parse_date_time("2026/12/07", time));
        f->window->gri->setCurrentCell(0, 0);
        for (int i = 0; i < (now ? 0 : 15); ++i) f->window->Timer1_Timer();
        if (now) f->window->Command6_Click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !f->window->busy(); }, 20'000) &&
                    fs::exists(f->pics / "b.gif"));
        return f->notices;
    };
    const std::string said = "Gallery: 2 new images|Dead: start page failed: connection refused|";
    EXPECT_EQ(run("10:00", false), said);
    f->window->show_history(2);
    EXPECT_EQ(history_window()->selected_run(), 2);
    history_window()->close();
    EXPECT_EQ(run("10:05", true), said);
    f->window->m_avis->trigger();
    EXPECT_EQ(run("10:30", false), said);
    const std::string home = f->home.str();
    f->window.reset();
    Fixture again({}, home);
    ASSERT_EQ(again.window->startup(), StartResult::Shown);
    EXPECT_FALSE(again.window->m_avis->isChecked());
}

// A cause too long for the status label ends in "…" there, whole in its tooltip.
TEST(Window, ALongCaptionIsCutVisiblyAndWholeInTheTooltip) {
    TestServer site;
    site.route("/", Reply{301, "", "text/html", {{"Location", "/" + std::string(9000, 'a')}}});
    Fixture f({{std::string("Far"), site.url("/")}});
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.window->Command6_Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.window->busy(); }, 20'000));
    const QLabel& l = *f.window->Label4;
    EXPECT_TRUE(l.toolTip().startsWith("Start page: redirect")) << l.toolTip().toStdString();
    EXPECT_TRUE(l.text().endsWith(u'…')) << l.text().toStdString();
    EXPECT_TRUE(l.toolTip().startsWith(l.text().chopped(1))) << l.text().toStdString();
    EXPECT_LE(l.fontMetrics().horizontalAdvance(l.text()), l.width());
}

TEST(TableGrid, NumbersRowsFromTheHeaderAndKeepsOneDataRow) {
    QTableWidget table(1, 5);
    TableGrid g(&table);
    g.AddItem("a\tb\t\td");
    EXPECT_EQ(g.TextMatrix(2, 0) + g.TextMatrix(2, 2) + g.TextMatrix(2, 3), "ad");
    g.setColWidth(3, 3350);
    EXPECT_EQ(table.columnWidth(3), 223);
    g.RemoveItem(1);
    EXPECT_EQ(g.TextMatrix(1, 0), "a");
    EXPECT_THROW(g.RemoveItem(1), std::out_of_range) << "the last data row stays";
    EXPECT_THROW(g.TextMatrix(2, 0), std::out_of_range);
    EXPECT_THROW(g.setTextMatrix(1, 5, "x"), std::out_of_range);
}

// Without a notification area the start-in-tray marker is ignored (the box
// stays ticked: marker.txt) and minimising never hides (quit.txt); "Start in
// the task bar" keeps file and mark in step; "Quit" asks first.
TEST(Menus, BarStartInTheTaskBarAndQuit) {
    Fixture f;
    QStringList bar;
    for (QAction* a : f.window->menuBar()->actions()) bar << a->text();
    EXPECT_EQ(bar.join(',').toStdString(), "&File,&Window,&Options,&?") << "no tray menu there";
    const fs::path marker = f.folder + "pref1.txt";
    fs::create_directories(f.folder);
    write_file(marker, "\"1\"\r\n");
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    for (const auto& r : read_table("shell/marker.txt", 3)) {
        if (r[0] == "yes" || fs::is_directory(marker)) fs::remove_all(marker);
        if (r[0] == "yes") fs::create_directories(marker / "keep");
        if (r[0] == "fifo") {
            EXPECT_EQ(::mkfifo(marker.c_str(), 0600), 0);
        }
        f.window->m_tb->trigger();
        EXPECT_EQ(f.window->m_tb->isChecked(), r[1] == "yes") << r.where;
        EXPECT_EQ(fs::is_regular_file(marker), r[1] == "yes" && r[0] == "no") << r.where;
        EXPECT_TRUE(!fs::is_regular_file(marker) || read_file(marker) == "\"1\"\r\n");
        const std::string said = f.answers.take();
        EXPECT_TRUE(said.empty() == r[2].empty() && said.find(r[2]) != said.npos) << said;
    }
    play(f.window.get(), "shell/quit.txt", &f.answers);
    const editor::Message& m = f.answers.last;
    EXPECT_EQ(m.title, "Picsifter");
    EXPECT_EQ(m.icon, editor::Icon::Question);
    EXPECT_EQ(m.buttons, editor::Buttons::YesNo);
}

// One help window at a time, of a fixed size, its text (CR LF line ends)
// whole in sight; nothing typed lasts. The session's end or a signal while
// the quit question is open ends the window, asking nothing more, and closes
// help.
TEST(Help, TheTextOneWindowAtATimeAndTypingDoesNotLast) {
    const QString raw = QString::fromUtf8(HelpText), text = QString(raw).replace("\r\n", "\n");
    EXPECT_TRUE(raw.startsWith("Task properties :\r\n"));
    EXPECT_EQ(raw.count("\r\n"), raw.count('\n')) << "CR LF line ends";
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f.answers.while_open = [&] { f.window->quit_now(); };
    for (int i = 0; i < 2; ++i) {
        f.window->m_aide->trigger();
        f.window->m_aide->trigger();
        f_help* help = help_window();
        ASSERT_EQ(f.window->findChildren<f_help*>(), QList<f_help*>{help}) << "never two";
        play(help, "shell/help_window.txt");
        expect_apart(help);
        EXPECT_EQ(help->minimumSize(), help->maximumSize()) << "a fixed size";
        EXPECT_FALSE(help->windowFlags() &
                     (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        EXPECT_EQ(help->Text1->toPlainText(), text);
        EXPECT_EQ(help->Text1->verticalScrollBar()->value(), 0) << "shown from its first line";
        for (const QString& line : text.split('\n'))  // whole in sight
            EXPECT_LE(help->Text1->fontMetrics().horizontalAdvance(line),
                      help->Text1->viewport()->width());
        help->Text1->insertPlainText("typed");
        ASSERT_TRUE(QTest::qWaitForWindowActive(help));
        QTest::keyClick(help->Text1, Qt::Key_Tab);  // to "Ok", Return pressing it
        i ? f.window->m_quitter->trigger() : QTest::keyClick(help->focusWidget(), Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([] { return help_window() == nullptr; }, 20'000));
    }
    EXPECT_EQ(f.answers.take().find('|'), std::string::npos) << "asked once";
    EXPECT_FALSE(f.window->isVisible());
    f.window->m_apropos->trigger();
    const editor::Message& m = f.answers.last;
    EXPECT_EQ(m.title, "About");
    EXPECT_EQ(m.text, "Picsifter v2.0");
    EXPECT_EQ(m.icon, editor::Icon::Information);
    EXPECT_EQ(m.buttons, editor::Buttons::Ok);
}

// From every control, each menu of the bar opens by its Alt key and Escape
// closes it: no box is checked, though the one left holds a text its check
// refuses, and the focus comes back; so it does when a dialog closes.
TEST(Keyboard, EveryMenuOpensFromEveryControlAndTheFocusComesBack) {
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f_psf& w = *f.window;
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    auto type = [](QLineEdit* box, const QString& text) {
        box->setText(text), box->textEdited(text);
    };
    type(w.Text2, "http://h/");
    QWidget* c = w.Text1;
    do {
        if (!(c->focusPolicy() & Qt::TabFocus) || !c->isEnabled() || !c->isVisibleTo(&w)) continue;
        c->setFocus();
        auto* box = qobject_cast<QLineEdit*>(c);
        const QString kept = box ? box->text() : "";
        if (box) type(box, "a**");
        for (QAction* menu : w.menuBar()->actions()) {
            const QKeyCombination alt = QKeySequence::mnemonic(menu->text())[0];
            QTest::keyClick(c, alt.key(), alt.keyboardModifiers());
            EXPECT_EQ(QApplication::activePopupWidget(), menu->menu())
                << c->objectName().toStdString();
            for (int i = 0; i < 2; ++i)  // the menu, then the bar
                if (QWidget* at =
                        i ? QApplication::focusWidget() : QApplication::activePopupWidget())
                    QTest::keyClick(at, Qt::Key_Escape);
            EXPECT_EQ(QApplication::focusWidget(), c) << c->objectName().toStdString();
        }
        if (box) type(box, kept);
    } while ((c = c->nextInFocusChain()) != w.Text1);
    EXPECT_EQ(f.answers.take(), "");
    w.Command2->setFocus();
    QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
    w.m_avance->trigger(), w.m_aide->trigger(), help_window()->close();  // each closed at once
    w.activateWindow();  // as the window manager does when a dialog goes
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == w.Command2; }));
}

// Under a real X display (tray_start.sh runs these): a notification area
// that appears, goes and comes back while the window runs.
std::string tool(const char* name) {
    return QStandardPaths::findExecutable(name).toStdString();
}
std::vector<std::string> trayer() {
    return {tool("trayer"), "--edge", "top",      "--widthtype", "pixel",
            "--width",      "200",    "--height", "24"};
}

TEST(RealDisplay, TheWindowStaysReachableAsTheTrayComesAndGoes) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs X: see tray_start.sh";
    Fixture f;
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    EXPECT_TRUE(f.in_sight());
    f_psf& w = *f.window;
    auto icon_shown = [&] { return w.in_tray() && !w.tray()->geometry().isEmpty(); };
    auto minimise = [&] { w.restore(), w.m_tache->trigger(), QApplication::processEvents(); };
    auto tray = std::make_unique<Child>(trayer());
    EXPECT_TRUE(QTest::qWaitFor(icon_shown, 5000)) << "the icon appears with the tray";
    minimise();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.isHidden(); }, 2000)) << "in the tray";
    tray.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.isVisible(); }, 5000)) << "the tray went: back";
    minimise();
    EXPECT_FALSE(w.isHidden()) << "no tray to come back from: only minimised";
    tray = std::make_unique<Child>(trayer());
    EXPECT_TRUE(QTest::qWaitFor(icon_shown, 5000)) << "the icon comes back with the tray";
}

// Under a window manager: minimised from the Window menu with the mouse and
// brought back by one click on the tray icon, ten times; the keys go to the
// title box each time.
TEST(RealDisplay, OneClickOnTheIconRestoresWithTheFocusWhereItWas) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs X: see tray_start.sh";
    Fixture f;
    Child tray(trayer());
    ASSERT_EQ(f.window->startup(), StartResult::Shown);
    f_psf& w = *f.window;
    auto xdotool = [](std::vector<std::string> args) {
        args.insert(args.begin(), tool("xdotool"));
        return run_process(args, {}, std::chrono::seconds(20)).out;
    };
    auto click = [&](QPoint at) {
        xdotool({"mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", "1"});
    };
    auto until = [](const std::function<bool()>& done) { return QTest::qWaitFor(done, 20'000); };
    auto typing_there = [&] {  // active for Qt and for X
        return w.isActiveWindow() && QApplication::focusWidget() == w.Text1 &&
               xdotool({"getwindowfocus"}) == std::to_string(w.winId()) + "\n";
    };
    ASSERT_TRUE(until([&] { return w.in_tray() && !w.tray()->geometry().isEmpty(); }));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(until(typing_there)) << i;
        click(w.menuBar()->mapToGlobal(
            w.menuBar()->actionGeometry(w.m_fenetre->menuAction()).center()));
        ASSERT_TRUE(until([&] { return QApplication::activePopupWidget() == w.m_fenetre; })) << i;
        click(w.m_fenetre->mapToGlobal(w.m_fenetre->actionGeometry(w.m_tache).center()));
        ASSERT_TRUE(until([&] { return w.isHidden() && !w.isActiveWindow(); })) << i;
        click(w.tray()->geometry().center());
    }
    ASSERT_TRUE(until(typing_there));
    xdotool({"type", "Cats"});
    EXPECT_TRUE(until([&] { return w.Text1->text() == "Cats"; }));
}

TEST(Program, OneWindowPerDataFolderAndSignalsEndItCleanly) {
    TempDir home;
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + home.str(),
                                          "QT_QPA_PLATFORM=offscreen"};
    const fs::path lock = home / "Psf/picsifter.lock";
    fs::create_directories(home / "Psf");
    write_file(home / "Psf/planifs.txt", "");

    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Child first({PICSIFTER_WINDOW_PATH}, env);
        ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(lock); }, 20'000));

        // A second start hands over to the first and ends at once.
        Child second({PICSIFTER_WINDOW_PATH}, env);
        EXPECT_EQ(second.wait(std::chrono::seconds(20)), 0);
        EXPECT_EQ(first.wait(std::chrono::milliseconds(0)), -1) << "the first one keeps running";

        // The runner is refused while the window holds the folder.
        auto cli = run_process({PICSIFTER_CLI_PATH, "due"}, {}, std::chrono::seconds(20), env);
        EXPECT_EQ(cli.exit_code, 3);
        EXPECT_NE(cli.err.find("in use by the Picsifter window"), cli.err.npos) << cli.err;

        first.signal(sig);
        EXPECT_EQ(first.wait(std::chrono::seconds(20)), 0) << "no question on a signal";
        EXPECT_FALSE(fs::exists(lock)) << "the lock goes with the window";
        EXPECT_EQ(read_file(home / "Psf/planifs.txt"), "");
    }
}

}  // namespace
}  // namespace psf::test

#include "window_test.moc"

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
