// Both agents measured side by side in one run, each as shipped, in a
// sandbox root with the fake Wi-Fi driver, under its simulator over a real
// broker:
//   footprint  Private_Dirty in the run state, idle and with 128 stations of
//              10 samples each, as a ratio to a baseline measured in the same
//              run: a bare MQTT client connected and subscribed
//              (mosquitto_sub) plus a bare Lua 5.1 interpreter (lua5.1);
//   cpu        share of one core over a window, idle and with 128 stations,
//              the shell commands the agent runs included;
//   latency    p50 and p99 from a station join sent by the driver to its
//              report heard by the simulator, and from a request sent by the
//              simulator to the agent's answer heard by it.
// Prints one line per figure: "agent_bench NAME AGENT VALUE UNIT".
// BENCH_WINDOW_S (default 30) is the CPU window, BENCH_EVENTS (default 200)
// the events per latency figure.
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "folder.h"
#include "proc_figures.h"
#include "rigs.h"
#include "station_flood.h"
#include "wait_until.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using faults::Rig;

int env_int(const char *name, int fallback) {
    const char *v = std::getenv(name);
    int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : fallback;
}

void report(const std::string &name, const std::string &agent, double value,
            const char *unit) {
    std::printf("agent_bench %s %s %.4g %s\n", name.c_str(), agent.c_str(), value, unit);
    std::fflush(stdout);
}

// Share of one core, in percent, that `pid` uses over `seconds`.
double cpu_share(int pid, int seconds) {
    double before = sim::cpu_ns(pid);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double used = sim::cpu_ns(pid) - before;
    double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return 100.0 * used / wall;
}

long private_dirty_kb(int pid) {
    return sim::private_dirty_kb(pid);
}

// The agent's steady footprint: the median of five readings a second apart,
// so that a block mapped for a moment (a large message on its way) does not
// count as what the agent keeps.
long steady_private_dirty_kb(int pid) {
    std::vector<long> kb;
    for (int i = 0; i < 5; ++i) {
        if (i) std::this_thread::sleep_for(std::chrono::seconds(1));
        kb.push_back(private_dirty_kb(pid));
    }
    std::sort(kb.begin(), kb.end());
    return kb[2];
}

// A program of the baseline, idle until it is ended; its standard input is a
// pipe that stays open.
class Idle {
  public:
    explicit Idle(const std::vector<std::string> &argv) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::vector<char *> args;
        for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        stdin_ = fds[1];
    }
    ~Idle() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (stdin_ >= 0) close(stdin_);
    }
    Idle(const Idle &) = delete;
    Idle &operator=(const Idle &) = delete;
    int pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// With BENCH_SMAPS set: where the private memory lies, mapping by mapping
// (anonymous ones one by one), on standard error.
void print_smaps(int pid, const char *when) {
    if (!std::getenv("BENCH_SMAPS")) return;
    std::string awk = "awk '/^[0-9a-f]+-/{m=$6;r=$1}/^Private_Dirty/{if($2>0){a[m]+=$2;"
                      "if(m==\"\")print \"smaps " + std::string(when) + " anon\", $2, r}}"
                      "END{for(k in a)print \"smaps " + std::string(when) + "\", a[k], k}' /proc/" +
                      std::to_string(pid) + "/smaps >&2";
    if (std::system(awk.c_str()) != 0) std::fprintf(stderr, "agent_bench: no smaps\n");
}

// Private_Dirty of the baseline, measured next to `rig`'s agent on its broker.
long baseline_kb(Rig &rig) {
    Idle sub({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(rig.broker.port()), "-t",
              "bench/idle", "-i", "bench-baseline"});
    Idle lua({"lua5.1", "-"});
    std::this_thread::sleep_for(std::chrono::seconds(2));  // connected and subscribed
    long a = private_dirty_kb(sub.pid()), b = private_dirty_kb(lua.pid());
    return a > 0 && b > 0 ? a + b : -1;
}

// 128 stations in the driver's table (radio 1, WLAN 0, with traffic that
// changes), as EventSender names them.
void fill_table(Rig &rig, int count, uint64_t round) {
    std::vector<fakewifi::Station> stations;
    for (int n = 0; n < count; ++n) {
        fakewifi::Station s;
        s.ip = {10, 0, uint8_t(n >> 8), uint8_t(n)};
        s.entry.mac = {0x02, 0, 0, 0, uint8_t(n >> 8), uint8_t(n)};
        s.entry.rssi = 40;
        s.entry.rxbytes = round * 1000 + n;
        s.entry.txbytes = round * 2000 + n;
        stations.push_back(s);
    }
    std::string error;
    fakewifi::FolderLock lock(rig.wifi_dir());
    if (!fakewifi::save_stations(rig.wifi_dir(), stations, error))
        std::fprintf(stderr, "agent_bench: %s\n", error.c_str());
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * v.size()));
    return v[i];
}

