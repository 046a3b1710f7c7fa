#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/curl_transfer.h"
#include "support/raw_server.h"
#include "support/table.h"
#include "support/test_server.h"

namespace psf {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::TestServer;
using Clock = std::chrono::steady_clock;

Reply redirect_to(const std::string& location) {
    Reply r;
    r.status = 302;
    r.headers["Location"] = location;
    return r;
}

std::string all_bytes() {
    std::string s;
    for (int b = 0; b < 1024; ++b) s.push_back(static_cast<char>(b % 256));
    return s;
}

// The server behaviours the rows of platform/transfer.txt name by path.
void serve_behaviours(test::RawServer& raw, TestServer& web, std::map<std::string, int>& seen,
                      std::mutex& m) {
    auto nth = [&](const std::string& path) {
        std::lock_guard lock(m);
        return ++seen[path];
    };
    raw.on("/bytes", test::reply(200, all_bytes(), "text/plain"));
    raw.on("/404", test::reply(404, "<html>gone</html>"));
    raw.on("/503", test::reply(503, "<html>busy</html>"));
    raw.on("/flaky", [nth](test::Peer& p) {
        p.send(nth("/flaky") <= 2 ? test::http_response(503, "busy")
                                  : test::http_response(200, "GIF89a", "image/gif"));
    });
    raw.on("/later", [nth](test::Peer& p) {
        p.send(nth("/later") == 1
                   ? test::http_response(429, "wait", "text/plain", {{"Retry-After", "1"}})
                   : test::http_response(200, "<html>now</html>"));
    });
    raw.on("/reset", [](test::Peer& p) {
        p.send("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\nshort");
        p.reset();
    });
    raw.on("/stall", [](test::Peer& p) { p.hold(); });
    raw.on("/png", test::reply(200, std::string(3000, 'p'), "image/png"));
    raw.on("/xhtml", test::reply(200, "<p/>", "application/xhtml+xml; charset=utf-8"));
    raw.on("/cap", test::gif(std::string(4096, 'x')));
    raw.on("/cap1", test::gif(std::string(4097, 'x')));
    web.page("/page.html", std::string(4000, 'y'));    // sent compressed
    web.page("/huge.html", std::string(102400, 'x'));  // compressed below the cap
    raw.on("/old", test::redirect("/mid", 301));
    raw.on("/mid", test::redirect(raw.url("/new")));
    raw.on("/new", test::reply(200, "<html>new</html>"));
    for (int i = 0; i < 11; ++i) {
        raw.on("/a" + std::to_string(i), test::redirect("/a" + std::to_string(i + 1)));
        raw.on("/b" + std::to_string(i), test::redirect("/b" + std::to_string(i + 1)));
    }
    raw.on("/a10", test::reply(200, "end"));
    raw.on("/b11", test::reply(200, "end"));
    raw.on("/l0", test::redirect("/l1"));
    raw.on("/l1", test::redirect("/l0"));
    raw.on("/go-ftp", test::redirect("ftp://" + raw.authority() + "/x.jpg"));
    raw.on("/go-file", test::redirect("file:///etc/hostname"));
    raw.on("/go-dict", test::redirect("dict://" + raw.authority() + "/"));
    raw.on("/my%20photo.jpg", test::gif("blank"));
    raw.on("/caf%C3%A9.jpg", test::gif("accent"));
    raw.on("/a%7Bb%7D.jpg?x=%22q%22", test::gif("marks"));
    raw.on("/kept%41.jpg", test::gif("percent"));
}

TEST(Transfer, ServerBehaviours) {
    test::RawServer raw;
    TestServer web;
    std::map<std::string, int> seen;
    std::mutex m;
    serve_behaviours(raw, web, seen, m);
    // A port nothing listens on: that of a server that has stopped.
    const std::string refused = "http://127.0.0.1:" + std::to_string(TestServer().port()) + "/";
    TransferLimits limits;
    limits.stall_timeout_s = 1;
    limits.retry_pause = 10ms;
    limits.max_body = 4096;
    CurlTransfer t(limits);  // one for all: a failure must leave nothing for the next fetch
    for (const auto& c : test::read_table("platform/transfer.txt", 8)) {
        SCOPED_TRACE(c.where);
        const bool on_web = c[0].starts_with("web:");
        const auto url = [&](const std::string& a) {
            return on_web ? web.url(a.substr(4)) : a.starts_with("/") ? raw.url(a) : a;
        };
        const std::string address = c[0] == "refused" ? refused : url(c[0]);
        const std::string body = c[5] == "@bytes" ? all_bytes()
                                 : c[5].starts_with("@") && c[5] != "@unread"
                                     ? std::string(std::stoul(c[5].substr(3)), c[5][1])
                                 : c[5] == "@unread" ? ""
                                                     : c[5];
        const std::size_t before = on_web ? web.requests().size() : raw.requests().size();
        t.SetStopToken({});  // a new run: no host given up
        const auto start = Clock::now();
        const Response r = t.OpenURL(address, c[1] == "text" ? DataType::Text : DataType::Bytes);
        const auto took = Clock::now() - start;
        EXPECT_EQ(r.ok, c[2] != "0") << r.error;
        EXPECT_EQ(std::to_string(r.status), c[2]);
        EXPECT_TRUE(c[3] == "-" || cause_text(r) == c[3]) << cause_text(r);
        EXPECT_EQ(r.cause == Cause::HttpStatus, c[3].starts_with("HTTP status"));
        EXPECT_EQ(r.body, body);
        EXPECT_EQ(r.not_a_page, c[5] == "@unread");
        EXPECT_EQ(r.error.empty(), r.ok);
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
        EXPECT_TRUE(!r.ok || c[6] == "-" || r.final_url == (c[6].empty() ? address : url(c[6])))
            << r.final_url;
        const auto log_size = on_web ? web.requests().size() : raw.requests().size();
        EXPECT_EQ(std::to_string(log_size - before), c[4]);
        EXPECT_TRUE(c[7].empty() || raw.requests().back().target == c[7]);
        EXPECT_TRUE(c[0] != "/later" || took >= 950ms) << "Retry-After honoured";
        EXPECT_LT(took, 6s);
    }
}

TEST(Transfer, RequestHeadersAndOneConnection) {
    TestServer server;
    server.page("/1", "one");
    server.image("/2", "two");
    Reply gone;
    gone.status = 404;
    gone.body = "three";
    server.route("/3", gone);
    CurlTransfer t;
    EXPECT_EQ(t.OpenURL(server.url("/1")).body, "one");
    EXPECT_EQ(t.OpenURL(server.url("/2"), DataType::Bytes).body, "two");
    EXPECT_EQ(t.OpenURL(server.url("/3")).body, "three");
    const auto log = server.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].headers.at("User-Agent"), "Picsifter/2.0");
    EXPECT_NE(log[0].headers.at("Accept-Encoding").find("gzip"), std::string::npos);
    EXPECT_EQ(log[0].headers.count("Authorization"), 0u);
    EXPECT_GT(log[0].remote_port, 0);
    EXPECT_EQ(log[1].remote_port, log[0].remote_port);
    EXPECT_EQ(log[2].remote_port, log[0].remote_port);
}

