#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "engine/m_psf.h"
#include "support/fake_transfer.h"
#include "support/full_disk.h"
#include "support/table.h"
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
const std::string Old(5000, 'z');

// "image N [P TEXT]": an image of N bytes with TEXT at byte P; else the text.
std::string body_of(const std::string& spec) {
    std::istringstream in(spec);
    std::string word, text;
    std::size_t size = 0, at = 0;
    if (!(in >> word >> size) || word != "image") return spec;
    std::string body = image_bytes(size);
    if (in >> at >> text) body.replace(at, text.size(), text);
    return body;
}

TEST(Download, Decisions) {
    for (const auto& r : psf::test::read_table("engine/download.txt", 9))
        for (const std::string slash : {"", "/"}) {
            SCOPED_TRACE(r.where + slash);
            TempDir outer;
            const fs::path dest = outer / "dest";
            fs::create_directory(dest);
            std::istringstream present(r[3]);
            for (std::string f; present >> f;) write_file(dest / f, Old);
            FakeTransfer inet;
            const std::string body = body_of(r[4]);
            inet.add(r[0], body, std::stol(r[5]));
            EXPECT_EQ(
                copie_image(inet, r[0], dest.string() + slash, std::stoi(r[2]), std::stoi(r[1])),
                std::stoi(r[6]));
            std::string files;
            for (const std::string& f : list_files(outer.path())) {
                const std::string bytes = read_file(outer / f);
                files += (files.empty() ? "" : " ") + f.substr(5) +
                         (bytes == body  ? ""
                          : bytes == Old ? "=old"
                                         : "=?");
            }
            EXPECT_EQ(files, r[7]);
            EXPECT_TRUE(r[8] == "-" || std::to_string(inet.fetched.size()) == r[8]);
        }
}

TEST(Download, FailuresGiveMinusOneAndWriteNothing) {
    TempDir dir;
    FakeTransfer inet;
    inet.add("http://h/c.gif", Img);
    const std::string nul("http://h/a/x\0.gif", 17);
    inet.add(nul, Img);
    EXPECT_EQ(copie_image(inet, nul, dir.str(), 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/unreachable.gif", dir.str(), 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", (dir / "missing").string(), 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", "", 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", "relative/dir", 2, 1), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", "relative/dir", 2, 2), -1);
    EXPECT_FALSE(fs::exists("relative"));
    EXPECT_FALSE(fs::exists("c.gif"));
    EXPECT_TRUE(list_files(dir.path()).empty());
    // Planted links are not followed.
    fs::create_directory(dir / "dest");
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "dest" / "h");
    fs::create_symlink(dir / "elsewhere" / "victim.gif", dir / "dest" / "c.gif");
    write_file(dir / "elsewhere" / "victim.gif", "victim");
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", (dir / "dest").string(), 2, 2), -1);
    EXPECT_EQ(copie_image(inet, "http://h/c.gif", (dir / "dest").string(), 2, 1), -1);
    EXPECT_EQ(list_files(dir / "elsewhere"), Files{"victim.gif"});
    EXPECT_EQ(read_file(dir / "elsewhere" / "victim.gif"), "victim");
    // The name comes from the link, not from the address after redirects.
    inet.add("http://h/pic.gif", Img, 200, "http://h/store/other-name.gif");
    EXPECT_EQ(copie_image(inet, "http://h/pic.gif", (dir / "elsewhere").string(), 2, 1), 1);
    EXPECT_TRUE(fs::exists(dir / "elsewhere" / "pic.gif"));
}

// A full disk: -1, no partial image or temporary file, the old file whole.
// An empty result unless the full disk could not be made.
std::string expect_full_disk_refusal(DiskFull how, std::size_t room) {
    for (const std::string c : {"2 1 c.gif", "2 1 new.gif", "3 1 c.gif", "2 2 a/c.gif"}) {
        SCOPED_TRACE(c);  // policy, layout, address
        const int policy = c[0] - '0', layout = c[2] - '0';
        const std::string address = "http://h/" + c.substr(4);
        TempDir dir;
        FakeTransfer inet;
        inet.add(address, Img);
        const auto run = psf::test::run_on_full_disk(
            how, dir.path(), room,
            [](const fs::path& work) { write_file(work / "c.gif", "old image"); },
            [&](const fs::path& work, Facts& facts) {
                facts["seen"] =
                    std::to_string(copie_image(inet, address, work.string(), policy, layout)) +
                    " " + read_file(work / "c.gif") + " " + file_names(work);
            });
        if (!run.skipped.empty()) return run.skipped;
        EXPECT_EQ(run.facts.count("exception") ? run.facts.at("exception") : run.facts.at("seen"),
                  "-1 old image c.gif");
    }
    return {};
}

TEST(Download, FailedWriteOnAFullDiskKeepsTheOldFile) {
    for (std::size_t room : {std::size_t{0}, std::size_t{1000}, Img.size() - 1})
        EXPECT_EQ(expect_full_disk_refusal(DiskFull::FileSize, room), "") << room;
    if (const std::string why = expect_full_disk_refusal(DiskFull::Tmpfs, 0); !why.empty())
        GTEST_SKIP() << "no tmpfs could be mounted: " << why;
}

}  // namespace
