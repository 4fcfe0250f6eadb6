// A real mosquitto broker for a test: started on a free loopback port with a
// config of its own, stopped (and restartable on the same port) by the test.
// Its log (connections, client identifiers) is kept for the test to read.
// With a TlsListener it listens on a second port with TLS as well; the plain
// one stays for the test's own clients.
#pragma once

#include <sys/types.h>

#include <string>

namespace sandbox {

// A TLS listener: the broker's certificate and key, and the CA that client
// certificates must chain to (asked for only with require_certificate).
struct TlsListener {
    std::string cafile;
    std::string certfile;
    std::string keyfile;
    bool require_certificate = false;
};

class Broker {
  public:
    Broker();  // starts it; throws if it does not accept within 10 s
    explicit Broker(const TlsListener &tls);
    ~Broker();
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    int port() const { return port_; }
    int tls_port() const { return tls_port_; }  // 0 without a TLS listener
    void stop();
    void start();
    // SIGSTOP/SIGCONT: the broker stays connected but answers nothing.
    void freeze();
    void thaw();
    std::string log() const;
    // The broker's process id while it runs, -1 when stopped.
    pid_t pid() const { return pid_; }

  private:
    std::string dir_;
    int port_ = 0;
    int tls_port_ = 0;
    pid_t pid_ = -1;
};

// Waits until `pred()` holds, polling every 10 ms; false after `timeout_ms`.
template <typename Pred>
bool wait_until(Pred pred, int timeout_ms = 10000);

}  // namespace sandbox

#include "wait_until.h"
