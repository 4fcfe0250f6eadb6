// fakewifi: drives the fake wireless driver of libfakewifi.so from the
// command line: sends station events to the agent and keeps the station
// tables the agent's ioctl reads.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "encode.h"
#include "folder.h"
#include "station_layout.h"
#include "text.h"

namespace {

using fakewifi::Station;

const char kUsage[] =
    "usage: fakewifi [-d DIR] COMMAND ...\n"
    "  join MAC IP [-r RADIO] [-w WLAN] [-s SSID] [-n HOSTNAME] [-x EXTRA]\n"
    "  leave MAC [-r RADIO] [-w WLAN] [-i IP]\n"
    "  set MAC [-r RADIO] [-w WLAN] [--rssi N] [--rxbytes N] [--txbytes N] [--rxrate N]\n"
    "      [--txrate N] [--uptime N] [--txkbps N] [--rate-index N] [--rate-byte N]\n"
    "      [--aux32 N] [--aux16 N] [--len N]\n"
    "  raw FILE        send the bytes of FILE as one message\n"
    "  list            print the stations\n"
    "  clear           forget every station\n"
    "DIR defaults to $FAKEWIFI_DIR or /tmp/fakewifi. RADIO 1 or 2 (default 1), WLAN 0-3\n"
    "(default 0): the station's table is DIR/table.<ifname>.\n";

struct Args {
    std::string dir = fakewifi::default_dir();
    std::string command;
    std::vector<std::string> words;
    std::map<std::string, std::string> opts;
};

struct Command {
    size_t words;
    std::set<std::string> opts;
    int (*run)(const Args &);
};

const std::set<std::string> kFigures = {"--rssi",   "--rxbytes", "--txbytes",    "--rxrate",
                                        "--txrate", "--uptime",  "--txkbps",     "--rate-byte",
                                        "--aux32",  "--aux16",   "--rate-index", "--len"};

int usage_error(const std::string &what) {
    fprintf(stderr, "fakewifi: %s\n%s", what.c_str(), kUsage);
    return 2;
}

int failure(const std::string &what) {
    fprintf(stderr, "fakewifi: %s\n", what.c_str());
    return 1;
}

bool parse_args(int argc, char **argv, Args &a, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string w = argv[i];
        if (w.size() < 2 || w[0] != '-') {
            (a.command.empty() ? a.command : a.words.emplace_back()) = w;
            continue;
        }
        if (i + 1 >= argc) {
            error = "option " + w + " needs a value";
            return false;
        }
        (w == "-d" ? a.dir : a.opts[w]) = argv[++i];
    }
    return true;
}

// The number given for `opt`, or `fallback`; false if it is not a number <= max.
template <typename T>
bool number_opt(const Args &a, const std::string &opt, uint64_t max, T &out) {
    auto it = a.opts.find(opt);
    if (it == a.opts.end()) return true;
    auto v = fakewifi::parse_number(it->second, max);
    if (v) out = static_cast<T>(*v);
    return v.has_value();
}

std::string text_opt(const Args &a, const std::string &opt) {
    auto it = a.opts.find(opt);
    return it == a.opts.end() ? "" : it->second;
}

// Stations of the folder that `fn` changes, saved afterwards.
template <typename Fn>
int change_stations(const Args &a, Fn fn) {
    fakewifi::FolderLock lock(a.dir);
    if (!lock.held()) return failure("cannot lock " + a.dir + "/lock");
    std::vector<Station> stations;
    std::string error;
    if (!fakewifi::load_stations(a.dir, stations, error)) return failure(error);
    if (int rc = fn(stations)) return rc;
    if (!fakewifi::save_stations(a.dir, stations, error)) return failure(error);
    return 0;
}

int send_event(const Args &a, const fakewifi::StationEvent &ev, const Station &s) {
    std::string error;
    int i = fakewifi::interface_index(s);
    printf("%s %s %s radio %d wlan %u (%s)\n",
           ev.type == station_layout::kEventJoin ? "join" : "leave",
           fakewifi::format_mac(ev.mac).c_str(), fakewifi::format_ipv4(ev.ip).c_str(), ev.radio,
           ev.wlan, i >= 0 ? ifname_list[i] : "no interface");
    if (!fakewifi::deliver(a.dir, fakewifi::encode_event(ev), error))
        return failure("event not delivered: " + error);
    return 0;
}

// MAC, and -r/-w into `s` (radio_given/wlan_given tell whether they were).
bool station_key(const Args &a, Station &s, bool &radio_given, bool &wlan_given) {
    auto mac = fakewifi::parse_mac(a.words[0]);
    if (!mac) return false;
    s.entry.mac = *mac;
    radio_given = a.opts.count("-r") > 0;
    wlan_given = a.opts.count("-w") > 0;
    return number_opt(a, "-r", INT32_MAX, s.radio) && number_opt(a, "-w", 0xFF, s.wlan);
}

bool matches(const Station &s, const Station &key, bool radio_given, bool wlan_given) {
    return s.entry.mac == key.entry.mac && (!radio_given || s.radio == key.radio) &&
           (!wlan_given || s.wlan == key.wlan);
}

