#include "clock.h"

#include <unistd.h>

#include <atomic>

namespace plat {
namespace {

unsigned real_sleep(unsigned seconds) {
    return ::sleep(seconds);
}
void real_usleep(unsigned long usec) {
    ::usleep(static_cast<useconds_t>(usec));
}
time_t real_now() {
    return ::time(nullptr);
}
uint64_t real_monotonic_us() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

const ClockOps real_clock = {real_sleep, real_usleep, real_now, real_monotonic_us};
// Atomic: a detached thread (a station monitor) may still read it while a
// test puts the real clock back.
std::atomic<const ClockOps *> clock_ops{&real_clock};

}  // namespace

unsigned sleep(unsigned seconds) {
    return clock_ops.load(std::memory_order_acquire)->sleep(seconds);
}
void usleep(unsigned long usec) {
    clock_ops.load(std::memory_order_acquire)->usleep(usec);
}
time_t now() {
    return clock_ops.load(std::memory_order_acquire)->now();
}
uint64_t monotonic_us() {
    return clock_ops.load(std::memory_order_acquire)->monotonic_us();
}
void set_clock(const ClockOps *ops) {
    clock_ops.store(ops ? ops : &real_clock, std::memory_order_release);
}

}  // namespace plat
