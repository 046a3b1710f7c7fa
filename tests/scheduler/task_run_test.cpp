#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"
#include "support/fake_transfer.h"
#include "support/full_disk.h"
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

TEST(TaskRun, DepthScansLevelsBreadthFirst) {
    struct Case {
        int depth;
        Strings pages;
        Strings files;
    };
    const std::vector<Case> cases = {
        {0, {"/index.htm"}, {"i0.gif"}},
        {1, {"/index.htm", "/a.htm", "/b.htm"}, {"i0.gif", "ia.gif", "ib.gif"}},
        {2, {"/index.htm", "/a.htm", "/b.htm", "/c.htm"}, {"i0.gif", "ia.gif", "ib.gif", "ic.gif"}},
        {4,
         {"/index.htm", "/a.htm", "/b.htm", "/c.htm", "/d.htm"},
         {"i0.gif", "ia.gif", "ib.gif", "ic.gif", "id.gif"}},
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
            RunSummary sum =
                run_retrieval(spec_for(server, dir, tc.depth), RunMode::OnDemand, state, inet, rec);
            Strings pages = page_requests(server);
            // Pages of one level are fetched side by side, so only one connection
            // fixes the order within a level.
            if (connections > 1) std::sort(pages.begin() + 1, pages.end());
            EXPECT_EQ(pages, tc.pages);
            EXPECT_EQ(list_files(dir.path()), tc.files);
            EXPECT_EQ(sum.images_copied, static_cast<int>(tc.files.size()));
            EXPECT_EQ(server.count("/i0.gif"), 1);  // listed twice from depth 1, fetched once
            EXPECT_FALSE(sum.cancelled);
        }
}

TEST(TaskRun, OnDemandCaptionsCountPagesThenImages) {
    TestServer server;
    serve_site(server);
    TempDir dir;
    CurlTransfer inet;
    m_psf::CrawlState state;
    Recorder rec;
    run_retrieval(spec_for(server, dir, 1), RunMode::OnDemand, state, inet, rec);
    EXPECT_EQ(rec.captions, (Strings{"1 page read", "2 pages read", "3 pages read",
                                     "1 image copied", "2 images copied", "3 images copied"}));
    EXPECT_EQ(rec.colours, (std::vector<LabelColour>{LabelColour::Busy, LabelColour::Idle}));
    EXPECT_EQ(rec.events, 6);
}

TEST(TaskRun, ScheduledRunNamesTheTaskAndEndsEmpty) {
    TestServer server;
    serve_site(server);
    TempDir dir;
    CurlTransfer inet;
    m_psf::CrawlState state;
    Recorder rec;
    run_retrieval(spec_for(server, dir, 0), RunMode::Scheduled, state, inet, rec);
    EXPECT_EQ(rec.captions, (Strings{"Récupère Site", ""}));
    EXPECT_EQ(rec.events, 4);  // start, one page, one image, end
    EXPECT_EQ(list_files(dir.path()), Strings{"i0.gif"});
}

