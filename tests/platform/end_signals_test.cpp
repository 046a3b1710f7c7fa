#include "platform/end_signals.h"

#include <signal.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

using namespace psf;

namespace {

void (*action_of(int sig))(int) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    return now.sa_handler;
}

}  // namespace

// Each signal is heard by its number but for one ignored before, the owner's
// wake ends a wait on another thread, and the actions before come back.
TEST(EndSignals, HeardThenGivenBack) {
    signal(SIGINT, SIG_IGN);
    {
        EndSignals caught;
        ASSERT_TRUE(caught.ready()) << caught.ready().error().text;
        EXPECT_FALSE(caught.take().signal) << "nothing came yet";
        for (int sig : {SIGTERM, SIGHUP}) {
            raise(sig);
            EXPECT_EQ(caught.take().signal, sig);
        }
        raise(SIGINT);
        EXPECT_EQ(caught.take().signal, 0) << "ignored before, as under nohup";
        std::thread waiter([&] { EXPECT_TRUE(caught.wait().woken); });
        caught.wake();
        waiter.join();
    }
    EXPECT_EQ(action_of(SIGINT), SIG_IGN);
    EXPECT_EQ(action_of(SIGTERM), SIG_DFL);
    signal(SIGINT, SIG_DFL);
}

// Without its pipe nothing is caught, and the owner is told why.
TEST(EndSignals, NoPipeSaysSo) {
    EndSignals caught([](int*, int) {
        errno = EMFILE;
        return -1;
    });
    EXPECT_FALSE(caught.ready());
    EXPECT_NE(caught.ready().error().text.find("Too many open files"), std::string::npos)
        << caught.ready().error().text;
    EXPECT_EQ(caught.fd(), -1);
    EXPECT_EQ(action_of(SIGTERM), SIG_DFL);
    errno = EAGAIN;  // left by some earlier call
    ASSERT_TRUE(caught.take().woken) << "a wait on no pipe would never end";
    EXPECT_TRUE(caught.wait().woken);
}
