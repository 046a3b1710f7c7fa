#include "shell/m_tbpsf.h"

#include <QFile>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>

#include "shell/f_psf.h"
#include "shell/widgets.h"

namespace psf::shell {

namespace {
constexpr int CheckInterval = 1000;              // ms
constexpr const char* MarkerFile = "pref1.txt";  // start in the tray
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
    std::error_code ec;
    return !DataFolder.empty() && std::filesystem::exists(DataFolder + MarkerFile, ec);
}

void m_tbpsf::m_tb_Click() {
    // The action has toggled itself already; the file decides the mark.
    const std::string& folder = w_.data_folder();
    const bool was_ticked = !w_.m_tb->isChecked();
    const QString marker = q(folder + MarkerFile);
    bool ok = !folder.empty();
    if (ok && was_ticked) {
        ok = !QFile::exists(marker) || QFile::remove(marker);
    } else if (ok) {
        QFile file(marker);
        ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
             file.write("\"1\"\r\n") == 5 && file.flush();
    }
    if (ok) {
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

}  // namespace psf::shell
