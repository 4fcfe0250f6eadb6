// The run state in virtual time: tick k runs at virtual second k - 1, so a
// publish at second s was made on tick s + 1.
#include "run_state.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstring>

#include "fenwire_fixture.h"
#include "locks.h"
#include "run_reports.h"

namespace fenwire_test {
namespace {

constexpr const char *kRunScript = R"lua(
function getRunMessType(p)
  if p == "hb" then return 2, "" end
  if p == "boom" then error("cannot classify") end
  if p:sub(1, 4) == "run:" then return 1, "reply:" .. p end
  return 0, "ignored"
end
function APParseRunResponseMessage(p)
  if p == "run:bad" then return 0, 0 end
  return 1, tonumber(p:match("^run:(%-?%d+)"))
end
function AssembleStateMsg(arg) counts_at_report = counts; return "state:" .. arg end
function FatAssembleStateMsg() return "fatstate" end
function AssembleConfigBackup() return "backup" end
function AssembleHearbeat() return "heartbeat" end
sta = {}
function getStaInfo(t, r, mac, ip, ssid, host) sta[#sta + 1] = t .. " " .. mac end
function getOnlineStaNum(a, b) counts = a .. "/" .. b end
users = {}
function getUserInfo(...) users[#users + 1] = select(3, ...) end
function AssembleUserInfo() return "users:" .. #users end
function parseupdateSWconfig(p)
  if p == "run:4:yes" then return 1, 7 end
  return 0, 3
end
function AssembleupdateOK(code) return "ack:" .. code end
)lua";

constexpr const char *kWifiCount = "ps | grep restart_wifi";

class RunState : public FenwireTest {
protected:
    void SetUp() override {
        FenwireTest::SetUp();
        lua(kRunScript);
        AP_STATE = 2;
        configed = 1;
        mqtt_connect = 1;
        heart_out = 10;
        heart_times = 6;
        flag_path_ = dir_ + "/flag";
        run_reports_set_flag_path(flag_path_);
        shell.answer(kWifiCount, "0\n");
    }
    void TearDown() override {
        mqtt_connect = 0;
        run_reports_set_flag_path("/tmp/flag");
        FenwireTest::TearDown();
    }
    // Ends the run state (link lost) at the start of tick `tick`.
    void link_lost_at_tick(int tick) {
        clock.at(tick - 1.5, [] { mqtt_connect = 0; });
    }
    // Publishes as (tick, payload).
    std::vector<std::pair<int, std::string>> sent() const {
        std::vector<std::pair<int, std::string>> out;
        for (auto &p : capture.sent) out.emplace_back(static_cast<int>(p.at) + 1, p.payload);
        return out;
    }
    std::vector<int> ticks_of(const std::string &payload) const {
        std::vector<int> out;
        for (auto &p : sent())
            if (p.second == payload) out.push_back(p.first);
        return out;
    }
    // Ticks (from the log's time stamps) of lines whose message is `msg`.
    std::vector<int> log_ticks(const std::string &msg) const {
        std::vector<int> out;
        std::istringstream in(log_text());
        for (std::string line; std::getline(in, line);) {
            auto tab = line.find('\t');
            if (tab == std::string::npos || line.substr(tab + 1) != msg) continue;
            int h = std::stoi(line.substr(7, 2)), m = std::stoi(line.substr(10, 2)),
                s = std::stoi(line.substr(13, 2));
            out.push_back(h * 3600 + m * 60 + s - 80000 + 1);  // start is 22:13:20
        }
        return out;
    }
    NLnode *add_station(uint8_t last, uint32_t type, int radio = 1) {
        auto *n = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
        n->type = type;
        n->radioid = radio;
        uint8_t mac[6] = {0, 0x11, 0x22, 0x33, 0x44, last};
        std::memcpy(n->mac, mac, 6);
        std::snprintf(n->staip, sizeof n->staip, "192.168.1.%d", last);
        NLnode *tail = NLhead;
        while (tail->next) tail = tail->next;
        tail->next = n;
        return n;
    }
    std::string flag_path_;
};

TEST_F(RunState, WithoutAnswersHeartbeatsAndMissesFallOnTheirTicks) {
    EXPECT_EQ(APEnterRun(L), STATE_RESET);
    EXPECT_EQ(ticks_of("heartbeat"), (std::vector<int>{11, 22, 33, 44, 55, 66}));
    for (int k = 1; k <= 6; ++k)
        EXPECT_EQ(log_ticks("Heartbeat miss " + std::to_string(k)),
                  std::vector<int>{14 + 11 * (k - 1)});
    EXPECT_EQ(log_ticks("Heartbeat timeout"), std::vector<int>{69});
    EXPECT_DOUBLE_EQ(clock.elapsed(), 68.0);
    EXPECT_EQ(log_count("ap enter run"), 1);
}

TEST_F(RunState, AnAnswerInTheTickOfADueMissPreventsIt) {
    deliver_at(12.5, "hb");  // heartbeat of tick 11, answered by step A of tick 14
    link_lost_at_tick(26);
    APEnterRun(L);
    EXPECT_TRUE(log_ticks("Heartbeat miss 1").empty());
    EXPECT_EQ(log_ticks("Receive heartbeat"), std::vector<int>{14});
    // The answer restarts the interval from tick 14.
    EXPECT_EQ(ticks_of("heartbeat"), (std::vector<int>{11, 24}));
}

TEST_F(RunState, RepeatedHeartbeatAnswersFoldIntoOneLogLine) {
    for (double t : {11.5, 23.5, 35.5}) deliver_at(t, "hb");
    link_lost_at_tick(40);
    APEnterRun(L);
    EXPECT_EQ(log_count("Receive heartbeat(3)"), 1) << log_text();
}

TEST_F(RunState, HeartbeatTimesZeroEndsOnTheFirstTick) {
    heart_times = 0;
    EXPECT_EQ(APEnterRun(L), STATE_RESET);
    EXPECT_EQ(log_ticks("Heartbeat timeout"), std::vector<int>{1});
    EXPECT_TRUE(capture.sent.empty());
}

TEST_F(RunState, HeartbeatTimeoutZeroSendsEveryTickAndMissesUnanswered) {
    heart_out = 0;
    APEnterRun(L);
    EXPECT_EQ(ticks_of("heartbeat"), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(log_ticks("Heartbeat miss 1"), std::vector<int>{2});
    EXPECT_EQ(log_ticks("Heartbeat timeout"), std::vector<int>{7});
}

TEST_F(RunState, AReportTickSkipsTheHeartbeatAndRestartsItsInterval) {
    state_msg = 1;
    link_lost_at_tick(20);
    APEnterRun(L);
    EXPECT_EQ(ticks_of("state:0"), std::vector<int>{1});
    EXPECT_EQ(log_count("send state msg"), 1);
    EXPECT_EQ(ticks_of("heartbeat"), std::vector<int>{12});
    EXPECT_EQ(state_msg, 0);
}

TEST_F(RunState, ADueReportWaitsWhileRestartWifiRuns) {
    shell.clear_answers();
    shell.answer(kWifiCount, "1\n");
    clock.at(4.5, [this] {
        shell.clear_answers();
        shell.answer(kWifiCount, "0\n");
    });
    state_msg = 1;
    link_lost_at_tick(8);
    APEnterRun(L);
    EXPECT_EQ(ticks_of("state:0"), std::vector<int>{6});
}

TEST_F(RunState, TheFatMarkerFileGivesOneFatStateReport) {
    std::ofstream(flag_path_) << "flag\n";
    clock.at(0.5, [this] { std::remove(flag_path_.c_str()); });  // what "rm" does
    link_lost_at_tick(3);
    APEnterRun(L);
    EXPECT_EQ(ticks_of("state:1"), std::vector<int>{1});
    EXPECT_EQ(log_count("send fat state msg"), 1);
    auto cmds = shell.commands();
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "rm " + flag_path_), cmds.end());
}

struct ActionCase {
    const char *message;
    std::vector<std::string> published;  // after the reply
    int state_msg;
};

TEST_F(RunState, RunMessagesFollowTheActionTable) {
    const ActionCase cases[] = {
        {"run:0", {"state:0", "backup"}, 0},
        {"run:1", {"backup"}, 1},
        {"run:3", {"state:0"}, 0},
        {"run:5", {}, 0},  // no station qualifies: nothing
        {"run:2", {}, 0},
        {"run:6", {}, 0},
        {"run:-1", {}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        capture.sent.clear();
        state_msg = 0;
        mqtt_connect = 1;
        shell.clear_answers();
        shell.answer(kWifiCount, "1\n");  // keep a due report waiting
        double start = clock.elapsed();
        deliver_at(start + 0.5, c.message);
        clock.at(start + 3.5, [] { mqtt_connect = 0; });
        APEnterRun(L);
        std::vector<std::string> expected = {std::string("reply:") + c.message};
        expected.insert(expected.end(), c.published.begin(), c.published.end());
        EXPECT_EQ(payloads(), expected);
        EXPECT_EQ(state_msg, c.state_msg);
    }
    EXPECT_EQ(log_count("Receive Message(5): recode=1, reset=0"), 1);
    EXPECT_EQ(log_count("send state info"), 2);
    EXPECT_EQ(log_count("send config backup"), 2);
}

TEST_F(RunState, AHandledRunMessageIsASignOfLife) {
    deliver_at(12.5, "run:2");
    link_lost_at_tick(26);
    APEnterRun(L);
    EXPECT_TRUE(log_ticks("Heartbeat miss 1").empty());
    EXPECT_EQ(ticks_of("heartbeat"), (std::vector<int>{11, 24}));
}

TEST_F(RunState, RejectedRunMessageIsAnsweredButTriggersNothing) {
    deliver_at(0.5, "run:bad");
    deliver_at(12.5, "run:bad");
    link_lost_at_tick(16);
    APEnterRun(L);
    EXPECT_EQ(ticks_of("reply:run:bad"), (std::vector<int>{2, 14}));
    EXPECT_EQ(log_count("APParseRunResponseMessage error!"), 2);
    EXPECT_EQ(log_ticks("Heartbeat miss 1"), std::vector<int>{14}) << "not a sign of life";
}

TEST_F(RunState, AFailedClassificationIsNoActionNotThePreviousOne) {
    deliver_at(0.5, "run:0");
    deliver_at(1.5, "boom");
    link_lost_at_tick(5);
    APEnterRun(L);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"reply:run:0", "state:0", "backup"}));
    EXPECT_EQ(log_count("send ok response"), 1);
}

