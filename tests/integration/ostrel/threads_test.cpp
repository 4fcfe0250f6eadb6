// All three threads of ostrel at once, for ThreadSanitizer and for the
// invariants that hold between them: the station thread under a churn of
// join and leave events, the library's network thread under a flood of
// inbound messages from a real broker (the first two taken by the script on
// that thread as the join and configure responses), and the run loop on
// the main thread reporting and answering the whole time.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "broker.h"
#include "locks.h"
#include "mqtt_probe.h"
#include "ostrel_fixture.h"
#include "run_loop.h"
#include "station_monitor.h"
#include "wifi_fake.h"

namespace ostrel_test {
namespace {

using sandbox::Broker;
using sandbox::MqttProbe;
using sandbox::wait_until;

constexpr int kStations = 40;
constexpr int kEvents = 2000;
constexpr int kMessages = 400;

constexpr const char *kRunScript = R"lua(
server_interval = 1
function APRunMessageType(t) if t == "get" then return 3 end return 0 end
function setGet_callback(t) uptime = uptime + 1 return "got", "t/reply" end
function handleNetlinkInfo(kind, mac) return "event " .. kind .. " " .. mac end
)lua";


// The fake driver's receive, except that once its messages are taken it
// parks the station thread for good: that thread outlives the test and must
// not run on into a clock or shell that the test has put away.
ssize_t receive_then_park(int fd, void *buf, size_t size) {
    auto &d = wifi_fake::FakeDriver::get();
    bool empty;
    {
        std::lock_guard<std::mutex> g(d.mu);
        empty = d.messages.empty();  // only this thread takes messages
    }
    if (empty)
        for (;;) pause();
    return wifi_fake::FakeDriver::nl_recv(fd, buf, size);
}

const WifiDriverOps kParkingOps = {wifi_fake::FakeDriver::nl_open, wifi_fake::FakeDriver::nl_send,
                                   receive_then_park, wifi_fake::FakeDriver::nl_close,
                                   wifi_fake::FakeDriver::station_table};

int heard_of(const MqttProbe &cloud, const std::string &payload) {
    int n = 0;
    for (auto &h : cloud.heard()) n += h.payload == payload;
    return n;
}

class Threads : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        mqtt_set_transport(nullptr);
        lua(kRunScript);
        lua("server_port = " + std::to_string(broker.port()));
        read_settings();
        station_file_set_path((std::string(::testing::TempDir()) + "ostrel_threads_sta").c_str());
        wifi_fake::load_churn(kStations, kEvents);
        // The station thread outlives the test: it stays on the fake driver.
        wifi_set_driver(&kParkingOps);
    }
    void TearDown() override {
        mqtt_clean();
        OstrelTest::TearDown();
    }
    Broker broker;
};

TEST_F(Threads, ChurnFloodAndTheRunLoopAtOnce) {
    ASSERT_EQ(mqtt_init(), 1);
    ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
    MqttProbe cloud(broker.port(), "cloud");
    cloud.subscribe("t/#");
    cloud.publish("t/sub", "join-ok");  // parsed by the script on the network thread
    cloud.publish("t/sub", "conf-ok");
    ASSERT_TRUE(wait_until([] { return AP_STATE.load() == 2; }));

    pthread_t station;
    ASSERT_EQ(pthread_create(&station, nullptr, _nl_thread_main, nullptr), 0);
    std::thread flood([&] {
        for (int i = 0; i < kMessages; ++i) cloud.publish("t/sub", "get");
    });
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        auto &d = wifi_fake::FakeDriver::get();
        wait_until(
            [&] {
                std::lock_guard<std::mutex> g(d.mu);
                return d.messages.empty();
            },
            30000);
        wait_until([&] { return heard_of(cloud, "got") == kMessages; }, 30000);
        stop = true;
    });
    RunLoop rl;
    run_enter(rl);
    while (!stop) run_pass(rl);
    run_pass(rl);  // what the last events queued
    flood.join();
    stopper.join();

    EXPECT_EQ(heard_of(cloud, "got"), kMessages) << "none lost while the queue was full";
    EXPECT_EQ(lua_strings("calls"), (std::vector<std::string>{"join:join-ok", "conf:conf-ok"}));
    EXPECT_GE(cloud.heard().size(), static_cast<size_t>(kMessages));
    MutexLock lock(netlink_mutex);
    EXPECT_EQ(isNLlistnil(NLhead), 0) << "every event reported";
}

}  // namespace
}  // namespace ostrel_test
