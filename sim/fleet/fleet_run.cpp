#include "fleet_run.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "acsim.h"
#include "cloudsim.h"
#include "fleet_ap.h"
#include "fleet_broker.h"
#include "fleet_view.h"
#include "proc_figures.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;

// CPU times at one instant, in nanoseconds.
struct Snapshot {
    double at = 0;  // seconds since the fleet began
    double agents = 0, sandboxes = 0, broker = 0;
    std::map<std::string, double> own;  // this process's threads by name
    double machine_busy = 0, machine_all = 0;
};

// Busy and total time of all cores, from the first line of /proc/stat.
void machine_times(double &busy, double &all) {
    std::ifstream f("/proc/stat");
    std::string cpu;
    f >> cpu;
    double v[10] = {};
    for (double &x : v) f >> x;
    all = 0;
    for (int i = 0; i < 8; ++i) all += v[i];  // guest time is counted in user already
    busy = all - v[3] - v[4];                 // idle, iowait
}

double share(double ns, double seconds) {
    return seconds > 0 ? 100.0 * ns / (seconds * 1e9) : 0;
}

void figure(const char *name, double value, const char *unit) {
    std::printf("summary %-28s %10.6g %s\n", name, value, unit);
}

size_t count_lines_with(const std::string &text, const std::string &what) {
    size_t n = 0;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) n += l.find(what) != std::string::npos;
    return n;
}

// What a simulator hears comes on its network thread (libmosquitto's,
// named "mosquitto loop"); it is renamed after the simulator, once, so that
// its CPU shows apart in the summary.
void name_network_thread(bool heard, std::atomic<bool> &named, const char *name) {
    if (heard && !named.exchange(true)) prctl(PR_SET_NAME, name);
}

// Where the fleet's folder goes: $TMPDIR when set, otherwise a tmpfs
// (/dev/shm) when there is one. The churn rewrites each AP's station tables
// at every event, which costs many times more on a disk file system.
std::string default_parent() {
    const char *tmp = std::getenv("TMPDIR");
    if (tmp && *tmp) return tmp;
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

// Each AP's output (ostrel's log) is kept within twice this.
constexpr long kOutputBound = 1L << 20;

class Fleet {
  public:
    explicit Fleet(const FleetOptions &o) : o_(o), t0_(Clock::now()) {}
    ~Fleet() { shut_down(); }
    int run();

  private:
    double now() const { return std::chrono::duration<double>(Clock::now() - t0_).count(); }
    bool prepare();
    bool start_simulators();
    void make_aps();
    void start_due();
    void churn_loop();
    bool all_up() const;
    void progress();
    Snapshot snapshot();
    void summary(const Snapshot &a, const Snapshot &b, double all_run);
    void shut_down();

    FleetOptions o_;
    Clock::time_point t0_;
    FleetPaths paths_;
    std::string dir_;
    FleetBroker broker_;
    FleetView view_;
    std::unique_ptr<AcSim> ac_;
    std::unique_ptr<CloudSim> cloud_;
    std::vector<std::unique_ptr<FleetAp>> aps_;
    std::atomic<bool> ac_named_{false}, cloud_named_{false};
    std::atomic<size_t> started_{0};
    double launch_began_ = -1, started_all_at_ = -1;
    int ended_ = 0;
    std::atomic<bool> churning_{false};
    std::thread churn_;
    std::atomic<long> churn_sent_{0}, churn_lost_{0};
};

bool Fleet::prepare() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    paths_.bin = ec ? "." : exe.parent_path().string();
    paths_.lib = paths_.bin + "/../lib";
    paths_.source = APM_SOURCE_DIR;
    if (o_.dir.empty()) {
        std::string tmpl = default_parent() + "/fleet-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("fleet: mkdtemp");
            return false;
        }
        dir_ = tmpl;
    } else {
        dir_ = o_.dir;
        fs::create_directories(dir_, ec);
    }
    // The broker holds a descriptor per agent; the children inherit the limit.
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    if (o_.port == 0 && r.rlim_cur < static_cast<rlim_t>(o_.agents) + 64)
        std::printf(
            "fleet: the descriptor limit %lu is below %d agents: the broker will refuse some\n",
            static_cast<unsigned long>(r.rlim_cur), o_.agents);
    if (o_.port == 0) {
        fs::create_directories(dir_ + "/broker", ec);
        std::string error;
        if (!broker_.start(dir_ + "/broker", error)) {
            std::fprintf(stderr, "fleet: %s\n", error.c_str());
            return false;
        }
        o_.port = broker_.port();
        std::printf("fleet: broker on 127.0.0.1:%d, folder %s\n", o_.port, dir_.c_str());
    } else {
        std::printf("fleet: broker %s:%d, folder %s\n", o_.host.c_str(), o_.port, dir_.c_str());
    }
    return true;
}

