#include "support/full_disk.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace psf::test {

namespace {

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A private mount namespace, so the tmpfs is seen by this child only and goes
// with it; without root, a user namespace gives the right to mount.
std::string mount_small_tmpfs(const fs::path& folder) {
    const std::string uid = "0 " + std::to_string(::geteuid()) + " 1",
                      gid = "0 " + std::to_string(::getegid()) + " 1";
    const auto put = [](const char* file, const std::string& text) {
        return static_cast<bool>(std::ofstream(file) << text << std::flush);
    };
    if (::unshare(CLONE_NEWNS) != 0 &&
        (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !put("/proc/self/setgroups", "deny") ||
         !put("/proc/self/uid_map", uid) || !put("/proc/self/gid_map", gid)))
        return failed("private mount namespace");
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("private mounts");
    if (::mount("picsifter-full", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0)
        return failed("mount tmpfs");
    return {};
}

// Writes a filler beside the work folder until the file system refuses
// another byte, the last partial page included.
std::string fill(const fs::path& folder) {
    const int fd = ::open((folder / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    for (std::size_t chunk = 4096; fd >= 0 && chunk > 0; chunk = chunk == 1 ? 0 : 1)
        while (::write(fd, std::string(chunk, 'f').data(), chunk) > 0) {
        }
    return errno == ENOSPC ? "" : failed("filler");
}

std::string one_line(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\t', ' ');
    return s;
}

[[noreturn]] void child(int out, DiskFull how, const fs::path& folder, std::size_t room,
                        const std::function<void(const fs::path&)>& prepare,
                        const std::function<void(const fs::path&, Facts&)>& act) {
    Facts facts;
    try {
        const fs::path work = folder / "work";
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the size limit then fails with EFBIG
        const rlimit limit{room, RLIM_INFINITY};
        std::string problem = how == DiskFull::Tmpfs ? mount_small_tmpfs(folder) : "";
        if (problem.empty()) {
            fs::create_directory(work);
            prepare(work);
            problem = how == DiskFull::Tmpfs                   ? fill(folder)
                      : ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ? failed("setrlimit")
                                                               : "";
        }
        if (problem.empty())
            act(work, facts);
        else
            facts["skipped"] = problem;
    } catch (const std::exception& e) {
        facts = {{"exception", e.what()}};
    }
    std::string text;
    for (const auto& [key, value] : facts) text += key + "\t" + one_line(value) + "\n";
    // Whole or not at all: a blocking pipe takes these few lines in one write.
    if (::write(out, text.data(), text.size()) < 0) ::_exit(1);
    ::_exit(0);  // no exit handlers of the test program in the child
}

}  // namespace

FullDiskRun run_on_full_disk(DiskFull how, const fs::path& folder, std::size_t room,
                             const std::function<void(const fs::path&)>& prepare,
                             const std::function<void(const fs::path&, Facts&)>& act) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) child(fds[1], how, folder, room, prepare, act);
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    pollfd p{fds[0], POLLIN, 0};
    // Bounded: a child that hangs is killed rather than stalling the test run.
    for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 30000) > 0;)
        text.append(buf, std::size_t(std::max<ssize_t>(n = ::read(fds[0], buf, sizeof buf), 0)));
    ::close(fds[0]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    FullDiskRun run;
    std::istringstream lines(text);
    for (std::string key, value; std::getline(lines, key, '\t') && std::getline(lines, value);)
        run.facts[key] = value;
    if (text.empty()) run.facts["exception"] = "the child reported nothing";
    if (run.facts.count("skipped")) run = {run.facts["skipped"], {}};
    return run;
}

std::string file_names(const fs::path& root) {
    std::string out;
    for (const auto& name : list_files(root)) out += (out.empty() ? "" : ",") + name;
    return out;
}

}  // namespace psf::test
