// What the fleet's controller and cloud have heard, AP by AP: the stage each
// AP is in, when it first reached the run state, and the heartbeats it
// missed. Fed from the simulators' network threads; every time is passed in
// (seconds on one clock), so the rules run in virtual time in tests.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

enum class Stage { Waiting, Join, Config, Run };
constexpr int kStages = 4;
const char *stage_name(Stage s);

struct StageCounts {
    int count[kStages] = {};
    int late = 0;  // in the run state, with the next heartbeat overdue
};

struct ApRecord {
    std::string kind;   // "Fenwire" or "ostrel"
    double period = 0;  // seconds between two heartbeats
    Stage stage = Stage::Waiting;
    double first_run = -1;  // when the run state was first reached (-1: never)
    double last_beat = -1;  // the last heartbeat, or the entry into the run state
    int beats = 0;          // heartbeats heard
    int missed = 0;         // heartbeats that did not come, counted from the gaps
    int rejoins = 0;        // joins heard after the run state was reached
};

class FleetView {
  public:
    // A heartbeat counts as missed when none came for `slack` times the
    // AP's period.
    explicit FleetView(double slack = 1.5) : slack_(slack) {}

    // An AP the fleet started. APs heard without being added (those another
    // machine runs) are added as they are heard, with `default_period`.
    void add(const std::string &sn, const std::string &kind, double period);
    void set_default_period(const std::string &kind, double period);

    void join_heard(const std::string &sn, const std::string &kind, double now);
    void config_heard(const std::string &sn, const std::string &kind, double now);
    // The configuration was accepted: the AP enters the run state.
    void config_accepted(const std::string &sn, const std::string &kind, double now);
    // A heartbeat, or another message that stands for one (Fenwire sends no
    // heartbeat in a tick that sends a state report).
    void life_heard(const std::string &sn, const std::string &kind, double now);

    Stage stage(const std::string &sn) const;
    StageCounts counts(double now) const;
    // Missed heartbeats of all APs, those overdue at `now` included.
    int missed(double now) const;
    // When the last of the APs reached the run state, if all of them have
    // (-1 otherwise).
    double all_run_at() const;
    size_t size() const;
    std::vector<std::pair<std::string, ApRecord>> records() const;

  private:
    ApRecord &find(const std::string &sn, const std::string &kind);
    // Heartbeats missed in a silence of `gap` seconds.
    int misses_in(double gap, double period) const;

    double slack_;
    mutable std::mutex mu_;
    std::map<std::string, ApRecord> aps_;
    std::map<std::string, double> default_period_;
};

}  // namespace sim
