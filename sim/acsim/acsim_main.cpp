// acsim: the controller simulator as a command, for the demo and for trying
// the agent by hand. Prints what it hears and says until interrupted.
//
//   acsim [-h host] [-p port] [-j join_result] [-c config_result]
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "acsim.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void on_signal(int) {
    stop_requested = 1;
}

void print_event(const sim::AcEvent &e) {
    std::printf("%s %-8s %-12s %s\n", e.from_ap ? "AC <-" : "AC ->", e.sn.c_str(), e.type.c_str(),
                e.payload.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    sim::AcSettings s;
    for (int c; (c = getopt(argc, argv, "h:p:j:c:")) != -1;) {
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
            default:
                std::fprintf(
                    stderr,
                    "usage: acsim [-h host] [-p port] [-j join_result] [-c config_result]\n");
                return 2;
        }
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    sim::AcSim ac(s);
    ac.on_event(print_event);
    ac.start();
    while (!stop_requested) usleep(100000);
    return 0;
}
