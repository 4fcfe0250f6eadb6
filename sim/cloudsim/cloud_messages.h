// What cloudsim makes of one message of the protocol of
// examples/lua/ostrel.lua: the answer it sends back, the kind it records,
// and a one-line reading for people. Pure functions over the message, so
// they can be fuzzed without a broker.
#pragma once

#include <string>

#include "json_fields.h"

namespace sim {

struct CloudEvent {
    bool from_ap;         // true: heard from the AP; false: sent to it
    std::string sn;       // the AP's serial number (from the topic)
    std::string topic;    // where it went
    std::string kind;     // see message_kind
    std::string payload;  // the whole message
};

// How the cloud answers join and configure requests.
struct CloudPolicy {
    int join_result = 0;      // 0 accepts a join
    int config_result = 0;    // 0 accepts a configuration
    bool need_image = false;  // the join response asks for the image step
    bool answer = true;       // false: join and configure requests go unanswered
};

struct CloudAnswer {
    std::string type;     // "" when nothing is sent
    ordered_json fields;  // further fields
};

// The answer to `msg` (parsed with parse_object) from an AP.
CloudAnswer cloud_answer(const json &msg, const CloudPolicy &policy);

// The name of a request type: 1 "run", 2 "disconnect", 3 "get",
// 4 "download", 5 "upload", 6 "command", any other "request".
std::string request_name(long type);
// What a message is: the "type" text of what an AP sends, the request name
// of a "type" number, "" for anything else (not JSON, no type).
std::string message_kind(const json &msg);

// The serial number and the last level of a topic "<prefix>/<sn>/<leaf>";
// false for a topic of another shape.
bool split_topic(const std::string &topic, const std::string &prefix, std::string *sn,
                 std::string *leaf);

// A one-line human reading of an event, for the command and the demo.
std::string describe(const CloudEvent &e);

}  // namespace sim
