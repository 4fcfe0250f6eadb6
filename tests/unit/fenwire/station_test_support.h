// Test support for the station monitor: a fake wireless driver behind the
// WifiDriverOps seam (scripted netlink messages, station tables per
// interface), builders of events and table entries in the driver's layouts,
// and a fixture with the log, the shell recorder and the station file in a
// temp folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "debug_log.h"
#include "shell_recorder.h"
#include "station_event.h"
#include "station_layout.h"
#include "station_monitor.h"
#include "temp_log.h"
#include "wifi_driver.h"

namespace station_test {

namespace sl = station_layout;
using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

template <typename T>
void put(Bytes &b, size_t off, T v) {
    if (b.size() < off + sizeof v) b.resize(off + sizeof v);
    std::memcpy(b.data() + off, &v, sizeof v);
}

inline void put_text(Bytes &b, size_t off, const std::string &s) {
    if (b.size() < off + s.size()) b.resize(off + s.size());
    std::memcpy(b.data() + off, s.data(), s.size());
}

struct Event {
    uint32_t type = sl::kEventJoin;
    int32_t radio = 1;
    uint8_t wlan = 0;
    Mac mac{0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
    std::array<uint8_t, 4> ip{192, 168, 1, 20};
    std::string ssid = "guest";
    std::string extra = "x";
    std::string hostname = "phone";
};

// A received message: netlink header then the payload, the host name
// terminated, at least the registration's size (as a driver sends it).
inline Bytes event_message(const Event &e) {
    Bytes b(sl::kNlHeaderSize + sl::kEventPayloadSize, 0);
    const size_t p = sl::kNlHeaderSize;
    put<uint32_t>(b, p + sl::kEvType, e.type);
    put<int32_t>(b, p + sl::kEvRadio, e.radio);
    std::memcpy(b.data() + p + sl::kEvMac, e.mac.data(), 6);
    std::memcpy(b.data() + p + sl::kEvIp, e.ip.data(), 4);
    put_text(b, p + sl::kEvSsid, e.ssid);
    b[p + sl::kEvWlan] = e.wlan;
    put_text(b, p + sl::kEvExtra, e.extra);
    put_text(b, p + sl::kEvHostname, e.hostname + std::string(1, '\0'));
    put<uint32_t>(b, 0, static_cast<uint32_t>(b.size()));
    return b;
}

struct Entry {
    Mac mac{};
    uint16_t len = 232;
    uint8_t rssi = 40;
    uint8_t rate_index = 0;
    uint8_t rate_byte = 0;
    uint32_t kbps = 0;
    uint64_t rxbytes = 0, txbytes = 0;
    uint32_t rxrate = 0, txrate = 0, uptime = 0, aux32 = 0;
    uint16_t aux16 = 0;
};

// One table entry of `len` bytes (at least the fields' span).
inline Bytes table_entry(const Entry &e) {
    Bytes b(std::max<size_t>(e.len, sl::kEntryMinSize), 0);
    put<uint16_t>(b, sl::kEntLen, e.len);
    b[sl::kEntRssi] = e.rssi;
    std::memcpy(b.data() + sl::kEntMac, e.mac.data(), 6);
    b[sl::kEntRateIndex] = e.rate_index;
    // The rate byte goes where the index points, whatever field lies there.
    if (sl::kEntRates + e.rate_index < b.size()) b[sl::kEntRates + e.rate_index] = e.rate_byte;
    put<uint32_t>(b, sl::kEntTxRateKbps, e.kbps);
    put<uint64_t>(b, sl::kEntRxBytes, e.rxbytes);
    put<uint64_t>(b, sl::kEntTxBytes, e.txbytes);
    put<uint32_t>(b, sl::kEntRxRate, e.rxrate);
    put<uint32_t>(b, sl::kEntTxRate, e.txrate);
    put<uint32_t>(b, sl::kEntUptime, e.uptime);
    put<uint32_t>(b, sl::kEntAux32, e.aux32);
    put<uint16_t>(b, sl::kEntAux16, e.aux16);
    b.resize(e.len >= sl::kEntryMinSize ? e.len : b.size());
    return b;
}

inline Bytes table_of(const std::vector<Entry> &entries) {
    Bytes t;
    for (const Entry &e : entries) {
        Bytes b = table_entry(e);
        t.insert(t.end(), b.begin(), b.end());
    }
    return t;
}

// The fake driver: one per process, reached through static functions.
struct FakeDriver {
    std::mutex mu;
    std::condition_variable cv;
    // netlink
    int open_result = 7;
    int send_errno = 0;          // non-zero: the registration send fails so
    std::deque<Bytes> messages;  // delivered in order, then the receive fails
    uint32_t opened_port = 0;
    int open_calls = 0;
    Bytes sent;
    bool closed = false;
    bool receive_failed = false;
    // station table
    std::map<std::string, Bytes> tables;  // by interface; a missing one is empty
    long table_result = 0;                // non-zero: returned as is
    long claimed = 0;                     // non-zero: the length told after the copy
    std::vector<std::string> asked;       // interfaces asked, in order

