// The thread that task runs happen on, so the window never waits for a fetch.
// Jobs are started and their results applied on the user-interface thread;
// the runs themselves touch neither the widgets nor the task table.
#pragma once

#include <QThread>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/m_psf.h"
#include "platform/transfer.h"
#include "scheduler/clock.h"
#include "scheduler/run_record.h"
#include "scheduler/task_run.h"

namespace psf::shell {

struct RunItem {
    int row = 0;  // the task's row, for the stamp
    RunSpec spec;
    RunMode mode = RunMode::OnDemand;
};

using TransferFactory = std::function<std::unique_ptr<TransferControl>()>;

// What the window learns of a run that ended.
struct RunEnd {
    int row = 0;
    RunMode mode = RunMode::OnDemand;
    std::string task;        // the trimmed title
    bool cancelled = false;  // not to be stamped
    LocalTime end;
    int copied = 0;
    std::string start_failure;
    std::int64_t history_id = 0;  // 0 when the history did not record it
};

class Mailbox;

class RunWorker {
  public:
    // Called on the user-interface thread, in the order the run made them.
    struct Callbacks {
        std::function<void(const std::string&)> caption;
        std::function<void(LabelColour)> colour;
        std::function<void(const RunEnd&)> run_ended;
        std::function<void()> job_ended;
        // The history's first problem, once.
        std::function<void(const std::string&)> history_problem;
    };

    RunWorker(const Clock& clock, TransferFactory make_transfer, Callbacks callbacks);
    ~RunWorker();  // cancels the job and joins the thread; reports still queued are dropped
    RunWorker(const RunWorker&) = delete;
    RunWorker& operator=(const RunWorker&) = delete;

    // Runs the items one after the other, each recorded in the history of
    // `DataFolder`; job_ended follows the last (or at once when there is
    // none). Only one job at a time.
    void start(std::vector<RunItem> items, std::string DataFolder);
    // Stops the job: the transfer in progress aborts and no later item runs.
    void cancel();
    // Cancels, waits for the thread, then delivers what it still reported.
    void shutdown();

  private:
    class Observer;
    void stop_thread(bool deliver);
    void run_job(const std::vector<RunItem>& items, const std::string& DataFolder,
                 std::stop_token stop);

    const Clock& clock_;
    TransferFactory make_transfer_;
    Callbacks callbacks_;
    QThread thread_;
    Mailbox* worker_context_ = nullptr;  // lives on the worker thread
    std::unique_ptr<Mailbox> ui_context_;
    std::unique_ptr<TransferControl> inet_;  // used on the worker thread only
    std::unique_ptr<m_psf::CrawlState> state_;
    std::unique_ptr<RunRecorder> recorder_;  // used on the worker thread only
    std::stop_source stop_;
};

}  // namespace psf::shell
