// libcurl realisation of the transfer control: one multi handle for every fetch
// of a run, so connections are kept alive and fetches started ahead run side by
// side within the connection limits. Its parts: fetch.h (one fetch),
// fetch_scheduler.h (admission, retries, hosts given up), connection_limits.h,
// host_verdicts.h, curl_cause.h and address.h.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/transfer.h"

namespace psf {

struct TransferLimits {
    long connect_timeout_s = 30;
    long stall_timeout_s = 60;                 // abort when no byte arrives for this long
    long transfer_timeout_s = 900;             // a server dribbling bytes cannot hold a run
    std::size_t max_body = 64u * 1024 * 1024;  // larger bodies are failures
    long max_redirects = 10;
    // Connections open at once, in total and to one scheme, host and port,
    // as browsers limit them.
    long max_connections = 16;
    long max_host_connections = 6;
    // Fetches side by side on each connection of an origin known to multiplex
    // (its first answer came over HTTP/2); once every stream is taken another
    // connection is opened, within the host limit. One connection and one
    // stream make every fetch wait for the one before.
    long max_streams = 100;
    // A CA bundle trusted besides the system's; empty: the value of
    // PICSIFTER_CA_BUNDLE, if any. Certificates are verified either way.
    std::string ca_bundle{};
    // A transient failure (see `transient`) is tried again up to `retries`
    // times, after a pause that doubles from `retry_pause`; a Retry-After from
    // the server lengthens it. No pause exceeds `max_retry_pause`.
    int retries = 2;
    std::chrono::milliseconds retry_pause{1000};
    std::chrono::milliseconds max_retry_pause{10000};
    // A host whose fetches fail or time out this many times in a row is given
    // up for the rest of the run.
    int give_up_after = 5;
    // The time a run may spend on tries that get no byte of an answer, counted
    // once while several run side by side. Once it is spent, every host not
    // heard from in the run is given up, so that a page of thousands of silent
    // hosts cannot hold a run for hours.
    std::chrono::seconds silent_budget{180};
    // Bodies held in memory for fetches started ahead and not yet taken: past
    // this, every one but the fetch awaited pauses until bodies are taken.
    std::size_t max_held = 256u * 1024 * 1024;
};

class FetchScheduler;

class CurlTransfer final : public TransferControl {
  public:
    explicit CurlTransfer(TransferLimits limits = {});
    ~CurlTransfer() override;
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    void SetCredentials(const std::string& user, const std::string& password,
                        const std::string& origin) override;
    Response OpenURL(const std::string& url, DataType type = DataType::Text) override;
    void SetStopToken(std::stop_token token) override;
    std::vector<std::string> GivenUp() const override;
    std::vector<std::string> GivenUpUnheard() const override;

    std::size_t LookAhead() const override;
    Ticket Start(const std::string& url, DataType type, std::shared_ptr<BodySink> sink = nullptr,
                 const Validators& known = {}) override;
    Response Take(Ticket ticket) override;
    void Discard() override;

  private:
    std::unique_ptr<FetchScheduler> scheduler_;
};

}  // namespace psf
