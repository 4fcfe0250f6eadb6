// acsim: the controller simulator as a command, for the demo and for trying
// the agent by hand. Prints what it hears and says until interrupted, and
// takes commands on standard input, one per line:
//   run SN CODE      a run message with action CODE (0, 1, 3, 4, 5, ...)
//   update SN        a firmware update request (action 4)
//   userinfo SN      a user-information request (action 5)
//   heartbeats on|off
//
//   acsim [-h host] [-p port] [-j join_result] [-c config_result] [-q] [-v]
// -q: stop answering heartbeats from the start.
// -v: each message's whole payload too, on the line after its reading.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "acsim.h"
#include "command_input.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
bool verbose = false;
void on_signal(int) {
    stop_requested = 1;
}

void print_event(const sim::AcEvent &e) {
    // One call, so that the reading and its payload stay together.
    if (verbose)
        std::printf("%s\n   %s\n", sim::describe(e).c_str(), e.payload.c_str());
    else
        std::printf("%s\n", sim::describe(e).c_str());
    std::fflush(stdout);
}

int usage() {
    std::fprintf(
        stderr, "usage: acsim [-h host] [-p port] [-j join_result] [-c config_result] [-q] [-v]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    sim::AcSettings s;
    for (int c; (c = getopt(argc, argv, "h:p:j:c:qv")) != -1;) {
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
            case 'v':
                verbose = true;
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
    sim::serve_commands(
        "acsim", [&](const std::string &line) { return ac.command(line); }, stop_requested);
    return 0;
}