int cmd_join(const Args &a) {
    Station key;
    bool r, w;
    auto ip = fakewifi::parse_ipv4(a.words[1]);
    if (!station_key(a, key, r, w) || !ip) return usage_error("bad MAC, IP, radio or WLAN");
    key.ip = *ip;
    int rc = change_stations(a, [&](std::vector<Station> &stations) {
        auto same = [&](const Station &s) { return matches(s, key, true, true); };
        auto it = std::find_if(stations.begin(), stations.end(), same);
        if (it == stations.end())
            stations.push_back(key);
        else
            it->ip = key.ip;  // figures stay
        return 0;
    });
    if (rc) return rc;
    fakewifi::StationEvent ev{
        station_layout::kEventJoin, key.radio,         key.wlan,         key.entry.mac, key.ip,
        text_opt(a, "-s"),          text_opt(a, "-x"), text_opt(a, "-n")};
    return send_event(a, ev, key);
}

int cmd_leave(const Args &a) {
    Station key;
    bool r, w;
    if (!station_key(a, key, r, w)) return usage_error("bad MAC, radio or WLAN");
    auto ip = fakewifi::parse_ipv4(text_opt(a, "-i"));
    if (a.opts.count("-i") && !ip) return usage_error("bad IP");
    int rc = change_stations(a, [&](std::vector<Station> &stations) {
        for (auto it = stations.begin(); it != stations.end(); ++it) {
            if (!matches(*it, key, r, w)) continue;
            key.radio = it->radio;
            key.wlan = it->wlan;
            key.ip = it->ip;
            stations.erase(it);
            break;
        }
        return 0;
    });
    if (rc) return rc;
    if (ip) key.ip = *ip;
    fakewifi::StationEvent ev{
        station_layout::kEventLeave, key.radio, key.wlan, key.entry.mac, key.ip, "", "", ""};
    return send_event(a, ev, key);
}

// The figures given on the command line, over those of `e`.
bool apply_figures(const Args &a, fakewifi::StationEntry &e) {
    return number_opt(a, "--rssi", 0xFF, e.rssi) &&
           number_opt(a, "--rxbytes", UINT64_MAX, e.rxbytes) &&
           number_opt(a, "--txbytes", UINT64_MAX, e.txbytes) &&
           number_opt(a, "--rxrate", UINT32_MAX, e.rxrate) &&
           number_opt(a, "--txrate", UINT32_MAX, e.txrate) &&
           number_opt(a, "--uptime", UINT32_MAX, e.uptime) &&
           number_opt(a, "--txkbps", UINT32_MAX, e.tx_kbps) &&
           number_opt(a, "--rate-index", 0xFF, e.rate_index) &&
           number_opt(a, "--rate-byte", 0xFF, e.rate_byte) &&
           number_opt(a, "--aux32", UINT32_MAX, e.aux32) &&
           number_opt(a, "--aux16", 0xFFFF, e.aux16) && number_opt(a, "--len", 0xFFFF, e.length);
}

int cmd_set(const Args &a) {
    Station key;
    bool r, w;
    if (!station_key(a, key, r, w)) return usage_error("bad MAC, radio or WLAN");
    fakewifi::StationEntry probe;
    if (!apply_figures(a, probe)) return usage_error("bad figure");
    return change_stations(a, [&](std::vector<Station> &stations) {
        int found = 0;
        for (auto &s : stations)
            if (matches(s, key, r, w)) found += apply_figures(a, s.entry);
        return found ? 0 : failure("no station " + a.words[0] + " in " + a.dir);
    });
}

int cmd_raw(const Args &a) {
    std::string bytes, error;
    if (!fakewifi::read_file(a.words[0], bytes, 65536)) return failure("cannot read " + a.words[0]);
    if (!fakewifi::deliver(a.dir, bytes, error)) return failure("message not delivered: " + error);
    return 0;
}

int cmd_list(const Args &a) {
    std::vector<Station> stations;
    std::string error;
    if (!fakewifi::load_stations(a.dir, stations, error)) return failure(error);
    fputs(fakewifi::format_state(stations).c_str(), stdout);
    return 0;
}

int cmd_clear(const Args &a) {
    return change_stations(a, [](std::vector<Station> &stations) {
        stations.clear();
        return 0;
    });
}

const std::map<std::string, Command> kCommands = {
    {"join", {2, {"-r", "-w", "-s", "-n", "-x"}, cmd_join}},
    {"leave", {1, {"-r", "-w", "-i"}, cmd_leave}},
    {"set", {1, {}, cmd_set}},
    {"raw", {1, {}, cmd_raw}},
    {"list", {0, {}, cmd_list}},
    {"clear", {0, {}, cmd_clear}},
};

// The options `cmd` accepts.
bool allowed(const std::string &name, const Command &cmd, const std::string &opt) {
    if (cmd.opts.count(opt)) return true;
    return name == "set" && (opt == "-r" || opt == "-w" || kFigures.count(opt));
}

}  // namespace

int main(int argc, char **argv) {
    Args a;
    std::string error;
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (!parse_args(argc, argv, a, error)) return usage_error(error);
    if (a.command.empty()) return usage_error("no command");
    auto it = kCommands.find(a.command);
    if (it == kCommands.end()) return usage_error("unknown command '" + a.command + "'");
    if (a.words.size() != it->second.words) return usage_error("wrong number of arguments");
    for (const auto &kv : a.opts)
        if (!allowed(a.command, it->second, kv.first))
            return usage_error("option " + kv.first + " does not go with " + a.command);
    return it->second.run(a);
}
