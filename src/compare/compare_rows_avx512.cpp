// The AVX-512 VBMI 8-bit decoder, 64 indices at a time: each color channel
// is looked up as bytes in its 256-byte plane (two 128-byte permutes and a
// blend on the top index bit), then interleaved into packed colors. The set
// keeps the AVX2 kernels for everything else.
#include "compare/compare_rows_x86.h"

namespace duvo::compare_rows {

#ifdef DUVO_COMPARE_X86

namespace {

DUVO_TARGET_AVX512VBMI void Decode8Vbmi(const ColorTable& table, const std::uint8_t* src, std::uint32_t* dst, int n) {
    __m512i plane[3][4];
    for (int c = 0; c < 3; ++c)
        for (int q = 0; q < 4; ++q) plane[c][q] = _mm512_load_si512(table.planes[c].data() + 64 * q);
    // The interleaving below leaves 128-bit lane L of output k with source
    // bytes 16 L + 4 k ...; this order of the indices makes that pixels
    // 16 k + 4 L ..., so the outputs come out in pixel order.
    alignas(64) std::uint8_t order[64];
    for (int l = 0; l < 4; ++l)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j) order[16 * l + 4 * k + j] = static_cast<std::uint8_t>(16 * k + 4 * l + j);
    const __m512i reorder = _mm512_load_si512(order);
    const __m512i zero = _mm512_setzero_si512();
    int i = 0;
    for (; i + 64 <= n; i += 64) {
        // (The zero-masking form: the plain one trips a false warning in GCC's header.)
        const __m512i idx = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, reorder, _mm512_loadu_si512(src + i));
        const __mmask64 high = _mm512_movepi8_mask(idx);
        __m512i ch[3];
        for (int c = 0; c < 3; ++c)
            ch[c] = _mm512_mask_blend_epi8(high, _mm512_permutex2var_epi8(plane[c][0], idx, plane[c][1]),
                                           _mm512_permutex2var_epi8(plane[c][2], idx, plane[c][3]));
        const __m512i rgLow = _mm512_unpacklo_epi8(ch[0], ch[1]);
        const __m512i rgHigh = _mm512_unpackhi_epi8(ch[0], ch[1]);
        const __m512i bLow = _mm512_unpacklo_epi8(ch[2], zero);
        const __m512i bHigh = _mm512_unpackhi_epi8(ch[2], zero);
        _mm512_storeu_si512(dst + i, _mm512_unpacklo_epi16(rgLow, bLow));
        _mm512_storeu_si512(dst + i + 16, _mm512_unpackhi_epi16(rgLow, bLow));
        _mm512_storeu_si512(dst + i + 32, _mm512_unpacklo_epi16(rgHigh, bHigh));
        _mm512_storeu_si512(dst + i + 48, _mm512_unpackhi_epi16(rgHigh, bHigh));
    }
    if (i < n) ScalarKernels().decode8(table, src + i, dst + i, n - i);
}

const Kernels kAvx512Vbmi{"avx2+avx512vbmi",     x86::Unpack24Sse,         x86::DiffAndBinAvx2,
                          x86::DiffAndBin24Avx2, x86::DiffAndBinMixedAvx2, Decode8Vbmi};

}  // namespace

const Kernels* Avx512VbmiKernels() {
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
    return available ? &kAvx512Vbmi : nullptr;
}

#else

const Kernels* Avx512VbmiKernels() { return nullptr; }

#endif

}  // namespace duvo::compare_rows
