// ostrel's MQTT link against a real mosquitto broker started for each test,
// on the real clock (the network thread's waits are real ones here).
#include <atomic>
#include <thread>

#include "broker.h"
#include "clock.h"
#include "locks.h"
#include "mqtt_probe.h"
#include "mqtt_session.h"
#include "ostrel_fixture.h"
#include "states.h"

namespace ostrel_test {
namespace {

using sandbox::Broker;
using sandbox::MqttProbe;
using sandbox::wait_until;

class Link : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        plat::set_clock(nullptr);
        mqtt_set_transport(nullptr);  // publish through the session
        mqtt_connect = 0;
        lua("server_port = " + std::to_string(broker.port()));
        read_settings();
    }
    void TearDown() override {
        mqtt_clean();
        OstrelTest::TearDown();
    }
    void connect() {
        ASSERT_EQ(mqtt_init(), 1);
        ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
    }
    int queued() {
        MutexLock lock(mosq_mutex);
        return mosqlistlen(mosqhead);
    }
    std::string last_queued() {
        MutexLock lock(mosq_mutex);
        MosqNode *p = mosqhead;
        while (p->next) p = p->next;
        return p->payload ? p->payload : "";
    }

    Broker broker;
};

TEST_F(Link, IdentifierTopicsQosAndRetainAsTheBrokerSeesThem) {
    MqttProbe cloud(broker.port(), "cloud");
    cloud.subscribe("t/#");
    connect();
    EXPECT_NE(broker.log().find("as tavrin_AB12"), std::string::npos) << broker.log();
    mqtt_send_msg("hello\0x", "logger", nullptr, 7);
    ASSERT_TRUE(cloud.wait_heard(1));
    auto heard = cloud.heard();
    EXPECT_EQ(heard[0].topic, "t/logger");
    EXPECT_EQ(heard[0].payload, std::string("hello\0x", 7));
    EXPECT_EQ(heard[0].qos, 1);
    MqttProbe late(broker.port(), "late");  // the broker kept it: retained
    late.subscribe("t/logger");
    ASSERT_TRUE(late.wait_heard(1));
    EXPECT_TRUE(late.heard()[0].retain);
}

TEST_F(Link, ResponsesReachTheScriptOnTheNetworkThreadWhileMainUsesIt) {
    lua("n = 0 function IsNeedImage() n = n + 1 return 0 end");
    connect();
    MqttProbe cloud(broker.port(), "cloud");
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        cloud.publish("t/sub", "join-ok");
        wait_until([] { return AP_STATE.load() >= 1; });
        cloud.publish("t/sub", "conf-ok");
    });
    int calls = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (AP_STATE.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        int out = 0;
        callback_luafunction_number(L, "IsNeedImage", 1, &out);
        server_init(L);
        ++calls;
    }
    sender.join();
    ASSERT_EQ(AP_STATE.load(), 2);
    EXPECT_GT(calls, 0);
    std::lock_guard<std::recursive_mutex> lock(lua_mutex);
    EXPECT_EQ(lua_strings("calls"), (std::vector<std::string>{"join:join-ok", "conf:conf-ok"}));
}

TEST_F(Link, FullQueueHoldsTheNetworkThreadWithoutLosingAMessage) {
    AP_STATE = 2;
    {
        MutexLock lock(mosq_mutex);
        for (int i = 0; i < MOSQ_QUEUE_MAX; ++i) queue("old");
    }
    connect();
    MqttProbe cloud(broker.port(), "cloud");
    for (const char *m : {"m1", "m2", "m3"}) cloud.publish("t/sub", m);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(queued(), MOSQ_QUEUE_MAX);
    EXPECT_EQ(last_queued(), "old");
    std::vector<std::string> arrived;
    for (int i = 0; i < 3; ++i) {
        {
            MutexLock lock(mosq_mutex);
            MosqListdelete(mosqhead, 1);
        }
        ASSERT_TRUE(wait_until([&] { return queued() == MOSQ_QUEUE_MAX; }));
        arrived.push_back(last_queued());
    }
    EXPECT_EQ(arrived, (std::vector<std::string>{"m1", "m2", "m3"}));
}

TEST_F(Link, SessionLostBeforeResetIsReplacedByTheNextJoin) {
    connect();
    broker.stop();
    ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 0; }));
    ostrel_step(STATE_RESET);  // the link is down: nothing torn down here
    EXPECT_TRUE(mqtt_session::in_use());
    broker.start();
    connect();  // the old session and its network thread are released first
    MqttProbe cloud(broker.port(), "cloud");
    cloud.subscribe("t/#");
    mqtt_send_msg("again", "event", nullptr, 5);
    ASSERT_TRUE(cloud.wait_heard(1));
    EXPECT_EQ(cloud.heard()[0].payload, "again");
}

}  // namespace
}  // namespace ostrel_test
