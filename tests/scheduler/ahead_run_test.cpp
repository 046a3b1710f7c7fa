// A run with fetches side by side must give exactly what a run of one fetch
// at a time gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace psf;
using psf::test::image_bytes;
using psf::test::list_files;
using psf::test::read_file;
using psf::test::Reply;
using psf::test::TempDir;
using psf::test::TestServer;
using psf::test::write_file;

namespace {

using Strings = std::vector<std::string>;

struct Recorder final : RunObserver {
    Strings captions;
    void set_caption(const std::string& c) override { captions.push_back(c); }
    void set_colour(LabelColour) override {}
};

void serve(TestServer& s, const std::string& path, std::string body, int status = 200,
           std::chrono::milliseconds delay = std::chrono::milliseconds(-1)) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    r.content_type = path.ends_with(".htm") ? "text/html" : "image/gif";
    // Uneven delays, so responses come back out of the order they were asked for.
    const bool uneven = std::hash<std::string>{}(path) % 3 == 0;
    r.delay = delay.count() >= 0 ? delay : std::chrono::milliseconds(uneven ? 10 : 0);
    s.route(path, std::move(r));
}

// An index page linking to pages whose images collide in every way a copy can
// depend on an earlier one, each with more distinct images than the
// look-ahead holds.
void serve_site(TestServer& s) {
    std::string index = "<html> <img src='/a/x.gif'> ";
    std::set<std::string> images;
    int p = 0;
    for (const auto& r : psf::test::read_table("scheduler/ahead_site.txt", 1)) {
        const std::string page = "p" + std::to_string(++p) + ".htm";
        index += "<a href='" + page + "'>page</a> ";
        std::string html = "<html> ", list = r[0];
        for (int k = 0; k < 12; ++k)
            list += " /many/n" + std::to_string(p) + "_" + std::to_string(k) + ".jpg";
        std::istringstream in(list);
        for (std::string img; in >> img; images.insert(img)) html += "<img src='" + img + "'> ";
        serve(s, "/" + page, html + "<a href='index.htm'>up</a> ....");
    }
    serve(s, "/index.htm", index + " ..........");
    unsigned char seed = 'a';
    for (const std::string& img : images) {
        const auto size = 1100 + 37 * static_cast<std::size_t>(++seed % 16);
        serve(s, img, image_bytes(size, seed));
    }
    serve(s, "/missing.gif", image_bytes(1200), 404);
    serve(s, "/err.gif", "<html>404 gone</html>");
}

struct Outcome {
    Strings captions;
    std::map<std::string, std::string> files;
    Strings image_slots;
    Strings requests;
    int copied = 0;
    RunSummary summary;
};

// The folder as it is before a run: files already present, for the policies.
TempDir& prepared(TempDir& dir, const TestServer& server, int layout) {
    const std::string at = layout == 2 ? "127.0.0.1:" + std::to_string(server.port()) + "/" : "";
    std::filesystem::create_directories(dir / at);
    write_file(dir / (at + "kept.gif"), "old kept");
    if (layout == 1) write_file(dir / "x.gif", "old x");
    return dir;
}

void finish(Outcome& out, const TempDir& dir, const TestServer& server, const m_psf::List& images,
            int found) {
    for (const std::string& f : list_files(dir.path())) out.files[f] = read_file(dir / f);
    out.image_slots.assign(images.begin() + 1, images.begin() + 1 + found);
    for (const auto& r : server.requests()) out.requests.push_back(r.path);
    std::sort(out.requests.begin(), out.requests.end());
}

// What a run must give, one fetch at a time: each level scans the pages the
// level before found, in order; then each image listed is copied once, in
// order, an address seen in an earlier slot skipped, a slot not copied blanked.
Outcome reference(TestServer& server, int depth, int policy, int layout) {
    server.clear_log();
    TempDir dir;
    prepared(dir, server, layout);
    CurlTransfer inet;
    m_psf::CrawlState st;
    m_psf::Counters c{0, 1};
    st.PageList[1] = server.url("/index.htm");
    Outcome out;
    for (int level = 0, first = 1, last = 1, read = 0; level <= depth; ++level) {
        for (int i = first; i <= last; ++i) {
            m_psf::analyse_page(inet, st.PageList[static_cast<std::size_t>(i)], {}, {},
                                st.ImageList, st.PageList, c);
            out.captions.push_back(page_count_text(++read));
        }
        first = last + 1;
        last = c[1];
    }
    std::set<std::string> seen;
    for (int k = 1; k <= c[0]; ++k) {
        std::string& a = st.ImageList[static_cast<std::size_t>(k)];
        if (!seen.insert(a).second) continue;
        if (m_psf::copie_image(inet, a, dir.str(), policy, layout) == 1)
            out.captions.push_back(image_count_text(++out.copied));
        else
            a.clear();
    }
    finish(out, dir, server, st.ImageList, c[0]);
    return out;
}

