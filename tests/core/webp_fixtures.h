// WebP files for the tests, written by libwebp's own encoders from pixels
// the tests make.
#pragma once

#include <webp/decode.h>
#include <webp/encode.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

namespace webptest {

using Bytes = std::vector<std::uint8_t>;

// Pixels of 3 or 4 channels, top row first: smooth gradients with noise
// (a lossy encoder keeps them close) and, with alpha, every kind of alpha.
inline Bytes Pixels(int width, int height, int channels, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes p(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = p.data() + (static_cast<std::size_t>(y) * width + x) * channels;
            for (int c = 0; c < 3; ++c) px[c] = static_cast<std::uint8_t>(x * 3 + y * 2 + c * 60 + rng() % 8);
            if (channels == 4) {
                const int kind = (x / 3 + y) % 4;  // opaque, transparent, half, random
                px[3] = kind == 0 ? 255 : kind == 1 ? 0 : kind == 2 ? 128 : static_cast<std::uint8_t>(rng());
            }
        }
    return p;
}

// One of libwebp's simple encoders: lossless or lossy (quality 80), RGB or RGBA.
inline Bytes Encode(const Bytes& pixels, int width, int height, int channels, bool lossless) {
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    const int stride = width * channels;
    if (lossless)
        size = channels == 4 ? WebPEncodeLosslessRGBA(pixels.data(), width, height, stride, &out)
                             : WebPEncodeLosslessRGB(pixels.data(), width, height, stride, &out);
    else
        size = channels == 4 ? WebPEncodeRGBA(pixels.data(), width, height, stride, 80, &out)
                             : WebPEncodeRGB(pixels.data(), width, height, stride, 80, &out);
    if (size == 0) throw std::runtime_error("libwebp could not encode");
    Bytes bytes(out, out + size);
    WebPFree(out);
    return bytes;
}

// libwebp's own decode of a whole still file, as RGB or RGBA rows.
inline Bytes Decode(const Bytes& file, int channels, int* width = nullptr, int* height = nullptr) {
    int w = 0, h = 0;
    std::uint8_t* out = channels == 4 ? WebPDecodeRGBA(file.data(), file.size(), &w, &h)
                                      : WebPDecodeRGB(file.data(), file.size(), &w, &h);
    if (!out) throw std::runtime_error("libwebp could not decode");
    Bytes pixels(out, out + static_cast<std::size_t>(w) * h * channels);
    WebPFree(out);
    if (width) *width = w;
    if (height) *height = h;
    return pixels;
}

}  // namespace webptest
