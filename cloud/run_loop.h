// The run state: the first heartbeat, then 100 ms passes for ever, each
// with the schedule counter, the periodic heartbeat and station-info report
// by uptime, the station-event drain, the inbound message drain and the
// link recovery command.
#pragma once

#include <cstdint>

struct RunLoop {
    int uptime = 0;          // the last uptime the script gave
    int last_heartbeat = 0;  // uptime of the last periodic heartbeat
    int last_report = 0;     // uptime of the last station-info report
    int schedule_count = 0;
    bool recovery_started = false;
    uint64_t last_recovery_us = 0;  // when "disconnect.sh 5 &" last ran
    unsigned passes = 0;
};

// Entry to run: uptime, the settings printed, the first heartbeat.
void run_enter(RunLoop &rl);
// One pass, ending with its 100 ms sleep.
void run_pass(RunLoop &rl);
// Handles one inbound message text by its type (1 to 6; others nothing).
void run_handle_message(int type, const char *text);
[[noreturn]] void APEnterRun();
