#include <gtest/gtest.h>

#include <set>
#include <stop_token>

#include "platform/address.h"
#include "platform/curl_transfer.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace psf {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::TestServer;
using Clock = std::chrono::steady_clock;

// "@bytes": every byte value four times; "@C*N": N times C; "<F": the file F
// of tests/data/platform; else as written.
std::string body_of(const std::string& spec) {
    std::string all;
    for (int b = 0; b < 1024; ++b) all.push_back(static_cast<char>(b % 256));
    return spec == "@bytes" ? all
           : spec.starts_with("<")
               ? test::read_file(std::string(PICSIFTER_TEST_DATA) + "/platform/" + spec.substr(1))
           : spec.starts_with("@") ? std::string(std::stoul(spec.substr(3)), spec[1])
                                   : spec;
}

TEST(Transfer, ServerBehaviours) {
    TestServer server;
    std::map<std::string, std::vector<Reply>> replies;
    for (const auto& c : test::read_table("platform/replies.txt", 6)) {
        std::string value = c[5];
        if (const auto at = value.find("{H}"); at != std::string::npos)
            value.replace(at, 3, server.authority());
        replies[c[0]].emplace_back(std::stoi(c[1]), body_of(c[3]),
                                   c[2].empty() ? "text/html" : c[2],
                                   c[4].empty() ? test::Headers{} : test::Headers{{c[4], value}});
    }
    for (auto& [path, list] : replies) server.route(path, std::move(list));
    Reply cut(200, std::string(500, 'r'));
    cut.cut_after = 5;
    server.route("/reset", cut);
    server.on("/stall", [](test::Peer& p) { p.hold(); });
    Reply stopped(200, std::string(500, 's'));
    stopped.stall_after = 5, stopped.stall = 3s;
    server.route("/stopped", stopped);
    for (int i = 0; i < 11; ++i)
        for (const char* chain : {"/a", "/b"})
            if (i < 10 || chain[1] == 'b')
                server.route(
                    chain + std::to_string(i),
                    Reply(302, "", "text/html", {{"Location", chain + std::to_string(i + 1)}}));
    // A port nothing listens on: that of a server that has stopped.
    const std::string refused = TestServer().url("/");
    // One for all: a failure must leave nothing for the next fetch.
    CurlTransfer t({.stall_timeout_s = 1, .max_body = 4096, .retry_pause = 10ms});
    for (const auto& c : test::read_table("platform/transfer.txt", 8)) {
        SCOPED_TRACE(c.where);
        const auto url = [&](std::string a) { return a.starts_with("/") ? server.url(a) : a; };
        const std::string address = c[0] == "refused" ? refused : url(c[0]);
        const std::size_t before = server.requests().size();
        t.SetStopToken({});  // a new run: no host given up
        const Response r = t.OpenURL(address, c[1] == "text"  ? DataType::Text
                                              : c[1] == "css" ? DataType::StyleSheet
                                                              : DataType::Bytes);
        EXPECT_EQ(r.ok, c[2] != "0") << r.error;
        EXPECT_EQ(std::to_string(r.status), c[2]);
        EXPECT_TRUE(c[3] == "-" || cause_text(r) == c[3]) << cause_text(r);
        EXPECT_EQ(r.cause == Cause::HttpStatus, c[3].starts_with("HTTP status"));
        EXPECT_EQ(r.body, c[5] == "@unread" ? "" : body_of(c[5]));
        EXPECT_EQ(r.not_a_page, c[5] == "@unread");
        EXPECT_EQ(r.error.empty(), r.ok);
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
        EXPECT_TRUE(c[6] == "-" || r.final_url == (c[6].empty() ? address : url(c[6])))
            << r.final_url;
        EXPECT_EQ(std::to_string(server.requests().size() - before), c[4]);
        EXPECT_TRUE(c[7].empty() || server.requests().back().path == c[7]);
    }
    const auto log = server.requests();
    for (const auto& r : log) {
        EXPECT_EQ(r.method + " " + r.header("user-agent"), "GET Picsifter/2.0");
        EXPECT_NE(r.header("accept-encoding").find("gzip"), std::string::npos);
        EXPECT_FALSE(r.has("authorization"));
    }
    EXPECT_EQ(log.at(1).remote_port, log[0].remote_port);
    EXPECT_EQ(log.at(2).remote_port, log[0].remote_port);
}

