// ostrel's whole handling of a received driver event, over any bytes: the
// record it queues, the station file line of a join and the sed command of a
// leave, against a fake driver whose station table comes from the input,
// with the station file in a temp folder and a shell recorder for the shell.
//
// Input: a table header (mode byte, 16-bit little-endian length, that many
// table bytes), then operations, a byte each whose value mod 8 picks: 0-4 a
// received message (a 16-bit little-endian length, mod 1089, then the
// message), 5 a flood (a count byte, then the last message again that many
// times with the MAC's last byte counting up, to reach the list's bound; at
// most 512 such messages in all), 6 the run loop's drain (every record
// reported oldest first), 7 a deletion at the index of the next 4 bytes
// (little-endian, signed). The list starts empty for every input.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "shell_recorder.h"
#include "station_layout.h"
#include "station_monitor.h"
#include "wifi_driver.h"

namespace {

namespace sl = station_layout;

using fuzz::Reader;

// What the fake driver answers for every interface during one input.
std::vector<std::uint8_t> table;
long table_answer = 0;  // < 0: a StationTableError; else the length claimed
int table_asks = 0;

int fake_open(uint32_t) {
    return 7;
}
ssize_t fake_send(int, const void *, size_t len) {
    return static_cast<ssize_t>(len);
}
ssize_t fake_recv(int, void *, size_t) {
    return -1;
}
void fake_close(int) {}
long fake_table(const char *ifname, uint8_t *buf, size_t size) {
    ++table_asks;
    FUZZ_CHECK(std::strlen(ifname) < 8);
    FUZZ_CHECK(size == sl::kStationTableSize);
    if (table_answer < 0) return table_answer;
    std::size_t n = table.size() < size ? table.size() : size;
    if (n) std::memcpy(buf, table.data(), n);
    return table_answer;
}
const WifiDriverOps kFakeDriver = {fake_open, fake_send, fake_recv, fake_close, fake_table};

plat::ShellRecorder *shell = nullptr;
std::string station_file;
long file_bytes = 0;  // what the station file should hold so far

void read_table(Reader &in) {
    std::uint8_t mode = in.byte();
    table = in.bytes(in.u16());
    switch (mode % 5) {
        case 0:
            table_answer = static_cast<long>(table.size());
            break;
        case 1:
            table_answer = kTableNoSocket;
            break;
        case 2:
            table_answer = kTableNameTooLong;
            break;
        case 3:
            table_answer = kTableIoctlFailed;
            break;
        default:
            table_answer = static_cast<long>(sl::kStationTableSize) + 4096;
            break;
    }
}

long file_size() {
    struct stat st;
    return stat(station_file.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// The file's bytes from `offset` on.
std::string read_file_from(long offset) {
    std::string out;
    FILE *fp = std::fopen(station_file.c_str(), "r");
    if (!fp) return out;
    std::fseek(fp, offset, SEEK_SET);
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
    std::fclose(fp);
    return out;
}

std::vector<NLnode *> records() {
    std::vector<NLnode *> out;
    for (NLnode *p = NLhead->next; p; p = p->next) {
        out.push_back(p);
        FUZZ_CHECK(out.size() <= NL_LIST_MAX);
    }
    return out;
}

// The event as the receive buffer holds it, read here on its own terms:
// 1024 bytes, zeros beyond the message.
struct Expected {
    bool taken = false;
    std::uint32_t type = 0;
    std::int32_t radioid = 0;
    std::uint8_t wlanid = 0;
    char mac[18] = "";
    char ip[16] = "";
    std::string ssid, extra, hostname;
};

std::uint32_t word(const std::uint8_t *p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::string text_at(const std::uint8_t *p, std::size_t most, std::size_t room) {
    std::size_t n = 0;
    while (n < most && n < room && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

Expected expect(const std::vector<std::uint8_t> &msg) {
    std::uint8_t buf[sl::kRecvBufferSize] = {};
    if (!msg.empty()) std::memcpy(buf, msg.data(), msg.size() < sizeof buf ? msg.size() : sizeof buf);
    const std::uint8_t *p = buf + sl::kNlHeaderSize;
    Expected e;
    e.type = word(p + sl::kEvType);
    e.taken = word(p + sl::kEvZero) == 0 && (e.type == 1 || e.type == 2);
    if (!e.taken) return e;
    std::memcpy(&e.radioid, p + sl::kEvRadio, 4);
    e.wlanid = p[sl::kEvWlan];
    const std::uint8_t *m = p + sl::kEvMac;
    std::snprintf(e.mac, sizeof e.mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3],
                  m[4], m[5]);
    const std::uint8_t *ip = p + sl::kEvIp;
    std::snprintf(e.ip, sizeof e.ip, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    std::size_t end = sizeof buf - sl::kNlHeaderSize;
    e.ssid = text_at(p + sl::kEvSsid, 32, sl::kEvSsidSize);
    e.extra = text_at(p + sl::kEvExtra, 128, sl::kEvExtraSize);
    e.hostname = text_at(p + sl::kEvHostname, 33, end - sl::kEvHostname);
    return e;
}

template <std::size_t N>
bool terminated(const char (&field)[N]) {
    return std::memchr(field, '\0', N) != nullptr;
}

bool has_interface(std::int32_t radio, std::uint8_t wlan) {
    return (radio == 1 || radio == 2) && wlan <= 3;
}

void check_record(const NLnode *r, const Expected &e) {
    FUZZ_CHECK(terminated(r->staip) && terminated(r->ssid) && terminated(r->mac) &&
               terminated(r->extra) && terminated(r->hostname));
    FUZZ_CHECK(r->type == e.type);
    FUZZ_CHECK(r->radioid == e.radioid && r->wlanid == e.wlanid);
    FUZZ_CHECK(std::strcmp(r->mac, e.mac) == 0);
    FUZZ_CHECK(std::strcmp(r->staip, e.ip) == 0);
    FUZZ_CHECK(r->ssid == e.ssid);
    FUZZ_CHECK(r->extra == e.extra);
    FUZZ_CHECK(r->hostname == e.hostname);  // at most 33 characters
    if (!has_interface(e.radioid, e.wlanid) || table_answer < 0) {
        FUZZ_CHECK(r->rssi == 0 && r->phyrate == 0 && r->uptime == 0 && r->rxrate == 0 &&
                   r->txrate == 0 && r->rxbytes == 0 && r->txbytes == 0);
    }
}

void handle(const std::vector<std::uint8_t> &msg) {
    Expected e = expect(msg);
    std::vector<NLnode *> before = records();
    shell->clear();
    table_asks = 0;

    nl_handle_message(msg.data(), msg.size());

    std::vector<NLnode *> after = records();
    std::vector<std::string> cmds = shell->commands();
    if (!e.taken) {
        FUZZ_CHECK(after == before);
        FUZZ_CHECK(cmds.empty());
        FUZZ_CHECK(table_asks == 0);
        FUZZ_CHECK(file_size() == file_bytes);
        return;
    }
    // The older records stay as they were, in order; one is added unless full.
    FUZZ_CHECK(after.size() >= before.size());
    for (std::size_t i = 0; i < before.size(); ++i) FUZZ_CHECK(after[i] == before[i]);
    if (before.size() < static_cast<std::size_t>(NL_LIST_MAX)) {
        FUZZ_CHECK(after.size() == before.size() + 1);
        check_record(after.back(), e);
        FUZZ_CHECK(table_asks == (has_interface(e.radioid, e.wlanid) ? 1 : 0));
    } else {
        FUZZ_CHECK(after.size() == before.size());
        FUZZ_CHECK(table_asks == 0);
    }
    if (e.type == sl::kEventJoin) {
        // One line more, of the form "mac:<mac> ip:<dotted>\n"; no command.
        FUZZ_CHECK(cmds.empty());
        std::string line = std::string("mac:") + e.mac + " ip:" + e.ip + "\n";
        FUZZ_CHECK(line.size() <= 41);
        FUZZ_CHECK(read_file_from(file_bytes) == line);
        file_bytes += static_cast<long>(line.size());
    } else {
        // Exactly the sed command of the MAC; the recorder runs nothing.
        FUZZ_CHECK(cmds.size() == 1);
        FUZZ_CHECK(cmds[0] == std::string("sed -i '/") + e.mac + "/d' " + station_file);
        FUZZ_CHECK(file_size() == file_bytes);
    }
}

// Floods stop after this many messages in one input, which keeps an input
// within the fuzzer's time limit.
constexpr int kFloodBudget = 4 * NL_LIST_MAX;
int flood_left = kFloodBudget;

void flood(std::vector<std::uint8_t> msg, int count) {
    constexpr std::size_t kMacLast = sl::kNlHeaderSize + sl::kEvMac + 5;
    for (int i = 0; i < count && flood_left > 0; ++i, --flood_left) {
        if (msg.size() > kMacLast) msg[kMacLast] = static_cast<std::uint8_t>(i);
        handle(msg);
    }
}

// As the run loop drains: the oldest record, until none is left.
void drain() {
    int guard = 0;
    while (isNLlistnil(NLhead)) {
        FUZZ_CHECK(++guard <= NL_LIST_MAX);
        NLnode *second = NLhead->next->next;
        FUZZ_CHECK(NLlistdelete(NLhead, 1) == 0);
        FUZZ_CHECK(NLhead->next == second);
    }
    FUZZ_CHECK(NLlistdelete(NLhead, 1) == 1);
}

void delete_at(std::int32_t index) {
    std::vector<NLnode *> before = records();
    int result = NLlistdelete(NLhead, index);
    std::vector<NLnode *> after = records();
    if (index < 1 || static_cast<std::size_t>(index) > before.size()) {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(after == before);
        return;
    }
    FUZZ_CHECK(result == 0);
    before.erase(before.begin() + (index - 1));
    FUZZ_CHECK(after == before);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string dir = fuzz::make_temp_dir("ostrel-station-fuzz");
    shell = new plat::ShellRecorder;  // lives as long as the process
    station_file = dir + "/sta_mac_ip";
    station_file_set_path(station_file.c_str());
    wifi_set_driver(&kFakeDriver);
    NLhead = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));  // as start-up makes it
    FUZZ_CHECK(NLhead);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader in{data, size};
    read_table(in);
    flood_left = kFloodBudget;
    std::vector<std::uint8_t> last;
    while (!in.empty()) {
        std::uint8_t op = in.byte() % 8;
        if (op <= 4) {
            // A little beyond the receive buffer, which the decoder cuts to.
            std::size_t len = in.u16() % (sl::kRecvBufferSize + 65);
            last = in.bytes(len);  // exact size
            handle(last);
        } else if (op == 5) {
            flood(last, in.byte());
        } else if (op == 6) {
            drain();
        } else {
            delete_at(static_cast<std::int32_t>(in.u32()));
        }
    }
    NLlistclear(NLhead);
    FUZZ_CHECK(!isNLlistnil(NLhead));
    shell->clear();
    file_bytes = 0;
    std::remove(station_file.c_str());
    return 0;
}
