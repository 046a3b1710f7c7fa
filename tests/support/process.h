// Runs a program as a child process and collects its exit code and output.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace psf::test {

struct ProcessResult {
    int exit_code = -1;  // 128 + signal when killed by a signal
    std::string out, err;
};

// The child is killed when it outlives `limit`; its input is /dev/null. `env`
// holds "NAME=value" entries set for the child on top of this process's
// environment, and "NAME" entries removed from it. With `closed_output` its
// standard output is a pipe nobody reads any more.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd = {},
                          std::chrono::seconds limit = std::chrono::seconds(60),
                          const std::vector<std::string>& env = {}, bool closed_output = false);

// A child process left running while the test goes on; killed when dropped.
// `fds`, when given, become its standard input, output and error.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
          const std::string& cwd = {}, const std::vector<int>& fds = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    void signal(int sig) const;
    // The exit code (128 + signal when killed), or -1 when still running after `limit`.
    int wait(std::chrono::milliseconds limit);

  private:
    int pid_ = -1;
    int status_ = -1;
};

}  // namespace psf::test
