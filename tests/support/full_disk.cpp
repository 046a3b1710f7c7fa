#include "support/full_disk.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A private mount namespace, so the mount is seen by this child only and goes
// with it; without root, a user namespace gives the right to mount. Over the
// folder: a small tmpfs, or the folder itself (to be made read-only later).
std::string mount_over(const fs::path& folder, DiskFull how) {
    const std::string uid = "0 " + std::to_string(::geteuid()) + " 1",
                      gid = "0 " + std::to_string(::getegid()) + " 1";
    const auto put = [](const char* file, const std::string& text) {
        return static_cast<bool>(std::ofstream(file) << text << std::flush);
    };
    if (::unshare(CLONE_NEWNS) != 0 &&
        (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !put("/proc/self/setgroups", "deny") ||
         !put("/proc/self/uid_map", uid) || !put("/proc/self/gid_map", gid)))
        return failed("private mount namespace");
    const bool mounted =
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        (how == DiskFull::Tmpfs
             ? ::mount("picsifter-full", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k")
             : ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr)) == 0;
    return mounted ? "" : failed("mount over the folder");
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

}  // namespace

FullDiskRun run_on_full_disk(DiskFull how, const fs::path& folder, std::size_t room,
                             const std::function<void(const fs::path&)>& prepare,
                             const std::function<void(const fs::path&, Facts&)>& act) {
    int fds[2];
    pid_t pid = -1;
    if (::pipe2(fds, O_CLOEXEC) != 0 || (pid = ::fork()) < 0)
        throw std::runtime_error("pipe or fork failed");
    if (pid == 0) {  // the child: its facts go down the pipe as "key\0value\0"
        Facts facts;
        try {
            const fs::path work = folder / "work";
            std::signal(SIGXFSZ, SIG_IGN);  // a write past the size limit then fails with EFBIG
            const rlimit limit{room, RLIM_INFINITY};
            std::string problem = how != DiskFull::FileSize ? mount_over(folder, how) : "";
            if (problem.empty()) {
                fs::create_directory(work);
                prepare(work);
                const auto read_only = [&] {
                    return ::mount(nullptr, folder.c_str(), nullptr,
                                   MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0
                               ? ""
                               : failed("read-only mount");
                };
                problem = how == DiskFull::Tmpfs                   ? fill(folder)
                          : how == DiskFull::ReadOnly              ? read_only()
                          : ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ? failed("setrlimit")
                                                                   : "";
            }
            problem.empty() ? act(work, facts) : void(facts["skipped"] = problem);
        } catch (const std::exception& e) {
            facts = {{"exception", e.what()}};
        }
        std::string text;
        for (const auto& [key, value] : facts) text += key + '\0' + value + '\0';
        // Whole or not at all: a blocking pipe takes these few bytes in one write; and
        // no exit handlers of the test program in the child.
        ::_exit(::write(fds[1], text.data(), text.size()) < 0);
    }
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
    std::istringstream pairs(text);
    for (std::string key, value;
         std::getline(pairs, key, '\0') && std::getline(pairs, value, '\0');)
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
