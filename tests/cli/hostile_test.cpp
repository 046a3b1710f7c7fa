// Whole runs against hostile servers on loopback: the real transfer control,
// the crawl and the download, through picsifter-cli itself or the run the
// command line drives. Every case checks that nothing was written outside the
// destination, that no credential reached another host, that the run ended on
// its own, and that the files are the ones the run should leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/m_psf.h"
#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"
#include "support/process.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using psf::test::gif;
using psf::test::list_files;
using psf::test::Peer;
using psf::test::RawServer;
using psf::test::read_file;
using psf::test::redirect;
using psf::test::reply;
using psf::test::TempDir;
using psf::test::write_file;

namespace {

using Strings = std::vector<std::string>;

const std::string Img = psf::test::image_bytes(3000, 'q');

// ---- Pages ---------------------------------------------------------------------

std::string src(const std::string& v) {
    return "<img src='" + v + "'>";
}
std::string href(const std::string& v) {
    return "<a href='" + v + "'>link</a>";
}
std::string page_of(const Strings& refs) {
    std::string html = "<html><body>\n";
    for (const auto& r : refs) html += r + "\n";
    return html + "<p>the end of the gallery</p></body></html>\n";
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// A file's content in a failure message: its size and a digest.
std::string describe(const std::string& bytes) {
    return "file of " + std::to_string(bytes.size()) + " bytes, digest " +
           std::to_string(std::hash<std::string>{}(bytes));
}

// ---- The folders around the destination -------------------------------------------

// root/p/dest is the destination; root/p/outside and root/p are its neighbours.
// Everything but the destination is recorded before the run and compared after,
// together with a few absolute places an escaped name would reach.
class Sandbox {
  public:
    Sandbox() {
        fs::create_directories(dest());
        fs::create_directories(outside());
        write_file(outside() / "victim.gif", "victim");
        write_file(parent() / "neighbour.gif", "neighbour");
        for (const char* p : {"/x.gif", "/etc/x.gif", "/etc/passwd.gif", "/tmp/x.gif"})
            watched_[p] = fs::exists(fs::symlink_status(p));
        watched_[(fs::temp_directory_path() / "x.gif").string()] =
            fs::exists(fs::symlink_status(fs::temp_directory_path() / "x.gif"));
        before_ = snapshot();
    }

    fs::path root() const { return root_.path(); }
    fs::path parent() const { return root_ / "p"; }
    fs::path dest() const { return parent() / "dest"; }
    fs::path outside() const { return parent() / "outside"; }

    void expect_untouched() const {
        EXPECT_EQ(snapshot(), before_) << "something changed outside the destination";
        for (const auto& [path, existed] : watched_)
            EXPECT_EQ(fs::exists(fs::symlink_status(path)), existed) << path;
        // No temporary file left behind, inside the destination either.
        for (const auto& e : fs::recursive_directory_iterator(dest()))
            EXPECT_FALSE(e.path().filename().string().starts_with(".picsifter-")) << e.path();
    }

  private:
    // Relative path to kind and content; symlinks are recorded, never followed.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> out;
        for (auto it = fs::recursive_directory_iterator(root()); it != fs::end(it); ++it) {
            if (it->path() == dest()) {
                it.disable_recursion_pending();
                continue;
            }
            const auto rel = fs::relative(it->path(), root()).string();
            const auto st = it->symlink_status().type();
            if (st == fs::file_type::symlink)
                out[rel] = "link to " + fs::read_symlink(it->path()).string();
            else if (st == fs::file_type::directory)
                out[rel] = "folder";
            else
                out[rel] = describe(read_file(it->path()));
        }
        return out;
    }

    TempDir root_;
    std::map<std::string, std::string> before_;
    std::map<std::string, bool> watched_;
};

// ---- Runs ------------------------------------------------------------------------

struct CliRun {
    int exit_code = -1;
    std::string out, err;
    int copied = -1;  // from the summary line
};

// picsifter-cli crawl; the process is killed when it outlives the limit.
CliRun crawl_cli(const Strings& args, const Strings& env = {}) {
    Strings argv{PICSIFTER_CLI_PATH, "crawl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = psf::test::run_process(argv, {}, std::chrono::seconds(30), env);
    CliRun run{r.exit_code, r.out, r.err};
    const auto line_start = r.out.rfind('\n', r.out.size() >= 2 ? r.out.size() - 2 : 0);
    const std::string last = r.out.substr(line_start == std::string::npos ? 0 : line_start + 1);
    int pages = 0, found = 0, copied = 0;
    if (std::sscanf(last.c_str(), "%d %*s %*s %d %*s %*s %d", &pages, &found, &copied) == 3)
        run.copied = copied;
    return run;
}

class Captions final : public psf::RunObserver {
  public:
    void set_caption(const std::string& caption) override { seen.push_back(caption); }
    void set_colour(psf::LabelColour) override {}
    Strings seen;
};

struct LibraryRun {
    psf::RunSummary summary;
    Strings captions;
};

// The run picsifter-cli makes, with transfer limits a test can afford. A
// watchdog stops a run that does not end on its own, and fails the test.
LibraryRun run_whole(const psf::RunSpec& spec, psf::TransferLimits limits,
                     std::chrono::seconds watchdog = 20s) {
    LibraryRun result;
    std::stop_source stop;
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread worker([&] {
        psf::CurlTransfer inet(limits);
        psf::m_psf::CrawlState state;
        Captions captions;
        result.summary = psf::run_retrieval(spec, psf::RunMode::OnDemand, state, inet, captions,
                                            stop.get_token());
        result.captions = captions.seen;
        done.set_value();
    });
    if (finished.wait_for(watchdog) == std::future_status::timeout) {
        ADD_FAILURE() << "the run did not end within " << watchdog.count() << " s";
        stop.request_stop();
        if (finished.wait_for(10s) == std::future_status::timeout) {
            std::fprintf(stderr, "the run ignores its stop request too\n");
            std::abort();
        }
    }
    worker.join();
    return result;
}

psf::TransferLimits test_limits() {
    psf::TransferLimits limits;
    limits.connect_timeout_s = 5;
    limits.stall_timeout_s = 1;
    limits.transfer_timeout_s = 2;
    limits.max_body = 1024 * 1024;
    return limits;
}

psf::RunSpec spec_for(const std::string& start, const fs::path& dest, int policy = 2,
                      int layout = 1) {
    psf::RunSpec spec;
    spec.title = "hostile";
    spec.start_address = start;
    spec.policy = policy;
    spec.layout = layout;
    spec.destination = dest.string();
    return spec;
}

// ---- Hostile answers ----------------------------------------------------------------

RawServer::Handler send_then_reset(std::string bytes, std::size_t keep) {
    return [bytes, keep](Peer& p) {
        p.send(std::string_view(bytes).substr(0, keep));
        p.pause(50ms);
        p.reset();
    };
}

RawServer::Handler send_then_close(std::string bytes, std::size_t keep) {
    return [bytes, keep](Peer& p) { p.send(std::string_view(bytes).substr(0, keep)); };
}

RawServer::Handler trickle(std::string bytes, std::size_t step, std::chrono::milliseconds every) {
    return [bytes, step, every](Peer& p) {
        for (std::size_t at = 0; at < bytes.size(); at += step)
            if (!p.send(std::string_view(bytes).substr(at, step)) || !p.pause(every)) return;
    };
}

// Sends `head`, then `unit` again and again until the client gives up.
RawServer::Handler endless(std::string head, std::string unit,
                           std::chrono::milliseconds every = 0ms) {
    return [head, unit, every](Peer& p) {
        if (!p.send(head)) return;
        while (p.send(unit))
            if (every.count() > 0 && !p.pause(every)) return;
    };
}

std::string chunked_head(const std::string& type = "image/gif") {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
           "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
}

std::string chunked(const std::string& body, std::size_t size) {
    std::string out;
    char line[32];
    for (std::size_t at = 0; at < body.size(); at += size) {
        const auto piece = body.substr(at, size);
        std::snprintf(line, sizeof line, "%zx\r\n", piece.size());
        out += line + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

std::uint32_t crc32(const std::string& head, char fill, std::size_t fills) {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        table[i] = c;
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    auto add = [&](char ch) {
        crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xff] ^ (crc >> 8);
    };
    for (char ch : head) add(ch);
    for (std::size_t i = 0; i < fills; ++i) add(fill);
    return ~crc;
}

// A gzip stream that decodes to `head` (ASCII) followed by its last byte
// repeated up to `total` bytes: the repeats are 258-byte copies of the byte
// before, 13 bits each in the fixed Huffman code, so a few kilobytes decode to
// megabytes.
std::string gzip_bomb(const std::string& head, std::size_t total) {
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    unsigned acc = 0;
    int bits = 0;
    auto put = [&](unsigned value, int count) {  // least significant bit first
        for (int i = 0; i < count; ++i) {
            acc |= ((value >> i) & 1u) << bits;
            if (++bits == 8) {
                out.push_back(static_cast<char>(acc));
                acc = 0;
                bits = 0;
            }
        }
    };
    auto code = [&](unsigned value, int count) {  // Huffman codes go most significant first
        for (int i = count - 1; i >= 0; --i) put((value >> i) & 1u, 1);
    };
    auto literal = [&](char ch) { code(0x30 + static_cast<unsigned char>(ch), 8); };  // below 144
    put(1, 1);                                                                        // final block
    put(1, 2);                                                                        // fixed codes
    for (char ch : head) literal(ch);
    std::size_t made = head.size();
    while (made + 258 <= total) {
        code(0xC5, 8);  // length 258
        code(0, 5);     // distance 1
        made += 258;
    }
    for (; made < total; ++made) literal(head.back());
    code(0, 7);  // end of block
    if (bits > 0) out.push_back(static_cast<char>(acc));
    const std::uint32_t crc = crc32(head, head.back(), total - head.size());
    const auto size = static_cast<std::uint32_t>(total);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((crc >> (8 * i)) & 0xff));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((size >> (8 * i)) & 0xff));
    return out;
}

}  // namespace

