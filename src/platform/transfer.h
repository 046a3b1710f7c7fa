// The transfer control: the only way the engine reaches the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/cause.h"

namespace psf {

// Longer addresses are neither resolved, fetched nor followed: one long
// redirect target would otherwise be copied into every address resolved
// against it.
inline constexpr std::size_t MaxAddressLength = 8192;

// A style sheet is read only up to this size; a larger one is a failure.
inline constexpr std::size_t MaxStyleSheet = 2 * 1024 * 1024;

// What a fetch gives back. A response with any HTTP status is ok == true;
// ok == false means no usable body: transport failure, time-out, body over
// the cap, refused address or cancelled run.
struct Response {
    bool ok = false;
    long status = 0;
    std::string body;  // raw bytes, one byte per char
    // Address the body came from, after redirects; on a failure, the
    // address that failed, when known.
    std::string final_url;
    std::string content_type;  // as the server sent it, possibly empty
    std::string error;         // reason when !ok
    Cause cause = Cause::None;
    // Text and style-sheet forms: the headers named a type that is not the
    // one asked for (an image, an archive), so the body was left unread. Not
    // a failure.
    bool not_a_page = false;
    bool redirected = false;  // a redirect led to final_url
    // The validators of the body, as the server sent them; empty when it sent none.
    std::string last_modified;
    std::string etag;
    // Body bytes that came over the network for this answer (compressed as
    // sent), whether the body was kept or not.
    std::uint64_t received = 0;
};

// The cause of a failed fetch in a few words ("connection refused", "HTTP
// status 404"), or empty when the response is a usable one.
inline std::string cause_text(const Response& r) {
    const CauseRow& row = row_of(r.cause);
    switch (row.says) {
        case Says::Words:
            if (r.cause != Cause::None) return row.words;
            break;
        case Says::Error:
            return r.error;
        case Says::WordsAndError:
            return row.words + r.error;
        case Says::WordsAndStatus:
            return row.words + std::to_string(r.status);
    }
    if (!r.ok) return r.error.empty() ? "failed" : r.error;
    if (r.status >= 400) return row_of(Cause::HttpStatus).words + std::to_string(r.status);
    return {};
}

// True for the failures worth another try: a broken connection, an answer
// that stopped, a 5xx status or 429. A 4xx other than 429 never changes on its
// own, and a host that let a whole stall time pass without a byte is not asked
// the same again at once.
inline bool transient(const Response& r) {
    if (r.ok) return r.status >= 500 || r.status == 429;
    return r.cause == Cause::Reset || r.cause == Cause::TimedOut;
}

// Whether a failure counts toward giving its host up (see CauseTable).
inline bool host_failure(const Response& r) {
    return row_of(r.cause).host_failure;
}

// Text: a page (HTML, XHTML, plain text or no type). StyleSheet: text/css
// or no type, at most MaxStyleSheet bytes. Bytes: anything.
enum class DataType { Text, Bytes, StyleSheet };

// Where a byte-form body goes as it arrives, instead of into Response::body,
// so that no image is ever held whole in memory.
class BodySink {
  public:
    virtual ~BodySink() = default;
    // False stops the fetch: the bytes could not be kept.
    virtual bool Write(std::string_view bytes) = 0;
    // The fetch is tried again: what came before is forgotten.
    virtual void Restart() = 0;
};

// What a fetch of a copy already kept says of it, so that the server sends the
// body only when it changed: a 304 answer, without a body, says it did not.
struct Validators {
    std::string etag;           // sent as If-None-Match
    std::string last_modified;  // an HTTP date, sent as If-Modified-Since
    bool empty() const { return etag.empty() && last_modified.empty(); }
};

// A user name and a password go together: one without the other is no
// credential at all.
inline bool complete_credentials(std::string_view user, std::string_view password) {
    return !user.empty() && !password.empty();
}

// Names one fetch begun with Start.
using Ticket = std::uint64_t;

class TransferControl {
  public:
    virtual ~TransferControl() = default;

    // Credentials are offered only when a server asks (401), and only to the
    // scheme, host and port of `origin` (the task's start address). Credentials
    // that are not complete_credentials() clear both.
    virtual void SetCredentials(const std::string& user, const std::string& password,
                                const std::string& origin) = 0;

    // Every form returns the body as raw bytes. The text form fetches pages
    // and the style-sheet form style sheets: a body of another type is left
    // unread (`not_a_page`). Transient failures are tried again before the
    // answer.
    virtual Response OpenURL(const std::string& url, DataType type = DataType::Text) = 0;

    // Begins a run. A stop request aborts the transfers in progress within a
    // second and makes every later fetch fail at once. The hosts given up by
    // an earlier run are forgotten.
    virtual void SetStopToken(std::stop_token token) = 0;

    // The hosts ("scheme://host:port") given up so far in this run: each failed
    // or timed out several fetches in a row, and its later fetches fail at once.
    virtual std::vector<std::string> GivenUp() const { return {}; }

    // The hosts given up without a byte from them once the run had spent its
    // time for hosts that do not answer; their later fetches fail at once.
    virtual std::vector<std::string> GivenUpUnheard() const { return {}; }

    // ---- Fetching ahead -------------------------------------------------------
    // Start queues a fetch and returns at once; Take waits for that fetch and
    // hands over its response. Tickets may be taken in any order, each once. A
    // fetch may be made at any time between its Start and its Take; callers
    // start only what they are sure to take. The default realisation fetches
    // nothing ahead: Take makes the fetch then.

    // How many fetches are worth having started and not yet taken; 1 means one
    // fetch at a time.
    virtual std::size_t LookAhead() const { return 1; }

    // With a `sink`, a byte-form body goes there and the response's body
    // stays empty; a body under a status of 400 or above is not kept at all.
    // `known` makes the fetch conditional; this default fetches whatever
    // changed, as a server that ignores the validators answers.
    virtual Ticket Start(const std::string& url, DataType type,
                         std::shared_ptr<BodySink> sink = nullptr, const Validators& known = {}) {
        static_cast<void>(known);
        queued_.push_back({next_ticket_, {url, type, std::move(sink)}});
        return next_ticket_++;
    }

    virtual Response Take(Ticket ticket) {
        for (auto it = queued_.begin(); it != queued_.end(); ++it) {
            if (it->first != ticket) continue;
            const Queued q = std::move(it->second);
            queued_.erase(it);
            Response r = OpenURL(q.url, q.type);
            if (q.sink && r.ok) {
                if (r.status < 400 && !q.sink->Write(r.body)) {
                    r = {};
                    r.cause = Cause::NotKept;
                    r.error = "cannot keep the body";
                }
                r.body.clear();
            }
            return r;
        }
        Response none;
        none.error = "unknown ticket";
        none.cause = Cause::Other;
        return none;
    }

    // Forgets every fetch started and not yet taken (a run that ends early).
    virtual void Discard() { queued_.clear(); }

  private:
    struct Queued {
        std::string url;
        DataType type;
        std::shared_ptr<BodySink> sink;
    };
    std::deque<std::pair<Ticket, Queued>> queued_;
    Ticket next_ticket_ = 1;
};

}  // namespace psf
