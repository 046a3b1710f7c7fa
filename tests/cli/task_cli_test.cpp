// The runner's list, run and due commands, as processes over a data folder
// of their own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "cli/task_commands.h"
#include "store/task_table.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using psf::test::image_bytes;
using psf::test::read_file;
using psf::test::run_process;
using psf::test::TempDir;
using psf::test::TestServer;
using psf::test::write_file;

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

psf::Task task(const std::string& title, const std::string& address, const std::string& dest) {
    psf::Task t{};
    t[psf::Title] = title;
    t[psf::StartAddress] = address;
    t[psf::LinkDepth] = "0";
    t[psf::ExistingImagePolicy] = "1";
    t[psf::DestinationFolder] = dest;
    t[psf::FolderLayout] = "1";
    t[psf::ScheduleKind] = "1";
    t[psf::IntervalIndex] = "2";  // every hour
    t[psf::StartHourIndex] = "0";
    t[psf::StartMinuteIndex] = "0";
    t[psf::DayPeriodIndex] = "0";
    for (int col = psf::OnMonday; col <= psf::OnSunday; ++col)
        t[static_cast<std::size_t>(col)] = "1";
    t[psf::Drive] = "/";
    t[psf::LastRunDate] = "2026/12/07";
    t[psf::LastRunTime] = "08:00";
    return t;
}

