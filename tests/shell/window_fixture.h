// A main window over a data folder of its own, with a fixed clock and
// message boxes that answer at once.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
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

// Answers every message box at once and remembers what it said; with
// `while_open`, a real modal box runs it from its loop.
struct Answers final : MessageSeam {
    QMessageBox::StandardButton show(QWidget*, const editor::Message& m) override {
        said += (said.empty() ? "" : "|") + (last = m).text;
        if (!while_open)
            return m.buttons != editor::Buttons::YesNo ? QMessageBox::Ok
                   : answer_no                         ? QMessageBox::No
                                                       : QMessageBox::Yes;
        QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
        QTimer::singleShot(0, &box, while_open);
        QTimer::singleShot(3000, &box, [&box] { box.done(QMessageBox::No); });
        return static_cast<QMessageBox::StandardButton>(box.exec());
    }
    std::string take() { return std::exchange(said, {}); }
    std::string said;  // the texts since the last take(), joined by "|"
    editor::Message last;
    bool answer_no = false;
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
        std::string error;
        EXPECT_TRUE(tasks.empty() ||
                    (fs::create_directories(folder) && sauve_planifs(folder, table, error)))
            << error;
        window = std::make_unique<f_psf>(WindowSetup{
            &clock, &answers, app_data, (home / "program").string(),
            [] { return std::make_unique<CurlTransfer>(TransferLimits{.stall_timeout_s = 5}); }});
    }
    std::string stamps() const {  // the last run times of rows 1 and 2
        return window->tasks().rows[1][LastRunTime] + " " + window->tasks().rows[2][LastRunTime];
    }

    TempDir home, pics;
    std::string folder;
    FixedClock clock{*parse_date_time("2026/12/07", "10:00")};
    Answers answers;
    std::unique_ptr<f_psf> window;
};

// Started from a folder deep in the tree (for the object's life), the folder
// list's current folder, in sight once the folders above it have loaded.
struct DeepStart {
    DeepStart() {
        fs::create_directories(folder), QDir::setCurrent(QString::fromStdString(folder));
    }
    ~DeepStart() { QDir::setCurrent(before); }
    bool in_sight(f_psf& w) const {
        auto* model = static_cast<QFileSystemModel*>(w.Dir1->model());
        auto seen = [&] {
            for (QModelIndex i = w.Dir1->currentIndex(); i.isValid(); i = i.parent())
                if (model->canFetchMore(i)) return false;
            return w.Dir1->viewport()->rect().contains(w.Dir1->visualRect(w.Dir1->currentIndex()));
        };
        return model->filePath(w.Dir1->currentIndex()).toStdString() == folder &&
               QTest::qWaitFor(seen, 5000) && (QApplication::processEvents(), seen());
    }
    TempDir place;
    std::string folder = (place / "a/b/c/d/e").string();
    QString before = QDir::currentPath();
};

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
            got << QString::fromStdString(answers->take()), want = QStringList{value};
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
        } else if (r[1].starts_with("dialog ")) {  // "dialog CHILD PROPERTY" once it opens
            got << "no dialog";
            QTimer::singleShot(0, [&] {
                if (QWidget* d = QApplication::activeModalWidget()) {
                    const auto* c = d->findChild<QObject*>(
                        QString::fromStdString(r[1].substr(7, r[1].rfind(' ') - 7)));
                    got = QStringList{c ? c->property(r[1].c_str() + r[1].rfind(' ') + 1).toString()
                                        : "no such child"};
                    d->close();
                }
            });
            QMetaObject::invokeMethod(o, "trigger");
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
