#include "station_flood.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "encode.h"
#include "fakewifi_abi.h"
#include "station_layout.h"

namespace faults {

EventSender::EventSender(const std::string &dir)
    : path_(dir + "/" FAKEWIFI_EVENTS_SOCK), fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    if (fd_ < 0 || path_.size() >= sizeof addr.sun_path) throw std::runtime_error("no socket");
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error("no agent on " + path_ + ": " + strerror(errno));
}

EventSender::~EventSender() {
    if (fd_ >= 0) close(fd_);
}

bool EventSender::send(bool join, uint32_t n, int wait_ms) {
    fakewifi::StationEvent ev;
    ev.type = join ? station_layout::kEventJoin : station_layout::kEventLeave;
    ev.mac = {0x02, 0, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    ev.ip = {10, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    ev.ssid = "flood";
    ev.hostname = "sta" + std::to_string(n);
    std::string bytes = fakewifi::encode_event(ev);
    for (;;) {
        if (::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT) ==
            static_cast<ssize_t>(bytes.size()))
            return true;
        if (errno != EAGAIN && errno != EINTR) return false;
        struct pollfd p = {fd_, POLLOUT, 0};
        if (poll(&p, 1, wait_ms) <= 0) return false;
    }
}

}  // namespace faults
