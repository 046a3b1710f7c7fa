#include "scheduler/run_gate.h"

namespace psf {

void RunGate::enter() {
    busy_ = true;
    target_.set_busy(true);
}

void RunGate::leave() {
    target_.set_busy(false);
    busy_ = false;
}

bool RunGate::tick() {
    if (++ticks_ < TicksPerPass) return false;
    ticks_ = 0;
    if (busy_) {
        deferred_ = true;
        return false;
    }
    enter();
    return true;
}

bool RunGate::begin_retrieve_now() {
    if (busy_) return false;
    enter();
    return true;
}

bool RunGate::finish() {
    if (!busy_) return false;
    if (deferred_) {
        deferred_ = false;
        return true;
    }
    leave();
    return false;
}

}  // namespace psf
