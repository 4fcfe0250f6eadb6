// The fleet runner as shipped: a small fleet of both agents in sandbox
// roots comes up, holds the run state under churn without a missed
// heartbeat and leaves nothing behind; and two fleets, one without
// simulators, share one broker as two machines would.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "broker.h"
#include "sandbox.h"

namespace {

struct FleetRun {
    int status = -1;
    std::string out;
    std::map<std::string, double> summary;  // "summary NAME VALUE UNIT" lines
};

FleetRun run_fleet(const std::string &args) {
    FleetRun r;
    std::string cmd = sandbox::bin("fleet") + " " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string tag, name;
        double value;
        if (words >> tag >> name >> value && tag == "summary") r.summary[name] = value;
    }
    return r;
}

// Processes whose command line holds `text`.
int processes_naming(const std::string &text) {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream f(e.path() / "cmdline");
        std::string cmdline((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        n += cmdline.find(text) != std::string::npos;
    }
    return n;
}

std::string temp_dir() {
    char tmpl[] = "/tmp/apm-fleet-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

// Short heartbeats and quick churn, so that a short hold still holds many.
const std::string kQuick = " -H 3 -I 5 -c 2";

TEST(Fleet, BothAgentsComeUpHoldTheRunStateUnderChurnAndLeaveNothingBehind) {
    std::string dir = temp_dir() + "/fleet";
    FleetRun r = run_fleet("-n 4 -a mix -t 20" + kQuick + " -d " + dir);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.summary["agents_fenwire"], 2);
    EXPECT_EQ(r.summary["agents_ostrel"], 2);
    EXPECT_EQ(r.summary["in_run_at_end"], 4);
    EXPECT_GT(r.summary["all_run_s"], 0);
    EXPECT_EQ(r.summary["missed_heartbeats"], 0);
    EXPECT_EQ(r.summary["fenwire_logged_misses"], 0);
    EXPECT_EQ(r.summary["ended"], 0);
    // 4 APs, one event each every 2 s, for at least the 20 s held.
    EXPECT_GE(r.summary["churn_events"], 30);
    EXPECT_EQ(r.summary["churn_events_lost"], 0);
    EXPECT_GT(r.summary["agent_private_dirty_mean"], 0);
    EXPECT_NE(r.out.find("run 4"), std::string::npos) << r.out;
    // The sandboxes are gone with their folder.
    EXPECT_NE(system(("test -e " + dir).c_str()), 0);
    EXPECT_EQ(processes_naming(dir), 0);
}

TEST(Fleet, TwoMachinesShareOneBrokerAndTheSimulatorsSeeBothHalves) {
    sandbox::Broker broker;
    std::string at = " -b 127.0.0.1:" + std::to_string(broker.port());
    FleetRun remote;
    // The second machine's half: agents only, serial numbers of its own.
    std::thread other([&] { remote = run_fleet("-S -n 2 -s RM -t 30" + kQuick + at); });
    FleetRun local = run_fleet("-n 2 -s LC -t 20" + kQuick + at);
    other.join();
    ASSERT_EQ(local.status, 0) << local.out;
    ASSERT_EQ(remote.status, 0) << remote.out;
    // The machine with the simulators counts all four APs in the run state.
    EXPECT_NE(local.out.find("run 4"), std::string::npos) << local.out;
    EXPECT_EQ(local.summary["missed_heartbeats"], 0);
    EXPECT_GE(remote.summary["churn_events"], 10);
}

TEST(Fleet, BadOptionsAreRefusedWithTheUsage) {
    for (const char *args : {"-n 0", "-a router", "-b nowhere", "-S", "extra"}) {
        FleetRun r = run_fleet(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.out.find("usage: fleet"), std::string::npos) << args;
    }
}

}  // namespace
