// The station monitor's seam to the wireless driver: the netlink socket on
// which the driver sends station events, and the device-private ioctl that
// returns its station table. The default is the Linux kernel; tests install
// fakes that deliver scripted events and tables.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Failures of WifiDriverOps::station_table.
enum StationTableError : long {
    kTableNoSocket = -1,     // the datagram socket could not be opened
    kTableNameTooLong = -2,  // the interface name does not fit the request
    kTableIoctlFailed = -3,  // the driver refused the request
};

struct WifiDriverOps {
    // Opens a netlink socket of the driver's protocol bound to `port` (no
    // groups): the descriptor, or -1 (an open failure prints its reason).
    int (*nl_open)(uint32_t port);
    // Sends `len` bytes to the kernel (port 0): the count sent, or -1 with
    // errno set.
    ssize_t (*nl_send)(int fd, const void *msg, size_t len);
    // Receives one message into `buf`: its length, 0 when the peer closed,
    // or -1 with errno set.
    ssize_t (*nl_recv)(int fd, void *buf, size_t size);
    void (*nl_close)(int fd);
    // Fills `buf` with the station table of interface `ifname`: the number of
    // bytes filled, or a StationTableError.
    long (*station_table)(const char *ifname, uint8_t *buf, size_t size);
};

// The driver in use; never null.
const WifiDriverOps &wifi_driver();
// Replaces the driver for the whole process (nullptr: the kernel again).
// Install before the station thread starts.
void wifi_set_driver(const WifiDriverOps *ops);
