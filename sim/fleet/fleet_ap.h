// One AP of the fleet: a sandbox root of its own (a folder whose tmp/ and
// var/ are the AP's /tmp and /var), its agent started there through aproot
// with the fake Wi-Fi driver preloaded and its own serial number and script
// settings, and the station churn of its fake driver.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim {

// Where the fleet finds what it runs.
struct FleetPaths {
    std::string bin;     // aproot, Fenwire, ostrel
    std::string lib;     // libfakewifi.so
    std::string source;  // examples/lua and sim/stubs below it
};

struct ApSettings {
    std::string kind;  // "Fenwire" or "ostrel"
    std::string sn;
    std::string dir;  // the AP's folder on the host
    std::string host = "127.0.0.1";
    int port = 1883;
    int heartbeat = 10;  // Fenwire: HEARTBEAT_TIMEOUT; ostrel: server_interval
    int index = 0;       // makes the AP's station MACs its own
};

class FleetAp {
  public:
    FleetAp(const ApSettings &settings, const FleetPaths &paths);
    ~FleetAp();
    FleetAp(const FleetAp &) = delete;
    FleetAp &operator=(const FleetAp &) = delete;

    // Makes the folder and starts the sandbox; false with a message.
    bool start(std::string &error);
    // One step of churn: a new station joins while fewer than three are
    // associated, otherwise the longest associated one leaves. False when
    // the event could not be delivered (the agent has not opened its
    // driver socket yet, or it is gone).
    bool churn();
    // Whether the sandbox still runs (reaps it once it ended).
    bool running();
    // SIGTERM to the sandbox, which ends the agent with it.
    void stop();
    // Waits up to `ms` for the end, then SIGKILL.
    void reap(int ms);

    const ApSettings &settings() const { return s_; }
    pid_t launcher() const { return launcher_; }
    // The agent's host pid, found below the launcher once (-1: not yet).
    pid_t agent();
    // The agent's log: Fenwire's log files, ostrel's output.
    std::string log_text() const;
    // The sandbox's output (ostrel's log) is copied to out.old and emptied
    // once it holds `max` bytes, so that a fleet left running for days keeps
    // at most twice that per AP. The agent writes in append mode and goes
    // on at the new end.
    void bound_output(long max);

  private:
    std::vector<std::string> launcher_args() const;

    ApSettings s_;
    FleetPaths paths_;
    pid_t launcher_ = -1;
    pid_t agent_ = -1;
    int status_ = -1;
    unsigned next_station_ = 0;
    std::vector<unsigned> associated_;
};

}  // namespace sim