Outcome run_once(TestServer& server, long connections, int policy, int layout, std::size_t held) {
    server.clear_log();
    TempDir dir;
    prepared(dir, server, layout);
    TransferLimits limits;
    limits.max_connections = connections;
    limits.max_held = held;
    CurlTransfer inet(limits);
    m_psf::CrawlState state;
    Recorder rec;
    RunSpec spec;
    spec.start_address = server.url("/index.htm");
    spec.link_depth = 1;
    spec.policy = policy;
    spec.layout = layout;
    spec.destination = dir.str();
    Outcome out;
    out.summary = run_retrieval(spec, RunMode::OnDemand, state, inet, rec);
    out.copied = out.summary.images_copied;
    out.captions = rec.captions;
    finish(out, dir, server, state.ImageList, state.ImagesFound);
    return out;
}

TEST(AheadRun, SameResultsAsOneFetchAtATime) {
    // policy, layout
    const std::vector<std::pair<int, int>> cases = {{1, 1}, {3, 1}, {2, 2}, {3, 2}};
    TestServer server;
    serve_site(server);
    for (const auto& [policy, layout] : cases) {
        SCOPED_TRACE("policy " + std::to_string(policy) + ", layout " + std::to_string(layout));
        const Outcome one = reference(server, 1, policy, layout);
        // The site is built so that every kind of slot result occurs.
        EXPECT_GT(one.copied, 60);
        EXPECT_GE(std::count(one.image_slots.begin(), one.image_slots.end(), ""), 2);
        EXPECT_EQ(std::count(one.requests.begin(), one.requests.end(), "/missing.gif"), 1);
        std::optional<RunSummary> first;
        // Held bytes of 1: every page but the one awaited pauses at its first byte.
        for (const auto& [connections, held] :
             {std::pair<long, std::size_t>{1, 1u << 28}, {3, 1u << 28}, {16, 1u << 28}, {16, 1}}) {
            SCOPED_TRACE("connections " + std::to_string(connections) + ", held " +
                         std::to_string(held));
            const Outcome many = run_once(server, connections, policy, layout, held);
            EXPECT_EQ(many.captions, one.captions);
            EXPECT_EQ(many.files, one.files);
            EXPECT_EQ(many.image_slots, one.image_slots);
            EXPECT_EQ(many.requests, one.requests);
            EXPECT_EQ(many.copied, one.copied);
            if (!first) first = many.summary;
            EXPECT_EQ(many.summary.images_present, first->images_present);
            EXPECT_EQ(many.summary.failures, first->failures);
            EXPECT_EQ(many.summary.pages_read, first->pages_read);
        }
    }
}

// Stopped while many images are in flight: the run returns within a second,
// writes nothing after the stop and leaves no partial file behind.
TEST(AheadRun, CancelDuringTheDownloadsWithFetchesInFlight) {
    TestServer server;
    std::string html = "<html> ";
    for (int k = 0; k < 40; ++k) {
        const std::string path = "/img/n" + std::to_string(k) + ".gif";
        html += "<img src='" + path + "'> ";
        // The first few arrive at once; the rest are still on their way.
        serve(server, path, image_bytes(4000, static_cast<char>('a' + k % 26)), 200,
              std::chrono::milliseconds(k < 3 ? 0 : 3000));
    }
    serve(server, "/index.htm", html + " ....");
    TempDir dir;
    CurlTransfer inet;
    m_psf::CrawlState state;
    Recorder rec;
    std::stop_source stop;
    RunSpec spec;
    spec.start_address = server.url("/index.htm");
    spec.destination = dir.str();
    std::chrono::steady_clock::time_point stopped_at;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stopped_at = std::chrono::steady_clock::now();
        stop.request_stop();
    });
    const RunSummary sum =
        run_retrieval(spec, RunMode::OnDemand, state, inet, rec, stop.get_token());
    const auto returned_at = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_TRUE(sum.cancelled);
    EXPECT_LT(returned_at - stopped_at, std::chrono::seconds(1));
    const Strings files = list_files(dir.path());
    EXPECT_EQ(files, (Strings{"n0.gif", "n1.gif", "n2.gif"}));
    for (const std::string& f : files) EXPECT_EQ(read_file(dir / f).size(), 4000u) << f;
    EXPECT_GT(server.requests().size(), 6u);  // well more than one fetch under way
}

}  // namespace
