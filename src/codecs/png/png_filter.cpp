#include "codecs/png/png_filter.h"

#include <array>
#include <cstring>

namespace duvo::png {

namespace {

inline std::uint8_t PaethPredict(int a, int b, int c) {
    const int pa = b > c ? b - c : c - b;
    const int pb = a > c ? a - c : c - a;
    const int pcs = a + b - 2 * c;
    const int pc = pcs < 0 ? -pcs : pcs;
    // Ties go to a, then b, as the format says. Written as selects, not
    // branches: on photo-like rows the choice is a coin toss.
    const int bOrC = pb <= pc ? b : c;
    return static_cast<std::uint8_t>(((pa <= pb) & (pa <= pc)) ? a : bOrC);
}

template <int B>
void SubPlain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t*, std::size_t n) {
    std::size_t i = 0;
    for (; i < B && i < n; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + dst[i - B]);
}

void UpPlain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prev[i]);
}

template <int B>
void AveragePlain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    std::size_t i = 0;
    for (; i < B && i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + (prev[i] >> 1));
    for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + ((dst[i - B] + prev[i]) >> 1));
}

template <int B>
void PaethPlain(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n) {
    std::size_t i = 0;
    // With no pixel to the left, a and c are 0 and the predictor is b.
    for (; i < B && i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prev[i]);
    for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + PaethPredict(dst[i - B], prev[i], prev[i - B]));
}

template <int B>
void PaethPairPlain(std::uint8_t* dst0, std::uint8_t* dst1, const std::uint8_t* src0, const std::uint8_t* src1,
                    const std::uint8_t* prev, std::size_t n) {
    PaethPlain<B>(dst0, src0, prev, n);
    PaethPlain<B>(dst1, src1, dst0, n);
}

template <int B>
constexpr Unfilters Plain() {
    return {"plain", SubPlain<B>, UpPlain, AveragePlain<B>, PaethPlain<B>, PaethPairPlain<B>};
}

const Unfilters kPlain[kMaxFilterBytes] = {Plain<1>(), Plain<2>(), Plain<3>(), Plain<4>(),
                                           Plain<5>(), Plain<6>(), Plain<7>(), Plain<8>()};

}  // namespace

const Unfilters& PlainUnfilters(int pixelBytes) {
    if (pixelBytes < 1) pixelBytes = 1;
    if (pixelBytes > kMaxFilterBytes) pixelBytes = kMaxFilterBytes;
    return kPlain[pixelBytes - 1];
}

const Unfilters& BestUnfilters(int pixelBytes) {
    if (const Unfilters* k = Avx2Unfilters(pixelBytes)) return *k;
    if (const Unfilters* k = Sse41Unfilters(pixelBytes)) return *k;
    // Up adds the row above byte for byte whatever the pixel size, so the
    // other sizes (16-bit samples, gray, palettes) take the vector one too.
    static const auto mixed = [] {
        std::array<Unfilters, kMaxFilterBytes> sets{};
        const Unfilters* vector = Avx2Unfilters(4) ? Avx2Unfilters(4) : Sse41Unfilters(4);
        for (int b = 1; b <= kMaxFilterBytes; ++b) {
            Unfilters k = PlainUnfilters(b);
            if (vector) k.up = vector->up;
            sets[static_cast<std::size_t>(b - 1)] = k;
        }
        return sets;
    }();
    if (pixelBytes < 1) pixelBytes = 1;
    if (pixelBytes > kMaxFilterBytes) pixelBytes = kMaxFilterBytes;
    return mixed[static_cast<std::size_t>(pixelBytes - 1)];
}

}  // namespace duvo::png
