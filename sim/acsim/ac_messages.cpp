#include "ac_messages.h"

namespace sim {

AcAnswer ac_answer(const json &msg, const AcPolicy &policy) {
    AcAnswer a;
    std::string type = text_field(msg, "type");
    auto more = msg.is_object() ? msg.find("more") : msg.end();
    if (type == "state" && more != msg.end() && *more == true) {
        a.kind = AcAnswer::Run;  // the rest of the events come with the next report
        a.reset = 3;
    } else if (type == "heartbeat") {
        if (policy.answer_heartbeats) {
            a.kind = AcAnswer::Message;
            a.type = "heartbeat_resp";
        }
    } else if (type == "join") {
        a.kind = AcAnswer::Message;
        a.type = "join_resp";
        a.fields["result"] = policy.join_result;
    } else if (type == "config") {
        a.kind = AcAnswer::Message;
        a.type = "config_resp";
        a.fields["result"] = policy.config_result;
        a.fields["config"] = {{"ssid", "demo-ap"}, {"channel", 6}};
    }
    return a;
}

namespace {

// The string values of `key` in the objects of the list `list_key`.
std::string list_texts(const json &msg, const char *list_key, const char *key) {
    std::string out;
    auto list = msg.find(list_key);
    if (list == msg.end() || !list->is_array()) return out;
    for (const auto &item : *list) {
        std::string v = text_field(item, key);
        if (!v.empty()) out += (out.empty() ? "" : " ") + v;
    }
    return out;
}

std::string describe_state(const json &msg) {
    auto it = msg.find("online");
    json online = it != msg.end() ? *it : json();
    std::string out = "online " + std::to_string(number_field(online, "radio1")) + " (2.4G) + " +
                      std::to_string(number_field(online, "radio2")) + " (5G)";
    auto events = msg.find("events");
    if (events == msg.end() || !events->is_array()) return out;
    bool first = true;
    for (const auto &ev : *events) {
        std::string kind = text_field(ev, "event"), mac = text_field(ev, "mac");
        if (kind.empty() || mac.empty()) continue;
        std::string ip = text_field(ev, "ip");
        out += (first ? "; " : ", ") + kind + " " + mac + (ip.empty() ? "" : " " + ip);
        first = false;
    }
    return out;
}

std::string describe_fields(const std::string &type, const json &msg) {
    if (!msg.is_object()) return "";
    if (type == "state") return describe_state(msg);
    if (type == "run" || type == "ack")
        return "id " + std::to_string(number_field(msg, "id")) + ", action " +
               std::to_string(number_field(msg, "reset"));
    if (type == "user_info") return "stations " + list_texts(msg, "stations", "mac");
    if (type == "update_ack") return "code " + std::to_string(number_field(msg, "code"));
    if (type == "join_resp" || type == "config_resp")
        return "result " + std::to_string(number_field(msg, "result"));
    return "";
}

}  // namespace

std::string describe(const AcEvent &e) {
    std::string what = describe_fields(e.type, parse_object(e.payload));
    return std::string(e.from_ap ? "AC <- " : "AC -> ") + e.sn + " " + e.type +
           (what.empty() ? "" : ": " + what);
}

}  // namespace sim
