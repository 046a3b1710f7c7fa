// The transfer control: the only way the engine reaches the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <stop_token>
#include <string>
#include <utility>

namespace psf {

// What a fetch gives back. A response with any HTTP status is ok == true;
// ok == false means no usable body: transport failure, time-out, body over
// the cap, refused address or cancelled run.
struct Response {
    bool ok = false;
    long status = 0;
    std::string body;       // raw bytes, one byte per char
    std::string final_url;  // address the body came from, after redirects
    std::string error;      // reason when !ok
};

enum class DataType { Text, Bytes };

// Names one fetch begun with Start.
using Ticket = std::uint64_t;

class TransferControl {
  public:
    virtual ~TransferControl() = default;

    // Credentials are offered only when a server asks (401), and only to the
    // scheme, host and port of `origin` (the task's start address). Empty user
    // or password clears both.
    virtual void SetCredentials(const std::string& user, const std::string& password,
                                const std::string& origin) = 0;

    // Text form and byte form: both return the body as raw bytes.
    virtual Response OpenURL(const std::string& url, DataType type = DataType::Text) = 0;

    // A stop request aborts the transfers in progress within a second and makes
    // every later fetch fail at once.
    virtual void SetStopToken(std::stop_token token) = 0;

    // ---- Fetching ahead -------------------------------------------------------
    // Start queues a fetch and returns at once; Take waits for that fetch and
    // hands over its response. Tickets may be taken in any order, each once. A
    // fetch may be made at any time between its Start and its Take; callers
    // start only what they are sure to take. The default realisation fetches
    // nothing ahead: Take makes the fetch then.

    // How many fetches are worth having started and not yet taken; 1 means one
    // fetch at a time.
    virtual std::size_t LookAhead() const { return 1; }

    virtual Ticket Start(const std::string& url, DataType type) {
        queued_.push_back({next_ticket_, {url, type}});
        return next_ticket_++;
    }

    virtual Response Take(Ticket ticket) {
        for (auto it = queued_.begin(); it != queued_.end(); ++it) {
            if (it->first != ticket) continue;
            const auto [url, type] = std::move(it->second);
            queued_.erase(it);
            return OpenURL(url, type);
        }
        Response none;
        none.error = "unknown ticket";
        return none;
    }

    // Forgets every fetch started and not yet taken (a run that ends early).
    virtual void Discard() { queued_.clear(); }

  private:
    std::deque<std::pair<Ticket, std::pair<std::string, DataType>>> queued_;
    Ticket next_ticket_ = 1;
};

}  // namespace psf
