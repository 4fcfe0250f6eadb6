#include "sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace sandbox {

std::string bin(const std::string &name) {
    return std::string(APM_BIN_DIR) + "/" + name;
}
std::string lib(const std::string &name) {
    return std::string(APM_LIB_DIR) + "/" + name;
}

Sandbox::Sandbox() {
    std::string tmpl = (fs::temp_directory_path() / "apm-root-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    for (const char *d : {"tmp", "var/log", "var/run", "dev", "proc"})
        fs::create_directories(host(d));
    // The sandbox's /tmp must stay writable for every user, as the real one is.
    fs::permissions(host("tmp"), fs::perms::all | fs::perms::sticky_bit);
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string Sandbox::host(const std::string &rel) const {
    return dir_ + "/" + rel;
}

void Sandbox::write(const std::string &rel, const std::string &bytes) const {
    fs::create_directories(fs::path(host(rel)).parent_path());
    std::ofstream f(host(rel), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + host(rel));
}

std::string Sandbox::read(const std::string &rel) const {
    std::ifstream f(host(rel), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Sandbox::exists(const std::string &rel) const {
    return fs::exists(host(rel));
}

void Sandbox::bind(const std::string &host_src, const std::string &sandbox_dst) {
    binds_.push_back(host_src + ":" + sandbox_dst);
}

namespace {

// Reads both pipes until they close or the deadline passes.
bool drain(int out_fd, int err_fd, Result &r, std::chrono::steady_clock::time_point deadline) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> Sandbox::launcher_args(const std::vector<std::string> &argv,
                                                const std::string &argv0) const {
    std::vector<std::string> args = {bin("aproot"), "--tmp", host("tmp"), "--var", host("var")};
    if (dev_) args.insert(args.end(), {"--dev", host("dev")});
    if (proc_) args.insert(args.end(), {"--proc", host("proc")});
    for (const auto &b : binds_) args.insert(args.end(), {"--bind", b});
    for (const auto &t : tmpfs_) args.insert(args.end(), {"--tmpfs", t});
    for (const auto &r : read_only_) args.insert(args.end(), {"--ro", r});
    if (!argv0.empty()) args.insert(args.end(), {"--argv0", argv0});
    if (!cwd_.empty()) args.insert(args.end(), {"--cwd", cwd_});
    for (const auto &kv : env_) args.insert(args.end(), {"--env", kv.first + "=" + kv.second});
    args.push_back("--");
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
}

// In the forked child: exec of the launcher.
void Sandbox::exec_child(const std::vector<std::string> &args) const {
    std::vector<char *> cargs;
    for (auto &a : args) cargs.push_back(const_cast<char *>(a.c_str()));
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
}

std::unique_ptr<Process> Sandbox::start(const std::vector<std::string> &argv,
                                        const std::string &argv0) const {
    auto args = launcher_args(argv, argv0);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(host("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(host("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        setpgid(0, 0);
        exec_child(args);
    }
    return std::make_unique<Process>(pid);
}

Process::~Process() {
    if (status_ < 0) stop();
}

bool Process::running() {
    return status_ < 0 && wait(0) < 0;
}

int Process::wait(int timeout_ms) {
    if (status_ >= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        usleep(10000);
    }
}

int Process::stop() {
    if (status_ >= 0) return status_;
    kill(pid_, SIGTERM);  // the launcher passes it on into the sandbox
    if (wait(1000) >= 0) return status_;
    kill(-pid_, SIGKILL);  // the whole group; the sandbox goes with its launcher
    return wait(10000);
}

Result Sandbox::run(const std::vector<std::string> &argv, const std::string &argv0,
                    int timeout_s) const {
    auto args = launcher_args(argv, argv0);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        exec_child(args);
    }
    close(out[1]);
    close(err[1]);
    Result r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    if (!drain(out[0], err[0], r, deadline)) kill(pid, SIGKILL);
    close(out[0]);
    close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

}  // namespace sandbox
