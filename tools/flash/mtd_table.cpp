#include "mtd_table.h"

#include <climits>
#include <cstring>
#include <string_view>

int mtd_line_number(const char *piece, size_t len) {
    if (len < 4 || std::memcmp(piece, "mtd", 3) != 0) return -1;
    long long value = 0;
    size_t i = 3;
    for (; i < len && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        value = value * 10 + (piece[i] - '0');
        if (value > INT_MAX) return -1;
    }
    return i > 3 ? static_cast<int>(value) : -1;
}

int mtd_scan_piece(mtd_table_scan &scan, const char *piece, size_t len, const char *name) {
    if (scan.at_line_start) scan.number = mtd_line_number(piece, len);
    scan.at_line_start = len > 0 && piece[len - 1] == '\n';
    if (scan.number < 0) return -1;
    std::string_view text(piece, len);
    return text.find(name) != std::string_view::npos ? scan.number : -1;
}
