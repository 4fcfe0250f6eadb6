// acsim: the access controller for Fenwire, over a real broker, speaking the
// protocol of examples/lua/Fenwire.lua. It hears every AP on "config/+",
// answers on "apsub/<sn>", and records everything it hears and says.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ac_messages.h"
#include "broker_connect.h"

struct mosquitto;
struct mosquitto_message;

namespace sim {

struct AcSettings : AcPolicy {
    std::string host = "127.0.0.1";
    int port = 1883;
    // false: events go to on_event only, for a fleet that runs for hours.
    bool keep_events = true;
};

class AcSim {
  public:
    explicit AcSim(const AcSettings &settings);
    ~AcSim();
    AcSim(const AcSim &) = delete;
    AcSim &operator=(const AcSim &) = delete;

    // Connects (retrying in the background until the broker is there).
    void start();
    void stop();
    // Connected and subscribed: what APs send from now on is heard.
    bool ready() const { return ready_; }

    // Sends one message to an AP: the type, the serial number, then `fields`.
    void send(const std::string &sn, const std::string &type,
              const ordered_json &fields = ordered_json::object());
    // Sends a run message with this action code (0 state report + backup,
    // 1 report when ready + backup, 3 state report, 4 firmware update,
    // 5 user information) and a fresh id.
    void send_run(const std::string &sn, int reset);
    // Runs one command line ("run SN CODE", "update SN", "userinfo SN",
    // "heartbeats on|off"); false for a line it does not know.
    bool command(const std::string &line);
    std::vector<AcEvent> events() const;
    size_t count(const std::string &sn, const std::string &type, bool from_ap = true) const;
    // Called (on the network thread) for every event, e.g. to print it.
    void on_event(std::function<void(const AcEvent &)> fn);

    void set_join_result(int r);
    void set_config_result(int r);
    void set_answer_heartbeats(bool on);

  private:
    static void connected(struct mosquitto *, void *self, int rc);
    static void subscribed(struct mosquitto *, void *self, int, int, const int *);
    static void disconnected(struct mosquitto *, void *self, int rc);
    static void received(struct mosquitto *, void *self, const struct mosquitto_message *msg);
    void handle(const std::string &sn, const std::string &payload);
    void record(const AcEvent &e);

    AcSettings settings_;
    struct mosquitto *m_ = nullptr;
    BrokerConnect connect_;
    std::atomic<bool> ready_{false};
    mutable std::mutex mu_;
    std::vector<AcEvent> events_;
    std::function<void(const AcEvent &)> on_event_;
    int next_id_ = 1;
};

}  // namespace sim
