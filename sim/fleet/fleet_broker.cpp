#include "fleet_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char **environ;

namespace sim {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool accepts(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a = loopback(port);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

const char *mosquitto_path() {
    for (const char *p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

}  // namespace

FleetBroker::~FleetBroker() {
    stop();
}

bool FleetBroker::start(const std::string &dir, std::string &error) {
    const char *exe = mosquitto_path();
    if (!exe) {
        error = "mosquitto is not installed";
        return false;
    }
    port_ = free_port();
    std::string conf = dir + "/mosquitto.conf";
    {
        std::ofstream f(conf);
        f << "listener " << port_ << " 127.0.0.1\n"
          << "allow_anonymous true\npersistence false\nmax_connections -1\n"
          << "log_dest file " << dir << "/broker.log\n"
          << "log_type error\nlog_type warning\nconnection_messages false\n";
        // Run as root, mosquitto would otherwise drop to its own user.
        if (geteuid() == 0) f << "user root\n";
        if (!f) {
            error = "cannot write " + conf;
            return false;
        }
    }
    std::string out = dir + "/broker.out";
    const char *argv[] = {exe, "-c", conf.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, exe, &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        error = std::string("cannot start mosquitto: ") + std::strerror(rc);
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if (accepts(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = "mosquitto took no connection on port " + std::to_string(port_) + " (see " + out + ")";
    stop();
    return false;
}

void FleetBroker::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int st = 0;
    for (int i = 0; i < 50 && waitpid(pid_, &st, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid_, &st, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    pid_ = -1;
}

}  // namespace sim
