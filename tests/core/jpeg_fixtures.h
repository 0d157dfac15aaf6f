// JPEG fixtures made by the library's own compressor from synthetic pictures,
// and a plain library decode of the same bytes to compare against. The
// fixtures use the library's default error handling: their inputs are valid,
// and a damaged file given to ReferenceDecode only ever raises warnings.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// clang-format off
#include <cstdio>  // the library's header needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

namespace jpegtest {

using Bytes = std::vector<std::uint8_t>;

enum class Kind { Color, Gray, Cmyk, CmykAdobe };

struct EncodeRecipe {
    int width = 64;
    int height = 48;
    int quality = 90;
    Kind kind = Kind::Color;
    int hSamp = 2;  // luma sampling: 2x2 is 4:2:0, 1x1 is 4:4:4
    int vSamp = 2;
    bool progressive = false;
    unsigned restartInterval = 0;  // in MCUs
};

inline int Components(Kind kind) { return kind == Kind::Color ? 3 : kind == Kind::Gray ? 1 : 4; }

// A photo-like picture: smooth gradients, a few hard edges and deterministic
// noise. Components per pixel follow the kind (3 RGB, 1 gray, 4 inks).
inline Bytes SyntheticPicture(const EncodeRecipe& s) {
    const int comps = Components(s.kind);
    Bytes out;
    out.reserve(static_cast<std::size_t>(s.width) * s.height * comps);
    std::uint32_t seed = 0x9E3779B9u;
    auto clamp = [](double v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;  // xorshift
            const double fx = static_cast<double>(x) / s.width, fy = static_cast<double>(y) / s.height;
            const int n = static_cast<int>(seed % 17) - 8, edge = ((x / 16 + y / 16) & 1) ? 40 : 0;
            const std::uint8_t v[4] = {clamp(255 * fx + n), clamp(255 * fy + edge + n),
                                       clamp(128 + 100 * std::sin(6.28 * (fx + fy)) + n), clamp(60 * fx * fy + n)};
            if (s.kind == Kind::Gray)
                out.push_back(clamp((v[0] + v[1] + v[2]) / 3.0));
            else
                out.insert(out.end(), v, v + comps);
        }
    return out;
}

// Compresses the given pixels (components per pixel after the kind; for
// CmykAdobe they are stored as given, that is already inverted).
inline Bytes EncodePixels(const EncodeRecipe& s, const Bytes& pixels) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(s.width);
    c.image_height = static_cast<JDIMENSION>(s.height);
    c.input_components = Components(s.kind);
    c.in_color_space = s.kind == Kind::Color ? JCS_RGB : s.kind == Kind::Gray ? JCS_GRAYSCALE : JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, s.quality, TRUE);
    if (s.kind == Kind::Color) {
        c.comp_info[0].h_samp_factor = s.hSamp;
        c.comp_info[0].v_samp_factor = s.vSamp;
    }
    // The library marks every CMYK file it writes as Adobe's; a plain file
    // goes without the marker.
    if (s.kind == Kind::Cmyk) c.write_Adobe_marker = FALSE;
    c.restart_interval = s.restartInterval;
    if (s.progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    const std::size_t rowBytes = static_cast<std::size_t>(s.width) * c.input_components;
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + c.next_scanline * rowBytes);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    Bytes out(buffer, buffer + size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return out;
}

inline Bytes EncodeJpeg(const EncodeRecipe& s) { return EncodePixels(s, SyntheticPicture(s)); }

struct DecodeSpec {
    J_COLOR_SPACE outSpace = JCS_EXT_BGR;
    bool quantize = false;
    bool twoPass = true;
    J_DITHER_MODE dither = JDITHER_FS;
    J_DCT_METHOD dct = JDCT_ISLOW;
    bool smoothing = true;
    unsigned scaleDenom = 1;
    std::vector<std::uint8_t> externalMap{};  // red, green, blue triples
};

struct Decoded {
    int width = 0;
    int height = 0;
    int components = 0;                   // of the rows: 1 for indices
    Bytes rows;                           // top row first, tightly packed
    std::vector<std::uint32_t> colormap;  // 0x00BBGGRR per entry when quantized
    bool sawAdobe = false;
};

// The library alone, with the given settings, from the memory source.
inline Decoded ReferenceDecode(const Bytes& bytes, const DecodeSpec& s) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    err.output_message = [](j_common_ptr) {};  // warnings stay quiet
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = s.outSpace;
    d.scale_num = 1;
    d.scale_denom = s.scaleDenom;
    d.do_block_smoothing = s.smoothing;
    d.dct_method = s.dct;
    if (s.quantize) {
        d.quantize_colors = TRUE;
        d.desired_number_of_colors = 236;  // the image's count
        d.two_pass_quantize = s.twoPass;
        d.dither_mode = s.dither;
        if (!s.externalMap.empty()) {
            const int n = static_cast<int>(s.externalMap.size() / 3);
            d.colormap = (*d.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d), JPOOL_IMAGE, n, 3);
            for (int i = 0; i < n * 3; ++i) d.colormap[i % 3][i / 3] = s.externalMap[i];
            d.actual_number_of_colors = n;
        }
    }
    jpeg_start_decompress(&d);
    Decoded out{static_cast<int>(d.output_width), static_cast<int>(d.output_height), d.output_components, {}, {},
                d.saw_Adobe_marker != 0};
    const std::size_t rowBytes = static_cast<std::size_t>(out.width) * out.components;
    out.rows.resize(rowBytes * out.height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out.rows.data() + d.output_scanline * rowBytes;
        jpeg_read_scanlines(&d, &row, 1);
    }
    for (int i = 0; s.quantize && i < d.actual_number_of_colors; ++i) {
        const std::uint32_t r = d.colormap[0][i];
        const std::uint32_t g = d.out_color_components >= 3 ? d.colormap[1][i] : r;
        const std::uint32_t b = d.out_color_components >= 3 ? d.colormap[2][i] : r;
        out.colormap.push_back(r | (g << 8) | (b << 16));
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

// Color of pixel (x, y) of a reference decode as 0x00BBGGRR.
inline std::uint32_t ReferenceColor(const Decoded& d, int x, int y) {
    const std::uint8_t* p = d.rows.data() + (static_cast<std::size_t>(y) * d.width + x) * d.components;
    if (d.components == 1) return d.colormap.empty() ? (p[0] * 0x010101u) : d.colormap[p[0]];
    if (d.components == 3) return p[2] | (p[1] << 8) | (static_cast<std::uint32_t>(p[0]) << 16);  // BGR rows
    return 0xFFFFFFFFu;
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Offset of the n-th (0-based) marker 0xFF code, or npos.
inline std::size_t FindMarker(const Bytes& bytes, std::uint8_t code, int n = 0) {
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == code && n-- == 0) return i;
    return std::string::npos;
}

}  // namespace jpegtest
