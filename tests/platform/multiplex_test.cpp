// Fetches sharing one HTTP/2 connection, the connection limits of an HTTP/1.1
// TLS origin, and certificate checks, against nginx on loopback
// (tests/data/platform/nginx.conf) with a CA made here.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace psf {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Multiplex : public testing::Test {
  protected:
    void SetUp() override {
        if (::access("/usr/sbin/nginx", X_OK) != 0 || ::access("/usr/bin/openssl", X_OK) != 0)
            GTEST_SKIP() << "no nginx and openssl to serve HTTP/2 over TLS";
        // A CA, a certificate it signs for 127.0.0.1, a user "ann" of password
        // "secret", and an image at /n.gif and /private/p.gif.
        const auto made = test::run_process(
            {"/bin/sh", "-c",
             "set -e; o() { openssl req -x509 -newkey rsa:2048 -nodes -days 1 \"$@\" 2>&1; }; "
             "o -keyout ca.key -out ca.pem -subj /CN=ca; o -keyout key.pem -out cert.pem "
             "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -CA ca.pem -CAkey ca.key; "
             "echo ann:$(openssl passwd -apr1 secret) > htpasswd; mkdir -p site/private; "
             "echo GIF89a-picture > site/n.gif; cp site/n.gif site/private/p.gif"},
            dir_.str(), 60s);
        ASSERT_EQ(made.exit_code, 0) << made.out;
        std::string conf =
            test::read_file(std::string(PICSIFTER_TEST_DATA) + "/platform/nginx.conf");
        for (const auto& [mark, port] : {std::pair{"@H2@", h2_}, std::pair{"@H1@", h1_}})
            for (auto at = conf.find(mark); at != std::string::npos; at = conf.find(mark))
                conf.replace(at, 4, std::to_string(port));
        test::write_file(dir_ / "nginx.conf", conf);
        nginx_.emplace(std::vector<std::string>{"/usr/sbin/nginx", "-e", "error.log", "-p",
                                                dir_.str() + "/", "-c", "nginx.conf"});
        ca_ = (dir_ / "ca.pem").string();
        for (const auto until = Clock::now() + 20s;
             CurlTransfer({.ca_bundle = ca_, .retries = 0}).OpenURL(url(h2_, "/")).status == 0;
             std::this_thread::sleep_for(20ms))
            ASSERT_LT(Clock::now(), until) << test::read_file(dir_ / "error.log");
    }

    std::string url(int port, const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }

    // The most requests to `port` in flight at one moment, and the connections
    // they came on, of those that ended after `since`, once nginx has logged
    // at least `lines` and no more come.
    std::pair<int, std::size_t> seen(int port, double since, long lines) const {
        std::string text;
        for (const auto until = Clock::now() + 10s; Clock::now() < until;
             std::this_thread::sleep_for(50ms)) {
            std::string again = test::read_file(dir_ / "access.log");
            if (again == text && std::count(text.begin(), text.end(), '\n') >= lines) break;
            text = std::move(again);
        }
        // An end sorts before a start of its moment; a start moves 2 ms on, as
        // nginx rounds both times to the millisecond.
        std::vector<std::pair<double, int>> edges;
        std::set<long> connections;
        std::istringstream in(text);
        int at = 0;
        long connection = 0;
        for (double end = 0, took = 0; in >> at >> connection >> end >> took;)
            if (at == port && end > since) {
                connections.insert(connection);
                edges.insert(edges.end(), {{end - took + 0.002, 1}, {end, -1}});
            }
        std::sort(edges.begin(), edges.end());
        int now = 0, most = 0;
        for (const auto& edge : edges) most = std::max(most, now += edge.second);
        return {most, connections.size()};
    }

    test::TempDir dir_;
    const int h2_ = test::TestServer().port(), h1_ = test::TestServer().port();  // freed
    std::string ca_;
    std::optional<test::Child> nginx_;
};