// What a run counts and says, on sites without a network.
TEST(TaskRun, SummaryCountsDistinctImagesAndSaysWhatFailed) {
    auto repeated = [](const std::string& ref, int n) {
        std::string html;
        for (int k = 0; k < n; ++k) html += "<img src='" + ref + "'>";
        return html;
    };
    std::string distinct;
    for (int k = 0; k <= m_psf::ListLimit; ++k)
        distinct += "<a href=i" + std::to_string(k) + ".gif>";
    struct Case {
        const char* name;
        std::string page;  // at http://h/p.htm, unless empty: nothing answers there
        long status;
        int found, copied, present, failed;
        std::string note;  // on the label once the run has ended
        std::map<std::string, int> fetches;
    };
    const std::vector<Case> cases = {
        {"start page unreachable", "", 200, 0, 0, 0, 0, "Start page: unreachable", {}},
        {"start page 404, still scanned",
         "<img src=ok.gif> ...........",
         404,
         1,
         1,
         0,
         0,
         "Start page: HTTP status 404",
         {{"http://h/ok.gif", 1}}},
        {"each image once: copied, present, failed",
         "<img src=bad.gif><img src=ok.gif><a href=bad.gif><img src=kept.gif><img src=bad.gif> ...",
         200,
         3,
         1,
         1,
         1,
         "",
         {{"http://h/bad.gif", 1}, {"http://h/kept.gif", 0}}},
        {"one image repeated past the limit, then another",
         repeated("ok.gif", m_psf::ListLimit + 10) + "<img src=other.gif> ..........",
         200,
         2,
         2,
         0,
         0,
         "",
         {{"http://h/ok.gif", 1}, {"http://h/other.gif", 1}}},
        {"image list full",
         distinct + " ..........",
         200,
         m_psf::ListLimit,
         0,
         0,
         m_psf::ListLimit,
         "Image list full",
         {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        FakeTransfer inet;
        if (!tc.page.empty()) inet.add("http://h/p.htm", tc.page, tc.status);
        inet.add("http://h/ok.gif", image_bytes(2000, 'o'));
        inet.add("http://h/other.gif", image_bytes(2000, 'p'));
        inet.add("http://h/kept.gif", image_bytes(2000, 'k'));
        inet.add("http://h/bad.gif", "<html>404</html>", 404);
        TempDir dir;
        psf::test::write_file(dir / "kept.gif", "mine");
        m_psf::CrawlState state;
        Recorder rec;
        RunSpec spec;
        spec.start_address = "http://h/p.htm";
        spec.destination = dir.str();
        const RunSummary sum = run_retrieval(spec, RunMode::OnDemand, state, inet, rec);
        EXPECT_EQ(sum.pages_read, 1);
        EXPECT_EQ(sum.images_found, tc.found);
        EXPECT_EQ(sum.images_copied, tc.copied);
        EXPECT_EQ(sum.images_present, tc.present);
        EXPECT_EQ(sum.images_failed, tc.failed);
        EXPECT_EQ(end_note(sum), tc.note);
        EXPECT_EQ(sum.start_failure.empty(), tc.note.rfind("Start page", 0) != 0);
        EXPECT_EQ(sum.failures.size(),
                  static_cast<std::size_t>(tc.failed) + (sum.start_failure.empty() ? 0 : 1));
        EXPECT_EQ(rec.captions.front(), "1 page read");
        for (const auto& [url, n] : tc.fetches)
            EXPECT_EQ(std::count(inet.fetched.begin(), inet.fetched.end(), url), n) << url;
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
            RunSpec spec;
            spec.start_address = "http://h/p.htm";
            spec.destination = work.string();
            const RunSummary sum = run_retrieval(spec, RunMode::OnDemand, state, inet, rec);
            for (const auto& c : rec.captions) facts["captions"] += c + ";";
            facts["copied"] = std::to_string(sum.images_copied);
            facts["big slot"] = state.ImageList[2];
            facts["files"] = psf::test::file_names(work);
        });
    ASSERT_EQ(run.skipped, "");
    Facts f = run.facts;
    ASSERT_EQ(f.count("exception"), 0u) << f["exception"];
    EXPECT_EQ(f["captions"], "1 page read;1 image copied;2 images copied;");
    EXPECT_EQ(f["copied"], "2");
    EXPECT_EQ(f["big slot"], "");
    EXPECT_EQ(f["files"], "other.gif,small.gif");  // nothing of big.gif
}

TEST(TaskRun, CredentialsOnlyToTheStartSite) {
    TestServer site;
    TestServer other("127.0.0.2");
    psf::test::Reply page;
    page.body = "<img src='own.gif'> <img src='" + other.url("/their.gif") + "'> ..........";
    page.basic_auth = "ann:secret";
    site.route("/p.htm", page);
    psf::test::Reply own;
    own.body = image_bytes(3000);
    own.basic_auth = "ann:secret";
    site.route("/own.gif", own);
    psf::test::Reply theirs = own;
    other.route("/their.gif", theirs);

    struct Case {
        const char* name;
        std::string user, password;
        Strings files;
    };
    const std::vector<Case> cases = {
        {"both given", "ann", "secret", {"own.gif"}},
        {"password missing", "ann", "", {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        site.clear_log();
        other.clear_log();
        TempDir dir;
        CurlTransfer inet;
        m_psf::CrawlState state;
        Recorder rec;
        RunSpec spec;
        spec.start_address = site.url("/p.htm");
        spec.user = tc.user;
        spec.password = tc.password;
        spec.destination = dir.str();
        run_retrieval(spec, RunMode::OnDemand, state, inet, rec);
        EXPECT_EQ(list_files(dir.path()), tc.files);
        for (const auto& r : other.requests())
            EXPECT_EQ(r.headers.count("Authorization"), 0u) << r.path;
        EXPECT_GE(other.count("/their.gif"), tc.files.empty() ? 0 : 1);
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

TEST(TaskRun, CountTexts) {
    EXPECT_EQ(page_count_text(1), "1 page read");
    EXPECT_EQ(page_count_text(2), "2 pages read");
    EXPECT_EQ(image_count_text(1), "1 image copied");
    EXPECT_EQ(image_count_text(12), "12 images copied");
}

}  // namespace
