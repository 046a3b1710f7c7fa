// Which hosts a run gives up: one that fails fetch after fetch without
// answering, and, once the run has spent its time on tries that got no byte
// of an answer, every host it has not heard from.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/curl_transfer.h"
#include "platform/transfer.h"

namespace psf {

class HostVerdicts {
  public:
    using Clock = std::chrono::steady_clock;

    explicit HostVerdicts(const TransferLimits& limits) : limits_(limits) {}

    // A new run: every host is judged afresh.
    void clear();

    // Counts a final result against its host: only a fetch that brought an
    // answer ends a run of failures. True when the host is to be given up now.
    bool tally(const std::string& host, const Response& r);

    void heard_from(const std::string& host) { answered_.insert(host); }
    bool heard(const std::string& host) const { return answered_.count(host) != 0; }

    // A try that began at `began` ended without a byte of an answer; the time
    // tries side by side took is counted once. True once the run's time for
    // such tries is spent.
    bool count_silence(Clock::time_point began);
    bool silent_spent() const { return silent_time_ >= limits_.silent_budget; }

    void give_up(const std::string& host, bool unheard);
    bool given_up(const std::string& host) const { return given_up_.count(host) != 0; }
    // In the order given up: those given up unheard, or the others.
    std::vector<std::string> hosts(bool unheard) const;
    // What each later fetch of a host given up gets.
    Response failure(const std::string& host) const;

  private:
    const TransferLimits& limits_;
    std::map<std::string, int> failures_in_row_;
    std::map<std::string, bool> given_up_;  // whether unheard, once the silent time was spent
    std::vector<std::string> order_;
    std::set<std::string> answered_;  // hosts that sent a byte this run
    Clock::duration silent_time_{};
    Clock::time_point silent_counted_{};  // the end of the last silent try counted
};

}  // namespace psf
