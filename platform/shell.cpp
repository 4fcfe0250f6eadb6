#include "shell.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace plat {
namespace {

int real_run(const char *command) {
    return std::system(command);
}

std::string real_read(const char *command, size_t limit, int *status) {
    std::string out;
    FILE *p = popen(command, "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[512];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) {
        if (out.size() < limit) out.append(buf, std::min(got, limit - out.size()));
    }
    int st = pclose(p);
    // -1 is kept for "could not be started": a command whose output was
    // read but whose wait failed counts as having run.
    if (status) *status = st == -1 ? 0 : st;
    return out;
}

const ShellOps real_shell = {real_run, real_read};
// Atomic: a detached thread (a station monitor) may still use it while a
// test puts the real shell back.
std::atomic<const ShellOps *> shell_ops{&real_shell};

}  // namespace

int shell_run(const char *command) {
    return shell_ops.load(std::memory_order_acquire)->run(command);
}
std::string shell_read(const char *command, size_t limit, int *status) {
    return shell_ops.load(std::memory_order_acquire)->read(command, limit, status);
}
void set_shell(const ShellOps *ops) {
    shell_ops.store(ops ? ops : &real_shell, std::memory_order_release);
}

}  // namespace plat
