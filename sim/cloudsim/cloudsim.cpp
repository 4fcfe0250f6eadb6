#include "cloudsim.h"

#include <mosquitto.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace sim {

CloudSim::CloudSim(const CloudSettings &settings) : settings_(settings) {
    mosquitto_lib_init();
    m_ = mosquitto_new("cloudsim", true, this);
    if (!m_) throw std::runtime_error("cloudsim: cannot create an MQTT client");
    mosquitto_connect_callback_set(m_, connected);
    mosquitto_subscribe_callback_set(m_, subscribed);
    mosquitto_disconnect_callback_set(m_, disconnected);
    mosquitto_message_callback_set(m_, received);
    mosquitto_reconnect_delay_set(m_, 1, 2, false);
}

CloudSim::~CloudSim() {
    stop();
    mosquitto_destroy(m_);
    mosquitto_lib_cleanup();
}

void CloudSim::start() {
    connect_.start(m_, settings_.host, settings_.port, 10);
}

void CloudSim::stop() {
    connect_.stop();
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
}

void CloudSim::connected(struct mosquitto *m, void *self, int rc) {
    if (rc != 0) return;
    std::string all = static_cast<CloudSim *>(self)->settings_.prefix + "/+/+";
    mosquitto_subscribe(m, nullptr, all.c_str(), 1);
}

void CloudSim::subscribed(struct mosquitto *, void *self, int, int, const int *) {
    static_cast<CloudSim *>(self)->ready_ = true;
}

void CloudSim::disconnected(struct mosquitto *, void *self, int) {
    static_cast<CloudSim *>(self)->ready_ = false;
}

void CloudSim::received(struct mosquitto *, void *self, const struct mosquitto_message *msg) {
    // The agent publishes with retain: a retained message is an old one,
    // already answered or stale.
    if (msg->retain || !msg->topic) return;
    auto *cloud = static_cast<CloudSim *>(self);
    std::string sn, leaf;
    if (!split_topic(msg->topic, cloud->settings_.prefix, &sn, &leaf) || leaf == "down") return;
    std::string payload(static_cast<const char *>(msg->payload),
                        static_cast<size_t>(msg->payloadlen));
    try {
        cloud->handle(sn, msg->topic, payload);
    } catch (const std::exception &) {
        // Nothing may leave a callback of the library; the message is dropped.
    }
}

void CloudSim::handle(const std::string &sn, const std::string &topic, const std::string &payload) {
    json msg = parse_object(payload);
    record({true, sn, topic, message_kind(msg), payload});
    CloudPolicy policy;
    {
        std::lock_guard<std::mutex> lock(mu_);
        policy = settings_;
    }
    CloudAnswer a = cloud_answer(msg, policy);
    if (a.type.empty()) return;
    ordered_json answer = {{"type", a.type}, {"sn", sn}};
    for (auto it = a.fields.begin(); it != a.fields.end(); ++it) answer[it.key()] = it.value();
    publish(sn, a.type, answer);
}

void CloudSim::publish(const std::string &sn, const std::string &kind, const ordered_json &msg) {
    std::string text = to_text(msg);
    std::string topic = settings_.prefix + "/" + sn + "/down";
    // Recorded first, so that an answer the AP sends at once comes after it.
    record({false, sn, topic, kind, text});
    mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(text.size()), text.data(), 1,
                      false);
}

int CloudSim::request(const std::string &sn, int type, const ordered_json &fields) {
    int id;
    {
        std::lock_guard<std::mutex> lock(mu_);
        id = next_id_++;
    }
    ordered_json msg = {{"type", type}, {"sn", sn}, {"id", id}};
    if (fields.is_object())
        for (auto it = fields.begin(); it != fields.end(); ++it) msg[it.key()] = it.value();
    publish(sn, request_name(type), msg);
    return id;
}

namespace {

// The rest of a line after leading blanks.
std::string rest_of(std::istringstream &in) {
    std::string rest;
    std::getline(in >> std::ws, rest);
    return rest;
}

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, sep);)
        if (!item.empty()) out.push_back(item);
    return out;
}

// A whole decimal number, or false.
bool whole_number(const std::string &text, int *out) {
    if (text.empty()) return false;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < -2147483647 - 1L || v > 2147483647L) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

bool CloudSim::command(const std::string &line) {
    std::istringstream in(line);
    std::string verb, sn, arg;
    in >> verb >> sn;
    if (verb == "answer" && (sn == "on" || sn == "off")) {
        set_answer(sn == "on");
        return true;
    }
    if (sn.empty()) return false;
    int number = 0;
    if (verb == "type1") {
        request(sn, 1);
    } else if (verb == "schedule") {
        std::string times, topics;
        in >> times >> topics;
        ordered_json schedule = ordered_json::object();
        if (!times.empty()) {
            if (!whole_number(times, &number)) return false;
            schedule["times"] = number;
        }
        if (!topics.empty()) schedule["topics"] = split(topics, ';');
        request(sn, 1, {{"schedule", schedule}});
    } else if (verb == "disconnect") {
        request(sn, 2);
    } else if (verb == "get") {
        std::vector<std::string> keys;
        for (std::string key; in >> key;) keys.push_back(key);
        request(sn, 3, keys.empty() ? ordered_json::object() : ordered_json{{"keys", keys}});
    } else if (verb == "download") {
        in >> arg;
        if (!arg.empty() && arg != "upgrade") return false;
        request(sn, 4, {{"upgrade", arg == "upgrade"}});
    } else if (verb == "upload") {
        in >> arg;
        request(sn, 5, {{"what", arg.empty() ? "status" : arg}});
    } else if (verb == "command") {
        std::string text = rest_of(in);
        if (text.empty()) return false;
        request(sn, 6, {{"command", text}});
    } else if (verb == "request") {
        in >> arg;
        if (!whole_number(arg, &number)) return false;
        request(sn, number);
    } else {
        return false;
    }
    return true;
}

void CloudSim::record(const CloudEvent &e) {
    std::function<void(const CloudEvent &)> fn;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (settings_.keep_events) events_.push_back(e);
        fn = on_event_;
    }
    if (fn) fn(e);
}

std::vector<CloudEvent> CloudSim::events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
}

size_t CloudSim::count(const std::string &sn, const std::string &kind, bool from_ap) const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const auto &e : events_)
        if (e.from_ap == from_ap && e.sn == sn && e.kind == kind) ++n;
    return n;
}

void CloudSim::on_event(std::function<void(const CloudEvent &)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    on_event_ = std::move(fn);
}

void CloudSim::set_join_result(int r) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.join_result = r;
}

void CloudSim::set_config_result(int r) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.config_result = r;
}

void CloudSim::set_need_image(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.need_image = on;
}

void CloudSim::set_answer(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.answer = on;
}

}  // namespace sim
