// The station thread's whole handling of driver events, against a fake
// driver whose station table comes from the input, with the station file in
// a temp folder and a shell recorder in place of the shell.
//
// Input: a table header (mode byte, 16-bit little-endian length, that many
// table bytes), then operations: a byte whose value mod 8 picks a received
// message (0-4: a 16-bit little-endian length of at most 1024, then the
// message), a sample round (5), the run state's report of changes (6), a
// recount (7) or a flood (8: a count byte, then the last message again that
// many times with the MAC's last byte counting up, to reach the list's
// bound). The list starts empty for every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "debug_log.h"
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
    FUZZ_CHECK(std::strlen(ifname) < 8);
    if (table_answer < 0) return table_answer;
    std::size_t n = table.size() < size ? table.size() : size;
    if (n) std::memcpy(buf, table.data(), n);
    return table_answer;
}
const WifiDriverOps kFakeDriver = {fake_open, fake_send, fake_recv, fake_close, fake_table};

plat::ShellRecorder *shell = nullptr;
std::string station_file;

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

// As the run state reports: every change once, then the recount.
void report_changes() {
    int guard = 0;
    while (NLnode *s = isNLlistSendStaInfo(NLhead)) {
        FUZZ_CHECK(++guard <= 2 * NL_LIST_MAX);
        if (s->type == 2)
            NLlistdelete(NLhead, s);
        else
            s->type = 0;
    }
    get_OnlineStaNum(NLhead);
}

void flood(std::vector<std::uint8_t> msg, int count) {
    constexpr std::size_t kMacLast = sl::kNlHeaderSize + sl::kEvMac + 5;
    for (int i = 0; i < count; ++i) {
        if (msg.size() > kMacLast) msg[kMacLast] = static_cast<std::uint8_t>(i);
        nl_handle_message(msg.data(), msg.size());
    }
}

void check_list() {
    int records = 0;
    for (NLnode *p = NLhead->next; p; p = p->next) {
        FUZZ_CHECK(++records <= NL_LIST_MAX);
        FUZZ_CHECK(p->type <= 2);
        FUZZ_CHECK(p->usrcnt <= USR_RING_MAX);
        FUZZ_CHECK(std::memchr(p->ssid, '\0', sizeof p->ssid));
        FUZZ_CHECK(std::memchr(p->hostname, '\0', sizeof p->hostname));
        int ring = 0;
        if (UsrNode *oldest = p->usrlist) {
            const UsrNode *q = oldest;
            do {
                FUZZ_CHECK(++ring <= USR_RING_MAX);
                q = q->next;
            } while (q != oldest);
        }
        FUZZ_CHECK(ring == p->usrcnt);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string dir = fuzz::make_temp_dir("station-fuzz");
    DebugLogPaths paths;
    paths.control = dir + "/mqtt_debug_enable";
    paths.dir = dir;
    paths.current = dir + "/mqttlog.new";
    paths.previous = dir + "/mqttlog.old";
    if (FILE *fp = std::fopen(paths.control.c_str(), "w")) {
        std::fputs("0\n", fp);  // logging off: the log is fuzzed on its own
        std::fclose(fp);
    }
    debug_log_set_paths(paths);
    shell = new plat::ShellRecorder;  // lives as long as the process
    init_debug_info();
    station_file = dir + "/sta_mac_ip";
    station_file_set_path(station_file.c_str());
    wifi_set_driver(&kFakeDriver);
    initNLlist();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader in{data, size};
    read_table(in);
    std::vector<std::uint8_t> last;
    while (!in.empty()) {
        std::uint8_t op = in.byte() % 9;
        if (op <= 4) {
            std::size_t len = in.u16() % (sl::kRecvBufferSize + 1);
            last = in.bytes(len);  // exact size
            nl_handle_message(last.data(), last.size());
        } else if (op == 8) {
            flood(last, in.byte());
        } else if (op == 5) {
            NLlistUpdate(NLhead);
        } else if (op == 6) {
            report_changes();
        } else {
            get_OnlineStaNum(NLhead);
        }
        check_list();
    }
    NLlistclear(NLhead);
    FUZZ_CHECK(NLhead->next == nullptr);
    shell->clear();
    if (FILE *fp = std::fopen(station_file.c_str(), "w")) std::fclose(fp);  // empty again
    return 0;
}
