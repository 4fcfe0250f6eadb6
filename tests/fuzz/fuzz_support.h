// Helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A failed expectation: a crash that libFuzzer reports with its input.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Reads a target's input from the front; past its end every read gives
// zeros (or nothing), so a target never has to check for the end.
struct Reader {
    const std::uint8_t *p;
    std::size_t left;

    bool empty() const { return left == 0; }
    std::uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    // Little-endian numbers, the bytes read one after the other.
    std::uint32_t bytes_le(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return v;
    }
    std::size_t u16() { return bytes_le(2); }
    std::uint32_t u32() { return bytes_le(4); }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        if (n > left) n = left;
        std::vector<std::uint8_t> out(p, p + n);
        p += n;
        left -= n;
        return out;
    }
    std::string text(std::size_t n) {
        std::vector<std::uint8_t> b = bytes(n);
        return std::string(b.begin(), b.end());
    }
};

inline std::string &temp_dir_path() {
    static std::string *path = new std::string;  // still there during exit
    return *path;
}

// A fresh folder for the files a target writes, removed at exit. Kept in
// memory (/dev/shm) where there is one: a disk folder's write-back on every
// truncate-and-close slows a target a hundredfold.
inline std::string make_temp_dir(const char *name) {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    std::string tmpl = base + name + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    temp_dir_path() = tmpl;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(temp_dir_path(), ec);
    });
    return tmpl;
}

}  // namespace fuzz
