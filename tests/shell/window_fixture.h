// A main window over a data folder of its own, with a fixed clock and
// message boxes that answer at once.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>

#include "platform/curl_transfer.h"
#include "shell/f_psf.h"
#include "store/schedule_file.h"
#include "support/table.h"
#include "support/temp_dir.h"

namespace psf::test {

using namespace psf::shell;
namespace fs = std::filesystem;

// Answers every message box at once and remembers what it said.
class Answers final : public MessageSeam {
  public:
    QMessageBox::StandardButton show(QWidget*, const editor::Message& m) override {
        said += (said.empty() ? "" : "|") + (last = m).text;
        if (while_open) {  // a real modal box, with `while_open` run from its loop
            QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
            QTimer::singleShot(0, &box, while_open);
            QTimer::singleShot(3000, &box, [&box] { box.done(QMessageBox::No); });
            return static_cast<QMessageBox::StandardButton>(box.exec());
        }
        if (m.buttons != editor::Buttons::YesNo) return QMessageBox::Ok;
        return answer_no ? QMessageBox::No : QMessageBox::Yes;
    }
    std::string take() { return std::exchange(said, {}); }
    std::string said;  // the texts since the last take(), joined by "|"
    editor::Message last;
    bool answer_no = false;
    std::function<void()> while_open;
};

// Navigating no, existing images kept, one folder, every day, last run at 08:00.
inline Task stored_task(const std::string& title, const std::string& address,
                        const std::string& dest) {
    Task t{};
    t[Title] = title, t[StartAddress] = address, t[DestinationFolder] = dest, t[Drive] = "/";
    t[LinkDepth] = t[IntervalIndex] = "0";
    t[ExistingImagePolicy] = t[FolderLayout] = t[ScheduleKind] = "1";
    t[LastRunDate] = "2026/12/07", t[LastRunTime] = "08:00";
    for (int c = OnMonday; c <= OnSunday; ++c) t[static_cast<std::size_t>(c)] = "1";
    return t;
}

// A window over a data folder of its own, with tasks already stored.
struct Fixture {
    explicit Fixture(const std::vector<Task>& tasks = {}, std::string app_data = {}) {
        if (app_data.empty()) app_data = home.str();
        TaskTable table;
        table.TaskCount = static_cast<std::int16_t>(tasks.size());
        for (std::size_t i = 0; i < tasks.size(); ++i) table.rows[i + 1] = tasks[i];
        folder = app_data + "/Psf/";
        if (!tasks.empty()) {
            fs::create_directories(folder);
            std::string error;
            EXPECT_TRUE(sauve_planifs(folder, table, error)) << error;
        }
        window = std::make_unique<f_psf>(WindowSetup{
            &clock, &answers, app_data, (home / "program").string(),
            [] { return std::make_unique<CurlTransfer>(TransferLimits{.stall_timeout_s = 5}); }});
    }
    Task row(int r) const { return window->tasks().rows[static_cast<std::size_t>(r)]; }

    TempDir home;
    std::string folder;
    FixedClock clock{*parse_date_time("2026/12/07", "10:00")};
    Answers answers;
    std::unique_ptr<f_psf> window;
};

// The program started from a folder deep in the tree, for the object's life.
struct DeepStart {
    DeepStart() {
        fs::create_directories(folder);
        QDir::setCurrent(QString::fromStdString(folder));
    }
    ~DeepStart() { QDir::setCurrent(before); }
    TempDir place;
    std::string folder = (place / "a/b/c/d/e").string();
    QString before = QDir::currentPath();
};

// The folder list's current folder is `folder`, in sight once the folders
// above it have loaded, and it stays there.
inline bool folder_in_sight(f_psf& w, const std::string& folder) {
    auto* model = static_cast<QFileSystemModel*>(w.Dir1->model());
    if (model->filePath(w.Dir1->currentIndex()).toStdString() != folder) return false;
    auto in_sight = [&] {
        for (QModelIndex i = w.Dir1->currentIndex(); i.isValid(); i = i.parent())
            if (model->canFetchMore(i)) return false;
        return w.Dir1->viewport()->rect().contains(w.Dir1->visualRect(w.Dir1->currentIndex()));
    };
    if (!QTest::qWaitFor(in_sight, 5000)) return false;
    QApplication::processEvents();
    return in_sight();
}

// Plays the rows of tests/data/`file` on `root` and its controls: actions
// (type, click, choose, enter a box, answer) and checks of what they show, as
// described in tests/data/shell/window.txt.
inline void play(QWidget* root, const std::string& file, Answers* answers = nullptr) {
    for (const auto& r : read_table(file, 3)) {
        QApplication::processEvents();  // what the last row's action set going
        QObject* o = r[0] == "." ? root : root->findChild<QObject*>(QString::fromStdString(r[0]));
        ASSERT_NE(o, nullptr) << r.where;
        const QString value = QString::fromStdString(r[2]);
        auto* w = qobject_cast<QWidget*>(o);
        auto* edit = qobject_cast<QLineEdit*>(o);
        auto* list = qobject_cast<QComboBox*>(o);
        QStringList got, want = value.split(' ');
        if (r[1] == "type") {
            edit->setText(value);
            emit edit->textEdited(value);
        } else if (r[1] == "click") {
            if (auto* a = qobject_cast<QAction*>(o)) a->trigger();
            if (auto* b = qobject_cast<QAbstractButton*>(o)) b->click();
        } else if (r[1] == "choose") {
            list->setCurrentIndex(value.toInt());
            emit list->activated(value.toInt());
        } else if (r[1] == "enter") {
            w->setFocus();
        } else if (r[1] == "answer") {  // to the next question
            answers->answer_no = r[2] == "No";
        } else if (r[1] == "twips") {
            const QRect g = w->geometry();
            for (int v : {g.left(), g.top(), g.width(), g.height()}) got << QString::number(v);
            for (QString& v : want) v = QString::number(v.toInt() / 15);
        } else if (r[1] == "entries") {  // a list's or a menu's, joined by ","
            for (int i = 0; list && i < list->count(); ++i) got << list->itemText(i);
            for (QAction* a : w->actions()) got << a->text() + a->shortcut().toString();
            got = QStringList{got.join(',')}, want = QStringList{value};
        } else if (r[1] == "said") {
            got << QString::fromStdString(answers->take());
            want = QStringList{value};
        } else if (r[1].starts_with("cell ")) {  // "cell ROW COLUMN" of the grid, 0 the header
            auto* t = static_cast<QTableWidget*>(o);
            const int row = r[1][5] - '0', col = r[1][7] - '0';
            const auto* item = row ? t->item(row - 1, col) : t->horizontalHeaderItem(col);
            got << (item ? item->text() : "");
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

}  // namespace psf::test
