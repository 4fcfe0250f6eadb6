#include <mosquitto.h>

#include "fake_mqtt_lib.h"
#include "locks.h"
#include "mqtt_session.h"
#include "ostrel_fixture.h"

namespace ostrel_test {
namespace {

class QueueTest : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        FakeMqtt::install();
    }
    void TearDown() override {
        mqtt_session::close(false);
        mqtt_set_lib(nullptr);
        OstrelTest::TearDown();
    }
    std::vector<std::string> queued() {
        std::vector<std::string> out;
        for (MosqNode *p = mosqhead->next; p; p = p->next) out.push_back(p->payload);
        return out;
    }
    void deliver(const struct mosquitto *m, const std::string &payload) {
        mqtt_deliver(m, payload.data(), static_cast<int>(payload.size()));
    }
};

TEST_F(QueueTest, DeleteRefusesOutOfRangeIndexesWithTheirTexts) {
    EXPECT_EQ(ismosqlistnil(mosqhead), 0);
    queue("old");
    queue("new");
    struct {
        int index;
        const char *printed;
    } refused[] = {{0, "index must > 1\n"}, {-1, "index must > 1\n"},
                   {3, "list only 2 Node\n"}, {5, "list only 2 Node\n"}};
    for (auto &c : refused) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(MosqListdelete(mosqhead, c.index), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    }
    EXPECT_EQ(queued(), (std::vector<std::string>{"old", "new"}));
    EXPECT_EQ(MosqListdelete(mosqhead, 2), 0);
    EXPECT_EQ(queued(), std::vector<std::string>{"old"});
    EXPECT_EQ(MosqListdelete(mosqhead, 1), 0);
    EXPECT_EQ(ismosqlistnil(mosqhead), 0);
}

TEST_F(QueueTest, JoinAndConfigureResponsesGoToTheScriptThenMessagesAreQueued) {
    lua("function APParseJoinResponseMessage(p) calls[#calls + 1] = p error('rejected') end");
    testing::internal::CaptureStdout();
    deliver(nullptr, std::string("j\0x", 3));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(AP_STATE.load(), 1);  // whatever the script made of it
    deliver(nullptr, "c");
    EXPECT_EQ(AP_STATE.load(), 2);
    deliver(nullptr, std::string("ab\0cd", 5));
    EXPECT_EQ(lua_strings("calls"), (std::vector<std::string>{std::string("j\0x", 3), "conf:c"}));
    EXPECT_EQ(queued(), std::vector<std::string>{"ab"});
}

int enter_run_now(lua_State *) {
    AP_STATE = 2;
    return 0;
}

TEST_F(QueueTest, LateJoinResponseDoesNotLowerTheState) {
    lua_register(L, "enter_run_now", enter_run_now);
    lua("function APParseJoinResponseMessage(p) enter_run_now() end");
    deliver(nullptr, "j");
    EXPECT_EQ(AP_STATE.load(), 2);
}

TEST_F(QueueTest, FullQueueHoldsTheMessageUntilOneIsHandled) {
    ASSERT_TRUE(mqtt_session::open("tavrin_AB12", {my_connect_callback, my_message_callback,
                                                   my_disconnect_callback}));
    AP_STATE = 2;
    for (int i = 0; i < MOSQ_QUEUE_MAX; ++i) queue(std::to_string(i));
    clock.at(2.5, [] {
        MutexLock lock(mosq_mutex);
        MosqListdelete(mosqhead, 1);
    });
    testing::internal::CaptureStdout();
    deliver(FakeMqtt::last, "late");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "more than 100 messages,wait.\nmore than 100 messages,wait.\n"
                   "more than 100 messages,wait.\n");
    EXPECT_EQ(mosqlistlen(mosqhead), MOSQ_QUEUE_MAX);
    EXPECT_EQ(queued().back(), "late");
}

TEST_F(QueueTest, FullQueueWaitEndsWhenTheLinkOrTheSessionIsGone) {
    ASSERT_TRUE(mqtt_session::open("tavrin_AB12", {my_connect_callback, my_message_callback,
                                                   my_disconnect_callback}));
    AP_STATE = 2;
    for (int i = 0; i < MOSQ_QUEUE_MAX; ++i) queue(std::to_string(i));
    clock.at(1.5, [] { mqtt_connect = 0; });
    testing::internal::CaptureStdout();
    deliver(FakeMqtt::last, "lost");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("dropped"), std::string::npos);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 2);

    mqtt_connect = 1;
    clock.at(3.5, [] { mqtt_session::end(); });
    deliver(FakeMqtt::last, "lost");
    EXPECT_DOUBLE_EQ(clock.elapsed(), 4);
    EXPECT_EQ(queued().back(), "99");
}

TEST_F(QueueTest, OversizedPayloadIsDroppedBeforeAnyCopy) {
    ASSERT_TRUE(mqtt_session::open("tavrin_AB12", {my_connect_callback, my_message_callback,
                                                   my_disconnect_callback}));
    AP_STATE = 2;
    std::string big(mqtt_session::kMaxInboundPayload + 1, 'x');
    std::string fits(mqtt_session::kMaxInboundPayload, 'y');
    for (const std::string *p : {&big, &fits}) {
        struct mosquitto_message msg {};
        msg.payload = const_cast<char *>(p->data());
        msg.payloadlen = static_cast<int>(p->size());
        testing::internal::CaptureStdout();
        my_message_callback(FakeMqtt::last, nullptr, &msg);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.empty(), p == &fits) << out;
    }
    EXPECT_EQ(queued(), std::vector<std::string>{fits});
}

TEST_F(QueueTest, SendPicksTheTopicByNameUnlessOneIsGiven) {
    EXPECT_EQ(mqtt_send_msg(nullptr, "config", nullptr, 0), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(mqtt_send_msg("x", "status", nullptr, 1), 1);
    EXPECT_EQ(mqtt_send_msg("y", nullptr, nullptr, 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ap send : x\nap send : y\n");
    EXPECT_TRUE(capture.sent.empty());
    for (const char *name : {"config", "event", "logger"}) mqtt_send_msg("m", name, nullptr, 1);
    mqtt_send_msg("m", "config", "own/topic", 1);
    std::vector<std::string> topics;
    for (auto &p : capture.sent) topics.push_back(p.topic);
    EXPECT_EQ(topics,
              (std::vector<std::string>{"t/config", "t/event", "t/logger", "own/topic"}));
}

}  // namespace
}  // namespace ostrel_test