// A data home with "Psf/planifs.txt" holding `tasks`, and the runner over it.
class Runner {
  public:
    explicit Runner(const std::vector<psf::Task>& tasks = {}) {
        psf::TaskTable table;
        table.TaskCount = static_cast<std::int16_t>(tasks.size());
        for (std::size_t i = 0; i < tasks.size(); ++i) table.rows[i + 1] = tasks[i];
        fs::create_directories(home_ / "Psf");
        write_file(file(), psf::format_schedule(table));
    }
    fs::path file() const { return home_ / "Psf/planifs.txt"; }
    // Runs with its standard output a pipe that nobody reads any more.
    int with_closed_output(const Strings& args) const {
        const pid_t pid = fork();
        if (pid == 0) {
            int p[2];
            if (pipe(p) != 0 || dup2(p[1], 1) < 0) _exit(126);
            close(p[0]);
            signal(SIGPIPE, SIG_DFL);  // as a shell starts it; the test server ignores it
            const std::string env = "XDG_DATA_HOME=" + home_.str();
            putenv(const_cast<char*>(env.c_str()));
            std::vector<char*> argv{const_cast<char*>(PICSIFTER_CLI_PATH)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    fs::path folder() const { return home_ / "Psf"; }
    psf::test::ProcessResult operator()(Strings args) const {
        args.insert(args.begin(), PICSIFTER_CLI_PATH);
        return run_process(args, {}, std::chrono::seconds(60), {"XDG_DATA_HOME=" + home_.str()});
    }
    // The records of the schedule file, one string per line.
    Strings records() const {
        Strings out;
        const std::string text = read_file(file());
        for (std::size_t at = 0; at < text.size();) {
            const auto end = text.find("\r\n", at);
            out.push_back(text.substr(at, end - at));
            at = end == std::string::npos ? text.size() : end + 2;
        }
        return out;
    }

  private:
    TempDir home_;
};

TEST(CliTasks, ListShowsTheGridCellsOfEveryTask) {
    psf::Task a = task("  Holiday ", "http://h/", "/pics/a");
    psf::Task b = task("Cats", "http://c/x.htm", "/pics/b");
    b[psf::LinkDepth] = "3";
    b[psf::ScheduleKind] = "0";
    Runner runner({a, b});
    auto r = runner({"list"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto ca = psf::grid_cells(a), cb = psf::grid_cells(b);
    std::string expected;
    for (const auto& cells : {ca, cb})
        expected +=
            cells[0] + "\t" + cells[1] + "\t" + cells[2] + "\t" + cells[3] + "\t" + cells[4] + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(runner({"list"}).out, expected) << "list leaves the file as it was";
}

TEST(CliTasks, RunCopiesStampsOnlyThatTaskAndSaves) {
    TestServer server;
    server.page("/", "<img src='a.gif'> <img src='b.jpg'> ....................................");
    server.image("/a.gif", image_bytes(2000, 'a'));
    server.image("/b.jpg", image_bytes(2000, 'b'));
    TempDir pics;
    const psf::Task other = task("Other", server.url("/none"), (pics / "o").string());
    Runner runner({other, task(" Gallery ", server.url("/"), pics.str()), other});
    const Strings before = runner.records();

    auto r = runner({"run", "Gallery"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1 page read, 2 images found, 2 copied, 0 already present, 0 failed\n");
    EXPECT_EQ(psf::test::list_files(pics.path()), (Strings{"a.gif", "b.jpg"}));
    EXPECT_EQ(server.count("/none"), 0);

    const Strings after = runner.records();
    ASSERT_EQ(before.size(), 3u);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[2], before[2]);
    EXPECT_EQ(after[1].find("\"2026/12/07\",\"08:00\""), std::string::npos) << "row 2 was stamped";
    EXPECT_EQ(after[1].substr(0, after[1].size() - 22), before[1].substr(0, before[1].size() - 22))
        << "only the stamp changes";
}

TEST(CliTasks, DueRunsTheDueTasksAtTheGivenMoment) {
    const std::string Summary =
        "1 page read, 1 image found, 1 copied, 0 already present, 0 failed\n";
    TestServer server;
    server.page("/", "<img src='a.gif'> ..............................................");
    server.image("/a.gif", image_bytes(2000, 'a'));
    TempDir pics;
    psf::Task hourly = task("Hourly", server.url("/"), (pics / "h").string());
    psf::Task later = task("Later", server.url("/"), (pics / "l").string());
    later[psf::LastRunTime] = "09:30";
    psf::Task ahead = task("Ahead", server.url("/"), (pics / "f").string());
    ahead[psf::LastRunDate] = "2027/01/01";  // the clock was set back
    Runner runner({hourly, later, ahead});
    for (const char* sub : {"h", "l", "f"}) fs::create_directory(pics / sub);

    auto r = runner({"due", "--at", "2026/12/07 10:00"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Hourly: " + Summary);
    EXPECT_EQ(psf::test::list_files(pics.path()), Strings{"h/a.gif"});
    Strings rec = runner.records();
    EXPECT_NE(rec[0].find("\"2026/12/07\",\"10:00\""), std::string::npos) << rec[0];
    EXPECT_NE(rec[1].find("\"2026/12/07\",\"09:30\""), std::string::npos) << rec[1];
    EXPECT_NE(rec[2].find("\"2026/12/07\",\"10:00\""), std::string::npos)
        << "a stamp in the future counts from now: " << rec[2];

    // One hour on, the set-back task is due with the others.
    r = runner({"due", "--at=2026/12/07 11:00", "--verbose"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "Récupère Hourly\nHourly: 1 page read, 1 image found, 0 copied, 1 already "
              "present, 0 failed\nRécupère Later\nLater: " +
                  Summary + "Récupère Ahead\nAhead: " + Summary);

    // Nothing due: the file is not rewritten.
    const auto mtime = fs::last_write_time(runner.file());
    const std::string text = read_file(runner.file());
    r = runner({"due", "--at", "2026/12/07 11:30"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(runner.file()), text);
    EXPECT_EQ(fs::last_write_time(runner.file()), mtime);

    // A closed output ends the printing, not the pass and its stamps.
    EXPECT_EQ(runner.with_closed_output({"due", "--at=2026/12/07 12:00"}), 0);
    EXPECT_NE(runner.records()[0].find("\"2026/12/07\",\"12:00\""), std::string::npos)
        << runner.records()[0];
}

// A record of 40 fields (or `fields`), raw as a hand edit may leave it.
std::string record(const std::string& title, int fields = psf::FieldCount) {
    std::string s = "\"" + title + "\",\"http://127.0.0.1:1/\"";
    for (int c = 3; c <= fields; ++c) s += ",\"0\"";
    return s + "\r\n";
}

std::vector<fs::path> backups(const fs::path& folder) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().starts_with("planifs.txt.backup-"))
            out.push_back(e.path());
    return out;
}

TEST(CliTasks, DamagedScheduleFilesAreKeptAndNeverShifted) {
    TestServer server;
    server.page("/", "no images here ............................................");
    TempDir pics;
    psf::Task go = task("Go", server.url("/"), pics.str());
    go[psf::LastRunDate] = "2001/01/01";
    const std::string g = read_file(Runner({go}).file());
    std::string many = g, many_titles = "Go";
    for (int i = 2; i <= 250; ++i) {
        many += record("T" + std::to_string(i));
        if (i <= 200) many_titles += " T" + std::to_string(i);
    }
    struct Case {
        const char *name, *warning;  // empty: the file loads as it is
        std::string bytes, saved;    // saved: the titles after the run
    };
    const std::vector<Case> cases = {
        {"250 records", "50 tasks beyond the 200th were not loaded", many, many_titles},
        {"39 fields", "Line 2 (\"T2\") has 39 fields", g + record("T2", 39) + record("T3"),
         "Go T3"},
        {"41 fields", "Line 2 (\"T2\") has 41 fields", g + record("T2", 41) + record("T3"),
         "Go T3"},
        {"byte-order mark", "A byte-order mark at the start", "\xEF\xBB\xBF" + g, "Go"},
        {"stray quote", "1 double quote was removed", g + record("T\"2") + record("T3"),
         "Go T2 T3"},
        {"Latin-1", "The file is not UTF-8", g + record("\xC9t\xE9"), "Go Été"},
        {"symlink", "", g + record("T2"), "Go T2"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Runner runner;
        TempDir elsewhere;
        const bool link = tc.name == std::string("symlink");
        const fs::path target = link ? elsewhere / "tasks.txt" : runner.file();
        fs::remove(runner.file());
        write_file(target, tc.bytes);
        if (link) fs::create_symlink(target, runner.file());

        auto r = runner({"run", "Go"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const auto kept = backups(runner.folder());
        ASSERT_EQ(kept.size(), *tc.warning ? 1u : 0u) << r.err;
        for (const auto& b : kept) {
            EXPECT_NE(r.err.find(runner.file().string() + ": " + tc.warning), std::string::npos);
            EXPECT_NE(r.err.find("kept as " + b.string()), std::string::npos) << r.err;
            EXPECT_TRUE(read_file(b) == tc.bytes) << "every original byte is kept";
        }
        EXPECT_EQ(fs::is_symlink(runner.file()), link);
        psf::TaskTable saved;
        EXPECT_TRUE(psf::parse_schedule(read_file(target), saved).clean());
        std::string titles;
        for (int row = 1; row <= saved.TaskCount; ++row)
            titles += (row > 1 ? " " : "") + saved.at(row, psf::Title);
        EXPECT_EQ(titles, tc.saved);
        EXPECT_NE(saved.at(1, psf::LastRunDate), go[psf::LastRunDate]) << "Go was stamped";
        for (int row = 2; row <= saved.TaskCount; ++row)
            EXPECT_EQ(saved.at(row, psf::StartAddress), "http://127.0.0.1:1/") << row;

        // The file is whole now: no warning, and the backup stays as it was.
        r = runner({"run", "Go"});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(backups(runner.folder()), kept);
        for (const auto& b : kept) EXPECT_TRUE(read_file(b) == tc.bytes);
    }
}

// A start page that cannot be fetched: one line on standard error, exit 5,
// nothing written; the task still counts as run. `due` runs every due task.
TEST(CliTasks, StartPageFailuresExitFive) {
    TestServer server;
    for (int status : {404, 500}) {
        psf::test::Reply r;
        r.status = status;
        r.body = "<html>gone</html>";
        server.route("/" + std::to_string(status), r);
    }
    server.page("/ok", "<img src='a.gif'> .........................................");
    server.image("/a.gif", image_bytes(2000, 'a'));
    const std::string refused = "http://127.0.0.1:" + std::to_string(TestServer().port()) + "/";
    struct Case {
        std::string url, cause;
    };
    const std::vector<Case> cases = {
        {refused, "connection refused"},
        {server.url("/404"), "HTTP status 404"},
        {server.url("/500"), "HTTP status 500"},  // after two more tries
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.url);
        const std::string line =
            "picsifter-cli: the start page " + tc.url + " could not be fetched: " + tc.cause + "\n";
        TempDir pics;
        fs::create_directory(pics / "due");
        Runner runner({task("Dead", tc.url, (pics / "run").string()),
                       task("Good", server.url("/ok"), (pics / "due").string())});
        const Strings before = runner.records();
        const auto crawl = runner({"crawl", tc.url, "--dest", (pics / "crawl").string(), "-q"});
        const auto due = runner({"due", "--at", "2026/12/07 10:00", "-q"});
        EXPECT_EQ(due.exit_code, 5);
        EXPECT_EQ(due.err, "picsifter-cli: Dead: " + line.substr(15));
        const Strings stamped = runner.records();
        EXPECT_NE(stamped[0], before[0]) << "a failed run is stamped";
        EXPECT_NE(stamped[1], before[1]) << "the other due task ran";
        const auto run = runner({"run", "Dead", "-q"});
        for (const auto& r : {crawl, run}) {
            EXPECT_EQ(r.exit_code, 5);
            EXPECT_EQ(r.err, line);
            EXPECT_EQ(r.out, "");
        }
        EXPECT_EQ(psf::test::list_files(pics.path()), Strings{"due/a.gif"});
    }
}

TEST(CliTasks, ExitStatusForEachFailure) {
    Runner runner({task("One", "http://127.0.0.1:1/", "/tmp")});
    struct Case {
        const char* name;
        Strings args;
        int exit_code;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"unknown title", {"run", "Two"}, 2, "no task titled \"Two\""},
        {"title is matched whole", {"run", "On"}, 2, "no task titled"},
        {"run without title", {"run"}, 1, "usage: picsifter-cli"},
        {"run with two titles", {"run", "One", "Two"}, 1, "usage: picsifter-cli"},
        {"list with an argument", {"list", "x"}, 1, "usage: picsifter-cli"},
        {"due with a bad moment", {"due", "--at", "2026/02/30 10:00"}, 1, "--at needs"},
        {"due without its moment", {"due", "--at"}, 1, "usage: picsifter-cli"},
        {"due with a stray word", {"due", "now"}, 1, "unknown argument now"},
        {"unknown command", {"sweep"}, 1, "unknown command sweep"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        auto r = runner(tc.args);
        EXPECT_EQ(r.exit_code, tc.exit_code);
        EXPECT_NE(r.err.find(tc.err), std::string::npos) << r.err;
    }
    auto help = runner({"run", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("picsifter-cli due [--at"), std::string::npos);
}

TEST(CliTasks, RefusedWhileAnotherRunHoldsTheFolder) {
    TestServer server;
    psf::test::Reply slow;
    slow.body = "<img src='a.gif'> ..............................................";
    slow.delay = std::chrono::milliseconds(2500);
    server.route("/", slow);
    TempDir pics;
    Runner runner({task("Slow", server.url("/"), pics.str())});

    psf::test::ProcessResult first;
    std::thread holder([&] { first = runner({"run", "Slow"}); });
    for (int i = 0; i < 200 && server.count("/") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(server.count("/"), 1);
    for (const Strings& args : {Strings{"run", "Slow"}, Strings{"due"}}) {
        auto r = runner(args);
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_NE(r.err.find("in use by another command-line run"), std::string::npos) << r.err;
    }
    EXPECT_EQ(runner({"list"}).exit_code, 0) << "list needs no lock";
    holder.join();
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(runner({"run", "Slow"}).exit_code, 0) << "the lock goes with its holder";
}

TEST(CliTasks, UnusableDataFolderExitsFour) {
    // Neither the data home nor the program's own folder can hold "Psf" or
    // "psfsetin": both names are taken by plain files.
    TempDir place;
    write_file(place / "home", "not a folder");
    write_file(place / "psfsetin", "not a folder");
    fs::copy_file(PICSIFTER_CLI_PATH, place / "picsifter-cli");
    fs::permissions(place / "picsifter-cli", fs::perms::owner_all);
    for (Strings args : {Strings{"list"}, Strings{"run", "x"}, Strings{"due"}}) {
        SCOPED_TRACE(args[0]);
        args.insert(args.begin(), (place / "picsifter-cli").string());
        auto r = run_process(args, {}, std::chrono::seconds(60),
                             {"XDG_DATA_HOME=" + (place / "home").string()});
        EXPECT_EQ(r.exit_code, 4);
        EXPECT_NE(r.err.find("cannot use a data folder"), std::string::npos) << r.err;
    }

    // A schedule file that cannot be read.
    Runner runner;
    fs::remove(runner.file());
    fs::create_directory(runner.file());
    auto r = runner({"list"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.err.find("cannot read the schedule file"), std::string::npos) << r.err;
}

TEST(CliTasks, ParseAt) {
    struct Case {
        const char* text;
        bool ok;
        int weekday;
    };
    const std::vector<Case> cases = {
        {"2026/12/07 10:00", true, 1},  {"2024/02/29 23:59", true, 4},
        {"2023/02/29 10:00", false, 0}, {"2026/12/07 24:00", false, 0},
        {"2026/12/07", false, 0},       {"2026/12/07  10:00", false, 0},
        {"26/12/07 10:00", false, 0},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.text);
        const auto t = psf::cli::parse_at(tc.text);
        ASSERT_EQ(t.has_value(), tc.ok);
        if (tc.ok) {
            EXPECT_EQ(t->weekday, tc.weekday);
        }
    }
}

}  // namespace
