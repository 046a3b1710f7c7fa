#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"
#include "support/fake_transfer.h"
#include "support/full_disk.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace psf;
using psf::test::DiskFull;
using psf::test::Facts;
using psf::test::FakeTransfer;
using psf::test::image_bytes;
using psf::test::list_files;
using psf::test::TempDir;
using psf::test::TestServer;

namespace {

using Strings = std::vector<std::string>;

struct Recorder final : RunObserver {
    Strings captions;
    std::vector<LabelColour> colours;
    int events = 0;
    std::function<void()> on_caption;
    void set_caption(const std::string& c) override {
        captions.push_back(c);
        if (on_caption) on_caption();
    }
    void set_colour(LabelColour c) override { colours.push_back(c); }
    void process_events() override { ++events; }
};

// A small site: index -> a, b; a -> c; c -> d. Each page shows one image.
void serve_site(TestServer& s) {
    s.page("/index.htm", "<a href='a.htm'>A</a> <a href='b.htm'>B</a> <img src='i0.gif'> ....");
    s.page("/a.htm", "<a href='c.htm'>C</a> <img src='ia.gif'> <a href=index.htm>up</a> .......");
    s.page("/b.htm", "<img src='ib.gif'> <img src='/i0.gif'> ................................");
    s.page("/c.htm", "<a href='d.htm'>D</a> <img src='ic.gif'> ..............................");
    s.page("/d.htm", "<img src='id.gif'> ...................................................");
    for (const char* name : {"/i0.gif", "/ia.gif", "/ib.gif", "/ic.gif", "/id.gif"})
        s.image(name, image_bytes(3000, name[2]));
}

Strings page_requests(const TestServer& s) {
    Strings out;
    for (const auto& r : s.requests())
        if (r.path.ends_with(".htm")) out.push_back(r.path);
    return out;
}

RunSpec spec_for(const TestServer& s, const TempDir& dir, int depth) {
    RunSpec spec;
    spec.title = "  Site  ";
    spec.start_address = " " + s.url("/index.htm") + " ";
    spec.link_depth = depth;
    spec.destination = dir.str();
    return spec;
}

// A run on demand from http://h/p.htm, as user "ann" with `password`.
RunSummary run_at(TransferControl& inet, const std::string& destination, Recorder& rec,
                  m_psf::CrawlState& state, const std::string& password = "") {
    RunSpec spec;
    spec.start_address = " http://h/p.htm ";
    spec.user = "ann";
    spec.password = password;
    spec.destination = destination;
    return run_retrieval(spec, RunMode::OnDemand, state, inet, rec);
}

Strings words(const std::string& s) {
    std::istringstream in(s);
    Strings out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Levels are scanned breadth first; a depth-0 run here is a scheduled one,
// whose label names the task, while a run on demand counts pages then images.
TEST(TaskRun, DepthScansLevelsBreadthFirst) {
    struct Case {
        int depth;
        std::string pages, files, captions;  // "*": not checked
        int events;                          // start, each page, each image, end
    };
    const std::vector<Case> cases = {
        {0, "index", "i0", "Récupère Site;;", 4},
        {1, "index a b", "i0 ia ib",
         "1 page read;2 pages read;3 pages read;1 image copied;2 images copied;3 images copied;",
         6},
        {2, "index a b c", "i0 ia ib ic", "*", 0},
        {4, "index a b c d", "i0 ia ib ic id", "*", 0},
    };
    for (const auto& tc : cases)
        for (long connections : {1L, 16L}) {
            SCOPED_TRACE("depth " + std::to_string(tc.depth) + ", connections " +
                         std::to_string(connections));
            TestServer server;
            serve_site(server);
            TempDir dir;
            TransferLimits limits;
            limits.max_connections = connections;
            CurlTransfer inet(limits);
            m_psf::CrawlState state;
            Recorder rec;
            const RunMode mode = tc.depth == 0 ? RunMode::Scheduled : RunMode::OnDemand;
            RunSummary sum = run_retrieval(spec_for(server, dir, tc.depth), mode, state, inet, rec);
            std::string pages, files, captions;
            for (const std::string& p : page_requests(server))
                pages += p.substr(1, p.size() - 5) + " ";
            for (const std::string& f : list_files(dir.path()))
                files += f.substr(0, f.size() - 4) + " ";
            for (const std::string& c : rec.captions) captions += c + ";";
            // Pages of one level are fetched side by side, so only one connection
            // fixes the order within a level.
            Strings found = words(pages);
            if (connections > 1) std::sort(found.begin() + 1, found.end());
            EXPECT_EQ(found, words(tc.pages));
            EXPECT_EQ(files, tc.files + " ");
            EXPECT_EQ(sum.images_copied, static_cast<int>(words(tc.files).size()));
            EXPECT_EQ(server.count("/i0.gif"), 1);  // listed twice from depth 1, fetched once
            EXPECT_FALSE(sum.cancelled);
            EXPECT_EQ(rec.colours,
                      (std::vector<LabelColour>{LabelColour::Busy, LabelColour::Idle}));
            if (tc.captions != "*") {
                EXPECT_EQ(captions, tc.captions);
                EXPECT_EQ(rec.events, tc.events);
            }
        }
}

// What a run counts and says, on sites without a network.
TEST(TaskRun, SummaryCountsDistinctImagesAndSaysWhatFailed) {
    for (const auto& c : psf::test::read_table("scheduler/run_summary.txt", 5)) {
        SCOPED_TRACE(c.where);
        std::string page = c[0];
        if (page == "@repeated") {
            page.clear();
            for (int k = 0; k < m_psf::ListLimit + 10; ++k) page += "<img src='ok.gif'>";
            page += "<img src=other.gif> ..........";
        } else if (page == "@distinct") {
            page.clear();
            for (int k = 0; k <= m_psf::ListLimit; ++k)
                page += "<a href=i" + std::to_string(k) + ".gif>";
            page += " ..........";
        }
        FakeTransfer inet;
        if (!page.empty()) inet.add("http://h/p.htm", page, std::stol(c[1]));
        inet.add("http://h/ok.gif", image_bytes(2000, 'o'));
        inet.add("http://h/other.gif", image_bytes(2000, 'p'));
        inet.add("http://h/kept.gif", image_bytes(2000, 'k'));
        inet.add("http://h/bad.gif", "<html>404</html>", 404);
        TempDir dir;
        psf::test::write_file(dir / "kept.gif", "mine");
        m_psf::CrawlState state;
        Recorder rec;
        const RunSummary sum = run_at(inet, dir.str(), rec, state);
        EXPECT_EQ(sum.pages_read, 1);
        EXPECT_EQ(std::to_string(sum.images_found) + " " + std::to_string(sum.images_copied) + " " +
                      std::to_string(sum.images_present) + " " + std::to_string(sum.images_failed),
                  c[2]);
        EXPECT_EQ(end_note(sum), c[3]);
        EXPECT_EQ(sum.start_failure.empty(), !c[3].starts_with("Start page"));
        EXPECT_EQ(sum.failures.size(), static_cast<std::size_t>(sum.images_failed) +
                                           (sum.start_failure.empty() ? 0 : 1));
        EXPECT_EQ(rec.captions.front(), "1 page read");
        std::istringstream fetches(c[4]);
        for (std::string f; fetches >> f;) {
            const std::string url = "http://h/" + f.substr(0, f.find('='));
            EXPECT_EQ(std::to_string(std::count(inet.fetched.begin(), inet.fetched.end(), url)),
                      f.substr(f.find('=') + 1))
                << url;
        }
    }
}

// An image that the disk has no room for is not counted, not shown as copied,
// and its slot is blanked like any other failure.
TEST(TaskRun, ImageRefusedByAFullDiskIsNotCounted) {
    FakeTransfer inet;
    inet.add("http://h/p.htm",
             "<img src='small.gif'> <img src='big.gif'> <img src='other.gif'> ..........");
    inet.add("http://h/small.gif", image_bytes(2000));
    inet.add("http://h/big.gif", image_bytes(6000));
    inet.add("http://h/other.gif", image_bytes(3000));
    TempDir dir;
    const auto run = psf::test::run_on_full_disk(
        DiskFull::FileSize, dir.path(), 4000, [](const std::filesystem::path&) {},
        [&](const std::filesystem::path& work, Facts& facts) {
            m_psf::CrawlState state;
            Recorder rec;
            const RunSummary sum = run_at(inet, work.string(), rec, state);
            for (const auto& c : rec.captions) facts["seen"] += c + ";";
            facts["seen"] += std::to_string(sum.images_copied) + " [" + state.ImageList[2] + "] " +
                             psf::test::file_names(work);
        });
    ASSERT_EQ(run.skipped, "");
    Facts f = run.facts;
    EXPECT_EQ(f["exception"] + f["seen"],  // nothing of big.gif
              "1 page read;1 image copied;2 images copied;2 [] other.gif,small.gif");
}

// The transfer offers them only to the origin it is given: the start address.
TEST(TaskRun, CredentialsGoWithTheStartAddress) {
    for (const std::string password : {"secret", ""}) {
        FakeTransfer inet;
        m_psf::CrawlState state;
        Recorder rec;
        run_at(inet, "", rec, state, password);
        EXPECT_EQ(inet.user + ":" + inet.password + "@" + inet.origin,
                  (password.empty() ? ":" : "ann:secret") + std::string("@http://h/p.htm"));
    }
}

TEST(TaskRun, CancelStopsBeforeTheDownloads) {
    TestServer server;
    serve_site(server);
    TempDir dir;
    CurlTransfer inet;
    m_psf::CrawlState state;
    Recorder rec;
    std::stop_source stop;
    rec.on_caption = [&] { stop.request_stop(); };  // right after the first page
    RunSummary sum = run_retrieval(spec_for(server, dir, 2), RunMode::OnDemand, state, inet, rec,
                                   stop.get_token());
    EXPECT_TRUE(sum.cancelled);
    EXPECT_EQ(page_requests(server), Strings{"/index.htm"});
    EXPECT_TRUE(list_files(dir.path()).empty());
    EXPECT_EQ(rec.colours.back(), LabelColour::Idle);
}

}  // namespace