// Milliseconds from `send` to the moment `heard` holds, polled every
// millisecond; -1 after `timeout_ms`.
double time_until(const std::function<void()> &send, const std::function<bool()> &heard,
                  int timeout_ms) {
    auto start = Clock::now();
    send();
    while (!heard()) {
        if (Clock::now() - start > std::chrono::milliseconds(timeout_ms)) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// `events` samples of one latency, each after a random pause of up to
// 500 ms so that the sends fall at every phase of the agent's tick.
std::vector<double> sample_latency(int events, unsigned seed,
                                   const std::function<double(int)> &one) {
    std::mt19937 rng(seed);
    std::vector<double> ms;
    for (int i = 0; i < events; ++i) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 500)(rng)));
        double t = one(i);
        if (t >= 0) ms.push_back(t);
    }
    return ms;
}

void report_latency(const std::string &name, const std::string &agent, int events,
                    const std::vector<double> &ms) {
    report(name + "_p50", agent, percentile(ms, 50), "ms");
    report(name + "_p99", agent, percentile(ms, 99), "ms");
    report(name + "_lost", agent, events - static_cast<double>(ms.size()), "events");
}

std::string station_mac(uint32_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "02:00:00:%02x:%02x:%02x", (n >> 16) & 0xFF, (n >> 8) & 0xFF,
                  n & 0xFF);
    return text;
}

// Joins first, then requests, each latency on its own: ostrel drains its
// station records with a 100 ms pause each before it looks at messages, so
// a burst of leaves would hold a request back by design.
void measure_latency(Rig &rig, int events) {
    faults::EventSender wifi(rig.wifi_dir());
    // The stations leave in batches of 50, outside the measured joins.
    std::vector<double> joins = sample_latency(events, 1, [&](int i) {
        uint32_t n = 0xB00000 + i;
        double t = time_until([&] { wifi.send(true, n); },
                              [&] { return rig.station_reports(station_mac(n)) > 0; }, 5000);
        if (i % 50 == 49) {
            for (int k = i - 49; k <= i; ++k) wifi.send(false, 0xB00000 + k);
            std::this_thread::sleep_for(std::chrono::seconds(7));  // the leaves drained
        }
        return t;
    });
    report_latency("join_to_report", rig.name(), events, joins);
    std::vector<double> answers = sample_latency(events, 2, [&](int) {
        // answers() sends one request and waits for its answer; its first
        // wait (2 s or 4 s) is the bound of one sample.
        auto start = Clock::now();
        bool ok = rig.answers(1);
        return ok ? std::chrono::duration<double, std::milli>(Clock::now() - start).count()
                  : -1.0;
    });
    report_latency("request_to_answer", rig.name(), events, answers);
}

// Settings of a deployed AP rather than the fault scenarios' quick ones.
void deployed_settings(Rig &rig) {
    if (rig.name() == "Fenwire") {
        rig.box.env("FENWIRE_HEARTBEAT_TIMEOUT", "10");
        rig.box.env("FENWIRE_HEARTBEAT_TIMES", "6");
    } else {
        rig.box.env("OSTREL_SERVER_INTERVAL", "30");
        rig.box.env("OSTREL_SERVER_KEEPLIVE", "60");
    }
}

bool bench_agent(const std::string &agent, int window_s, int events) {
    std::unique_ptr<Rig> rig = faults::make_rig(agent);
    deployed_settings(*rig);
    rig->start();
    if (!rig->wait_runs(1) || !rig->answers() ||
        !sandbox::wait_until([&] { return rig->box.exists(rig->wifi_rel + "/events.sock"); })) {
        std::fprintf(stderr, "agent_bench: %s did not come to its run state\n%s\n", agent.c_str(),
                     rig->log().c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));  // settled in the run state
    int pid = rig->pid();
    long base = baseline_kb(*rig);
    report("baseline_private_dirty", agent, base, "kB");
    long idle = steady_private_dirty_kb(pid);
    report("idle_private_dirty", agent, idle, "kB");
    report("idle_footprint_ratio", agent, double(idle) / base, "x");
    report("idle_cpu", agent, cpu_share(pid, window_s), "%");
    print_smaps(pid, "idle");

    // 128 stations join; the table's figures change every second, and the
    // measures start once each station has its 10 samples.
    fill_table(*rig, 128, 0);
    {
        faults::EventSender wifi(rig->wifi_dir());
        for (uint32_t n = 0; n < 128; ++n) wifi.send(true, n);
    }
    double cpu = 0;
    std::thread churn([&] {
        for (int s = 0; s < 12 + 5 + window_s + 2; ++s) {
            fill_table(*rig, 128, s + 1);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(12));
    long full = steady_private_dirty_kb(pid);
    report("stations_private_dirty", agent, full, "kB");
    print_smaps(pid, "stations");
    report("stations_footprint_ratio", agent, double(full) / base, "x");
    cpu = cpu_share(pid, window_s);
    churn.join();
    report("stations_cpu", agent, cpu, "%");
    {
        faults::EventSender wifi(rig->wifi_dir());
        for (uint32_t n = 0; n < 128; ++n) wifi.send(false, n);
    }
    fill_table(*rig, 0, 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));

    measure_latency(*rig, events);
    return rig->running();
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> agents;
    for (int i = 1; i < argc; ++i) agents.push_back(argv[i]);
    if (agents.empty()) agents = {"Fenwire", "ostrel"};
    int window_s = env_int("BENCH_WINDOW_S", 30), events = env_int("BENCH_EVENTS", 200);
    bool ok = true;
    for (auto &a : agents) ok = bench_agent(a, window_s, events) && ok;
    return ok ? 0 : 1;
}