bool Fleet::start_simulators() {
    if (!o_.simulators) return true;
    AcSettings ac;
    ac.host = o_.host;
    ac.port = o_.port;
    ac.keep_events = false;
    ac_ = std::make_unique<AcSim>(ac);
    ac_->on_event([this](const AcEvent &e) {
        name_network_thread(e.from_ap, ac_named_, "acsim");
        double t = now();
        if (e.from_ap && e.type == "join") view_.join_heard(e.sn, "Fenwire", t);
        if (e.from_ap && e.type == "config") view_.config_heard(e.sn, "Fenwire", t);
        if (!e.from_ap && e.type == "config_resp") view_.config_accepted(e.sn, "Fenwire", t);
        if (e.from_ap && (e.type == "heartbeat" || e.type == "state"))
            view_.life_heard(e.sn, "Fenwire", t);
    });
    ac_->start();
    CloudSettings cs;
    cs.host = o_.host;
    cs.port = o_.port;
    cs.keep_events = false;
    cloud_ = std::make_unique<CloudSim>(cs);
    cloud_->on_event([this](const CloudEvent &e) {
        name_network_thread(e.from_ap, cloud_named_, "cloudsim");
        double t = now();
        if (e.from_ap && e.kind == "join") view_.join_heard(e.sn, "ostrel", t);
        if (e.from_ap && e.kind == "config") view_.config_heard(e.sn, "ostrel", t);
        if (!e.from_ap && e.kind == "config_resp") view_.config_accepted(e.sn, "ostrel", t);
        if (e.from_ap && e.kind == "heartbeat") view_.life_heard(e.sn, "ostrel", t);
    });
    cloud_->start();
    for (int i = 0; i < 100 && !(ac_->ready() && cloud_->ready()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!ac_->ready() || !cloud_->ready()) {
        std::fprintf(stderr, "fleet: the simulators could not subscribe on %s:%d\n",
                     o_.host.c_str(), o_.port);
        return false;
    }
    return true;
}

void Fleet::make_aps() {
    // Fenwire sends a heartbeat on every (timeout + 1)th tick of a second.
    view_.set_default_period("Fenwire", o_.fenwire_heartbeat + 1);
    view_.set_default_period("ostrel", o_.ostrel_interval);
    for (int i = 0; i < o_.agents; ++i) {
        ApSettings s;
        s.kind = o_.kind == "mix" ? (i % 2 ? "ostrel" : "Fenwire") : o_.kind;
        char sn[64];
        std::snprintf(sn, sizeof sn, "%s%04d", o_.prefix.c_str(), o_.first + i);
        s.sn = sn;
        s.dir = dir_ + "/" + s.sn;
        s.host = o_.host;
        s.port = o_.port;
        s.heartbeat = s.kind == "Fenwire" ? o_.fenwire_heartbeat : o_.ostrel_interval;
        s.index = o_.first + i;
        view_.add(s.sn, s.kind,
                  s.kind == "Fenwire" ? o_.fenwire_heartbeat + 1 : o_.ostrel_interval);
        aps_.push_back(std::make_unique<FleetAp>(s, paths_));
    }
}

// Starts the APs whose turn has come at the fleet's rate.
void Fleet::start_due() {
    if (launch_began_ < 0) launch_began_ = now();
    size_t due = static_cast<size_t>((now() - launch_began_) * o_.rate) + 1;
    while (started_ < aps_.size() && started_ < due) {
        std::string error;
        if (!aps_[started_]->start(error)) std::fprintf(stderr, "fleet: %s\n", error.c_str());
        ++started_;
        if (started_ == aps_.size()) started_all_at_ = now();
    }
}

// Every AP gets a station event every churn_s seconds, the APs spread over
// that time.
void Fleet::churn_loop() {
    const long slots = o_.churn_s * 10L;
    for (long tick = 0; churning_; ++tick) {
        size_t n = started_;
        for (size_t i = 0; i < n && churning_; ++i) {
            if ((tick + static_cast<long>(i)) % slots != 0) continue;
            FleetAp &ap = *aps_[i];
            bool in_run = !o_.simulators || view_.stage(ap.settings().sn) == Stage::Run;
            if (!in_run) continue;
            ++churn_sent_;
            if (!ap.churn()) ++churn_lost_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool Fleet::all_up() const {
    if (started_ < aps_.size()) return false;
    return o_.simulators ? view_.all_run_at() >= 0 : true;
}

void Fleet::progress() {
    ended_ = 0;
    for (size_t i = 0; i < started_; ++i) {
        ended_ += !aps_[i]->running();
        aps_[i]->bound_output(kOutputBound);
    }
    double t = now();
    StageCounts c = view_.counts(t);
    if (o_.simulators) {
        std::printf(
            "fleet %6.0f s  started %zu/%zu  waiting %d  join %d  config %d  run %d"
            "  late %d  ended %d\n",
            t, started_.load(), aps_.size(), c.count[0], c.count[1], c.count[2], c.count[3], c.late,
            ended_);
    } else {
        std::printf("fleet %6.0f s  started %zu/%zu  ended %d\n", t, started_.load(), aps_.size(),
                    ended_);
    }
    std::fflush(stdout);
}

Snapshot Fleet::snapshot() {
    Snapshot s;
    s.at = now();
    for (auto &ap : aps_) {
        pid_t a = ap->agent();
        if (a > 0) s.agents += cpu_ns(a);
        if (ap->launcher() > 0) {
            s.sandboxes += cpu_ns(ap->launcher(), false);
            for (pid_t init : children_of(ap->launcher())) s.sandboxes += cpu_ns(init, false);
        }
    }
    if (broker_.pid() > 0) s.broker = cpu_ns(broker_.pid(), false);
    s.own = thread_cpu_ns(getpid());
    machine_times(s.machine_busy, s.machine_all);
    return s;
}

void Fleet::summary(const Snapshot &a, const Snapshot &b, double all_run) {
    double window = b.at - a.at;
    int fenwire = 0, ostrel = 0, in_run = 0, logged_misses = 0;
    long agent_kb = 0, agent_max_kb = 0, sandbox_kb = 0;
    int measured = 0;
    for (auto &ap : aps_) {
        bool is_fenwire = ap->settings().kind == "Fenwire";
        (is_fenwire ? fenwire : ostrel)++;
        in_run += view_.stage(ap->settings().sn) == Stage::Run;
        if (is_fenwire)
            logged_misses += static_cast<int>(count_lines_with(ap->log_text(), "Heartbeat miss"));
        pid_t pid = ap->agent();
        long kb = pid > 0 ? private_dirty_kb(pid) : -1;
        if (kb < 0) continue;
        ++measured;
        agent_kb += kb;
        if (kb > agent_max_kb) agent_max_kb = kb;
        sandbox_kb += std::max(0L, private_dirty_kb(ap->launcher()));
        for (pid_t init : children_of(ap->launcher()))
            sandbox_kb += std::max(0L, private_dirty_kb(init));
    }
    int rejoins = 0;
    for (const auto &kv : view_.records()) rejoins += kv.second.rejoins;
    auto own = [&](const char *name) {
        auto at = b.own.find(name), aa = a.own.find(name);
        return share((at == b.own.end() ? 0 : at->second) - (aa == a.own.end() ? 0 : aa->second),
                     window);
    };
    std::printf("\n");
    figure("agents", static_cast<double>(aps_.size()), "");
    figure("agents_fenwire", fenwire, "");
    figure("agents_ostrel", ostrel, "");
    figure("started_all_s", started_all_at_, "s");
    figure("all_run_s", all_run, "s");
    figure("held_s", window, "s");
    figure("in_run_at_end", in_run, "");
    figure("ended", ended_, "");
    figure("missed_heartbeats", view_.missed(now()), "");
    figure("fenwire_logged_misses", logged_misses, "");
    figure("rejoins", rejoins, "");
    figure("churn_events", static_cast<double>(churn_sent_), "");
    figure("churn_events_lost", static_cast<double>(churn_lost_), "");
    figure("agent_private_dirty_mean", measured ? agent_kb / measured : 0, "kB");
    figure("agent_private_dirty_max", agent_max_kb, "kB");
    figure("sandbox_private_dirty_mean", measured ? sandbox_kb / measured : 0, "kB");
    figure("broker_private_dirty", broker_.pid() > 0 ? private_dirty_kb(broker_.pid()) : 0, "kB");
    figure("simulators_private_dirty", private_dirty_kb(getpid()), "kB");
    figure("cpu_agents", share(b.agents - a.agents, window), "%");
    figure("cpu_per_agent", measured ? share(b.agents - a.agents, window) / measured : 0, "%");
    figure("cpu_sandboxes", share(b.sandboxes - a.sandboxes, window), "%");
    figure("cpu_broker", share(b.broker - a.broker, window), "%");
    figure("cpu_acsim", own("acsim"), "%");
    figure("cpu_cloudsim", own("cloudsim"), "%");
    figure("cpu_churn", own("churn"), "%");
    figure("cpu_fleet", own("fleet"), "%");
    double all = b.machine_all - a.machine_all;
    figure("machine_busy", all > 0 ? 100.0 * (b.machine_busy - a.machine_busy) / all : 0,
           "% of all cores");
    std::fflush(stdout);
}

void Fleet::shut_down() {
    churning_ = false;
    if (churn_.joinable()) churn_.join();
    for (auto &ap : aps_) ap->stop();
    for (auto &ap : aps_) ap->reap(5000);
    aps_.clear();
    if (cloud_) cloud_->stop();
    if (ac_) ac_->stop();
    broker_.stop();
    if (!dir_.empty() && !o_.keep) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    dir_.clear();
}

int Fleet::run() {
    if (!prepare() || !start_simulators()) return 2;
    make_aps();
    churning_ = true;
    prctl(PR_SET_NAME, "churn");
    churn_ = std::thread([this] { churn_loop(); });
    prctl(PR_SET_NAME, "fleet");

    double last_print = -1;
    while (!stop_requested && !all_up() && now() < o_.ramp_s) {
        start_due();
        if (now() - last_print >= 1) {
            progress();
            last_print = now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    progress();
    double all_run = o_.simulators ? view_.all_run_at() : -1;
    bool reached = all_up();
    if (reached)
        std::printf("fleet: all %zu agents in the run state after %.1f s; held for %d s\n",
                    aps_.size(), all_run, o_.hold_s);
    else
        std::printf("fleet: not all agents reached the run state\n");

    Snapshot a = snapshot();
    double hold_until = now() + (reached ? o_.hold_s : 0);
    while (!stop_requested && now() < hold_until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (now() - last_print >= 10) {
            progress();
            last_print = now();
        }
    }
    progress();
    Snapshot b = snapshot();
    summary(a, b, all_run);
    bool sound =
        reached && ended_ == 0 && !stop_requested && (!o_.simulators || view_.missed(now()) == 0);
    shut_down();
    return sound ? 0 : 1;
}

}  // namespace

void request_fleet_stop(int) {
    stop_requested = 1;
}

int run_fleet(const FleetOptions &options) {
    Fleet fleet(options);
    return fleet.run();
}

}  // namespace sim
