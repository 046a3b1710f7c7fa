// Calls posted to one thread: the run worker's and the thumbnail reader's
// jobs, and what they report back to the user-interface thread.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace psf::shell {

// The calls for one thread. Qt's event loop only wakes that thread; the calls
// themselves cross under this mutex, an order ThreadSanitizer can see (it
// cannot see inside Qt).
class Mailbox : public QObject {
    Q_OBJECT
  public:
    // The wake-up is posted under the lock too, so that taking the calls
    // orders the poster's last touch of the mailbox before its deletion.
    void post(std::function<void()> call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    }

    std::deque<std::function<void()>> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

    Q_INVOKABLE void deliver() {
        for (auto& call : take()) call();
    }

  private:
    std::mutex mutex_;
    std::deque<std::function<void()>> calls_;
};

}  // namespace psf::shell
