// One fetch of the libcurl transfer control: its easy handle, what arrives for
// it, and where its try stands.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>

#include "platform/curl_transfer.h"
#include "platform/result.h"
#include "platform/transfer.h"

namespace psf {

// What the fetches of one transfer control share: the bytes of bodies held in
// memory, and the fetch a caller is waiting for (it never pauses).
struct Account {
    std::size_t held = 0;
    Ticket awaited = 0;
};

// Where a try of a fetch stands. Once a callback has ended the try for a
// reason of its own, that reason stays until the next try.
enum class FetchState {
    Waiting,   // started, not admitted; a retry waits here for its time
    Admitted,  // running, no byte of the body yet
    Body,      // the body's bytes are taken (into `body` or the sink)
    Paused,    // over the memory bound: libcurl holds the bytes
    Dropping,  // with a sink, a status of 400 or above: the body is dropped
    // Ended by a callback:
    NotAPage,      // a type the form did not ask for: the body left unread (not a failure)
    OverCap,       // the body grew past the cap
    Stalled,       // no byte for the stall time
    LongRedirect,  // a redirect to an address longer than the limit
    NotKept,       // the sink refused the bytes
    NoMemory,      // memory ran out
};

class Fetch {
  public:
    Fetch() = default;
    Fetch(const Fetch&) = delete;
    Fetch& operator=(const Fetch&) = delete;
    ~Fetch() { curl_slist_free_all(conditions_); }

    Ticket ticket = 0;
    std::string address;
    std::string origin;  // for the admission counts and the host's verdicts
    bool with_credentials = false;
    DataType form = DataType::Bytes;  // a body of a type not asked for is left unread
    std::size_t max_body = 0;
    int attempt = 0;                                   // tries made before this one
    std::chrono::steady_clock::time_point not_before;  // a retry waits until then
    std::chrono::steady_clock::time_point started;     // this try's admission
    CURL* easy = nullptr;
    const TransferLimits* limits = nullptr;
    const std::stop_token* stop = nullptr;
    Account* account = nullptr;
    std::shared_ptr<BodySink> sink;  // byte form: where the body goes instead of `body`
    std::size_t counted = 0;         // body bytes held and counted in `account`

    FetchState state() const { return state_; }
    // The one place the state changes. Admitted begins a try afresh.
    void enter(FetchState next);

    // The request headers of a conditional fetch.
    void ask_if_changed(const Validators& known);
    // Every option set again on a reset handle, then Admitted; fails with the
    // first option libcurl refused.
    Result<void> configure(const std::string& user, const std::string& password);
    // Paused no more: libcurl hands the bytes it held again.
    void resume();
    // Whether any byte of an answer, head or body, came on this try.
    bool heard() const;
    // What the try that ended with `rc` brought.
    Response result(CURLcode rc);
    // The pause before the next try: doubling from the first pause, at least
    // what the server asked for (Retry-After), never above the bound.
    std::chrono::milliseconds retry_pause() const;

    static Response failure(Cause cause, std::string why);

  private:
    static size_t on_body(char* data, size_t size, size_t count, void* self_ptr);
    static size_t on_header(char* data, size_t size, size_t count, void* self_ptr);
    static int on_progress(void* self_ptr, curl_off_t, curl_off_t received, curl_off_t, curl_off_t);
    size_t take_body(char* data, size_t n);
    Response outcome(CURLcode rc);
    std::string reached() const;
    std::string header_value(const char* name) const;

    FetchState state_ = FetchState::Waiting;
    curl_slist* conditions_ = nullptr;  // If-None-Match, If-Modified-Since
    std::string body_;
    std::size_t size_ = 0;  // body bytes of this try
    curl_off_t last_count_ = 0;
    std::chrono::steady_clock::time_point last_arrival_;
    char errbuf_[CURL_ERROR_SIZE] = {};
};

}  // namespace psf
