#include "shell/run_worker.h"

#include <utility>

#include "scheduler/task_pass.h"
#include "shell/mailbox.h"

namespace psf::shell {

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

void RunWorker::start(std::vector<RunItem> items, std::string DataFolder) {
    stop_ = std::stop_source();
    worker_context_->post([this, items = std::move(items), folder = std::move(DataFolder),
                           token = stop_.get_token()] { run_job(items, folder, token); });
}

void RunWorker::run_job(const std::vector<RunItem>& items, const std::string& DataFolder,
                        std::stop_token stop) {
    if (!inet_ && !items.empty()) inet_ = make_transfer_();
    if (!recorder_ && !items.empty())
        recorder_ = std::make_unique<RunRecorder>(DataFolder, [this](const std::string& problem) {
            ui_context_->post([cb = callbacks_.history_problem, problem] { cb(problem); });
        });
    Observer observer(ui_context_.get(), callbacks_);
    const auto run = [&](std::size_t k) {
        const RunItem& item = items[k];
        const StartedBy by =
            item.mode == RunMode::Scheduled ? StartedBy::Timer : StartedBy::RetrieveNow;
        return recorder_->record(item.spec, by, clock_, [&](const m_psf::StoredLookup& stored) {
            return run_retrieval(item.spec, item.mode, *state_, *inet_, observer, stop, stored);
        });
    };
    // The user-interface thread, which keeps the table, stamps it.
    const auto ended = [&](std::size_t k, const RunSummary& summary, const LocalTime& end) {
        const RunItem& item = items[k];
        // A dead start page, a host given up, a full list or the time limit is
        // said once the run's own captions are done.
        if (const std::string note = end_note(summary);
            !note.empty() && (!summary.cancelled || summary.timed_out))
            observer.set_caption(note);
        RunEnd report{item.row,
                      item.mode,
                      item.spec.title,
                      summary.cancelled,
                      end,
                      summary.images_copied,
                      summary.start_failure,
                      recorder_->last_id()};
        ui_context_->post([this, report = std::move(report)] { callbacks_.run_ended(report); });
    };
    run_in_turn(items.size(), clock_, run, ended, stop);
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
