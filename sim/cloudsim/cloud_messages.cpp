#include "cloud_messages.h"

namespace sim {

CloudAnswer cloud_answer(const json &msg, const CloudPolicy &policy) {
    CloudAnswer a;
    if (!policy.answer) return a;
    std::string type = text_field(msg, "type");
    if (type == "join") {
        a.type = "join_resp";
        a.fields = {{"result", policy.join_result}, {"image", policy.need_image ? 1 : 0}};
    } else if (type == "config") {
        a.type = "config_resp";
        a.fields = {{"result", policy.config_result},
                    {"config", {{"ssid", "cloud-ap"}, {"channel", 11}}}};
    }
    return a;
}

std::string request_name(long type) {
    static const char *const names[] = {"run",      "disconnect", "get",
                                        "download", "upload",     "command"};
    return type >= 1 && type <= 6 ? names[type - 1] : "request";
}

std::string message_kind(const json &msg) {
    if (!msg.is_object()) return "";
    auto type = msg.find("type");
    if (type == msg.end()) return "";
    if (type->is_string()) return type->get<std::string>();
    if (type->is_number()) return request_name(number_field(msg, "type", -1));
    return "";
}

bool split_topic(const std::string &topic, const std::string &prefix, std::string *sn,
                 std::string *leaf) {
    if (topic.compare(0, prefix.size() + 1, prefix + "/") != 0) return false;
    size_t start = prefix.size() + 1, slash = topic.find('/', start);
    if (slash == std::string::npos || slash == start) return false;
    *sn = topic.substr(start, slash - start);
    *leaf = topic.substr(slash + 1);
    return !leaf->empty() && leaf->find('/') == std::string::npos;
}

namespace {

std::string id_of(const json &msg) {
    return "id " + std::to_string(number_field(msg, "id"));
}

std::string flag(const json &msg, const char *key) {
    auto it = msg.find(key);
    return it != msg.end() && (*it == true || *it == 1) ? "yes" : "no";
}

// The MACs of the stations in the list `key`.
std::string macs(const json &msg, const char *key) {
    std::string out;
    auto list = msg.find(key);
    if (list == msg.end() || !list->is_array()) return out;
    for (const auto &s : *list) {
        std::string mac = text_field(s, "mac");
        if (!mac.empty()) out += " " + mac;
    }
    return out;
}

std::string describe_station(const json &msg) {
    std::string out = text_field(msg, "event") + " " + text_field(msg, "mac");
    for (const char *key : {"ip", "hostname", "ssid"}) {
        std::string v = text_field(msg, key);
        if (!v.empty()) out += " " + v;
    }
    return out + ", radio " + std::to_string(number_field(msg, "radio")) + " wlan " +
           std::to_string(number_field(msg, "wlan")) + ", rssi " +
           std::to_string(number_field(msg, "rssi"));
}

std::string describe_fields(const std::string &kind, const json &msg) {
    if (kind == "heartbeat")
        return "uptime " + std::to_string(number_field(msg, "uptime")) + ", stations " +
               std::to_string(number_field(msg, "stations"));
    if (kind == "station") return describe_station(msg);
    if (kind == "stainfo")
        return "stations" + macs(msg, "stations") + (flag(msg, "more") == "yes" ? " (more)" : "");
    if (kind == "join_resp" || kind == "config_resp")
        return "result " + std::to_string(number_field(msg, "result"));
    if (kind == "ack")
        return id_of(msg) + ", request " + std::to_string(number_field(msg, "request"));
    if (kind == "download" || kind == "download_resp") {
        std::string out = id_of(msg) + ", upgrade " + flag(msg, "upgrade");
        return kind == "download" ? out : out + ", image " + flag(msg, "image");
    }
    if (kind == "command") return id_of(msg) + ": " + text_field(msg, "command");
    if (kind == "command_resp")
        return id_of(msg) + ", code " + std::to_string(number_field(msg, "code")) + ": " +
               text_field(msg, "output");
    if (kind == "upload" || kind == "upload_resp")
        return id_of(msg) + ", " + text_field(msg, "what");
    if (kind == "schedule")
        return id_of(msg) + ", " + std::to_string(number_field(msg, "seq")) + " of " +
               std::to_string(number_field(msg, "times"));
    if (kind == "request")
        return id_of(msg) + ", type " + std::to_string(number_field(msg, "type"));
    if (msg.find("id") != msg.end()) return id_of(msg);
    return "";
}

}  // namespace

std::string describe(const CloudEvent &e) {
    json msg = parse_object(e.payload);
    std::string head = std::string(e.from_ap ? "CLOUD <- " : "CLOUD -> ") + e.sn + " ";
    if (!msg.is_object())
        return head + "(not JSON, " + std::to_string(e.payload.size()) + " bytes)";
    std::string what = describe_fields(e.kind, msg);
    return head + (e.kind.empty() ? "(no type)" : e.kind) + (what.empty() ? "" : ": " + what);
}

}  // namespace sim
