// physreg: reads, or writes and reads back, one 32-bit word of physical
// memory through a one-page shared mapping of the memory device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

namespace physreg {

constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kWriteSettleUs = 100000;

enum class Mode { usage, read, write };

// Mode from the number of arguments after the invocation name.
Mode select_mode(int nargs);

// Base-16 text as a 64-bit signed number (optional sign and "0x", stops at
// the first non-hex character, no digits gives 0); its low 32 bits.
uint32_t parse_hex32(const char *text);

struct PageSplit {
    uint32_t base;    // address with its low 12 bits cleared
    uint32_t offset;  // low 12 bits
};
PageSplit split_page(uint32_t address);

// A word access at an address that is not a multiple of four faults on the target.
bool is_word_aligned(uint32_t address);

// Single volatile 32-bit load/store in native byte order at `offset` of a
// mapped page; `offset` must be word aligned and inside the page.
uint32_t read_word(void *page, uint32_t offset);
void write_word(void *page, uint32_t offset, uint32_t value);

// What the command touches outside itself: the memory device and the wait
// between the store and the read-back.
struct Target {
    const char *mem_path = "/dev/mem";
    std::function<void(uint32_t usec)> wait_us;
};

// The whole command: argv as given to main, output to `out`. Returns the exit
// status (for the usage text, the length of its second line).
int run_physreg(int argc, char *const argv[], const Target &target, FILE *out);

// run_physreg against "/dev/mem", with a real sleep, writing to stdout.
int physreg_main(int argc, char *const argv[]);

}  // namespace physreg
