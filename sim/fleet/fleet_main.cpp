// fleet: many APs on one machine, for testing a controller or cloud service
// against a fleet before a rollout. Each AP is an agent as shipped (Fenwire,
// ostrel, or both alternately) in a sandbox root of its own, with its own
// serial number, script settings and fake Wi-Fi driver, on whose stations
// the fleet plays churn. All of them talk to one broker (its own mosquitto,
// or an existing one) and to one acsim and one cloudsim. While the fleet
// comes up it prints how many APs are in each stage; once all are in the
// run state it holds them there for the given time, then prints a summary
// ("summary NAME VALUE UNIT" lines) and ends: status 0 when every AP
// reached the run state, stayed there and missed no heartbeat.
//
//   fleet [options]
//   -n N          agents (default 10)
//   -a KIND       Fenwire, ostrel or mix (alternately; default mix)
//   -t SECONDS    how long the whole fleet is held in the run state (default 60)
//   -u SECONDS    how long it may take to get there (default 600)
//   -r RATE       agents started per second (default 50)
//   -c SECONDS    station events of one AP this far apart (default 10)
//   -H SECONDS    Fenwire's heartbeat timeout (default 10)
//   -I SECONDS    ostrel's heartbeat interval (default 30)
//   -b HOST:PORT  an existing broker instead of a mosquitto of the fleet's own
//   -s PREFIX     serial numbers PREFIX0000, PREFIX0001, ... (default FL)
//   -f FIRST      the first serial number's number (default 0)
//   -S            no simulators here: another machine runs them on the broker
//   -d DIR        the fleet's folder (default: a new one under $TMPDIR or /tmp)
//   -k            keep the folder (it is removed otherwise)
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fleet_run.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: fleet [-n N] [-a Fenwire|ostrel|mix] [-t SECONDS] [-u SECONDS] [-r RATE]\n"
                 "             [-c SECONDS] [-H SECONDS] [-I SECONDS] [-b HOST:PORT] [-s PREFIX]\n"
                 "             [-f FIRST] [-S] [-d DIR] [-k]\n");
    return 2;
}

bool number(const char *text, int &out, int least = 0) {
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < least || v > 1000000) return false;
    out = static_cast<int>(v);
    return true;
}

bool broker_address(const std::string &b, sim::FleetOptions &o) {
    size_t colon = b.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    o.host = b.substr(0, colon);
    return number(b.c_str() + colon + 1, o.port, 1) && o.port < 65536;
}

bool parse(int argc, char **argv, sim::FleetOptions &o) {
    for (int c; (c = getopt(argc, argv, "n:a:t:u:r:c:H:I:b:s:f:Sd:k")) != -1;) {
        bool ok = true;
        switch (c) {
            case 'n':
                ok = number(optarg, o.agents, 1);
                break;
            case 'a':
                o.kind = optarg;
                ok = o.kind == "Fenwire" || o.kind == "ostrel" || o.kind == "mix";
                break;
            case 't':
                ok = number(optarg, o.hold_s);
                break;
            case 'u':
                ok = number(optarg, o.ramp_s, 1);
                break;
            case 'r':
                ok = number(optarg, o.rate, 1);
                break;
            case 'c':
                ok = number(optarg, o.churn_s, 1);
                break;
            case 'H':
                ok = number(optarg, o.fenwire_heartbeat, 1);
                break;
            case 'I':
                ok = number(optarg, o.ostrel_interval, 1);
                break;
            case 'b':
                ok = broker_address(optarg, o);
                break;
            case 's':
                o.prefix = optarg;
                break;
            case 'f':
                ok = number(optarg, o.first);
                break;
            case 'S':
                o.simulators = false;
                break;
            case 'd':
                o.dir = optarg;
                break;
            case 'k':
                o.keep = true;
                break;
            default:
                ok = false;
        }
        if (!ok) return false;
    }
    // Without simulators here, the broker is another machine's.
    return optind == argc && (o.port > 0 || o.simulators);
}

}  // namespace

int main(int argc, char **argv) {
    sim::FleetOptions o;
    if (!parse(argc, argv, o)) return usage();
    struct sigaction sa {};
    sa.sa_handler = sim::request_fleet_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return sim::run_fleet(o);
}
