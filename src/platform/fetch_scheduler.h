// The fetches of one libcurl transfer control: started, admitted within the
// connection limits, tried again, given up with their host, and handed over.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/connection_limits.h"
#include "platform/curl_transfer.h"
#include "platform/fetch.h"
#include "platform/host_verdicts.h"

namespace psf {

class FetchScheduler {
  public:
    explicit FetchScheduler(const TransferLimits& limits);
    ~FetchScheduler();
    FetchScheduler(const FetchScheduler&) = delete;
    FetchScheduler& operator=(const FetchScheduler&) = delete;

    void set_credentials(const std::string& user, const std::string& password,
                         const std::string& origin);
    // Begins a run: hosts are judged afresh, and `stop` ends its fetches.
    void new_run(std::stop_token stop);
    Ticket start(const std::string& url, DataType type, std::shared_ptr<BodySink> sink,
                 const Validators& known);
    Response take(Ticket ticket);
    // Forgets every fetch not yet taken.
    void drop_all();

    std::size_t look_ahead() const { return connections_.look_ahead(); }
    std::vector<std::string> given_up(bool unheard) const { return verdicts_.hosts(unheard); }

  private:
    // Wakes a multi handle waiting for sockets when the run is stopped. Its
    // failure needs no answer: the wait it would cut short lasts at most
    // poll_ms(), after which the loop sees the stop and ends every fetch.
    struct Wake {
        CURLM* multi;
        void operator()() const noexcept { static_cast<void>(curl_multi_wakeup(multi)); }
    };
    using Running = std::map<Ticket, std::unique_ptr<Fetch>>;

    bool check(CURLMcode code, const char* call);
    void break_down();
    void recycle(CURL* easy);
    std::unique_ptr<Fetch> unhook(Running::iterator it);
    void requeue(std::unique_ptr<Fetch> f, bool behind_first);
    void give_up(const std::string& host, bool unheard = false);
    void count_silence(std::chrono::steady_clock::time_point began);
    void make_room(const Fetch& wanted);
    void admit();
    void collect();
    bool retry(std::unique_ptr<Fetch>& f, const Response& r);
    int poll_ms() const;

    TransferLimits limits_;
    CURLM* multi_ = nullptr;
    std::stop_token stop_;
    std::optional<std::stop_callback<Wake>> wake_on_stop_;
    std::string user_;
    std::string password_;
    std::string origin_;  // normalised; empty when no credentials are set
    Ticket next_ticket_ = 1;

    // Started, in start order, not yet admitted to the multi handle. Admitting
    // only what a free connection can take keeps libcurl's own queue empty, so
    // its connect and stall clocks run only while a transfer really runs.
    std::deque<std::unique_ptr<Fetch>> waiting_;
    Running running_;
    std::map<Ticket, Response> done_;
    std::vector<CURL*> spare_;  // reset easy handles for later fetches
    Account account_;
    ConnectionLimits connections_;
    HostVerdicts verdicts_;
    std::string broken_;  // why libcurl failed; then every fetch fails so
    // Bodies a sink refused (a full disk), not yet taken: until the caller has
    // seen them, no other fetch with a sink starts but the one awaited.
    int unkept_ = 0;
};

}  // namespace psf
