#include "debug_log.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "clock.h"
#include "shell.h"

std::atomic<int> debug_switch{0};
std::atomic<int> debug_com_en{0};

namespace {

constexpr long kRotateSize = 0x80000;  // 512 KiB
constexpr size_t kStampLen = 16;       // "<MM-DD hh:mm:ss>"

// One lock for the paths and every touch of the log: a fold is a
// read-modify-write of the last line and must not race an append.
std::mutex log_mutex;
// Never destroyed: the MQTT and station threads may still log while the
// process exits.
DebugLogPaths &log_paths = *new DebugLogPaths;

struct FileCloser {
    void operator()(FILE *fp) const { std::fclose(fp); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File open_file(const std::string &path, const char *mode) {
    return File(std::fopen(path.c_str(), mode));
}

File open_log(const std::string &path) {
    File fp = open_file(path, "r+");
    if (!fp) fp = open_file(path, "w+");
    return fp;
}

int read_switch(const std::string &control) {
    File fp = open_file(control, "r");
    if (!fp) {
        plat::shell_run(("echo 1 > " + control).c_str());
        fp = open_file(control, "r");
        if (!fp) return 0;
    }
    char buf[256] = {0};
    size_t got = std::fread(buf, 1, sizeof buf - 1, fp.get());
    buf[got] = '\0';
    return static_cast<int>(std::strtol(buf, nullptr, 10));
}

struct tm local_now() {
    time_t t = plat::now();
    struct tm tm_now;
    if (!localtime_r(&t, &tm_now)) std::memset(&tm_now, 0, sizeof tm_now);
    return tm_now;
}

// Empties the log after copying it aside; the copy's outcome is not checked.
File rotate(File fp, const DebugLogPaths &paths) {
    fp.reset();
    plat::shell_run(("cp " + paths.current + " " + paths.previous).c_str());
    return open_file(paths.current, "w+");
}

void write_at(FILE *fp, long pos, const char *text, size_t len) {
    if (std::fseek(fp, pos, SEEK_SET) == 0) std::fwrite(text, 1, len, fp);
}

// Reads the last line of the log (size >= 2) into `line`; answers its offset
// or -1 when it cannot be folded.
long read_last_line(FILE *fp, long size, char *line) {
    char tail[kDebugLineBuf];
    size_t n = static_cast<size_t>(std::min<long>(size, kDebugLineBuf));
    if (std::fseek(fp, size - static_cast<long>(n), SEEK_SET) != 0) return -1;
    if (std::fread(tail, 1, n, fp) != n) return -1;
    long start = debug_last_line_start(tail, n, size);
    if (start < 0) return -1;
    size_t len = static_cast<size_t>(size - start);
    std::memcpy(line, tail + (n - len), len);
    line[len] = '\0';
    return start;
}

__attribute__((format(printf, 4, 0))) bool try_fold(FILE *fp, long size, const struct tm &tm_now,
                                                    const char *fmt, va_list ap) {
    char line[kDebugLineBuf] = {0};
    long start = read_last_line(fp, size, line);
    if (start < 0) return false;

    char msg[kDebugLineBuf] = {0};
    vsnprintf(msg, sizeof msg, fmt, ap);
    size_t mlen = std::strlen(msg);
    if (mlen > 0 && msg[mlen - 1] == '\n') msg[mlen - 1] = '\0';

    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "<%02d-%02d %02d:%02d:%02d>", tm_now.tm_mon + 1,
                  tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min, tm_now.tm_sec);
    size_t len = debug_fold_line(line, msg, stamp);
    if (len == 0) return false;

    write_at(fp, start, line, len);
    // A fold can come out shorter than the line it replaces (text after the
    // old counter): drop the stale tail.
    if (start + static_cast<long>(len) < size) {
        std::fflush(fp);
        int rc = ftruncate(fileno(fp), start + static_cast<long>(len));
        (void)rc;
    }
    return true;
}

__attribute__((format(printf, 5, 0))) void append_line(FILE *fp, const struct tm &tm_now,
                                                       const char *file, int line, const char *fmt,
                                                       va_list ap) {
    if (std::fseek(fp, 0, SEEK_END) != 0) return;
    std::fprintf(fp, "<%02d-%02d %02d:%02d:%02d> MQTT(%d)-[%s +%d]\t", tm_now.tm_mon + 1,
                 tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min, tm_now.tm_sec,
                 static_cast<int>(getpid()), file, line);
    std::vfprintf(fp, fmt, ap);
}

__attribute__((format(printf, 3, 0))) void log_message(const char *file, int line, const char *fmt,
                                                       va_list ap) {
    File fp = open_log(log_paths.current);
    if (!fp || std::fseek(fp.get(), 0, SEEK_END) != 0) return;
    long size = std::ftell(fp.get());
    if (size < 0) return;
    if (size >= kRotateSize) {
        fp = rotate(std::move(fp), log_paths);
        if (!fp) return;
        size = 0;
    }
    struct tm tm_now = local_now();
    if (debug_com_en != 0 && size >= 2) {
        va_list fold_ap;
        va_copy(fold_ap, ap);
        bool folded = try_fold(fp.get(), size, tm_now, fmt, fold_ap);
        va_end(fold_ap);
        if (folded) return;
    }
    append_line(fp.get(), tm_now, file, line, fmt, ap);
}

}  // namespace

long debug_last_line_start(const char *tail, size_t n, long size) {
    if (n < 2 || static_cast<long>(n) > size) return -1;
    long tail_off = size - static_cast<long>(n);
    long start = -1;
    for (size_t i = n - 1; i-- > 0;) {
        if (tail[i] == '\n') {
            start = tail_off + static_cast<long>(i) + 1;
            break;
        }
    }
    if (start < 0 && tail_off == 0) start = 0;
    if (start < 0 || size - start > kDebugLineBuf - 1) return -1;
    return start;
}

size_t debug_fold_line(char *line, const char *msg, const char *stamp) {
    const char *hit = std::strstr(line, msg);
    if (!hit) return 0;
    const char *after = hit + std::strlen(msg);
    long count = 2;
    if (*after == '(' && std::strchr(after + 1, ')')) {
        long prev = std::strtol(after + 1, nullptr, 10);
        count = std::clamp<long>(prev, INT_MIN, INT_MAX - 1) + 1;
    } else if (*after != '\n' && *after != '\0') {
        return 0;
    }
    char counter[24];
    int clen = std::snprintf(counter, sizeof counter, "(%d)\n", static_cast<int>(count));
    size_t keep = static_cast<size_t>(after - line);
    size_t len = keep + static_cast<size_t>(clen);
    // Bounded by the line buffer; a line too short to carry a stamp is not
    // one of ours and is left alone.
    if (len > kDebugLineBuf - 1 || len < kStampLen) return 0;
    std::memcpy(line + keep, counter, static_cast<size_t>(clen) + 1);
    std::memcpy(line, stamp, kStampLen);
    return len;
}

void debug_log_set_paths(const DebugLogPaths &paths) {
    std::lock_guard<std::mutex> lock(log_mutex);
    log_paths = paths;
}

void init_debug_info() {
    std::lock_guard<std::mutex> lock(log_mutex);
    debug_com_en = 0;
    int value = read_switch(log_paths.control);
    debug_switch = value;
    if (value == 1) plat::shell_run(("mkdir -p " + log_paths.dir).c_str());
}

void _debug(const char *file, const char *func, int line, const char *fmt, ...) {
    (void)func;
    if (debug_switch == 0) return;
    std::lock_guard<std::mutex> lock(log_mutex);
    va_list ap;
    va_start(ap, fmt);
    log_message(file, line, fmt, ap);
    va_end(ap);
}