TEST(Transfer, Addresses) {
    for (const auto& c : test::read_table("platform/address.txt", 3))
        EXPECT_EQ(c[0] == "request" ? request_address(c[1]) : origin_of(c[1]), c[2]) << c.where;
    EXPECT_EQ(request_address("http://h/\x7f\x80\xff"), "http://h/%7F%80%FF");
    EXPECT_EQ(request_address("http://h/\x01\r"), "http://h/%01%0D");
    EXPECT_EQ(request_address(std::string("http://h/a\0b", 12)), "http://h/a%00b");
}

// ---------------------------------------------------------------- cancel

// Requests a stop from another thread 300 ms after it is made.
struct Stopper {
    std::stop_source source;
    Clock::time_point at;
    std::jthread thread{[this] {
        std::this_thread::sleep_for(300ms);
        at = Clock::now();
        source.request_stop();
    }};
    // How long after the stop the caller got back.
    Clock::duration late() {
        const auto now = Clock::now();
        thread.join();
        return now - at;
    }
};

TEST(TransferCancel, StopAbortsWithinASecondAndEveryLaterFetchFails) {
    Reply before_headers;
    before_headers.body = "late";
    before_headers.delay = 5s;
    Reply mid_body;
    mid_body.body = std::string(200, 's');
    mid_body.content_type = "image/gif";
    mid_body.stall_after = 20;
    mid_body.stall = 5s;
    for (const Reply& slow : {before_headers, mid_body}) {
        SCOPED_TRACE(slow.stall_after < 0 ? "waiting for the headers" : "stalled in the body");
        TestServer server;
        server.route("/slow", slow);
        server.page("/fast", "fast");
        CurlTransfer t;  // default 60 s stall time: only the stop can end it early
        Stopper stop;
        t.SetStopToken(stop.source.get_token());
        Response r = t.OpenURL(server.url("/slow"), DataType::Bytes);
        EXPECT_LT(stop.late(), 1500ms);
        EXPECT_FALSE(r.ok || !r.body.empty() || r.error.empty());
        server.clear_log();
        for (DataType type : {DataType::Text, DataType::Bytes}) {
            Response later = t.OpenURL(server.url("/fast"), type);
            EXPECT_FALSE(later.ok || !later.body.empty() || later.error.empty());
        }
        EXPECT_EQ(server.requests().size(), 0u);
        // Stopped before its first fetch, then usable with a new token.
        CurlTransfer u;
        u.SetStopToken(stop.source.get_token());
        EXPECT_FALSE(u.OpenURL(server.url("/fast")).ok);
        EXPECT_EQ(server.count("/fast"), 0);
        std::stop_source second;
        u.SetStopToken(second.get_token());
        EXPECT_EQ(u.OpenURL(server.url("/fast")).body, "fast");
    }
}

