// A plain MQTT client for tests: publishes and records what it receives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace sandbox {

struct Heard {
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
};

class MqttProbe {
  public:
    // Connects to 127.0.0.1:port and waits for the connection.
    MqttProbe(int port, const std::string &id);
    ~MqttProbe();
    MqttProbe(const MqttProbe &) = delete;
    MqttProbe &operator=(const MqttProbe &) = delete;

    void subscribe(const std::string &topic, int qos = 1);  // waits for the grant
    void publish(const std::string &topic, const std::string &payload, int qos = 1,
                 bool retain = false);
    std::vector<Heard> heard() const;
    // Waits until `n` messages have been heard.
    bool wait_heard(size_t n, int timeout_ms = 10000) const;

  private:
    static void on_connect(struct mosquitto *, void *self, int rc);
    static void on_subscribe(struct mosquitto *, void *self, int, int, const int *);
    static void on_message(struct mosquitto *, void *self, const struct mosquitto_message *);
    struct mosquitto *m_ = nullptr;
    mutable std::mutex mu_;
    std::vector<Heard> heard_;
    bool connected_ = false;
    int granted_ = 0;
};

}  // namespace sandbox
