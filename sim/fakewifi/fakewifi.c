/* Preload library standing in for the wireless driver of the AP:
 *
 * - socket(AF_NETLINK, SOCK_RAW, 22) gives a UNIX datagram socket bound to
 *   DIR/events.sock, on which the fakewifi command delivers station events;
 *   bind() with a netlink address succeeds and records the port in DIR/port;
 *   what the program sends on it is stored in DIR/registration; receiving
 *   reports the kernel (port 0) as the sender.
 * - ioctl 0x89F6 on any descriptor answers the station table of the named
 *   interface from DIR/table.<ifname> (missing file: no stations).
 *
 *   FAKEWIFI_DIR   the shared folder (default /tmp/fakewifi)
 *   FAKEWIFI_FAIL  comma-separated list of requests that fail:
 *                  socket, bind, send, ioctl
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/wireless.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "fakewifi_abi.h"
#include "next_symbol.h"

enum { kMaxFakeFd = 4096, kMaxSend = 65536 };

/* Descriptors that stand for a netlink socket of the driver. */
static atomic_uchar fake_fds[kMaxFakeFd];

static int is_fake(int fd) {
    return fd >= 0 && fd < kMaxFakeFd && atomic_load(&fake_fds[fd]);
}

static void set_fake(int fd, unsigned char on) {
    if (fd >= 0 && fd < kMaxFakeFd) atomic_store(&fake_fds[fd], on);
}

static int fail(int error) {
    errno = error;
    return -1;
}

/* FAKEWIFI_FAIL names `what` as one of its comma-separated words. */
static int fail_requested(const char *what) {
    const char *v = getenv(FAKEWIFI_FAIL_ENV);
    size_t n = strlen(what);
    while (v && *v) {
        const char *end = strchr(v, ',');
        size_t len = end ? (size_t)(end - v) : strlen(v);
        if (len == n && strncmp(v, what, n) == 0) return 1;
        v = end ? end + 1 : NULL;
    }
    return 0;
}

static const char *fake_dir(void) {
    const char *d = getenv(FAKEWIFI_DIR_ENV);
    return d && *d ? d : FAKEWIFI_DEFAULT_DIR;
}

/* DIR/name into out; 0 when it fits. */
static int dir_path(char *out, size_t size, const char *name) {
    int n = snprintf(out, size, "%s/%s", fake_dir(), name);
    return n > 0 && (size_t)n < size ? 0 : -1;
}

static int write_all(int fd, const void *data, size_t len) {
    const char *p = data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

/* Replaces DIR/name with the bytes, through a temporary file and a rename so
 * that a reader never sees half of them. Keeps errno. */
static void store_file(const char *name, const void *data, size_t len) {
    int saved = errno;
    char path[PATH_MAX], tmp[PATH_MAX + 32];
    if (dir_path(path, sizeof path, name) == 0) {
        snprintf(tmp, sizeof tmp, "%s.tmp%ld", path, (long)getpid());
        int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            int bad = write_all(fd, data, len);
            close(fd);
            if (bad || rename(tmp, path) != 0) unlink(tmp);
        }
    }
    errno = saved;
}

typedef int (*socket_fn)(int, int, int);
typedef int (*bind_fn)(int, const struct sockaddr *, socklen_t);
typedef int (*close_fn)(int);
typedef ssize_t (*send_fn)(int, const void *, size_t, int);
typedef ssize_t (*sendto_fn)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
typedef ssize_t (*sendmsg_fn)(int, const struct msghdr *, int);
typedef ssize_t (*recvfrom_fn)(int, void *, size_t, int, struct sockaddr *, socklen_t *);
typedef ssize_t (*recvmsg_fn)(int, struct msghdr *, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);

/* The definition each function stands in front of, looked up once. */
static void *next_cached(_Atomic(void *) *slot, const char *name) {
    void *f = atomic_load(slot);
    if (!f) {
        f = fakewifi_next(name);
        atomic_store(slot, f);
    }
    return f;
}

