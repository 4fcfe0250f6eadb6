// One agent under its management system, for the fault scenarios: Fenwire
// under acsim or ostrel under cloudsim, each over a real broker of its own,
// in a sandbox with the fake Wi-Fi driver preloaded. Configure the sandbox
// (box, env) before start().
#pragma once

#include <memory>
#include <string>

#include "agent_figures.h"
#include "broker.h"
#include "sandbox.h"

namespace faults {

extern const std::string kSn;

bool has(const std::string &text, const std::string &what);
// Lines equal to `line` (without its newline).
size_t count_lines(const std::string &text, const std::string &line);
// Lines holding `what`.
size_t count_lines_with(const std::string &text, const std::string &what);

class Rig {
  public:
    virtual ~Rig() = default;

    virtual std::string name() const = 0;  // "Fenwire" or "ostrel"
    void start();
    // Times the agent came to its run state: Fenwire's "ap enter run" lines,
    // ostrel's "connect" lines.
    virtual size_t runs() const = 0;
    // A request of the controller or cloud answered (sent again until it is,
    // for at most `timeout_ms`).
    virtual bool answers(int timeout_ms = 30000) = 0;
    // Everything the agent wrote to its log: Fenwire's log file, ostrel's
    // standard output (Fenwire's standard output is appended).
    virtual std::string log() const = 0;
    // The topic the agent receives on.
    virtual std::string inbound_topic() const = 0;
    // The controller or cloud stops answering (true) or answers again.
    virtual void silence(bool on) = 0;
    // Station reports (joins) the controller or cloud has heard.
    virtual size_t station_reports(const std::string &mac) const = 0;

    // In the run state `n` times (counting from the start) within the time.
    bool wait_runs(size_t n, int timeout_ms = 30000) const;
    bool running() { return agent && agent->running(); }
    int pid();  // the agent's host pid (-1 when gone)
    Figures figures();
    // Waits for threads and descriptors to come back to `base` (a shell
    // command or a sample's socket may hold one for a moment).
    bool settles_to(const Figures &base, Figures &now, int timeout_ms = 15000);
    // Path on the host of a file inside the running sandbox, through
    // /proc/PID/root (reaches tmpfs mounts the sandbox folder does not hold).
    std::string inside(const std::string &path);
    // Fake driver folder on the host (FAKEWIFI_DIR of the sandbox).
    std::string wifi_dir() const { return box.host(wifi_rel); }

    sandbox::Broker broker;
    sandbox::Sandbox box;
    std::unique_ptr<sandbox::Process> agent;
    std::string wifi_rel = "tmp/fakewifi";  // set to "var/fakewifi" when /tmp is a tmpfs
    std::string script;  // host path of the script (default: the sample)

  protected:
    virtual void launch() = 0;
    int pid_ = -1;
};

std::unique_ptr<Rig> make_rig(const std::string &agent);

}  // namespace faults
