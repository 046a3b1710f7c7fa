// Where the one-off crawl's password comes from, so that it never has to
// stand on the command line where every local user can read it.
#pragma once

#include <string>

#include "platform/result.h"

namespace psf::cli {

struct PasswordSource {
    std::string file;              // --password-file
    bool on_command_line = false;  // --password VALUE, kept for older scripts
};

inline constexpr const char* PasswordVariable = "PICSIFTER_PASSWORD";

// Fills `password` for `user`: from the file (its first line), else as given
// on the command line, else from PICSIFTER_PASSWORD, else asked on the
// terminal without echo. Fails when none of them gives one.
Result<void> obtain_password(const std::string& user, const PasswordSource& source,
                             std::string& password);

// Overwrites the value after "--password" in the process's own arguments, so
// that `ps` shows it only until the runner has started.
void hide_password_argument(int argc, char** argv);

}  // namespace psf::cli
