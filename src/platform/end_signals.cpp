#include "platform/end_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>

namespace psf {

namespace {

constexpr int Caught[] = {SIGTERM, SIGINT, SIGHUP};
constexpr unsigned char WakeByte = 0;

std::atomic<int> write_end{-1};
struct sigaction before[std::size(Caught)];

void on_signal(int sig) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(sig);
    // A full pipe already holds a request to end: nothing is lost.
    [[maybe_unused]] const auto n = ::write(write_end.load(), &byte, 1);
    errno = saved;
}

}  // namespace

EndSignals::EndSignals(MakePipe make_pipe) {
    if ((make_pipe ? make_pipe : ::pipe2)(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        ready_ = system_error("SIGTERM, SIGINT and SIGHUP cannot end the program cleanly", errno);
        fds_[0] = fds_[1] = -1;
        return;
    }
    write_end = fds_[1];
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Cannot fail: the signals exist and may be caught. One ignored from the
    // start (nohup) stays ignored.
    for (std::size_t i = 0; i < std::size(Caught); ++i)
        if (::sigaction(Caught[i], nullptr, &before[i]) == 0 && before[i].sa_handler != SIG_IGN)
            static_cast<void>(::sigaction(Caught[i], &action, nullptr));
}

EndSignals::~EndSignals() {
    if (fds_[0] < 0) return;
    for (std::size_t i = 0; i < std::size(Caught); ++i)
        static_cast<void>(::sigaction(Caught[i], &before[i], nullptr));
    write_end = -1;
    // A pipe of bytes already read: a failed close loses nothing.
    static_cast<void>(::close(fds_[0]));
    static_cast<void>(::close(fds_[1]));
}

EndSignals::Heard EndSignals::take() {
    Heard heard;
    if (fds_[0] < 0) {
        heard.woken = true;  // no pipe: nothing will ever come
        return heard;
    }
    unsigned char bytes[32];
    for (;;) {
        const ssize_t n = ::read(fds_[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) heard.woken = true;  // a broken pipe
            return heard;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == WakeByte)
                heard.woken = true;
            else
                heard.signal = bytes[i];
        }
    }
}

EndSignals::Heard EndSignals::wait() {
    for (;;) {
        pollfd p{fds_[0], POLLIN, 0};
        if (fds_[0] >= 0 && ::poll(&p, 1, -1) < 0 && errno == EINTR) continue;
        const Heard heard = take();
        if (heard.signal || heard.woken) return heard;
    }
}

void EndSignals::wake() {
    // The reader empties the pipe, so this byte finds room; without a pipe
    // there is nobody to wake.
    if (fds_[1] < 0) return;
    [[maybe_unused]] const auto n = ::write(fds_[1], &WakeByte, 1);
}

}  // namespace psf
