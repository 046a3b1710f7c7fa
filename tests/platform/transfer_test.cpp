#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/curl_transfer.h"
#include "support/raw_server.h"
#include "support/test_server.h"

namespace psf {
namespace {

using namespace std::chrono_literals;
using test::Reply;
using test::TestServer;
using Clock = std::chrono::steady_clock;

Reply redirect_to(const std::string& location, int status = 302) {
    Reply r;
    r.status = status;
    r.body = "moved";
    r.headers["Location"] = location;
    return r;
}

Reply with_status(int status, std::string body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

std::string all_bytes() {
    std::string s;
    for (int round = 0; round < 4; ++round)
        for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
    return s;
}

bool has_header(const test::Request& r, const std::string& name) {
    return r.headers.count(name) != 0;
}

std::string header(const test::Request& r, const std::string& name) {
    auto it = r.headers.find(name);
    return it == r.headers.end() ? std::string() : it->second;
}

// A port nothing listens on: bound by a server that is then stopped.
int closed_port() {
    TestServer gone;
    return gone.port();
}

std::uint32_t crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A gzip stream of one stored (uncompressed) deflate block: small, and built
// here so the test does not depend on the server's choice of compression.
std::string gzip_stored(const std::string& data) {
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    const auto len = static_cast<std::uint16_t>(data.size());
    const auto nlen = static_cast<std::uint16_t>(~len);
    auto put16 = [&out](std::uint16_t v) {
        out.push_back(static_cast<char>(v & 0xff));
        out.push_back(static_cast<char>(v >> 8));
    };
    auto put32 = [&out](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    out.push_back('\x01');  // final block, stored
    put16(len);
    put16(nlen);
    out += data;
    put32(crc32(data));
    put32(static_cast<std::uint32_t>(data.size()));
    return out;
}

// ---------------------------------------------------------------- bodies

TEST(TransferBody, BytesArriveExactlyInBothForms) {
    TestServer server;
    const std::string bytes = all_bytes();
    Reply plain;
    plain.body = bytes;
    plain.content_type = "text/plain";  // a type both forms read
    server.route("/b.gif", plain);
    CurlTransfer t;
    for (DataType type : {DataType::Text, DataType::Bytes}) {
        SCOPED_TRACE(type == DataType::Text ? "text form" : "byte form");
        Response r = t.OpenURL(server.url("/b.gif"), type);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, bytes);
        EXPECT_EQ(r.final_url, server.url("/b.gif"));
        EXPECT_TRUE(r.error.empty());
    }
}

TEST(TransferBody, SizeCap) {
    // The compressible page arrives with a small Content-Length, so only the
    // count of decoded bytes can catch it.
    struct Case {
        const char* name;
        std::string content_type;
        std::size_t size;
        bool ok;
    };
    const std::size_t cap = 4096;
    const std::vector<Case> cases = {
        {"exactly the cap", "image/gif", cap, true},
        {"one byte over, length announced", "image/gif", cap + 1, false},
        {"compressed, decoded size over", "text/html", cap * 25, false},
    };
    TestServer server;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Reply r;
        r.body = std::string(cases[i].size, 'x');
        r.content_type = cases[i].content_type;
        server.route("/c" + std::to_string(i), r);
    }
    TransferLimits limits;
    limits.max_body = cap;
    CurlTransfer t(limits);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        Response r = t.OpenURL(server.url("/c" + std::to_string(i)), DataType::Bytes);
        EXPECT_EQ(r.ok, cases[i].ok) << r.error;
        if (cases[i].ok) {
            EXPECT_EQ(r.body.size(), cases[i].size);
        } else {
            EXPECT_TRUE(r.body.empty());
            EXPECT_FALSE(r.error.empty());
        }
    }
}

// ---------------------------------------------------------------- failures

// Each failure names its cause; transient ones are tried twice more, a 4xx
// never; a text-form body that is not a page is left unread.
TEST(TransferFailure, CausesAndRetries) {
    test::RawServer server;
    std::map<std::string, int> seen;
    std::mutex m;
    auto nth = [&](const std::string& path) {
        std::lock_guard lock(m);
        return ++seen[path];
    };
    server.on("/404", test::reply(404, "<html>gone</html>"));
    server.on("/503", test::reply(503, "<html>busy</html>"));
    server.on("/flaky", [&](test::Peer& p) {
        p.send(nth("/flaky") <= 2 ? test::http_response(503, "busy")
                                  : test::http_response(200, "GIF89a", "image/gif"));
    });
    server.on("/later", [&](test::Peer& p) {
        p.send(nth("/later") == 1
                   ? test::http_response(429, "wait", "text/plain", {{"Retry-After", "1"}})
                   : test::http_response(200, "<html>now</html>"));
    });
    server.on("/reset", [](test::Peer& p) {
        p.send("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\nshort");
        p.reset();
    });
    server.on("/stall", [](test::Peer& p) { p.hold(); });
    server.on("/png", test::reply(200, std::string(100000, 'p'), "image/png"));
    server.on("/xhtml", test::reply(200, "<p/>", "application/xhtml+xml; charset=utf-8"));
    struct Case {
        const char* name;
        std::string url;
        DataType type;
        long status;  // 0: no response
        Cause cause;
        std::size_t requests;
        std::string body;
    };
    const std::string refused = "http://127.0.0.1:" + std::to_string(closed_port()) + "/";
    const std::vector<Case> cases = {
        {"refused", refused, DataType::Text, 0, Cause::Refused, 0, ""},
        {"404, once", server.url("/404"), DataType::Bytes, 404, Cause::HttpStatus, 1,
         "<html>gone</html>"},
        {"503 every time", server.url("/503"), DataType::Bytes, 503, Cause::HttpStatus, 3,
         "<html>busy</html>"},
        {"503 twice, then served", server.url("/flaky"), DataType::Bytes, 200, Cause::None, 3,
         "GIF89a"},
        {"429 with Retry-After", server.url("/later"), DataType::Text, 200, Cause::None, 2,
         "<html>now</html>"},
        {"reset", server.url("/reset"), DataType::Bytes, 0, Cause::Reset, 3, ""},
        {"stall", server.url("/stall"), DataType::Text, 0, Cause::TimedOut, 3, ""},
        {"image in text form left unread", server.url("/png"), DataType::Text, 200, Cause::None, 1,
         ""},
        {"image in byte form", server.url("/png"), DataType::Bytes, 200, Cause::None, 1,
         std::string(100000, 'p')},
        {"XHTML is a page", server.url("/xhtml"), DataType::Text, 200, Cause::None, 1, "<p/>"},
    };
    TransferLimits limits;
    limits.stall_timeout_s = 1;
    limits.retry_pause = 10ms;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CurlTransfer t(limits);
        const std::size_t before = server.requests().size();
        const auto start = Clock::now();
        const Response r = t.OpenURL(c.url, c.type);
        const auto took = Clock::now() - start;
        EXPECT_EQ(r.ok, c.status != 0) << r.error;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.cause, c.cause) << r.error;
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(r.not_a_page, c.name == std::string("image in text form left unread"));
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
        EXPECT_EQ(cause_text(r).empty(), c.cause == Cause::None);
        EXPECT_EQ(server.requests().size() - before, c.requests);
        if (c.url.ends_with("/later")) {
            EXPECT_GE(took, 950ms) << "Retry-After honoured";
        }
        EXPECT_LT(took, 6s);
    }
}

