#include "station_monitor.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "clock.h"
#include "locks.h"
#include "shell.h"
#include "station_event.h"
#include "station_probe.h"
#include "wifi_driver.h"

NLnode *NLhead = nullptr;
pthread_mutex_t netlink_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr const char *kDefaultStationFile = "/tmp/sta_mac_ip";
constexpr unsigned long kReceiveBackoffUs = 100000;
// Never destroyed: the station thread may still use it while the process exits.
std::string &station_file = *new std::string(kDefaultStationFile);

pthread_t nl_thread;

template <std::size_t N, std::size_t M>
void copy_text(char (&to)[N], const char (&from)[M]) {
    std::size_t n = strnlen(from, M);
    if (n > N - 1) n = N - 1;
    std::memcpy(to, from, n);
    to[n] = '\0';
}

int count_records(const NLnode *head) {
    int n = 0;
    for (const NLnode *p = head->next; p; p = p->next) ++n;
    return n;
}

void append_record(NLnode *head, NLnode *rec) {
    NLnode *tail = head;
    while (tail->next) tail = tail->next;
    tail->next = rec;
}

NLnode *make_record(const StationEvent &ev) {
    auto *rec = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    if (!rec) return nullptr;
    const uint8_t *m = ev.mac;
    rec->type = ev.type;
    std::snprintf(rec->mac, sizeof rec->mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2],
                  m[3], m[4], m[5]);
    copy_text(rec->staip, ev.staip);
    rec->radioid = ev.radioid;
    rec->wlanid = ev.wlanid;
    copy_text(rec->extra, ev.extra);
    copy_text(rec->hostname, ev.hostname);
    copy_text(rec->ssid, ev.ssid);
    fillStaInfo(ev.mac, rec);
    return rec;
}

}  // namespace

void station_file_set_path(const char *path) {
    station_file = path ? path : kDefaultStationFile;
}

int isNLlistnil(const NLnode *head) {
    return head && head->next ? 1 : 0;
}

int NLlistdelete(NLnode *head, int index) {
    if (index < 1) {
        std::puts("index must > 1");
        return 1;
    }
    int count = count_records(head);
    if (index > count) {
        std::printf("list only %d Node\n", count);
        return 1;
    }
    NLnode *prev = head;
    for (int i = 1; i < index; ++i) prev = prev->next;
    NLnode *gone = prev->next;
    prev->next = gone->next;
    std::free(gone);
    return 0;
}

void NLlistclear(NLnode *head) {
    if (!head) return;
    NLnode *p = head->next;
    while (p) {
        NLnode *next = p->next;
        std::free(p);
        p = next;
    }
    head->next = nullptr;
}

void fillStaInfo(const uint8_t *mac, NLnode *rec) {
    const char *ifname = station_ifname(rec->radioid, rec->wlanid);
    if (!ifname) return;  // no interface exists for this radio and WLAN
    StationSample s;
    if (read_station_sample(ifname, mac, &s) != SampleRead::kFound) return;
    rec->rxbytes = s.rxbytes;
    rec->txbytes = s.txbytes;
    rec->rxrate = s.rxrate;
    rec->txrate = s.txrate;
    rec->rssi = static_cast<int8_t>(s.rssi);
    rec->uptime = s.uptime;
    rec->phyrate = s.phyrate;
}

void save_mac_ip(const uint8_t *m, const char *ip) {
    char line[64];
    std::snprintf(line, sizeof line, "mac:%02x:%02x:%02x:%02x:%02x:%02x ip:%s\n", m[0], m[1], m[2],
                  m[3], m[4], m[5], ip);
    FILE *fp = std::fopen(station_file.c_str(), "a+");
    if (!fp) {
        std::puts("save sta mac ip error");
        return;
    }
    int put = std::fputs(line, fp);
    // A full /tmp fails the write or the close, not the open.
    if (std::fclose(fp) != 0 || put == EOF) std::puts("save sta mac ip error");
}

void del_mac_ip(const uint8_t *m, const char *) {
    char pattern[32];
    std::snprintf(pattern, sizeof pattern, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3],
                  m[4], m[5]);
    std::string cmd = std::string("sed -i '/") + pattern + "/d' " + station_file;
    plat::shell_run(cmd.c_str());
}

void nl_handle_message(const uint8_t *msg, std::size_t len) {
    StationEvent ev;
    if (!decode_station_event(msg, len, &ev)) return;
    {
        MutexLock lock(netlink_mutex);
        if (count_records(NLhead) < NL_LIST_MAX) {
            if (NLnode *rec = make_record(ev)) append_record(NLhead, rec);
        }
    }
    if (ev.type == station_layout::kEventJoin)
        save_mac_ip(ev.mac, ev.staip);
    else
        del_mac_ip(ev.mac, ev.staip);
}

std::size_t nl_receive_message(int fd, uint8_t *buf, std::size_t size) {
    for (;;) {
        std::memset(buf, 0, size);
        ssize_t n = wifi_driver().nl_recv(fd, buf, size);
        if (n > 0) return static_cast<std::size_t>(n);
        plat::usleep(kReceiveBackoffUs);
    }
}

void *_nl_thread_main(void *) {
    pthread_detach(pthread_self());
    uint32_t port = own_netlink_port();
    NetlinkSocket sock(wifi_driver().nl_open(port));
    if (sock.get() < 0) return nullptr;  // nl_open printed why
    send_registration(sock.get(), port);
    uint8_t buf[station_layout::kRecvBufferSize];
    for (;;) {
        std::size_t n = nl_receive_message(sock.get(), buf, sizeof buf);
        nl_handle_message(buf, n);
    }
}

int nl_loop_start() {
    if (!NLhead) NLhead = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    if (!NLhead) {
        // Without a head neither the thread nor the run loop has a list.
        std::puts("malloc fail");
        return 1;
    }
    if (pthread_mutex_init(&netlink_mutex, nullptr) != 0) {
        std::puts("init metux error");
        std::exit(1);
    }
    return pthread_create(&nl_thread, nullptr, _nl_thread_main, nullptr) == 0 ? 0 : 1;
}
