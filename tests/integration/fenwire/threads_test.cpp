// All three threads of Fenwire at once, for ThreadSanitizer and for the
// invariants that hold between them: the station thread under a churn of
// join and leave events, the library's network thread under a flood of
// inbound messages from a real broker, and the run state on the main thread
// reporting, sampling and answering the whole time.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "broker.h"
#include "fenwire_fixture.h"
#include "locks.h"
#include "mqtt_probe.h"
#include "mqtt_session.h"
#include "run_state.h"
#include "station_monitor.h"
#include "wifi_fake.h"

namespace fenwire_test {
namespace {

using sandbox::Broker;
using sandbox::MqttProbe;
using sandbox::wait_until;

constexpr int kStations = 40;
constexpr int kEvents = 3000;
constexpr int kMessages = 400;

constexpr const char *kRunScript = R"lua(
handled = 0
function getRunMessType(p)
  handled = handled + 1
  if p == "hb" then return 2, "" end
  return 1, "reply:" .. p
end
function APParseRunResponseMessage(p) return 1, 0 end
function AssembleStateMsg(arg) return "state:" .. arg end
function AssembleConfigBackup() return "backup" end
function AssembleHearbeat() return "heartbeat" end
function getStaInfo(t, r, mac) end
function getOnlineStaNum(a, b) end
)lua";


int replies(const MqttProbe &ac) {
    int n = 0;
    for (auto &h : ac.heard())
        if (h.payload == "reply:run") ++n;
    return n;
}

class Threads : public FenwireTest {
  protected:
    void SetUp() override {
        FenwireTest::SetUp();
        mqtt_set_transport(nullptr);
        lua(kRunScript);
        lua("AC_PORT = " + std::to_string(broker.port()));
        getMQTTInfo(L);
        heart_out = 10;
        heart_times = 1000000;  // the flood, not heartbeats, decides when the run ends
        station_file_set_path((dir_ + "/sta_mac_ip").c_str());
        shell.answer("ps | grep restart_wifi", "0\n");
        wifi_fake::load_churn(kStations, kEvents);
        wifi_set_driver(&wifi_fake::kFakeOps);
    }
    void TearDown() override {
        AP_STATE = 0;
        mqtt_clean();  // does nothing once mqtt_connect is 0 ...
        mqtt_session::close(false);  // ... so the network thread is stopped here
        station_file_set_path(nullptr);
        FenwireTest::TearDown();
    }
    Broker broker;
};

TEST_F(Threads, ChurnFloodAndTheRunStateAtOnce) {
    ASSERT_EQ(mqtt_init(L), 1);
    ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
    AP_STATE = 2;
    MqttProbe ac(broker.port(), "ac");
    ac.subscribe("config/AB12");

    pthread_t station;
    ASSERT_EQ(pthread_create(&station, nullptr, _nl_thread_main, nullptr), 0);
    std::thread flood([&] {
        for (int i = 0; i < kMessages; ++i) ac.publish("apsub/AB12", i % 4 ? "run" : "hb");
    });
    // Ends the run state once the station thread has taken every event and
    // the flood has been handled, or after a bound.
    std::thread stopper([&] {
        auto &d = wifi_fake::FakeDriver::get();
        wait_until(
            [&] {
                std::lock_guard<std::mutex> g(d.mu);
                return d.messages.empty();
            },
            30000);
        wait_until([&] { return replies(ac) == kMessages * 3 / 4; }, 30000);
        mqtt_connect = 0;
    });
    EXPECT_EQ(APEnterRun(L), STATE_RESET);
    flood.join();
    stopper.join();

    {
        MutexLock lock(netlink_mutex);
        int n = 0;
        for (NLnode *p = NLhead->next; p; p = p->next, ++n) {
            EXPECT_LE(p->usrcnt, 10);
            EXPECT_EQ(p->radioid, 1);
        }
        EXPECT_LE(n, kStations);
    }
    {
        MutexLock lock(mosq_mutex);
        EXPECT_LE(mosqlistlen(mosqhead), 100);
    }
    // Every run message got its reply: none was lost while the queue was full.
    EXPECT_EQ(replies(ac), kMessages * 3 / 4);
}

}  // namespace
}  // namespace fenwire_test
