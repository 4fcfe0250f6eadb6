// The fleet's run: its broker and simulators, the APs started at a steady
// rate, churn on every AP, progress while it comes up, the hold in the run
// state and the summary. See fleet_main.cpp for the options.
#pragma once

#include <string>

namespace sim {

struct FleetOptions {
    int agents = 10;
    std::string kind = "mix";  // "Fenwire", "ostrel" or "mix"
    int hold_s = 60;           // the whole fleet in the run state this long
    int ramp_s = 600;          // at most this long to get there
    int rate = 50;             // agents started per second
    int churn_s = 10;          // seconds between two station events of one AP
    int fenwire_heartbeat = 10;
    int ostrel_interval = 30;
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a broker of the fleet's own
    std::string prefix = "FL";
    int first = 0;
    bool simulators = true;
    bool keep = false;
    std::string dir;  // empty: a new folder
};

// For a signal handler: ends the run early (the summary is still printed).
void request_fleet_stop(int);
// The exit status: 0 when every AP reached the run state, stayed in it and
// missed no heartbeat; 1 otherwise; 2 when the fleet could not be set up.
int run_fleet(const FleetOptions &options);

}  // namespace sim
