// A real mosquitto broker for a test: started on a free loopback port with a
// config of its own, stopped (and restartable on the same port) by the test.
// Its log (connections, client identifiers) is kept for the test to read.
#pragma once

#include <sys/types.h>

#include <string>

namespace sandbox {

class Broker {
  public:
    Broker();  // starts it; throws if it does not accept within 10 s
    ~Broker();
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    int port() const { return port_; }
    void stop();
    void start();
    // SIGSTOP/SIGCONT: the broker stays connected but answers nothing.
    void freeze();
    void thaw();
    std::string log() const;

  private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Waits until `pred()` holds, polling every 10 ms; false after `timeout_ms`.
template <typename Pred>
bool wait_until(Pred pred, int timeout_ms = 10000);

}  // namespace sandbox

#include "wait_until.h"
