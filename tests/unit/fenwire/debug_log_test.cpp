#include "debug_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell_recorder.h"
#include "vclock.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// 2024-03-07 14:05:09 UTC
constexpr time_t kStart = 1709820309;

std::string header(const char *stamp, const char *unit, int line) {
    return std::string(stamp) + " MQTT(" + std::to_string(getpid()) + ")-[" + unit + " +" +
           std::to_string(line) + "]\t";
}

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/debug_log_testXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        paths_.control = root_ + "/mqtt_debug_enable";
        paths_.dir = root_ + "/log";
        paths_.current = paths_.dir + "/mqttlog.new";
        paths_.previous = paths_.dir + "/mqttlog.old";
        debug_log_set_paths(paths_);
    }
    void TearDown() override {
        debug_switch = 0;
        debug_com_en = 0;
        debug_log_set_paths(DebugLogPaths{});
        std::filesystem::remove_all(root_);
    }
    // Logging on, the log folder in place, the log holding `initial`.
    void start_with_log(const std::string &initial) {
        write_file(paths_.control, "1\n");
        init_debug_info();
        ASSERT_TRUE(exists(paths_.dir));
        write_file(paths_.current, initial);
    }
    std::string log() const { return read_file(paths_.current); }

    plat::VirtualClock clock_{kStart};
    std::string root_;
    DebugLogPaths paths_;
};

TEST_F(DebugLogTest, MissingControlFileIsCreatedHoldingOneAndLoggingIsOn) {
    init_debug_info();
    EXPECT_EQ(read_file(paths_.control), "1\n");
    EXPECT_TRUE(exists(paths_.dir));
    EXPECT_EQ(debug_switch, 1);
    _debug("Fenwire", "main", 10, "start\n");
    EXPECT_EQ(log(), header("<03-07 14:05:09>", "Fenwire", 10) + "start\n");
}

TEST_F(DebugLogTest, ControlFileValueSwitchesLoggingAndOnlyOneCreatesTheFolder) {
    struct Case {
        std::string control;
        int expect_switch;
    };
    const Case cases[] = {
        {"0\n", 0},
        {"1\n", 1},
        {"2\n", 2},
        {"  \t7abc", 7},
        {"-3", -3},
        {"abc", 0},
        {"", 0},
        {std::string(254, ' ') + "1", 1},
        {std::string(255, ' ') + "1", 0},  // only the first 255 bytes count
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("control \"" + c.control + "\"");
        write_file(paths_.control, c.control);
        std::vector<std::string> commands;
        {
            plat::ShellRecorder shell;
            debug_com_en = 1;
            init_debug_info();
            commands = shell.commands();
        }
        EXPECT_EQ(debug_switch, c.expect_switch);
        EXPECT_EQ(debug_com_en, 0);
        std::vector<std::string> want;
        if (c.expect_switch == 1) want.push_back("mkdir -p " + paths_.dir);
        EXPECT_EQ(commands, want);

        mkdir(paths_.dir.c_str(), 0755);
        unlink(paths_.current.c_str());
        _debug("utils", "f", 1, "hello\n");
        if (c.expect_switch == 0)
            EXPECT_FALSE(exists(paths_.current));
        else
            EXPECT_EQ(log(), header("<03-07 14:05:09>", "utils", 1) + "hello\n");
    }
}

TEST_F(DebugLogTest, UncreatableControlFileLeavesLoggingOff) {
    paths_.control = root_ + "/no/such/dir/mqtt_debug_enable";
    debug_log_set_paths(paths_);
    debug_switch = 5;
    {
        plat::ShellRecorder shell;
        init_debug_info();
        EXPECT_EQ(shell.commands(),
                  std::vector<std::string>{"echo 1 > " + root_ + "/no/such/dir/mqtt_debug_enable"});
    }
    EXPECT_EQ(debug_switch, 0);
}

TEST_F(DebugLogTest, DefaultPathsGiveTheFirmwareCommands) {
    if (exists("/var/run/mqtt_debug_enable")) GTEST_SKIP() << "host has a control file";
    debug_log_set_paths(DebugLogPaths{});
    plat::ShellRecorder shell;  // never creates the file, so start-up stops there
    init_debug_info();
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"echo 1 > /var/run/mqtt_debug_enable"});
    EXPECT_EQ(debug_switch, 0);
}

TEST_F(DebugLogTest, HeaderCarriesLocalTimePidUnitAndLineButNotTheFunction) {
    start_with_log("");
    _debug("utils", "get_ac_addr_fn", 607, "get ac addr\n");
    clock_.advance(uint64_t{90000} * 1000000);  // next day, an hour later
    _debug("lnetlink", "get_ac_addr_fn", 42, "sta %s num %d", "aa:bb", 3);
    _debug("Fenwire", "get_ac_addr_fn", 7, "%s\n", "after a line without newline");
    std::string want = header("<03-07 14:05:09>", "utils", 607) + "get ac addr\n" +
                       header("<03-08 15:05:09>", "lnetlink", 42) + "sta aa:bb num 3" +
                       header("<03-08 15:05:09>", "Fenwire", 7) + "after a line without newline\n";
    EXPECT_EQ(log(), want);
    EXPECT_EQ(log().find("get_ac_addr_fn"), std::string::npos);
}

