#include "codecs/tiff/tiff_decoder.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "rtl/exceptions.h"

namespace duvo {

namespace {

constexpr int kKeptWarnings = 8;
// What a byte of compressed data may decode to, at most: more than any of
// the library's codecs makes (deflate stays below 1100 bytes; CCITT fax
// codes a blank row in one bit, a width's worth), so the bound only keeps a
// small file from claiming a huge decode.
constexpr std::uint64_t kMaxExpansion = std::uint64_t{1} << 16;
// Pages of the file are let go behind the decoder in steps of this size.
constexpr std::uint64_t kReleaseStep = std::uint64_t{1} << 20;
// libtiff's own allocations (its handle, tag arrays) get at least this much,
// whatever the pixel limit: they are not pixels, and a tiny limit must not
// refuse the handle itself.
constexpr std::uint64_t kLibraryFloor = std::uint64_t{16} << 20;
// The most sample bits of one pixel read: eight samples of 16 bits, which
// holds CMYK or RGB with alpha and extra samples at 16 bits.
constexpr std::uint32_t kMostBitsPerPixel = 128;

// What the library said about one file, through the handlers of its handle:
// each handle has its own, so files decode on several threads at once.
struct Messages {
    std::string error;  // the first error: the cause, which later ones follow from
    std::vector<DecodeWarning> warnings;
    int dropped = 0;
    // A cut strip is being decoded: its complaints are the cut's, already said.
    bool salvaging = false;
};

std::string Text(const char* module, const char* format, va_list args) {
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    std::string text = module && *module ? std::string(module) + ": " : std::string();
    // Messages that start with the handle's name start with ": ": it has none.
    const char* body = buffer[0] == ':' && buffer[1] == ' ' ? buffer + 2 : buffer;
    return text + body;
}

int OnError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto& m = *static_cast<Messages*>(user);
    try {
        if (!m.salvaging && m.error.empty()) m.error = Text(module, format, args);
    } catch (...) {
        // Out of memory while saying what went wrong: the failing call still fails.
    }
    return 1;  // handled: nothing goes to the library's default (stderr) handler
}

int OnWarning(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto& m = *static_cast<Messages*>(user);
    try {
        if (m.salvaging) return 1;
        const std::string text = Text(module, format, args);
        // Private tags are how the format is extended, not damage.
        if (text.find("Unknown field with tag") != std::string::npos) return 1;
        // libjpeg's words for JPEG data that stops early.
        const char* kind =
            text.find("Premature end") != std::string::npos ? warning_kind::Truncated : warning_kind::Corrupt;
        DecodeWarning warning{kind, "TIFF warning: " + text};
        if (std::find(m.warnings.begin(), m.warnings.end(), warning) != m.warnings.end()) return 1;
        if (static_cast<int>(m.warnings.size()) >= kKeptWarnings) {
            ++m.dropped;
            return 1;
        }
        m.warnings.push_back(std::move(warning));
    } catch (...) {
    }
    return 1;
}

// The file's bytes as the library's client: reads, seeks and a mapping of
// the bytes where they lie, so that strips are decoded without a copy.
struct Memory {
    ByteSpan bytes;
    std::uint64_t pos = 0;

    static tmsize_t Read(thandle_t h, void* buffer, tmsize_t size) {
        auto& m = *static_cast<Memory*>(h);
        if (size <= 0 || m.pos >= m.bytes.size()) return 0;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, m.bytes.size() - m.pos));
        std::memcpy(buffer, m.bytes.data() + m.pos, n);
        m.pos += n;
        return static_cast<tmsize_t>(n);
    }
    static tmsize_t Write(thandle_t, void*, tmsize_t) { return 0; }
    static toff_t Seek(thandle_t h, toff_t offset, int whence) {
        auto& m = *static_cast<Memory*>(h);
        const std::uint64_t base = whence == SEEK_CUR ? m.pos : whence == SEEK_END ? m.bytes.size() : 0;
        // A relative offset may be negative, in two's complement.
        const auto delta = static_cast<std::int64_t>(offset);
        if (whence != SEEK_SET && delta < 0 && static_cast<std::uint64_t>(-(delta + 1)) + 1 > base)
            return static_cast<toff_t>(-1);
        m.pos = base + offset;
        return m.pos;
    }
    static int Close(thandle_t) { return 0; }
    static toff_t Size(thandle_t h) { return static_cast<Memory*>(h)->bytes.size(); }
    static int Map(thandle_t h, void** base, toff_t* size) {
        auto& m = *static_cast<Memory*>(h);
        // Read-only: the library copies a mapped strip before it changes it.
        *base = const_cast<std::uint8_t*>(m.bytes.data());
        *size = m.bytes.size();
        return 1;
    }
    static void Unmap(thandle_t, void*, toff_t) {}
};

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