    void reset() {
        std::lock_guard<std::mutex> g(mu);
        open_result = 7;
        send_errno = 0;
        messages.clear();
        opened_port = 0;
        open_calls = 0;
        sent.clear();
        closed = receive_failed = false;
        tables.clear();
        table_result = 0;
        claimed = 0;
        asked.clear();
    }

    // Waits (real time, bounded) until `done` holds.
    template <typename Pred>
    bool wait_for(Pred done) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, std::chrono::seconds(10), done);
    }

    static FakeDriver &get() {
        static FakeDriver d;
        return d;
    }

    static int nl_open(uint32_t port) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        d.opened_port = port;
        d.open_calls++;
        d.cv.notify_all();
        return d.open_result;
    }
    static ssize_t nl_send(int, const void *msg, size_t len) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        d.sent.assign(static_cast<const uint8_t *>(msg), static_cast<const uint8_t *>(msg) + len);
        if (d.send_errno) {
            errno = d.send_errno;
            return -1;
        }
        return static_cast<ssize_t>(len);
    }
    static ssize_t nl_recv(int, void *buf, size_t size) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        if (d.messages.empty()) {
            d.receive_failed = true;
            errno = ECONNRESET;
            return -1;
        }
        Bytes m = std::move(d.messages.front());
        d.messages.pop_front();
        size_t n = std::min(size, m.size());
        if (n) std::memcpy(buf, m.data(), n);
        return static_cast<ssize_t>(n);
    }
    static void nl_close(int) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        d.closed = true;
        d.cv.notify_all();
    }
    static long station_table(const char *ifname, uint8_t *buf, size_t size) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        d.asked.push_back(ifname);
        if (d.table_result) return d.table_result;
        const Bytes &t = d.tables[ifname];
        size_t n = std::min(size, t.size());
        if (n) std::memcpy(buf, t.data(), n);
        return d.claimed ? d.claimed : static_cast<long>(n);
    }
};

inline const WifiDriverOps kFakeOps = {FakeDriver::nl_open, FakeDriver::nl_send,
                                       FakeDriver::nl_recv, FakeDriver::nl_close,
                                       FakeDriver::station_table};

class StationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temp_log_.dir();
        log_path_ = temp_log_.path();
        init_debug_info();
        file_ = dir_ + "/sta_mac_ip";
        station_file_set_path(file_.c_str());
        driver().reset();
        wifi_set_driver(&kFakeOps);
        initNLlist();
        STAflag = 0;
        shell.clear();
    }

    void TearDown() override {
        NLlistclear(NLhead);
        wifi_set_driver(nullptr);
        station_file_set_path(nullptr);
    }

    static FakeDriver &driver() { return FakeDriver::get(); }

    static void deliver(const Event &e) {
        Bytes m = event_message(e);
        nl_handle_message(m.data(), m.size());
    }

    static std::vector<NLnode *> records() {
        std::vector<NLnode *> out;
        for (NLnode *p = NLhead->next; p; p = p->next) out.push_back(p);
        return out;
    }

    std::string read_file(const std::string &path) const {
        std::ifstream f(path);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::string station_file() const { return read_file(file_); }
    // The messages of the log's lines, without their headers.
    std::vector<std::string> log_messages() const {
        std::istringstream in(read_file(log_path_));
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            auto tab = line.find('\t');
            out.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return out;
    }

    TempLog temp_log_{"station-test"};
    plat::ShellRecorder shell;
    std::string dir_, log_path_, file_;
};

}  // namespace station_test
