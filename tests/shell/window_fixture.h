// A main window over a data folder of its own, with a fixed clock and
// message boxes that answer at once.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>

#include "platform/curl_transfer.h"
#include "shell/f_psf.h"
#include "store/schedule_file.h"
#include "support/temp_dir.h"

namespace psf::test {

using namespace psf::shell;
namespace fs = std::filesystem;

// Answers every message box at once and remembers what it said.
class Answers final : public MessageSeam {
  public:
    QMessageBox::StandardButton show(QWidget*, const editor::Message& m) override {
        said.push_back(m);
        if (while_open) {  // a real modal box, with `while_open` run from its loop
            QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
            QTimer::singleShot(0, &box, while_open);
            QTimer::singleShot(3000, &box, [&box] { box.done(QMessageBox::No); });
            return static_cast<QMessageBox::StandardButton>(box.exec());
        }
        if (m.buttons != editor::Buttons::YesNo) return QMessageBox::Ok;
        return answer_no ? QMessageBox::No : QMessageBox::Yes;
    }
    std::vector<editor::Message> said;
    bool answer_no = false;
    std::function<void()> while_open;
};

inline bool wait_until(const std::function<bool()>& done, int ms = 10'000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline Task stored_task(const std::string& title, const std::string& address,
                        const std::string& dest) {
    Task t{};
    t[Title] = title;
    t[StartAddress] = address;
    t[LinkDepth] = "0";
    t[ExistingImagePolicy] = "1";
    t[DestinationFolder] = dest;
    t[FolderLayout] = "1";
    t[ScheduleKind] = "1";
    t[IntervalIndex] = "0";
    for (int c = OnMonday; c <= OnSunday; ++c) t[static_cast<std::size_t>(c)] = "1";
    t[Drive] = "/";
    t[LastRunDate] = "2026/12/07";
    t[LastRunTime] = "08:00";
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
        WindowSetup setup;
        setup.clock = &clock;
        setup.messages = &answers;
        setup.app_data = app_data;
        setup.program_folder = (home / "program").string();
        setup.make_transfer = [] {
            TransferLimits limits;
            limits.stall_timeout_s = 5;
            return std::make_unique<CurlTransfer>(limits);
        };
        window = std::make_unique<f_psf>(std::move(setup));
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

// The folder list's current folder is in sight once the folders above it have
// loaded, and stays there.
inline bool folder_in_sight(f_psf& w) {
    auto* model = static_cast<QFileSystemModel*>(w.Dir1->model());
    auto in_sight = [&] {
        for (QModelIndex i = w.Dir1->currentIndex(); i.isValid(); i = i.parent())
            if (model->canFetchMore(i)) return false;
        return w.Dir1->viewport()->rect().contains(w.Dir1->visualRect(w.Dir1->currentIndex()));
    };
    if (!wait_until(in_sight, 5000)) return false;
    QApplication::processEvents();
    return in_sight();
}

}  // namespace psf::test