// 150 fetches started together, half taken, then the run stopped. Fetches
// waiting in libcurl's own queue would count their wait as a stall. Over
// HTTP/2 a second connection takes what the streams of the first cannot.
TEST_F(Multiplex, StreamsShareConnectionsWithinTheHostLimit) {
    constexpr int taken = 75;
    // port, stall time, streams, connections to the host, most in flight
    for (const auto& [port, stall, streams, hosts, most] :
         {std::tuple{h1_, 1L, 100L, 6L, 6}, std::tuple{h2_, 60L, 50L, 2L, 100}}) {
        SCOPED_TRACE(port);
        CurlTransfer inet({.stall_timeout_s = stall,
                           .max_host_connections = hosts,
                           .max_streams = streams,
                           .ca_bundle = ca_,
                           .retries = 0});
        ASSERT_EQ(inet.OpenURL(url(port, "/n/first")).status, 200);
        const double since =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        std::stop_source stop;
        inet.SetStopToken(stop.get_token());
        std::vector<Ticket> tickets;
        for (int k = 0; k < 150; ++k)
            tickets.push_back(inet.Start(url(port, "/n/" + std::to_string(k)), DataType::Bytes));
        for (int k = 0; k < taken; ++k) EXPECT_EQ(inet.Take(tickets[k]).status, 200) << k;
        std::jthread stopper([&] { stop.request_stop(); });
        EXPECT_EQ(inet.Take(tickets.back()).cause, Cause::Cancelled);
        const auto [in_flight, connections] = seen(port, since, taken + most);
        EXPECT_GE(in_flight, most * 3 / 4);
        EXPECT_LE(in_flight, most);
        EXPECT_LE(connections, static_cast<std::size_t>(hosts));
    }
}

// A crawl over the multiplexed origin gives what one fetch at a time gives:
// captions, list slots and files, with many fetches in flight at the server.
TEST_F(Multiplex, ManyStreamsGiveTheResultsOfOneFetchAtATime) {
    std::string index = "<html>";
    for (int p = 0; p < 3; ++p) {
        std::string page = "<html><img src='/n.gif'><img src='/gone.gif'>";
        for (int k = 0; k < 40; ++k)
            page += "<img src='/n/" + std::to_string((p * 30 + k) % 100) + ".gif'>";
        test::write_file(dir_ / "site" / (std::to_string(p) + ".htm"), page);
        index += "<a href='" + std::to_string(p) + ".htm'>";
    }
    test::write_file(dir_ / "site/index.htm", index);
    struct Captions : RunObserver {
        std::vector<std::string> seen;
        void set_caption(const std::string& c) override { seen.push_back(c); }
        void set_colour(LabelColour) override {}
    };
    auto crawl = [&](long connections, long streams) {
        test::TempDir dest;
        CurlTransfer inet(
            {.max_connections = connections, .max_streams = streams, .ca_bundle = ca_});
        RunSpec spec;
        spec.start_address = url(h2_, "/index.htm");
        spec.link_depth = 1;
        spec.policy = m_psf::NewVersion;
        spec.destination = dest.str();
        m_psf::CrawlState state;
        Captions captions;
        run_retrieval(spec, RunMode::OnDemand, state, inet, captions);
        std::vector<std::string> out = captions.seen;
        out.insert(out.end(), state.ImageList.begin() + 1,
                   state.ImageList.begin() + 1 + state.ImagesFound);
        for (const auto& f : test::list_files(dest.path()))
            out.push_back(f + " " + test::read_file(dest / f));
        return out;
    };
    const double since =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto many = crawl(16, 100);
    EXPECT_GE(seen(h2_, since, 100).first, 40);  // the connection limits would give 6
    const auto one = crawl(1, 1);
    EXPECT_GT(one.size(), 100u);
    EXPECT_EQ(many, one);
}

TEST_F(Multiplex, CredentialsOnlyToTheOriginAndCertificatesChecked) {
    // The added CA comes from the environment here, as for the window's runs.
    ::setenv("PICSIFTER_CA_BUNDLE", ca_.c_str(), 1);
    CurlTransfer inet;
    ::unsetenv("PICSIFTER_CA_BUNDLE");
    inet.SetCredentials("ann", "secret", url(h2_, "/"));
    ASSERT_TRUE(inet.OpenURL(url(h2_, "/")).ok);
    // path on the multiplexed origin, status: /away redirects to the other port
    const std::pair<std::string, long> rows[] = {
        {"/private/p.gif", 200}, {"/here", 200}, {"/away", 401}};
    std::vector<Ticket> tickets;
    for (int k = 0; k < 15; ++k)
        tickets.push_back(inet.Start(url(h2_, rows[k % 3].first), DataType::Bytes));
    for (int k = 0; k < 15; ++k)
        EXPECT_EQ(inet.Take(tickets[k]).status, rows[k % 3].second) << rows[k % 3].first;
    // Not trusted: a CA the system does not know, a name the certificate lacks.
    // It is an answer, however often: the host is never given up for it.
    for (const auto& [ca, address] : {std::pair{std::string(), url(h2_, "/")},
                                      {ca_, "https://localhost:" + std::to_string(h2_) + "/"}}) {
        CurlTransfer untrusting({.ca_bundle = ca});
        for (int k = 0; k < 6; ++k) {
            const Response r = untrusting.OpenURL(address);
            EXPECT_FALSE(r.ok || !r.body.empty());
            EXPECT_EQ(cause_text(r), "TLS certificate not trusted") << r.error;
        }
    }
}

}  // namespace
}  // namespace psf
