// Row access to a bitmap in a pixel format of the caller's choosing. The
// writer takes a device-independent copy of the bitmap (an info header, a
// color table and the rows, laid out as in a BMP file), hands out pointers
// into the copy's rows, and on release loads the whole copy back into the
// bitmap as a BMP file. Nothing reaches the bitmap before the release.
//
// The copy is made in the very memory the bitmap will keep: the file header
// and the info block are written in front of the rows, and the bitmap's BMP
// reader is given the lot with leave to keep the rows where they are. So the
// write-back is the reader's own result, and no row is copied twice.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "graphics/bitmap.h"
#include "platform/raster.h"

namespace duvo {

namespace msg {
inline constexpr const char* GIFUnsupportedPixelFormat = "Unsupported PixelFormat";
inline constexpr const char* GIFDIBAllocation = "Failed to allocate memory for GIF DIB";
inline constexpr const char* GIFDIBFromBitmap = "Failed to create DIB from Bitmap";
inline constexpr const char* GIFNoDIB = "Image has no DIB";
}  // namespace msg

// Bytes of one row: width x bits rounded up to a multiple of 32 bits.
std::size_t BytesPerRow(std::int64_t width, int bits);

// The info header of a copy of bitmap in the given format: the bitmap's own
// header, or a fresh one with its size for a bitmap without one, with the
// format's bits, one plane and the image size of the rows. GIFException
// "Unsupported PixelFormat" for a format other than 1, 4, 8 or 24 bits.
platform::BitmapInfoHeader DIBHeader(const TBitmap& bitmap, TPixelKind format);
// 40 bytes, then 2^bits color entries of 4 bytes for 8 bits or fewer, or the
// three masks of a bit-field header.
std::size_t DIBInfoSize(const platform::BitmapInfoHeader& header);

class TDIB {
public:
    TDIB(TBitmap& bitmap, TPixelKind format) : bitmap_(bitmap), format_(format) {}
    virtual ~TDIB() = default;
    TDIB(const TDIB&) = delete;
    TDIB& operator=(const TDIB&) = delete;

    // The address of row's first byte (row 0 is the top row).
    virtual std::uint8_t* ScanLine(int row) = 0;

    TBitmap& Bitmap() const { return bitmap_; }
    TPixelKind PixelFormat() const { return format_; }

private:
    TBitmap& bitmap_;
    TPixelKind format_;
};

class TDIBWriter : public TDIB {
public:
    TDIBWriter(TBitmap& bitmap, TPixelKind format) : TDIB(bitmap, format) {}
    // Releases: an exception on the way out leaves the bitmap with whatever
    // the write-back managed.
    ~TDIBWriter() override;

    // The first request takes the copy. The row holds the bitmap's pixels
    // in the writer's format until the caller writes it.
    std::uint8_t* ScanLine(int row) override;
    // For a caller that writes every pixel of the row: the bitmap's pixels
    // are not converted into it first, and the bytes past the last pixel
    // are cleared.
    std::uint8_t* ScanLineForOverwrite(int row);
    // Loads the copy into the bitmap and frees it. A writer that never gave
    // out a row leaves the bitmap untouched.
    void Release();

    bool Captured() const { return stream_ != nullptr; }
    // The copy as the BMP file that the release loads: file header, info
    // block, rows. Empty before the first row request.
    std::vector<std::uint8_t> Stream() const;

private:
    void Capture();
    std::uint8_t* StoredRow(int row);
    void Extract(int row);

    platform::BitmapInfoHeader header_;
    std::size_t infoSize_ = 0;
    std::size_t pixelSize_ = 0;
    std::size_t rowBytes_ = 0;
    // One block: alignment padding, the file header, the info block, the rows.
    std::shared_ptr<std::uint8_t[]> stream_;
    std::size_t streamSize_ = 0;
    std::vector<platform::RGBQuad> colors_;
    // Rows whose bitmap pixels are still to be converted into the copy.
    std::vector<bool> pending_;
    int pendingCount_ = 0;
};

// Row access to the bitmap's own rows in the given pixel kind: nothing is
// copied and nothing written back.
class TDIBReader : public TDIB {
public:
    TDIBReader(TBitmap& bitmap, TPixelKind format);
    std::uint8_t* ScanLine(int row) override;
};

}  // namespace duvo
