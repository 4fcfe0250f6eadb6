// The log's repeat folding over any bytes. Input: a 16-bit little-endian
// count of bytes that precede the tail in the log, then the tail; the tail is
// also cut at its first two NULs into a last line and a message to fold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "debug_log.h"
#include "fuzz_support.h"

namespace {

constexpr char kStamp[] = "<01-02 03:04:05>";  // 16 characters, as the log writes them

void check_last_line_start(const char *tail, std::size_t n, long before) {
    long size = before + static_cast<long>(n);
    long start = debug_last_line_start(tail, n, size);
    if (start < 0) return;
    FUZZ_CHECK(n >= 2);
    FUZZ_CHECK(start >= before && start < size);
    FUZZ_CHECK(size - start <= kDebugLineBuf - 1);
    if (start > before) FUZZ_CHECK(tail[start - before - 1] == '\n');
    for (long i = start - before; i + 1 < static_cast<long>(n); ++i) FUZZ_CHECK(tail[i] != '\n');
}

void check_fold(const std::string &line_text, const std::string &msg) {
    if (line_text.size() > kDebugLineBuf - 1) return;
    std::vector<char> line(kDebugLineBuf, '\0');  // the log's line buffer, exactly
    std::memcpy(line.data(), line_text.data(), line_text.size());
    std::vector<char> before = line;
    std::size_t len = debug_fold_line(line.data(), msg.c_str(), kStamp);
    if (len == 0) {
        FUZZ_CHECK(line == before);
        return;
    }
    FUZZ_CHECK(len <= kDebugLineBuf - 1);
    FUZZ_CHECK(std::strlen(line.data()) == len);
    FUZZ_CHECK(std::memcmp(line.data(), kStamp, 16) == 0);
    // The line up to the message's first occurrence is kept, then comes the
    // counter "(N)\n"; the stamp is copied last, over whatever the first 16
    // characters hold by then (also the counter of a line that short).
    std::size_t keep = line_text.find(msg) + msg.size();
    FUZZ_CHECK(len >= keep + 4 && len <= keep + 14);
    for (std::size_t i = 16; i < keep; ++i) FUZZ_CHECK(line[i] == before[i]);
    if (len >= 18) FUZZ_CHECK(line[len - 1] == '\n' && line[len - 2] == ')');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    long before = data[0] | static_cast<long>(data[1]) << 8;
    std::vector<char> tail(data + 2, data + size);  // exact size
    check_last_line_start(tail.data(), tail.size(), before);

    std::string text(tail.begin(), tail.end());
    std::size_t cut = text.find('\0');
    std::string line_text = text.substr(0, cut);
    std::string msg = cut == std::string::npos ? "" : text.substr(cut + 1);
    msg = msg.substr(0, msg.find('\0'));
    check_fold(line_text, msg);
    return 0;
}
