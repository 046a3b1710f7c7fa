// picsifter-cli against loopback servers, case by case as the files under
// tests/data/cli/ describe them (their grammar is in tests/data/cli/README).
// Every run also checks that nothing changed outside the destination and that
// no temporary file was left inside it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "cli/console.h"
#include "cli/crawl_command.h"
#include "cli/task_commands.h"
#include "engine/m_psf.h"
#include "store/task_table.h"
#include "support/process.h"
#include "support/raw_server.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace fs = std::filesystem;
using namespace psf::test;
using Strings = std::vector<std::string>;

namespace {

const std::string Img = image_bytes(3000, 'q');

std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

// Fields split on "|" outside double quotes, trimmed, unquoted, unescaped.
Strings split_fields(const std::string& line) {
    Strings out{""};
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"' && (i == 0 || line[i - 1] != '\\')) quoted = !quoted;
        if (line[i] == '|' && !quoted)
            out.emplace_back();
        else
            out.back() += line[i];
    }
    for (auto& f : out) {
        const auto a = f.find_first_not_of(' '), b = f.find_last_not_of(' ');
        f = a == std::string::npos ? "" : f.substr(a, b - a + 1);
        if (f.size() >= 2 && f.front() == '"' && f.back() == '"') f = f.substr(1, f.size() - 2);
        f = unescape(f);
    }
    return out;
}

struct Case {
    std::string name;
    std::vector<std::pair<std::string, Strings>> lines;  // where, fields
};