// ==== Hostile names, through the program =======================================

namespace {

// The gallery is /d/e/index.htm on 127.0.0.1 ({H}); {O} is another host,
// 127.0.0.2. Every other address of both serves the same image.
struct NameCase {
    const char* name;
    Strings refs;
    Strings files;  // what the destination holds afterwards
};

void run_name_cases(bool tree, const std::vector<NameCase>& cases) {
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        RawServer other("127.0.0.2");
        auto fill = [&](std::string s) {
            return replaced(replaced(std::move(s), "{H}", site.authority()), "{O}",
                            other.authority());
        };
        Strings refs;
        for (const auto& r : tc.refs) refs.push_back(fill(r));
        site.on("/d/e/index.htm", reply(200, page_of(refs)));
        site.on("/d/e/gone/x.gif", reply(404, "no"));
        site.otherwise(gif(Img));
        other.otherwise(gif(Img));
        Sandbox box;
        Strings args{site.url("/d/e/index.htm"), "--dest", box.dest().string(), "--policy",
                     "replace"};
        if (tree) args.push_back("--tree");

        const CliRun run = crawl_cli(args);

        EXPECT_EQ(run.exit_code, 0) << run.err;
        Strings expected;
        for (const auto& f : tc.files) expected.push_back(fill(f));
        std::sort(expected.begin(), expected.end());
        const Strings files = list_files(box.dest());
        EXPECT_EQ(files, expected);
        EXPECT_EQ(run.copied, static_cast<int>(expected.size())) << run.out;
        for (const auto& f : files) EXPECT_EQ(read_file(box.dest() / f), Img) << f;
        for (const auto& e : fs::recursive_directory_iterator(box.dest()))
            EXPECT_FALSE(e.is_directory() && fs::is_empty(e.path())) << "left empty: " << e.path();
        box.expect_untouched();
    }
}

}  // namespace

