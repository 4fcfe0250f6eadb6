#include "folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fakewifi_abi.h"
#include "station_layout.h"

namespace fakewifi {

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

bool write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string failed(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + strerror(errno);
}

}  // namespace

std::string default_dir() {
    const char *d = getenv(FAKEWIFI_DIR_ENV);
    return d && *d ? d : FAKEWIFI_DEFAULT_DIR;
}

FolderLock::FolderLock(const std::string &dir) {
    mkdir(dir.c_str(), 0755);
    fd_ = open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) close(fd_);
}

bool read_file(const std::string &path, std::string &out, size_t max) {
    Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) return false;
    out.clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(f.fd, buf, sizeof buf)) > 0) {
        if (out.size() + static_cast<size_t>(n) > max) return false;
        out.append(buf, static_cast<size_t>(n));
    }
    return n == 0;
}

bool write_file_atomic(const std::string &path, const std::string &bytes) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    Fd f(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (f.fd < 0) return false;
    if (!write_all(f.fd, bytes) || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool load_stations(const std::string &dir, std::vector<Station> &out, std::string &error) {
    std::string path = dir + "/stations.txt", text;
    if (!read_file(path, text, 1 << 20)) {
        if (errno == ENOENT) {
            out.clear();
            return true;
        }
        error = failed("cannot read", path);
        return false;
    }
    int bad = 0;
    auto stations = parse_state(text, &bad);
    if (!stations) {
        error = path + " line " + std::to_string(bad) + " is not understood";
        return false;
    }
    out = *stations;
    return true;
}

bool save_stations(const std::string &dir, const std::vector<Station> &stations,
                   std::string &error) {
    std::string path = dir + "/stations.txt";
    if (!write_file_atomic(path, format_state(stations))) {
        error = failed("cannot write", path);
        return false;
    }
    auto tables = station_tables(stations);
    for (size_t i = 0; i < tables.size(); ++i) {
        path = dir + "/" FAKEWIFI_TABLE_PREFIX + ifname_list[i];
        if (!write_file_atomic(path, tables[i])) {
            error = failed("cannot write", path);
            return false;
        }
    }
    return true;
}

bool deliver(const std::string &dir, const std::string &message, std::string &error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/" FAKEWIFI_EVENTS_SOCK;
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Fd s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    timeval wait{5, 0};  // an agent that stopped reading must not hang us
    if (s.fd < 0 || setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0 ||
        sendto(s.fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&addr),
               sizeof addr) != static_cast<ssize_t>(message.size())) {
        error = "no agent is listening on " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace fakewifi
