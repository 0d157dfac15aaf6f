// The engine's inner loops on runs of pixels, kept apart so that tests can
// hold the vector versions against the plain ones. A run is at most
// kRunPixels long and lives in buffers small enough for the first-level cache.
#pragma once

#include <array>
#include <cstdint>

namespace duvo::compare_rows {

inline constexpr int kRunPixels = 512;

// A 256-color table in the two shapes the 8-bit decoders use.
struct ColorTable {
    std::array<std::uint32_t, 256> packed{};                            // 0x00BBGGRR
    alignas(64) std::array<std::array<std::uint8_t, 256>, 3> planes{};  // red, green, blue bytes

    explicit ColorTable(const std::array<std::uint32_t, 256>& colors);
};

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
    // Packed colors of n 8-bit indices through the table; reads exactly n bytes.
    void (*decode8)(const ColorTable& table, const std::uint8_t* src, std::uint32_t* dst, int n);
};

// Plain C++, any machine.
const Kernels& ScalarKernels();
// The widest vector versions the processor runs (AVX2 with AVX-512 VBMI
// decoding, AVX2, or SSE4.1), or nullptr when it has none.
const Kernels* VectorKernels();
// Each vector set on its own, or nullptr where the processor lacks it.
const Kernels* Sse41Kernels();
const Kernels* Avx2Kernels();
const Kernels* Avx512VbmiKernels();
// The fastest this processor runs.
const Kernels& BestKernels();

}  // namespace duvo::compare_rows
