// The agent's one diagnostic channel: lines appended to /var/log/mqttlog.new,
// switched by /var/run/mqtt_debug_enable, rotated at 512 KiB into
// /var/log/mqttlog.old, with optional folding of a repeated last line.
// Safe to call from any thread: calls are serialised, so lines never
// interleave and a fold never races an append.
#pragma once

#include <atomic>
#include <string>

// 0 = logging off; set once by init_debug_info.
extern std::atomic<int> debug_switch;
// Non-zero: try to fold the message into the last line as a repeat count.
// Raised and lowered by the main thread around one call.
extern std::atomic<int> debug_com_en;

void init_debug_info();

// `file` is the source-unit name written in the header ("Fenwire", "utils",
// "lnetlink"); `func` is accepted and never written.
void _debug(const char *file, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Logs from the calling unit, e.g. FW_LOG("utils", "get ac addr\n").
#define FW_LOG(unit, ...) _debug(unit, __func__, __LINE__, __VA_ARGS__)

// Where the log lives; tests point it at a folder of their own. The shell
// commands of the log are composed from these paths, so the defaults give
// exactly the firmware's commands.
struct DebugLogPaths {
    std::string control = "/var/run/mqtt_debug_enable";
    std::string dir = "/var/log";
    std::string current = "/var/log/mqttlog.new";
    std::string previous = "/var/log/mqttlog.old";
};
void debug_log_set_paths(const DebugLogPaths &paths);

// Repeat folding as pure functions over bytes, for tests and fuzzing.
enum { kDebugLineBuf = 1024 };  // the fold's line and message buffers

// `tail` holds the last `n` bytes of a log of `size` bytes (n <= size).
// Answers the file offset where the last line starts, or -1 when that line is
// too long to fold (more than kDebugLineBuf - 1 bytes) or not wholly in tail.
long debug_last_line_start(const char *tail, size_t n, long size);

// Folds `msg` (one message without its newline) into `line` (the
// NUL-terminated last line, at most kDebugLineBuf - 1 bytes, in a buffer of
// kDebugLineBuf) as a repeat counter and stamps it with the 16 characters of
// `stamp`. Returns the folded line's length, or 0 when the message does not
// fold (the line is then left unchanged).
size_t debug_fold_line(char *line, const char *msg, const char *stamp);
