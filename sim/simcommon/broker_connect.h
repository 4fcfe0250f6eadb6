// The first connect of a simulator's MQTT client. libmosquitto retries a
// lost connection by itself, but not a first connect the broker refused; a
// simulator started before its broker would never connect. BrokerConnect
// tries again until the broker accepts, then hands the client to the
// library's network thread, whose reconnects take over.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;

namespace sim {

class BrokerConnect {
  public:
    BrokerConnect() = default;
    ~BrokerConnect();
    BrokerConnect(const BrokerConnect &) = delete;
    BrokerConnect &operator=(const BrokerConnect &) = delete;

    // Connects `m` to host:port in a thread of its own, trying every
    // `retry_ms` until the broker accepts, then starts the network thread
    // (mosquitto_loop_start). Returns at once.
    void start(struct mosquitto *m, const std::string &host, int port, int keepalive,
               int retry_ms = 200);
    // Ends the trying, if it still goes on, and waits for its thread. The
    // network thread, once started, is the caller's to stop.
    void stop();

  private:
    void run(struct mosquitto *m, std::string host, int port, int keepalive, int retry_ms);

    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
};

}  // namespace sim
