// The tray: the icon, its menu "&SysTRay", the start-in-tray marker, and a
// watch for a notification area that comes or goes while the program runs.
#pragma once

#include <QObject>
#include <cstdint>
#include <string>

#include "shell/run_worker.h"

class QSystemTrayIcon;
class QTimer;

namespace psf::shell {

class f_psf;

// What the tray tells of a run of the timer: "TITLE: 12 new images", or
// "TITLE: start page failed: CAUSE"; empty when there is nothing to tell.
std::string run_notice(const RunEnd& run);

class m_tbpsf final : public QObject {
  public:
    // Builds the tray's menu into `window`; the icon comes with `ensure`.
    explicit m_tbpsf(f_psf& window);

    // Whether the icon is in a notification area; without one the window is
    // never hidden, since nothing could bring it back.
    bool in_tray() const;
    // Adds the icon when a notification area has appeared since.
    void ensure();
    // Starts looking, once a second, for a notification area coming or going.
    void watch();
    // Removes the icon as the program ends.
    void remove();
    QSystemTrayIcon* icon() const { return icon_; }

    // The marker's presence in the data folder means: start hidden.
    static bool marker(const std::string& DataFolder);
    // A marker of the data folder that is not a regular file, named with
    // what it is; empty when each is one or missing.
    static std::string unusable_markers(const std::string& DataFolder);
    // The "&Start in the task bar" entry: the file decides the mark.
    void m_tb_Click();

    // Whether runs of the timer are told in the tray: unless the marker of
    // "Notify after scheduled runs" turned off is in the data folder.
    static bool notifies(const std::string& DataFolder);
    // The "Notify after scheduled runs" entry, kept in step with its marker.
    void m_avis_Click();
    // One desktop notification; clicking it opens the History window at `run`.
    void notify(const std::string& text, std::int64_t run);

  private:
    f_psf& w_;
    QSystemTrayIcon* icon_ = nullptr;
    QTimer* check_ = nullptr;
    bool was_there_ = false;
    std::int64_t notified_run_ = 0;
};

}  // namespace psf::shell
