// cloudsim: the cloud management service for ostrel, over a real broker,
// speaking the protocol of examples/lua/ostrel.lua. It hears every AP on
// "<prefix>/+/<leaf>" (config, event, logger, reply, schedule, ...),
// answers join and configure requests and sends requests on
// "<prefix>/<sn>/down", and records everything it hears and says.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "broker_connect.h"
#include "cloud_messages.h"

struct mosquitto;
struct mosquitto_message;

namespace sim {

struct CloudSettings : CloudPolicy {
    std::string host = "127.0.0.1";
    int port = 1883;
    // false: events go to on_event only, for a fleet that runs for hours.
    bool keep_events = true;
    std::string prefix = "ostrel";  // first topic level
};

class CloudSim {
  public:
    explicit CloudSim(const CloudSettings &settings);
    ~CloudSim();
    CloudSim(const CloudSim &) = delete;
    CloudSim &operator=(const CloudSim &) = delete;

    // Connects (retrying in the background until the broker is there).
    void start();
    void stop();
    // Connected and subscribed: what APs send from now on is heard.
    bool ready() const { return ready_; }

    // Sends request `type` to an AP: {"type":type,"sn":sn,"id":n} and then
    // `fields`, with a fresh id n, which it returns.
    int request(const std::string &sn, int type,
                const ordered_json &fields = ordered_json::object());
    // Runs one command line; false for a line it does not know:
    //   type1 SN                      run request (1)
    //   schedule SN [TIMES [TOPICS]]  run request with a schedule; TOPICS a;b
    //   disconnect SN                 (2)
    //   get SN [KEY...]               (3)
    //   download SN [upgrade]         (4)
    //   upload SN [WHAT]              (5) status, config or stations
    //   command SN TEXT...            (6)
    //   request SN TYPE               any type number, no further fields
    //   answer on|off                 answering join and configure requests
    bool command(const std::string &line);

    std::vector<CloudEvent> events() const;
    size_t count(const std::string &sn, const std::string &kind, bool from_ap = true) const;
    // Called (on the network thread, or the caller's for what it sends) for
    // every event, e.g. to print it.
    void on_event(std::function<void(const CloudEvent &)> fn);

    void set_join_result(int r);
    void set_config_result(int r);
    void set_need_image(bool on);
    void set_answer(bool on);

  private:
    static void connected(struct mosquitto *, void *self, int rc);
    static void subscribed(struct mosquitto *, void *self, int, int, const int *);
    static void disconnected(struct mosquitto *, void *self, int rc);
    static void received(struct mosquitto *, void *self, const struct mosquitto_message *msg);
    void handle(const std::string &sn, const std::string &topic, const std::string &payload);
    void publish(const std::string &sn, const std::string &kind, const ordered_json &msg);
    void record(const CloudEvent &e);

    CloudSettings settings_;
    struct mosquitto *m_ = nullptr;
    BrokerConnect connect_;
    std::atomic<bool> ready_{false};
    mutable std::mutex mu_;
    std::vector<CloudEvent> events_;
    std::function<void(const CloudEvent &)> on_event_;
    int next_id_ = 1;
};

}  // namespace sim
