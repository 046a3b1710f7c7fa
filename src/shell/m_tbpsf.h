// The tray: the icon, its menu "&SysTRay", the start-in-tray marker, and a
// watch for a notification area that comes or goes while the program runs.
#pragma once

#include <QObject>
#include <string>

class QSystemTrayIcon;
class QTimer;

namespace psf::shell {

class f_psf;

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
    // The "&Start in the task bar" entry: the file decides the mark.
    void m_tb_Click();

  private:
    f_psf& w_;
    QSystemTrayIcon* icon_ = nullptr;
    QTimer* check_ = nullptr;
    bool was_there_ = false;
};

}  // namespace psf::shell
