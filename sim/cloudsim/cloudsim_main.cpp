// cloudsim: the cloud simulator as a command, for the demo and for trying
// the agent by hand. Prints one line per message it hears or sends until
// interrupted, and takes commands on standard input, one per line:
//   type1 SN                      a run request (type 1)
//   schedule SN [TIMES [TOPICS]]  a run request asking for TIMES scheduled
//                                 messages, on TOPICS (a;b) if given
//   disconnect SN                 the disconnect request (type 2)
//   get SN [KEY...]               a get request (type 3)
//   download SN [upgrade]         a download request (type 4), flashing the
//                                 AP's image with "upgrade"
//   upload SN [WHAT]              an upload request (type 5): status, config, stations
//   command SN TEXT...            a command request (type 6)
//   request SN TYPE               a request of any type number
//   answer on|off                 answering join and configure requests
//
//   cloudsim [-h host] [-p port] [-j join_result] [-c config_result] [-i] [-q]
// -i: the join response asks for the image step; -q: answer nothing at first.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cloudsim.h"
#include "command_input.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void on_signal(int) {
    stop_requested = 1;
}

void print_event(const sim::CloudEvent &e) {
    std::printf("%s\n", sim::describe(e).c_str());
    std::fflush(stdout);
}

int usage() {
    std::fprintf(stderr,
                 "usage: cloudsim [-h host] [-p port] [-j join_result] "
                 "[-c config_result] [-i] [-q]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    sim::CloudSettings s;
    for (int c; (c = getopt(argc, argv, "h:p:j:c:iq")) != -1;) {
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
            case 'i':
                s.need_image = true;
                break;
            case 'q':
                s.answer = false;
                break;
            default:
                return usage();
        }
    }
    if (optind != argc) return usage();
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    sim::CloudSim cloud(s);
    cloud.on_event(print_event);
    cloud.start();
    sim::serve_commands(
        "cloudsim", [&](const std::string &line) { return cloud.command(line); }, stop_requested);
    return 0;
}
