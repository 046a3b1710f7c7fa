#include "shell/m_tbpsf.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>

#include "platform/data_file.h"
#include "shell/f_psf.h"
#include "shell/widgets.h"

namespace psf::shell {

namespace {
constexpr int CheckInterval = 1000;              // ms
constexpr const char* MarkerFile = "pref1.txt";  // start in the tray
constexpr const char* QuietFile = "pref2.txt";   // no notifications after scheduled runs
constexpr int NoticeTime = 10'000;               // ms a notification stays

bool exists_in(const std::string& DataFolder, const char* name) {
    std::error_code ec;
    return !DataFolder.empty() && std::filesystem::exists(DataFolder + name, ec);
}

// Makes the marker file `name` of the data folder present or absent; never
// waits on a FIFO put in its place.
bool set_marker(const std::string& DataFolder, const char* name, bool present) {
    if (DataFolder.empty()) return false;
    const std::string marker = DataFolder + name;
    if (!present) return !QFile::exists(q(marker)) || QFile::remove(q(marker));
    const DataFile file(marker, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
    return file.is_open() && ::write(file.fd(), "\"1\"\r\n", 5) == 5;
}
}  // namespace

m_tbpsf::m_tbpsf(f_psf& window) : QObject(&window), w_(window) {
    // The tray's menu is not on the bar.
    w_.mPopupSys = named(new QMenu("&SysTRay", &w_), "mPopupSys");
    w_.mPopRestore = entry(w_.mPopupSys, "mPopRestore", "&Restore");
    w_.mPopExit = entry(w_.mPopupSys, "mPopExit", " &Quit");
    connect(w_.mPopRestore, &QAction::triggered, &w_, [this] { w_.restore(); });
    connect(w_.mPopExit, &QAction::triggered, &w_, &QWidget::close);
}

bool m_tbpsf::in_tray() const {
    return icon_ && icon_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

// A panel that restarts takes its notification area with it: the icon goes
// back into a new one within a second or two, and a window hidden in one
// that went is brought back, minimised.
void m_tbpsf::watch() {
    if (check_) return;
    check_ = new QTimer(this);
    check_->setInterval(CheckInterval);
    was_there_ = QSystemTrayIcon::isSystemTrayAvailable();
    connect(check_, &QTimer::timeout, this, [this] {
        const bool there = QSystemTrayIcon::isSystemTrayAvailable();
        if (w_.closing_ || there == was_there_) return;
        was_there_ = there;
        if (there) {
            if (icon_) icon_->hide();  // shown again in the new area
            ensure();
        } else if (w_.isHidden()) {
            w_.showMinimized();
        }
    });
    check_->start();
}

void m_tbpsf::ensure() {
    if (in_tray() || !QSystemTrayIcon::isSystemTrayAvailable()) return;
    if (!icon_) {
        icon_ = new QSystemTrayIcon(w_.windowIcon(), this);
        icon_->setObjectName("tray");
        icon_->setToolTip(editor::WindowCaption);
        connect(icon_, &QSystemTrayIcon::messageClicked, this,
                [this] { w_.show_history(notified_run_); });
        connect(icon_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    switch (reason) {
                        case QSystemTrayIcon::Trigger:
                        case QSystemTrayIcon::DoubleClick:
                            w_.restore();
                            break;
                        case QSystemTrayIcon::Context:
                            w_.raise();
                            w_.activateWindow();
                            w_.mPopupSys->popup(QCursor::pos());
                            break;
                        default:
                            break;
                    }
                });
    }
    icon_->show();
}

void m_tbpsf::remove() {
    if (icon_) icon_->hide();
}

bool m_tbpsf::marker(const std::string& DataFolder) {
    return exists_in(DataFolder, MarkerFile);
}

std::string m_tbpsf::unusable_markers(const std::string& DataFolder) {
    for (const char* name : {MarkerFile, QuietFile})
        if (const Result<void> usable = data_file_usable(DataFolder + name); !usable)
            return usable.error().text;
    return {};
}

void m_tbpsf::m_tb_Click() {
    // The action has toggled itself already; the file decides the mark.
    const std::string& folder = w_.data_folder();
    const bool was_ticked = !w_.m_tb->isChecked();
    if (set_marker(folder, MarkerFile, !was_ticked)) {
        w_.m_tb->setChecked(!was_ticked);
        return;
    }
    w_.m_tb->setChecked(was_ticked);
    w_.messages_->show(
        &w_, editor::program_message(
                 std::string(was_ticked ? "The start-in-tray setting could not be removed"
                                        : "The start-in-tray setting could not be saved") +
                 " in the data folder " + (folder.empty() ? std::string("(none)") : folder) + "."));
}

std::string run_notice(const RunEnd& run) {
    if (!run.start_failure.empty()) return run.task + ": start page failed: " + run.start_failure;
    if (run.copied <= 0) return {};
    return run.task + ": " + std::to_string(run.copied) +
           (run.copied == 1 ? " new image" : " new images");
}

bool m_tbpsf::notifies(const std::string& DataFolder) {
    return !exists_in(DataFolder, QuietFile);
}

void m_tbpsf::m_avis_Click() {
    const std::string& folder = w_.data_folder();
    const bool wanted = w_.m_avis->isChecked();
    if (set_marker(folder, QuietFile, !wanted)) return;
    w_.m_avis->setChecked(!wanted);
    w_.messages_->show(&w_, editor::program_message(
                                "The notification setting could not be saved in the data folder " +
                                (folder.empty() ? std::string("(none)") : folder) + "."));
}

void m_tbpsf::notify(const std::string& text, std::int64_t run) {
    notified_run_ = run;
    if (w_.setup_.notify) return w_.setup_.notify(text);
    if (!in_tray()) return;
    icon_->showMessage(q(editor::WindowCaption), q(text), QSystemTrayIcon::Information, NoticeTime);
}

}  // namespace psf::shell
