// The program's life around its window: one window per data folder, a second
// start that brings the first one forward, and the end without a question on
// SIGTERM, SIGINT, SIGHUP or the session's end.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "platform/app_data.h"

class QLocalServer;

namespace psf::shell {

class AppLife final : public QObject {
  public:
    using QObject::QObject;
    ~AppLife() override;

    // Takes the data folder's lock for the window's life. When another window
    // holds it, that window is asked to come forward.
    LockState take(const std::string& DataFolder);
    // Why the lock could not be used, naming its file, after take().
    std::string lock_error() const { return lock_ ? lock_->error() : std::string(); }
    // From now on a second start over `DataFolder` calls `come_forward`.
    void listen(const std::string& DataFolder, std::function<void()> come_forward);

  private:
    std::unique_ptr<DataFolderLock> lock_;
    QLocalServer* server_ = nullptr;
};

// SIGTERM, SIGINT, SIGHUP and the session's end call `end` on the main thread.
void end_on_signals(std::function<void()> end);

// Closes the open popups and modal boxes, whose loops of their own would hold
// up an end. True when there was one.
bool close_nested_loops();

}  // namespace psf::shell
