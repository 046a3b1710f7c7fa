// A transfer control without a network: a table of addresses to responses,
// and a log of the addresses asked for.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/transfer.h"

namespace psf::test {

struct FakeTransfer final : TransferControl {
    // An address not in the table fails like an unreachable host.
    void add(const std::string& url, std::string body, long status = 200, std::string to = {}) {
        Response& r = table[url] = Response();
        r.ok = true, r.status = status, r.body = std::move(body),
        r.final_url = to.empty() ? url : to;
    }
    void SetCredentials(const std::string& u, const std::string& p, const std::string& o) override {
        user = u, password = p, origin = o;
    }
    Response OpenURL(const std::string& url, DataType) override {
        fetched.push_back(url);
        Response none;
        none.error = "unreachable";
        return table.count(url) ? table[url] : none;
    }
    void SetStopToken(std::stop_token) override {}
    std::size_t LookAhead() const override { return ahead; }

    std::size_t ahead = 1;  // fetches started ahead; each is made when taken
    std::map<std::string, Response> table;
    std::vector<std::string> fetched;
    std::string user, password, origin;
};

}  // namespace psf::test