TEST_F(RunState, ARunawayClassificationIsNoActionAndTheNextMessageIsHandled) {
    luacall::set_limits(L, {1000, 0});
    lua("local classify = getRunMessType "
        "function getRunMessType(p) if p == 'spin' then while true do end end return classify(p) end");
    deliver_at(0.5, "spin");
    deliver_at(1.5, "run:0");
    link_lost_at_tick(6);
    APEnterRun(L);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"reply:run:0", "state:0", "backup"}));
    EXPECT_EQ(log_count("error script call getRunMessType stopped after 1000 instructions"), 1);
}

TEST_F(RunState, AFailedAssemblyPublishesNothing) {
    lua("function AssembleConfigBackup() error('no backup') end");
    deliver_at(0.5, "run:1");
    link_lost_at_tick(4);
    shell.clear_answers();
    shell.answer(kWifiCount, "1\n");
    APEnterRun(L);
    EXPECT_EQ(payloads(), std::vector<std::string>{"reply:run:1"});
    EXPECT_EQ(log_count("AssembleConfigBackup not assembled, nothing sent"), 1);
}

TEST_F(RunState, UnknownMessageTypesAreDroppedSilently) {
    deliver_at(0.5, "something else");
    link_lost_at_tick(3);
    APEnterRun(L);
    EXPECT_TRUE(capture.sent.empty());
}

