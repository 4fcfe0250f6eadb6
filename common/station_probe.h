// What both station monitors do with the wireless driver beyond decoding
// its bytes: the interface of a radio and WLAN, one station's figures from
// the driver's station table, and the netlink socket the events arrive on
// with the registration that starts them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "station_event.h"

// The interface of radio 1-2 and WLAN 0-3, or null for any other pair.
const char *station_ifname(int32_t radioid, uint8_t wlanid);

enum class SampleRead {
    kFound,     // *out holds the station's figures
    kNotFound,  // the table was read; the station is not in it (*out zero)
    kNoTable,   // the driver gave no table (printed why)
    kNoMemory,  // no room for the table
};

// Asks the driver for `ifname`'s station table and finds `mac` in it. The
// driver's failures are printed: "socket(SOCK_DRAGM)", "ifname too long: %s"
// (standard error), "unable to get station information".
SampleRead read_station_sample(const char *ifname, const uint8_t *mac, StationSample *out);

// The agent's netlink port: the station thread's identifier shifted left by
// 16, or-ed with the process id. Called on the station thread.
uint32_t own_netlink_port();

// Sends the registration of `port` on `fd`; a failure is printed as
// "get error sendmsg = %s".
void send_registration(int fd, uint32_t port);

// The netlink socket of the station thread, closed through the driver.
class NetlinkSocket {
  public:
    explicit NetlinkSocket(int fd) : fd_(fd) {}
    ~NetlinkSocket();
    NetlinkSocket(const NetlinkSocket &) = delete;
    NetlinkSocket &operator=(const NetlinkSocket &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};
