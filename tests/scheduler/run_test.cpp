// One retrieval run: levels, counts, a full disk, credentials, cancelling,
// and fetches side by side giving exactly what the described one-at-a-time
// loop over analyse_page and copie_image gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"
#include "support/fake_transfer.h"
#include "support/full_disk.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace psf;
using namespace psf::test;
using Strings = std::vector<std::string>;

namespace {

struct Recorder final : RunObserver {
    Strings captions;
    std::vector<LabelColour> colours;
    int events = 0;
    std::string stop_after;  // the caption that sets `reached`
    std::atomic<bool> reached = false;
    void set_caption(const std::string& c) override {
        captions.push_back(c);
        reached = reached || c == stop_after;
    }
    void set_colour(LabelColour c) override { colours.push_back(c); }
    void process_events() override { ++events; }
};

std::string joined(const Strings& all, const std::string& sep = " ") {
    std::string out;
    for (const std::string& s : all) out += (&s == all.data() ? "" : sep) + s;
    return out;
}

// Some replies held back a little, so that answers come out of the order asked.
void serve(TestServer& s, const std::string& path, std::string body, int status = 200,
           int delay_ms = -1) {
    Reply r{status, std::move(body), path.ends_with(".htm") ? "text/html" : "image/gif"};
    const bool uneven = std::hash<std::string>{}(path) % 3 == 0;
    r.delay = std::chrono::milliseconds(delay_ms >= 0 ? delay_ms : uneven ? 10 : 0);
    s.route(path, std::move(r));
}

// What a run counts and says, and to whom it offers credentials, without a
// network, where files past a given size fail as on a full disk.
TEST(TaskRun, SummaryCountsDistinctImagesAndSaysWhatFailed) {
    for (const auto& c : read_table("scheduler/run_summary.txt", 12)) {
        SCOPED_TRACE(c.where);
        std::string page = c[0].starts_with('@') ? "" : c[0];
        for (int k = 0; c[0].starts_with('@') && k <= m_psf::ListLimit + 10; ++k)
            page += c[0] == "@repeated" ? "<img src='ok.gif'>"
                                        : "<a href=i" + std::to_string(k) + ".gif>";
        if (c[0].starts_with('@'))
            page += c[0] == "@repeated" ? "<img src=other.gif> ....." : " .....";
        FakeTransfer inet;
        if (!page.empty()) inet.add("http://h/p.htm", page, std::stol(c[1]));
        for (const char* name : {"ok", "other", "kept", "big"})
            inet.add("http://h/" + std::string(name) + ".gif",
                     image_bytes(name[0] == 'b' ? 6000 : 2000, name[1]));
        inet.add("http://h/bad.gif", "<html>404</html>", 404);
        TempDir dir;
        const bool tmpfs = c[3] == "tmpfs";  // else a file-size limit
        const auto run = run_on_full_disk(
            tmpfs ? DiskFull::Tmpfs : DiskFull::FileSize, dir.path(), tmpfs ? 0 : std::stoul(c[3]),
            [](const std::filesystem::path& at) { write_file(at / "kept.gif", "mine"); },
            [&](const std::filesystem::path& work, Facts& facts) {
                m_psf::CrawlState state;
                Recorder rec;
                const RunSummary sum = run_retrieval({.start_address = " http://h/p.htm ",
                                                      .user = "ann",
                                                      .password = c[2],
                                                      .destination = work.string()},
                                                     RunMode::OnDemand, state, inet, rec);
                const auto n = [](auto... v) { return joined({std::to_string(v)...}); };
                const auto slots = state.ImageList.begin() + 1;
                std::erase_if(inet.fetched, [&](auto& u) { return !inet.table.contains(u); });
                std::ranges::sort(inet.fetched);
                facts = {{"1 pages read, images found, copied, present, failed",
                          n(sum.pages_read, sum.images_found, sum.images_copied, sum.images_present,
                            sum.images_failed)},
                         {"2 end note", end_note(sum)},
                         {"3 start page fetched, other failures",
                          n(sum.start_failure.empty(),
                            static_cast<int>(sum.failures.size()) - sum.images_failed)},
                         {"4 fetched", joined(inet.fetched)},
                         {"5 credentials", inet.user + ":" + inet.password + "@" + inet.origin},
                         {"6 captions", joined(rec.captions)},
                         {"7 blank slots", n(std::count(slots, slots + sum.images_found, ""))},
                         {"8 files", file_names(work)}};
            });
        if (tmpfs && !run.skipped.empty()) continue;  // no tmpfs can be mounted here
        ASSERT_EQ(run.facts.size(), 8u) << run.skipped;
        auto want = c.fields.begin() + 4;  // the facts sort in the order of the columns
        for (const auto& [fact, got] : run.facts) EXPECT_EQ(got, *want++) << fact;
    }
}

// Memory that runs out ends the run, which says so and counts as run, as
// one whose fetches failed does; the program goes on.
TEST(TaskRun, OutOfMemoryEndsTheRun) {
    struct Exhausted final : TransferControl {
        FakeTransfer site;
        void SetCredentials(const std::string&, const std::string&, const std::string&) override {}
        Response OpenURL(const std::string& url, DataType type) override {
            if (url.ends_with("big.gif")) throw std::bad_alloc();
            return site.OpenURL(url, type);
        }
        void SetStopToken(std::stop_token) override {}
    } inet;
    inet.site.add("http://h/p.htm", "<img src=ok.gif><img src=big.gif><img src=no.gif> .......");
    for (const char* name : {"ok", "no"})
        inet.site.add("http://h/" + std::string(name) + ".gif", image_bytes(2000, name[0]));
    TempDir dir;
    m_psf::CrawlState state;
    Recorder rec;
    const RunSummary sum =
        run_retrieval({.start_address = "http://h/p.htm", .destination = dir.str()},
                      RunMode::OnDemand, state, inet, rec);
    EXPECT_TRUE(sum.out_of_memory);
    EXPECT_FALSE(sum.cancelled);
    EXPECT_EQ(rec.colours.back(), LabelColour::Idle);
    EXPECT_EQ(end_note(sum), "Stopped: out of memory");
    EXPECT_EQ(out_of_memory_text(sum),
              "the run ran out of memory and ended early, after 1 image copied");
    EXPECT_EQ(list_files(dir.path()), Strings{"ok.gif"});
    ASSERT_EQ(sum.written.size(), 1u) << "what was written is still told to the history";
    EXPECT_EQ(sum.written[0].address, "http://h/ok.gif");
}

// Stopped while the next page or many images are on their way: the run
// returns long before the held-back replies would come, writes nothing after
// the stop and leaves no partial file.
TEST(TaskRun, CancelDuringTheCrawlAndDuringTheDownloads) {
    TestServer server;
    std::string html = "<a href='next.htm'>next</a> ";
    for (int k = 0; k < 40; ++k) {
        const std::string path = "/img/n" + std::to_string(k) + ".gif";
        html += "<img src='" + path + "'> ";
        serve(server, path, image_bytes(4000, static_cast<char>('a' + k % 26)), 200,
              k < 3 ? 0 : 30000);
    }
    serve(server, "/index.htm", html + " ....");
    serve(server, "/next.htm", "<img src='/img/n0.gif'> ....", 200, 30000);
    for (const auto& [depth, stop_after, files] :
         {std::tuple<int, const char*, const char*>{1, "1 page read", ""},
          {0, "3 images copied", "n0.gif n1.gif n2.gif"}}) {
        SCOPED_TRACE(stop_after);
        server.clear_log();
        TempDir dir;
        CurlTransfer inet;
        m_psf::CrawlState state;
        Recorder rec;
        rec.stop_after = stop_after;
        std::stop_source stop;
        std::chrono::steady_clock::time_point stopped_at;
        std::thread stopper([&] {  // the run then waits on a held-back reply
            for (int i = 0; i < 1000 && !rec.reached; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            stopped_at = std::chrono::steady_clock::now();
            stop.request_stop();
        });
        const RunSummary sum = run_retrieval({.start_address = server.url("/index.htm"),
                                              .link_depth = depth,
                                              .destination = dir.str()},
                                             RunMode::OnDemand, state, inet, rec, stop.get_token());
        const auto returned_at = std::chrono::steady_clock::now();
        stopper.join();
        EXPECT_LT(returned_at - stopped_at, std::chrono::seconds(15)) << "waited for the replies";
        EXPECT_TRUE(sum.cancelled);
        EXPECT_EQ(rec.colours.back(), LabelColour::Idle);
        EXPECT_EQ(joined(list_files(dir.path())), files);
        for (const std::string& f : list_files(dir.path()))
            EXPECT_EQ(read_file(dir / f).size(), 4000u) << f;
        EXPECT_GT(server.requests().size(), depth == 0 ? 6u : 1u);  // fetches under way
    }
}

// An index page linking to pages whose images collide in every way a copy can
// depend on an earlier one, each with more distinct images than the
// look-ahead holds.
void serve_collisions(TestServer& s) {
    std::string index = "<html> <img src='/a/x.gif'> ";
    std::set<std::string> images;
    int p = 0;
    for (const auto& r : read_table("scheduler/ahead_site.txt", 1)) {
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
    for (const std::string& img : images)
        ++seed, serve(s, img, image_bytes(1100 + 37 * static_cast<std::size_t>(seed % 16), seed));
    serve(s, "/missing.gif", image_bytes(1200), 404);
    serve(s, "/err.gif", "<html>404 gone</html>");
}

struct Outcome {
    Strings captions, image_slots, requests;
    std::map<std::string, std::string> files;
    int copied = 0;
};

// A folder as it is before a run: files already present, for the policies.
void prepare(const TempDir& dir, const TestServer& server, int layout) {
    const std::string at = layout == 2 ? "127.0.0.1:" + std::to_string(server.port()) + "/" : "";
    std::filesystem::create_directories(dir / at);
    write_file(dir / (at + "kept.gif"), "old kept");
    if (layout == 1) write_file(dir / "x.gif", "old x");
}

void finish(Outcome& out, const TempDir& dir, TestServer& server, const m_psf::List& images,
            int found) {
    for (const std::string& f : list_files(dir.path())) out.files[f] = read_file(dir / f);
    out.image_slots.assign(images.begin() + 1, images.begin() + 1 + found);
    for (const auto& r : server.requests()) out.requests.push_back(r.path);
    std::ranges::sort(out.requests);
    server.clear_log();
}

// What a run must give, one fetch at a time: each level scans the pages the
// level before found, in order; then each image listed is copied once, in
// order, an address seen in an earlier slot skipped, a slot not copied blanked.
Outcome reference(TestServer& server, const std::string& start, int depth, int policy, int layout) {
    TempDir dir;
    prepare(dir, server, layout);
    CurlTransfer inet;
    m_psf::CrawlState st;
    m_psf::Counters c{0, 1};
    st.PageList[1] = server.url(start);
    Outcome out;
    for (int level = 0, first = 1, last = 1, read = 0; level <= depth; ++level) {
        for (int i = first; i <= last; ++i) {
            m_psf::analyse_page(inet, st.PageList[static_cast<std::size_t>(i)], {}, {},
                                st.ImageList, st.PageList, c);
            out.captions.push_back(page_count_text(++read));
        }
        first = std::exchange(last, c[1]) + 1;
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

// Runs the task side by side in several ways, each checked against the
// reference; returns the reference. Depth 0 runs as scheduled.
Outcome compare(TestServer& server, const std::string& start, int depth, int policy, int layout) {
    const Outcome one = reference(server, start, depth, policy, layout);
    std::optional<RunSummary> first;
    // Held bytes of 1: every page but the one awaited pauses at its first byte.
    for (const auto& [connections, held] :
         {std::pair<long, std::size_t>{1, 1u << 28}, {3, 1u << 28}, {16, 1u << 28}, {16, 1}}) {
        SCOPED_TRACE(std::to_string(connections) + " connections, held " + std::to_string(held));
        TempDir dir;
        prepare(dir, server, layout);
        CurlTransfer inet(TransferLimits{.max_connections = connections, .max_held = held});
        m_psf::CrawlState state;
        Recorder rec;
        const RunSpec spec{.title = "  Site  ",
                           .start_address = " " + server.url(start) + " ",
                           .link_depth = depth,
                           .policy = policy,
                           .destination = dir.str(),
                           .layout = layout};
        Outcome many;
        const RunSummary sum = run_retrieval(
            spec, depth == 0 ? RunMode::Scheduled : RunMode::OnDemand, state, inet, rec);
        finish(many, dir, server, state.ImageList, state.ImagesFound);
        EXPECT_EQ(rec.captions, depth > 0 ? one.captions : Strings({"Récupère Site", ""}));
        EXPECT_EQ(many.files, one.files);
        EXPECT_EQ(many.image_slots, one.image_slots);
        EXPECT_EQ(many.requests, one.requests);
        EXPECT_EQ(sum.images_copied, one.copied);
        // Pending events are processed after each page and image, and around a scheduled run.
        EXPECT_EQ(rec.events, sum.pages_read + sum.images_copied + (depth > 0 ? 0 : 2));
        EXPECT_EQ(rec.colours, (std::vector<LabelColour>{LabelColour::Busy, LabelColour::Idle}));
        EXPECT_FALSE(sum.cancelled);
        if (!first) first = sum;
        EXPECT_EQ(sum.images_present, first->images_present);
        EXPECT_EQ(sum.failures, first->failures);
        EXPECT_EQ(sum.pages_read, first->pages_read);
    }
    return one;
}

TEST(AheadRun, SameResultsAsOneFetchAtATime) {
    TestServer server;
    serve_collisions(server);
    for (const auto& r : read_table("scheduler/levels_site.txt", 2))
        serve(server, r[0], r[1].empty() ? image_bytes(3000, r[0][4]) : r[1]);
    for (const auto& c : read_table("scheduler/levels.txt", 2)) {
        SCOPED_TRACE(c.where);  // levels breadth first
        EXPECT_EQ(joined(compare(server, "/l/index.htm", std::stoi(c[0]), 1, 1).requests), c[1]);
    }
    for (const auto& [policy, layout] : {std::pair{1, 1}, {3, 1}, {2, 2}, {3, 2}}) {
        SCOPED_TRACE("policy " + std::to_string(policy) + ", layout " + std::to_string(layout));
        const Outcome one = compare(server, "/index.htm", 1, policy, layout);
        // The site is built so that every kind of slot result occurs.
        EXPECT_GT(one.copied, 60);
        EXPECT_GE(std::ranges::count(one.image_slots, ""), 2);
        EXPECT_EQ(std::ranges::count(one.requests, "/missing.gif"), 1);
    }
}

}  // namespace
