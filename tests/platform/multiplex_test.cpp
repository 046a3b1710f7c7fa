// Fetches that share one HTTP/2 connection: many streams at once, with the
// results of one fetch at a time, and the limits of an origin that does not
// multiplex kept. The server is nginx on loopback, with a CA made here.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <map>
#include <memory>
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

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

const char* const Nginx = "/usr/sbin/nginx";

struct Logged {
    int port = 0;
    long connection = 0;
    long long start = 0, end = 0;  // ms
    int status = 0;
    std::string path;
};

// One nginx process on two loopback ports: HTTP/2 over TLS, and TLS with
// HTTP/1.1 only (tests/data/platform/nginx.conf).
class Server {
  public:
    Server() {
        // A CA, a certificate it signs for 127.0.0.1, and a user "ann" of password "secret".
        const auto made = test::run_process(
            {"/bin/sh", "-c",
             "set -e; o() { openssl req -x509 -newkey rsa:2048 -nodes -days 1 \"$@\" 2>&1; }; "
             "o -keyout ca.key -out ca.pem -subj /CN=ca; o -keyout key.pem -out cert.pem "
             "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -CA ca.pem -CAkey ca.key; "
             "echo ann:$(openssl passwd -apr1 secret) > htpasswd"},
            dir_.str(), 60s);
        if (made.exit_code != 0) throw std::runtime_error(made.out);
        h2_ = test::TestServer().port();  // free once that server has stopped
        h1_ = test::TestServer().port();
        std::filesystem::create_directories(dir_ / "site/private");
        test::write_file(dir_ / "site/private/p.gif", test::image_bytes(1500));
        std::string conf =
            test::read_file(std::string(PICSIFTER_TEST_DATA) + "/platform/nginx.conf");
        for (const auto& [mark, port] : {std::pair{"@H2@", h2_}, std::pair{"@H1@", h1_}})
            for (auto at = conf.find(mark); at != std::string::npos; at = conf.find(mark))
                conf.replace(at, 4, std::to_string(port));
        test::write_file(dir_ / "nginx.conf", conf);
        process_ = std::make_unique<test::Child>(
            Strings{Nginx, "-e", "error.log", "-p", dir_.str() + "/", "-c", "nginx.conf"});
        // Ready when a fetch gets an answer; the site may not be served yet.
        for (const int port : {h2_, h1_}) {
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (true) {
                CurlTransfer probe(limits());
                if (probe.OpenURL(url(port, "/")).ok) break;
                if (std::chrono::steady_clock::now() > deadline)
                    throw std::runtime_error("nginx did not start: " +
                                             test::read_file(dir_ / "error.log"));
                std::this_thread::sleep_for(20ms);
            }
        }
    }
    ~Server() {
        process_->signal(SIGTERM);
        process_->wait(5s);
    }

    std::filesystem::path site() const { return dir_.path() / "site"; }
    std::string url(int port, const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }
    int h2() const { return h2_; }
    int h1() const { return h1_; }
    TransferLimits limits() const {
        TransferLimits l;
        l.ca_bundle = (dir_ / "ca.pem").string();
        return l;
    }

    // The requests answered so far, once nginx has logged them all, and at
    // least `lines` of them.
    std::vector<Logged> log(long lines = 0) const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::string text, again = test::read_file(dir_ / "access.log");
        do {
            text = again;
            std::this_thread::sleep_for(50ms);
            again = test::read_file(dir_ / "access.log");
        } while ((again != text || std::count(text.begin(), text.end(), '\n') < lines) &&
                 std::chrono::steady_clock::now() < deadline);
        std::vector<Logged> out;
        std::istringstream in(text);
        Logged l;
        for (double end = 0, took = 0;
             in >> l.port >> l.connection >> end >> took >> l.status >> l.path;) {
            l.end = std::llround(end * 1000);
            l.start = l.end - std::llround(took * 1000);
            out.push_back(l);
        }
        return out;
    }
    void clear_log() {
        log();
        std::ofstream(dir_ / "access.log", std::ios::trunc);
    }

  private:
    test::TempDir dir_;
    int h2_ = 0, h1_ = 0;
    std::unique_ptr<test::Child> process_;
};

