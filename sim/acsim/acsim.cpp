#include "acsim.h"

#include <mosquitto.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace sim {

AcSim::AcSim(const AcSettings &settings) : settings_(settings) {
    mosquitto_lib_init();
    m_ = mosquitto_new("acsim", true, this);
    if (!m_) throw std::runtime_error("acsim: cannot create an MQTT client");
    mosquitto_connect_callback_set(m_, connected);
    mosquitto_subscribe_callback_set(m_, subscribed);
    mosquitto_disconnect_callback_set(m_, disconnected);
    mosquitto_message_callback_set(m_, received);
    mosquitto_reconnect_delay_set(m_, 1, 2, false);
}

AcSim::~AcSim() {
    stop();
    mosquitto_destroy(m_);
    mosquitto_lib_cleanup();
}

void AcSim::start() {
    connect_.start(m_, settings_.host, settings_.port, 10);
}

void AcSim::stop() {
    connect_.stop();
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
}

void AcSim::connected(struct mosquitto *m, void *, int rc) {
    if (rc == 0) mosquitto_subscribe(m, nullptr, "config/+", 1);
}

void AcSim::subscribed(struct mosquitto *, void *self, int, int, const int *) {
    static_cast<AcSim *>(self)->ready_ = true;
}

void AcSim::disconnected(struct mosquitto *, void *self, int) {
    static_cast<AcSim *>(self)->ready_ = false;
}

void AcSim::received(struct mosquitto *, void *self, const struct mosquitto_message *msg) {
    // A retained message is an AP's old request, already answered or stale.
    if (msg->retain || !msg->topic) return;
    std::string topic = msg->topic;
    std::string payload(static_cast<const char *>(msg->payload),
                        static_cast<size_t>(msg->payloadlen));
    try {
        static_cast<AcSim *>(self)->handle(topic.substr(topic.find('/') + 1), payload);
    } catch (const std::exception &) {
        // Nothing may leave a callback of the library; the message is dropped.
    }
}

void AcSim::handle(const std::string &sn, const std::string &payload) {
    json msg = parse_object(payload);
    record({true, sn, text_field(msg, "type"), payload});
    AcPolicy policy;
    {
        std::lock_guard<std::mutex> lock(mu_);
        policy = settings_;
    }
    AcAnswer a = ac_answer(msg, policy);
    if (a.kind == AcAnswer::Run)
        send_run(sn, a.reset);
    else if (a.kind == AcAnswer::Message)
        send(sn, a.type, a.fields);
}

void AcSim::send(const std::string &sn, const std::string &type, const ordered_json &fields) {
    ordered_json msg = {{"type", type}, {"sn", sn}};
    if (fields.is_object())
        for (auto it = fields.begin(); it != fields.end(); ++it) msg[it.key()] = it.value();
    std::string text = to_text(msg);
    std::string topic = "apsub/" + sn;
    mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(text.size()), text.data(), 1,
                      false);
    record({false, sn, type, text});
}

void AcSim::send_run(const std::string &sn, int reset) {
    int id;
    {
        std::lock_guard<std::mutex> lock(mu_);
        id = next_id_++;
    }
    send(sn, "run", {{"id", id}, {"reset", reset}});
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
        if (settings_.keep_events) events_.push_back(e);
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

}  // namespace sim