TEST(Transfer, Addresses) {
    for (const auto& c : test::read_table("platform/address.txt", 3))
        EXPECT_EQ(c[0] == "request" ? request_address(c[1]) : origin_of(c[1]), c[2]) << c.where;
    EXPECT_EQ(request_address(std::string("http://h/\x7f\xff\x01\r\0b", 15)),
              "http://h/%7F%FF%01%0D%00b");
}

// A body the sink cannot keep (a full disk) is this side's failure.
TEST(Transfer, ABodyNotKeptIsNoFailureOfTheHost) {
    struct Refusing final : BodySink {
        bool Write(std::string_view) override { return false; }
        void Restart() override {}
    };
    TestServer server;
    server.page("/i", "GIF89a");
    CurlTransfer t({.give_up_after = 1});
    for (int k = 0; k < 2; ++k)
        t.Take(t.Start(server.url("/i"), DataType::Bytes, std::make_shared<Refusing>()));
    EXPECT_TRUE(t.GivenUp().empty() && server.requests().size() == 2);
}

// A Retry-After of an hour holds the next try back: it has not come when the
// run is stopped, fifty times the pause it would otherwise take later.
TEST(Transfer, RetryAfterHoldsTheNextTryBack) {
    TestServer server;
    server.route("/later",
                 {Reply(429, "wait", "text/plain", {{"Retry-After", "3600"}}), Reply(200, "now")});
    CurlTransfer t({.retry_pause = 10ms, .max_retry_pause = 2h});
    std::stop_source stop;
    t.SetStopToken(stop.get_token());
    std::jthread stopper([&] { std::this_thread::sleep_for(500ms), stop.request_stop(); });
    EXPECT_EQ(t.OpenURL(server.url("/later")).cause, Cause::Cancelled);
    EXPECT_LE(server.count("/later"), 1) << "tried again within the hour";
}

// Replies held back far longer than a stop may take to be seen.
TEST(Transfer, StopEndsEveryFetchInFlightAndEveryLaterOne) {
    Reply late(200, "late"), stalled(200, std::string(200, 's'), "image/gif");
    late.delay = 30s;
    stalled.stall_after = 20;
    stalled.stall = 30s;
    // Waiting for the headers, stalled in the body, one of ten fetched ahead.
    for (const auto& [slow, ahead] :
         std::vector<std::pair<Reply, int>>{{late, 1}, {stalled, 1}, {late, 10}}) {
        SCOPED_TRACE(std::to_string(ahead) + (slow.stall_after < 0 ? " late" : " stalled"));
        TestServer server;
        server.route("/slow", slow);
        server.page("/fast", "fast");
        CurlTransfer t;  // default 60 s stall time: only the stop can end it early
        std::stop_source stop;
        Clock::time_point at;
        std::jthread stopper([&] {
            std::this_thread::sleep_for(300ms);
            at = Clock::now();
            stop.request_stop();
        });
        t.SetStopToken(stop.get_token());
        std::vector<Ticket> tickets;
        for (int i = 0; i < ahead; ++i)
            tickets.push_back(t.Start(server.url("/slow"), DataType::Bytes));
        const Response r = t.Take(tickets[tickets.size() / 3]);
        const auto back = Clock::now();
        stopper.join();
        EXPECT_LT(back - at, 15s) << "the stop waited for the held replies";
        EXPECT_FALSE(r.ok || !r.body.empty() || r.error.empty());
        for (Ticket ticket : tickets) EXPECT_FALSE(t.Take(ticket).ok);
        server.clear_log();
        const Response later = t.OpenURL(server.url("/fast"), DataType::Text);
        EXPECT_FALSE(later.ok || !later.body.empty() || later.error.empty());
        // Stopped before its first fetch, then usable with a new token.
        CurlTransfer u;
        u.SetStopToken(stop.get_token());
        EXPECT_FALSE(u.OpenURL(server.url("/fast")).ok);
        EXPECT_EQ(server.requests().size(), 0u);
        std::stop_source second;
        u.SetStopToken(second.get_token());
        EXPECT_EQ(u.OpenURL(server.url("/fast")).body, "fast");
    }
}

