// rimeload's CRC-32 beside zlib's over the same 64 MiB buffer.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "crc32.h"

namespace {

constexpr std::size_t kBufferSize = 64u << 20;

const std::vector<unsigned char> &buffer() {
    static const std::vector<unsigned char> buf = [] {
        std::vector<unsigned char> v(kBufferSize);
        std::uint32_t x = 0x9E3779B9u;
        for (auto &b : v) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x);
        }
        return v;
    }();
    return buf;
}

void BM_crc32_rimeload(benchmark::State &state) {
    const auto &buf = buffer();
    for (auto _ : state) benchmark::DoNotOptimize(rimeload::crc32(0, buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buf.size()));
}

void BM_crc32_zlib(benchmark::State &state) {
    const auto &buf = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(::crc32(0, buf.data(), static_cast<uInt>(buf.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buf.size()));
}

}  // namespace

BENCHMARK(BM_crc32_rimeload)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_crc32_zlib)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
