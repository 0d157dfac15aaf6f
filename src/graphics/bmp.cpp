#include "graphics/bmp.h"

#include <algorithm>
#include <vector>

namespace duvo {

using platform::Raster;
using platform::RGBQuad;

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

}  // namespace

void WriteBitmapFile(const TBitmap& bitmap, TStream& stream) {
    const Raster* r = bitmap.Raster();
    if (!r) return;
    const bool fields = r->Format().compression == platform::BI_BITFIELDS;
    const int colorCount = r->BitCount() <= 8 ? std::max(r->ColorCount(), 1) : 0;
    const std::uint32_t offset = 14 + 40 + (fields ? 12 : 0) + static_cast<std::uint32_t>(colorCount) * 4;
    const std::uint64_t fileSize = offset + static_cast<std::uint64_t>(r->ImageSize());
    std::vector<std::uint8_t> head;
    head.reserve(offset);
    Put16(head, 0x4D42);
    Put32(head, fileSize > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(fileSize));
    Put32(head, 0);
    Put32(head, offset);
    Put32(head, 40);
    Put32(head, static_cast<std::uint32_t>(r->Width()));
    Put32(head, static_cast<std::uint32_t>(r->SignedHeight()));
    Put16(head, 1);
    Put16(head, static_cast<std::uint32_t>(r->BitCount()));
    Put32(head, fields ? platform::BI_BITFIELDS : platform::BI_RGB);
    Put32(head, static_cast<std::uint32_t>(std::min<std::uint64_t>(r->ImageSize(), 0xFFFFFFFFu)));
    // The resolution the bitmap was read with, so a round trip keeps it.
    const platform::BitmapInfoHeader& described = bitmap.Image()->description.header;
    Put32(head, static_cast<std::uint32_t>(described.xPelsPerMeter));
    Put32(head, static_cast<std::uint32_t>(described.yPelsPerMeter));
    Put32(head, static_cast<std::uint32_t>(colorCount));
    Put32(head, 0);
    if (fields)
        for (std::uint32_t m : r->Format().masks) Put32(head, m);
    for (int i = 0; i < colorCount; ++i) {
        const RGBQuad& c = r->Colors()[static_cast<std::size_t>(i)];
        head.insert(head.end(), {c.blue, c.green, c.red, 0});
    }
    stream.WriteBuffer(head.data(), head.size());
    stream.WriteBuffer(r->Bits(), r->ImageSize());
}

}  // namespace duvo
