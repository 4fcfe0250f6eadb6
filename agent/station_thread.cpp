// The station thread: follows the driver's join and leave events, keeps the
// station list and the station file.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "debug_log.h"
#include "locks.h"
#include "shell.h"
#include "station_event.h"
#include "station_monitor.h"
#include "station_probe.h"
#include "wifi_driver.h"

namespace {

constexpr const char *kDefaultStationFile = "/tmp/sta_mac_ip";
// Never destroyed: the station thread may still use it while the process exits.
std::string &station_file = *new std::string(kDefaultStationFile);

pthread_t nl_thread;  // the station thread

struct RecordFree {
    void operator()(NLnode *rec) const {
        free_usr_ring(rec);
        std::free(rec);
    }
};
using RecordPtr = std::unique_ptr<NLnode, RecordFree>;

RecordPtr make_probe(const StationEvent &ev) {
    RecordPtr probe(static_cast<NLnode *>(std::calloc(1, sizeof(NLnode))));
    if (!probe) return probe;
    probe->type = ev.type;
    std::memcpy(probe->mac, ev.mac, sizeof probe->mac);
    std::memcpy(probe->staip, ev.staip, sizeof probe->staip);
    probe->radioid = ev.radioid;
    probe->wlanid = ev.wlanid;
    return probe;
}

void run_sed(const char *pattern) {
    std::string cmd = std::string("sed -i '/") + pattern + "/d' " + station_file;
    plat::shell_run(cmd.c_str());
}

void drop_mac_lines(const uint8_t *m) {
    char pattern[32];
    std::snprintf(pattern, sizeof pattern, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3],
                  m[4], m[5]);
    run_sed(pattern);
}

void drop_station_line(const StationEvent &ev) {
    const uint8_t *m = ev.mac;
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "R:%d W:%d mac:%02x:%02x:%02x:%02x:%02x:%02x",
                  ev.radioid, ev.wlanid, m[0], m[1], m[2], m[3], m[4], m[5]);
    run_sed(pattern);
}

void append_station_line(const StationEvent &ev) {
    FILE *fp = std::fopen(station_file.c_str(), "a+");
    if (!fp) {
        std::printf("save sta mac ip error");
        return;
    }
    const uint8_t *m = ev.mac;
    int put = std::fprintf(fp, "R:%d W:%d mac:%02x:%02x:%02x:%02x:%02x:%02x ip:%s\n", ev.radioid,
                           ev.wlanid, m[0], m[1], m[2], m[3], m[4], m[5], ev.staip);
    // A full /tmp fails the write or the close, not the open.
    if (std::fclose(fp) != 0 || put < 0) std::printf("save sta mac ip error");
}

int count_records(const NLnode *head) {
    int n = 0;
    for (const NLnode *p = head->next; p; p = p->next) ++n;
    return n;
}

// The first record after the head that is the same station as `probe`, and
// the record before it.
NLnode *find_station(NLnode *head, const NLnode &probe, NLnode **prev) {
    *prev = head;
    for (NLnode *p = head->next; p; *prev = p, p = p->next)
        if (same_station(*p, probe)) return p;
    return nullptr;
}

void append_record(NLnode *head, NLnode *rec) {
    NLnode *tail = head;
    while (tail->next) tail = tail->next;
    tail->next = rec;
}

// Merges a probe into the list; the probe is kept only when it is appended.
void merge_probe(NLnode *head, RecordPtr probe) {
    NLnode *prev = nullptr;
    NLnode *found = find_station(head, *probe, &prev);
    if (!found) {
        if (probe->type == station_layout::kEventJoin) append_record(head, probe.release());
        return;
    }
    if (probe->type == station_layout::kEventLeave) {
        if (found->type == 0) {
            found->type = 2;
        } else if (found->type == 1) {
            prev->next = found->next;
            RecordPtr gone(found);
        }
    } else if (found->type == 2) {
        found->type = 0;
    }
}

void apply_event(const StationEvent &ev) {
    RecordPtr probe = make_probe(ev);
    if (!probe) return;
    if (ev.type == station_layout::kEventJoin) {
        std::memcpy(probe->extra, ev.extra, sizeof probe->extra);
        std::memcpy(probe->hostname, ev.hostname, sizeof probe->hostname);
        std::memcpy(probe->ssid, ev.ssid, sizeof probe->ssid);
        UsrListInsert(ev.mac, probe.get());
        drop_mac_lines(ev.mac);
        append_station_line(ev);
    } else {
        drop_station_line(ev);
    }
    merge_probe(NLhead, std::move(probe));
}

void receive_events(int fd) {
    uint8_t buf[station_layout::kRecvBufferSize];
    for (;;) {
        std::memset(buf, 0, sizeof buf);
        ssize_t n = wifi_driver().nl_recv(fd, buf, sizeof buf);
        if (n <= 0) {
            std::puts("-------------netlink error!-------------");
            return;
        }
        nl_handle_message(buf, static_cast<size_t>(n));
    }
}

}  // namespace

void station_file_set_path(const char *path) {
    station_file = path ? path : kDefaultStationFile;
}

void nl_handle_message(const uint8_t *msg, size_t len) {
    StationEvent ev;
    if (!decode_station_event(msg, len, &ev)) return;
    MutexLock lock(netlink_mutex);
    // A full list drops joins; a leave never adds a record and is what lets
    // a full list drain, so it is always taken.
    if (count_records(NLhead) < NL_LIST_MAX || ev.type == station_layout::kEventLeave)
        apply_event(ev);
    STAflag = 1;
}

void *_nl_thread_main(void *) {
    pthread_detach(pthread_self());
    uint32_t port = own_netlink_port();
    NetlinkSocket sock(wifi_driver().nl_open(port));
    if (sock.get() < 0) {
        FW_LOG("lnetlink", "netlink init error\n");
        return nullptr;
    }
    send_registration(sock.get(), port);
    receive_events(sock.get());
    return nullptr;
}

void initNLlist() {
    if (NLhead) {
        NLlistclear(NLhead);
        std::memset(NLhead, 0, sizeof *NLhead);
    } else {
        NLhead = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    }
    FW_LOG("lnetlink", "initNLlist OK!\n");
}

int netlink_loop_start() {
    initNLlist();
    if (pthread_mutex_init(&netlink_mutex, nullptr) != 0) {
        FW_LOG("lnetlink", "init metux error\n");
        std::exit(1);
    }
    return pthread_create(&nl_thread, nullptr, _nl_thread_main, nullptr) == 0 ? 0 : 1;
}