TEST(Transfer, AheadTakenInAnyOrderWithinTheConnectionLimits) {
    // total connections, per host, connections the server sees
    for (const auto& [total, per_host, ports_seen] :
         std::vector<std::tuple<long, long, std::size_t>>{{1, 6, 1}, {16, 2, 2}, {3, 6, 3}}) {
        SCOPED_TRACE(std::to_string(total) + " in total, " + std::to_string(per_host) +
                     " per host");
        TestServer server;
        for (int i = 0; i < 5; ++i) {
            Reply r(200, "body " + std::to_string(i));
            r.delay = 100ms;  // long enough for every connection to be opened
            server.route("/" + std::to_string(i), r);
        }
        CurlTransfer t({.max_connections = total, .max_host_connections = per_host});
        std::vector<Ticket> tickets;
        for (int i = 0; i < 5; ++i)
            tickets.push_back(t.Start(server.url("/" + std::to_string(i)), DataType::Bytes));
        for (int i = 4; i >= 0; --i) {
            Response r = t.Take(tickets[static_cast<std::size_t>(i)]);
            EXPECT_EQ(r.body, "body " + std::to_string(i)) << r.error;
            EXPECT_EQ(r.final_url, server.url("/" + std::to_string(i)));
        }
        EXPECT_FALSE(t.Take(tickets[0]).ok);  // each ticket is taken once
        std::set<int> ports;
        for (const auto& r : server.requests()) ports.insert(r.remote_port);
        EXPECT_EQ(ports.size(), ports_seen);
        EXPECT_EQ(server.requests().size(), 5u);
        // Discarded: only what the connections had begun is asked.
        for (int i = 0; i < 20; ++i) tickets.push_back(t.Start(server.url("/0"), DataType::Text));
        t.Discard();
        EXPECT_FALSE(t.Take(tickets.back()).ok);
        EXPECT_LE(server.requests().size(), 5u + ports_seen);
        EXPECT_EQ(t.OpenURL(server.url("/1")).body, "body 1");
    }
}

TEST(Transfer, CredentialsOnlyAfterA401OnlyToTheOriginAndOnlyWithBoth) {
    TestServer origin, other_port, other_host("127.0.0.2");
    Reply closed(200, "x");
    closed.basic_auth = "anna:s3cret";
    for (TestServer* s : {&origin, &other_port, &other_host}) s->route("/p", closed);
    const auto to = [](std::string where) {
        return Reply(302, "", "text/html", {{"Location", where}});
    };
    origin.route("/login", to("/p"));
    origin.route("/to-other-host", to(other_host.url("/p")));
    origin.route("/to-other-port", to(other_port.url("/p")));
    origin.page("/open", "x, open");
    std::map<std::string, TestServer*> servers = {
        {"origin", &origin}, {"port", &other_port}, {"host", &other_host}};
    CurlTransfer t;
    for (const auto& c : test::read_table("platform/credentials.txt", 7)) {
        SCOPED_TRACE(c.where);
        for (TestServer* s : {&origin, &other_port, &other_host}) s->clear_log();
        std::string given = c[2];
        if (const auto at = given.find("{o}"); at != std::string::npos)
            given.replace(at, 3, origin.authority());
        t.SetCredentials(c[0], c[1], given);
        const Response r = t.OpenURL(
            servers.at(c[3].substr(0, c[3].find(' ')))->url(c[3].substr(c[3].find(' ') + 1)));
        const auto log = servers.at(c[5])->requests();
        EXPECT_EQ(std::to_string(r.status), c[4]) << r.error;
        EXPECT_NE(r.body.find(r.status == 200 ? "x" : "401"), std::string::npos) << r.body;
        std::string offered;
        for (const auto& q : log) offered += q.has("authorization") ? "1" : "0";
        EXPECT_EQ(offered, c[6]);
        EXPECT_EQ(r.final_url, servers.at(c[5])->url(log.back().path));
    }
}

}  // namespace
}  // namespace psf
