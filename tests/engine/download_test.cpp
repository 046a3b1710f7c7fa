#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "engine/m_psf.h"
#include "support/fake_transfer.h"
#include "support/full_disk.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace psf::m_psf;
using namespace psf::test;
namespace fs = std::filesystem;

namespace {

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
            std::string files;  // each name followed by " ", "=old " or "=? "
            for (const std::string& f : list_files(outer.path()))
                files += f.substr(5) +
                         std::array{"=? ", " ", "=old "}[read_file(outer / f) == body  ? 1
                                                         : read_file(outer / f) == Old ? 2
                                                                                       : 0];
            EXPECT_EQ(files, r[7].empty() ? r[7] : r[7] + " ");
            EXPECT_TRUE(r[8] == "-" || std::to_string(inet.fetched.size()) == r[8]);
        }
}

TEST(Download, FailuresGiveMinusOneAndWriteNothing) {
    TempDir dir;
    FakeTransfer inet;
    const std::string nul("http://h/a/x\0.gif", 17), c = "http://h/c.gif";
    inet.add(c, Img);
    inet.add(nul, Img);
    // Planted links are not followed.
    fs::create_directory(dir / "dest");
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "dest" / "h");
    fs::create_symlink(dir / "elsewhere" / "victim.gif", dir / "dest" / "c.gif");
    write_file(dir / "elsewhere" / "victim.gif", "victim");
    for (const auto& [address, folder] :
         std::vector<std::pair<std::string, std::string>>{{nul, dir.str()},
                                                          {"http://h/unreachable.gif", dir.str()},
                                                          {c, (dir / "missing").string()},
                                                          {c, ""},
                                                          {c, "relative/dir"},
                                                          {c, (dir / "dest").string()}})
        for (const int layout : {1, 2})
            EXPECT_EQ(copie_image(inet, address, folder, 2, layout), -1) << folder << layout;
    EXPECT_FALSE(fs::exists("relative") || fs::exists("c.gif"));
    EXPECT_EQ(list_files(dir.path()), std::vector<std::string>{"elsewhere/victim.gif"});
    EXPECT_EQ(read_file(dir / "elsewhere" / "victim.gif"), "victim");
    // The name comes from the link, not from the address after redirects.
    inet.add("http://h/pic.gif", Img, 200, "http://h/store/other-name.gif");
    EXPECT_EQ(copie_image(inet, "http://h/pic.gif", (dir / "elsewhere").string(), 2, 1), 1);
    EXPECT_TRUE(fs::exists(dir / "elsewhere" / "pic.gif"));
}

// A deep tree is planned from its text: made one folder at a time, removed
// again when its image fails, and not made at all once the run is stopped.
TEST(Download, DeepTreesAndTheStop) {
    std::string deep = "http://h";
    for (int k = 0; k < 500; ++k) deep += "/d" + std::to_string(k % 7);
    deep += "/x.gif";
    TempDir dir;
    Destination dest(dir.str() + "/");
    std::stop_source stopped;
    stopped.request_stop();
    const ImagePlan none =
        prepare_image(dest, image_paths(deep, dir.str(), 2), deep, 2, {}, stopped.get_token());
    EXPECT_FALSE(none.fetch || fs::exists(dir / "h"));
    const ImagePlan plan = prepare_image(dest, image_paths(deep, dir.str() + "/", 2), deep, 2, {});
    EXPECT_EQ(plan.target(), dir.str() + "/" + deep.substr(7));
    EXPECT_TRUE(plan.fetch && plan.made == 501 &&
                fs::is_directory(plan.target().substr(0, plan.target().size() - 6)));
    remove_empty_folders(dest, plan.paths, plan.made);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A full disk: -1, no partial image or temporary file, the old file whole.
TEST(Download, FailedWriteOnAFullDiskKeepsTheOldFile) {
    for (const auto& [how, room] : {std::pair{DiskFull::FileSize, std::size_t{0}},
                                    {DiskFull::FileSize, std::size_t{1000}},
                                    {DiskFull::FileSize, Img.size() - 1},
                                    {DiskFull::Tmpfs, std::size_t{0}}})
        for (const std::string c : {"2 1 c.gif", "2 1 new.gif", "3 1 c.gif", "2 2 a/c.gif"}) {
            SCOPED_TRACE(c + " " + std::to_string(room));  // policy, layout, address
            const std::string address = "http://h/" + c.substr(4);
            TempDir dir;
            FakeTransfer inet;
            inet.add(address, Img);
            const auto run = psf::test::run_on_full_disk(
                how, dir.path(), room,
                [](const fs::path& work) { write_file(work / "c.gif", "old image"); },
                [&](const fs::path& work, Facts& facts) {
                    facts["seen"] = std::to_string(copie_image(inet, address, work.string(),
                                                               c[0] - '0', c[2] - '0')) +
                                    " " + read_file(work / "c.gif") + " " + file_names(work);
                });
            ASSERT_TRUE(run.skipped.empty() || how == DiskFull::Tmpfs) << run.skipped;
            if (!run.skipped.empty()) GTEST_SKIP() << "no tmpfs could be mounted: " << run.skipped;
            EXPECT_EQ(
                run.facts.count("exception") ? run.facts.at("exception") : run.facts.at("seen"),
                "-1 old image c.gif");
        }
}

// No room left: the downloads stop at once; the temporary files and folders
// made for the images started ahead go.
TEST(Download, AFullDestinationEndsTheDownloads) {
    FakeTransfer inet;
    inet.ahead = 4;
    List images(8);
    for (int k = 1; k <= 6; ++k)
        inet.add(images[k] = "http://h/a" + std::to_string(k) + "/i.gif", image_bytes(3000));
    TempDir dir;
    const auto run = run_on_full_disk(
        DiskFull::Tmpfs, dir.path(), 0, [](const fs::path&) {},
        [&](const fs::path& work, Facts& f) {
            const DownloadTally t = download_images(inet, images, 6, work.string(), 2, 2, {}, {});
            f["seen"] = std::to_string(t.left) + " " + std::to_string(inet.fetched.size()) + " " +
                        std::strerror(t.full_error);
            for (const auto& e : fs::recursive_directory_iterator(work))
                f["seen"] += " " + e.path().filename().string();
        });
    if (!run.skipped.empty()) GTEST_SKIP() << run.skipped;
    EXPECT_EQ(run.facts.at("seen"), "5 1 No space left on device");
}

}  // namespace