// The lines before the first "case" open every case of the file.
std::vector<Case> read_cases(const std::string& file,
                             std::vector<std::pair<std::string, Strings>>& common) {
    const std::string path = std::string(PICSIFTER_TEST_DATA) + "/cli/" + file;
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::vector<Case> cases;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find_first_not_of(' ') == std::string::npos || line[0] == '#') continue;
        Strings f = split_fields(line);
        if (f[0] == "case")
            cases.push_back({f.at(1), {}});
        else
            (cases.empty() ? common : cases.back().lines)
                .emplace_back(path + ":" + std::to_string(n), f);
    }
    return cases;
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// {NAME} from `vars`; {N*UNIT} is UNIT N times, "#" in it the repeat's
// number; {N*} is N random bytes.
std::string expand(std::string s, const std::map<std::string, std::string>& vars) {
    for (const auto& [k, v] : vars) s = replaced(s, "{" + k + "}", v);
    std::string out;
    for (std::size_t at = 0; at < s.size(); ++at) {
        const auto star = s.find_first_not_of("0123456789", at + 1);
        const auto end = s.find('}', star);
        if (s[at] != '{' || star == at + 1 || star == std::string::npos || s[star] != '*' ||
            end == std::string::npos) {
            out += s[at];
            continue;
        }
        const long n = std::stol(s.substr(at + 1, star - at - 1));
        const std::string unit = s.substr(star + 1, end - star - 1);
        std::mt19937 gen(20240601);
        for (long i = 0; i < n; ++i)
            out += unit.empty() ? std::string(1, static_cast<char>(gen() & 0xff))
                   : unit.find('#') == std::string::npos ? unit
                                                         : replaced(unit, "#", std::to_string(i));
        at = end;
    }
    return out;
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char ch : bytes) {
        crc ^= ch;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A gzip stream of Img followed by its last byte up to `total` bytes: the
// repeats are 258-byte copies of the byte before, 13 bits each in the fixed
// Huffman code, so a few kilobytes decode to megabytes.
std::string gzip_bomb(std::size_t total) {
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    unsigned acc = 0;
    int bits = 0;
    auto put = [&](unsigned value, int count, bool msb_first) {
        for (int i = 0; i < count; ++i) {
            acc |= ((value >> (msb_first ? count - 1 - i : i)) & 1u) << bits;
            if (++bits == 8) out.push_back(static_cast<char>(acc)), acc = 0, bits = 0;
        }
    };
    put(3, 3, false);  // final block, fixed codes
    for (unsigned char ch : Img) put(0x30 + ch, 8, true);
    std::size_t made = Img.size();
    for (; made + 258 <= total; made += 258) put(0xC5 << 5, 13, true);  // length 258, distance 1
    for (; made < total; ++made) put(0x30 + static_cast<unsigned char>(Img.back()), 8, true);
    put(0, 7, true);  // end of block
    if (bits > 0) out.push_back(static_cast<char>(acc));
    const std::uint32_t crc = crc32(Img + std::string(total - Img.size(), Img.back()));
    for (std::uint32_t v : {crc, static_cast<std::uint32_t>(total)})
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return out;
}

// "img [SIZE SEED]", "page HTML", "gzip SIZE" (Img padded to
// SIZE bytes, compressed), "padded SIZE" (the same, plain) or the text itself.
std::string body_of(const std::string& spec) {
    std::istringstream in(spec);
    std::string kind;
    std::size_t size = 0;
    char seed = 'q';
    in >> kind >> size >> seed;
    if (kind == "img") return size ? image_bytes(size, seed) : Img;
    if (kind == "gzip") return gzip_bomb(size);
    if (kind == "padded") return Img + std::string(size - Img.size(), Img.back());
    if (kind == "page" && spec.size() > 5)
        return "<html><body>\n" + spec.substr(5) +
               "\n<p>the end of the gallery</p></body></html>\n";
    return spec;
}

struct Outcome {
    int exit_code = -1;
    std::string out, err;
};

struct World {
    TempDir root, home;
    fs::path parent = root / "p", dest = root / "p/dest", outside = root / "p/outside";
    RawServer site, other{"127.0.0.2"}, port;
    std::map<std::string, std::string> vars;
    psf::TaskTable tasks;
    Strings env{"PICSIFTER_PASSWORD", "XDG_DATA_HOME=" + home.str()};
    int retries = 2;
    std::mutex mutex;
    std::string shown;  // the runner's command line, as `ps` shows it
    std::map<std::string, std::string> before;
    Strings records_before;
    fs::file_time_type schedule_time;
    Outcome last;

    World() {
        fs::create_directories(dest);
        fs::create_directories(outside);
        fs::create_directories(home / "Psf");
        write_file(outside / "victim.gif", "victim");
        write_file(parent / "neighbour.gif", "neighbour");
        const std::string refused = RawServer().authority();
        vars = {{"URL", site.url("")},
                {"OTHER", other.url("")},
                {"PORT", port.url("")},
                {"H", site.authority()},
                {"O", other.authority()},
                {"DEST", dest.string()},
                {"OUT", outside.string()},
                {"P", parent.string()},
                {"REFUSED", "http://" + refused},
                {"SITEPORT", std::to_string(site.port())}};
    }
    RawServer& server(const std::string& name) {
        return name == "site" ? site : name == "other" ? other : port;
    }
    fs::path schedule() const { return home / "Psf/planifs.txt"; }
    Strings records() const {
        std::istringstream in(read_file(schedule()));
        Strings out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    // Everything around the destination: relative path to kind and content.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> out;
        for (auto it = fs::recursive_directory_iterator(root.path()); it != fs::end(it); ++it) {
            if (it->path() == dest) {
                it.disable_recursion_pending();
                continue;
            }
            const auto type = it->symlink_status().type();
            out[fs::relative(it->path(), root.path()).string()] =
                type == fs::file_type::symlink ? "link to " + fs::read_symlink(it->path()).string()
                : type == fs::file_type::directory ? "folder"
                                                   : read_file(it->path());
        }
        for (const char* p : {"/x.gif", "/etc/x.gif", "/etc/passwd.gif", "/tmp/x.gif"})
            if (fs::exists(fs::symlink_status(p))) out[p] = "there";
        return out;
    }
};

void serve(World& w, const Strings& f) {
    // serve | SERVER | PATH | STATUS | HEADERS | BODY | HOW
    std::istringstream how(expand(f.at(6), w.vars));
    std::size_t chunk = 0, pause = 0, step = 0, every = 0;
    long keep = 0;
    std::string word, auth, end;  // end: "", "reset", "close", "endless", "hold"
    bool ps = false;
    while (how >> word) {
        if (word == "chunked") how >> chunk;
        if (word == "pause") how >> pause;
        if (word == "trickle") how >> step >> every;
        if (word == "reset" || word == "close") how >> keep;
        if (word == "endless") how >> every;
        if (word == "auth") how >> auth;
        if (word == "reset" || word == "close" || word == "endless" || word == "hold") end = word;
        ps = ps || word == "ps";
    }
    const std::string status = f.at(3), headers = expand(f.at(4), w.vars),
                      spec = expand(f.at(5), w.vars);
    auto handler = [=, &w](Peer& p) {
        if (ps) {
            for (const auto& e : fs::directory_iterator("/proc"))
                if (std::string line = read_file(e.path() / "cmdline");
                    line.find(w.dest.string()) != line.npos && line.find("crawl") != line.npos) {
                    std::lock_guard lock(w.mutex);
                    w.shown = line;
                }
        }
        if (!auth.empty() && p.request().header("authorization") != "Basic " + base64(auth)) {
            p.send(http_response(401, "<html>401</html>", "text/html",
                                 {{"WWW-Authenticate", "Basic realm=\"test\""}}));
            return;
        }
        if (end == "hold") return p.hold();
        std::string body = body_of(spec), head = replaced(headers, "{TARGET}", p.request().target);
        if (status != "-") {
            std::string h = "HTTP/1.1 " + status + " X\r\n";
            if (head.find("Content-Type") == std::string::npos)
                h += std::string("Content-Type: ") +
                     (body.starts_with("GIF") ? "image/gif" : "text/html") + "\r\n";
            if (chunk == 0) h += "Content-Length: " + std::to_string(body.size()) + "\r\n";
            if (chunk > 0) h += "Transfer-Encoding: chunked\r\n";
            std::istringstream lines(head);
            for (std::string l; std::getline(lines, l);) h += l + "\r\n";
            head = h + "Connection: close\r\n\r\n";
        }
        if (chunk > 0) {
            std::string out;
            for (std::size_t at = 0; at < body.size(); at += chunk) {
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", body.substr(at, chunk).size());
                out += size + body.substr(at, chunk) + "\r\n";
            }
            body = out + "0\r\n\r\n";
        }
        if (pause && !p.pause(std::chrono::milliseconds(pause))) return;
        if (end == "endless") {
            if (p.send(head))
                while (p.send(body) && (every == 0 || p.pause(std::chrono::milliseconds(every)))) {
                }
            return;
        }
        std::string all = head + body;
        if (end == "reset" || end == "close") all.resize(keep < 0 ? all.size() + keep : keep);
        for (std::size_t at = 0; at < all.size(); at += step ? step : all.size())
            if (!p.send(all.substr(at, step ? step : all.size())) ||
                (step && !p.pause(std::chrono::milliseconds(every))))
                return;
        if (end == "reset") {
            p.pause(std::chrono::milliseconds(50));
            p.reset();
        }
    };
    if (f.at(2) == "*")
        w.server(f.at(1)).otherwise(handler);
    else
        w.server(f.at(1)).on(expand(f.at(2), w.vars), handler);
}

// The crawl picsifter-cli makes, in this process, with transfer limits a test
// can afford: 1 s without a byte, 2 s a fetch, 1 MiB a body, 20 s the run.
Outcome crawl_here(const World& w, Strings words) {
    psf::cli::Verbosity level = psf::cli::Verbosity::Normal;
    std::string error;
    psf::cli::take_verbosity(words, level);
    auto args = psf::cli::parse_crawl_args(words, error);
    if (!args) return {1, "", error};
    psf::TransferLimits limits = psf::cli::transfer_limits(*args);
    limits.connect_timeout_s = 5;
    limits.stall_timeout_s = 1;
    limits.transfer_timeout_s = 2;
    limits.max_body = 1024 * 1024;
    limits.retries = w.retries;
    args->spec.destination = args->destination;
    args->spec.max_time = std::chrono::seconds(20);
    std::ostringstream out, err;
    auto* cout = std::cout.rdbuf(out.rdbuf());
    auto* cerr = std::cerr.rdbuf(err.rdbuf());
    psf::CurlTransfer inet(limits);
    psf::m_psf::CrawlState state;
    psf::cli::ConsoleObserver observer(level);
    const auto summary = psf::run_retrieval(args->spec, psf::RunMode::OnDemand, state, inet,
                                            observer, std::stop_token());
    const int code = observer.report(summary);
    std::cout.rdbuf(cout);
    std::cerr.rdbuf(cerr);
    return {code, out.str(), err.str()};
}

Outcome run(World& w, Strings f) {
    for (auto& a : f) a = expand(a, w.vars);
    const std::string mode = f.at(1);
    f.erase(f.begin(), f.begin() + 2);
    if (mode == "lib") return crawl_here(w, Strings(f.begin() + 1, f.end()));  // after "crawl"
    if (mode == "copy") {  // run | copy | ADDRESS | LAYOUT: copie_image over a real connection
        psf::CurlTransfer inet;
        return {psf::m_psf::copie_image(inet, f.at(0), w.dest.string(), 2, std::stoi(f.at(1))), "",
                ""};
    }
    f.insert(f.begin(), PICSIFTER_CLI_PATH);
    auto r = run_process(f, w.dest.string(), std::chrono::seconds(60), w.env, mode == "closed");
    return {r.exit_code, r.out, r.err};
}

bool compare(long a, const std::string& op, long b) {
    return op == "=" ? a == b : op == ">=" ? a >= b : a <= b;
}

void text(const std::string& what, const std::string& got, const std::string& op,
          const std::string& want) {
    if (op == "=") {
        EXPECT_EQ(got, want) << what;
    }
    if (op == "~") {
        EXPECT_NE(got.find(want), std::string::npos) << what << ": " << got;
    }
    if (op == "!~") {
        EXPECT_EQ(got.find(want), std::string::npos) << what << ": " << got;
    }
}

void check(World& w, Strings f) {
    for (auto& a : f) a = expand(a, w.vars);
    const std::string& k = f[0];
    const Outcome& o = w.last;
    if (k == "exit") {
        EXPECT_EQ(o.exit_code, std::stoi(f.at(1))) << o.err;
    }
    if (k == "out") text("standard output", o.out, f.at(1), f.at(2));
    if (k == "err") text("standard error", o.err, f.at(1), f.at(2));
    if (k == "ps") {
        std::lock_guard lock(w.mutex);
        EXPECT_FALSE(w.shown.empty());
        text("command line", w.shown, f.at(1), f.at(2));
    }
    if (k == "files") {
        Strings want(f.begin() + 1, f.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(list_files(w.dest), want);
    }
    if (k == "content") {
        for (const auto& file : f.at(1) == "*" ? list_files(w.dest) : Strings{f.at(1)})
            EXPECT_TRUE(read_file(w.dest / file) == body_of(f.at(2)))
                << file << ": " << read_file(w.dest / file).size();
    }
    if (k == "no-empty-folders") {
        for (const auto& e : fs::recursive_directory_iterator(w.dest))
            EXPECT_FALSE(e.is_directory() && fs::is_empty(e.path())) << e.path();
    }
    if (k == "seen") {  // seen | SERVER | FILTER | OP | N
        long n = 0;
        for (const auto& r : w.server(f.at(1)).requests()) {
            std::istringstream filter(f.at(2));
            bool match = true;
            for (std::string c; filter >> c;)
                match = match &&
                        (c == "*" || (c == "auth" && r.has("authorization")) ||
                         (c.starts_with("host:") && r.header("host").starts_with(c.substr(5))) ||
                         (c.starts_with("header:") && r.has(c.substr(7))) || c == r.target);
            n += match ? 1 : 0;
        }
        EXPECT_TRUE(compare(n, f.at(3), std::stol(f.at(4)))) << f[1] << " saw " << n << " " << f[2];
    }
    if (k == "targets") {
        Strings want(f.begin() + 2, f.end()), got;
        for (const auto& r : w.server(f.at(1)).requests()) got.push_back(r.target);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want);
    }
    if (k == "nowhere") {  // not printed, not in any address asked for, not in a name
        text("output", o.out + o.err, "!~", f.at(1));
        for (auto* s : {&w.site, &w.other, &w.port})
            for (const auto& r : s->requests()) text("request", r.target, "!~", f.at(1));
        for (const auto& e : fs::recursive_directory_iterator(w.dest))
            text("name", e.path().string(), "!~", f.at(1));
    }
    if (k == "record") {  // record | N | same/stamped/~/!~ | TEXT
        const auto now = w.records();
        const auto n = std::stoul(f.at(1)) - 1;
        ASSERT_LT(n, now.size());
        const std::string &was = w.records_before.at(n), &is = now[n];
        if (f[2] == "same") {
            EXPECT_EQ(is, was);
        }
        if (f[2] == "stamped") {
            EXPECT_NE(is, was);
            EXPECT_EQ(is.substr(0, is.size() - 23), was.substr(0, was.size() - 23))
                << "only the stamp changes";
        }
        if (f[2].find('~') != std::string::npos) text("record", is, f[2], f.at(3));
    }
    if (k == "schedule") {  // schedule | same: neither rewritten nor touched
        EXPECT_EQ(w.records(), w.records_before);
        EXPECT_EQ(fs::last_write_time(w.schedule()), w.schedule_time);
    }
}

void add_task(World& w, const Strings& f) {
    // task | TITLE | ADDRESS | DESTINATION | FIELD=VALUE...: hourly, last run 2026/12/07 08:00
    psf::Task t{};
    t[psf::ScheduleKind] = t[psf::ExistingImagePolicy] = t[psf::FolderLayout] = "1";
    t[psf::LinkDepth] = t[psf::StartHourIndex] = t[psf::StartMinuteIndex] = t[psf::DayPeriodIndex] =
        "0";
    t[psf::IntervalIndex] = "2";
    for (int col = psf::OnMonday; col <= psf::OnSunday; ++col)
        t[static_cast<std::size_t>(col)] = "1";
    t[psf::Drive] = "/";
    t[psf::LastRunDate] = "2026/12/07";
    t[psf::LastRunTime] = "08:00";
    t[psf::Title] = f.at(1);
    t[psf::StartAddress] = expand(f.at(2), w.vars);
    t[psf::DestinationFolder] = expand(f.at(3), w.vars);
    const std::map<std::string, psf::Field> named{{"depth", psf::LinkDepth},
                                                  {"kind", psf::ScheduleKind},
                                                  {"date", psf::LastRunDate},
                                                  {"time", psf::LastRunTime}};
    for (std::size_t i = 4; i < f.size(); ++i)
        t[named.at(f[i].substr(0, f[i].find('=')))] = f[i].substr(f[i].find('=') + 1);
    w.tasks.rows[++w.tasks.TaskCount] = t;
    write_file(w.schedule(), psf::format_schedule(w.tasks));
}

bool is_setup(const std::string& k) {
    return k == "serve" || k == "task" || k == "env" || k == "retries" || k == "given";
}

void run_file(const std::string& file) {
    std::vector<std::pair<std::string, Strings>> common;
    for (const auto& c : read_cases(file, common)) {
        SCOPED_TRACE(c.name);
        World w;
        // The file's setup, the case's setup, a run (the file's when the case
        // has none), the case's checks; the file's checks follow every run.
        std::vector<std::pair<std::string, Strings>> lines, checks, run_line;
        for (const auto& l : common)
            (is_setup(l.second[0]) ? lines : l.second[0] == "run" ? run_line : checks).push_back(l);
        bool ran = false;
        for (const auto& l : c.lines) ran = ran || l.second[0] == "run";
        for (const auto& l : c.lines) {
            if (!ran && !is_setup(l.second[0]))
                lines.insert(lines.end(), run_line.begin(), run_line.end());
            ran = ran || !is_setup(l.second[0]);
            lines.push_back(l);
        }
        if (!ran) lines.insert(lines.end(), run_line.begin(), run_line.end());
        for (const auto& [where, f] : lines) {
            SCOPED_TRACE(where);
            const std::string& k = f[0];
            if (k == "serve") serve(w, f);
            if (k == "task") add_task(w, f);
            if (k == "env") w.env.push_back(expand(f.at(1), w.vars));
            if (k == "retries") w.retries = std::stoi(f.at(1));
            if (k == "given") {  // given | file/link/folder | PATH | CONTENT/TARGET
                const fs::path at = w.dest / expand(f.at(2), w.vars);
                if (f[1] == "folder") fs::create_directories(at);
                if (f[1] == "file") write_file(at, expand(f.at(3), w.vars));
                if (f[1] == "link") fs::create_symlink(expand(f.at(3), w.vars), at);
            }
            if (k == "run") {
                w.before = w.snapshot();
                if (fs::exists(w.schedule())) {
                    w.records_before = w.records();
                    w.schedule_time = fs::last_write_time(w.schedule());
                }
                w.last = run(w, f);
                EXPECT_EQ(w.snapshot(), w.before) << "something changed outside the destination";
                for (const auto& e : fs::recursive_directory_iterator(w.dest))
                    EXPECT_FALSE(e.path().filename().string().starts_with(".picsifter-"))
                        << e.path();
                for (const auto& [cw, cf] : checks) {
                    SCOPED_TRACE(cw);
                    check(w, cf);
                }
            } else if (!is_setup(k)) {
                check(w, f);
            }
        }
    }
}

}  // namespace

