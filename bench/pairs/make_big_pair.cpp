// Writes a pair of big photo-like pictures for the whole-process benchmarks:
// A, and B with a few rectangles changed, as BMP (24-bit), JPEG (quality 90)
// or PNG (8-bit RGB, the difference writer's settings).
//   duvo-make-big-pair bmp|jpg|png WIDTH HEIGHT A B
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "codecs/jpeg/jpeg_decoder.h"
#include "codecs/png/png_writer.h"

namespace {

// Smooth gradients, a few hard edges and noise, as in a photograph; changed
// rectangles in B.
std::vector<std::uint8_t> Picture(int w, int h, bool changed) {
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(w) * h * 3);
    std::uint32_t seed = 0x9E3779B9u;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
            const int n = static_cast<int>(seed % 23) - 11;
            const int edge = ((x / 97 + y / 61) & 1) ? 30 : 0;
            int c[3] = {x * 255 / w + n, y * 255 / h + edge + n, (x + y) * 127 / (w + h) + 64 + n};
            if (changed && (x / 256) % 7 == 3 && (y / 256) % 5 == 2) c[0] = 255 - c[0];
            std::uint8_t* p = bgr.data() + (static_cast<std::size_t>(y) * w + x) * 3;
            for (int k = 0; k < 3; ++k) p[2 - k] = static_cast<std::uint8_t>(c[k] < 0 ? 0 : c[k] > 255 ? 255 : c[k]);
        }
    return bgr;
}

void WriteBmp(const std::string& file, int w, int h, const std::vector<std::uint8_t>& bgr) {
    const std::size_t stride = (static_cast<std::size_t>(w) * 3 + 3) & ~std::size_t{3};
    std::vector<std::uint8_t> out(54 + stride * h, 0);
    auto put = [&](int at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    out[0] = 'B', out[1] = 'M';
    put(2, static_cast<std::uint32_t>(out.size()), 4);
    put(10, 54, 4), put(14, 40, 4), put(18, w, 4), put(22, h, 4), put(26, 1, 2), put(28, 24, 2);
    for (int y = 0; y < h; ++y)
        std::memcpy(out.data() + 54 + stride * (h - 1 - y), bgr.data() + static_cast<std::size_t>(y) * w * 3,
                    static_cast<std::size_t>(w) * 3);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

struct Rows {
    const std::vector<std::uint8_t>* bgr;
    int w;
};

const unsigned char* RowOf(void* client, int y, unsigned char*) {
    const auto* r = static_cast<const Rows*>(client);
    return r->bgr->data() + static_cast<std::size_t>(y) * r->w * 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: duvo-make-big-pair bmp|jpg|png WIDTH HEIGHT A B\n");
        return 2;
    }
    const std::string kind = argv[1];
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    for (int i = 0; i < 2; ++i) {
        const std::vector<std::uint8_t> bgr = Picture(w, h, i == 1);
        const std::string file = argv[4 + i];
        if (kind == "bmp") {
            WriteBmp(file, w, h, bgr);
        } else if (kind == "jpg") {
            Rows rows{&bgr, w};
            duvo::JpegEncodeRequest request;
            request.width = w;
            request.height = h;
            request.rows = RowOf;
            request.client = &rows;
            const auto bytes = duvo::EncodeJpeg(request);
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        } else {
            duvo::PngBlockWriter writer(w, h, file);
            writer.Block(0, h, bgr.data(), static_cast<std::ptrdiff_t>(w) * 3);
            writer.Finish();
        }
    }
    return 0;
}
