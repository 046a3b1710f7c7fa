// picsifter-cli against loopback servers, case by case as the files under
// tests/data/cli/ describe them (their grammar is in tests/data/cli/README).
// Every run also checks that nothing changed outside the destination and that
// no temporary file was left inside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <list>
#include <sstream>
#include <thread>

#include "cli/console.h"
#include "cli/crawl_command.h"
#include "cli/task_commands.h"
#include "engine/m_psf.h"
#include "support/process.h"
#include "support/table.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace fs = std::filesystem;
using namespace psf::test;
using Strings = std::vector<std::string>;
using ms = std::chrono::milliseconds;
constexpr auto npos = std::string::npos;

namespace {

const std::string Img = image_bytes(3000, 'q');

// {NAME} from `vars`, then the repeats.
std::string expand(std::string s, const Strings& vars) {  // vars: names and values
    for (std::size_t i = 0; i < vars.size(); i += 2)
        s = replaced(s, "{" + vars[i] + "}", vars[i + 1]);
    return repeats(s);
}

// "img [SIZE SEED]", "page HTML", "padded SIZE" (Img, then zeros up to SIZE
// bytes), "gzip SIZE" (the same, compressed) or the text itself.
std::string body_of(const std::string& spec) {
    std::istringstream in(spec);
    std::string kind, size = "0";
    char seed = 'q';
    in >> kind >> size >> seed;
    if (kind == "img") return size != "0" ? image_bytes(std::stoul(size), seed) : Img;
    if (kind == "page")
        return "<html><body>\n" + spec.substr(5) +
               "\n<p>the end of the gallery</p></body></html>\n";
    if (kind != "gzip" && kind != "padded") return spec;
    TempDir t;
    write_file(t / "img", Img + std::string(std::stoul(size) - Img.size(), '\0'));
    return kind == "gzip" ? run_process({"/bin/gzip", "-c", t.str() + "/img"}).out
                          : read_file(t / "img");
}

struct World {
    TempDir root, home;
    fs::path parent = root / "p", dest = root / "p/dest", outside = root / "p/outside";
    fs::path schedule = home / "Psf/planifs.txt", program = PICSIFTER_CLI_PATH;
    TestServer site, other{"127.0.0.2"}, port;
    std::list<TestServer> silent;  // 127.1.#.1, all on one port
    Strings vars;                  // names and values
    Strings env{"PICSIFTER_PASSWORD", "XDG_DATA_HOME=" + home.str()};
    int retries = 2;
    std::string memory;       // the address space of later picsifter-cli runs, bytes
    std::string descriptors;  // their limit of open files
    std::string limits;       // those of the last lib run: in total, per host
    std::string before, first_schedule;
    std::string mounted, mount;  // a folder the runs see mounted anew, and how
    fs::file_time_type schedule_time;
    ProcessResult last, held;
    std::jthread holder, swapper;
    sqlite3* history = nullptr;  // holding the history's write lock

    ~World() { sqlite3_close(history); }

