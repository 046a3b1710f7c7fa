// The program's life around its window: one window per data folder, a second
// start that brings the first one forward, and the end without a question on
// SIGTERM, SIGINT, SIGHUP or the session's end.
#pragma once

#include <QObject>
#include <functional>
#include <string>

#include "platform/end_signals.h"

class QLocalServer;

namespace psf::shell {

class AppLife final : public QObject {
  public:
    using QObject::QObject;
    ~AppLife() override;

    // Asks the window that holds `DataFolder` to come forward.
    static void call_first(const std::string& DataFolder);
    // From now on a second start over `DataFolder` calls `come_forward`.
    void listen(const std::string& DataFolder, std::function<void()> come_forward);

  private:
    QLocalServer* server_ = nullptr;
};

// The signals `caught` catches and the session's end call `end` on the main
// thread; without the signals' pipe, that is said once on standard error.
void end_on_signals(EndSignals& caught, std::function<void()> end);

// Closes the open popups and modal boxes, whose loops of their own would hold
// up an end. True when there was one.
bool close_nested_loops();

}  // namespace psf::shell
