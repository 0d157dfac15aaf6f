// The engine's inner loops on runs of pixels, kept apart so that tests can
// hold the vector versions against the plain ones. A run is at most
// kRunPixels long and lives in buffers small enough for the first-level cache.
#pragma once

#include <cstdint>

namespace duvo::compare_rows {

inline constexpr int kRunPixels = 512;

struct Kernels {
    const char* name;
    // Packed 0x00BBGGRR colors of n 24-bit pixels (bytes B, G, R); reads
    // exactly 3 * n bytes.
    void (*unpack24)(const std::uint8_t* src, std::uint32_t* dst, int n);
    // For each i < n: v = 0xFFFFFF - |a[i] - b[i]| written as a 24-bit pixel
    // at out + 3 * i (exactly 3 * n bytes written), and its similarity bin
    // floor(100 * v / 0xFFFFFF) in bins[i]. Colors must lie in 0..0xFFFFFF.
    void (*diffAndBin)(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out, std::uint8_t* bins, int n);
    // The same for two runs of 24-bit pixels, read exactly (3 * n bytes each).
    void (*diffAndBin24)(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins, int n);
    // The same for packed colors against 24-bit pixels (v is symmetric, so
    // either picture may be the packed one).
    void (*diffAndBinMixed)(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins,
                            int n);
};

// Plain C++, any machine.
const Kernels& ScalarKernels();
// The widest vector versions the processor runs (AVX2 or SSE4.1), or
// nullptr when it has none.
const Kernels* VectorKernels();
// The SSE4.1 versions, or nullptr.
const Kernels* Sse41Kernels();
// The fastest this processor runs.
const Kernels& BestKernels();

}  // namespace duvo::compare_rows
