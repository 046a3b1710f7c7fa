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
#include <exception>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace psf::test {

namespace {

bool write_text(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// A private mount namespace, so the tmpfs is seen by this child only and goes
// with it; without root, a user namespace gives the right to mount.
std::string mount_small_tmpfs(const fs::path& folder) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (uid == 0) {
        if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return std::string("unshare: ") + std::strerror(errno);
        if (!write_text("/proc/self/setgroups", "deny") ||
            !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return "cannot map the user into a user namespace";
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("private mounts: ") + std::strerror(errno);
    if (::mount("picsifter-full", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0)
        return std::string("mount tmpfs: ") + std::strerror(errno);
    return {};
}

// Writes a filler file until the file system refuses another byte, the last
// partial page included.
std::string fill(const fs::path& folder) {
    const int fd = ::open((folder / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return std::string("filler: ") + std::strerror(errno);
    const std::vector<char> block(4096, 'f');
    for (std::size_t chunk = block.size(); chunk > 0; chunk = chunk == 1 ? 0 : 1)
        while (::write(fd, block.data(), chunk) > 0) {
        }
    const int error = errno;
    ::close(fd);
    return error == ENOSPC ? "" : std::string("filler: ") + std::strerror(error);
}

std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\t') c = ' ';
    return s;
}

[[noreturn]] void child(int out, DiskFull how, const fs::path& folder, std::size_t room,
                        const std::function<void(const fs::path&)>& prepare,
                        const std::function<void(const fs::path&, Facts&)>& act) {
    std::string text;
    try {
        std::string problem = how == DiskFull::Tmpfs ? mount_small_tmpfs(folder) : std::string();
        // The filler stays beside the work folder, out of the files the test lists.
        const fs::path work = folder / "work";
        if (problem.empty() && !fs::create_directory(work))
            problem = "cannot create " + work.string();
        if (problem.empty()) {
            prepare(work);
            if (how == DiskFull::Tmpfs) {
                problem = fill(folder);
            } else {
                std::signal(SIGXFSZ, SIG_IGN);  // a refused write then fails with EFBIG
                rlimit limit{};
                ::getrlimit(RLIMIT_FSIZE, &limit);
                limit.rlim_cur = room;
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    problem = std::string("setrlimit: ") + std::strerror(errno);
            }
        }
        if (!problem.empty()) {
            text = "skipped\t" + one_line(problem) + "\n";
        } else {
            Facts facts;
            act(work, facts);
            for (const auto& [key, value] : facts) text += key + "\t" + one_line(value) + "\n";
        }
    } catch (const std::exception& e) {
        text = "exception\t" + one_line(e.what()) + "\n";
    }
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
    if (pid == 0) {
        ::close(fds[0]);
        child(fds[1], how, folder, room, prepare, act);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    pollfd p{fds[0], POLLIN, 0};
    // Bounded: a child that hangs is killed rather than stalling the test run.
    while (::poll(&p, 1, 30000) > 0) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);

    FullDiskRun run;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (const std::size_t tab = line.find('\t'); tab != std::string::npos)
            run.facts[line.substr(0, tab)] = line.substr(tab + 1);
    if (auto it = run.facts.find("skipped"); it != run.facts.end()) {
        run.skipped = it->second;
        run.facts.clear();
    } else if (text.empty()) {
        run.facts["exception"] = "the child reported nothing";
    }
    return run;
}

std::string file_names(const fs::path& root) {
    std::string out;
    for (const auto& name : list_files(root)) out += (out.empty() ? "" : ",") + name;
    return out;
}

}  // namespace psf::test
