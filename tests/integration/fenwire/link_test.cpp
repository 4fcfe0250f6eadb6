// The MQTT link against a real mosquitto broker started for each test.
#include <mosquitto.h>

#include <chrono>
#include <thread>

#include "broker.h"
#include "fenwire_fixture.h"
#include "locks.h"
#include "mqtt_lib.h"
#include "mqtt_probe.h"

namespace fenwire_test {
namespace {

using sandbox::Broker;
using sandbox::MqttProbe;
using sandbox::wait_until;

class Link : public FenwireTest {
  protected:
    void SetUp() override {
        FenwireTest::SetUp();
        mqtt_set_transport(nullptr);  // publish through the library session
        lua("AC_PORT = " + std::to_string(broker.port()));
        getMQTTInfo(L);
    }
    void TearDown() override {
        AP_STATE = 0;  // let a waiting callback go
        mqtt_clean();
        FenwireTest::TearDown();
    }
    void connect() {
        ASSERT_EQ(mqtt_init(L), 1);
        ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
    }
    std::string slot(unsigned char *const &p, const int &len) {
        MutexLock lock(mosq_mutex);
        return p ? std::string(reinterpret_cast<char *>(p), len) : std::string("<none>");
    }
    int queued() {
        MutexLock lock(mosq_mutex);
        return mosqlistlen(mosqhead);
    }

