// Timer1's tick count and the busy bracket: when a pass or a Retrieve Now run
// may start, and what the window shows meanwhile. Runs never nest.
#pragma once

#include <cstdint>

namespace psf {

// The busy bracket on the window: the pointer, and the task commands that
// could start another run or change the task table.
class BusyTarget {
  public:
    virtual ~BusyTarget() = default;
    virtual void set_busy(bool busy) = 0;
};

inline constexpr std::int16_t TicksPerPass = 15;

class RunGate {
  public:
    explicit RunGate(BusyTarget& target) : target_(target) {}

    // One tick of Timer1. True when the caller must start a due-time pass now;
    // the bracket is then entered. A pass that falls due during a run waits
    // for that run to end (see `finish`).
    bool tick();

    // Retrieve Now: true when the run may start (the bracket is entered),
    // false while another run is active.
    bool begin_retrieve_now();

    // The job started after `tick` or `begin_retrieve_now` has ended. True
    // when a deferred pass must start at once (the bracket stays entered);
    // otherwise the bracket is left.
    bool finish();

    bool busy() const { return busy_; }
    bool pass_deferred() const { return deferred_; }
    std::int16_t TimerTicks() const { return ticks_; }

  private:
    void enter();
    void leave();

    BusyTarget& target_;
    std::int16_t ticks_ = 0;
    bool busy_ = false;
    bool deferred_ = false;
};

}  // namespace psf
