#include "shell/run_worker.h"

#include <QMetaObject>
#include <deque>
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

// Forwards what a run shows to the user-interface thread.
class RunWorker::Observer final : public RunObserver {
  public:
    Observer(Mailbox* ui, const Callbacks& callbacks) : ui_(ui), callbacks_(callbacks) {}
    void set_caption(const std::string& caption) override {
        ui_->post([cb = callbacks_.caption, caption] { cb(caption); });
    }
    void set_colour(LabelColour colour) override {
        ui_->post([cb = callbacks_.colour, colour] { cb(colour); });
    }

  private:
    Mailbox* ui_;
    const Callbacks& callbacks_;
};

RunWorker::RunWorker(const Clock& clock, TransferFactory make_transfer, Callbacks callbacks)
    : clock_(clock),
      make_transfer_(std::move(make_transfer)),
      callbacks_(std::move(callbacks)),
      ui_context_(std::make_unique<Mailbox>()),
      state_(std::make_unique<m_psf::CrawlState>()) {
    worker_context_ = new Mailbox;
    worker_context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, worker_context_, &QObject::deleteLater);
    thread_.setObjectName("task runs");
    thread_.start();
}

RunWorker::~RunWorker() {
    stop_thread(false);
}

void RunWorker::start(std::vector<RunItem> items) {
    stop_ = std::stop_source();
    worker_context_->post(
        [this, items = std::move(items), token = stop_.get_token()] { run_job(items, token); });
}

void RunWorker::run_job(const std::vector<RunItem>& items, std::stop_token stop) {
    if (!inet_ && !items.empty()) inet_ = make_transfer_();
    Observer observer(ui_context_.get(), callbacks_);
    for (const RunItem& item : items) {
        if (stop.stop_requested()) break;
        const RunSummary summary =
            run_retrieval(item.spec, item.mode, *state_, *inet_, observer, stop);
        const LocalTime end = clock_.now();
        // A dead start page, a host given up, a full list or the time limit is
        // said once the run's own captions are done.
        if (const std::string note = end_note(summary);
            !note.empty() && (!summary.cancelled || summary.timed_out))
            observer.set_caption(note);
        ui_context_->post([this, row = item.row, cancelled = summary.cancelled, end] {
            callbacks_.run_ended(row, cancelled, end);
        });
        // A run stopped at its time limit does not stop the job.
        if (summary.cancelled && !summary.timed_out) break;
    }
    ui_context_->post([this] { callbacks_.job_ended(); });
}

void RunWorker::cancel() {
    stop_.request_stop();
}

void RunWorker::shutdown() {
    stop_thread(true);
}

void RunWorker::stop_thread(bool deliver) {
    if (!thread_.isRunning()) return;
    cancel();
    thread_.quit();
    thread_.wait();
    // The runs that ended before the cancel still report, so their stamps are
    // kept; the cancelled one reports itself cancelled.
    auto reports = ui_context_->take();
    if (deliver)
        for (auto& report : reports) report();
    ui_context_.reset();
}

}  // namespace psf::shell

#include "run_worker.moc"
