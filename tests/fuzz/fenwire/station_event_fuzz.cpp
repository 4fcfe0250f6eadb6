// Any bytes as a received netlink message: a decoded event has terminated
// texts that fit their fields, and a refused one leaves the output untouched.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "station_event.h"

namespace {

bool terminated(const char *text, std::size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An exact-size copy, so that a read past the message is caught.
    std::vector<std::uint8_t> msg(data, data + size);
    StationEvent ev;
    std::memset(&ev, 0xA5, sizeof ev);
    StationEvent before = ev;
    if (!decode_station_event(msg.data(), msg.size(), &ev)) {
        FUZZ_CHECK(std::memcmp(&ev, &before, sizeof ev) == 0);
        return 0;
    }
    FUZZ_CHECK(ev.type == station_layout::kEventJoin || ev.type == station_layout::kEventLeave);
    FUZZ_CHECK(terminated(ev.staip, sizeof ev.staip));
    FUZZ_CHECK(terminated(ev.ssid, sizeof ev.ssid));
    FUZZ_CHECK(terminated(ev.extra, sizeof ev.extra));
    FUZZ_CHECK(terminated(ev.hostname, sizeof ev.hostname));
    // The host name starts 230 bytes in: nothing of it can come from beyond the message.
    FUZZ_CHECK(size > 230 || ev.hostname[0] == '\0');
    FUZZ_CHECK(size < 230 || std::strlen(ev.hostname) <= size - 230);
    return 0;
}