TEST(HostileNames, FlatLayoutEscapes) {
    const std::vector<NameCase> cases = {
        {"parent link", {src("../x.gif")}, {"x.gif"}},
        {"parents past the site root", {src("../../../../../../../x.gif")}, {"x.gif"}},
        {"parent with an encoded slash", {src("..%2fx.gif")}, {}},
        {"encoded dots, then a slash", {src("%2e%2e/x.gif")}, {"x.gif"}},
        {"encoded dots and slash", {src("%2e%2e%2fx.gif")}, {}},
        {"encoded in capitals", {src("%2E%2E%2Fx.gif")}, {}},
        {"backslash parent", {src("..\\x.gif")}, {}},
        {"backslash inside a name", {src("a\\b.gif")}, {}},
        {"drive letter and backslash", {src("C:\\x.gif")}, {}},
        {"absolute path", {src("/etc/x.gif")}, {"x.gif"}},
        {"scheme-relative other host", {src("//{O}/x.gif")}, {"x.gif"}},
        {"absolute address with parents", {src("http://{H}/../../x.gif")}, {"x.gif"}},
        {"local file address", {src("file:///etc/passwd.gif")}, {}},
        {"encoded NUL", {src("x%00.gif")}, {}},
    };
    run_name_cases(false, cases);
}

TEST(HostileNames, FlatLayoutOddNames) {
    // Odd but harmless names are stored as they are, inside the destination.
    const std::vector<NameCase> cases = {
        {"control bytes", {src("a\x01\x02z.gif")}, {"a\x01\x02z.gif"}},
        {"terminal escape", {src("\x1b[2Jx.gif")}, {"\x1b[2Jx.gif"}},
        {"tab", {src("a\tb.gif")}, {"a\tb.gif"}},
        {"line breaks are dropped", {src("a\r\nb.gif")}, {"ab.gif"}},
        {"DEL and bytes that are not UTF-8", {src("\x7f\xff\xc3(.gif")}, {"\x7f\xff\xc3(.gif"}},
        {"names that differ only by case", {src("A.gif"), src("a.gif")}, {"A.gif", "a.gif"}},
        {"trailing dot after the extension", {src("x.gif.")}, {}},
        {"trailing blank after the extension", {src("x.gif ")}, {"x.gif"}},
        {"dots before the extension", {src("x...gif"), src("....gif")}, {"....gif", "x...gif"}},
        {"blanks around the name", {src(" x.gif"), src("y .gif")}, {"x.gif", "y .gif"}},
        {"tilde", {src("~.gif"), src("~/y.gif")}, {"y.gif", "~.gif"}},
        {"leading dashes", {src("-rf.gif"), src("--help.gif")}, {"--help.gif", "-rf.gif"}},
        {"empty values and an empty base name", {src(""), href(""), src(".gif")}, {".gif"}},
        {"query after the extension", {src("x.gif?a=1"), src("x.jpg?/../../y.gif")}, {"y.gif"}},
        {"query holding a path", {src("p.php?f=/etc/x.gif")}, {"x.gif"}},
        {"query holding encoded parents", {src("p.php?f=..%2f..%2fx.gif")}, {}},
        {"fragment after the extension", {src("x.gif#top"), href("y.gif#top")}, {"x.gif", "y.gif"}},
        {"fragment holding parents", {src("a#/../../x.gif")}, {}},
        {"colon before the name", {src("c:x.gif")}, {}},
    };
    run_name_cases(false, cases);
}

TEST(HostileNames, TreeLayout) {
    const std::vector<NameCase> cases = {
        {"parent link", {src("../x.gif")}, {"{H}/d/x.gif"}},
        {"parents inside the path", {src("a/../../x.gif")}, {"{H}/d/x.gif"}},
        {"parents climbing out of the destination",
         {src("a/../../../../../x.gif"), src("a/../../../../../../x.gif")},
         {"{H}/x.gif"}},
        {"encoded parent folder", {src("%2e%2e/x.gif")}, {}},
        {"encoded parents, mixed case", {src("%2E%2e/%2e%2E/x.gif")}, {}},
        {"dot folder", {src("a/./x.gif")}, {"{H}/d/e/a/x.gif"}},
        {"three dots is a name", {src("/.../x.gif")}, {"{H}/.../x.gif"}},
        {"backslash folder", {src("a\\..\\b/x.gif")}, {}},
        {"encoded slashes in a folder", {src("a%2f..%2f..%2fb/x.gif")}, {}},
        {"encoded NUL folder", {src("a%00/x.gif")}, {}},
        {"doubled slashes", {src("a//b///x.gif")}, {"{H}/d/e/a/b/x.gif"}},
        {"tilde and dash folders", {src("~/-rf/x.gif")}, {"{H}/d/e/~/-rf/x.gif"}},
        {"control byte folder", {src("a\x01/x.gif")}, {"{H}/d/e/a\x01/x.gif"}},
        {"folders that differ only by case",
         {src("A/x.gif"), src("a/x.gif")},
         {"{H}/d/e/A/x.gif", "{H}/d/e/a/x.gif"}},
        {"absolute address with parents", {src("http://{H}/../../x.gif")}, {"{H}/x.gif"}},
        {"fragment holding parents", {src("a#/../../x.gif")}, {}},
        {"other host", {src("//{O}/img/x.gif")}, {"{O}/img/x.gif"}},
        {"other host, then parents", {src("//{O}/../x.gif")}, {"{O}/x.gif"}},
        {"host that is a parent", {src("http://../x.gif")}, {}},
        {"image that fails in a folder of its own", {src("gone/x.gif")}, {}},
    };
    run_name_cases(true, cases);
}

