// Any bytes as /proc/mtd, read in pieces as fgets fills the tools' 80-byte
// line buffer. Input: a byte for the name's length (mod 16), the name, then
// the table. A match names the partition number of the line it lies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mtd_table.h"

namespace {

// The next piece as fgets gives it: up to 79 bytes, ending after a newline.
std::string next_piece(const std::string &text, std::size_t &pos) {
    std::size_t end = pos;
    while (end < text.size() && end - pos < mtd_line_buffer_size - 1) {
        if (text[end++] == '\n') break;
    }
    std::string piece = text.substr(pos, end - pos);
    pos = end;
    return piece;
}

// The line's number when it starts "mtd<digits>" and fits an int, else -1.
int expected_number(const std::string &piece) {
    if (piece.compare(0, 3, "mtd") != 0) return -1;
    std::size_t i = 3;
    long long value = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        value = value * 10 + (piece[i] - '0');
        if (value > 2147483647LL) return -1;
    }
    return i > 3 ? static_cast<int>(value) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t name_len = data[0] % 16;
    if (name_len > size - 1) name_len = size - 1;
    std::string name(reinterpret_cast<const char *>(data + 1), name_len);
    name = name.substr(0, name.find('\0'));
    std::string text(reinterpret_cast<const char *>(data + 1 + name_len), size - 1 - name_len);

    mtd_table_scan scan;
    int line_number = -1;
    bool at_start = true;
    for (std::size_t pos = 0; pos < text.size();) {
        std::string piece = next_piece(text, pos);
        piece = piece.substr(0, piece.find('\0'));          // the tools take strlen of the buffer
        std::vector<char> buf(piece.begin(), piece.end());  // exact size, no terminator
        if (at_start) line_number = expected_number(piece);
        FUZZ_CHECK(mtd_line_number(buf.data(), buf.size()) ==
                   (buf.size() < 4 ? -1 : expected_number(piece)));
        int got = mtd_scan_piece(scan, buf.data(), buf.size(), name.c_str());
        at_start = !piece.empty() && piece.back() == '\n';
        if (got >= 0) {
            FUZZ_CHECK(got == line_number);
            FUZZ_CHECK(piece.find(name) != std::string::npos);
            break;
        }
    }
    return 0;
}
