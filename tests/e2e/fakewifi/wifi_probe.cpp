// wifi_probe PORT EVENTS [IFNAME...]: does what an agent's station monitor
// does against the wireless driver and prints what it got back: opens and
// binds the netlink socket of protocol 22 with PORT, sends a registration,
// receives EVENTS messages, then reads the station table of each IFNAME.
#include <linux/netlink.h>
#include <linux/wireless.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "station_layout.h"

namespace sl = station_layout;

namespace {

template <typename T>
T get(const unsigned char *p, size_t at) {
    T v;
    std::memcpy(&v, p + at, sizeof v);
    return v;
}

int open_netlink(uint32_t port) {
    int fd = socket(AF_NETLINK, SOCK_RAW, sl::kNetlinkProtocol);
    if (fd < 0) return printf("socket: %s\n", strerror(errno)), -1;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = port;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), 12) != 0) {
        printf("bind: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void send_registration(int fd, uint32_t port) {
    unsigned char msg[sl::kRegistrationLen] = {};
    nlmsghdr hdr{};
    hdr.nlmsg_len = sizeof msg;
    hdr.nlmsg_pid = port;
    std::memcpy(msg, &hdr, sizeof hdr);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    iovec iov{msg, sizeof msg};
    msghdr mh{};
    mh.msg_name = &to;
    mh.msg_namelen = sizeof to;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n = sendmsg(fd, &mh, 0);
    if (n < 0)
        printf("sendmsg: %s\n", strerror(errno));
    else
        printf("sent %zd\n", n);
    fflush(stdout);
}

void print_event(const unsigned char *m, ssize_t n, const sockaddr_nl &from) {
    printf("recv %zd from family=%u port=%u\n", n, from.nl_family, from.nl_pid);
    std::string hex;
    char h[3];
    for (ssize_t i = 0; i < n; ++i) snprintf(h, sizeof h, "%02x", m[i]), hex += h;
    printf("bytes %s\n", hex.c_str());
    if (n < static_cast<ssize_t>(sl::kRegistrationLen)) return;
    const unsigned char *p = m + sl::kNlHeaderSize;
    const unsigned char *mac = p + sl::kEvMac, *ip = p + sl::kEvIp;
    printf(
        "type=%u radio=%d wlan=%u mac=%02x:%02x:%02x:%02x:%02x:%02x ip=%u.%u.%u.%u ssid=%s "
        "extra=%s host=%s\n",
        get<uint32_t>(p, sl::kEvType), get<int32_t>(p, sl::kEvRadio), p[sl::kEvWlan], mac[0],
        mac[1], mac[2], mac[3], mac[4], mac[5], ip[0], ip[1], ip[2], ip[3],
        reinterpret_cast<const char *>(p + sl::kEvSsid),
        reinterpret_cast<const char *>(p + sl::kEvExtra),
        reinterpret_cast<const char *>(p + sl::kEvHostname));
}

ssize_t receive_with_recvmsg(int fd, unsigned char *buf, sockaddr_nl &from) {
    iovec iov{buf, sl::kRecvBufferSize};
    msghdr mh{};
    mh.msg_name = &from;
    mh.msg_namelen = sizeof from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    return recvmsg(fd, &mh, 0);
}

// Odd events through recvfrom, even ones through recvmsg, as agents use both.
bool receive_event(int fd, bool use_recvmsg) {
    unsigned char buf[sl::kRecvBufferSize + 1] = {};
    sockaddr_nl from{};
    from.nl_pid = 99;
    socklen_t len = sizeof from;
    ssize_t n = use_recvmsg ? receive_with_recvmsg(fd, buf, from)
                            : recvfrom(fd, buf, sl::kRecvBufferSize, 0,
                                       reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) return printf("recv: %s\n", strerror(errno)), false;
    print_event(buf, n, from);
    fflush(stdout);
    return true;
}

void print_entry(const unsigned char *e) {
    const unsigned char *mac = e + sl::kEntMac;
    printf(
        "  len=%u mac=%02x:%02x:%02x:%02x:%02x:%02x rssi=%u rate_index=%u rate_byte=0x%02x "
        "txkbps=%u rxbytes=%llu txbytes=%llu rxrate=%u txrate=%u uptime=%u aux32=%u aux16=%u\n",
        get<uint16_t>(e, sl::kEntLen), mac[0], mac[1], mac[2], mac[3], mac[4], mac[5],
        e[sl::kEntRssi], e[sl::kEntRateIndex], e[sl::kEntRates + e[sl::kEntRateIndex] % 44],
        get<uint32_t>(e, sl::kEntTxRateKbps),
        static_cast<unsigned long long>(get<uint64_t>(e, sl::kEntRxBytes)),
        static_cast<unsigned long long>(get<uint64_t>(e, sl::kEntTxBytes)),
        get<uint32_t>(e, sl::kEntRxRate), get<uint32_t>(e, sl::kEntTxRate),
        get<uint32_t>(e, sl::kEntUptime), get<uint32_t>(e, sl::kEntAux32),
        get<uint16_t>(e, sl::kEntAux16));
}

void print_table(const char *ifname) {
    std::vector<unsigned char> buf(sl::kStationTableSize);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    iwreq req{};
    snprintf(req.ifr_ifrn.ifrn_name, sizeof req.ifr_ifrn.ifrn_name, "%s", ifname);
    req.u.data.pointer = buf.data();
    req.u.data.length = static_cast<__u16>(buf.size());
    if (ioctl(s, sl::kStationTableIoctl, &req) != 0) {
        printf("ioctl %s: %s\n", ifname, strerror(errno));
    } else {
        printf("%s %u\n", ifname, req.u.data.length);
        size_t at = 0, left = req.u.data.length;
        while (left >= sl::kEntryMinSize) {
            uint16_t len = get<uint16_t>(buf.data(), at);
            print_entry(buf.data() + at);
            if (len == 0 || len > left) break;
            at += len, left -= len;
        }
    }
    close(s);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return fputs("usage: wifi_probe PORT EVENTS [IFNAME...]\n", stderr), 2;
    auto port = static_cast<uint32_t>(strtoul(argv[1], nullptr, 0));
    int fd = open_netlink(port);
    if (fd < 0) return 1;
    send_registration(fd, port);
    for (int i = 0; i < atoi(argv[2]); ++i)
        if (!receive_event(fd, i % 2 == 1)) return 1;
    for (int i = 3; i < argc; ++i) print_table(argv[i]);
    close(fd);
    return 0;
}