TEST_F(RunState, ADeclinedUpdateIsAcknowledgedAndTheLoopGoesOn) {
    deliver_at(0.5, "run:4:no");
    link_lost_at_tick(4);
    EXPECT_EQ(APEnterRun(L), STATE_RESET);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"reply:run:4:no", "ack:3"}));
}

std::string update_record;
plat::ShellRecorder *child_shell = nullptr;
CaptureTransport *child_capture = nullptr;
// In the child: writes the exit status, the publishes and the waits for
// them, and the commands run, then exits.
void record_exit(int status) {
    std::ofstream f(update_record);
    f << "exit " << status << "\n";
    for (auto &p : child_capture->sent) f << "sent " << p.payload << "\n";
    for (auto &w : child_capture->waits)
        f << "waited for " << w.mid << " up to " << w.limit_us << " us, queue lock "
          << (w.mosq_held ? "held" : "free") << "\n";
    for (auto &c : child_shell->commands()) f << c << "\n";
    f.close();
    _exit(status);
}

TEST_F(RunState, AnAcceptedUpdateFlashesAndEndsTheProcess) {
    update_record = dir_ + "/update";
    deliver_at(0.5, "run:4:yes");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        child_shell = &shell;
        child_capture = &capture;
        run_reports_set_exit(record_exit);
        APEnterRun(L);
        _exit(90);  // not reached
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream f(update_record);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_NE(s.str().find("exit 1\n"), std::string::npos);
    // The acknowledgement (the second publish) is confirmed sent before the
    // flash, with the queue's lock let go so the network thread can work.
    EXPECT_NE(s.str().find("sent ack:7\nwaited for 2 up to 2000000 us, queue lock free\n"),
              std::string::npos)
        << s.str();
    EXPECT_NE(s.str().find("sleep 1; killall -9 dropbear uhttpd; sleep 1; /sbin/sysupgrade -n -F "
                           "/tmp/firmware.img >/dev/null 2>&1\n"),
              std::string::npos)
        << s.str();
    EXPECT_NE(log_text().find("\tdo update............\n"), std::string::npos);
}

