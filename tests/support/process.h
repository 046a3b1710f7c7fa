// Runs a program as a child process and collects its exit code and output.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace psf::test {

struct ProcessResult {
    int exit_code = -1;  // 128 + signal when killed by a signal
    std::string out;
    std::string err;
};

// The child is killed when it outlives `limit`. `env` holds "NAME=value"
// entries set for the child on top of this process's environment.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd = {},
                          std::chrono::seconds limit = std::chrono::seconds(60),
                          const std::vector<std::string>& env = {});

}  // namespace psf::test