TEST(CliCases, HostileNames) {
    run_file("names.txt");
}
TEST(CliCases, HostileNamesInTheTree) {
    run_file("tree_names.txt");
}
TEST(CliCases, PlantedLinks) {
    run_file("links.txt");
}
TEST(CliCases, NamesTheScanCannotCarry) {
    run_file("direct_names.txt");
}
TEST(CliCases, HostileServers) {
    run_file("servers.txt");
}
TEST(CliCases, HostilePages) {
    run_file("pages.txt");
}
TEST(CliCases, Credentials) {
    run_file("credentials.txt");
}
TEST(CliCases, Passwords) {
    run_file("passwords.txt");
}
TEST(CliCases, Crawl) {
    run_file("crawl.txt");
}
TEST(CliCases, Usage) {
    run_file("usage.txt");
}
TEST(CliCases, Tasks) {
    run_file("tasks.txt");
}
TEST(CliCases, PassesAndSavesWithTheFolderInUse) {
    World w;
    serve(w, {"serve", "site", "/", "200", "", "<img src='a.gif'> {60*.}", "pause 2500"});
    add_task(w, {"task", "Slow", "{URL}/", "{DEST}"});
    Outcome first;
    std::thread holder([&] { first = run(w, {"run", "cli", "run", "Slow"}); });
    for (int i = 0; i < 200 && w.site.requests().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const Strings& args :
         {Strings{"run", "cli", "run", "Slow"}, Strings{"run", "cli", "due"}}) {
        const Outcome r = run(w, args);
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_NE(r.err.find("in use by another command-line run"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run(w, {"run", "cli", "list"}).exit_code, 0) << "list needs no lock";
    holder.join();
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(run(w, {"run", "cli", "run", "Slow"}).exit_code, 0)
        << "the lock goes with its holder";
}

TEST(CliCases, UnusableDataFolderExitsFour) {
    // Neither the data home nor the program's own folder can hold "Psf" or
    // "psfsetin": both names are taken by plain files.
    TempDir place;
    write_file(place / "home", "not a folder");
    write_file(place / "psfsetin", "not a folder");
    fs::copy_file(PICSIFTER_CLI_PATH, place / "picsifter-cli");
    for (const char* command : {"list", "due"}) {
        auto r =
            run_process({(place / "picsifter-cli").string(), command}, {}, std::chrono::seconds(60),
                        {"XDG_DATA_HOME=" + (place / "home").string()});
        EXPECT_EQ(r.exit_code, 4);
        EXPECT_NE(r.err.find("cannot use a data folder"), std::string::npos) << r.err;
    }
    World w;  // a schedule file that cannot be read
    fs::create_directory(w.schedule());
    const Outcome r = run(w, {"run", "cli", "list"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.err.find("cannot read the schedule file"), std::string::npos) << r.err;
}

TEST(CliCases, DamagedScheduleFilesAreKeptAndNeverShifted) {
    auto record = [](const std::string& title, int fields = psf::FieldCount) {
        std::string s = "\"" + title + "\",\"http://127.0.0.1:1/\"";
        for (int c = 3; c <= fields; ++c) s += ",\"0\"";
        return s + "\r\n";
    };
    for (const auto& row : read_table("cli/damaged_schedules.txt", 4)) {
        SCOPED_TRACE(row.where);
        World w;
        serve(w, {"serve", "site", "/", "200", "", "no images here {60*.}", ""});
        add_task(w, {"task", "Go", "{URL}/", "{DEST}", "date=2001/01/01"});
        std::string bytes = read_file(w.schedule()), titles = "Go";
        std::istringstream plan(row[1]);  // "bom", TITLE, TITLE:FIELDS or N (that many records)
        for (std::string t; plan >> t;) {
            if (t == "bom")
                bytes = "\xEF\xBB\xBF" + bytes;
            else if (std::isdigit(static_cast<unsigned char>(t[0])))
                for (int i = 0; i < std::stoi(t); ++i) bytes += record("T" + std::to_string(i));
            else
                bytes +=
                    record(unescape(t.substr(0, t.find(':'))),
                           t.find(':') == std::string::npos ? psf::FieldCount
                                                            : std::stoi(t.substr(t.find(':') + 1)));
        }
        const bool link = row[0] == "symlink";
        const fs::path target = link ? w.root / "tasks.txt" : w.schedule();
        fs::remove(w.schedule());
        write_file(target, bytes);
        if (link) fs::create_symlink(target, w.schedule());
        auto backups = [&] {
            Strings out;
            for (const auto& e : fs::directory_iterator(w.home / "Psf"))
                if (e.path().filename().string().starts_with("planifs.txt.backup-"))
                    out.push_back(e.path());
            return out;
        };
        Outcome r = run(w, {"run", "cli", "run", "Go"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const Strings kept = backups();
        ASSERT_EQ(kept.size(), row[2].empty() ? 0u : 1u) << r.err;
        for (const auto& b : kept) {
            EXPECT_NE(r.err.find(w.schedule().string() + ": " + row[2]), std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("kept as " + b), std::string::npos) << r.err;
            EXPECT_TRUE(read_file(b) == bytes) << "every original byte is kept";
        }
        EXPECT_EQ(fs::is_symlink(w.schedule()), link);
        psf::TaskTable saved;
        EXPECT_TRUE(psf::parse_schedule(read_file(target), saved).clean());
        std::string got;
        for (int i = 1; i <= saved.TaskCount; ++i)
            got += (i > 1 ? " " : "") + saved.at(i, psf::Title);
        EXPECT_EQ(got, expand(row[3], {}));
        EXPECT_NE(saved.at(1, psf::LastRunDate), "2001/01/01") << "Go was stamped";
        for (int i = 2; i <= saved.TaskCount; ++i)
            EXPECT_EQ(saved.at(i, psf::StartAddress), "http://127.0.0.1:1/");
        // The file is whole now: no warning, and the backup stays as it was.
        r = run(w, {"run", "cli", "run", "Go"});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(backups(), kept);
        for (const auto& b : kept) EXPECT_TRUE(read_file(b) == bytes);
    }
}

TEST(CliCases, ValuesTheProcessesCannotShow) {
    std::string name, type;
    EXPECT_TRUE(psf::cli::parse_filter("photo?.*", name, type) && name == "photo?" && type == "*");
    EXPECT_TRUE(psf::cli::parse_filter(" pic .jpeg", name, type) && name == "pic" &&
                type == "jpeg");
    EXPECT_EQ(psf::cli::parse_at("2026/12/07 10:00")->weekday, 1);
    EXPECT_EQ(psf::cli::parse_at("2024/02/29 23:59")->weekday, 4);
    // --connections: in total as asked; per host as asked, never above the total.
    for (const auto& [words, total, per_host] : std::vector<std::tuple<Strings, long, long>>{
             {{"http://h/"}, 16, 6},
             {{"http://h/", "--connections", "1"}, 1, 1},
             {{"http://h/", "--connections", "3"}, 3, 3},
             {{"http://h/", "--connections", "32"}, 32, 6},
             {{"http://h/", "--host-connections", "16", "--connections", "8"}, 8, 8},
             {{"http://h/", "--host-connections", "16", "--connections", "32"}, 32, 16}}) {
        std::string error;
        const auto limits = psf::cli::transfer_limits(*psf::cli::parse_crawl_args(words, error));
        EXPECT_EQ(limits.max_connections, total);
        EXPECT_EQ(limits.max_host_connections, per_host);
    }
}