// ---------------------------------------------------------------- fetching ahead

TEST(TransferAhead, TakenInAnyOrderWithinTheConnectionLimits) {
    // total connections, per host, connections the server sees
    const std::vector<std::tuple<long, long, std::size_t>> cases = {
        {1, 6, 1}, {16, 2, 2}, {3, 6, 3}};
    for (const auto& [total, per_host, ports_seen] : cases) {
        SCOPED_TRACE(std::to_string(total) + " in total, " + std::to_string(per_host) +
                     " per host");
        TestServer server;  // closes a connection after five requests
        for (int i = 0; i < 5; ++i) {
            Reply r;
            r.body = "body " + std::to_string(i);
            r.delay = 100ms;  // long enough for every connection to be opened
            server.route("/" + std::to_string(i), r);
        }
        TransferLimits limits;
        limits.max_connections = total;
        limits.max_host_connections = per_host;
        CurlTransfer t(limits);
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
    }
}

TEST(TransferAhead, StopEndsEveryFetchInFlightAndDiscardDropsTheRest) {
    TestServer server;
    server.page("/a", "a");
    Reply slow;
    slow.body = "late";
    slow.delay = 5s;
    for (int i = 0; i < 20; ++i) server.route("/" + std::to_string(i), slow);
    CurlTransfer t;
    std::vector<Ticket> tickets;
    Stopper stop;
    t.SetStopToken(stop.source.get_token());
    for (int i = 0; i < 10; ++i)
        tickets.push_back(t.Start(server.url("/" + std::to_string(i)), DataType::Text));
    EXPECT_FALSE(t.Take(tickets[3]).ok);
    EXPECT_LT(stop.late(), 1s);
    for (Ticket ticket : tickets) EXPECT_FALSE(t.Take(ticket).ok);

    server.clear_log();
    TransferLimits limits;
    limits.max_connections = 2;
    CurlTransfer d(limits);
    for (int i = 0; i < 20; ++i)
        tickets.push_back(d.Start(server.url("/" + std::to_string(i)), DataType::Text));
    d.Discard();
    EXPECT_FALSE(d.Take(tickets.back()).ok);
    EXPECT_LE(server.requests().size(), 2u);  // only what two connections had begun
    EXPECT_EQ(d.OpenURL(server.url("/a")).body, "a");
}

