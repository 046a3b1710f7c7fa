#include "platform/host_verdicts.h"

#include <algorithm>

#include "platform/fetch.h"

namespace psf {

void HostVerdicts::clear() {
    failures_in_row_.clear();
    given_up_.clear();
    order_.clear();
    answered_.clear();
    silent_time_ = {};
    silent_counted_ = {};
}

bool HostVerdicts::tally(const std::string& host, const Response& r) {
    if (host_failure(r))
        return ++failures_in_row_[host] >= limits_.give_up_after && !given_up(host);
    if (r.ok) failures_in_row_[host] = 0;
    return false;
}

bool HostVerdicts::count_silence(Clock::time_point began) {
    const auto now = Clock::now();
    silent_time_ += now - std::max(began, silent_counted_);
    silent_counted_ = now;
    return silent_spent();
}

void HostVerdicts::give_up(const std::string& host, bool unheard) {
    given_up_.emplace(host, unheard);
    order_.push_back(host);
}

std::vector<std::string> HostVerdicts::hosts(bool unheard) const {
    std::vector<std::string> out;
    for (const std::string& host : order_)
        if (given_up_.at(host) == unheard) out.push_back(host);
    return out;
}

Response HostVerdicts::failure(const std::string& host) const {
    if (given_up_.at(host))
        return Fetch::failure(Cause::GivenUp, "host given up unheard once the run had spent " +
                                                  std::to_string(limits_.silent_budget.count()) +
                                                  " s on hosts that do not answer");
    return Fetch::failure(Cause::GivenUp, "host given up after " +
                                              std::to_string(limits_.give_up_after) +
                                              " failed fetches in a row");
}

}  // namespace psf
