#include "platform/raster.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "rtl/exceptions.h"
#include "rtl/limits.h"

namespace duvo::platform {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Large rasters come straight from the system with huge pages asked for: on
// a virtual machine the first touch of every small page is costly, and a big
// picture has tens of thousands of them. Fresh mappings read as zero, like
// calloc's memory. Under the address sanitizer everything goes through the
// heap, where overruns are caught.
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

std::uint8_t* AllocateBits(std::size_t total, bool* mapped) {
    *mapped = false;
    if (!kSanitized && total >= kMapThreshold) {
        void* p = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            ::madvise(p, total, MADV_HUGEPAGE);
            *mapped = true;
            return static_cast<std::uint8_t*>(p);
        }
    }
    return static_cast<std::uint8_t*>(std::calloc(total, 1));
}

std::uint32_t PackRGB(std::uint32_t r, std::uint32_t g, std::uint32_t b) { return r | (g << 8) | (b << 16); }
}  // namespace

bool RasterSize(std::int64_t width, std::int64_t height, int bitCount, std::size_t* stride, std::size_t* total) {
    constexpr std::int64_t kMaxSide = std::numeric_limits<std::int32_t>::max();
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || bitCount <= 0 || bitCount > 32)
        return false;
    // Both dimensions are below 2^31, so the products below fit in 64 bits.
    const std::uint64_t rowBits = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bitCount);
    const std::uint64_t s = (rowBits + 31) / 32 * 4;
    const std::uint64_t t = s * static_cast<std::uint64_t>(height);
    if (t > std::numeric_limits<std::size_t>::max() / 2) return false;
    *stride = static_cast<std::size_t>(s);
    *total = static_cast<std::size_t>(t);
    return true;
}

MaskChannel::MaskChannel(std::uint32_t m) : mask(m) {
    if (m == 0) return;
    shift = std::countr_zero(m);
    // The span from the lowest to the highest set bit, not the popcount: a
    // mask with holes (0b1010) still yields values as wide as its span, and
    // widening them must not spill into the next channel.
    bits = 32 - std::countl_zero(m >> shift);
}

std::uint32_t MaskChannel::Read8(std::uint32_t pixel) const {
    if (bits == 0) return 0;
    std::uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8) return v >> (bits - 8);
    // Repeat the bits until 8 are filled: 5-bit abcde gives abcdeabc.
    std::uint32_t out = 0;
    int have = 0;
    while (have < 8) {
        out = (out << bits) | v;
        have += bits;
    }
    return out >> (have - 8);
}

std::uint32_t MaskChannel::Write8(std::uint32_t value8) const {
    if (bits == 0) return 0;
    std::uint32_t v = bits >= 8 ? value8 << (bits - 8) : value8 >> (8 - bits);
    return (v << shift) & mask;
}

std::array<std::uint32_t, 3> EffectiveMasks(const RasterFormat& format) {
    if (format.compression == BI_BITFIELDS) return format.masks;
    if (format.bitCount == 16) return {0x7C00, 0x03E0, 0x001F};
    return {0xFF0000, 0xFF00, 0xFF};
}

std::unique_ptr<Raster> Raster::Create(int width, int height, const RasterFormat& format, const RGBQuad* colors,
                                       int colorCount, Fill fill) {
    std::size_t stride = 0, total = 0;
    const std::int64_t absHeight = height < 0 ? -static_cast<std::int64_t>(height) : height;
    if (width > 0 && absHeight > 0)
        CheckPictureSize(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(absHeight), kDefaultLimits,
                         false);
    if (!RasterSize(width, absHeight, format.bitCount, &stride, &total)) throw EOutOfMemory(msg::OutOfMemory);
    // Zeroed pages come lazily, so a large raster that a reader fills only in
    // part costs no more than the part it fills.
    bool mapped = false;
    auto* bits = AllocateBits(total, &mapped);
    if (!bits) throw EOutOfMemory(msg::OutOfMemory);
    std::unique_ptr<Raster> r(new Raster);
    r->mapped_ = mapped;
    r->Init(width, height, format, stride, bits, colors, colorCount);
    if (fill == Fill::White) r->FillWhite();
    return r;
}

std::unique_ptr<Raster> Raster::Borrow(int width, int height, const RasterFormat& format, const RGBQuad* colors,
                                       int colorCount, const std::uint8_t* bits, std::shared_ptr<const void> owner) {
    std::size_t stride = 0, total = 0;
    const std::int64_t absHeight = height < 0 ? -static_cast<std::int64_t>(height) : height;
    if (!bits || !owner || !RasterSize(width, absHeight, format.bitCount, &stride, &total))
        throw EOutOfMemory(msg::OutOfMemory);
    std::unique_ptr<Raster> r(new Raster);
    // Never written through: every writer clones first.
    r->Init(width, height, format, stride, const_cast<std::uint8_t*>(bits), colors, colorCount);
    r->owner_ = std::move(owner);
    return r;
}