TEST_F(RunState, StationEventsOfOneTickAreAnsweredByOneStateReport) {
    {
        MutexLock lock(netlink_mutex);
        add_station(1, 1);
        add_station(2, 2, 2);
        add_station(3, 1, 2);
        STAflag = 1;
    }
    link_lost_at_tick(2);
    APEnterRun(L);
    EXPECT_EQ(lua_strings("sta"), (std::vector<std::string>{"1 00:11:22:33:44:01",
                                                            "2 00:11:22:33:44:02",
                                                            "1 00:11:22:33:44:03"}));
    EXPECT_EQ(payloads(), std::vector<std::string>{"state:0"});
    lua("counts_seen = { counts_at_report }");
    EXPECT_EQ(lua_strings("counts_seen"), std::vector<std::string>{"1/1"})
        << "the counts reach the script before the report is assembled";
    EXPECT_EQ(log_count("sta online mac:00:11:22:33:44:01,ip:192.168.1.1, radioid:1"), 1);
    EXPECT_EQ(log_count("sta offline mac:00:11:22:33:44:02,ip:192.168.1.2, radioid:2"), 1);
    MutexLock lock(netlink_mutex);
    ASSERT_NE(NLhead->next, nullptr);
    EXPECT_EQ(NLhead->next->type, 0u);
    ASSERT_NE(NLhead->next->next, nullptr);
    EXPECT_EQ(NLhead->next->next->mac[5], 3);
    EXPECT_EQ(NLhead->next->next->next, nullptr);
    EXPECT_EQ(STAflag, 0);
}

TEST_F(RunState, AFlagWithNothingPendingStillReportsTheCounts) {
    STAflag = 1;
    workMode = 1;
    link_lost_at_tick(2);
    APEnterRun(L);
    EXPECT_EQ(payloads(), std::vector<std::string>{"fatstate"});
}

TEST_F(RunState, UserInformationGoesOutOnlyForReportedStationsWithSamples) {
    NLnode *with_samples;
    {
        MutexLock lock(netlink_mutex);
        with_samples = add_station(1, 0);
        add_station(2, 0, 9);  // no interface for radio 9, so never a sample
        add_station(3, 1);  // not reported yet
        auto *u = static_cast<UsrNode *>(std::calloc(1, sizeof(UsrNode)));
        u->next = u;
        with_samples->usrlist = u;
        with_samples->usrcnt = 1;
    }
    deliver_at(0.5, "run:5");
    link_lost_at_tick(3);
    APEnterRun(L);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"reply:run:5", "users:1"}));
    EXPECT_EQ(lua_strings("users"), std::vector<std::string>{"00:11:22:33:44:01"});
}

TEST_F(RunState, EachStepPublishesUnderItsOwnLockOnly) {
    {
        MutexLock lock(netlink_mutex);
        add_station(1, 1);
        STAflag = 1;
    }
    state_msg = 1;
    deliver_at(0.5, "run:0");
    link_lost_at_tick(13);
    APEnterRun(L);
    ASSERT_EQ(payloads(), (std::vector<std::string>{"state:0", "state:0", "reply:run:0", "state:0",
                                                    "backup", "heartbeat"}));
    const auto &s = capture.sent;
    EXPECT_TRUE(!s[0].mosq_held && s[0].netlink_held) << "station report: step B";
    EXPECT_TRUE(!s[1].mosq_held && !s[1].netlink_held) << "due report: step C";
    for (int i = 2; i <= 4; ++i) EXPECT_TRUE(s[i].mosq_held && !s[i].netlink_held) << "step A";
    EXPECT_TRUE(!s[5].mosq_held && !s[5].netlink_held) << "heartbeat: step C";
}

TEST_F(RunState, ALinkAlreadyDownReturnsBeforeTheFirstTick) {
    mqtt_connect = 0;
    EXPECT_EQ(APEnterRun(L), STATE_RESET);
    EXPECT_EQ(clock.sleeps(), 0u);
}

}  // namespace
}  // namespace fenwire_test