TEST(TransferFailure, OnlyHttpAndHttpsAddresses) {
    const std::vector<std::string> addresses = {
        "ftp://127.0.0.1:1/file.jpg",
        "file:///etc/hostname",
        "gopher://127.0.0.1:1/",
        "127.0.0.1:1/no-scheme.jpg",
        "",
    };
    CurlTransfer t;
    for (const auto& a : addresses) {
        SCOPED_TRACE(a);
        Response r = t.OpenURL(a);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.body.empty());
        EXPECT_FALSE(r.error.empty());
    }
}

// ---------------------------------------------------------------- redirects

TEST(TransferRedirect, FollowedAndFinalAddressReported) {
    TestServer server;
    server.route("/old", redirect_to("/mid", 301));
    server.route("/mid", redirect_to(server.url("/new"), 302));
    server.page("/new", "<html>new</html>");
    CurlTransfer t;
    Response r = t.OpenURL(server.url("/old"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>new</html>");
    EXPECT_EQ(r.final_url, server.url("/new"));
}

TEST(TransferRedirect, AtMostTenRedirects) {
    // /r0 -> /r1 -> ... -> /rN, then /rN is the page; a loop never reaches one.
    struct Case {
        const char* name;
        int hops;
        bool loop;
        bool ok;
    };
    const std::vector<Case> cases = {{"ten redirects", 10, false, true},
                                     {"eleven redirects", 11, false, false},
                                     {"a loop of two", 2, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        for (int i = 0; i < c.hops; ++i) {
            const int next = c.loop ? (i + 1) % c.hops : i + 1;
            server.route("/r" + std::to_string(i), redirect_to("/r" + std::to_string(next)));
        }
        if (!c.loop) server.page("/r" + std::to_string(c.hops), "end");
        CurlTransfer t;
        Response r = t.OpenURL(server.url("/r0"));
        EXPECT_EQ(r.ok, c.ok) << r.error;
        EXPECT_EQ(r.body, c.ok ? "end" : "");
        EXPECT_EQ(r.error.empty(), c.ok);
        EXPECT_LE(server.requests().size(), 11u);
    }
}

TEST(TransferRedirect, OtherSchemesRefused) {
    TestServer server;
    const std::vector<std::string> targets = {
        "ftp://127.0.0.1:" + std::to_string(server.port()) + "/x.jpg",
        "file:///etc/hostname",
        "dict://127.0.0.1:" + std::to_string(server.port()) + "/",
    };
    for (std::size_t i = 0; i < targets.size(); ++i)
        server.route("/go" + std::to_string(i), redirect_to(targets[i]));
    CurlTransfer t;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        SCOPED_TRACE(targets[i]);
        Response r = t.OpenURL(server.url("/go" + std::to_string(i)));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.body.empty());
        EXPECT_FALSE(r.error.empty());
    }
}

// ---------------------------------------------------------------- request

TEST(TransferRequest, UserAgentAndAcceptEncoding) {
    TestServer server;
    server.page("/", "hello");
    CurlTransfer t;
    ASSERT_TRUE(t.OpenURL(server.url("/")).ok);
    auto log = server.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(header(log[0], "User-Agent"), "Picsifter/2.0");
    EXPECT_NE(header(log[0], "Accept-Encoding").find("gzip"), std::string::npos);
    EXPECT_FALSE(has_header(log[0], "Authorization"));
}

TEST(TransferRequest, CompressedBodiesArriveDecoded) {
    TestServer server;
    // The server itself compresses text when the client accepts it.
    std::string page;
    for (int i = 0; i < 2000; ++i) page += "<p>line " + std::to_string(i) + "</p>\n";
    server.page("/big.html", page);
    // A body sent gzip-encoded whatever the client says.
    const std::string raw = all_bytes();
    Reply gz;
    gz.body = gzip_stored(raw);
    gz.content_type = "image/gif";
    gz.headers["Content-Encoding"] = "gzip";
    server.route("/gz.gif", gz);

    CurlTransfer t;
    Response r = t.OpenURL(server.url("/big.html"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, page);
    r = t.OpenURL(server.url("/gz.gif"), DataType::Bytes);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, raw);
}

TEST(TransferRequest, AddressWithBlanksAndHighBytesSentEncoded) {
    TestServer server;
    server.image("/my%20photo.jpg", "blank");
    server.image("/caf%C3%A9.jpg", "accent");
    server.image("/a%7Bb%7D.jpg?x=%22q%22", "marks");
    server.image("/kept%41.jpg", "percent");
    struct Case {
        std::string asked;
        std::string received;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"/my photo.jpg", "/my%20photo.jpg", "blank"},
        {"/caf\xc3\xa9.jpg", "/caf%C3%A9.jpg", "accent"},
        {"/a{b}.jpg?x=\"q\"", "/a%7Bb%7D.jpg?x=%22q%22", "marks"},
        {"/kept%41.jpg", "/kept%41.jpg", "percent"},
        {"/my photo.jpg#part two", "/my%20photo.jpg", "blank"},
    };
    CurlTransfer t;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        server.clear_log();
        const std::string address = server.url(c.asked);
        const std::string copy = address;
        Response r = t.OpenURL(address, DataType::Bytes);
        EXPECT_EQ(address, copy);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.body);
        auto log = server.requests();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].path, c.received);
    }
}

