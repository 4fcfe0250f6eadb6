// The MQTT link against a real mosquitto broker started for each test.
#include <mosquitto.h>

#include <chrono>
#include <thread>

#include "broker.h"
#include "fenwire_fixture.h"
#include "locks.h"
#include "mqtt_lib.h"
#include "mqtt_probe.h"
#include "run_reports.h"
#include "clock.h"
#include "shell.h"

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
        AP_STATE = 0;  // a callback waiting for room drops its message and returns
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
    // One wait line per (virtual) second of waiting: each line comes before
    // its second's sleep, so the lines counted first never outrun the
    // seconds read after them by more than one.
    int waits = log_count("More than 100 messages,wait.");
    EXPECT_GE(clock.elapsed() + 1, waits);

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

// A message waiting for room in the full queue must not hold the network
// thread, and with it the teardown, once nothing will drain the queue.
TEST_F(Link, AMessageWaitingForRoomIsDroppedOnceTheRunStateCannotTakeIt) {
    // Real time: the teardown's watchdog must not see the wait's seconds race.
    plat::set_clock(nullptr);
    const char *ends[] = {"AP_STATE back to 0", "the session torn down"};
    for (const char *end : ends) {
        SCOPED_TRACE(end);
        MqttProbe ac(broker.port(), "ac");
        connect();
        AP_STATE = 2;
        int waits_before = log_count("More than 100 messages,wait.");
        for (int i = 1; i <= 101; ++i) ac.publish("apsub/AB12", "m" + std::to_string(i));
        ASSERT_TRUE(wait_until(
            [&] { return log_count("More than 100 messages,wait.") > waits_before; }));
        int dropped_before = log_count("queue full and not drained, message of 4 bytes dropped");
        if (end == ends[0]) {
            AP_STATE = 0;
            ASSERT_TRUE(wait_until([&] {
                return log_count("queue full and not drained, message of 4 bytes dropped") ==
                       dropped_before + 1;
            }));
        }
        mqtt_clean();  // returns: the network thread is not stuck
        EXPECT_EQ(log_count("queue full and not drained, message of 4 bytes dropped"),
                  dropped_before + 1);
        EXPECT_EQ(queued(), 100);
        EXPECT_EQ(log_count("clean mqtt failed"), 0);
        MutexLock lock(mosq_mutex);
        MosqListClean(mosqhead);
    }
}

TEST_F(Link, PayloadsAboveTheBoundAreDroppedBeforeAnyCopy) {
    MqttProbe ac(broker.port(), "ac");
    connect();
    const std::string at_bound(64 * 1024, 'a'), above(64 * 1024 + 1, 'b');
    ac.publish("apsub/AB12", above);  // joining: the slot stays empty
    ac.publish("apsub/AB12", "small");
    EXPECT_TRUE(wait_until([&] { return slot(join_msg, join_msg_len) == "small"; }));
    AP_STATE = 2;
    ac.publish("apsub/AB12", above);
    ac.publish("apsub/AB12", at_bound);
    ASSERT_TRUE(wait_until([&] { return queued() == 1; }));
    EXPECT_EQ(log_count("message of 65537 bytes dropped, more than 65536"), 2);
    MutexLock lock(mosq_mutex);
    EXPECT_EQ(mosqhead->next->len, 64u * 1024);
}

// What the update command sees when it runs: the acknowledgement is already
// at the broker (retained there), even though the command ends the process.
std::string ack_at_update;
int broker_port = 0;
int look_for_ack(const char *command) {
    if (std::string(command).find("sysupgrade") == std::string::npos) return 0;
    MqttProbe late(broker_port, "late");
    late.subscribe("config/AB12");
    ack_at_update = late.wait_heard(1, 2000) ? late.heard()[0].payload : "<none>";
    return 0;
}
std::string read_nothing(const char *, size_t, int *status) {
    if (status) *status = 0;
    return "";
}
int update_exit_status = -1;

TEST_F(Link, TheUpdateAcknowledgementReachesTheBrokerBeforeTheFlash) {
    plat::set_clock(nullptr);  // the library's network thread works in real time
    lua(R"(
        function parseupdateSWconfig(p) return 1, 5 end
        function AssembleupdateOK(code) return "update-ok:" .. code end
    )");
    connect();
    AP_STATE = 2;
    broker_port = broker.port();
    static const plat::ShellOps ops = {look_for_ack, read_nothing};
    plat::set_shell(&ops);
    run_reports_set_exit([](int status) { update_exit_status = status; });
    {
        MutexLock lock(mosq_mutex);  // as the run state holds it
        const unsigned char msg[] = "update";
        UpdateSw(L, msg, 6);
    }
    run_reports_set_exit(nullptr);
    plat::set_shell(nullptr);
    EXPECT_EQ(ack_at_update, "update-ok:5");
    EXPECT_EQ(update_exit_status, 1);
    EXPECT_EQ(log_count("update acknowledgement not confirmed sent"), 0);
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