#define REAL(name)                                    \
    ({                                                \
        static _Atomic(void *) name##_slot;           \
        (name##_fn) next_cached(&name##_slot, #name); \
    })

/* ---- the event socket ---- */

static int bind_events_socket(int fd) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (dir_path(addr.sun_path, sizeof addr.sun_path, FAKEWIFI_EVENTS_SOCK) != 0)
        return fail(ENAMETOOLONG);
    mkdir(fake_dir(), 0755);
    unlink(addr.sun_path);
    bind_fn real_bind = REAL(bind);
    if (!real_bind) return fail(ENOSYS);
    return real_bind(fd, (const struct sockaddr *)&addr, sizeof addr);
}

static int open_fake_netlink(socket_fn real_socket, int type) {
    if (fail_requested("socket")) return fail(EPROTONOSUPPORT);
    int fd = real_socket(AF_UNIX, SOCK_DGRAM | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0);
    if (fd < 0) return -1;
    if (fd >= kMaxFakeFd || bind_events_socket(fd) != 0) {
        int saved = fd >= kMaxFakeFd ? EMFILE : errno;
        close(fd);
        return fail(saved);
    }
    set_fake(fd, 1);
    return fd;
}

int socket(int domain, int type, int protocol) {
    socket_fn real_socket = REAL(socket);
    if (!real_socket) return fail(ENOSYS);
    int base_type = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (domain == AF_NETLINK && base_type == SOCK_RAW && protocol == FAKEWIFI_NETLINK_PROTOCOL)
        return open_fake_netlink(real_socket, type);
    return real_socket(domain, type, protocol);
}

static int bind_netlink(const struct sockaddr_nl *nl, socklen_t len) {
    if (fail_requested("bind")) return fail(EADDRINUSE);
    if (len < sizeof *nl) return fail(EINVAL);
    char text[16];
    int n = snprintf(text, sizeof text, "%u\n", (unsigned)nl->nl_pid);
    store_file(FAKEWIFI_PORT_FILE, text, (size_t)n);
    return 0;
}

int bind(int fd, const struct sockaddr *addr, socklen_t len) {
    if (is_fake(fd) && addr && addr->sa_family == AF_NETLINK)
        return bind_netlink((const struct sockaddr_nl *)addr, len);
    bind_fn real_bind = REAL(bind);
    return real_bind ? real_bind(fd, addr, len) : fail(ENOSYS);
}

int close(int fd) {
    set_fake(fd, 0);
    close_fn real_close = REAL(close);
    return real_close ? real_close(fd) : fail(ENOSYS);
}

/* What the program sends to the "kernel" is kept, not delivered. */
static ssize_t capture(const void *data, size_t len) {
    if (fail_requested("send")) return fail(ECONNREFUSED);
    store_file(FAKEWIFI_REGISTRATION_FILE, data, len);
    return (ssize_t)len;
}

ssize_t send(int fd, const void *buf, size_t len, int flags) {
    if (is_fake(fd)) return capture(buf, len);
    send_fn real_send = REAL(send);
    return real_send ? real_send(fd, buf, len, flags) : fail(ENOSYS);
}

ssize_t sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *addr,
               socklen_t addrlen) {
    if (is_fake(fd)) return capture(buf, len);
    sendto_fn real_sendto = REAL(sendto);
    return real_sendto ? real_sendto(fd, buf, len, flags, addr, addrlen) : fail(ENOSYS);
}

/* The pieces are joined on the heap, for this call only: a buffer in
 * thread-local storage would sit in the static TLS of every thread of the
 * agent (zeroed, so private memory) and make its footprint look larger than
 * on an AP. */
static ssize_t capture_msg(const struct msghdr *msg) {
    size_t total = 0;
    for (size_t i = 0; i < msg->msg_iovlen; ++i) {
        if (msg->msg_iov[i].iov_len > kMaxSend - total) return fail(EMSGSIZE);
        total += msg->msg_iov[i].iov_len;
    }
    char *joined = malloc(total ? total : 1);
    if (!joined) return fail(ENOMEM);
    size_t used = 0;
    for (size_t i = 0; i < msg->msg_iovlen; ++i) {
        memcpy(joined + used, msg->msg_iov[i].iov_base, msg->msg_iov[i].iov_len);
        used += msg->msg_iov[i].iov_len;
    }
    ssize_t sent = capture(joined, used);
    int saved = errno;
    free(joined);
    errno = saved;
    return sent;
}

