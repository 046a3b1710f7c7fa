#include "cli/secret.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "platform/end_signals.h"
#include "platform/text.h"

namespace psf::cli {

namespace {

std::string first_line(std::string text) {
    text = text.substr(0, text.find_first_of("\r\n"));
    return std::string(trim_blanks(text));
}

// Turns echo off, keeping the settings before in `saved`. A change the
// terminal refused in part still succeeds, so the settings are read back.
bool echo_off(int tty, termios& saved) {
    termios silent{};
    if (::tcgetattr(tty, &saved) != 0) return false;
    silent = saved;
    silent.c_lflag &= static_cast<tcflag_t>(~ECHO);
    return ::tcsetattr(tty, TCSAFLUSH, &silent) == 0 && ::tcgetattr(tty, &silent) == 0 &&
           (silent.c_lflag & ECHO) == 0;
}

// Reads one line from the terminal with echo off; never with echo on
// (`echoing` then). A signal while it waits restores the terminal first, then
// acts as it would have.
bool ask_terminal(const std::string& user, std::string& password, bool& echoing) {
    if (!::isatty(STDIN_FILENO)) return false;
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) return false;
    bool ok = false;
    std::string line;
    int ended_by = 0;
    {
        // Caught before echo goes off: no signal ends the program with it off.
        EndSignals caught;
        termios saved{};
        echoing = !echo_off(tty, saved);
        const std::string prompt = "Password for " + user + ": ";
        ok = !echoing && ::write(tty, prompt.data(), prompt.size()) >= 0;
        while (ok && !ended_by) {
            pollfd ready[2] = {{tty, POLLIN, 0}, {caught.fd(), POLLIN, 0}};
            if (::poll(ready, caught.ready() ? 2 : 1, -1) < 0) {
                ok = errno == EINTR;
                continue;
            }
            if (ready[1].revents) {
                const EndSignals::Heard heard = caught.take();
                ok = !heard.woken;
                ended_by = heard.signal;
                continue;
            }
            char c = 0;
            const ssize_t n = ::read(tty, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') {
                ok = n > 0 || !line.empty();
                break;
            }
            line.push_back(c);
        }
        if (!echoing) {
            // Should this fail, echo stays off: nothing is shown that should not be.
            static_cast<void>(::tcsetattr(tty, TCSAFLUSH, &saved));
            if (::write(tty, "\n", 1) < 0) ok = false;
        }
        static_cast<void>(::close(tty));  // a terminal only read from and prompted on
        if (!ended_by) ended_by = caught.take().signal;  // one that came meanwhile
    }
    // The signals have their actions back: this one acts as it would have.
    if (ended_by) ::raise(ended_by);
    password = first_line(line);
    return ok && !ended_by;
}

}  // namespace

Result<void> obtain_password(const std::string& user, const PasswordSource& source,
                             std::string& password) {
    if (!source.file.empty()) {
        std::ifstream in(source.file, std::ios::binary);
        if (!in) return system_error("cannot read the password file " + source.file, errno);
        std::string text;
        std::getline(in, text);
        password = first_line(text);
        return {};
    }
    if (source.on_command_line) return {};
    if (const char* value = std::getenv(PasswordVariable); value != nullptr) {
        password = first_line(value);
        return {};
    }
    bool echoing = false;
    if (ask_terminal(user, password, echoing)) return {};
    if (echoing)
        return Error{
            "echo cannot be turned off on this terminal, so the password is not asked for "
            "there: give it with --password-file FILE or " +
            std::string(PasswordVariable)};
    return Error{std::string("--user needs a password: --password-file FILE, ") + PasswordVariable +
                 " or a terminal to ask on"};
}

void hide_password_argument(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string_view(argv[i]) == "--password")
            std::memset(argv[i + 1], '*', std::strlen(argv[i + 1]));
}

}  // namespace psf::cli