TEST_F(DebugLogTest, LongMessagesAreAppendedWhole) {
    start_with_log("");
    std::string big(5000, 'z');
    debug_com_en = 1;
    _debug("utils", "f", 1, "%s\n", big.c_str());
    _debug("utils", "f", 1, "%s\n", big.c_str());  // too long to fold: appended again
    std::string line = header("<03-07 14:05:09>", "utils", 1) + big + "\n";
    EXPECT_EQ(log(), line + line);
}

TEST_F(DebugLogTest, LogAtLimitIsCopiedAsideAndRestartedOnTheNextCall) {
    std::string full(524287, 'x');
    full.back() = '\n';
    start_with_log(full);
    write_file(paths_.previous, "older generation\n");

    _debug("utils", "f", 3, "first\n");
    std::string grown = full + header("<03-07 14:05:09>", "utils", 3) + "first\n";
    EXPECT_EQ(log(), grown);
    EXPECT_EQ(read_file(paths_.previous), "older generation\n");

    clock_.advance(2000000);
    _debug("utils", "f", 4, "second\n");
    EXPECT_EQ(read_file(paths_.previous), grown);
    EXPECT_EQ(log(), header("<03-07 14:05:11>", "utils", 4) + "second\n");
}

TEST_F(DebugLogTest, RotationRunsTheCopyCommandEvenWhenItFails) {
    start_with_log(std::string(524288, '\n'));
    plat::ShellRecorder shell;
    shell.answer("cp ", "", 256);
    _debug("utils", "f", 3, "after\n");
    EXPECT_EQ(shell.commands(),
              std::vector<std::string>{"cp " + paths_.current + " " + paths_.previous});
    EXPECT_EQ(log(), header("<03-07 14:05:09>", "utils", 3) + "after\n");
}

TEST_F(DebugLogTest, RepeatsFoldIntoTheLastLineWithTheLatestTimeStamp) {
    start_with_log("");
    _debug("utils", "f", 1, "earlier\n");
    for (int i = 0; i < 3; ++i) {
        debug_com_en = 1;
        _debug("utils", "f", 500 + i, "Receive heartbeat\n");
        debug_com_en = 0;
        clock_.advance(10000000);
    }
    std::string earlier = header("<03-07 14:05:09>", "utils", 1) + "earlier\n";
    std::string folded = "<03-07 14:05:29>" + header("", "utils", 500) + "Receive heartbeat(3)\n";
    EXPECT_EQ(log(), earlier + folded);

    debug_com_en = 1;
    _debug("utils", "f", 9, "other\n");
    _debug("utils", "f", 9, "Receive heartbeat\n");
    _debug("utils", "f", 9, "Receive heartbeat\n");
    std::string fresh = header("<03-07 14:05:39>", "utils", 9);
    EXPECT_EQ(log(), earlier + folded + fresh + "other\n" + fresh + "Receive heartbeat(2)\n");
}

