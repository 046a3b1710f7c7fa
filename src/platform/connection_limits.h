// The connections the fetches of a transfer control may hold, in one place:
// the admission of fetches and libcurl's own limits come from the same numbers.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>

#include "platform/curl_transfer.h"
#include "platform/result.h"

namespace psf {

class ConnectionLimits {
  public:
    explicit ConnectionLimits(const TransferLimits& limits);

    // The same limits inside libcurl, for the connections a redirect opens,
    // which no admission sees.
    Result<void> apply(CURLM* multi) const;

    // Whether the fetches of `origin` running now fill what it may have.
    bool host_full(const std::string& origin) const;
    // Whether one more fetch of `origin` needs a connection, and none is free.
    bool all_full(const std::string& origin) const;
    bool admits(const std::string& origin) const { return !host_full(origin) && !all_full(origin); }
    void started(const std::string& origin);
    void ended(const std::string& origin);
    void clear() { running_.clear(); }

    // The origin's first answer came over HTTP/2: its fetches share a
    // connection, and once its streams are all taken libcurl opens another,
    // up to the connections one origin may have.
    void multiplexed(const std::string& origin) { multiplexed_.insert(origin); }

    // Enough fetches started ahead to keep every connection, and every stream
    // of a multiplexed one, busy while the oldest response is still awaited.
    std::size_t look_ahead() const;

  private:
    bool multiplexes(const std::string& origin) const { return multiplexed_.count(origin) != 0; }
    long running(const std::string& origin) const;
    long in_use() const;
    // The connections `here` running fetches of `origin` hold.
    long connections_of(const std::string& origin, long here) const;

    long total_;     // connections in all
    long per_host_;  // to one HTTP/1.1 origin
    long streams_;   // side by side on the connection of an origin that multiplexes
    std::map<std::string, long> running_;  // fetches running, by origin
    std::set<std::string> multiplexed_;
    // Multiplexed origins that once outgrew one connection: libcurl does not
    // wait for a connection still in its handshake, so such an origin is
    // counted at its full number of connections.
    std::set<std::string> spilled_;
};

}  // namespace psf