    Broker broker;
};

TEST_F(Link, NamesTopicsQosAndRetainAsTheBrokerSeesThem) {
    MqttProbe ac(broker.port(), "ac");
    ac.subscribe("config/#");
    connect();
    EXPECT_NE(broker.log().find("as tavrin_AB12"), std::string::npos) << broker.log();
    EXPECT_EQ(log_count("mqtt bind ip = 127.0.0.1"), 1);
    EXPECT_EQ(log_count("ac ip = 127.0.0.1, port = " + std::to_string(broker.port())), 1);

    const unsigned char msg[] = "hello\0world";
    EXPECT_EQ(mqtt_send_msg(msg, sizeof msg - 1), 0);
    ASSERT_TRUE(ac.wait_heard(1));
    EXPECT_EQ(ac.heard()[0].topic, "config/AB12");
    EXPECT_EQ(ac.heard()[0].payload, std::string("hello\0world", 11));
    EXPECT_EQ(ac.heard()[0].qos, 1);
    MqttProbe late(broker.port(), "late");
    late.subscribe("config/AB12");
    ASSERT_TRUE(late.wait_heard(1));
    EXPECT_TRUE(late.heard()[0].retain);
    EXPECT_EQ(mqtt_send_msg(nullptr, 5), 1);

    ac.publish("apsub/AB12", "to the agent");
    EXPECT_TRUE(wait_until([&] { return slot(join_msg, join_msg_len) == "to the agent"; }));
}

TEST_F(Link, SlotsKeepOnlyTheLatestAndIgnoreEmptyPayloads) {
    MqttProbe ac(broker.port(), "ac");
    ac.subscribe("apsub/AB12");
    connect();
    ac.publish("apsub/AB12", "first");
    ac.publish("apsub/AB12", "second");
    ac.publish("apsub/AB12", "");
    ASSERT_TRUE(ac.wait_heard(3));
    EXPECT_TRUE(wait_until([&] { return slot(join_msg, join_msg_len) == "second"; }));

    AP_STATE = 1;
    ac.publish("apsub/AB12", "config");
    EXPECT_TRUE(wait_until([&] { return slot(config_msg, config_msg_len) == "config"; }));
    configed = 1;
    ac.publish("apsub/AB12", "after configed");
    ASSERT_TRUE(ac.wait_heard(5));
    EXPECT_EQ(slot(config_msg, config_msg_len), "config");
}

TEST_F(Link, QueueHoldsOneHundredAndTheNextWaitsUntilOneIsTaken) {
    MqttProbe ac(broker.port(), "ac");
    connect();
    AP_STATE = 2;
    for (int i = 1; i <= 100; ++i) ac.publish("apsub/AB12", "m" + std::to_string(i));
    ASSERT_TRUE(wait_until([&] { return queued() == 100; }));
    EXPECT_EQ(log_count("More than 100 messages,wait."), 0);

    ac.publish("apsub/AB12", "m101");
    ASSERT_TRUE(wait_until([&] { return log_count("More than 100 messages,wait.") >= 2; }));
    EXPECT_EQ(queued(), 100);
    // One wait line per (virtual) second of waiting.
    EXPECT_GE(clock.elapsed() + 1, log_count("More than 100 messages,wait."));

    std::vector<std::string> taken;
    auto take = [&] {
        MutexLock lock(mosq_mutex);
        MosqNode node{};
        if (!handlMess(mosqhead, &node)) return false;
        taken.emplace_back(reinterpret_cast<char *>(node.payload), node.len);
        std::free(node.payload);
        return true;
    };
    ASSERT_TRUE(take());
    ASSERT_TRUE(wait_until([&] { return queued() == 100; }));
    while (take()) {
    }
    ASSERT_EQ(taken.size(), 101u);
    for (int i = 0; i < 101; ++i) EXPECT_EQ(taken[i], "m" + std::to_string(i + 1));
}

// Counts clients made and destroyed through the real library.
int created = 0, destroyed = 0;
struct mosquitto *counting_create(const char *id, bool clean, void *obj) {
    ++created;
    return mqtt_real_lib().create(id, clean, obj);
}
void counting_destroy(struct mosquitto *m) {
    ++destroyed;
    mqtt_real_lib().destroy(m);
}

// The real library with its clients counted, for the life of the object.
struct CountingLib {
    CountingLib() {
        lib.create = counting_create;
        lib.destroy = counting_destroy;
        mqtt_set_lib(&lib);
        created = destroyed = 0;
    }
    ~CountingLib() { mqtt_set_lib(nullptr); }
    MqttLib lib = mqtt_real_lib();
};

TEST_F(Link, BrokerLossTearsTheSessionDownAndAFreshInitConnectsAgain) {
    CountingLib counting;
    connect();
    broker.stop();
    ASSERT_TRUE(wait_until([&] { return log_count("mqtt clean ok") == 1; }));
    EXPECT_EQ(mqtt_connect, 0);
    std::string log = log_text();
    size_t a = log.find("\tmqtt disconnect ok\n"), b = log.find("\tmqtt clean\n"),
           c = log.find("\tmqtt close connect\n"), d = log.find("\tmqtt clean ok\n");
    ASSERT_NE(a, std::string::npos);
    EXPECT_TRUE(a < b && b < c && c < d) << log;
    EXPECT_EQ(mqtt_send_msg(reinterpret_cast<const unsigned char *>("x"), 1), MOSQ_ERR_NO_CONN);

    EXPECT_EQ(destroyed, 0) << "a thread cannot destroy the client it runs in";
    mqtt_clean();  // the main thread finishes what the network thread began
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(log_count("mqtt clean ok"), 1);
    broker.start();
    connect();
    EXPECT_EQ(log_count("mqtt connect ok"), 2);
    mqtt_clean();
    EXPECT_EQ(created, destroyed);
}

TEST_F(Link, ANewSessionReplacesAConnectedOneWithoutLeakingIt) {
    CountingLib counting;
    connect();
    connect();  // e.g. a script that goes from Image back to Join
    EXPECT_EQ(created, 2);
    EXPECT_EQ(destroyed, 1);
    // The old client does not come back to fight the new one for the id.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(mqtt_connect, 1);
    EXPECT_EQ(log_count("mqtt connect ok"), 2);
    EXPECT_EQ(log_count("mqtt disconnect ok"), 0);
    MqttProbe ac(broker.port(), "ac");
    ac.subscribe("config/AB12");
    EXPECT_EQ(mqtt_send_msg(reinterpret_cast<const unsigned char *>("x"), 1), 0);
    EXPECT_TRUE(ac.wait_heard(1));
    mqtt_clean();
    EXPECT_EQ(destroyed, 2);
}

TEST_F(Link, AFailedConnectReleasesItsClient) {
    CountingLib counting;
    broker.stop();
    EXPECT_EQ(mqtt_init(L), 0);
    EXPECT_EQ(mqtt_init(L), 0);
    EXPECT_EQ(log_count("mqtt bind failed"), 2);
    EXPECT_EQ(created, 2);
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
}  // namespace fenwire_test
