// Runs a shipped binary in an AP sandbox root (sim/aproot) and collects what
// it printed. Each Sandbox owns a fresh folder on the host whose tmp/ and
// var/ are the sandbox's /tmp and /var, and whose dev/ and proc/ entries are
// placed in the sandbox's /dev and /proc when use_dev()/use_proc() ask so.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sandbox {

struct Result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

// Path of a built program (bin/ of the build tree).
std::string bin(const std::string &name);
// Path of a built shared library (lib/ of the build tree).
std::string lib(const std::string &name);

// A program started in the background; killed when the handle goes away.
class Process {
  public:
    explicit Process(int pid) : pid_(pid) {}
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    int pid() const { return pid_; }
    bool running();
    // Waits for the end: the exit status (or 128 + signal), -1 on timeout.
    int wait(int timeout_ms);
    // SIGTERM, then SIGKILL after a second; returns the status.
    int stop();

  private:
    int pid_;
    int status_ = -1;
};

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // Host path of `rel` inside the sandbox folder, e.g. host("tmp/flag").
    std::string host(const std::string &rel) const;
    void write(const std::string &rel, const std::string &bytes) const;
    std::string read(const std::string &rel) const;
    bool exists(const std::string &rel) const;

    void use_dev() { dev_ = true; }    // /dev becomes a tmpfs with dev/ bound in
    void use_proc() { proc_ = true; }  // /proc becomes a tmpfs with proc/ bound in
    // Mounts host_src over sandbox_dst, after /dev is replaced (so
    // bind("/dev/null", "/dev/mem") works with use_dev()).
    void bind(const std::string &host_src, const std::string &sandbox_dst);
    // A fresh tmpfs of `size` ("64k", "1m", ...) over the existing folder
    // `sandbox_dst`, after the binds: a small file system that fills up.
    // Its files are reached from the host through /proc/PID/root only.
    void tmpfs(const std::string &sandbox_dst, const std::string &size) {
        tmpfs_.push_back(sandbox_dst + ":" + size);
    }
    // `sandbox_dst` (file or folder) read-only, after the binds and tmpfs.
    void read_only(const std::string &sandbox_dst) { read_only_.push_back(sandbox_dst); }
    // Set in the program's environment only (not the launcher's).
    void env(const std::string &key, const std::string &value) { env_[key] = value; }
    // The folder (inside the sandbox) the program starts in.
    void cwd(const std::string &dir) { cwd_ = dir; }

    // Runs argv[0] (a host path) with the given invocation name (empty: the
    // path itself). A program still running after `timeout_s` is killed.
    Result run(const std::vector<std::string> &argv, const std::string &argv0 = "",
               int timeout_s = 30) const;

    // Starts the program in the background; its standard output and error
    // go to the files "stdout" and "stderr" of the sandbox folder.
    std::unique_ptr<Process> start(const std::vector<std::string> &argv,
                                   const std::string &argv0 = "") const;

  private:
    std::vector<std::string> launcher_args(const std::vector<std::string> &argv,
                                           const std::string &argv0) const;
    void exec_child(const std::vector<std::string> &args) const;
    std::string dir_;
    bool dev_ = false, proc_ = false;
    std::string cwd_;
    std::vector<std::string> binds_;
    std::vector<std::string> tmpfs_, read_only_;
    std::map<std::string, std::string> env_;
};

}  // namespace sandbox
