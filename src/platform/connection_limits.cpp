#include "platform/connection_limits.h"

#include <algorithm>
#include <utility>

namespace psf {

ConnectionLimits::ConnectionLimits(const TransferLimits& limits)
    : total_(std::max(1L, limits.max_connections)),
      per_host_(std::max(1L, std::min(limits.max_host_connections, limits.max_connections))),
      streams_(std::max(1L, limits.max_streams)) {}

Result<void> ConnectionLimits::apply(CURLM* multi) const {
    for (const auto& [option, value] : {std::pair{CURLMOPT_MAX_TOTAL_CONNECTIONS, total_},
                                        std::pair{CURLMOPT_MAX_HOST_CONNECTIONS, per_host_},
                                        std::pair{CURLMOPT_MAXCONNECTS, total_},
                                        std::pair{CURLMOPT_MAX_CONCURRENT_STREAMS, streams_}})
        if (const CURLMcode rc = curl_multi_setopt(multi, option, value); rc != CURLM_OK)
            return Error{std::string("libcurl: ") + curl_multi_strerror(rc)};
    return {};
}

long ConnectionLimits::running(const std::string& origin) const {
    const auto it = running_.find(origin);
    return it == running_.end() ? 0 : it->second;
}

// One connection per running fetch, except that the fetches of an origin
// that multiplexes share one until its streams are taken.
long ConnectionLimits::connections_of(const std::string& origin, long here) const {
    if (!multiplexes(origin)) return here;
    const bool spills = spilled_.count(origin) != 0 || here > streams_;
    return std::min(here, spills ? per_host_ : 1L);
}

long ConnectionLimits::in_use() const {
    long n = 0;
    for (const auto& [origin, here] : running_) n += connections_of(origin, here);
    return n;
}

bool ConnectionLimits::host_full(const std::string& origin) const {
    return running(origin) >= (multiplexes(origin) ? streams_ * per_host_ : per_host_);
}

bool ConnectionLimits::all_full(const std::string& origin) const {
    const long here = running(origin);
    const bool new_connection = connections_of(origin, here + 1) > connections_of(origin, here);
    return new_connection && in_use() >= total_;
}

void ConnectionLimits::started(const std::string& origin) {
    if (++running_[origin] > streams_ && multiplexes(origin)) spilled_.insert(origin);
}

void ConnectionLimits::ended(const std::string& origin) {
    // Origins with nothing running are forgotten: a page of thousands of
    // hosts keeps the count short.
    if (const auto it = running_.find(origin); it != running_.end() && --it->second <= 0)
        running_.erase(it);
}

// Past what the connections can run, fetches started ahead only wait.
std::size_t ConnectionLimits::look_ahead() const {
    const long streams = multiplexed_.empty() ? 1 : streams_ * per_host_;
    if (total_ == 1 && streams == 1) return 1;
    return static_cast<std::size_t>(std::max(4 * total_, streams));
}

}  // namespace psf
