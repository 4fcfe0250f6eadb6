#include "fleet_ap.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "folder.h"
#include "proc_figures.h"
#include "station_layout.h"

extern char **environ;

namespace sim {
namespace {

constexpr size_t kMaxStations = 3;

bool make_dirs(const std::string &path) {
    for (size_t at = 1; at != std::string::npos;) {
        at = path.find('/', at + 1);
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Station `n` of AP `index`: MAC 02:ii:ii:ii:nn:nn, IP 10.x.y.z of both.
fakewifi::Station station(int index, unsigned n) {
    fakewifi::Station s;
    auto ap = static_cast<uint32_t>(index);
    s.entry.mac = {0x02,
                   static_cast<uint8_t>(ap >> 16),
                   static_cast<uint8_t>(ap >> 8),
                   static_cast<uint8_t>(ap),
                   static_cast<uint8_t>(n >> 8),
                   static_cast<uint8_t>(n)};
    s.ip = {10, static_cast<uint8_t>(ap >> 8), static_cast<uint8_t>(ap),
            static_cast<uint8_t>(1 + n % 250)};
    s.entry.rssi = static_cast<uint8_t>(-40 - static_cast<int>(n % 30));
    s.entry.uptime = n;
    return s;
}

std::string asan_options() {
    const char *given = std::getenv("ASAN_OPTIONS");
    std::string options = given && *given ? std::string(given) + ":" : "";
    return options + "verify_asan_link_order=0";
}

}  // namespace

FleetAp::FleetAp(const ApSettings &settings, const FleetPaths &paths)
    : s_(settings), paths_(paths) {}

FleetAp::~FleetAp() {
    if (launcher_ > 0 && status_ < 0) {
        stop();
        reap(2000);
    }
}

std::vector<std::string> FleetAp::launcher_args() const {
    const std::string stubs = paths_.source + "/sim/stubs/";
    const bool fenwire = s_.kind == "Fenwire";
    const std::string prefix = fenwire ? "FENWIRE_" : "OSTREL_";
    std::vector<std::string> a = {
        paths_.bin + "/aproot", "--tmp", s_.dir + "/tmp", "--var", s_.dir + "/var", "--bind",
        paths_.source + "/examples/lua/" + s_.kind + ".lua:/usr/lib/lua/" + s_.kind + ".lua",
        "--bind", stubs + "iface_led.sh:/sbin/iface_led.sh", "--env",
        "LD_PRELOAD=" + paths_.lib + "/libfakewifi.so", "--env", "FAKEWIFI_DIR=/tmp/fakewifi",
        "--env", prefix + "SN=" + s_.sn,
        // An agent built with ASan sees the preload library ahead of its
        // runtime; harmless to any other build.
        "--env", "ASAN_OPTIONS=" + asan_options()};
    if (fenwire) {
        a.insert(a.end(), {"--env", "FENWIRE_AC_ADDR=" + s_.host, "--env",
                           "FENWIRE_AC_PORT=" + std::to_string(s_.port), "--env",
                           "FENWIRE_HEARTBEAT_TIMEOUT=" + std::to_string(s_.heartbeat), "--",
                           paths_.bin + "/Fenwire"});
    } else {
        a.insert(a.end(), {"--bind", stubs + "disconnect.sh:/usr/bin/disconnect.sh", "--env",
                           "OSTREL_SERVER_IP=" + s_.host, "--env",
                           "OSTREL_SERVER_PORT=" + std::to_string(s_.port), "--env",
                           "OSTREL_SERVER_INTERVAL=" + std::to_string(s_.heartbeat), "--",
                           paths_.bin + "/ostrel", "1"});
    }
    return a;
}

bool FleetAp::start(std::string &error) {
    for (const char *sub : {"/tmp/fakewifi", "/var/log", "/var/run"}) {
        if (!make_dirs(s_.dir + sub)) {
            error = "cannot make " + s_.dir + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    std::vector<std::string> args = launcher_args();
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string out = s_.dir + "/out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&launcher_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        launcher_ = -1;
        error = "cannot start " + args[0] + ": " + std::strerror(rc);
        return false;
    }
    return true;
}

bool FleetAp::churn() {
    const std::string dir = s_.dir + "/tmp/fakewifi";
    bool join = associated_.size() < kMaxStations;
    unsigned n = join ? next_station_++ : associated_.front();
    fakewifi::Station st = station(s_.index, n);
    std::string error;
    {
        fakewifi::FolderLock lock(dir);
        std::vector<fakewifi::Station> stations;
        if (!lock.held() || !fakewifi::load_stations(dir, stations, error)) return false;
        if (join) {
            stations.push_back(st);
        } else {
            stations.erase(std::remove_if(stations.begin(), stations.end(),
                                          [&](const fakewifi::Station &s) {
                                              return s.entry.mac == st.entry.mac;
                                          }),
                           stations.end());
        }
        if (!fakewifi::save_stations(dir, stations, error)) return false;
    }
    if (join)
        associated_.push_back(n);
    else
        associated_.erase(associated_.begin());
    fakewifi::StationEvent ev;
    ev.type = join ? station_layout::kEventJoin : station_layout::kEventLeave;
    ev.radio = st.radio;
    ev.wlan = st.wlan;
    ev.mac = st.entry.mac;
    ev.ip = st.ip;
    if (join) {
        ev.ssid = "fleet";
        ev.hostname = "sta-" + std::to_string(n);
    }
    return fakewifi::deliver(dir, fakewifi::encode_event(ev), error);
}

bool FleetAp::running() {
    if (launcher_ <= 0 || status_ >= 0) return false;
    int st = 0;
    pid_t r = waitpid(launcher_, &st, WNOHANG);
    if (r == launcher_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

void FleetAp::stop() {
    if (running()) kill(launcher_, SIGTERM);
}

void FleetAp::reap(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (running()) {
        kill(launcher_, SIGKILL);
        int st = 0;
        waitpid(launcher_, &st, 0);
        status_ = 128 + SIGKILL;
    }
}

pid_t FleetAp::agent() {
    if (agent_ > 0 && kill(agent_, 0) == 0) return agent_;
    agent_ = launcher_ > 0 ? find_descendant(launcher_, s_.kind) : -1;
    return agent_;
}

std::string FleetAp::log_text() const {
    if (s_.kind == "Fenwire")
        return slurp(s_.dir + "/var/log/mqttlog.old") + slurp(s_.dir + "/var/log/mqttlog.new");
    return slurp(s_.dir + "/out.old") + slurp(s_.dir + "/out");
}

void FleetAp::bound_output(long max) {
    std::string out = s_.dir + "/out";
    struct stat st {};
    if (stat(out.c_str(), &st) != 0 || st.st_size < max) return;
    std::error_code ec;
    std::filesystem::copy_file(out, out + ".old", std::filesystem::copy_options::overwrite_existing,
                               ec);
    if (truncate(out.c_str(), 0) != 0) return;  // kept whole: read again next time
}

}  // namespace sim
