// Any bytes as a station table: the first 6 bytes name the MAC looked for,
// the rest is the table. A found sample matches an entry of the table; every
// entry-sized window gives a rate without reading past it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "station_event.h"

namespace sl = station_layout;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 6) return 0;
    const std::uint8_t *mac = data;
    std::vector<std::uint8_t> table(data + 6, data + size);  // exact size
    StationSample s;
    bool found = find_station_sample(table.data(), table.size(), mac, &s);
    if (!found) {
        FUZZ_CHECK(s.uptime == 0 && s.rxrate == 0 && s.txrate == 0 && s.rxbytes == 0 &&
                   s.txbytes == 0 && s.rssi == 0 && s.phyrate == 0 && s.aux32 == 0 && s.aux16 == 0);
    }
    // Entries of the smallest size, at every offset where one fits.
    for (std::size_t off = 0; off + sl::kEntryMinSize <= table.size(); off += 7) {
        std::vector<std::uint8_t> entry(table.begin() + off,
                                        table.begin() + off + sl::kEntryMinSize);
        station_phyrate(entry.data(), entry.size());
    }
    return 0;
}
