#include <gtest/gtest.h>

#include "scheduler/run_gate.h"

using namespace psf;

namespace {

// Records what the bracket does to the window, in order.
class Window final : public BusyTarget {
  public:
    void set_busy(bool busy) override { log += busy ? "B+ " : "B- "; }
    std::string log;
};

// `n` ticks: "1" for a tick that starts a pass, "0" otherwise.
std::string ticks(RunGate& gate, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += gate.tick() ? "1" : "0";
    return out;
}

TEST(RunGate, EveryFifteenthTickStartsAPassInsideTheBracket) {
    Window w;
    RunGate gate(w);
    EXPECT_EQ(ticks(gate, 14), "00000000000000");
    EXPECT_EQ(gate.TimerTicks(), 14);
    EXPECT_EQ(w.log, "");
    EXPECT_EQ(ticks(gate, 1), "1");
    EXPECT_TRUE(gate.busy() && gate.TimerTicks() == 0);
    EXPECT_EQ(w.log, "B+ ");
    EXPECT_FALSE(gate.finish() || gate.busy());
    EXPECT_EQ(w.log, "B+ B- ");
}

TEST(RunGate, RunsNeverNestAndALatePassWaitsForTheRun) {
    Window w;
    RunGate gate(w);
    ticks(gate, 10);
    ASSERT_TRUE(gate.begin_retrieve_now());
    EXPECT_EQ(gate.TimerTicks(), 10) << "Retrieve Now does not reset the count";
    EXPECT_FALSE(gate.begin_retrieve_now());
    EXPECT_EQ(ticks(gate, 5), "00000");
    EXPECT_TRUE(gate.pass_deferred() && gate.TimerTicks() == 0);
    w.log.clear();
    EXPECT_TRUE(gate.finish() && gate.busy()) << "the deferred pass starts as the run ends";
    EXPECT_EQ(w.log, "") << "the bracket stays entered for the pass";
    EXPECT_FALSE(gate.finish() || gate.finish() || gate.busy()) << "finish without a job: nothing";
    EXPECT_EQ(w.log, "B- ");
}

}  // namespace
