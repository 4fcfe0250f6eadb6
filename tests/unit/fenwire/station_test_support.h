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
#include "wifi_fake.h"

namespace station_test {

namespace sl = station_layout;
using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

using wifi_fake::Entry;
using wifi_fake::Event;
using wifi_fake::event_message;
using wifi_fake::put;
using wifi_fake::put_text;
using wifi_fake::table_entry;
using wifi_fake::table_of;

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