TEST(HostileNames, PlantedSymlinksAreNeverWrittenThrough) {
    // The gallery at /d/e/index.htm shows x.gif; {H} is the site's folder in
    // the tree layout. outside/victim.gif holds "victim".
    struct Case {
        const char* name;
        std::function<void(const Sandbox&, const std::string& host)> plant;
        bool tree;
        const char* policy;
        Strings files;  // regular files in the destination afterwards
    };
    // Plants a link to `target` at `at`, a path relative to the destination
    // in which {H} is the site's folder; `folders` are created first.
    auto link = [](std::string target, std::string at, std::string folders = "") {
        return [=](const Sandbox& b, const std::string& host) {
            auto in_dest = [&](const std::string& rel) {
                return b.dest() / replaced(rel, "{H}", host);
            };
            if (!folders.empty()) fs::create_directories(in_dest(folders));
            // On Linux a link to a folder is made like any other.
            fs::create_symlink(
                target.starts_with("outside") ? b.parent() / target : fs::path(target),
                in_dest(at));
        };
    };
    const std::vector<Case> cases = {
        {"link named like the image, replace",
         link("outside/victim.gif", "x.gif"),
         false,
         "replace",
         {}},
        {"link named like the image, keep", link("outside/victim.gif", "x.gif"), false, "keep", {}},
        {"dangling link named like the image",
         link("outside/new.gif", "x.gif"),
         false,
         "replace",
         {}},
        {"relative link climbing out",
         link("../outside/victim.gif", "x.gif"),
         false,
         "version",
         {}},
        {"link to a folder named like the image", link("outside", "x.gif"), false, "replace", {}},
        {"link at the first version name",
         [&](const Sandbox& b, const std::string& host) {
             write_file(b.dest() / "x.gif", "old");
             link("outside/victim.gif", "x-v1.gif")(b, host);
         },
         false,
         "version",
         {"x-v2.gif", "x.gif"}},
        {"tree: the host folder is a link", link("outside", "{H}"), true, "replace", {}},
        {"tree: a folder further down is a link",
         link("outside", "{H}/d", "{H}"),
         true,
         "replace",
         {}},
        {"tree: the image's own folder is a relative link",
         link("../../../outside", "{H}/d/e", "{H}/d"),
         true,
         "replace",
         {}},
        {"tree: link named like the image",
         link("outside/victim.gif", "{H}/d/e/x.gif", "{H}/d/e"),
         true,
         "replace",
         {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        site.on("/d/e/index.htm", reply(200, page_of({src("x.gif")})));
        site.otherwise(gif(Img));
        Sandbox box;
        tc.plant(box, site.authority());
        Strings args{site.url("/d/e/index.htm"), "--dest", box.dest().string(), "--policy",
                     tc.policy};
        if (tc.tree) args.push_back("--tree");

        const CliRun run = crawl_cli(args);

        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(list_files(box.dest()), tc.files);
        EXPECT_EQ(read_file(box.outside() / "victim.gif"), "victim");
        EXPECT_FALSE(fs::exists(box.outside() / "new.gif"));
        EXPECT_FALSE(fs::exists(box.outside() / "x.gif"));
        box.expect_untouched();
    }
}

TEST(HostileNames, NamesTheScanCannotCarry) {
    // Values of a page are at most about a hundred characters and never hold a
    // NUL, so longer and stranger names go to copie_image directly, over a real
    // connection. {B} is the server's "http://host:port".
    struct Case {
        const char* name;
        std::string address;
        int layout;
        int result;
        Strings files;
    };
    const std::string name255 = std::string(251, 'n') + ".gif";
    const std::string name300 = std::string(296, 'n') + ".gif";
    const std::string name5000 = std::string(4996, 'n') + ".gif";
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += std::string(250, 'f') + "/";
    const std::vector<Case> cases = {
        {"dot-dot", "{B}/d/..", 1, -1, {}},
        {"dot", "{B}/d/.", 1, -1, {}},
        {"empty name", "{B}/d/", 1, -1, {}},
        {"literal NUL in the name", std::string("{B}/d/x\0.gif", 12), 1, -1, {}},
        {"literal NUL before a parent", std::string("{B}/d/x\0/../../y.gif", 20), 1, 1, {"y.gif"}},
        {"literal NUL in a tree folder", std::string("{B}/a\0b/x.gif", 13), 2, -1, {}},
        {"line break kept in a direct name", "{B}/d/a\nb.gif", 1, 1, {"a\nb.gif"}},
        {"name of 255 bytes", "{B}/d/" + name255, 1, 1, {name255}},
        {"name of 300 bytes", "{B}/d/" + name300, 1, -1, {}},
        {"name of 5000 bytes", "{B}/d/" + name5000, 1, -1, {}},
        {"name of 5000 bytes in the tree", "{B}/d/" + name5000, 2, -1, {}},
        {"tree folder of 300 bytes", "{B}/" + std::string(300, 'f') + "/x.gif", 2, -1, {}},
        {"tree deeper than a path may be", "{B}/" + deep + "x.gif", 2, -1, {}},
        {"parent folder of 5000 bytes", "{B}/" + std::string(5000, 'f') + "/../x.gif", 2, -1, {}},
    };
    RawServer site;
    site.otherwise(gif(Img));
    const std::string base = "http://" + site.authority();
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Sandbox box;
        psf::CurlTransfer inet;
        const std::string address = replaced(tc.address, "{B}", base);
        EXPECT_EQ(psf::m_psf::copie_image(inet, address, box.dest().string(), 2, tc.layout),
                  tc.result);
        EXPECT_EQ(list_files(box.dest()), tc.files);
        box.expect_untouched();
    }
}

// ==== Hostile servers ===============================================================

namespace {

// The start page "/" shows ok.gif and bad.gif; bad.gif (or the start page
// itself) misbehaves. The destination already holds bad.gif with "old", so a
// broken download that left anything of itself would show.
struct ServerCase {
    const char* name;
    std::function<void(RawServer& site, RawServer& other)> serve;
    int pages_read;
    int images_found;
    int copied;
    std::string bad_after;  // bad.gif afterwards
};

const std::string Gallery = page_of({src("ok.gif"), src("bad.gif")});

void serve_gallery(RawServer& site) {
    site.on("/", reply(200, Gallery));
    site.on("/ok.gif", gif(Img));
}

void run_server_cases(const std::vector<ServerCase>& cases) {
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        RawServer other("127.0.0.2");
        serve_gallery(site);
        tc.serve(site, other);
        Sandbox box;
        write_file(box.dest() / "bad.gif", "old");

        const LibraryRun run = run_whole(spec_for(site.url("/"), box.dest()), test_limits());

        EXPECT_FALSE(run.summary.cancelled);
        EXPECT_EQ(run.summary.pages_read, tc.pages_read);
        EXPECT_EQ(run.summary.images_found, tc.images_found);
        EXPECT_EQ(run.summary.images_copied, tc.copied);
        ASSERT_FALSE(run.captions.empty());
        EXPECT_EQ(run.captions.back(), tc.copied > 0 ? psf::image_count_text(tc.copied)
                                                     : psf::page_count_text(tc.pages_read));
        Strings expected{"bad.gif"};
        if (tc.copied > 0 && tc.images_found > 0) expected.push_back("ok.gif");
        EXPECT_EQ(list_files(box.dest()), expected);
        EXPECT_TRUE(read_file(box.dest() / "bad.gif") == tc.bad_after)
            << "bad.gif holds " << read_file(box.dest() / "bad.gif").size() << " bytes";
        if (fs::exists(box.dest() / "ok.gif")) {
            EXPECT_EQ(read_file(box.dest() / "ok.gif"), Img);
        }
        box.expect_untouched();
    }
}

std::string image_response(const std::string& body = Img) {
    return psf::test::http_response(200, body, "image/gif");
}

}  // namespace

