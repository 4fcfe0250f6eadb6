// Station events sent straight to an agent's fake-driver socket
// (DIR/events.sock of sim/fakewifi), as fast as the agent takes them: one
// socket for every event instead of a fakewifi command per event.
#pragma once

#include <cstdint>
#include <string>

namespace faults {

class EventSender {
  public:
    // `dir`: the host path of the fake driver's folder.
    explicit EventSender(const std::string &dir);
    ~EventSender();
    EventSender(const EventSender &) = delete;
    EventSender &operator=(const EventSender &) = delete;

    // A join (or leave) of station number `n` (MAC 02:00:00:nn:nn:nn, IP
    // 10.n.n.n) on radio 1, WLAN 0. An agent that has not taken the event
    // within `wait_ms` loses it, as a full netlink socket loses one; false then.
    bool send(bool join, uint32_t n, int wait_ms = 1000);

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace faults
