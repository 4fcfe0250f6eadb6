#include "mqtt_probe.h"

#include <mosquitto.h>

#include <stdexcept>

#include "broker.h"

namespace sandbox {

MqttProbe::MqttProbe(int port, const std::string &id) {
    mosquitto_lib_init();
    m_ = mosquitto_new(id.c_str(), true, this);
    if (!m_) throw std::runtime_error("mosquitto_new failed");
    mosquitto_connect_callback_set(m_, on_connect);
    mosquitto_subscribe_callback_set(m_, on_subscribe);
    mosquitto_message_callback_set(m_, on_message);
    if (mosquitto_connect(m_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("probe cannot connect");
    mosquitto_loop_start(m_);
    if (!wait_until([this] {
            std::lock_guard<std::mutex> lock(mu_);
            return connected_;
        }))
        throw std::runtime_error("probe not connected");
}

MqttProbe::~MqttProbe() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
    mosquitto_lib_cleanup();
}

void MqttProbe::subscribe(const std::string &topic, int qos) {
    int before;
    {
        std::lock_guard<std::mutex> lock(mu_);
        before = granted_;
    }
    mosquitto_subscribe(m_, nullptr, topic.c_str(), qos);
    wait_until([&] {
        std::lock_guard<std::mutex> lock(mu_);
        return granted_ > before;
    });
}

void MqttProbe::publish(const std::string &topic, const std::string &payload, int qos,
                        bool retain) {
    mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                      qos, retain);
}

std::vector<Heard> MqttProbe::heard() const {
    std::lock_guard<std::mutex> lock(mu_);
    return heard_;
}

bool MqttProbe::wait_heard(size_t n, int timeout_ms) const {
    return wait_until([&] { return heard().size() >= n; }, timeout_ms);
}

void MqttProbe::on_connect(struct mosquitto *, void *self, int) {
    auto *p = static_cast<MqttProbe *>(self);
    std::lock_guard<std::mutex> lock(p->mu_);
    p->connected_ = true;
}

void MqttProbe::on_subscribe(struct mosquitto *, void *self, int, int, const int *) {
    auto *p = static_cast<MqttProbe *>(self);
    std::lock_guard<std::mutex> lock(p->mu_);
    ++p->granted_;
}

void MqttProbe::on_message(struct mosquitto *, void *self, const struct mosquitto_message *msg) {
    auto *p = static_cast<MqttProbe *>(self);
    std::lock_guard<std::mutex> lock(p->mu_);
    p->heard_.push_back(
        {msg->topic,
         std::string(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen)),
         msg->qos, msg->retain});
}

}  // namespace sandbox
