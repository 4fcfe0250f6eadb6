// Time as the agents see it. Every sleep and every reading of the clock goes
// through here, so tests can swap in a virtual clock (vclock.h) under which a
// 90-second poll takes no real time at all.
#pragma once

#include <cstdint>
#include <ctime>

namespace plat {

struct ClockOps {
    unsigned (*sleep)(unsigned seconds);
    void (*usleep)(unsigned long usec);
    time_t (*now)();             // wall clock, for time stamps
    uint64_t (*monotonic_us)();  // for measuring intervals
};

unsigned sleep(unsigned seconds);
void usleep(unsigned long usec);
time_t now();
uint64_t monotonic_us();

// Replaces the clock for the whole process (nullptr: the real one again).
// Not thread-safe: install before the threads that use it start.
void set_clock(const ClockOps *ops);

}  // namespace plat