    World() {
        std::istringstream names("URL OTHER PORT H O DEST OUT P HOME SCHEDULE SITEPORT REFUSED"),
            values(site.url("") + " " + other.url("") + " " + port.url("") + " " +
                   site.authority() + " " + other.authority() + " " + dest.string() + " " +
                   outside.string() + " " + parent.string() + " " + home.str() + " " +
                   schedule.string() + " " + std::to_string(site.port()) + " " +
                   TestServer().url(""));
        for (std::string n, v; names >> n && values >> v;) vars.insert(vars.end(), {n, v});
        for (const fs::path& d : {dest, outside, home / "Psf"}) fs::create_directories(d);
        write_file(outside / "victim.gif", "victim"),
            write_file(parent / "neighbour.gif", "neighbour");
    }
    TestServer& server(const std::string& name) {
        return name == "site" ? site : name == "other" ? other : port;
    }
    std::vector<Request> requests(const std::string& name) {  // "silent": those of them all
        if (name != "silent") return server(name).requests();
        std::vector<Request> all;
        for (const TestServer& s : silent)
            for (Request& r : s.requests()) all.push_back(std::move(r));
        return all;
    }
    // Everything around the destination, as an archive, and what the names a
    // careless write would reach hold.
    std::string snapshot() const {
        std::string out =
            run_process({"/bin/tar", "-C", root.str(), "--exclude=./p/dest", "-cf", "-", "."}).out;
        for (const char* p : {"/x.gif", "/etc/x.gif", "/etc/passwd.gif", "/tmp/x.gif"})
            out += fs::exists(fs::symlink_status(p)) ? p : "";
        return out;
    }
};

// serve SERVER PATH STATUS HEADERS BODY [HOW VALUE]...
void serve(World& w, const Strings& f) {
    std::map<std::string, std::string> how;
    for (std::size_t i = 6; i + 1 < f.size(); i += 2) how[f[i]] = f[i + 1];
    auto n = [how](const char* k) { return how.count(k) ? std::stol(how.at(k)) : 0L; };
    const std::string body = body_of(f.at(5));
    w.server(f[1]).on(f.at(2) == "*" ? "" : f[2], [=, &w](Peer& p) {
        if (how.count("auth") &&
            p.request().header("authorization") != "Basic " + base64(how.at("auth")))
            return void(p.send(http_response(401, "<html>401</html>", "text/html",
                                             {{"WWW-Authenticate", "Basic realm=\"test\""}})));
        if (how.count("hold")) return p.hold();
        std::string head = replaced(f[4], "{TARGET}", p.request().path);
        // honours: a 304 when the validators asked about are those of HEADERS.
        const Request& q = p.request();
        const auto names = [&](const std::string& header, const std::string& value) {
            return !value.empty() &&
                   ("\n" + head + "\n").find("\n" + header + ": " + value + "\n") != npos;
        };
        if (how.count("honours") &&
            (q.has("if-none-match") ? names("ETag", q.header("if-none-match"))
                                    : names("Last-Modified", q.header("if-modified-since"))))
            return void(p.send("HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n"));
        const std::string type = body.starts_with("GIF") ? "image/gif" : "text/html";
        if (f[3] != "-")
            head = "HTTP/1.1 " + f[3] + " X\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nConnection: close\r\n" +
                   (head.find("Content-Type") != npos ? "" : "Content-Type: " + type + "\r\n") +
                   (head.empty() ? "" : replaced(head, "\n", "\r\n") + "\r\n") + "\r\n";
        if (how.count("pause") && !p.pause(ms(n("pause")))) return;
        for (bool on = how.count("endless") && p.send(head); on && p.send(body);)
            on = p.pause(ms(n("endless")));
        std::string all = how.count("endless") ? "" : head + body;
        const long cut = n("reset") + n("close");
        if (cut) all.resize(cut < 0 ? all.size() + cut : cut);
        const std::size_t step = how.count("trickle") ? n("trickle") : all.size();
        for (std::size_t at = 0; at < all.size(); at += step)
            if (!p.send(all.substr(at, step)) || !p.pause(ms(n("every")))) return;
        if (how.count("reset")) p.pause(ms(50)), p.reset();
    });
}

ProcessResult run(World& w, Strings f) {
    psf::CurlTransfer plain;  // copy ADDRESS LAYOUT: copie_image over a real connection
    if (f[0] == "copy")
        return {psf::m_psf::copie_image(plain, f.at(1), w.dest, 2, std::stoi(f.at(2))), "", ""};
    const bool closed = f[0] == "closed";
    if (f[0] != "lib") {
        f[0] = w.program;
        if (!w.mounted.empty())  // in a mount namespace of its own, for root as for anyone
            f.insert(f.begin(), {"/usr/bin/unshare", ::geteuid() == 0 ? "-m" : "-rm", "/bin/sh",
                                 "-c", w.mount + " && exec \"$@\"", w.mounted});
        if (!w.memory.empty()) f.insert(f.begin(), {"/usr/bin/prlimit", "--as=" + w.memory, "--"});
        if (!w.descriptors.empty())
            f.insert(f.begin(), {"/usr/bin/prlimit", "--nofile=" + w.descriptors, "--"});
        return run_process(f, w.dest, std::chrono::seconds(60), w.env, closed);
    }
    // lib crawl WORDS: the crawl picsifter-cli makes, in this process, with
    // transfer limits a test can afford: 1 s without a byte, 2 s a fetch,
    // 3 s for hosts that do not answer, 1 MiB a body, 20 s the run.
    f.erase(f.begin(), f.begin() + 2);
    psf::cli::Verbosity level = psf::cli::Verbosity::Normal;
    psf::cli::take_verbosity(f, level);
    auto args = psf::cli::parse_crawl_args(f);
    if (!args) return {1, "", args.error().text};
    psf::TransferLimits limits = psf::cli::transfer_limits(*args);
    w.limits =
        std::to_string(limits.max_connections) + " " + std::to_string(limits.max_host_connections);
    limits.connect_timeout_s = 5, limits.stall_timeout_s = 1, limits.transfer_timeout_s = 2;
    limits.max_body = 1024 * 1024, limits.retries = w.retries;
    limits.silent_budget = std::chrono::seconds(3);
    args->spec.destination = args->destination;
    args->spec.max_time = std::chrono::seconds(20);
    testing::internal::CaptureStdout(), testing::internal::CaptureStderr();
    psf::CurlTransfer inet(limits);
    psf::m_psf::CrawlState state;
    psf::cli::ConsoleObserver observer(level);
    const int code = observer.report(psf::run_retrieval(args->spec, psf::RunMode::OnDemand, state,
                                                        inet, observer, std::stop_token()));
    return {code, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

// One expectation, which an "if" without braces may hold.
template <typename A, typename B>
void expect(const A& got, const B& want, const std::string& what = "") {
    EXPECT_EQ(got, want) << what;
}

// = is, ~ holds, !~ lacks
void text(const std::string& what, const std::string& got, const std::string& op,
          const std::string& want) {
    expect(op == "=" ? got == want : (got.find(want) != npos) == (op == "~"), true,
           what + ": " + got);
}

void step(World& w, Strings f) {
    for (auto& a : f) a = expand(a, w.vars);
    const std::string k = f[0];
    const ProcessResult& o = w.last;
    bool known = false;
    auto is = [&](const std::string& kinds) {
        return (" " + kinds + " ").find(" " + k + " ") != npos && (known = true);
    };
    if (is("serve")) serve(w, f);
    if (is("env")) w.env.push_back(f.at(1));
    if (is("retries")) w.retries = std::stoi(f.at(1));
    if (is("descriptors")) w.descriptors = f.at(1);
    for (int i = 0; is("silent") && i < std::stoi(f.at(1)); ++i) {
        const int port = w.silent.empty() ? 0 : w.silent.front().port();
        w.silent.emplace_back("127.1." + std::to_string(i) + ".1", port);
        w.silent.back().otherwise([](Peer& p) { p.hold(); });
        if (i == 0) w.vars.insert(w.vars.end(), {"SILENT", std::to_string(w.silent.back().port())});
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // they reserve terabytes
    if (is("memory")) w.memory = std::to_string(std::stol(f.at(1)) << 20);
#else
    is("memory");
#endif
    if (is("given")) {  // given file/append/link/folder/fifo/size/read-only/tmpfs/cli PATH [TEXT]
        const fs::path at = w.dest / f.at(2);
        if (f[1] == "folder") fs::create_directories(at);
        if (f[1] == "file" || f[1] == "append") std::ofstream(at, std::ios::app) << f.at(3);
        if (f[1] == "link") fs::create_symlink(f.at(3), at);
        if (f[1] == "fifo") expect(::mkfifo(at.c_str(), 0600), 0, at);
        if (f[1] == "size") std::ofstream(at, std::ios::app), fs::resize_file(at, std::stoul(f[3]));
        if (f[1] == "read-only" || f[1] == "tmpfs") w.mounted = at;
        if (f[1] == "read-only")
            w.mount = "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\"";
        if (f[1] == "tmpfs") w.mount = "mount -t tmpfs -o size=" + f.at(3) + "k tmpfs \"$0\"";
        if (f[1] == "cli") fs::copy_file(PICSIFTER_CLI_PATH, at), w.program = at;
    }
    if (is("cli closed lib copy bg")) {
        w.before = w.snapshot();
        std::error_code none;
        w.schedule_time = fs::last_write_time(w.schedule, none);
        if (w.first_schedule.empty() && fs::is_regular_file(w.schedule) &&
            fs::file_size(w.schedule) < (1 << 20))
            w.first_schedule = read_file(w.schedule);
    }
    if (is("bg")) {  // a run left going until "wait", once the site has seen it
        w.holder = std::jthread([&w, f] { w.held = run(w, Strings(f.begin() + 1, f.end())); });
        for (int i = 0; i < 500 && w.site.requests().empty(); ++i)
            std::this_thread::sleep_for(ms(20));
    }
    if (is("swap"))  // swap FOLDER TARGET: FOLDER and a link to TARGET change places until wait
        w.swapper = std::jthread([at = w.dest / f.at(1), to = f.at(2)](std::stop_token stop) {
            const fs::path link = at.string() + "-link";
            fs::create_symlink(to, link);
            for (bool odd = false; !stop.stop_requested() || odd;)
                odd ^=
                    ::renameat2(AT_FDCWD, at.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
            fs::remove(link);
        });
    if (is("signal"))  // signal NAME: to the bg run, a child of this test
        run_process({"/usr/bin/pkill", "-" + f.at(1), "-P", std::to_string(::getpid())});
    if (is("wait")) w.holder.join(), w.swapper = {}, w.last = w.held;
    if (is("cli closed lib copy")) w.last = run(w, f);
    if (is("cli closed lib copy wait")) {
        expect(w.snapshot() == w.before, true, "something changed outside the destination");
        for (const auto& e : fs::recursive_directory_iterator(w.dest))
            expect(e.path().filename().string().starts_with(".picsifter-"), false, e.path());
    }
    if (is("exit")) expect(o.exit_code, std::stoi(f.at(1)), o.err);
    if (is("out err")) text(k, k == "out" ? o.out : o.err, f.at(1), f.at(2));
    if (is("ps")) {  // ps OP TEXT: the command line of the run going on, as ps shows it
        const std::string shown = run_process({"/usr/bin/pgrep", "-af", w.dest.string()}).out;
        text("command line", shown, "~", " crawl "), text("command line", shown, f.at(1), f.at(2));
    }
    if (is("files"))  // files NAME...: in any order
        std::sort(f.begin() + 1, f.end()),
            expect(list_files(w.dest), Strings(f.begin() + 1, f.end()));
    if (is("content"))
        for (const auto& file : f.at(1) == "*" ? list_files(w.dest) : Strings{f[1]})
            expect(read_file(w.dest / file) == body_of(f.at(2)), true, file);
    if (is("no-empty-folders"))
        for (const auto& e : fs::recursive_directory_iterator(w.dest))
            expect(e.is_directory() && fs::is_empty(e.path()), false, e.path());
    if (is("seen")) {  // seen SERVER FILTER OP N: FILTER's words all in a request's text
        long n = 0;
        for (const auto& r : w.requests(f.at(1))) {
            std::string all = r.path + " host:" + r.header("host");
            for (const auto& header : r.headers) all += " header:" + header.first;
            std::istringstream words(f.at(2));
            n += std::all_of(std::istream_iterator<std::string>(words), {},
                             [&](const std::string& c) { return c == "*" || all.find(c) != npos; });
        }
        const long m = std::stol(f.at(4));
        expect(f[3] == "="    ? n == m
               : f[3] == ">=" ? n >= m
                              : n <= m,
               true, f[1] + " " + f[2] + ": " + std::to_string(n));
    }
    if (is("mtime")) {  // mtime NAME DATE: the file's modification time, as an HTTP date
        std::tm t{};
        struct stat st {};
        strptime(f.at(2).c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t);
        expect(stat((w.dest / f.at(1)).c_str(), &st) == 0 ? st.st_mtime : 0, timegm(&t), f[1]);
    }
    if (is("limits")) expect(w.limits, f.at(1) + " " + f.at(2));
    if (is("weekday")) expect(psf::cli::parse_at(f.at(1))->weekday, std::stoi(f.at(2)));
    if (is("record")) {  // record N OP TEXT: line N of the schedule file, "" past the end
        std::string t = read_file(w.schedule);
        for (int i = 1; i < std::stoi(f.at(1)); ++i)
            t.erase(0, t.find('\n') == npos ? npos : t.find('\n') + 1);
        text("record", t.substr(0, t.find('\n')), f.at(2), f.at(3));
    }
    if (is("schedule"))  // schedule same: not even touched since the first run
        expect(fs::last_write_time(w.schedule) == w.schedule_time, true);
    if (is("link")) expect(fs::is_symlink(f.at(1)), true, f[1]);
    if (is("data")) {  // data OP TEXT: the names in the data folder, sorted, one a line
        std::string names;
        for (const auto& name : list_files(w.home / "Psf")) names += name + "\n";
        text("data folder", names, f.at(1), f.at(2));
    }
    if (is("hold-history"))  // another program writing the history meanwhile
        expect(sqlite3_open((w.home / "Psf/picsifter.db").c_str(), &w.history) == SQLITE_OK &&
                   sqlite3_exec(w.history, "BEGIN IMMEDIATE", {}, {}, {}) == SQLITE_OK,
               true, "the history's lock");
    if (is("backups")) {  // backups N: each as the first run found it
        long n = 0;
        for (const auto& e : fs::directory_iterator(w.home / "Psf"))
            if (e.path().filename().string().starts_with("planifs.txt.backup-"))
                ++n, expect(read_file(e.path()) == w.first_schedule, true, e.path());
        expect(n, std::stol(f.at(1)));
    }
    EXPECT_TRUE(known) << "unknown item " << k;
}

class CliCases : public testing::TestWithParam<std::string> {};

// The cases of a file, each over the lines that go on with it; "@NAME = ITEMS"
// names items later cases take in. "|" before each item and blanks between
// words, outside double quotes; \n \r \t \xHH and \C stand for their bytes.
TEST_P(CliCases, Run) {
    std::vector<std::pair<std::string, std::string>> named;
    for (auto [where, line] :
         read_cases(std::string(PICSIFTER_TEST_DATA) + "/cli/" + GetParam() + ".txt")) {
        for (const auto& [name, items] : named) line = replaced(line, name, items);
        const auto is = line.find(" = ");
        if (line.starts_with("@")) named.emplace_back(line.substr(0, is), line.substr(is + 3));
        if (line[0] == '@') continue;
        std::vector<Strings> items;
        bool quoted = false, open = false;
        for (std::size_t i = line.find('|'); i < line.size(); ++i) {
            if (!quoted && (line[i] == '|' || line[i] == ' ')) {
                if (line[i] == '|') items.emplace_back();
                open = false;
                continue;
            }
            if (!open) items.back().emplace_back(), open = true;
            std::string& word = items.back().back();
            const auto esc = std::string("nrt").find(line[i + 1]);
            if (line[i] == '"')
                quoted = !quoted;
            else if (line[i] != '\\')
                word += line[i];
            else if (line[++i] == 'x')
                word += char(std::stoi(line.substr(i + 1, 2), nullptr, 16)), i += 2;
            else
                word += esc == npos ? line[i] : "\n\r\t"[esc];
        }
        SCOPED_TRACE(where + " " + line.substr(0, line.find(" |")));
        World w;
        for (const auto& f : items)
            if (!f.empty()) step(w, f);
    }
}

// Every file of cases is a test of its own.
INSTANTIATE_TEST_SUITE_P(Files, CliCases, testing::ValuesIn([] {
                             Strings out;
                             for (const auto& e :
                                  fs::directory_iterator(std::string(PICSIFTER_TEST_DATA) + "/cli"))
                                 if (e.path().extension() == ".txt") out.push_back(e.path().stem());
                             return out;
                         }()),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });

// A terminal whose echo is locked on (root alone may lock it): no prompt, but
// why not, and the ways to give the password.
TEST(Password, NotAskedWhereEchoStaysOn) {
    int master = -1, slave = -1;
    termios locked{};
    locked.c_lflag = ECHO;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
        ::ioctl(slave, TIOCSLCKTRMIOS, &locked) != 0)
        GTEST_SKIP() << "no terminal whose echo can be locked";
    Child cli({"/usr/bin/setsid", "-wc", PICSIFTER_CLI_PATH, "crawl", "http://1/", "--user", "u"},
              {"PICSIFTER_PASSWORD"}, {}, {slave, slave, slave});
    EXPECT_EQ(cli.wait(std::chrono::seconds(10)), 1) << "asked with echo on";
    std::string said(4096, ' ');
    said.resize(static_cast<std::size_t>(std::max(0L, ::read(master, said.data(), said.size()))));
    EXPECT_NE(said.find("echo cannot be turned off"), npos) << said;
}

// A signal while the password is typed: the terminal gets its echo back
// before the signal ends the run as it would have.
TEST(Password, SignalWhileAskedGivesEchoBack) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    Child cli({"/usr/bin/setsid", "-wc", PICSIFTER_CLI_PATH, "crawl", "http://1/", "--user", "u"},
              {"PICSIFTER_PASSWORD"}, {}, {slave, slave, slave});
    std::string said;
    for (char c[256]; said.find("Password for u: ") == npos;) {
        pollfd p{master, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 10'000), 0) << "no prompt: " << said;
        said.append(c, static_cast<std::size_t>(std::max(0L, ::read(master, c, sizeof c))));
    }
    termios t{};
    EXPECT_TRUE(::tcgetattr(slave, &t) == 0 && !(t.c_lflag & ECHO)) << "asked with echo on";
    cli.signal(SIGTERM);
    EXPECT_EQ(cli.wait(std::chrono::seconds(10)), 128 + SIGTERM);
    EXPECT_TRUE(::tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO)) << "echo left off";
    ::close(master), ::close(slave);
}

}  // namespace
