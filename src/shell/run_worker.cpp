#include "shell/run_worker.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace psf::shell {

// Forwards what a run shows to the user-interface thread.
class RunWorker::Observer final : public RunObserver {
  public:
    Observer(QObject* ui, const Callbacks& callbacks) : ui_(ui), callbacks_(callbacks) {}
    void set_caption(const std::string& caption) override {
        QMetaObject::invokeMethod(ui_, [cb = callbacks_.caption, caption] { cb(caption); });
    }
    void set_colour(LabelColour colour) override {
        QMetaObject::invokeMethod(ui_, [cb = callbacks_.colour, colour] { cb(colour); });
    }

  private:
    QObject* ui_;
    const Callbacks& callbacks_;
};

RunWorker::RunWorker(const Clock& clock, TransferFactory make_transfer, Callbacks callbacks)
    : clock_(clock),
      make_transfer_(std::move(make_transfer)),
      callbacks_(std::move(callbacks)),
      ui_context_(std::make_unique<QObject>()),
      state_(std::make_unique<m_psf::CrawlState>()) {
    worker_context_ = new QObject;
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
    QMetaObject::invokeMethod(
        worker_context_,
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
        QMetaObject::invokeMethod(ui_context_.get(),
                                  [this, row = item.row, cancelled = summary.cancelled, end] {
                                      callbacks_.run_ended(row, cancelled, end);
                                  });
        // A run stopped at its time limit does not stop the job.
        if (summary.cancelled && !summary.timed_out) break;
    }
    QMetaObject::invokeMethod(ui_context_.get(), [this] { callbacks_.job_ended(); });
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
    if (deliver) QCoreApplication::sendPostedEvents(ui_context_.get());
    ui_context_.reset();
}

}  // namespace psf::shell