// ---------------------------------------------------------------- credentials

Reply protected_page(std::string body) {
    Reply r;
    r.body = std::move(body);
    r.basic_auth = "anna:s3cret";
    return r;
}

int authorised(const TestServer& s) {
    int n = 0;
    for (const auto& r : s.requests()) n += static_cast<int>(r.headers.count("Authorization"));
    return n;
}

TEST(TransferCredentials, OnlyAfterA401OnlyToTheOriginAndOnlyWithBoth) {
    TestServer origin;
    TestServer other_port;  // same host, another port
    TestServer other_host("127.0.0.2");
    for (TestServer* s : {&origin, &other_port, &other_host}) s->route("/p", protected_page("x"));
    origin.route("/login", redirect_to("/p"));
    origin.route("/to-other-host", redirect_to(other_host.url("/p")));
    origin.route("/to-other-port", redirect_to(other_port.url("/p")));
    std::map<std::string, TestServer*> servers = {
        {"origin", &origin}, {"port", &other_port}, {"host", &other_host}};
    for (const auto& c : test::read_table("platform/credentials.txt", 7)) {
        SCOPED_TRACE(c.where);
        for (auto& [name, s] : servers) s->clear_log();
        std::string given = c[2];
        if (const auto at = given.find("{o}"); at != std::string::npos)
            given.replace(at, 3, "127.0.0.1:" + std::to_string(origin.port()));
        CurlTransfer t;
        t.SetCredentials("anna", "s3cret", origin.base());  // an earlier run's
        t.SetCredentials(c[0], c[1], given);
        const Response r = t.OpenURL(
            servers.at(c[3].substr(0, c[3].find(' ')))->url(c[3].substr(c[3].find(' ') + 1)));
        TestServer& asked = *servers.at(c[5]);
        EXPECT_EQ(std::to_string(r.status), c[4]) << r.error;
        EXPECT_NE(r.body.find(r.status == 200 ? "x" : "401"), std::string::npos) << r.body;
        EXPECT_EQ(std::to_string(authorised(asked)), c[6]);
        EXPECT_EQ(r.final_url, asked.url("/p"));
    }
    // Offered only after a 401, each fetch anew, and never to another host.
    for (auto& [name, s] : servers) s->clear_log();
    origin.page("/open", "open");
    CurlTransfer t;
    t.SetCredentials("anna", "s3cret", origin.url("/start.html"));
    EXPECT_EQ(t.OpenURL(origin.url("/p")).body, "x");
    EXPECT_EQ(t.OpenURL(origin.url("/open")).body, "open");
    EXPECT_EQ(t.OpenURL(other_host.url("/p")).status, 401);
    EXPECT_EQ(t.OpenURL(origin.url("/p")).body, "x");
    std::string offered;
    for (const auto& r : origin.requests()) offered += r.headers.count("Authorization") ? "1" : "0";
    EXPECT_EQ(offered, "01001");
    EXPECT_EQ(origin.requests()[1].headers.at("Authorization"), "Basic YW5uYTpzM2NyZXQ=");
    EXPECT_EQ(authorised(other_host), 0);
}

}  // namespace
}  // namespace psf
