// Helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// A failed expectation: a crash that libFuzzer reports with its input.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

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
