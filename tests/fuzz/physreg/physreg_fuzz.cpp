// Any text as physreg's address or value argument: the parse agrees with
// strtoll's base-16 reading, and the page split of the result adds up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "physreg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);  // zero-terminated copy
    std::uint32_t value = physreg::parse_hex32(text.c_str());
    physreg::PageSplit split = physreg::split_page(value);
    FUZZ_CHECK(split.base + split.offset == value);
    FUZZ_CHECK(split.offset < physreg::kPageSize && split.base % physreg::kPageSize == 0);
    FUZZ_CHECK(physreg::is_word_aligned(value) == (value % 4 == 0));
    return 0;
}