void Raster::Init(int width, int height, const RasterFormat& format, std::size_t stride, std::uint8_t* bits,
                  const RGBQuad* colors, int colorCount) {
    width_ = width;
    height_ = height < 0 ? -height : height;
    bottomUp_ = height > 0;
    format_ = format;
    const auto masks = EffectiveMasks(format);
    for (int i = 0; i < 3; ++i) channels_[i] = MaskChannel(masks[i]);
    stride_ = stride;
    bits_ = bits;
    SetColors(colors, colorCount);
}

Raster::~Raster() {
    if (owner_) return;
    if (mapped_)
        ::munmap(bits_, ImageSize());
    else
        std::free(bits_);
}

std::unique_ptr<Raster> Raster::Clone() const {
    auto r = Create(width_, SignedHeight(), format_, colors_.data(), colorCount_, Fill::Zero);
    std::memcpy(r->bits_, bits_, ImageSize());
    return r;
}

void Raster::SetColors(const RGBQuad* colors, int count) {
    colors_.fill(RGBQuad{});
    colorCount_ = std::clamp(count, 0, 256);
    if (colors && colorCount_ > 0) std::copy(colors, colors + colorCount_, colors_.begin());
}

std::array<std::uint32_t, 256> Raster::ColorLookup() const {
    std::array<std::uint32_t, 256> lut{};
    for (int i = 0; i < 256; ++i) lut[i] = PackRGB(colors_[i].red, colors_[i].green, colors_[i].blue);
    return lut;
}

int Raster::NearestIndex(TColor color) const {
    const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    const int n = std::max(1, std::min(colorCount_, 1 << format_.bitCount));
    int best = 0;
    int bestDist = std::numeric_limits<int>::max();
    for (int i = 0; i < n; ++i) {
        const int dr = colors_[i].red - r, dg = colors_[i].green - g, db = colors_[i].blue - b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDist) {
            bestDist = d;
            best = i;
            if (d == 0) break;
        }
    }
    return best;
}

TColor Raster::GetPixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return kInvalidColor;
    const std::uint8_t* row = Row(y);
    switch (format_.bitCount) {
        case 24: {
            const std::uint8_t* p = row + static_cast<std::size_t>(x) * 3;
            return static_cast<TColor>(PackRGB(p[2], p[1], p[0]));
        }
        case 32:
        case 16: {
            std::uint32_t px;
            if (format_.bitCount == 32) {
                std::memcpy(&px, row + static_cast<std::size_t>(x) * 4, 4);
                if (format_.compression != BI_BITFIELDS)
                    return static_cast<TColor>(PackRGB((px >> 16) & 0xFF, (px >> 8) & 0xFF, px & 0xFF));
            } else {
                px = static_cast<std::uint32_t>(row[x * 2]) | (static_cast<std::uint32_t>(row[x * 2 + 1]) << 8);
            }
            return static_cast<TColor>(PackRGB(channels_[0].Read8(px), channels_[1].Read8(px), channels_[2].Read8(px)));
        }
        case 8:
        case 4:
        case 1: {
            const int bpp = format_.bitCount;
            const std::size_t bit = static_cast<std::size_t>(x) * bpp;
            const int shift = 8 - bpp - static_cast<int>(bit & 7);
            const int index = (row[bit >> 3] >> shift) & ((1 << bpp) - 1);
            const RGBQuad& c = colors_[index];
            return static_cast<TColor>(PackRGB(c.red, c.green, c.blue));
        }
        default:
            return kInvalidColor;
    }
}

void Raster::SetPixel(int x, int y, TColor color) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    const auto c = static_cast<std::uint32_t>(color);
    const std::uint32_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
    std::uint8_t* row = Row(y);
    switch (format_.bitCount) {
        case 24: {
            std::uint8_t* p = row + static_cast<std::size_t>(x) * 3;
            p[0] = static_cast<std::uint8_t>(b);
            p[1] = static_cast<std::uint8_t>(g);
            p[2] = static_cast<std::uint8_t>(r);
            return;
        }
        case 32:
        case 16: {
            const std::uint32_t px = channels_[0].Write8(r) | channels_[1].Write8(g) | channels_[2].Write8(b);
            if (format_.bitCount == 32) {
                std::memcpy(row + static_cast<std::size_t>(x) * 4, &px, 4);
            } else {
                row[x * 2] = static_cast<std::uint8_t>(px);
                row[x * 2 + 1] = static_cast<std::uint8_t>(px >> 8);
            }
            return;
        }
        case 8:
        case 4:
        case 1: {
            SetIndex(x, y, NearestIndex(color));
            return;
        }
        default:
            return;
    }
}

void Raster::FillWhite() {
    if (format_.bitCount > 8) {
        std::memset(bits_, 0xFF, ImageSize());
        return;
    }
    // Indexed: the table entry nearest to white, repeated across each byte.
    const int bpp = format_.bitCount;
    const int index = NearestIndex(kWhite);
    std::uint8_t byte = 0;
    for (int shift = 8 - bpp; shift >= 0; shift -= bpp) byte = static_cast<std::uint8_t>(byte | (index << shift));
    std::memset(bits_, byte, ImageSize());
}

