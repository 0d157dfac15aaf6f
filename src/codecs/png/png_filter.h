// Undoing PNG's row filters. Each filter predicts a byte from its left
// neighbour a (one pixel back), the byte above b and the byte above-left c,
// and the file stores the difference; a kernel adds the prediction back.
// The kernels are kept apart so that tests can hold the vector versions
// against the plain ones; a picture picks its set once, by its pixel size and
// the processor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace duvo::png {

enum FilterType : std::uint8_t { kFilterNone = 0, kFilterSub = 1, kFilterUp = 2, kFilterAverage = 3, kFilterPaeth = 4 };

// dst[0 .. n) = the unfiltered row from its filtered bytes src and the
// unfiltered row above, prev (all zero for a picture's or a pass's first
// row). n is a multiple of the filter's pixel size; dst overlaps neither src
// nor prev.
using UnfilterFn = void (*)(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* prev, std::size_t n);

// Two Paeth rows at once: dst0 from src0 over prev, then dst1 from src1
// over dst0. Each row is a chain of one pixel after the other; the second
// row runs one pixel behind the first, so that the two chains overlap. No
// dst overlaps another row.
using UnfilterPairFn = void (*)(std::uint8_t* dst0, std::uint8_t* dst1, const std::uint8_t* src0,
                                const std::uint8_t* src1, const std::uint8_t* prev, std::size_t n);

struct Unfilters {
    const char* name;
    UnfilterFn sub, up, average, paeth;
    UnfilterPairFn paethPair;
};

// The filters' pixel size: bytes of a pixel, at least 1 (PNG counts whole
// bytes, so depths below 8 filter byte by byte).
inline constexpr int kMaxFilterBytes = 8;

// Plain C++ for pixels of 1 to 8 bytes.
const Unfilters& PlainUnfilters(int pixelBytes);
// Vector sets for 3- and 4-byte pixels, or nullptr when the processor lacks
// the set or it has none for this size.
const Unfilters* Sse41Unfilters(int pixelBytes);
const Unfilters* Avx2Unfilters(int pixelBytes);
// The fastest this processor runs for the size.
const Unfilters& BestUnfilters(int pixelBytes);

// Applies the filter named by a scanline's type byte; false for a type
// outside 0..4.
inline bool Unfilter(const Unfilters& k, std::uint8_t type, std::uint8_t* dst, const std::uint8_t* src,
                     const std::uint8_t* prev, std::size_t n) {
    switch (type) {
        case kFilterNone:
            for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
            return true;
        case kFilterSub:
            k.sub(dst, src, prev, n);
            return true;
        case kFilterUp:
            k.up(dst, src, prev, n);
            return true;
        case kFilterAverage:
            k.average(dst, src, prev, n);
            return true;
        case kFilterPaeth:
            k.paeth(dst, src, prev, n);
            return true;
        default:
            return false;
    }
}

}  // namespace duvo::png
