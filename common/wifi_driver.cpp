#include "wifi_driver.h"

#include <linux/netlink.h>
#include <linux/wireless.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "station_layout.h"

namespace {

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

sockaddr_nl netlink_address(uint32_t port) {
    sockaddr_nl addr;
    std::memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = port;
    addr.nl_groups = 0;
    return addr;
}

int linux_nl_open(uint32_t port) {
    Socket s(socket(AF_NETLINK, SOCK_RAW, station_layout::kNetlinkProtocol));
    if (s.get() < 0) {
        std::printf("error getting socket: %s", std::strerror(errno));
        return -1;
    }
    sockaddr_nl addr = netlink_address(port);
    if (bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) return -1;
    return s.release();
}

// A one-buffer message with a netlink peer address.
msghdr netlink_msghdr(sockaddr_nl *peer, iovec *iov) {
    msghdr hdr{};
    hdr.msg_name = peer;
    hdr.msg_namelen = sizeof *peer;
    hdr.msg_iov = iov;
    hdr.msg_iovlen = 1;
    return hdr;
}

ssize_t linux_nl_send(int fd, const void *msg, size_t len) {
    sockaddr_nl kernel = netlink_address(0);
    iovec iov{const_cast<void *>(msg), len};
    msghdr hdr = netlink_msghdr(&kernel, &iov);
    return sendmsg(fd, &hdr, 0);
}

ssize_t linux_nl_recv(int fd, void *buf, size_t size) {
    sockaddr_nl from{};
    iovec iov{buf, size};
    msghdr hdr = netlink_msghdr(&from, &iov);
    return recvmsg(fd, &hdr, 0);
}

void linux_nl_close(int fd) {
    close(fd);
}

long linux_station_table(const char *ifname, uint8_t *buf, size_t size) {
    Socket s(socket(AF_INET, SOCK_DGRAM, 0));
    if (s.get() < 0) return kTableNoSocket;
    iwreq req;
    std::memset(&req, 0, sizeof req);
    if (std::strlen(ifname) >= sizeof req.ifr_name) return kTableNameTooLong;
    std::strncpy(req.ifr_name, ifname, sizeof req.ifr_name - 1);
    req.u.data.pointer = buf;
    req.u.data.length = static_cast<__u16>(size);
    req.u.data.flags = 0;
    if (ioctl(s.get(), station_layout::kStationTableIoctl, &req) < 0) return kTableIoctlFailed;
    return req.u.data.length;
}

const WifiDriverOps kLinuxDriver = {linux_nl_open, linux_nl_send, linux_nl_recv, linux_nl_close,
                                    linux_station_table};

std::atomic<const WifiDriverOps *> current_driver{&kLinuxDriver};

}  // namespace

const WifiDriverOps &wifi_driver() {
    return *current_driver.load();
}

void wifi_set_driver(const WifiDriverOps *ops) {
    current_driver.store(ops ? ops : &kLinuxDriver);
}