// One call with folding raised against a prepared last line.
TEST_F(DebugLogTest, FoldingAppliesOnlyWhenTheMessageEndsTheLastLine) {
    const std::string hdr = header("<01-01 00:00:00>", "utils", 5);
    const std::string now = "<03-07 14:05:09>";
    const std::string fresh = header(now.c_str(), "utils", 8);
    const std::string long_head(2000, 'h');
    // Lines of 1020 and 1021 bytes: folded the first reaches 1023, the second 1024.
    const std::string fits = hdr + std::string(1020 - hdr.size() - 5, 'h');
    const std::string spills = fits + "h";
    struct Case {
        const char *name;
        std::string before;
        int com_en;
        std::string msg;
        std::string after;
    };
    const Case cases[] = {
        {"empty log", "", 1, "ping\n", fresh + "ping\n"},
        {"one-byte log", "x", 1, "x\n", "x" + fresh + "x\n"},
        {"one newline", "\n", 1, "\n", "\n" + fresh + "\n"},
        {"folding off", hdr + "ping\n", 0, "ping\n", hdr + "ping\n" + fresh + "ping\n"},
        {"text after message", hdr + "ping now\n", 1, "ping\n",
         hdr + "ping now\n" + fresh + "ping\n"},
        {"no newline at end", hdr + "ping", 1, "ping\n", now + hdr.substr(16) + "ping(2)\n"},
        {"message without newline", hdr + "ping\n", 1, "ping", now + hdr.substr(16) + "ping(2)\n"},
        {"counter grows", hdr + "ping(41)\n", 1, "ping\n", now + hdr.substr(16) + "ping(42)\n"},
        {"only the last line", hdr + "ping\n" + hdr + "pong\n", 1, "ping\n",
         hdr + "ping\n" + hdr + "pong\n" + fresh + "ping\n"},
        {"earlier lines kept", hdr + "a\n" + hdr + "ping(2)\n", 1, "ping\n",
         hdr + "a\n" + now + hdr.substr(16) + "ping(3)\n"},
        {"paren without close", hdr + "ping(7\n", 1, "ping\n", hdr + "ping(7\n" + fresh + "ping\n"},
        {"shorter fold drops stale tail", hdr + "ping(9) and a long trailing remark\n", 1, "ping\n",
         now + hdr.substr(16) + "ping(10)\n"},
        {"earlier identical line kept", "ping\n" + hdr + "ping\n", 1, "ping\n",
         "ping\n" + now + hdr.substr(16) + "ping(2)\n"},
        {"fold just fits the line buffer", fits + "ping\n", 1, "ping\n",
         now + fits.substr(16) + "ping(2)\n"},
        {"fold would overflow the line buffer", spills + "ping\n", 1, "ping\n",
         spills + "ping\n" + fresh + "ping\n"},
        {"last line longer than the buffer", hdr + long_head + "ping\n", 1, "ping\n",
         hdr + long_head + "ping\n" + fresh + "ping\n"},
    };
    start_with_log("");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(paths_.current, c.before);
        debug_com_en = c.com_en;
        _debug("utils", "f", 8, "%s", c.msg.c_str());
        EXPECT_EQ(log(), c.after);
    }
}

TEST(DebugFoldLine, BoundsAndCountsWithoutAFile) {
    const char *stamp = "<12-31 23:59:59>";
    char line[kDebugLineBuf] = {0};
    std::snprintf(line, sizeof line, "<01-01 00:00:00> MQTT(1)-[utils +1]\tx(2147483647)\n");
    ASSERT_GT(debug_fold_line(line, "x", stamp), 0u);
    EXPECT_STREQ(line, "<12-31 23:59:59> MQTT(1)-[utils +1]\tx(2147483647)\n");

    std::snprintf(line, sizeof line, "ab\n");  // too short to carry a stamp
    EXPECT_EQ(debug_fold_line(line, "ab", stamp), 0u);
    EXPECT_STREQ(line, "ab\n");

    std::string full(kDebugLineBuf - 3, 'a');  // + "q\n": the largest line that fits
    std::snprintf(line, sizeof line, "%sq\n", full.c_str());
    EXPECT_EQ(debug_fold_line(line, "q", stamp), 0u);  // "q(2)\n" would need 1026

    const char tail[] = "abc\ndef\n";
    EXPECT_EQ(debug_last_line_start(tail, 8, 8), 4);
    EXPECT_EQ(debug_last_line_start(tail + 3, 5, 105), 101);  // the line and its newline
    EXPECT_EQ(debug_last_line_start(tail + 4, 4, 104), -1);   // line may start before tail
    EXPECT_EQ(debug_last_line_start(tail, 1, 1), -1);
}

TEST_F(DebugLogTest, ConcurrentCallersNeverInterleaveOrLoseLines) {
    start_with_log("");
    constexpr int kThreads = 4, kLines = 300, kBeats = 300;
    debug_com_en = 1;  // every call tries to fold; distinct lines must still append
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                _debug("lnetlink", "f", t, "thread %d line %d\n", t, i);
        });
    threads.emplace_back([] {
        for (int i = 0; i < kBeats; ++i) _debug("utils", "f", 99, "Receive heartbeat\n");
    });
    for (auto &th : threads) th.join();

    std::istringstream in(log());
    std::string line;
    std::map<std::string, int> seen;
    int beats = 0;
    const std::string pid = "MQTT(" + std::to_string(getpid()) + ")-[";
    while (std::getline(in, line)) {
        ASSERT_EQ(line.compare(0, 16, "<03-07 14:05:09>"), 0) << line;
        ASSERT_EQ(line.compare(17, pid.size(), pid), 0) << line;
        std::string msg = line.substr(line.find('\t') + 1);
        if (msg.compare(0, 17, "Receive heartbeat") == 0) {
            int n = msg.size() == 17 ? 1 : std::atoi(msg.c_str() + 18);
            ASSERT_TRUE(msg.size() == 17 || msg == "Receive heartbeat(" + std::to_string(n) + ")")
                << line;
            beats += n;
        } else {
            ++seen[msg];
        }
    }
    EXPECT_EQ(beats, kBeats);
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto &kv : seen) EXPECT_EQ(kv.second, 1) << kv.first;
}

}  // namespace
