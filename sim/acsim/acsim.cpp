#include "acsim.h"

#include <mosquitto.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "json_lite.h"

namespace sim {

AcSim::AcSim(const AcSettings &settings) : settings_(settings) {
    mosquitto_lib_init();
    m_ = mosquitto_new("acsim", true, this);
    if (!m_) throw std::runtime_error("acsim: cannot create an MQTT client");
    mosquitto_connect_callback_set(m_, connected);
    mosquitto_message_callback_set(m_, received);
    mosquitto_reconnect_delay_set(m_, 1, 2, false);
}

AcSim::~AcSim() {
    stop();
    mosquitto_destroy(m_);
    mosquitto_lib_cleanup();
}

void AcSim::start() {
    mosquitto_connect_async(m_, settings_.host.c_str(), settings_.port, 10);
    mosquitto_loop_start(m_);
}

void AcSim::stop() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
}

void AcSim::connected(struct mosquitto *m, void *, int rc) {
    if (rc == 0) mosquitto_subscribe(m, nullptr, "config/+", 1);
}

void AcSim::received(struct mosquitto *, void *self, const struct mosquitto_message *msg) {
    // A retained message is an AP's old request, already answered or stale.
    if (msg->retain || !msg->topic) return;
    std::string topic = msg->topic;
    std::string payload(static_cast<const char *>(msg->payload),
                        static_cast<size_t>(msg->payloadlen));
    static_cast<AcSim *>(self)->handle(topic.substr(topic.find('/') + 1), payload);
}

void AcSim::handle(const std::string &sn, const std::string &payload) {
    std::string type = json_string(payload, "type");
    record({true, sn, type, payload});
    int join_result, config_result;
    bool heartbeats;
    {
        std::lock_guard<std::mutex> lock(mu_);
        join_result = settings_.join_result;
        config_result = settings_.config_result;
        heartbeats = settings_.answer_heartbeats;
    }
    if (type == "state" && payload.find("\"more\":true") != std::string::npos) {
        send_run(sn, 3);  // the rest of the events come with the next report
    } else if (type == "heartbeat") {
        if (heartbeats) send(sn, "heartbeat_resp", "{}");
    } else if (type == "join") {
        send(sn, "join_resp", "{\"result\":" + std::to_string(join_result) + "}");
    } else if (type == "config") {
        send(sn, "config_resp",
             "{\"result\":" + std::to_string(config_result) +
                 ",\"config\":{\"ssid\":\"demo-ap\",\"channel\":6}}");
    }
}

void AcSim::send(const std::string &sn, const std::string &type, const std::string &json) {
    // `json` is an object; the type and serial number go in front of its fields.
    std::string body = json.size() > 2 ? "," + json.substr(1) : "}";
    std::string msg =
        "{\"type\":\"" + json_escape(type) + "\",\"sn\":\"" + json_escape(sn) + "\"" + body;
    std::string topic = "apsub/" + sn;
    mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(msg.size()), msg.data(), 1,
                      false);
    record({false, sn, type, msg});
}

void AcSim::send_run(const std::string &sn, int reset) {
    int id;
    {
        std::lock_guard<std::mutex> lock(mu_);
        id = next_id_++;
    }
    send(sn, "run", "{\"id\":" + std::to_string(id) + ",\"reset\":" + std::to_string(reset) + "}");
}

bool AcSim::command(const std::string &line) {
    std::istringstream in(line);
    std::string verb, sn, arg;
    in >> verb >> sn >> arg;
    if (verb == "run" && !sn.empty() && !arg.empty())
        send_run(sn, std::atoi(arg.c_str()));
    else if (verb == "update" && !sn.empty())
        send_run(sn, 4);
    else if (verb == "userinfo" && !sn.empty())
        send_run(sn, 5);
    else if (verb == "heartbeats" && (sn == "on" || sn == "off"))
        set_answer_heartbeats(sn == "on");
    else
        return false;
    return true;
}

void AcSim::record(const AcEvent &e) {
    std::function<void(const AcEvent &)> fn;
    {
        std::lock_guard<std::mutex> lock(mu_);
        events_.push_back(e);
        fn = on_event_;
    }
    if (fn) fn(e);
}

std::vector<AcEvent> AcSim::events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
}

size_t AcSim::count(const std::string &sn, const std::string &type, bool from_ap) const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const auto &e : events_)
        if (e.from_ap == from_ap && e.sn == sn && e.type == type) ++n;
    return n;
}

void AcSim::on_event(std::function<void(const AcEvent &)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    on_event_ = std::move(fn);
}

void AcSim::set_join_result(int r) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.join_result = r;
}

void AcSim::set_config_result(int r) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.config_result = r;
}

void AcSim::set_answer_heartbeats(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.answer_heartbeats = on;
}

namespace {

std::string join_list(const std::vector<std::string> &items) {
    std::string out;
    for (const auto &i : items) out += (out.empty() ? "" : " ") + i;
    return out;
}

std::string describe_state(const std::string &p) {
    std::string out = "online " + std::to_string(json_number(p, "radio1")) + " (2.4G) + " +
                      std::to_string(json_number(p, "radio2")) + " (5G)";
    auto events = json_strings(p, "event");
    auto macs = json_strings(p, "mac");
    auto ips = json_strings(p, "ip");
    for (size_t i = 0; i < events.size() && i < macs.size(); ++i)
        out += (i ? ", " : "; ") + events[i] + " " + macs[i] + (i < ips.size() ? " " + ips[i] : "");
    return out;
}

}  // namespace

std::string describe(const AcEvent &e) {
    const std::string &p = e.payload;
    std::string what;
    if (e.type == "state")
        what = describe_state(p);
    else if (e.type == "run" || e.type == "ack")
        what = "id " + std::to_string(json_number(p, "id")) + ", action " +
               std::to_string(json_number(p, "reset"));
    else if (e.type == "user_info")
        what = "stations " + join_list(json_strings(p, "mac"));
    else if (e.type == "update_ack")
        what = "code " + std::to_string(json_number(p, "code"));
    else if (e.type == "join_resp" || e.type == "config_resp")
        what = "result " + std::to_string(json_number(p, "result"));
    return std::string(e.from_ap ? "AC <- " : "AC -> ") + e.sn + " " + e.type +
           (what.empty() ? "" : ": " + what);
}

}  // namespace sim