TEST(TransferRequest, ConnectionKeptAliveAcrossFetches) {
    TestServer server;
    server.page("/1", "one");
    server.image("/2", "two");
    server.route("/3", with_status(404, "three"));
    CurlTransfer t;
    EXPECT_EQ(t.OpenURL(server.url("/1")).body, "one");
    EXPECT_EQ(t.OpenURL(server.url("/2"), DataType::Bytes).body, "two");
    EXPECT_EQ(t.OpenURL(server.url("/3")).body, "three");
    auto log = server.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_GT(log[0].remote_port, 0);
    EXPECT_EQ(log[1].remote_port, log[0].remote_port);
    EXPECT_EQ(log[2].remote_port, log[0].remote_port);
}

TEST(TransferRequest, FailureLeavesNothingForTheNextFetch) {
    TestServer server;
    Reply cut;
    cut.body = std::string(500, 'c');
    cut.content_type = "image/gif";
    cut.cut_after = 50;
    server.route("/cut", cut);
    server.page("/ok", "fine");
    server.page("/big", std::string(200, 'b'));
    TransferLimits limits;
    limits.max_body = 100;
    CurlTransfer t(limits);
    Response r = t.OpenURL(server.url("/cut"), DataType::Bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.body.empty());
    EXPECT_FALSE(r.error.empty());
    r = t.OpenURL(server.url("/ok"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "fine");
    EXPECT_FALSE(t.OpenURL(server.url("/big")).ok);
    r = t.OpenURL(server.url("/ok"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "fine");
}

// ---------------------------------------------------------------- cancel

TEST(TransferCancel, StopFromAnotherThreadAbortsWithinASecond) {
    struct Case {
        const char* name;
        Reply reply;
    };
    Reply before_headers;
    before_headers.body = "late";
    before_headers.delay = 5s;
    Reply mid_body;
    mid_body.body = std::string(200, 's');
    mid_body.content_type = "image/gif";
    mid_body.stall_after = 20;
    mid_body.stall = 5s;
    const std::vector<Case> cases = {{"waiting for the headers", before_headers},
                                     {"stalled in the body", mid_body}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        server.route("/slow", c.reply);
        server.page("/fast", "fast");
        CurlTransfer t;  // default 60 s stall time: only the stop can end it early
        std::stop_source source;
        t.SetStopToken(source.get_token());
        Clock::time_point stopped_at;
        std::thread stopper([&] {
            std::this_thread::sleep_for(300ms);
            stopped_at = Clock::now();
            source.request_stop();
        });
        Response r = t.OpenURL(server.url("/slow"), DataType::Bytes);
        const auto returned_at = Clock::now();
        stopper.join();
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.body.empty());
        EXPECT_FALSE(r.error.empty());
        EXPECT_LT(returned_at - stopped_at, 1500ms);

        // Every later fetch fails at once and never reaches the server.
        server.clear_log();
        for (DataType type : {DataType::Text, DataType::Bytes}) {
            Response later = t.OpenURL(server.url("/fast"), type);
            EXPECT_FALSE(later.ok);
            EXPECT_TRUE(later.body.empty());
            EXPECT_FALSE(later.error.empty());
        }
        EXPECT_EQ(server.requests().size(), 0u);
    }
}

TEST(TransferCancel, StopBeforeTheFirstFetchAndANewTokenAfterwards) {
    TestServer server;
    server.page("/p", "page");
    CurlTransfer t;
    std::stop_source first;
    first.request_stop();
    t.SetStopToken(first.get_token());
    EXPECT_FALSE(t.OpenURL(server.url("/p")).ok);
    EXPECT_EQ(server.count("/p"), 0);

    // The handle stays usable for a later run with its own token.
    std::stop_source second;
    t.SetStopToken(second.get_token());
    Response r = t.OpenURL(server.url("/p"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "page");
}

// ---------------------------------------------------------------- fetching ahead

TEST(TransferAhead, TakenInAnyOrderWithinTheConnectionLimits) {
    struct Case {
        long total, per_host;
        std::size_t ports;  // connections the server sees
    };
    const std::vector<Case> cases = {{1, 6, 1}, {16, 2, 2}, {3, 6, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + " in total, " + std::to_string(c.per_host) +
                     " per host");
        TestServer server;  // closes a connection after five requests
        for (int i = 0; i < 5; ++i) {
            Reply r;
            r.body = "body " + std::to_string(i);
            r.delay = 100ms;  // long enough for every connection to be opened
            server.route("/" + std::to_string(i), r);
        }
        TransferLimits limits;
        limits.max_connections = c.total;
        limits.max_host_connections = c.per_host;
        CurlTransfer t(limits);
        EXPECT_EQ(t.LookAhead(), c.total == 1 ? 1u : static_cast<std::size_t>(4 * c.total));
        std::vector<Ticket> tickets;
        for (int i = 0; i < 5; ++i)
            tickets.push_back(t.Start(server.url("/" + std::to_string(i)), DataType::Bytes));
        for (int i = 4; i >= 0; --i) {
            Response r = t.Take(tickets[static_cast<std::size_t>(i)]);
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.body, "body " + std::to_string(i));
            EXPECT_EQ(r.final_url, server.url("/" + std::to_string(i)));
        }
        EXPECT_FALSE(t.Take(tickets[0]).ok);  // each ticket is taken once
        std::set<int> ports;
        for (const auto& r : server.requests()) ports.insert(r.remote_port);
        EXPECT_EQ(ports.size(), c.ports);
        EXPECT_EQ(server.requests().size(), 5u);
    }
}

TEST(TransferAhead, StopEndsEveryFetchInFlightWithinASecond) {
    TestServer server;
    Reply slow;
    slow.body = "late";
    slow.delay = 5s;
    for (int i = 0; i < 10; ++i) server.route("/" + std::to_string(i), slow);
    CurlTransfer t;
    std::stop_source source;
    t.SetStopToken(source.get_token());
    std::vector<Ticket> tickets;
    for (int i = 0; i < 10; ++i)
        tickets.push_back(t.Start(server.url("/" + std::to_string(i)), DataType::Text));
    Clock::time_point stopped_at;
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stopped_at = Clock::now();
        source.request_stop();
    });
    Response r = t.Take(tickets[3]);
    const auto returned_at = Clock::now();
    stopper.join();
    EXPECT_FALSE(r.ok);
    EXPECT_LT(returned_at - stopped_at, 1s);
    for (Ticket ticket : tickets) EXPECT_FALSE(t.Take(ticket).ok);
}

