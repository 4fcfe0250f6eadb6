#include "vclock.h"

#include <algorithm>

#include "clock.h"

namespace plat {
namespace {

VirtualClock *current = nullptr;

unsigned v_sleep(unsigned seconds) {
    current->advance(uint64_t{seconds} * 1000000u);
    return 0;
}
void v_usleep(unsigned long usec) {
    current->advance(usec);
}
time_t v_now();
uint64_t v_monotonic_us() {
    return current->elapsed_us();
}

const ClockOps virtual_ops = {v_sleep, v_usleep, v_now, v_monotonic_us};

}  // namespace

VirtualClock::VirtualClock(time_t start) : start_(start) {
    current = this;
    set_clock(&virtual_ops);
}

VirtualClock::~VirtualClock() {
    set_clock(nullptr);
    current = nullptr;
}

void VirtualClock::at_us(uint64_t when, std::function<void()> fn) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    events_.push_back({when, seq_++, std::move(fn)});
}

uint64_t VirtualClock::elapsed_us() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return now_us_;
}

unsigned VirtualClock::sleeps() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return sleeps_;
}

void VirtualClock::advance(uint64_t us) {
    // Events run without the clock's lock held, so they may take locks of
    // their own (and read the clock) in any order.
    uint64_t target;
    {
        std::lock_guard<std::recursive_mutex> lock(mu_);
        ++sleeps_;
        target = now_us_ + us;
    }
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::recursive_mutex> lock(mu_);
            auto due = std::min_element(events_.begin(), events_.end(), [](auto &a, auto &b) {
                return a.when != b.when ? a.when < b.when : a.seq < b.seq;
            });
            if (due == events_.end() || due->when > target) {
                now_us_ = std::max(now_us_, target);
                return;
            }
            now_us_ = std::max(now_us_, due->when);
            fn = std::move(due->fn);
            events_.erase(due);
        }
        fn();
    }
}

namespace {
time_t v_now() {
    return current->start_time() + static_cast<time_t>(current->elapsed_us() / 1000000u);
}
}  // namespace

}  // namespace plat