void Raster::CopyFrom(const Raster& src) {
    const int w = std::min(width_, src.width_);
    const int h = std::min(height_, src.height_);
    if (w <= 0 || h <= 0) return;
    const bool sameLayout =
        format_.bitCount == src.format_.bitCount && format_.compression == src.format_.compression &&
        format_.masks == src.format_.masks &&
        (format_.bitCount > 8 ||
         (colorCount_ == src.colorCount_ && std::memcmp(colors_.data(), src.colors_.data(), sizeof colors_) == 0));
    if (sameLayout && format_.bitCount >= 8) {
        const std::size_t bytes = static_cast<std::size_t>(w) * (format_.bitCount / 8);
        for (int y = 0; y < h; ++y) std::memcpy(Row(y), src.Row(y), bytes);
        return;
    }
    if (src.format_.bitCount <= 8) {
        // Map each source index once, so the copy stays linear in the pixels.
        const int sbpp = src.format_.bitCount;
        std::array<int, 256> map{};
        const bool indexed = format_.bitCount <= 8;
        for (int i = 0; i < (1 << sbpp); ++i) {
            const RGBQuad& c = src.colors_[i];
            const auto color = static_cast<TColor>(PackRGB(c.red, c.green, c.blue));
            map[i] = indexed ? NearestIndex(color) : color;
        }
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* srow = src.Row(y);
            for (int x = 0; x < w; ++x) {
                const std::size_t bit = static_cast<std::size_t>(x) * sbpp;
                const int index = (srow[bit >> 3] >> (8 - sbpp - static_cast<int>(bit & 7))) & ((1 << sbpp) - 1);
                if (indexed)
                    SetIndex(x, y, map[index]);
                else
                    SetPixel(x, y, map[index]);
            }
        }
        return;
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) SetPixel(x, y, src.GetPixel(x, y));
}

void Raster::SetIndex(int x, int y, int index) {
    const int bpp = format_.bitCount;
    const std::size_t bit = static_cast<std::size_t>(x) * bpp;
    const int shift = 8 - bpp - static_cast<int>(bit & 7);
    const int mask = ((1 << bpp) - 1) << shift;
    std::uint8_t& byte = Row(y)[bit >> 3];
    byte = static_cast<std::uint8_t>((byte & ~mask) | ((index << shift) & mask));
}

std::unique_ptr<Palette> PaletteFromColorTable(const RGBQuad* colors, int count) {
    auto pal = std::make_unique<Palette>();
    for (int i = 0; i < count; ++i) pal->entries.push_back({colors[i].red, colors[i].green, colors[i].blue, 0});
    return pal;
}

const Palette& SystemPalette16() {
    static const Palette pal{{{0, 0, 0, 0},
                              {128, 0, 0, 0},
                              {0, 128, 0, 0},
                              {128, 128, 0, 0},
                              {0, 0, 128, 0},
                              {128, 0, 128, 0},
                              {0, 128, 128, 0},
                              {192, 192, 192, 0},
                              {128, 128, 128, 0},
                              {255, 0, 0, 0},
                              {0, 255, 0, 0},
                              {255, 255, 0, 0},
                              {0, 0, 255, 0},
                              {255, 0, 255, 0},
                              {0, 255, 255, 0},
                              {255, 255, 255, 0}}};
    return pal;
}

std::unique_ptr<Palette> HalftonePalette() {
    // The 16 system colors, a 6 x 6 x 6 color cube, and a gray ramp.
    auto pal = std::make_unique<Palette>(SystemPalette16());
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                pal->entries.push_back({static_cast<std::uint8_t>(r * 51), static_cast<std::uint8_t>(g * 51),
                                        static_cast<std::uint8_t>(b * 51), 0});
    for (int i = 1; pal->entries.size() < 256; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 255 / 25);
        pal->entries.push_back({v, v, v, 0});
    }
    return pal;
}

TColor ColorToRGB(TColor color) {
    if (color >= 0) return color;
    // Default colors of the platform's system color table, by index.
    static constexpr std::uint32_t kSystem[] = {
        0xC8D0D4, 0xA56E3A, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0xC8D0D4,
        0xC8D0D4, 0x808080, 0x6A240A, 0xFFFFFF, 0xC8D0D4, 0x808080, 0x808080, 0x000000, 0xC8D0D4, 0xFFFFFF, 0x404040,
        0xC8D0D4, 0x000000, 0xE1FFFF, 0xB5B5B5, 0x800000, 0xF0CAA6, 0xC0C0C0, 0xFF8000, 0xC8D0D4};
    const auto index = static_cast<std::size_t>(color & 0xFF);
    if (index < std::size(kSystem)) return static_cast<TColor>(kSystem[index]);
    return 0;
}

}  // namespace duvo::platform