TEST(HostileServer, Redirects) {
    run_server_cases({
        {"start page in a redirect loop",
         [](RawServer& s, RawServer&) {
             s.on("/", redirect("/again"));
             s.on("/again", redirect("/"));
         },
         1, 0, 0, "old"},
        {"image redirected to ever new addresses",
         [](RawServer& s, RawServer&) {
             s.otherwise([](Peer& p) {
                 const std::string t = p.request().target;
                 if (t.starts_with("/bad.gif"))
                     p.send(psf::test::http_response(302, "on", "text/html",
                                                     {{"Location", t + "/more"}}));
                 else
                     p.send(psf::test::http_response(404, "no"));
             });
         },
         1, 2, 1, "old"},
        {"image redirected to another host, then back",
         [](RawServer& s, RawServer& o) {
             s.on("/bad.gif", redirect(o.url("/hop.gif")));
             o.on("/hop.gif", redirect(s.url("/real.gif")));
             s.on("/real.gif", gif(Img));
         },
         1, 2, 2, Img},
        {"start page redirected to a 60,000-character address",
         [](RawServer& s, RawServer&) {
             const std::string far = "/" + std::string(60000, 'a') + "/";
             s.on("/", redirect(far));
             s.on(far, reply(200, Gallery));
         },
         1, 0, 0, "old"},
        {"start page moved to another host",
         [](RawServer& s, RawServer& o) {
             s.on("/", redirect(o.url("/home/")));
             o.on("/home/", reply(200, Gallery));
             o.on("/home/ok.gif", gif(Img));
             o.on("/home/bad.gif", gif(Img));
         },
         1, 2, 2, Img},
    });
}

TEST(HostileServer, BrokenTransfers) {
    const std::string long_page = psf::test::http_response(
        200, page_of({src("ok.gif"), std::string(4000, '.'), src("bad.gif")}));
    run_server_cases({
        {"start page reset mid-body",
         [&](RawServer& s, RawServer&) { s.on("/", send_then_reset(long_page, 1000)); }, 1, 0, 0,
         "old"},
        {"start page closed before its announced length",
         [&](RawServer& s, RawServer&) { s.on("/", send_then_close(long_page, 1000)); }, 1, 0, 0,
         "old"},
        {"image reset mid-body",
         [](RawServer& s, RawServer&) { s.on("/bad.gif", send_then_reset(image_response(), 900)); },
         1, 2, 1, "old"},
        {"image closed before its announced length",
         [](RawServer& s, RawServer&) { s.on("/bad.gif", send_then_close(image_response(), 900)); },
         1, 2, 1, "old"},
        {"chunked image reset before its last chunk",
         [](RawServer& s, RawServer&) {
             const std::string all = chunked_head() + chunked(Img, 500);
             s.on("/bad.gif", send_then_reset(all, all.size() - 700));
         },
         1, 2, 1, "old"},
        {"chunked image closed without its last chunk",
         [](RawServer& s, RawServer&) {
             const std::string all = chunked_head() + chunked(Img, 500);
             s.on("/bad.gif", send_then_close(all, all.size() - 5));
         },
         1, 2, 1, "old"},
        {"image slowly trickled in full",
         [](RawServer& s, RawServer&) { s.on("/bad.gif", trickle(image_response(), 150, 25ms)); },
         1, 2, 2, Img},
        {"start page slowly trickled in full",
         [](RawServer& s, RawServer&) {
             s.on("/", trickle(psf::test::http_response(200, Gallery), 20, 15ms));
             s.on("/bad.gif", trickle(image_response(), 300, 10ms));
         },
         1, 2, 2, Img},
    });
}

TEST(HostileServer, StallsAndEndlessAnswers) {
    run_server_cases({
        {"start page accepted, never answered",
         [](RawServer& s, RawServer&) { s.on("/", [](Peer& p) { p.hold(); }); }, 1, 0, 0, "old"},
        {"endless header lines",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif",
                  endless("HTTP/1.1 200 OK\r\n", "X-Pad: " + std::string(1000, 'p') + "\r\n"));
         },
         1, 2, 1, "old"},
        {"endless interim responses",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", endless("", "HTTP/1.1 100 Continue\r\n\r\n"));
         },
         1, 2, 1, "old"},
    });
}

