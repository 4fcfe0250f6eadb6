// The station thread against a scripted fake driver, and start-up.
#include <pthread.h>

#include <thread>

#include "locks.h"
#include "station_test_support.h"

namespace station_test {
namespace {

using StationThread = StationTest;

// Runs the thread function on a thread of its own and waits (real time,
// bounded) until it has ended; it detaches itself.
void run_thread_to_end(bool expect_close) {
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, _nl_thread_main, nullptr), 0);
    FakeDriver &d = FakeDriver::get();
    if (expect_close) {
        ASSERT_TRUE(d.wait_for([&] { return d.closed; }));
    }
}

uint32_t expected_port(pthread_t t) {
    return static_cast<uint32_t>((static_cast<unsigned long>(t) << 16) |
                                 static_cast<unsigned long>(getpid()));
}

TEST_F(StationThread, RegistersAppliesScriptedEventsAndEndsOnReceiveFailure) {
    Event a, b, bye;
    b.mac[5] = 0x01;
    b.radio = 2;
    bye.type = sl::kEventLeave;
    bye.mac = a.mac;
    Bytes junk(100, 0xFF);
    driver().messages = {event_message(a), junk, event_message(b), event_message(bye)};

    testing::internal::CaptureStdout();
    run_thread_to_end(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-------------netlink error!-------------\n");

    Bytes reg(sl::kRegistrationLen, 0);
    put<uint32_t>(reg, 0, 296);
    put<uint32_t>(reg, 12, driver().opened_port);
    EXPECT_EQ(driver().sent, reg);
    EXPECT_TRUE(driver().receive_failed);
    MutexLock lock(netlink_mutex);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);  // a joined and left before any report
    EXPECT_EQ(recs[0]->radioid, 2);
    EXPECT_EQ(STAflag.load(), 1);
    EXPECT_EQ(shell.commands().size(), 3u);
}

TEST_F(StationThread, PortIsThreadIdShiftedOrProcessId) {
    pthread_t t;
    testing::internal::CaptureStdout();
    ASSERT_EQ(pthread_create(&t, nullptr, _nl_thread_main, nullptr), 0);
    ASSERT_TRUE(driver().wait_for([&] { return driver().closed; }));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(driver().opened_port, expected_port(t));
}

TEST_F(StationThread, FailedRegistrationIsPrintedAndTheThreadListensOn) {
    driver().send_errno = ENOBUFS;
    driver().messages = {event_message(Event{})};
    testing::internal::CaptureStdout();
    run_thread_to_end(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("get error sendmsg = ") + std::strerror(ENOBUFS) +
                  "\n-------------netlink error!-------------\n");
    MutexLock lock(netlink_mutex);
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(StationThread, PeerClosingEndsTheThread) {
    // A receive of 0 bytes: the fake answers an empty message.
    driver().messages = {Bytes{}};
    testing::internal::CaptureStdout();
    run_thread_to_end(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-------------netlink error!-------------\n");
    EXPECT_FALSE(driver().receive_failed);
}

TEST_F(StationThread, SocketFailureLogsAndEnds) {
    driver().open_result = -1;
    run_thread_to_end(false);
    ASSERT_TRUE(driver().wait_for([&] { return driver().open_calls == 1; }));
    for (int i = 0; i < 1000 && log_messages().back() != "netlink init error"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(log_messages().back(), "netlink init error");
    EXPECT_TRUE(driver().sent.empty());
    EXPECT_FALSE(driver().closed);
}

TEST_F(StationThread, StartCreatesAnEmptyHeadAndStartsTheThread) {
    deliver(Event{});
    NLnode *head = NLhead;
    driver().messages = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(netlink_loop_start(), 0);
    ASSERT_TRUE(driver().wait_for([&] { return driver().closed; }));
    testing::internal::GetCapturedStdout();
    MutexLock lock(netlink_mutex);
    EXPECT_EQ(NLhead, head);  // a second start empties the list it had
    EXPECT_EQ(NLhead->next, nullptr);
    EXPECT_EQ(NLhead->type, 0u);
    EXPECT_EQ(driver().open_calls, 1);
    EXPECT_EQ(log_messages().back(), "initNLlist OK!");
}

}  // namespace
}  // namespace station_test
