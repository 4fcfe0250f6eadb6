#include "broker_connect.h"

#include <mosquitto.h>

#include <chrono>

namespace sim {

BrokerConnect::~BrokerConnect() {
    stop();
}

void BrokerConnect::start(struct mosquitto *m, const std::string &host, int port, int keepalive,
                          int retry_ms) {
    stop();
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = false;
    }
    thread_ = std::thread(&BrokerConnect::run, this, m, host, port, keepalive, retry_ms);
}

void BrokerConnect::stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void BrokerConnect::run(struct mosquitto *m, std::string host, int port, int keepalive,
                        int retry_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        lock.unlock();
        bool connected = mosquitto_connect(m, host.c_str(), port, keepalive) == MOSQ_ERR_SUCCESS;
        lock.lock();
        if (connected) {
            // Started under the lock, so stop() never returns before it.
            if (!stopping_) mosquitto_loop_start(m);
            return;
        }
        cv_.wait_for(lock, std::chrono::milliseconds(retry_ms), [this] { return stopping_; });
    }
}

}  // namespace sim
