#include "compare/compare_rows.h"

#include <cstring>

#include "compare/compare.h"

namespace duvo::compare_rows {

ColorTable::ColorTable(const std::array<std::uint32_t, 256>& colors) : packed(colors) {
    for (int i = 0; i < 256; ++i)
        for (int c = 0; c < 3; ++c) planes[c][i] = static_cast<std::uint8_t>(colors[i] >> (8 * c));
}

namespace {

void Decode8Scalar(const ColorTable& table, const std::uint8_t* src, std::uint32_t* dst, int n) {
    for (int i = 0; i < n; ++i) dst[i] = table.packed[src[i]];
}

void Unpack24Scalar(const std::uint8_t* src, std::uint32_t* dst, int n) {
    int i = 0;
    // A 4-byte load takes one byte of the next pixel, so not for the last one.
    for (; i + 1 < n; ++i) {
        std::uint32_t px;
        std::memcpy(&px, src + 3 * i, 4);
        dst[i] = __builtin_bswap32(px) >> 8;
    }
    for (; i < n; ++i) dst[i] = src[3 * i + 2] | (src[3 * i + 1] << 8) | (static_cast<std::uint32_t>(src[3 * i]) << 16);
}

void DiffAndBinScalar(const std::uint32_t* a, const std::uint32_t* b, std::uint8_t* out, std::uint8_t* bins, int n) {
    for (int i = 0; i < n; ++i) {
        const std::int32_t d = static_cast<std::int32_t>(a[i] - b[i]);
        const std::int32_t sign = d >> 31;
        const std::uint32_t v = kMaxSimilarity - static_cast<std::uint32_t>((d ^ sign) - sign);
        out[3 * i] = static_cast<std::uint8_t>(v >> 16);
        out[3 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        out[3 * i + 2] = static_cast<std::uint8_t>(v);
        bins[i] = static_cast<std::uint8_t>(FastSimilarityBin(v));
    }
}

void DiffAndBin24Scalar(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins, int n) {
    std::uint32_t ca[kRunPixels], cb[kRunPixels];
    for (int i = 0; i < n; i += kRunPixels) {
        const int m = n - i < kRunPixels ? n - i : kRunPixels;
        Unpack24Scalar(a + 3 * i, ca, m);
        Unpack24Scalar(b + 3 * i, cb, m);
        DiffAndBinScalar(ca, cb, out + 3 * i, bins + i, m);
    }
}

void DiffAndBinMixedScalar(const std::uint32_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint8_t* bins,
                           int n) {
    std::uint32_t cb[kRunPixels];
    for (int i = 0; i < n; i += kRunPixels) {
        const int m = n - i < kRunPixels ? n - i : kRunPixels;
        Unpack24Scalar(b + 3 * i, cb, m);
        DiffAndBinScalar(a + i, cb, out + 3 * i, bins + i, m);
    }
}

const Kernels kScalar{"scalar",           Unpack24Scalar,        DiffAndBinScalar,
                      DiffAndBin24Scalar, DiffAndBinMixedScalar, Decode8Scalar};

}  // namespace

const Kernels& ScalarKernels() { return kScalar; }

const Kernels& BestKernels() {
    static const Kernels* best = VectorKernels() ? VectorKernels() : &kScalar;
    return *best;
}

}  // namespace duvo::compare_rows