template <class T>
T Load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
void Store(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Where one output channel comes from: a plane (0 for contiguous samples),
// the sample's place in its pixel, and the samples per pixel of the plane.
struct Channel {
    int plane = 0;
    int offset = 0;
    int step = 1;
};

enum class Mode {
    Scanlines,  // contiguous strips, one row at a time into the caller's row
    Bands,      // tiles, or strips in planes: a band of whole rows at a time
    Converter,  // libtiff's RGBA converter, a strip or a row of tiles at a time
};

// How much of a strip or tile the file holds.
enum class Held { Whole, Part, None };

class TiffRows final : public RowSource {
public:
    TiffRows(ByteSpan bytes, const Limits& limits, std::function<void(std::size_t, std::size_t)> release)
        : memory_{bytes}, release_(std::move(release)) {
        // Messages that reach the library's process-wide handlers (none
        // should: every handle has its own) must not land on our stderr.
        static std::once_flag quiet;
        std::call_once(quiet, [] {
            TIFFSetErrorHandler(nullptr);
            TIFFSetWarningHandler(nullptr);
        });
        std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
        if (!options) throw EOutOfMemory(msg::OutOfMemory);
        // Tag arrays and the library's own strip buffers come under the byte limit too.
        libraryLimit_ = std::max(limits.decodedBytes, kLibraryFloor);
        TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                            static_cast<tmsize_t>(std::min<std::uint64_t>(libraryLimit_, INT64_MAX)));
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, &messages_);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, &messages_);
        tif_.reset(TIFFClientOpenExt("", "r", &memory_, Memory::Read, Memory::Write, Memory::Seek, Memory::Close,
                                     Memory::Size, Memory::Map, Memory::Unmap, options.get()));
        if (!tif_) Fail("the file is not a TIFF file");
        Setup(limits);
        UpdateWarnings();
    }

    void ReadRows(std::uint8_t* dst, std::ptrdiff_t stride, int count) override {
        for (int i = 0; i < count; ++i, ++next_) {
            std::uint8_t* out = dst + i * stride;
            switch (mode_) {
                case Mode::Scanlines:
                    ScanlineRow(next_, out);
                    break;
                case Mode::Bands:
                    BandRow(next_, out);
                    break;
                case Mode::Converter:
                    ConverterRow(next_, out);
                    break;
            }
        }
    }

    void Finish() override { UpdateWarnings(); }

