// A virtual clock for tests: sleeping advances virtual time at once and runs,
// in time order, every event scheduled at or before the new instant (on the
// sleeping thread). Only one VirtualClock may exist at a time.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <vector>

namespace plat {

class VirtualClock {
  public:
    explicit VirtualClock(time_t start = 1700000000);
    ~VirtualClock();
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    // Runs `fn` when virtual time reaches `at_us` microseconds after the start.
    void at_us(uint64_t at_us, std::function<void()> fn);
    void at(double seconds, std::function<void()> fn) {
        at_us(static_cast<uint64_t>(seconds * 1e6 + 0.5), std::move(fn));
    }
    time_t start_time() const { return start_; }
    uint64_t elapsed_us() const;
    double elapsed() const { return static_cast<double>(elapsed_us()) / 1e6; }
    unsigned sleeps() const;  // number of sleep/usleep calls so far

    void advance(uint64_t us);  // what a sleep does

  private:
    struct Event {
        uint64_t when;
        uint64_t seq;
        std::function<void()> fn;
    };
    mutable std::recursive_mutex mu_;
    time_t start_;
    uint64_t now_us_ = 0;
    uint64_t seq_ = 0;
    unsigned sleeps_ = 0;
    std::vector<Event> events_;
};

}  // namespace plat
