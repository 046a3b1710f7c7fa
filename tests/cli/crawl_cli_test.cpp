#include <gtest/gtest.h>

#include "cli/crawl_command.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using psf::test::image_bytes;
using psf::test::list_files;
using psf::test::run_process;
using psf::test::TempDir;
using psf::test::TestServer;

namespace {

using Strings = std::vector<std::string>;

psf::test::ProcessResult cli(Strings args, const std::string& cwd = {}) {
    args.insert(args.begin(), PICSIFTER_CLI_PATH);
    return run_process(args, cwd, std::chrono::seconds(60), {"PICSIFTER_PASSWORD"});
}

void serve_gallery(TestServer& s) {
    s.page("/", "<a href='more/two.htm'>next</a> <img src='one.gif'> <img src='skip.jpg'> ....");
    s.page("/more/two.htm", "<img src='two.jpeg'> <img src='/one.gif'> ......................");
    s.image("/one.gif", image_bytes(3000, 'a'));
    s.image("/skip.jpg", image_bytes(3000, 'b'));
    s.image("/more/two.jpeg", image_bytes(3000, 'c'));
}

TEST(CliCrawl, CopiesFlatAndTree) {
    TestServer server;
    serve_gallery(server);
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    struct Case {
        const char* name;
        Strings extra;
        Strings files;
        std::string summary;
    };
    const std::vector<Case> cases = {
        {"flat, start page only",
         {},
         {"one.gif", "skip.jpg"},
         "1 page read, 2 images found, 2 copied, 0 already present, 0 failed"},
        {"flat, one level",
         {"--depth", "1"},
         {"one.gif", "skip.jpg", "two.jpeg"},
         "2 pages read, 3 images found, 3 copied, 0 already present, 0 failed"},
        {"tree with a filter",
         {"--depth", "1", "--tree", "--exclude", "skip.*"},
         {host + "/more/two.jpeg", host + "/one.gif"},
         "2 pages read, 2 images found, 2 copied, 0 already present, 0 failed"},
        {"include only jpeg",
         {"--depth", "1", "--include", "*.jpeg"},
         {"two.jpeg"},
         "2 pages read, 1 image found, 1 copied, 0 already present, 0 failed"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        Strings args{"crawl", server.url("/"), "--dest", (dir / "new/sub").string()};
        args.insert(args.end(), tc.extra.begin(), tc.extra.end());
        auto r = cli(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(list_files(dir / "new/sub"), tc.files);
        EXPECT_EQ(r.out, tc.summary + "\n") << "not a terminal: the summary alone";
    }
}

TEST(CliCrawl, DefaultsToTheCurrentFolderAndKeepsExistingFiles) {
    TestServer server;
    serve_gallery(server);
    TempDir dir;
    psf::test::write_file(dir / "one.gif", "mine");
    auto r = cli({"crawl", server.url("/")}, dir.str());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(psf::test::read_file(dir / "one.gif"), "mine");
    EXPECT_EQ(list_files(dir.path()), (Strings{"one.gif", "skip.jpg"}));
    EXPECT_EQ(r.out, "1 page read, 2 images found, 1 copied, 1 already present, 0 failed\n");

    r = cli({"crawl", server.url("/"), "--policy", "version"}, dir.str());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(list_files(dir.path()),
              (Strings{"one-v1.gif", "one.gif", "skip-v1.jpg", "skip.jpg"}));
}

TEST(CliCrawl, BadUsageExitsOneWithUsageLine) {
    const std::vector<Strings> cases = {
        {},
        {"fetch"},
        {"crawl"},
        {"crawl", "ftp://h/"},
        {"crawl", "http://127.0.0.1:1/", "--depth", "5"},
        {"crawl", "http://127.0.0.1:1/", "--depth"},
        {"crawl", "http://127.0.0.1:1/", "--policy", "sometimes"},
        {"crawl", "http://127.0.0.1:1/", "--include", "nodot"},
        {"crawl", "http://127.0.0.1:1/", "--include", "a.png"},
        {"crawl", "http://127.0.0.1:1/", "--user", "u"},  // no password, no terminal to ask on
        {"crawl", "http://127.0.0.1:1/", "--password-file", "/etc/hostname"},
        {"crawl", "http://127.0.0.1:1/", "--user", "u", "--password", "p", "--password-file", "f"},
        {"crawl", "http://127.0.0.1:1/", "--user", "u", "--password-file", "/nonexistent"},
        {"crawl", "http://127.0.0.1:1/", "--bogus"},
        {"crawl", "http://127.0.0.1:1/", "--connections", "0"},
        {"crawl", "http://127.0.0.1:1/", "--connections", "65"},
        {"crawl", "http://127.0.0.1:1/", "--connections", "2x"},
        {"crawl", "http://127.0.0.1:1/", "http://127.0.0.1:2/"},
        {"crawl", "http://127.0.0.1:1/", "-v", "--quiet"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        auto r = cli(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("usage: picsifter-cli"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(CliCrawl, HelpVersionAndUnusableDestination) {
    auto r = cli({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("picsifter-cli crawl URL"), std::string::npos);
    r = cli({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.starts_with("picsifter-cli 2.")) << r.out;

    TempDir dir;
    psf::test::write_file(dir / "file", "x");
    r = cli({"crawl", "http://127.0.0.1:1/", "--dest", (dir / "file").string()});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.err.find("cannot use the folder"), std::string::npos) << r.err;
}

TEST(CliCrawl, OutputModes) {
    TestServer server;
    serve_gallery(server);
    server.page("/", "<img src='one.gif'> <img src='gone.gif'> ...........................");
    const std::string summary =
        "1 page read, 2 images found, 1 copied, 0 already present, 1 failed\n";
    struct Case {
        Strings extra;
        std::string out, err;
    };
    const std::vector<Case> cases = {
        {{}, summary, ""},
        {{"--quiet"}, "", ""},
        {{"-v"},
         "1 page read\n1 image copied\n" + summary,
         "picsifter-cli: failed: " + server.url("/gone.gif") + ": HTTP status 404\n"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.extra.empty() ? "default" : tc.extra[0]);
        TempDir dir;
        Strings args{"crawl", server.url("/"), "--dest", dir.str()};
        args.insert(args.end(), tc.extra.begin(), tc.extra.end());
        auto r = cli(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, tc.out);
        EXPECT_EQ(r.err, tc.err);
    }
}

TEST(CliFilters, ParseFilter) {
    struct Case {
        std::string text;
        bool ok;
        std::string name, type;
    };
    const std::vector<Case> cases = {
        {"*.gif", true, "*", "gif"},
        {"photo?.*", true, "photo?", "*"},
        {"a.b.jpg", false, "", ""},
        {"x.JPG", false, "", ""},
        {".gif", false, "", ""},
        {"a/b.gif", false, "", ""},
        {" pic .jpeg", true, "pic", "jpeg"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.text);
        std::string name, type;
        EXPECT_EQ(psf::cli::parse_filter(tc.text, name, type), tc.ok);
        if (tc.ok) {
            EXPECT_EQ(name, tc.name);
            EXPECT_EQ(type, tc.type);
        }
    }
}

TEST(CliCrawl, ConnectionsSetTheTransferLimits) {
    struct Case {
        Strings words;
        long total, per_host;
    };
    const std::vector<Case> cases = {
        {{"http://h/"}, 16, 6},
        {{"http://h/", "--connections", "1"}, 1, 1},
        {{"http://h/", "--connections", "3"}, 3, 3},
        {{"http://h/", "--connections", "32"}, 32, 6},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.words.back());
        std::string error;
        auto args = psf::cli::parse_crawl_args(tc.words, error);
        ASSERT_TRUE(args) << error;
        const psf::TransferLimits limits = psf::cli::transfer_limits(*args);
        EXPECT_EQ(limits.max_connections, tc.total);
        EXPECT_EQ(limits.max_host_connections, tc.per_host);
    }
}

}  // namespace