TEST(HostileServer, TrickledWithoutEnd) {
    // The test limits end any one fetch after 2 s.
    run_server_cases({
        {"start page trickled without end",
         [](RawServer& s, RawServer&) {
             s.on("/", endless(chunked_head("text/html"), "1\r\n.\r\n", 100ms));
         },
         1, 0, 0, "old"},
        {"image trickled without end",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", endless(chunked_head(), "1\r\nx\r\n", 100ms));
         },
         1, 2, 1, "old"},
    });
}

TEST(HostileServer, HostsThatFailFetchAfterFetchAreGivenUp) {
    // 60 images; the test limits give up a fetch after 1 s without a byte.
    struct Case {
        const char* name;
        RawServer::Handler image;
        int copied;
        std::size_t given_up;
    };
    const std::vector<Case> cases = {
        {"every image accepted, never answered", [](Peer& p) { p.hold(); }, 0, 1},
        {"every image reset mid-body", send_then_reset(image_response(), 100), 0, 1},
        {"every image answered after 300 ms",
         [](Peer& p) {
             if (p.pause(300ms)) p.send(image_response());
         },
         60, 0},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        Strings refs;
        for (int i = 0; i < 60; ++i) refs.push_back(src("i" + std::to_string(i) + ".gif"));
        site.on("/", reply(200, page_of(refs)));
        site.otherwise(tc.image);
        Sandbox box;
        psf::TransferLimits limits = test_limits();
        limits.retries = 0;

        const LibraryRun run = run_whole(spec_for(site.url("/"), box.dest()), limits);

        EXPECT_EQ(run.summary.images_copied, tc.copied);
        EXPECT_EQ(run.summary.given_up.size(), tc.given_up);
        // Past the fifth failure only the fetches already under way were made.
        if (tc.given_up > 0) {
            EXPECT_LE(site.requests().size(), 1u + 5 + 6);
        }
        box.expect_untouched();
    }
}

TEST(HostileServer, TimeLimitStopsTheRun) {
    RawServer site;
    serve_gallery(site);
    site.on("/bad.gif", [](Peer& p) { p.hold(); });
    Sandbox box;

    const CliRun run = crawl_cli({site.url("/"), "--dest", box.dest().string(), "--max-time", "2"});

    EXPECT_EQ(run.exit_code, 6);
    EXPECT_NE(run.err.find("time limit of 2 s"), std::string::npos) << run.err;
    EXPECT_EQ(list_files(box.dest()), Strings{"ok.gif"});
    box.expect_untouched();
}

TEST(HostileServer, MalformedAnswers) {
    run_server_cases({
        {"garbage instead of a status line",
         [](RawServer& s, RawServer&) {
             s.on("/", send_then_close("NONSENSE\r\n\r\n" + Gallery, std::string::npos));
         },
         1, 0, 0, "old"},
        {"image bytes without any HTTP head",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", send_then_close(Img, std::string::npos));
         },
         1, 2, 1, "old"},
        {"one header line of a megabyte",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif",
                  reply(200, Img, "image/gif", {{"X-Huge", std::string(1024 * 1024, 'h')}}));
         },
         1, 2, 1, "old"},
        {"gzip announced, garbage sent",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", reply(200, Img, "image/gif", {{"Content-Encoding", "gzip"}}));
         },
         1, 2, 1, "old"},
        {"negative length",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", send_then_close("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n" + Img,
                                              std::string::npos));
         },
         1, 2, 1, "old"},
        {"empty body",
         [](RawServer& s, RawServer&) { s.on("/bad.gif", reply(200, "", "image/gif")); }, 1, 2, 1,
         "old"},
        {"image body under an error status",
         [](RawServer& s, RawServer&) { s.on("/bad.gif", reply(404, Img, "image/gif")); }, 1, 2, 1,
         "old"},
    });
}

TEST(HostileServer, BodiesOverTheCap) {
    // The test limits cap a body at 1 MiB.
    const std::string big = psf::test::image_bytes(2 * 1024 * 1024, 'z');
    run_server_cases({
        {"image over the cap, chunked",
         [&](RawServer& s, RawServer&) {
             s.on("/bad.gif",
                  send_then_close(chunked_head() + chunked(big, 65536), std::string::npos));
         },
         1, 2, 1, "old"},
        {"image over the cap, without end",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", endless("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\n", Img));
         },
         1, 2, 1, "old"},
        {"start page over the cap",
         [&](RawServer& s, RawServer&) { s.on("/", reply(200, Gallery + big)); }, 1, 0, 0, "old"},
        {"compressed image that decodes past the cap",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", reply(200, gzip_bomb(Img, 16 * 1024 * 1024), "image/gif",
                                    {{"Content-Encoding", "gzip"}}));
         },
         1, 2, 1, "old"},
        {"compressed image just under the cap",
         [](RawServer& s, RawServer&) {
             s.on("/bad.gif", reply(200, gzip_bomb(Img, 1000 * 1000), "image/gif",
                                    {{"Content-Encoding", "gzip"}}));
         },
         1, 2, 2, Img + std::string(1000 * 1000 - Img.size(), Img.back())},
    });
}

// ==== Credentials ==================================================================

