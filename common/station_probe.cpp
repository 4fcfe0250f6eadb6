#include "station_probe.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "station_layout.h"
#include "wifi_driver.h"

namespace sl = station_layout;

const char *station_ifname(int32_t radioid, uint8_t wlanid) {
    if (radioid < 1 || radioid > 2 || wlanid > 3) return nullptr;
    return ifname_list[(radioid - 1) * 4 + wlanid];
}

SampleRead read_station_sample(const char *ifname, const uint8_t *mac, StationSample *out) {
    std::unique_ptr<uint8_t[]> table(new (std::nothrow) uint8_t[sl::kStationTableSize]);
    if (!table) return SampleRead::kNoMemory;
    long got = wifi_driver().station_table(ifname, table.get(), sl::kStationTableSize);
    if (got == kTableNoSocket) {
        std::puts("socket(SOCK_DRAGM)");
        return SampleRead::kNoTable;
    }
    if (got == kTableNameTooLong) {
        std::fprintf(stderr, "ifname too long: %s\n", ifname);
        return SampleRead::kNoTable;
    }
    if (got < 0) {
        std::puts("unable to get station information");
        return SampleRead::kNoTable;
    }
    // A driver that claims more than the buffer holds is read up to its end.
    std::size_t filled = static_cast<std::size_t>(got);
    if (filled > sl::kStationTableSize) filled = sl::kStationTableSize;
    return find_station_sample(table.get(), filled, mac, out) ? SampleRead::kFound
                                                              : SampleRead::kNotFound;
}

uint32_t own_netlink_port() {
    unsigned long tid = static_cast<unsigned long>(pthread_self());
    unsigned long pid = static_cast<unsigned long>(getpid());
    return static_cast<uint32_t>((tid << 16) | pid);
}

void send_registration(int fd, uint32_t port) {
    uint8_t msg[sl::kRegistrationLen];
    build_registration(port, msg);
    if (wifi_driver().nl_send(fd, msg, sizeof msg) < 0)
        std::printf("get error sendmsg = %s\n", std::strerror(errno));
}

NetlinkSocket::~NetlinkSocket() {
    if (fd_ >= 0) wifi_driver().nl_close(fd_);
}
