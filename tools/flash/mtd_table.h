// Matching of /proc/mtd lines as they are read in pieces of at most 79
// characters (an 80-byte line buffer). Pure: no I/O.
#pragma once

#include <cstddef>

constexpr size_t mtd_line_buffer_size = 80;

// Progress through the table across pieces.
struct mtd_table_scan {
    bool at_line_start = true;  // the next piece begins a new line
    int number = -1;            // partition number of the current line, or -1
};

// Reads the partition number from a line start of the form "mtd<digits>"
// (the colon is not required). Returns -1 when the piece does not begin that
// way or the number does not fit an int.
int mtd_line_number(const char *piece, size_t len);

// Feeds one piece (one read of the line buffer, without its terminating NUL).
// Returns the partition number when the current line holds `name` in this
// piece, else -1. Only a piece that begins a line can supply the number, so
// the rest of an over-long line is never taken for a line of its own.
int mtd_scan_piece(mtd_table_scan &scan, const char *piece, size_t len, const char *name);