ssize_t sendmsg(int fd, const struct msghdr *msg, int flags) {
    if (is_fake(fd)) return capture_msg(msg);
    sendmsg_fn real_sendmsg = REAL(sendmsg);
    return real_sendmsg ? real_sendmsg(fd, msg, flags) : fail(ENOSYS);
}

/* Every message comes from the kernel: netlink port 0, no groups. */
static void fill_kernel_source(void *addr, socklen_t *len) {
    struct sockaddr_nl nl;
    memset(&nl, 0, sizeof nl);
    nl.nl_family = AF_NETLINK;
    memcpy(addr, &nl, *len < sizeof nl ? *len : sizeof nl);
    *len = sizeof nl;
}

ssize_t recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *addr,
                 socklen_t *addrlen) {
    recvfrom_fn real_recvfrom = REAL(recvfrom);
    if (!real_recvfrom) return fail(ENOSYS);
    if (!is_fake(fd)) return real_recvfrom(fd, buf, len, flags, addr, addrlen);
    ssize_t n = real_recvfrom(fd, buf, len, flags, NULL, NULL);
    if (n >= 0 && addr && addrlen) fill_kernel_source(addr, addrlen);
    return n;
}

ssize_t recvmsg(int fd, struct msghdr *msg, int flags) {
    recvmsg_fn real_recvmsg = REAL(recvmsg);
    if (!real_recvmsg) return fail(ENOSYS);
    if (!is_fake(fd)) return real_recvmsg(fd, msg, flags);
    void *name = msg->msg_name;
    socklen_t room = msg->msg_namelen;
    msg->msg_name = NULL;
    msg->msg_namelen = 0;
    ssize_t n = real_recvmsg(fd, msg, flags);
    msg->msg_name = name;
    msg->msg_namelen = room;
    if (n >= 0 && name) fill_kernel_source(name, &msg->msg_namelen);
    return n;
}

/* ---- the station table ---- */

/* An interface name usable as part of a file name, or ENODEV. */
static int interface_name(const struct iwreq *req, char *out) {
    memcpy(out, req->ifr_ifrn.ifrn_name, IFNAMSIZ);
    out[IFNAMSIZ] = '\0';
    if (!*out || strchr(out, '/') || strcmp(out, ".") == 0 || strcmp(out, "..") == 0)
        return fail(ENODEV);
    return 0;
}

/* Reads at most `cap` bytes of the table file into buf; a missing file is an
 * empty table. The count read, or -1. */
static ssize_t read_table(const char *ifname, char *buf, size_t cap) {
    char name[IFNAMSIZ + 16], path[PATH_MAX];
    snprintf(name, sizeof name, "%s%s", FAKEWIFI_TABLE_PREFIX, ifname);
    if (dir_path(path, sizeof path, name) != 0) return fail(ENAMETOOLONG);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : fail(EIO);
    size_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(fd);
    return (ssize_t)got;
}

static int answer_station_table(struct iwreq *req) {
    if (fail_requested("ioctl")) return fail(EIO);
    if (!req) return fail(EFAULT);
    char ifname[IFNAMSIZ + 1];
    if (interface_name(req, ifname) != 0) return -1;
    size_t cap = req->u.data.length;
    if (cap > 0 && !req->u.data.pointer) return fail(EFAULT);
    ssize_t n = read_table(ifname, req->u.data.pointer, cap);
    if (n < 0) return -1;
    req->u.data.length = (__u16)n;
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if ((unsigned)request == FAKEWIFI_STATION_IOCTL) return answer_station_table(arg);
    ioctl_fn real_ioctl = REAL(ioctl);
    return real_ioctl ? real_ioctl(fd, request, arg) : fail(ENOSYS);
}
