// What the x86 vector kernel files share: the test for building them, their
// target attributes, and the narrower kernels a wider set hands the rest of
// a run to or keeps where it has nothing wider. Included only by those files.
#pragma once

#include <cstdint>

#include "compare/compare_rows.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DUVO_COMPARE_X86 1
#include <immintrin.h>

// Each kernel is compiled for its own set and chosen at run time, so the
// files build for every x86-64 processor.
#define DUVO_TARGET_SSE41 __attribute__((target("ssse3,sse4.1")))
#define DUVO_TARGET_AVX2 __attribute__((target("avx2")))
#define DUVO_TARGET_AVX512VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace duvo::compare_rows::x86 {

DUVO_TARGET_SSE41 void Unpack24Sse(const std::uint8_t* src, std::uint32_t* dst, int n);
DUVO_TARGET_SSE41 void DiffAndBinSse(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out,
                                     std::uint8_t* bins, int n);
DUVO_TARGET_SSE41 void DiffAndBin24Sse(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out,
                                       std::uint8_t* bins, int n);
DUVO_TARGET_SSE41 void DiffAndBinMixedSse(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out,
                                          std::uint8_t* bins, int n);

DUVO_TARGET_AVX2 void DiffAndBinAvx2(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out,
                                     std::uint8_t* bins, int n);
DUVO_TARGET_AVX2 void DiffAndBin24Avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out,
                                       std::uint8_t* bins, int n);
DUVO_TARGET_AVX2 void DiffAndBinMixedAvx2(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out,
                                          std::uint8_t* bins, int n);

}  // namespace duvo::compare_rows::x86

#endif