TEST(HostileServer, CredentialsStayWithTheStartSite) {
    // The start site (127.0.0.1) asks for anna:s3cret everywhere. The page and
    // the page it links to send the run to other hosts and ports in every way
    // a page can: direct addresses, redirects, scheme-relative links, the same
    // server under the name "localhost", and a redirect of a followed page.
    const std::string secret = "s3cret";
    RawServer site;
    RawServer other("127.0.0.2");
    RawServer port("127.0.0.1");
    auto guarded = [&](RawServer::Handler h) { return psf::test::basic_auth("anna:" + secret, h); };
    auto asks = [](Peer& p) {
        p.send(psf::test::http_response(401, "<html>401</html>", "text/html",
                                        {{"WWW-Authenticate", "Basic realm=\"other\""}}));
    };
    const std::string site_port = site.authority().substr(site.authority().find(':') + 1);
    site.on("/", guarded(reply(200, page_of({
                                        src("mine.gif"),
                                        src(other.url("/direct.gif")),
                                        src("//" + other.authority() + "/relative.gif"),
                                        src(port.url("/port.gif")),
                                        src("http://localhost:" + site_port + "/alias.gif"),
                                        src("/hop.gif"),
                                        src("/open.gif"),
                                        href("/away.htm"),
                                    }))));
    site.on("/mine.gif", guarded(gif(Img)));
    site.on("/hop.gif", guarded(redirect(other.url("/hopped.gif"))));
    site.on("/open.gif", guarded(redirect(other.url("/free.gif"))));
    site.on("/away.htm", guarded(redirect(other.url("/there/page.htm"))));
    // localhost reaches the start site's own server: it must ask, not be told.
    site.otherwise([&](Peer& p) {
        if (p.request().header("host").starts_with("localhost")) return asks(p);
        p.send(psf::test::http_response(404, "none"));
    });
    other.on("/free.gif", gif(psf::test::image_bytes(3000, 'f')));
    other.on("/there/page.htm", reply(200, page_of({src("deep.gif")})));
    other.otherwise(asks);
    port.otherwise(asks);

    Sandbox box;
    psf::RunSpec spec = spec_for(site.url("/"), box.dest(), 2, 2);
    spec.link_depth = 1;
    spec.user = "anna";
    spec.password = secret;
    const LibraryRun run = run_whole(spec, test_limits());

    EXPECT_EQ(run.summary.pages_read, 2);
    EXPECT_EQ(run.summary.images_copied, 2);
    EXPECT_EQ(list_files(box.dest()),
              (Strings{site.authority() + "/mine.gif", site.authority() + "/open.gif"}));
    // The start site was given the password, so its absence elsewhere means something.
    int authorised = 0;
    for (const auto& r : site.requests()) {
        if (r.header("host").starts_with("localhost"))
            EXPECT_FALSE(r.has("authorization")) << "localhost was given " << r.target;
        else
            authorised += r.has("authorization") ? 1 : 0;
    }
    EXPECT_GE(authorised, 4);
    for (const auto* server : {&other, &port}) {
        const auto seen = server->requests();
        EXPECT_FALSE(seen.empty());
        for (const auto& r : seen) {
            EXPECT_FALSE(r.has("authorization")) << server->authority() << r.target;
            EXPECT_EQ(r.target.find(secret), std::string::npos) << r.target;
        }
    }
    // Neither a file nor a folder is named after the credentials.
    for (const auto& e : fs::recursive_directory_iterator(box.dest()))
        EXPECT_EQ(e.path().string().find(secret), std::string::npos) << e.path();
    box.expect_untouched();
}

// What `ps` shows of the runner whose arguments name `marker`.
std::string runner_command_line(const std::string& marker) {
    for (const auto& e : fs::directory_iterator("/proc"))
        if (std::string line = read_file(e.path() / "cmdline");
            line.find(marker) != line.npos && line.find("crawl") != line.npos)
            return line;
    return {};
}

TEST(HostileServer, CredentialsThroughTheCommandLine) {
    // The start page redirects within its site, so the address the links
    // resolve against comes from the transfer control: it must not carry the
    // password into tree folder names or onto other hosts. Nor may `ps` show it.
    const std::string secret = "s3cret";
    psf::test::TempDir keys;
    write_file(keys / "password", secret + "\n");
    struct Case {
        const char* name;
        Strings options;
        Strings env;
        bool in_address;  // user information in the start address instead
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"--password",
         {"--user", "anna", "--password", secret},
         {},
         false,
         "--password can be read"},
        {"--password-file",
         {"--user", "anna", "--password-file", (keys / "password").string()},
         {},
         false,
         ""},
        {"environment", {"--user", "anna"}, {"PICSIFTER_PASSWORD=" + secret}, false, ""},
        {"in the address", {}, {}, true, ""},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        RawServer other("127.0.0.2");
        Sandbox box;
        std::string shown;
        auto guarded = [&](RawServer::Handler h) {
            return psf::test::basic_auth("anna:" + secret, h);
        };
        site.on("/", guarded([&](Peer& p) {
                    shown = runner_command_line(box.dest().string());
                    redirect("/home/index.htm")(p);
                }));
        site.on("/home/index.htm",
                guarded(reply(
                    200, page_of({src("a.gif"), src(other.url("/b.gif")), src("../hop.gif")}))));
        site.on("/home/a.gif", guarded(gif(Img)));
        site.on("/hop.gif", guarded(redirect(other.url("/c.gif"))));
        other.otherwise(gif(Img));

        std::string start = site.url("/");
        if (tc.in_address) start.insert(start.find("//") + 2, "anna:" + secret + "@");
        Strings args{start, "--dest", box.dest().string(), "--tree"};
        args.insert(args.end(), tc.options.begin(), tc.options.end());
        const CliRun run = crawl_cli(args, tc.env);

        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.copied, 3) << run.out;
        Strings expected{site.authority() + "/hop.gif", site.authority() + "/home/a.gif",
                         other.authority() + "/b.gif"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(list_files(box.dest()), expected);
        EXPECT_EQ(run.out.find(secret), std::string::npos);
        EXPECT_EQ(run.err.find(secret), std::string::npos);
        if (tc.warning.empty())
            EXPECT_EQ(run.err, "");
        else
            EXPECT_NE(run.err.find(tc.warning), std::string::npos) << run.err;
        EXPECT_FALSE(shown.empty());
        EXPECT_EQ(shown.find(secret) == std::string::npos, !tc.in_address) << shown;
        const auto seen = other.requests();
        EXPECT_EQ(seen.size(), 2u);
        for (const auto& r : seen) EXPECT_FALSE(r.has("authorization")) << r.target;
        for (const auto& e : fs::recursive_directory_iterator(box.dest()))
            EXPECT_EQ(e.path().string().find(secret), std::string::npos) << e.path();
        box.expect_untouched();
    }
}

