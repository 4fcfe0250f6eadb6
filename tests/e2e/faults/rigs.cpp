#include "rigs.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "acsim.h"
#include "cloudsim.h"
#include "wait_until.h"

namespace faults {

const std::string kSn = "AB12";

namespace {

const std::string kSource = APM_SOURCE_DIR;

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

class FenwireRig : public Rig {
  public:
    FenwireRig() {
        settings_.port = broker.port();
        ac_ = std::make_unique<sim::AcSim>(settings_);
        box.bind(kSource + "/sim/stubs/iface_led.sh", "/sbin/iface_led.sh");
        box.env("FENWIRE_SN", kSn);
        box.env("FENWIRE_AC_PORT", std::to_string(broker.port()));
        box.env("FENWIRE_JOIN_TIMEOUT", "1");
        box.env("FENWIRE_CONFIG_TIMEOUT", "1");
        box.env("FENWIRE_HEARTBEAT_TIMEOUT", "2");
        box.env("FENWIRE_HEARTBEAT_TIMES", "2");
        box.env("LD_PRELOAD", sandbox::lib("libfakewifi.so"));
        box.env("ASAN_OPTIONS", "verify_asan_link_order=0");
    }
    std::string name() const override { return "Fenwire"; }
    size_t runs() const override { return count_lines_with(file_log(), "\tap enter run"); }
    bool answers(int timeout_ms) override {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t before = ac_->count(kSn, "ack");
        while (std::chrono::steady_clock::now() < deadline) {
            ac_->send_run(kSn, 3);  // a state report: answered with an ack
            if (sandbox::wait_until([&] { return ac_->count(kSn, "ack") > before; }, 4000))
                return true;
        }
        return false;
    }
    std::string log() const override { return file_log() + box.read("stdout"); }
    std::string inbound_topic() const override { return "apsub/" + kSn; }
    void silence(bool on) override { ac_->set_answer_heartbeats(!on); }
    size_t station_reports(const std::string &mac) const override {
        size_t n = 0;
        for (auto &e : ac_->events())
            if (e.type == "state" && has(e.payload, "\"event\":\"online\"") && has(e.payload, mac))
                ++n;
        return n;
    }

  protected:
    void launch() override {
        box.bind(script.empty() ? kSource + "/examples/lua/Fenwire.lua" : script,
                 "/usr/lib/lua/Fenwire.lua");
        box.env("FAKEWIFI_DIR", "/" + wifi_rel);
        ac_->start();
        agent = box.start({sandbox::bin("Fenwire")});
    }

  private:
    // The log, also when /var/log is a tmpfs of the sandbox's own.
    std::string file_log() const {
        std::string text = box.read("var/log/mqttlog.new");
        if (text.empty() && pid_ > 0)
            text = slurp("/proc/" + std::to_string(pid_) + "/root/var/log/mqttlog.new");
        return text;
    }
    sim::AcSettings settings_;
    std::unique_ptr<sim::AcSim> ac_;
};

class OstrelRig : public Rig {
  public:
    OstrelRig() {
        settings_.port = broker.port();
        cloud_ = std::make_unique<sim::CloudSim>(settings_);
        box.bind(kSource + "/sim/stubs/iface_led.sh", "/sbin/iface_led.sh");
        box.bind(kSource + "/sim/stubs/disconnect.sh", "/usr/bin/disconnect.sh");
        box.env("OSTREL_SN", kSn);
        box.env("OSTREL_SERVER_PORT", std::to_string(broker.port()));
        box.env("OSTREL_SERVER_KEEPLIVE", "5");  // the least libmosquitto takes
        box.env("OSTREL_SERVER_INTERVAL", "2");
        box.env("LD_PRELOAD", sandbox::lib("libfakewifi.so"));
        box.env("ASAN_OPTIONS", "verify_asan_link_order=0");
    }
    std::string name() const override { return "ostrel"; }
    size_t runs() const override { return count_lines(log(), "connect"); }
    bool answers(int timeout_ms) override {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t before = cloud_->count(kSn, "get_resp");
        while (std::chrono::steady_clock::now() < deadline) {
            if (cloud_->ready()) cloud_->command("get " + kSn);
            if (sandbox::wait_until([&] { return cloud_->count(kSn, "get_resp") > before; }, 2000))
                return true;
        }
        return false;
    }
    std::string log() const override { return box.read("stdout") + box.read("stderr"); }
    std::string inbound_topic() const override { return "ostrel/" + kSn + "/down"; }
    void silence(bool on) override {
        if (on)
            cloud_->stop();
        else
            cloud_->start();
    }
    size_t station_reports(const std::string &mac) const override {
        size_t n = 0;
        for (auto &e : cloud_->events())
            if (e.from_ap && e.kind == "station" && has(e.payload, "\"event\":\"join\"") &&
                has(e.payload, mac))
                ++n;
        return n;
    }

  protected:
    void launch() override {
        box.bind(script.empty() ? kSource + "/examples/lua/ostrel.lua" : script,
                 "/usr/lib/lua/ostrel.lua");
        box.env("FAKEWIFI_DIR", "/" + wifi_rel);
        cloud_->start();
        agent = box.start({sandbox::bin("ostrel")});
    }

  private:
    sim::CloudSettings settings_;
    std::unique_ptr<sim::CloudSim> cloud_;
};

}  // namespace

bool has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

size_t count_lines(const std::string &text, const std::string &line) {
    size_t n = 0;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) n += l == line;
    return n;
}

size_t count_lines_with(const std::string &text, const std::string &what) {
    size_t n = 0;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) n += has(l, what);
    return n;
}

void Rig::start() {
    box.write(wifi_rel + "/.keep", "");
    launch();
    pid();
}

bool Rig::wait_runs(size_t n, int timeout_ms) const {
    return sandbox::wait_until([&] { return runs() >= n; }, timeout_ms);
}

int Rig::pid() {
    if (pid_ > 0 && kill(pid_, 0) == 0) return pid_;
    pid_ = -1;
    if (!agent) return -1;
    sandbox::wait_until([&] { return (pid_ = find_agent_pid(agent->pid(), name())) > 0; }, 5000);
    return pid_;
}

Figures Rig::figures() {
    Figures f;
    read_figures(pid(), f);
    return f;
}

bool Rig::settles_to(const Figures &base, Figures &now, int timeout_ms) {
    return sandbox::wait_until(
        [&] {
            now = figures();
            return now.threads == base.threads && now.fds == base.fds;
        },
        timeout_ms);
}

std::string Rig::inside(const std::string &path) {
    return "/proc/" + std::to_string(pid()) + "/root" + path;
}

std::unique_ptr<Rig> make_rig(const std::string &agent) {
    if (agent == "Fenwire") return std::make_unique<FenwireRig>();
    return std::make_unique<OstrelRig>();
}

}  // namespace faults
