// SIGTERM, SIGINT and SIGHUP as bytes on a pipe: the one way the window, the
// runner and the password prompt hear a request to end. The handler only
// writes the signal's number to the pipe, which is safe in any thread at any
// moment; the owner reads the pipe where it suits it (an event loop, a thread
// of its own, a poll beside the terminal).
#pragma once

#include "platform/result.h"

namespace psf {

class EndSignals {
  public:
    using MakePipe = int (*)(int fds[2], int flags);

    // Catches the three signals until destroyed, but for one ignored already
    // (as under nohup); one at a time in a process. When the pipe cannot be
    // made they keep their action, and ready() says why.
    explicit EndSignals(MakePipe make_pipe = nullptr);
    ~EndSignals();  // the actions before are back, the pipe closed
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    const Result<void>& ready() const { return ready_; }
    // Readable when something came; -1 without a pipe.
    int fd() const { return fds_[0]; }

    struct Heard {
        int signal = 0;      // the last signal that came, 0 for none
        bool woken = false;  // wake() was called, or the pipe failed
    };
    // What came since the last call, without waiting.
    Heard take();
    // Waits until something comes.
    Heard wait();
    // Makes wait() return with `woken`: how an owner ends its own waiting thread.
    void wake();

  private:
    Result<void> ready_;
    int fds_[2] = {-1, -1};
};

}  // namespace psf
