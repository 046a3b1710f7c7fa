#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "support/temp_dir.h"

namespace psf::test {

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          std::chrono::seconds limit, const std::vector<std::string>& env,
                          bool closed_output) {
    // Output goes to files, read once the child is gone; a pipe whose reader
    // is already closed stands for an output nobody reads.
    FILE* files[2] = {std::tmpfile(), std::tmpfile()};
    int sink[2];
    if (!files[0] || !files[1] || pipe(sink) != 0) throw std::runtime_error("no room for output");
    close(sink[0]);
    const int none = open("/dev/null", O_RDONLY);
    ProcessResult result;
    Child child(argv, env, cwd,
                {none, closed_output ? sink[1] : fileno(files[0]), fileno(files[1])});
    close(none), close(sink[1]);
    if ((result.exit_code = child.wait(limit)) < 0) {
        child.signal(SIGKILL);
        result.exit_code = child.wait(std::chrono::minutes(1));
    }
    result.out = read_file("/proc/self/fd/" + std::to_string(fileno(files[0])));
    result.err = read_file("/proc/self/fd/" + std::to_string(fileno(files[1])));
    std::fclose(files[0]), std::fclose(files[1]);
    return result;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& cwd, const std::vector<int>& fds) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        for (int i = 0; i < int(fds.size()); ++i) dup2(fds[i], i);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        ::signal(SIGPIPE, SIG_DFL);  // as a shell starts it
        for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
}

Child::~Child() {
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void Child::signal(int sig) const {
    kill(pid_, sig);
}

int Child::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int status = 0; status_ < 0; usleep(10'000)) {
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (std::chrono::steady_clock::now() > deadline)
            return -1;
    }
    return status_;
}

}  // namespace psf::test