// The most requests the server was busy with at one moment.
int in_flight(const std::vector<Logged>& log) {
    std::vector<std::pair<long long, int>> edges;
    for (const auto& l : log) {
        edges.emplace_back(l.start, 1);
        edges.emplace_back(l.end, -1);
    }
    std::sort(edges.begin(), edges.end());  // an end before a start of the same moment
    int now = 0, most = 0;
    for (const auto& [at, step] : edges) most = std::max(most, now += step);
    return most;
}

std::size_t connections(const std::vector<Logged>& log, int port) {
    std::set<long> c;
    for (const auto& l : log)
        if (l.port == port) c.insert(l.connection);
    return c.size();
}

void put(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    test::write_file(file, bytes);
}

#define NEEDS_NGINX()                                                          \
    if (::access(Nginx, X_OK) != 0 || ::access("/usr/bin/openssl", X_OK) != 0) \
        GTEST_SKIP() << "no nginx and openssl to serve HTTP/2 over TLS";

struct Recorder final : RunObserver {
    Strings captions;
    void set_caption(const std::string& c) override { captions.push_back(c); }
    void set_colour(LabelColour) override {}
};

struct Outcome {
    Strings captions, slots, requests;
    std::map<std::string, std::string> files;
    int in_flight = 0;
};

// Four pages of 34 images each, with addresses found again on later pages,
// one file name in two folders, a missing image and a small error page.
void make_site(const std::filesystem::path& root) {
    std::string index = "<html>";
    for (int p = 1; p <= 4; ++p) {
        const std::string page = "p" + std::to_string(p) + ".htm";
        index += "<a href='" + page + "'>page</a> ";
        std::string html =
            "<html><img src='/a/x.gif'><img src='/b/x.gif'>"
            "<img src='/missing.gif'><img src='/err.gif'>";
        for (int k = 0; k < 30; ++k) {
            const std::string img = "/i/n" + std::to_string((p * 20 + k) % 100) + ".gif";
            html += "<img src='" + img + "'>";
            put(root / img.substr(1), test::image_bytes(1100 + 7 * static_cast<std::size_t>(k),
                                                        static_cast<char>('a' + k % 26)));
        }
        put(root / page, html + "</html>");
    }
    put(root / "index.htm", index + "</html>");
    put(root / "a/x.gif", test::image_bytes(1300, 'x'));
    put(root / "b/x.gif", test::image_bytes(1400, 'y'));
    put(root / "err.gif", "<html>404 gone</html>");
}

Outcome crawl(Server& server, long connections, long streams, int policy, int layout) {
    server.clear_log();
    test::TempDir dest;
    TransferLimits limits = server.limits();
    limits.max_connections = connections;
    limits.max_streams = streams;
    CurlTransfer inet(limits);
    m_psf::CrawlState state;
    Recorder rec;
    RunSpec spec;
    spec.start_address = server.url(server.h2(), "/index.htm");
    spec.link_depth = 1;
    spec.policy = policy;
    spec.layout = layout;
    spec.destination = dest.str();
    run_retrieval(spec, RunMode::OnDemand, state, inet, rec);
    Outcome out;
    out.captions = rec.captions;
    out.slots.assign(state.ImageList.begin() + 1, state.ImageList.begin() + 1 + state.ImagesFound);
    for (const auto& f : test::list_files(dest.path())) out.files[f] = test::read_file(dest / f);
    const auto log = server.log();
    for (const auto& l : log) out.requests.push_back(l.path + " " + std::to_string(l.status));
    std::sort(out.requests.begin(), out.requests.end());
    out.in_flight = in_flight(log);
    return out;
}

TEST(Multiplex, ManyStreamsGiveTheResultsOfOneFetchAtATime) {
    NEEDS_NGINX();
    Server server;
    make_site(server.site());
    // policy, layout
    for (const auto& [policy, layout] : {std::pair{3, 1}, std::pair{2, 2}}) {
        SCOPED_TRACE("policy " + std::to_string(policy) + ", layout " + std::to_string(layout));
        const Outcome one = crawl(server, 1, 1, policy, layout);
        const Outcome many = crawl(server, 16, 100, policy, layout);
        EXPECT_EQ(one.in_flight, 1);
        EXPECT_GE(many.in_flight, 40);  // HTTP/1.1 limits would give at most 6
        EXPECT_GT(one.files.size(), 80u);
        EXPECT_EQ(many.captions, one.captions);
        EXPECT_EQ(many.slots, one.slots);
        EXPECT_EQ(many.files, one.files);
        EXPECT_EQ(many.requests, one.requests);
    }
}

