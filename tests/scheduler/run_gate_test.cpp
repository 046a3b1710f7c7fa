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

TEST(RunGate, EveryFifteenthTickStartsAPassInsideTheBracket) {
    Window w;
    RunGate gate(w);
    for (int i = 1; i <= 14; ++i) EXPECT_FALSE(gate.tick()) << "tick " << i;
    EXPECT_EQ(gate.TimerTicks(), 14);
    EXPECT_EQ(w.log, "");
    EXPECT_TRUE(gate.tick());
    EXPECT_EQ(gate.TimerTicks(), 0);
    EXPECT_TRUE(gate.busy());
    EXPECT_EQ(w.log, "B+ ");
    w.log.clear();
    EXPECT_FALSE(gate.finish());
    EXPECT_EQ(w.log, "B- ");
    EXPECT_FALSE(gate.busy());
}

TEST(RunGate, RunsNeverNestAndALatePassWaitsForTheRun) {
    Window w;
    RunGate gate(w);
    for (int i = 0; i < 10; ++i) gate.tick();
    ASSERT_TRUE(gate.begin_retrieve_now());
    EXPECT_EQ(gate.TimerTicks(), 10) << "Retrieve Now does not reset the count";
    EXPECT_FALSE(gate.begin_retrieve_now());
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(gate.tick());
    EXPECT_TRUE(gate.pass_deferred());
    EXPECT_EQ(gate.TimerTicks(), 0);
    w.log.clear();
    EXPECT_TRUE(gate.finish()) << "the deferred pass starts as the run ends";
    EXPECT_TRUE(gate.busy());
    EXPECT_EQ(w.log, "") << "the bracket stays entered for the pass";
    EXPECT_FALSE(gate.finish());
    EXPECT_FALSE(gate.busy());
    EXPECT_EQ(w.log, "B- ");
    EXPECT_FALSE(gate.finish()) << "finish without a job changes nothing";
    EXPECT_EQ(w.log, "B- ");
}

}  // namespace
