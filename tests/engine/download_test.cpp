#include <gtest/gtest.h>

#include <filesystem>

#include "engine/m_psf.h"
#include "platform/curl_transfer.h"
#include "support/fake_transfer.h"
#include "support/full_disk.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace psf::m_psf;
using psf::test::DiskFull;
using psf::test::Facts;
using psf::test::FakeTransfer;
using psf::test::file_names;
using psf::test::image_bytes;
using psf::test::list_files;
using psf::test::read_file;
using psf::test::TempDir;
using psf::test::write_file;
namespace fs = std::filesystem;

namespace {

using Files = std::vector<std::string>;

const std::string Img = image_bytes(2000);

TEST(Download, TargetPathByLayout) {
    struct Case {
        const char* name;
        std::string address;
        int layout;
        bool slash;  // destination given with a final slash
        Files files;
    };
    const std::vector<Case> cases = {
        {"flat", "http://h/a/b/c.gif", 1, false, {"c.gif"}},
        {"flat, final slash", "http://h/a/b/c.gif", 1, true, {"c.gif"}},
        {"tree", "http://h/a/b/c.gif", 2, false, {"h/a/b/c.gif"}},
        {"tree, final slash", "http://h/a/b/c.gif", 2, true, {"h/a/b/c.gif"}},
        {"tree keeps the port",
         "http://127.0.0.1:8080/x/c.gif",
         2,
         false,
         {"127.0.0.1:8080/x/c.gif"}},
        {"tree collapses doubled slashes", "http://h//a///c.gif", 2, false, {"h/a/c.gif"}},
        {"unknown layout behaves as flat", "http://h/a/c.gif", 7, false, {"c.gif"}},
        {"name after a colon", "http://h/a/x:c.gif", 1, false, {"c.gif"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        FakeTransfer inet;
        inet.add(tc.address, Img);
        const std::string dest = dir.str() + (tc.slash ? "/" : "");
        EXPECT_EQ(copie_image(inet, tc.address, dest, 2, tc.layout), 1);
        EXPECT_EQ(list_files(dir.path()), tc.files);
        if (!tc.files.empty()) {
            EXPECT_EQ(read_file(dir / tc.files[0]), Img);
        }
    }
}

TEST(Download, ExistingImagePolicies) {
    struct Case {
        const char* name;
        std::string file;  // name of the image in the address
        Files present;     // files already there
        int policy;
        int result;
        std::string written;  // file that holds the new bytes, or ""
        bool fetched;
    };
    const std::vector<Case> cases = {
        {"keep: nothing fetched", "c.gif", {"c.gif"}, 1, 0, "", false},
        {"keep: absent file written", "c.gif", {}, 1, 1, "c.gif", true},
        {"replace", "c.gif", {"c.gif"}, 2, 1, "c.gif", true},
        {"unknown policy replaces", "c.gif", {"c.gif"}, 9, 1, "c.gif", true},
        {"version 1", "c.gif", {"c.gif"}, 3, 1, "c-v1.gif", true},
        {"version 2", "c.gif", {"c.gif", "c-v1.gif"}, 3, 1, "c-v2.gif", true},
        {"freed number used again", "c.gif", {"c.gif", "c-v2.gif"}, 3, 1, "c-v1.gif", true},
        {"before the last four characters",
         "photo.jpeg",
         {"photo.jpeg"},
         3,
         1,
         "photo.-v1jpeg",
         true},
        {"version of an absent file is the file", "c.gif", {}, 3, 1, "c.gif", true},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        for (const auto& f : tc.present) write_file(dir / f, "old");
        FakeTransfer inet;
        const std::string url = "http://h/" + tc.file;
        inet.add(url, Img);
        EXPECT_EQ(copie_image(inet, url, dir.str(), tc.policy, 1), tc.result);
        EXPECT_EQ(inet.fetched.size(), tc.fetched ? 1u : 0u);
        if (!tc.written.empty()) {
            EXPECT_EQ(read_file(dir / tc.written), Img);
        }
        for (const auto& f : tc.present) {
            if (f != tc.written) {
                EXPECT_EQ(read_file(dir / f), "old") << f;
            }
        }
    }
}

TEST(Download, ReplaceWithShorterBodyLeavesNothingOfTheOld) {
    TempDir dir;
    write_file(dir / "c.gif", std::string(5000, 'z'));
    FakeTransfer inet;
    inet.add("http://h/c.gif", Img);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", dir.str(), 2, 1), 1);
    EXPECT_EQ(read_file(dir / "c.gif"), Img);
}

TEST(Download, ErrorPagesAndEmptyBodies) {
    struct Case {
        const char* name;
        std::string body;
        long status;
        int result;
    };
    std::string with403 = image_bytes(300);
    with403.replace(100, 3, "403");
    std::string withHtMl = image_bytes(300);
    withHtMl.replace(50, 4, "HtMl");
    std::string big404 = image_bytes(2000);
    big404.replace(10, 3, "404");
    std::string edge = image_bytes(1025);
    edge.replace(1021, 4, "html");
    std::string above = image_bytes(1026);
    above.replace(1022, 4, "html");
    const std::vector<Case> cases = {
        {"small page with 404", "<p>Error 404</p>" + std::string(200, ' '), 200, 0},
        {"small image that spells 403", with403, 200, 0},
        {"small image that spells HtMl", withHtMl, 200, 0},
        {"1025 bytes are still tested", edge, 200, 0},
        {"1026 bytes are not", above, 200, 1},
        {"large body with 404 written", big404, 200, 1},
        {"status 404 is never an image", image_bytes(5000), 404, 0},
        {"status 500 is never an image", image_bytes(5000), 500, 0},
        {"status 302 body kept", image_bytes(5000), 302, 1},
        {"zero bytes", "", 200, -1},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        FakeTransfer inet;
        inet.add("http://h/c.gif", tc.body, tc.status);
        EXPECT_EQ(copie_image(inet, "http://h/c.gif", dir.str(), 2, 1), tc.result);
        EXPECT_EQ(fs::exists(dir / "c.gif"), tc.result == 1);
        EXPECT_EQ(list_files(dir.path()).size(), tc.result == 1 ? 1u : 0u);  // no stray temp file
    }
}

TEST(Download, ErrorPageLeavesExistingFileUntouched) {
    TempDir dir;
    write_file(dir / "c.gif", "old image");
    FakeTransfer inet;
    inet.add("http://h/c.gif", image_bytes(5000), 404);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", dir.str(), 2, 1), 0);
    EXPECT_EQ(read_file(dir / "c.gif"), "old image");
}

TEST(Download, FailuresGiveMinusOne) {
    TempDir dir;
    FakeTransfer inet;
    inet.add("http://h/c.gif", Img);
    EXPECT_EQ(copie_image(inet, "http://h/unreachable.gif", dir.str(), 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", (dir / "missing").string(), 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", "", 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", "relative/dir", 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", "relative/dir", 2, 2), -1);
    EXPECT_FALSE(fs::exists("relative"));
    EXPECT_FALSE(fs::exists("c.gif"));
    EXPECT_TRUE(list_files(dir.path()).empty());
}

TEST(Download, NeverWritesOutsideTheDestination) {
    struct Case {
        const char* name;
        std::string address;
        int layout;
    };
    const std::vector<Case> cases = {
        {"dot-dot name", "http://h/a/..", 1},
        {"dot name", "http://h/a/.", 1},
        {"empty name", "http://h/a/", 1},
        {"encoded dot-dot name", "http://h/a/%2e%2e", 1},
        {"encoded slash in name", "http://h/a/..%2fx.gif", 1},
        {"encoded NUL", "http://h/a/x%00.gif", 1},
        {"raw NUL", std::string("http://h/a/x\0.gif", 17), 1},
        {"backslash escape", "http://h/a/..\\..\\x.gif", 1},
        {"tree dot-dot folder", "http://h/../../x.gif", 2},
        {"tree encoded dot-dot folder", "http://h/%2E%2E/%2e%2E/x.gif", 2},
        {"tree dot folder", "http://h/./x.gif", 2},
        {"tree dot-dot host", "http://../x.gif", 2},
        {"tree encoded slash folder", "http://h/a%2F..%2F..%2Fb/x.gif", 2},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir outer;
        fs::create_directory(outer / "dest");
        FakeTransfer inet;
        inet.add(tc.address, Img);
        EXPECT_EQ(copie_image(inet, tc.address, (outer / "dest").string(), 2, tc.layout), -1);
        EXPECT_TRUE(list_files(outer.path()).empty());
    }
}

TEST(Download, PlantedSymlinksAreNotFollowed) {
    TempDir outer;
    fs::create_directory(outer / "dest");
    fs::create_directory(outer / "elsewhere");
    fs::create_directory_symlink(outer / "elsewhere", outer / "dest" / "h");
    fs::create_symlink(outer / "elsewhere" / "victim.gif", outer / "dest" / "c.gif");
    write_file(outer / "elsewhere" / "victim.gif", "victim");
    FakeTransfer inet;
    inet.add("http://h/c.gif", Img);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", (outer / "dest").string(), 2, 2), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", (outer / "dest").string(), 2, 1), -1);
    EXPECT_EQ(read_file(outer / "elsewhere" / "victim.gif"), "victim");
    EXPECT_EQ(list_files(outer / "elsewhere"), Files{"victim.gif"});
}

// Copies an image onto a full disk where c.gif holds "old image"; an empty
// result unless the full disk could not be made.
std::string expect_full_disk_refusal(DiskFull how, std::size_t room) {
    struct Case {
        const char* name;
        int policy;
        int layout;
        std::string address;
    };
    const std::vector<Case> cases = {
        {"replacing", 2, 1, "http://h/c.gif"},
        {"new file", 2, 1, "http://h/new.gif"},
        {"new version", 3, 1, "http://h/c.gif"},
        {"tree", 2, 2, "http://h/a/c.gif"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        FakeTransfer inet;
        inet.add(tc.address, Img);
        const auto run = psf::test::run_on_full_disk(
            how, dir.path(), room,
            [](const fs::path& work) { write_file(work / "c.gif", "old image"); },
            [&](const fs::path& work, Facts& facts) {
                facts["result"] = std::to_string(
                    copie_image(inet, tc.address, work.string(), tc.policy, tc.layout));
                facts["old"] = read_file(work / "c.gif");
                facts["files"] = file_names(work);
            });
        if (!run.skipped.empty()) return run.skipped;
        Facts f = run.facts;
        if (f.count("exception")) {
            ADD_FAILURE() << f["exception"];
            continue;
        }
        EXPECT_EQ(f["result"], "-1");
        EXPECT_EQ(f["old"], "old image");
        EXPECT_EQ(f["files"], "c.gif");  // no partial image, no temporary file
    }
    return {};
}

// A full disk: no partial file under the final name, an existing file kept
// whole, and -1, never 1.
TEST(Download, FailedWriteUnderAFileSizeLimitKeepsTheOldFile) {
    for (std::size_t room : {std::size_t{0}, std::size_t{1000}, Img.size() - 1}) {
        SCOPED_TRACE("room " + std::to_string(room));
        EXPECT_EQ(expect_full_disk_refusal(DiskFull::FileSize, room), "");
    }
}

TEST(Download, FailedWriteOnAFullFileSystemKeepsTheOldFile) {
    if (const std::string why = expect_full_disk_refusal(DiskFull::Tmpfs, 0); !why.empty())
        GTEST_SKIP() << "no tmpfs could be mounted: " << why;
}

// Over a real connection: the name comes from the link, not the redirect.
TEST(Download, NameComesFromTheLinkNotTheRedirect) {
    psf::test::TestServer server;
    psf::test::Reply moved;
    moved.status = 302;
    moved.headers["Location"] = "/store/other-name.gif";
    server.route("/pic.gif", moved);
    server.image("/store/other-name.gif", Img);
    TempDir dir;
    psf::CurlTransfer inet;
    EXPECT_EQ(copie_image(inet, server.url("/pic.gif"), dir.str(), 2, 1), 1);
    EXPECT_EQ(list_files(dir.path()), Files{"pic.gif"});
}

}  // namespace