TEST(TransferAhead, DiscardDropsWhatWasNotTaken) {
    TestServer server;
    server.page("/a", "a");
    Reply slow;
    slow.body = "slow";
    slow.delay = 300ms;
    for (int i = 0; i < 20; ++i) server.route("/s" + std::to_string(i), slow);
    TransferLimits limits;
    limits.max_connections = 2;
    CurlTransfer t(limits);
    std::vector<Ticket> dropped;
    for (int i = 0; i < 20; ++i)
        dropped.push_back(t.Start(server.url("/s" + std::to_string(i)), DataType::Bytes));
    t.Discard();
    EXPECT_FALSE(t.Take(dropped.back()).ok);
    // Only what two connections had begun reached the server.
    EXPECT_LE(server.requests().size(), 2u);
    Response r = t.OpenURL(server.url("/a"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "a");
}

// ---------------------------------------------------------------- credentials

class TransferCredentials : public ::testing::Test {
  protected:
    static Reply protected_page(std::string body) {
        Reply r;
        r.body = std::move(body);
        r.basic_auth = "anna:s3cret";
        return r;
    }
    static constexpr const char* kAuthorization = "Basic YW5uYTpzM2NyZXQ=";  // anna:s3cret

    static int authorised(const TestServer& s) {
        int n = 0;
        for (const auto& r : s.requests()) n += has_header(r, "Authorization") ? 1 : 0;
        return n;
    }
};

TEST_F(TransferCredentials, OfferedOnlyAfterThe401) {
    // Each fetch waits to be asked again, even after an authorised one.
    TestServer server;
    server.route("/private/", protected_page("secret page"));
    server.page("/open", "open");
    CurlTransfer t;
    t.SetCredentials("anna", "s3cret", server.url("/start.html"));
    Response r = t.OpenURL(server.url("/private/"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "secret page");
    EXPECT_EQ(t.OpenURL(server.url("/open")).body, "open");
    EXPECT_EQ(t.OpenURL(server.url("/private/")).body, "secret page");
    auto log = server.requests();
    ASSERT_EQ(log.size(), 5u);
    const std::vector<bool> expected = {false, true, false, false, true};
    for (std::size_t i = 0; i < log.size(); ++i)
        EXPECT_EQ(has_header(log[i], "Authorization"), expected[i]) << "request " << i;
    EXPECT_EQ(header(log[1], "Authorization"), kAuthorization);
}

TEST_F(TransferCredentials, KeptThroughARedirectWithinTheOrigin) {
    TestServer server;
    server.route("/login", redirect_to("/private/"));
    server.route("/private/", protected_page("inside"));
    CurlTransfer t;
    t.SetCredentials("anna", "s3cret", server.base());
    Response r = t.OpenURL(server.url("/login"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "inside");
    EXPECT_EQ(r.final_url, server.url("/private/"));
    EXPECT_FALSE(has_header(server.requests().front(), "Authorization"));
}

TEST_F(TransferCredentials, OriginWrittenDifferentlyStillMatches) {
    TestServer server;
    server.route("/p", protected_page("ok"));
    const std::string port = std::to_string(server.port());
    const std::vector<std::string> origins = {
        "HTTP://127.0.0.1:" + port + "/index.html?x#y",
        "http://127.0.0.1:" + port,
        "http://anna@127.0.0.1:" + port + "/dir/",
    };
    for (const auto& origin : origins) {
        SCOPED_TRACE(origin);
        CurlTransfer t;
        t.SetCredentials("anna", "s3cret", origin);
        Response r = t.OpenURL(server.url("/p"));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 200);
    }
}

TEST_F(TransferCredentials, NoneWithoutBothUserAndPassword) {
    TestServer server;
    server.route("/p", protected_page("secret"));
    struct Case {
        std::string user, password;
    };
    const std::vector<Case> cases = {{"", ""}, {"anna", ""}, {"", "s3cret"}};
    for (const auto& c : cases) {
        SCOPED_TRACE("user '" + c.user + "' password '" + c.password + "'");
        server.clear_log();
        CurlTransfer t;
        t.SetCredentials("anna", "s3cret", server.base());  // an earlier run's
        t.SetCredentials(c.user, c.password, server.base());
        Response r = t.OpenURL(server.url("/p"));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 401);
        EXPECT_FALSE(r.body.empty());
        EXPECT_EQ(authorised(server), 0);
    }
}

TEST_F(TransferCredentials, WrongPasswordGivesThe401Page) {
    TestServer server;
    server.route("/p", protected_page("secret"));
    CurlTransfer t;
    t.SetCredentials("anna", "wrong", server.base());
    Response r = t.OpenURL(server.url("/p"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.body.find("401"), std::string::npos);
}

TEST_F(TransferCredentials, NeverSentOutsideTheOrigin) {
    TestServer origin;
    TestServer other_port;  // same host, another port
    TestServer other_host("127.0.0.2");
    for (TestServer* s : {&origin, &other_port, &other_host}) s->route("/p", protected_page("x"));
    origin.route("/to-other-host", redirect_to(other_host.url("/p")));
    origin.route("/to-other-port", redirect_to(other_port.url("/p")));
    const std::string https_origin = "https://127.0.0.1:" + std::to_string(origin.port());

    struct Case {
        const char* name;
        std::string origin;  // given to SetCredentials
        std::string fetch;
        TestServer* asked;  // the server that must see no credentials
    };
    const std::vector<Case> cases = {
        {"direct fetch from another host", origin.base(), other_host.url("/p"), &other_host},
        {"direct fetch from another port", origin.base(), other_port.url("/p"), &other_port},
        {"redirect to another host", origin.base(), origin.url("/to-other-host"), &other_host},
        {"redirect to another port", origin.base(), origin.url("/to-other-port"), &other_port},
        {"origin with another scheme", https_origin, origin.url("/p"), &origin},
        {"origin that is not an address", "not an address", origin.url("/p"), &origin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (TestServer* s : {&origin, &other_port, &other_host}) s->clear_log();
        CurlTransfer t;
        t.SetCredentials("anna", "s3cret", c.origin);
        Response r = t.OpenURL(c.fetch);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 401);
        EXPECT_GE(c.asked->count("/p"), 1);
        EXPECT_EQ(authorised(*c.asked), 0);
        EXPECT_EQ(r.final_url.find("s3cret"), std::string::npos) << r.final_url;
        EXPECT_EQ(r.final_url.find("anna"), std::string::npos) << r.final_url;
    }
}

TEST_F(TransferCredentials, AuthorisedFetchLeavesNothingForAnotherHost) {
    TestServer origin;
    TestServer other_host("127.0.0.2");
    origin.route("/p", protected_page("mine"));
    other_host.route("/p", protected_page("theirs"));
    CurlTransfer t;
    t.SetCredentials("anna", "s3cret", origin.base());
    ASSERT_EQ(t.OpenURL(origin.url("/p")).status, 200);
    EXPECT_EQ(t.OpenURL(other_host.url("/p")).status, 401);
    ASSERT_EQ(t.OpenURL(origin.url("/p")).status, 200);
    EXPECT_EQ(authorised(other_host), 0);
    EXPECT_EQ(authorised(origin), 2);
}

// ---------------------------------------------------------------- addresses

TEST(TransferAddress, RequestAddress) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"http://h/my photo.jpg", "http://h/my%20photo.jpg"},
        {"http://h/a%20b.jpg", "http://h/a%20b.jpg"},
        {"http://h/100%.jpg", "http://h/100%.jpg"},
        {"http://h/p?q=a b#f g", "http://h/p?q=a%20b#f%20g"},
        {"http://h/a#frag#more", "http://h/a#frag#more"},
        {"http://h/\x7f\x80\xff", "http://h/%7F%80%FF"},
        {"http://h/\x01\t\r\n", "http://h/%01%09%0D%0A"},
        {std::string("http://h/a\0b", 12), "http://h/a%00b"},
        {"http://h/\"<>\\^`{|}", "http://h/%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"https://h:8443/a-b_c.d~e/f;g=h&i+j$k!l*m'n(o)p,q:r@s[t]/",
         "https://h:8443/a-b_c.d~e/f;g=h&i+j$k!l*m'n(o)p,q:r@s[t]/"},
        {"http://b\xc3\xbc"
         "cher.example/b\xc3\xbc"
         "cher",
         "http://b\xc3\xbc"
         "cher.example/b%C3%BCcher"},
        {"http://h?a b", "http://h?a%20b"},
        {"http://h", "http://h"},
        {"HTTP://H/A B", "HTTP://H/A%20B"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(request_address(c.in), c.out) << "input: " << c.in;
}

TEST(TransferAddress, OriginOf) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"http://Example.COM/x", "http://example.com:80"},
        {"HTTPS://example.com", "https://example.com:443"},
        {"http://example.com:8080/a?b#c", "http://example.com:8080"},
        {"http://example.com:80/", "http://example.com:80"},
        {"http://example.com:0080/", "http://example.com:80"},
        {"https://example.com:80/", "https://example.com:80"},
        {"http://example.com:443/", "http://example.com:443"},
        {"http://anna:pw@example.com/", "http://example.com:80"},
        {"http://[::1]:8080/", "http://[::1]:8080"},
        {"http://127.0.0.1:5000", "http://127.0.0.1:5000"},
        {"http://h/my photo.jpg", "http://h:80"},
        {"ftp://example.com/", ""},
        {"file:///etc/passwd", ""},
        {"example.com/x", ""},
        {"http://example.com:99999/", ""},
        {"http://example.com:abc/", ""},
        {"not an address", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(origin_of(c.in), c.out) << "input: " << c.in;
}

}  // namespace
}  // namespace psf