private:
    [[noreturn]] void Fail(const std::string& fallback) const {
        // The library refusing an allocation above our limit is a picture
        // too large, as the caller's own checks say it.
        if (messages_.error.find("limit defined in open options") != std::string::npos)
            throw EPictureTooLarge(duvo::Format(msg::TooManyBytes, {std::to_string(libraryLimit_)}));
        throw EInvalidGraphic(duvo::Format(msg::TIFFError, {messages_.error.empty() ? fallback : messages_.error}));
    }

    void CheckBytes(std::uint64_t bytes, const Limits& limits) const {
        if (bytes > limits.decodedBytes)
            throw EPictureTooLarge(duvo::Format(msg::TooManyBytes, {std::to_string(limits.decodedBytes)}));
    }

    // ---- the plan -------------------------------------------------------------------

    void Setup(const Limits& limits) {
        TIFF* t = tif_.get();
        std::uint32_t width = 0, height = 0;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
        CheckPictureSize(width, height, limits);
        if (width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) Fail("sides above 2147483647 pixels are not read");
        format_.width = static_cast<int>(width);
        format_.height = static_cast<int>(height);
        if (width == 0 || height == 0) return;  // no pixels, which the caller reports

        std::uint16_t bits = 1, spp = 1, planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT;
        std::uint16_t compression = COMPRESSION_NONE, photometric = 0;
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
        if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric))
            photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        if (spp == 0) Fail("a picture of no samples per pixel");
        // Every sample of a row is read, and most are then dropped: a small
        // file of thousands of samples a pixel would cost time far beyond its
        // pixels. Color, alpha and a few more samples fit.
        if (std::uint32_t{spp} * bits > kMostBitsPerPixel)
            throw EInvalidGraphic(
                duvo::Format(msg::TIFFError,
                             {std::to_string(spp) + " samples of " + std::to_string(bits) + " bits a pixel; at most " +
                              std::to_string(kMostBitsPerPixel / 8) + " bytes a pixel are read"}));
        bits_ = bits;
        compression_ = compression;
        tiled_ = TIFFIsTiled(t) != 0;
        const bool contiguous = planar == PLANARCONFIG_CONTIG || spp == 1;

        // JPEG-coded YCbCr is turned into RGB by the library's JPEG codec,
        // subsampling and all, so it reads as an RGB file.
        if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG && contiguous && bits == 8 &&
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
            photometric = PHOTOMETRIC_RGB;

        const int color = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ||
                                  photometric == PHOTOMETRIC_PALETTE
                              ? 1
                          : photometric == PHOTOMETRIC_RGB ? 3
                                                           : 0;
        // The first extra sample that is alpha; the others are left out.
        int alphaSample = -1;
        bool associated = false;
        if (color > 0 && spp > color) {
            std::uint16_t count = 0;
            std::uint16_t* types = nullptr;
            TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &count, &types);
            for (int i = 0; i < spp - color && alphaSample < 0; ++i) {
                const int type = types && i < count ? types[i] : EXTRASAMPLE_UNSPECIFIED;
                if (type == EXTRASAMPLE_ASSOCALPHA || type == EXTRASAMPLE_UNASSALPHA) {
                    alphaSample = color + i;
                    associated = type == EXTRASAMPLE_ASSOCALPHA;
                }
            }
        }
        const bool wholeBytes = bits == 8 || bits == 16;
        const bool palette = photometric == PHOTOMETRIC_PALETTE;
        bool native = color > 0 && spp >= color &&
                      (sampleFormat == SAMPLEFORMAT_UINT || sampleFormat == SAMPLEFORMAT_VOID) &&
                      (contiguous || wholeBytes);
        if (palette)
            native = native && spp == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8);
        else if (color == 1 && spp == 1)
            native = native && (wholeBytes || bits == 1 || bits == 2 || bits == 4);
        else
            native = native && wholeBytes;
        if (native && tiled_) {
            std::uint32_t tileWidth = 0;
            TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
            // Rows of tiles are put together byte by byte.
            native = native && (std::uint64_t{tileWidth} * bits) % 8 == 0;
        }

        if (!native) return SetupConverter(limits, alphaSample >= 0, photometric, bits, spp);

        format_.bitDepth = bits;
        const int outChannels = color + (alphaSample >= 0 ? 1 : 0);
        outChannels_ = outChannels;
        if (palette) {
            format_.layout = RowLayout::Index;
            SetPalette();
        } else if (color == 1) {
            format_.layout = alphaSample >= 0 ? RowLayout::GrayAlpha : RowLayout::Gray;
            invert_ = photometric == PHOTOMETRIC_MINISWHITE;
        } else {
            format_.layout = alphaSample >= 0 ? RowLayout::Rgba : RowLayout::Rgb;
        }
        premultiplied_ = alphaSample >= 0 && associated;
        // In planes, each output channel reads a plane of its own; a
        // channel's plane is its place among the planes read.
        for (int c = 0; c < outChannels; ++c) {
            const int sample = c < color ? c : alphaSample;
            if (contiguous) {
                channels_[static_cast<std::size_t>(c)] = Channel{0, sample, spp};
            } else {
                channels_[static_cast<std::size_t>(c)] = Channel{c, 0, 1};
                planes_.push_back(sample);
            }
        }
        if (contiguous) planes_ = {0};
        sameLayout_ = contiguous && spp == outChannels && (alphaSample < 0 || alphaSample == color);
        const std::size_t rowBytes = format_.RowBytes();

        if (!tiled_ && contiguous) {
            mode_ = Mode::Scanlines;
            std::uint32_t rowsPerStrip = height;
            TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
            rowsPerChunk_ = std::clamp<std::uint32_t>(rowsPerStrip, 1, height);
            scanline_ = static_cast<std::uint64_t>(TIFFScanlineSize64(t));
            const std::uint64_t expected = sameLayout_ ? rowBytes : (std::uint64_t{width} * spp * bits + 7) / 8;
            if (scanline_ != expected) Fail("rows of an unexpected size");
            CheckBytes(sameLayout_ ? 0 : scanline_, limits);
            if (!sameLayout_) scratch_.resize(scanline_);
            return;
        }

        mode_ = Mode::Bands;
        if (tiled_) {
            std::uint32_t tileWidth = 0, tileLength = 0;
            TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
            TIFFGetField(t, TIFFTAG_TILELENGTH, &tileLength);
            if (tileWidth == 0 || tileLength == 0) Fail("tiles of no pixels");
            // Tiles far larger than the picture are no way to store it; the
            // limit leaves room for big tiles on small pictures.
            const std::uint64_t tilePixels = std::uint64_t{tileWidth} * tileLength;
            if (tilePixels > std::max<std::uint64_t>(4 * std::uint64_t{width} * height, std::uint64_t{1} << 22))
                Fail("tiles of " + std::to_string(tileWidth) + " x " + std::to_string(tileLength) +
                     " pixels for a picture of " + std::to_string(width) + " x " + std::to_string(height));
            tileWidth_ = tileWidth;
            rowsPerChunk_ = tileLength;
            tilesAcross_ = (width + tileWidth - 1) / tileWidth;
            tileRowBytes_ = static_cast<std::uint64_t>(TIFFTileRowSize64(t));
            tileBytes_ = static_cast<std::uint64_t>(TIFFTileSize64(t));
            if (tileRowBytes_ == 0 || tileBytes_ != tileRowBytes_ * tileLength) Fail("tiles of an unexpected size");
            planeRowBytes_ = tileRowBytes_ * tilesAcross_;
        } else {
            std::uint32_t rowsPerStrip = height;
            TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
            rowsPerChunk_ = std::clamp<std::uint32_t>(rowsPerStrip, 1, height);
            planeRowBytes_ = static_cast<std::uint64_t>(TIFFScanlineSize64(t));
        }
        const std::uint64_t samplesPerPlaneRow = contiguous ? spp : 1;
        if (planeRowBytes_ < (std::uint64_t{width} * samplesPerPlaneRow * bits + 7) / 8)
            Fail("rows of an unexpected size");
        const std::uint64_t band = planeRowBytes_ * rowsPerChunk_;
        CheckBytes(band * planes_.size() + tileBytes_ + planeRowBytes_ * (planes_.size() + 1), limits);
        // Not filled first: a band's pages are taken only as rows are decoded into them.
        for (std::size_t p = 0; p < planes_.size(); ++p)
            bands_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(band));
        valid_.assign(planes_.size(), 0);
        if (tiled_) {
            tile_ = std::make_unique_for_overwrite<std::uint8_t[]>(tileBytes_);
            kept_.assign(planes_.size() * tilesAcross_, 0);
            mixed_.assign(planes_.size() * planeRowBytes_, 0);
        }
        zeros_.assign(planeRowBytes_, 0);
    }

    // 16-bit color maps are scaled to 8 bits, rounded. A map whose entries
    // are all below 256 was written with 8-bit values, as libtiff's own
    // converter also assumes.
    void SetPalette() {
        std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (!TIFFGetField(tif_.get(), TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue)
            Fail("a palette picture without a color map");
        const int count = 1 << bits_;
        bool eightBit = true;
        for (int i = 0; i < count; ++i) eightBit = eightBit && red[i] < 256 && green[i] < 256 && blue[i] < 256;
        auto scale = [eightBit](std::uint16_t v) {
            return static_cast<std::uint8_t>(eightBit ? v : (std::uint32_t{v} * 255 + 32767) / 65535);
        };
        format_.paletteSize = count;
        for (int i = 0; i < count; ++i)
            format_.palette[static_cast<std::size_t>(i)] = {scale(red[i]), scale(green[i]), scale(blue[i]), 255};
    }

    // Everything the rows cannot hold as stored goes through the library's
    // converter, which gives 8-bit RGBA with associated alpha.
    void SetupConverter(const Limits& limits, bool fileAlpha, int photometric, int bits, int samples) {
        TIFF* t = tif_.get();
        char why[1024] = "";
        if (!TIFFRGBAImageOK(t, why) || !TIFFRGBAImageBegin(&image_, t, 1, why))
            // The converter's words can be as short as "can not handle image".
            Fail(std::string(why) + " (photometric " + std::to_string(photometric) + ", " + std::to_string(bits) +
                 " bits per sample, " + std::to_string(samples) + " samples per pixel)");
        converter_.started = true;
        // The rows as stored, never turned: the converter flips nothing
        // when asked for the file's own orientation.
        image_.req_orientation = image_.orientation;
        mode_ = Mode::Converter;
        format_.bitDepth = 8;
        // Alpha when the file has an alpha sample: the converter also marks
        // a fourth sample alpha to get at it (CMYK in planes, RGB with an
        // unnamed extra sample), copied, never multiplied in, and then dropped.
        const bool alpha = fileAlpha && image_.alpha != 0;
        format_.layout = alpha ? RowLayout::Rgba : RowLayout::Rgb;
        outChannels_ = alpha ? 4 : 3;
        premultiplied_ = alpha;
        std::uint16_t planar = PLANARCONFIG_CONTIG, spp = 1;
        TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
        // The converter reads at most four planes.
        converterPlanes_ = planar == PLANARCONFIG_SEPARATE ? std::min<int>(spp, 4) : 1;
        std::uint64_t libraryBuffer = 0;
        const auto height = static_cast<std::uint32_t>(format_.height);
        if (tiled_) {
            std::uint32_t tileWidth = 0, tileLength = 0;
            TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
            TIFFGetField(t, TIFFTAG_TILELENGTH, &tileLength);
            if (tileWidth == 0 || tileLength == 0) Fail("tiles of no pixels");
            tileWidth_ = tileWidth;
            tilesAcross_ = (static_cast<std::uint32_t>(format_.width) + tileWidth - 1) / tileWidth;
            rowsPerChunk_ = std::min(tileLength, height);
            libraryBuffer = static_cast<std::uint64_t>(TIFFTileSize64(t)) * converterPlanes_;
        } else {
            std::uint32_t rowsPerStrip = height;
            TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
            rowsPerChunk_ = std::clamp<std::uint32_t>(rowsPerStrip, 1, height);
            libraryBuffer = static_cast<std::uint64_t>(TIFFStripSize64(t)) * converterPlanes_;
        }
        const std::uint64_t raster = std::uint64_t{4} * static_cast<std::uint64_t>(format_.width) * rowsPerChunk_;
        CheckBytes(raster + libraryBuffer, limits);
        raster_ = std::make_unique_for_overwrite<std::uint8_t[]>(raster);
    }

    // ---- strips and tiles the file may not hold -------------------------------------

    // Where a strip or tile lies and how much of it the file holds. decoded
    // is what it decodes to: compressed data that cannot make that much is
    // refused before anything is decoded, so a small file claims no big decode.
    Held Extent(std::uint32_t strile, std::uint64_t decoded, std::uint64_t& offset, std::uint64_t& size) const {
        int failed = 0;
        offset = TIFFGetStrileOffsetWithErr(tif_.get(), strile, &failed);
        size = TIFFGetStrileByteCountWithErr(tif_.get(), strile, &failed);
        if (failed) Fail("strip or tile " + std::to_string(strile) + " is not in the file's tables");
        const std::uint64_t file = memory_.bytes.size();
        if (size <= file && offset <= file - size) {
            if (compression_ != COMPRESSION_NONE && size < decoded / kMaxExpansion)
                Fail("strip or tile " + std::to_string(strile) + " of " + std::to_string(size) +
                     " bytes cannot decode to " + std::to_string(decoded) + " bytes");
            return Held::Whole;
        }
        return offset < file ? Held::Part : Held::None;
    }

    // The rows of rowBytes that the bytes of a cut strip or tile from offset
    // on can hold, at most maxRows.
    std::uint32_t SalvageRows(std::uint64_t offset, std::uint64_t rowBytes, std::uint32_t maxRows) const {
        const std::uint64_t there = memory_.bytes.size() - offset;
        const std::uint64_t most = compression_ == COMPRESSION_NONE ? there : there * kMaxExpansion;
        return static_cast<std::uint32_t>(
            std::min<std::uint64_t>(maxRows, most / std::max<std::uint64_t>(rowBytes, 1) + 1));
    }

    void NoteCut(std::uint32_t y0, std::uint32_t rows) {
        if (!cut_.empty()) return;
        const std::string where = rows == 1 ? "row " + std::to_string(y0)
                                            : "rows " + std::to_string(y0) + " to " + std::to_string(y0 + rows - 1);
        cut_ = "the file ends inside the image data, at the " + std::string(tiled_ ? "tiles" : "strip") + " of " +
               where + "; what the file does not hold is zero";
        UpdateWarnings();
    }

    void ReleaseUpTo(std::uint64_t offset) {
        if (!release_ || offset < released_ + kReleaseStep) return;
        release_(static_cast<std::size_t>(released_), static_cast<std::size_t>(offset));
        released_ = offset;
    }

    // Decodes the start of a strip or tile that the file ends inside of,
    // from the bytes there are: the most whole rows (of rowBytes, up to
    // rows, which SalvageRows bounds) that decode without an error, found by
    // halving, since a codec that fails leaves its rows half done
    // (undifferenced, unswapped). Uncompressed data is padded with zeros to
    // the rows, so every byte there is counts. Returns the rows in out.
    std::uint32_t Salvage(std::uint32_t strile, std::uint64_t offset, std::uint8_t* out, std::uint64_t rowBytes,
                          std::uint32_t rows) {
        const ByteSpan bytes = memory_.bytes;
        // A copy: the library may reverse the bits of the data it is given.
        std::vector<std::uint8_t> data(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end());
        if (compression_ == COMPRESSION_NONE && data.size() < rowBytes * rows)
            data.resize(static_cast<std::size_t>(rowBytes * rows), 0);
        messages_.salvaging = true;
        auto decodes = [&](std::uint32_t n) {
            return n == 0 || TIFFReadFromUserBuffer(tif_.get(), strile, data.data(), static_cast<tmsize_t>(data.size()),
                                                    out, static_cast<tmsize_t>(rowBytes * n)) != 0;
        };
        std::uint32_t good = 0;
        if (decodes(rows)) {
            good = rows;
        } else {
            std::uint32_t hi = rows - 1;
            while (good < hi) {
                const std::uint32_t mid = good + (hi - good + 1) / 2;
                if (decodes(mid))
                    good = mid;
                else
                    hi = mid - 1;
            }
            // The last try may have failed; the rows kept are those of a success.
            if (good > 0) decodes(good);
        }
        messages_.salvaging = false;
        return good;
    }

    // ---- contiguous strips ------------------------------------------------------------

    void EnterStrip(std::uint32_t y) {
        const std::uint32_t y0 = y / rowsPerChunk_ * rowsPerChunk_;
        const std::uint32_t rows = std::min(rowsPerChunk_, static_cast<std::uint32_t>(format_.height) - y0);
        const std::uint32_t strip = TIFFComputeStrip(tif_.get(), y, 0);
        std::uint64_t offset = 0, size = 0;
        chunk_ = static_cast<std::int64_t>(y / rowsPerChunk_);
        chunkY0_ = y0;
        held_ = Extent(strip, scanline_ * rows, offset, size);
        if (held_ == Held::Whole) {
            ReleaseUpTo(offset);
            return;
        }
        salvageRows_ = 0;
        salvage_.clear();
        if (held_ == Held::Part) {
            const std::uint32_t bound = SalvageRows(offset, scanline_, rows);
            salvage_.assign(static_cast<std::size_t>(bound * scanline_), 0);
            salvageRows_ = Salvage(strip, offset, salvage_.data(), scanline_, bound);
        }
        NoteCut(y0, rows);
    }

    void ScanlineRow(int y, std::uint8_t* out) {
        const auto row = static_cast<std::uint32_t>(y);
        if (static_cast<std::int64_t>(row / rowsPerChunk_) != chunk_) EnterStrip(row);
        std::uint8_t* target = sameLayout_ ? out : scratch_.data();
        const std::uint32_t k = row - chunkY0_;
        if (held_ == Held::Whole) {
            if (TIFFReadScanline(tif_.get(), target, row, 0) < 0)
                Fail("row " + std::to_string(row) + " cannot be read");
        } else if (k < salvageRows_) {
            std::memcpy(target, salvage_.data() + k * scanline_, static_cast<std::size_t>(scanline_));
        } else {
            std::memset(target, 0, static_cast<std::size_t>(scanline_));
        }
        const std::uint8_t* planes[1] = {target};
        Convert(planes, out);
    }

    // ---- tiles, and strips in planes ---------------------------------------------------

    void LoadBand(std::uint32_t y) {
        TIFF* t = tif_.get();
        const std::uint32_t y0 = y / rowsPerChunk_ * rowsPerChunk_;
        const std::uint32_t rows = std::min(rowsPerChunk_, static_cast<std::uint32_t>(format_.height) - y0);
        chunk_ = static_cast<std::int64_t>(y / rowsPerChunk_);
        chunkY0_ = y0;
        std::uint64_t lowest = UINT64_MAX;
        for (std::size_t p = 0; p < planes_.size(); ++p) {
            const auto plane = static_cast<std::uint16_t>(planes_[p]);
            std::uint8_t* band = bands_[p].get();
            std::uint64_t offset = 0, size = 0;
            if (!tiled_) {
                const std::uint32_t strip = TIFFComputeStrip(t, y0, plane);
                const Held held = Extent(strip, planeRowBytes_ * rows, offset, size);
                lowest = std::min(lowest, offset);
                if (held == Held::Whole) {
                    const auto want = static_cast<tmsize_t>(planeRowBytes_ * rows);
                    if (TIFFReadEncodedStrip(t, strip, band, want) != want)
                        Fail("strip " + std::to_string(strip) + " cannot be read");
                    valid_[p] = rows;
                    continue;
                }
                valid_[p] = held == Held::Part ? Salvage(strip, offset, band, planeRowBytes_,
                                                         SalvageRows(offset, planeRowBytes_, rows))
                                               : 0;
                NoteCut(y0, rows);
                continue;
            }
            valid_[p] = rows;
            std::uint32_t* kept = kept_.data() + p * tilesAcross_;
            for (std::uint32_t c = 0; c < tilesAcross_; ++c) {
                const std::uint32_t tile = TIFFComputeTile(t, c * tileWidth_, y0, 0, plane);
                const Held held = Extent(tile, tileBytes_, offset, size);
                lowest = std::min(lowest, offset);
                std::uint8_t* data = tile_.get();
                kept[c] = rows;
                if (held == Held::Whole) {
                    if (TIFFReadEncodedTile(t, tile, data, static_cast<tmsize_t>(tileBytes_)) !=
                        static_cast<tmsize_t>(tileBytes_))
                        Fail("tile " + std::to_string(tile) + " cannot be read");
                } else {
                    kept[c] = std::min(rows, held == Held::Part ? Salvage(tile, offset, data, tileRowBytes_,
                                                                          SalvageRows(offset, tileRowBytes_, rows))
                                                                : 0);
                    valid_[p] = std::min(valid_[p], kept[c]);
                    NoteCut(y0, rows);
                }
                // Rows a cut tile does not hold are made as they are read.
                for (std::uint32_t k = 0; k < kept[c]; ++k)
                    std::memcpy(band + k * planeRowBytes_ + c * tileRowBytes_, data + k * tileRowBytes_,
                                static_cast<std::size_t>(tileRowBytes_));
            }
        }
        if (lowest != UINT64_MAX) ReleaseUpTo(lowest);
    }

    void BandRow(int y, std::uint8_t* out) {
        const auto row = static_cast<std::uint32_t>(y);
        if (static_cast<std::int64_t>(row / rowsPerChunk_) != chunk_) LoadBand(row);
        const std::uint32_t k = row - chunkY0_;
        std::array<const std::uint8_t*, 4> planes{};
        for (std::size_t p = 0; p < planes_.size(); ++p) {
            const std::uint8_t* band = bands_[p].get() + k * planeRowBytes_;
            planes[p] = k < valid_[p] ? band : zeros_.data();
            if (!tiled_ || k < valid_[p]) continue;
            // A row of tiles some of which the file does not hold whole:
            // the parts they hold, zeros for the rest.
            std::uint8_t* mixed = mixed_.data() + p * planeRowBytes_;
            const std::uint32_t* kept = kept_.data() + p * tilesAcross_;
            for (std::uint32_t c = 0; c < tilesAcross_; ++c) {
                std::uint8_t* to = mixed + c * tileRowBytes_;
                if (k < kept[c])
                    std::memcpy(to, band + c * tileRowBytes_, static_cast<std::size_t>(tileRowBytes_));
                else
                    std::memset(to, 0, static_cast<std::size_t>(tileRowBytes_));
            }
            planes[p] = mixed;
        }
        if (sameLayout_) {
            std::memcpy(out, planes[0], format_.RowBytes());
            const std::uint8_t* self[1] = {out};
            Convert(self, out);
        } else {
            Convert(planes.data(), out);
        }
    }

    // ---- the converter --------------------------------------------------------------

    void LoadChunk(std::uint32_t y) {
        TIFF* t = tif_.get();
        const std::uint32_t y0 = y / rowsPerChunk_ * rowsPerChunk_;
        const std::uint32_t rows = std::min(rowsPerChunk_, static_cast<std::uint32_t>(format_.height) - y0);
        chunk_ = static_cast<std::int64_t>(y / rowsPerChunk_);
        chunkY0_ = y0;
        // A chunk the file does not hold whole is zero: the converter would
        // fill a failed strip with the one before it.
        bool whole = true;
        std::uint64_t lowest = UINT64_MAX;
        for (int p = 0; p < converterPlanes_ && whole; ++p) {
            const auto plane = static_cast<std::uint16_t>(p);
            const std::uint32_t count = tiled_ ? tilesAcross_ : 1;
            for (std::uint32_t c = 0; c < count && whole; ++c) {
                const std::uint32_t strile =
                    tiled_ ? TIFFComputeTile(t, c * tileWidth_, y0, 0, plane) : TIFFComputeStrip(t, y0, plane);
                std::uint64_t offset = 0, size = 0;
                const std::uint64_t decoded = tiled_ ? static_cast<std::uint64_t>(TIFFTileSize64(t))
                                                     : static_cast<std::uint64_t>(TIFFVStripSize64(t, rows));
                whole = Extent(strile, decoded, offset, size) == Held::Whole;
                lowest = std::min(lowest, offset);
            }
        }
        const std::size_t bytes = std::size_t{4} * static_cast<std::size_t>(format_.width) * rows;
        if (!whole) {
            std::memset(raster_.get(), 0, bytes);
            NoteCut(y0, rows);
            return;
        }
        image_.row_offset = static_cast<int>(y0);
        image_.col_offset = 0;
        if (!TIFFRGBAImageGet(&image_, reinterpret_cast<std::uint32_t*>(raster_.get()),
                              static_cast<std::uint32_t>(format_.width), rows))
            Fail("rows " + std::to_string(y0) + " to " + std::to_string(y0 + rows - 1) + " cannot be converted");
        if (lowest != UINT64_MAX) ReleaseUpTo(lowest);
    }

    void ConverterRow(int y, std::uint8_t* out) {
        const auto row = static_cast<std::uint32_t>(y);
        if (static_cast<std::int64_t>(row / rowsPerChunk_) != chunk_) LoadChunk(row);
        const std::uint8_t* src =
            raster_.get() + std::size_t{4} * static_cast<std::size_t>(format_.width) * (row - chunkY0_);
        const int width = format_.width;
        if (outChannels_ == 4) {
            for (int x = 0; x < width; ++x) {
                const auto abgr = Load<std::uint32_t>(src + 4 * x);
                std::uint8_t* o = out + 4 * x;
                o[0] = static_cast<std::uint8_t>(TIFFGetR(abgr));
                o[1] = static_cast<std::uint8_t>(TIFFGetG(abgr));
                o[2] = static_cast<std::uint8_t>(TIFFGetB(abgr));
                o[3] = static_cast<std::uint8_t>(TIFFGetA(abgr));
            }
            Unpremultiply8(out);
        } else {
            for (int x = 0; x < width; ++x) {
                const auto abgr = Load<std::uint32_t>(src + 4 * x);
                std::uint8_t* o = out + 3 * x;
                o[0] = static_cast<std::uint8_t>(TIFFGetR(abgr));
                o[1] = static_cast<std::uint8_t>(TIFFGetG(abgr));
                o[2] = static_cast<std::uint8_t>(TIFFGetB(abgr));
            }
        }
    }

    // ---- from the library's samples to a row ------------------------------------------

    // The row's samples in output order (planes: the library's rows, or out
    // itself when they already lie there), then what the layout asks of
    // them: min-is-white inverted, alpha made straight, 16 bits big-endian.
    void Convert(const std::uint8_t* const* planes, std::uint8_t* out) {
        const int width = format_.width;
        if (!sameLayout_) {
            if (bits_ == 16)
                Gather<std::uint16_t>(planes, out, width);
            else
                Gather<std::uint8_t>(planes, out, width);
        }
        if (invert_) {
            if (outChannels_ == 1 && bits_ <= 8) {
                const std::size_t n = format_.RowBytes();
                for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
                // The bits past the last pixel stay zero, as stored rows have them.
                const int used = static_cast<int>((static_cast<std::uint64_t>(width) * bits_) % 8);
                if (used) out[n - 1] = static_cast<std::uint8_t>(out[n - 1] & (0xFF00 >> used));
            } else if (bits_ == 8) {
                for (int x = 0; x < width; ++x)
                    out[x * outChannels_] = static_cast<std::uint8_t>(~out[x * outChannels_]);
            } else {
                for (int x = 0; x < width; ++x) {
                    std::uint8_t* p = out + 2 * x * outChannels_;
                    Store<std::uint16_t>(p, static_cast<std::uint16_t>(~Load<std::uint16_t>(p)));
                }
            }
        }
        if (premultiplied_) {
            if (bits_ == 16)
                Unpremultiply16(out);
            else
                Unpremultiply8(out);
        }
        if (bits_ == 16) {
            const std::size_t samples = format_.RowBytes() / 2;
            for (std::size_t i = 0; i < samples; ++i)
                Store<std::uint16_t>(out + 2 * i, __builtin_bswap16(Load<std::uint16_t>(out + 2 * i)));
        }
    }

    template <class T>
    void Gather(const std::uint8_t* const* planes, std::uint8_t* out, int width) const {
        const int n = outChannels_;
        for (int c = 0; c < n; ++c) {
            const Channel& ch = channels_[static_cast<std::size_t>(c)];
            const std::uint8_t* src = planes[ch.plane] + sizeof(T) * static_cast<std::size_t>(ch.offset);
            const std::size_t step = sizeof(T) * static_cast<std::size_t>(ch.step);
            std::uint8_t* dst = out + sizeof(T) * static_cast<std::size_t>(c);
            for (int x = 0; x < width; ++x, src += step, dst += sizeof(T) * n) Store<T>(dst, Load<T>(src));
        }
    }

    // Straight alpha from premultiplied samples, rounded; colors above their
    // alpha (which premultiplied data cannot hold) become full.
    void Unpremultiply8(std::uint8_t* row) {
        if (divide_.empty()) {
            divide_.resize(256 * 256);
            for (int a = 1; a < 256; ++a)
                for (int v = 0; v < 256; ++v)
                    divide_[static_cast<std::size_t>(a * 256 + v)] =
                        static_cast<std::uint8_t>(std::min(255, (v * 255 + a / 2) / a));
        }
        const int n = outChannels_;
        for (int x = 0; x < format_.width; ++x) {
            std::uint8_t* p = row + x * n;
            const int a = p[n - 1];
            if (a == 255) continue;
            for (int c = 0; c < n - 1; ++c) p[c] = divide_[static_cast<std::size_t>(a * 256 + p[c])];
        }
    }

    void Unpremultiply16(std::uint8_t* row) const {
        const int n = outChannels_;
        for (int x = 0; x < format_.width; ++x) {
            std::uint8_t* p = row + 2 * x * n;
            const std::uint32_t a = Load<std::uint16_t>(p + 2 * (n - 1));
            if (a == 65535) continue;
            for (int c = 0; c < n - 1; ++c) {
                const std::uint64_t v = Load<std::uint16_t>(p + 2 * c);
                const std::uint64_t straight = a == 0 ? 0 : std::min<std::uint64_t>(65535, (v * 65535 + a / 2) / a);
                Store<std::uint16_t>(p + 2 * c, static_cast<std::uint16_t>(straight));
            }
        }
    }

    void UpdateWarnings() {
        warnings_.clear();
        if (!cut_.empty()) warnings_.push_back({warning_kind::Truncated, cut_});
        warnings_.insert(warnings_.end(), messages_.warnings.begin(), messages_.warnings.end());
        if (messages_.dropped > 0)
            warnings_.push_back(
                {warning_kind::Corrupt, std::to_string(messages_.dropped) + " more warnings of the TIFF library"});
    }

    Memory memory_;
    Messages messages_;
    std::unique_ptr<TIFF, TiffClose> tif_;
    std::function<void(std::size_t, std::size_t)> release_;
    std::uint64_t released_ = 0;
    std::uint64_t libraryLimit_ = 0;

    Mode mode_ = Mode::Scanlines;
    int bits_ = 8;
    std::uint16_t compression_ = COMPRESSION_NONE;
    bool tiled_ = false;
    std::uint32_t rowsPerChunk_ = 1;  // rows of a strip, or of a row of tiles
    std::int64_t chunk_ = -1;         // the strip or row of tiles at hand
    std::uint32_t chunkY0_ = 0;

    // Output rows from the library's samples.
    int outChannels_ = 1;
    std::array<Channel, 4> channels_{};
    bool sameLayout_ = false;
    bool invert_ = false;
    bool premultiplied_ = false;
    std::vector<std::uint8_t> divide_;

    // Contiguous strips.
    std::uint64_t scanline_ = 0;
    std::vector<std::uint8_t> scratch_;
    Held held_ = Held::Whole;
    std::vector<std::uint8_t> salvage_;
    std::uint32_t salvageRows_ = 0;

    // Bands: one per plane read, each with the rows it holds.
    std::vector<int> planes_;
    std::vector<std::unique_ptr<std::uint8_t[]>> bands_;
    std::vector<std::uint32_t> valid_;
    std::uint64_t planeRowBytes_ = 0;
    std::uint32_t tileWidth_ = 0, tilesAcross_ = 0;
    std::uint64_t tileRowBytes_ = 0, tileBytes_ = 0;
    std::unique_ptr<std::uint8_t[]> tile_;
    std::vector<std::uint32_t> kept_;  // per plane and tile column: the rows held
    std::vector<std::uint8_t> mixed_;  // per plane: a row of held and missing tiles
    std::vector<std::uint8_t> zeros_;

    // The converter, ended before the file closes (it is declared after
    // it), also when a later check of the constructor throws.
    struct Converter {
        TIFFRGBAImage image{};
        bool started = false;
        Converter() = default;
        Converter(const Converter&) = delete;
        Converter& operator=(const Converter&) = delete;
        ~Converter() {
            if (started) TIFFRGBAImageEnd(&image);
        }
    } converter_;
    TIFFRGBAImage& image_ = converter_.image;
    int converterPlanes_ = 1;
    std::unique_ptr<std::uint8_t[]> raster_;

    std::string cut_;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenTiffRows(ByteSpan bytes, const Limits& limits,
                                        std::function<void(std::size_t, std::size_t)> release) {
    return std::make_unique<TiffRows>(bytes, limits, std::move(release));
}

}  // namespace duvo
