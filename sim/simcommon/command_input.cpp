#include "command_input.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

namespace sim {
namespace {

// Runs every whole line in `pending`, keeping a partial last line.
void run_lines(const char *name, const std::function<bool(const std::string &)> &run,
               std::string &pending) {
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && !run(line))
            std::fprintf(stderr, "%s: unknown command: %s\n", name, line.c_str());
    }
}

}  // namespace

void serve_commands(const char *name, const std::function<bool(const std::string &)> &run,
                    const volatile std::sig_atomic_t &stop) {
    bool input = true;
    std::string pending;
    while (!stop) {
        struct pollfd p = {0, POLLIN, 0};
        if (!input || poll(&p, 1, 100) <= 0) {
            if (!input) usleep(100000);
            continue;
        }
        char buf[512];
        ssize_t got = read(0, buf, sizeof buf);
        if (got <= 0) {
            input = false;
            pending += '\n';
        } else {
            pending.append(buf, static_cast<size_t>(got));
        }
        run_lines(name, run, pending);
    }
}

}  // namespace sim
