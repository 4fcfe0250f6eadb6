// What acsim makes of one message: the answer it sends back and a one-line
// reading for people. Pure functions over the message, so they can be
// fuzzed without a broker.
#pragma once

#include <string>

#include "json_fields.h"

namespace sim {

struct AcEvent {
    bool from_ap;         // true: heard from the AP; false: sent to it
    std::string sn;       // the AP's serial number (from the topic)
    std::string type;     // the message's "type" field
    std::string payload;  // the whole message
};

// How the controller answers, as AcSettings holds it.
struct AcPolicy {
    int join_result = 0;    // 0 accepts a join
    int config_result = 0;  // 0 accepts a configuration
    bool answer_heartbeats = true;
};

struct AcAnswer {
    enum Kind { None, Message, Run } kind = None;
    std::string type;     // Message: its type
    ordered_json fields;  // Message: its further fields
    int reset = 0;        // Run: the action code of a run message
};

// The answer to `msg` (parsed with parse_object) from an AP.
AcAnswer ac_answer(const json &msg, const AcPolicy &policy);

// A one-line human reading of an event, for the command and the demo.
std::string describe(const AcEvent &e);

}  // namespace sim
