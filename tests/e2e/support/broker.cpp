#include "broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace sandbox {
namespace {

const char *mosquitto_path() {
    for (const char *p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
        if (access(p, X_OK) == 0) return p;
    throw std::runtime_error("mosquitto broker not installed");
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(s);
        throw std::runtime_error("no free port");
    }
    close(s);
    return ntohs(a.sin_port);
}

bool accepts(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

}  // namespace

Broker::Broker() : Broker(TlsListener{}) {}

Broker::Broker(const TlsListener &tls) {
    std::string tmpl = (fs::temp_directory_path() / "apm-broker-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    port_ = free_port();
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "allow_anonymous true\npersistence false\nuser root\n"
         << "log_dest file " << dir_ << "/broker.log\nlog_type all\n"
         << "listener " << port_ << " 127.0.0.1\n";
    if (!tls.certfile.empty()) {
        do tls_port_ = free_port();
        while (tls_port_ == port_);
        conf << "listener " << tls_port_ << " 127.0.0.1\n"
             << "certfile " << tls.certfile << "\nkeyfile " << tls.keyfile << "\n";
        if (!tls.cafile.empty()) conf << "cafile " << tls.cafile << "\n";
        if (tls.require_certificate) conf << "require_certificate true\n";
    }
    conf.close();
    start();
}

Broker::~Broker() {
    thaw();
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void Broker::start() {
    if (pid_ > 0) return;
    const char *exe = mosquitto_path();
    pid_ = fork();
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::string conf = dir_ + "/mosquitto.conf";
        execl(exe, exe, "-c", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (!wait_until([this] { return accepts(port_) && (!tls_port_ || accepts(tls_port_)); }, 10000))
        throw std::runtime_error("broker did not start");
}

void Broker::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void Broker::freeze() {
    if (pid_ > 0) kill(pid_, SIGSTOP);
}

void Broker::thaw() {
    if (pid_ > 0) kill(pid_, SIGCONT);
}

std::string Broker::log() const {
    std::ifstream f(dir_ + "/broker.log");
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace sandbox