// ==== The program's own limits ========================================================

TEST(HostileServer, ProgramDefaults) {
    // picsifter-cli with its own transfer limits: no test setting helps here.
    struct Case {
        const char* name;
        RawServer::Handler bad;
        std::string bad_after;
    };
    const std::vector<Case> cases = {
        {"redirect loop", redirect("/bad.gif"), "old"},
        {"reset mid-body", send_then_reset(image_response(), 700), "old"},
        {"endless body past the size cap",
         endless("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\n",
                 psf::test::image_bytes(64 * 1024, 'e')),
         "old"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        serve_gallery(site);
        site.on("/bad.gif", tc.bad);
        Sandbox box;
        write_file(box.dest() / "bad.gif", "old");

        const CliRun run =
            crawl_cli({site.url("/"), "--dest", box.dest().string(), "--policy", "replace"});

        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.copied, 1) << run.out;
        EXPECT_EQ(list_files(box.dest()), (Strings{"bad.gif", "ok.gif"}));
        EXPECT_EQ(read_file(box.dest() / "bad.gif"), tc.bad_after);
        box.expect_untouched();
    }
}

// ==== Hostile pages ===============================================================

namespace {

// Each page starts with first.gif and ends with last.gif; whatever lies
// between must neither stop the scan nor hold the run.
struct PageCase {
    const char* name;
    std::string middle;
    int found;      // images the scan lists
    Strings files;  // what the destination holds afterwards
};

void run_page_cases(const std::vector<PageCase>& cases) {
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawServer site;
        site.on("/", reply(200, "<img src='first.gif'>\n" + tc.middle +
                                    "\n<img src='last.gif'> and the page ends here\n"));
        site.otherwise(gif(Img));
        Sandbox box;

        const CliRun run = crawl_cli({site.url("/"), "--dest", box.dest().string()});

        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(list_files(box.dest()), tc.files);
        EXPECT_NE(run.out.find(std::to_string(tc.found) + " images found"), std::string::npos)
            << run.out.substr(run.out.size() > 200 ? run.out.size() - 200 : 0);
        box.expect_untouched();
    }
}

std::string repeated(const std::string& unit, std::size_t n) {
    std::string out;
    out.reserve(unit.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += unit;
    return out;
}

const Strings FirstAndLast{"first.gif", "last.gif"};

}  // namespace

TEST(HostilePages, RandomAndEnormous) {
    std::mt19937 gen(20240601);
    std::string noise(5 * 1024 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(gen() & 0xff);
    run_page_cases({
        {"5 MB of random bytes", noise, 2, FirstAndLast},
        {"one enormous quoted value", "src=\"" + std::string(5 * 1024 * 1024, 'v'), 2,
         FirstAndLast},
        {"one enormous unquoted value", "href=" + std::string(5 * 1024 * 1024, 'v') + " ", 2,
         FirstAndLast},
    });
}

TEST(HostilePages, ValuesThatNeverEnd) {
    run_page_cases({
        {"100000 bare src= tokens", repeated("src=", 100000), 2, FirstAndLast},
        {"100000 src= tokens with nothing that ends a value", repeated("src=x", 100000), 2,
         FirstAndLast},
        {"8 MB of src= values that never end", repeated("src=x", 1600000), 2, FirstAndLast},
        {"8 MB of href= values that never end", repeated("href=x", 1400000), 2, FirstAndLast},
        {"100000 quoted src= tokens", repeated("src=\"", 100000), 2, FirstAndLast},
        {"100000 href= tokens", repeated("href=", 100000), 2, FirstAndLast},
        {"100000 blank-separated href= tokens", repeated("href=a ", 100000), 2, FirstAndLast},
    });
}

TEST(HostilePages, ListsThatFillUp) {
    std::string links;
    for (int i = 0; i < 100000; ++i) links += "<a href='p" + std::to_string(i) + ".htm'>";
    run_page_cases({
        // Listed once, so the image after them still has room.
        {"100000 references to one image",
         repeated("<img src='same.gif'>", 100000),
         3,
         {"first.gif", "last.gif", "same.gif"}},
        {"100000 distinct pages", links, 2, FirstAndLast},
    });
}

TEST(HostilePages, LinksCannotAddRequestLines) {
    // Followed links are fetched as they were cut out of the page, line breaks
    // and NULs included: they must reach the server encoded inside the request
    // line, never as header lines of their own or a cut-short address.
    RawServer site;
    const std::string nul("n\0ul.htm", 8);
    site.on("/", reply(200, page_of({href("a.htm\r\nX-Injected: yes\r\nY: z.htm"),
                                     href("b.htm\nX-Injected: yes\n.htm"), href(nul)})));
    site.otherwise(reply(200, page_of({src("deep.gif")})));
    site.on("/deep.gif", gif(Img));
    Sandbox box;
    psf::RunSpec spec = spec_for(site.url("/"), box.dest());
    spec.link_depth = 1;

    const LibraryRun run = run_whole(spec, test_limits());

    EXPECT_EQ(run.summary.pages_read, 4);
    EXPECT_EQ(list_files(box.dest()), Strings{"deep.gif"});
    Strings targets;
    for (const auto& r : site.requests()) {
        EXPECT_FALSE(r.has("x-injected")) << r.target;
        EXPECT_FALSE(r.has("y")) << r.target;
        targets.push_back(r.target);
    }
    std::sort(targets.begin(), targets.end());
    EXPECT_EQ(targets, (Strings{"/", "/a.htm%0D%0AX-Injected:%20yes%0D%0AY:%20z.htm",
                                "/b.htm%0AX-Injected:%20yes%0A.htm", "/deep.gif", "/n%00ul.htm"}));
    box.expect_untouched();
}