// Fetches started together on an origin without HTTP/2 run on at most its
// connections, however many streams a multiplexed one would get.
TEST(Multiplex, AnOriginWithoutHttp2KeepsItsConnectionLimits) {
    NEEDS_NGINX();
    Server server;
    for (int k = 0; k < 40; ++k)
        put(server.site() / ("slow/" + std::to_string(k) + ".gif"), test::image_bytes(1200));
    // port, fetches in flight at most, stall time: a fetch waiting in
    // libcurl's own queue would count its wait as a stall
    for (const auto& [port, limit, stall] :
         {std::tuple{server.h1(), 6, 1L}, std::tuple{server.h2(), 40, 60L}}) {
        SCOPED_TRACE(port);
        server.clear_log();
        TransferLimits limits = server.limits();
        limits.stall_timeout_s = stall;
        limits.retries = 0;
        CurlTransfer inet(limits);
        ASSERT_TRUE(inet.OpenURL(server.url(port, "/")).ok);
        std::vector<Ticket> tickets;
        for (int k = 0; k < 40; ++k)
            tickets.push_back(inet.Start(server.url(port, "/slow/" + std::to_string(k) + ".gif"),
                                         DataType::Bytes));
        for (const Ticket t : tickets) EXPECT_EQ(inet.Take(t).status, 200);
        const auto log = server.log();
        EXPECT_GE(in_flight(log), limit * 3 / 4);
        EXPECT_LE(in_flight(log), limit);
        EXPECT_LE(connections(log, port), port == server.h1() ? 6u : 1u);
    }
}

// Credentials go only to the start origin, also among streams of one
// connection and after redirects; a stop ends 100 streams in flight at once.
TEST(Multiplex, CredentialsRedirectsAndCancel) {
    NEEDS_NGINX();
    Server server;
    // The added CA comes from the environment here, as for the window's runs.
    ::setenv("PICSIFTER_CA_BUNDLE", server.limits().ca_bundle.c_str(), 1);
    CurlTransfer inet;
    ::unsetenv("PICSIFTER_CA_BUNDLE");
    inet.SetCredentials("ann", "secret", server.url(server.h2(), "/"));
    server.clear_log();
    ASSERT_TRUE(inet.OpenURL(server.url(server.h2(), "/")).ok);
    // path on the multiplexed origin, status expected
    const std::vector<std::pair<std::string, long>> rows = {
        {"/private/p.gif", 200}, {"/here", 200}, {"/away", 401}};
    std::vector<Ticket> tickets;
    for (int round = 0; round < 5; ++round)
        for (const auto& [path, status] : rows)
            tickets.push_back(inet.Start(server.url(server.h2(), path), DataType::Bytes));
    for (std::size_t k = 0; k < tickets.size(); ++k)
        EXPECT_EQ(inet.Take(tickets[k]).status, rows[k % rows.size()].second)
            << rows[k % rows.size()].first;
    EXPECT_EQ(connections(server.log(), server.h2()), 1u);

    for (int k = 0; k < 150; ++k)
        put(server.site() / ("c/" + std::to_string(k) + ".gif"), test::image_bytes(1200));
    server.clear_log();
    std::stop_source stop;
    inet.SetStopToken(stop.get_token());
    tickets.clear();
    for (int k = 0; k < 150; ++k)
        tickets.push_back(inet.Start(server.url(server.h2(), "/c/" + std::to_string(k) + ".gif"),
                                     DataType::Bytes));
    EXPECT_EQ(inet.Take(tickets.front()).status, 200);
    const auto stopped_at = std::chrono::steady_clock::now();
    std::thread stopper([&] { stop.request_stop(); });
    EXPECT_EQ(inet.Take(tickets.back()).cause, Cause::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, 1s);
    stopper.join();
    EXPECT_GE(in_flight(server.log(100)), 90);
}

}  // namespace
}  // namespace psf
