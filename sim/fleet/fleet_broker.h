// The fleet's own mosquitto broker, on a free loopback port, for as long as
// the object lives. It can take as many clients as the descriptor limit the
// fleet raised for it.
#pragma once

#include <sys/types.h>

#include <string>

namespace sim {

class FleetBroker {
  public:
    FleetBroker() = default;
    ~FleetBroker();
    FleetBroker(const FleetBroker &) = delete;
    FleetBroker &operator=(const FleetBroker &) = delete;

    // Writes its configuration into `dir`, starts it and waits until it
    // takes connections; false with a message.
    bool start(const std::string &dir, std::string &error);
    void stop();
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace sim
