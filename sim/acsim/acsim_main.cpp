// acsim: the controller simulator as a command, for the demo and for trying
// the agent by hand. Prints what it hears and says until interrupted, and
// takes commands on standard input, one per line:
//   run SN CODE      a run message with action CODE (0, 1, 3, 4, 5, ...)
//   update SN        a firmware update request (action 4)
//   userinfo SN      a user-information request (action 5)
//   heartbeats on|off
//
//   acsim [-h host] [-p port] [-j join_result] [-c config_result] [-q]
// -q: stop answering heartbeats from the start.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "acsim.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void on_signal(int) {
    stop_requested = 1;
}

void print_event(const sim::AcEvent &e) {
    std::printf("%s\n", sim::describe(e).c_str());
    std::fflush(stdout);
}

int usage() {
    std::fprintf(stderr,
                 "usage: acsim [-h host] [-p port] [-j join_result] [-c config_result] [-q]\n");
    return 2;
}

// Runs every whole line in `pending`, keeping a partial last line.
void run_lines(sim::AcSim &ac, std::string &pending) {
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && !ac.command(line))
            std::fprintf(stderr, "acsim: unknown command: %s\n", line.c_str());
    }
}

// Reads commands while standard input stays open; then just waits.
void serve(sim::AcSim &ac) {
    bool input = true;
    std::string pending;
    while (!stop_requested) {
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
        run_lines(ac, pending);
    }
}

}  // namespace

int main(int argc, char **argv) {
    sim::AcSettings s;
    for (int c; (c = getopt(argc, argv, "h:p:j:c:q")) != -1;) {
        switch (c) {
            case 'h':
                s.host = optarg;
                break;
            case 'p':
                s.port = std::atoi(optarg);
                break;
            case 'j':
                s.join_result = std::atoi(optarg);
                break;
            case 'c':
                s.config_result = std::atoi(optarg);
                break;
            case 'q':
                s.answer_heartbeats = false;
                break;
            default:
                return usage();
        }
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    sim::AcSim ac(s);
    ac.on_event(print_event);
    ac.start();
    serve(ac);
    return 0;
}
