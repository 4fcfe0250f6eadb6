// Support of the run state: radio readiness, the FAT marker file, the
// user-information report and the firmware update.
#pragma once

#include <string>

struct lua_State;
struct NLnode;

// 1 when no restart_wifi process runs (also when the count cannot be read);
// 0 when one runs or the check cannot be started.
int wifiReady();
// 1 when the marker file existed (it is removed); else 0.
int apWebConfig();
// Passes every reported-online station with samples to the script and
// publishes the assembled report; publishes nothing when none qualifies.
// The caller holds netlink_mutex.
void sendUserInfo(lua_State *L, unsigned char *buffer, NLnode *head);
// Publishes the script's acknowledgement; when the script accepts the
// update, waits (about 2 s at most, with mosq_mutex let go) until the
// acknowledgement is reported sent, then flashes /tmp/firmware.img and ends
// the process with status 1. The caller holds mosq_mutex.
void UpdateSw(lua_State *L, const unsigned char *payload, int len);

// The marker file ("/tmp/flag"); tests point it elsewhere.
void run_reports_set_flag_path(const std::string &path);
// What ends the process after an update; tests replace it.
void run_reports_set_exit(void (*exit_fn)(int status));
