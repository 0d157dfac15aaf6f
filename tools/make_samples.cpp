// Writes the sample picture pairs into a folder, and checks pictures DUVO
// ships with.
//
//   duvo-make-samples OUTDIR        writes the samples (BMP, JPEG and GIF)
//   duvo-make-samples --check ROOT  reads ROOT/samples and ROOT/src/widgets/resources
//                                   back through the core and libjpeg and
//                                   compares them with what they should hold
//
// The samples are drawn by code (a small landscape with grain, so that they
// look like photographs to a comparison) and written with a BMP writer of our
// own and libjpeg, so that reading them back through the core's BMP reader is
// an independent check of that reader.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "graphics/bitmap.h"
#include "graphics/graphics.h"
#include "loading/open_routes.h"
#include "rtl/exceptions.h"
#include "rtl/streams.h"

namespace {

struct Rgb {
    double r, g, b;
};

// A top-down 24-bit picture, three bytes per pixel in R, G, B order.
struct Picture {
    int w = 0, h = 0;
    std::vector<std::uint8_t> rgb;
    std::uint8_t* Row(int y) { return rgb.data() + static_cast<std::size_t>(y) * w * 3; }
    const std::uint8_t* Row(int y) const { return rgb.data() + static_cast<std::size_t>(y) * w * 3; }
};

enum class Variant {
    Original,
    // The same scene with a few areas changed: a red ball in the grass, a lit
    // window, one cloud gone.
    Changed,
};

Rgb Mix(Rgb a, Rgb b, double t) {
    t = std::fmin(1.0, std::fmax(0.0, t));
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

double Smooth(double e0, double e1, double x) {
    double t = std::fmin(1.0, std::fmax(0.0, (x - e0) / (e1 - e0)));
    return t * t * (3 - 2 * t);
}

// Deterministic grain in [-1, 1]; the same pixel gets the same value in every
// variant so unchanged areas stay identical.
double Grain(int x, int y) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return (h & 0xFFFF) / 32767.5 - 1.0;
}

// The scene in unit coordinates (u across, v down, both 0..1), so that any
// picture size shows the same landscape.
Rgb Scene(double u, double v, double aspect, Variant variant) {
    const double horizon = 0.55;
    Rgb c;
    if (v < horizon) {
        c = Mix({60, 110, 200}, {190, 215, 240}, v / horizon);
        // Sun with a soft glow.
        double du = (u - 0.78) * aspect, dv = v - 0.2;
        double d = std::sqrt(du * du + dv * dv);
        c = Mix(c, {255, 240, 170}, 0.6 * (1 - Smooth(0.0, 0.25, d)));
        c = Mix(c, {255, 235, 120}, 1 - Smooth(0.075, 0.085, d));
        // Clouds: groups of soft ellipses.
        struct Blob {
            double u, v, ru, rv;
            bool keptInChanged;
        };
        const Blob clouds[] = {
            {0.20, 0.16, 0.10, 0.045, true},  {0.27, 0.13, 0.08, 0.05, true},  {0.13, 0.18, 0.07, 0.035, true},
            {0.52, 0.30, 0.09, 0.035, false}, {0.58, 0.28, 0.06, 0.04, false},
        };
        for (const Blob& b : clouds) {
            if (variant == Variant::Changed && !b.keptInChanged) continue;
            double e = std::pow((u - b.u) / b.ru, 2) + std::pow((v - b.v) / b.rv, 2);
            c = Mix(c, {245, 245, 250}, 0.9 * (1 - Smooth(0.6, 1.0, e)));
        }
    } else {
        c = Mix({95, 160, 70}, {40, 100, 35}, (v - horizon) / (1 - horizon));
    }
    // Far hills.
    double hill = horizon - 0.09 - 0.05 * std::sin(u * 9.0 + 0.7) - 0.03 * std::sin(u * 23.0);
    if (v > hill && v < horizon + 0.02) c = Mix({80, 120, 110}, c, Smooth(horizon - 0.06, horizon + 0.02, v));
    // A path winding down to the front.
    double pathCentre = 0.55 + 0.12 * std::sin(v * 9.0);
    double pathHalf = 0.005 + 0.1 * Smooth(horizon, 1.0, v);
    if (v > horizon && std::fabs(u - pathCentre) < pathHalf) c = Mix(c, {170, 150, 110}, 0.85);
    // House: walls, roof, door and window.
    if (u > 0.16 && u < 0.38 && v > 0.46 && v < 0.72) {
        c = Mix({215, 185, 140}, {180, 150, 110}, (v - 0.46) / 0.26);
        if (u > 0.21 && u < 0.26 && v > 0.58) c = {90, 55, 35};
        if (u > 0.29 && u < 0.35 && v > 0.52 && v < 0.62) {
            c = variant == Variant::Changed ? Rgb{255, 220, 90} : Rgb{140, 180, 215};
            if (std::fabs(u - 0.32) < 0.004 || std::fabs(v - 0.57) < 0.005) c = {240, 240, 240};
        }
    }
    {
        double half = 0.14 * (v - 0.34) / 0.12;  // roof widens downwards
        if (v > 0.34 && v <= 0.46 && std::fabs(u - 0.27) < half)
            c = Mix({190, 60, 45}, {140, 40, 30}, (v - 0.34) / 0.12);
    }
    // Tree: trunk and crown.
    if (std::fabs(u - 0.08) < 0.012 && v > 0.50 && v < 0.78) c = {100, 70, 40};
    {
        double du = (u - 0.08) * aspect, dv = v - 0.45;
        double d = std::sqrt(du * du + dv * dv);
        if (d < 0.13) c = Mix({30, 110, 40}, {20, 70, 25}, (du + dv + 0.13) / 0.26);
    }
    if (variant == Variant::Changed) {
        double du = (u - 0.72) * aspect, dv = v - 0.84;
        double d = std::sqrt(du * du + dv * dv);
        if (d < 0.06) c = Mix({235, 40, 40}, {150, 15, 15}, (du + dv + 0.06) / 0.12);
    }
    return c;
}

Picture Render(int w, int h, Variant variant) {
    Picture p{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 3)};
    const double aspect = static_cast<double>(w) / h;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = p.Row(y);
        for (int x = 0; x < w; ++x) {
            Rgb c = Scene((x + 0.5) / w, (y + 0.5) / h, aspect, variant);
            double g = 4.0 * Grain(x, y);
            const double ch[3] = {c.r + g, c.g + g, c.b + g};
            for (int k = 0; k < 3; ++k)
                row[x * 3 + k] = static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, ch[k]))));
        }
    }
    return p;
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A palette of at most 256 colours made by median cut, and each pixel's
// index into it (the nearest entry).
struct Indexed {
    std::vector<std::array<std::uint8_t, 3>> palette;
    std::vector<std::uint8_t> index;  // top-down, one byte per pixel
};

// Each pixel's index into the palette: the nearest entry.
void IndexInto(const Picture& p, Indexed& out) {
    out.index.resize(static_cast<std::size_t>(p.w) * p.h);
    for (std::size_t i = 0; i < out.index.size(); ++i) {
        int best = 0, bestDistance = 1 << 30;
        for (std::size_t e = 0; e < out.palette.size(); ++e) {
            int d = 0;
            for (int k = 0; k < 3; ++k) {
                const int diff = p.rgb[i * 3 + k] - out.palette[e][k];
                d += diff * diff;
            }
            if (d < bestDistance) {
                bestDistance = d;
                best = static_cast<int>(e);
            }
        }
        out.index[i] = static_cast<std::uint8_t>(best);
    }
}

Indexed MedianCut(const Picture& p) {
    using Color = std::array<std::uint8_t, 3>;
    std::vector<Color> pixels(static_cast<std::size_t>(p.w) * p.h);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = {p.rgb[i * 3], p.rgb[i * 3 + 1], p.rgb[i * 3 + 2]};
    struct Box {
        std::size_t begin, end;
    };
    auto widest = [&](const Box& box, int& channel) {
        int best = -1;
        for (int k = 0; k < 3; ++k) {
            int lo = 255, hi = 0;
            for (std::size_t i = box.begin; i < box.end; ++i) {
                lo = std::min<int>(lo, pixels[i][k]);
                hi = std::max<int>(hi, pixels[i][k]);
            }
            if (hi - lo > best) {
                best = hi - lo;
                channel = k;
            }
        }
        return best;
    };
    std::vector<Box> boxes{{0, pixels.size()}};
    while (boxes.size() < 256) {
        std::size_t pick = boxes.size();
        int pickChannel = 0, pickRange = 0;
        for (std::size_t b = 0; b < boxes.size(); ++b) {
            if (boxes[b].end - boxes[b].begin < 2) continue;
            int channel = 0;
            const int range = widest(boxes[b], channel);
            if (range > pickRange) {
                pickRange = range;
                pickChannel = channel;
                pick = b;
            }
        }
        if (pick == boxes.size()) break;
        Box box = boxes[pick];
        auto first = pixels.begin() + static_cast<std::ptrdiff_t>(box.begin);
        auto last = pixels.begin() + static_cast<std::ptrdiff_t>(box.end);
        auto mid = first + (last - first) / 2;
        std::nth_element(first, mid, last,
                         [&](const Color& x, const Color& y) { return x[pickChannel] < y[pickChannel]; });
        const std::size_t split = box.begin + static_cast<std::size_t>(mid - first);
        boxes[pick] = {box.begin, split};
        boxes.push_back({split, box.end});
    }
    Indexed out;
    for (const Box& box : boxes) {
        double sum[3] = {0, 0, 0};
        for (std::size_t i = box.begin; i < box.end; ++i)
            for (int k = 0; k < 3; ++k) sum[k] += pixels[i][k];
        const double n = static_cast<double>(box.end - box.begin);
        out.palette.push_back({static_cast<std::uint8_t>(std::lround(sum[0] / n)),
                               static_cast<std::uint8_t>(std::lround(sum[1] / n)),
                               static_cast<std::uint8_t>(std::lround(sum[2] / n))});
    }
    IndexInto(p, out);
    return out;
}

// The picture as its 8-bit file holds it: its own median-cut palette, or
// the one given.
Picture Quantized(const Picture& p, const Indexed* palette = nullptr) {
    Indexed indexed;
    if (palette) {
        indexed.palette = palette->palette;
        IndexInto(p, indexed);
    } else {
        indexed = MedianCut(p);
    }
    Picture q = p;
    for (std::size_t i = 0; i < indexed.index.size(); ++i)
        for (int k = 0; k < 3; ++k) q.rgb[i * 3 + k] = indexed.palette[indexed.index[i]][k];
    return q;
}

// An uncompressed bottom-up BMP, 24 bits per pixel or 8 with a median-cut
// palette (the different-size sample is stored that way, which keeps the
// samples small and gives the 8-bit reader something to read).
std::vector<std::uint8_t> EncodeBmp(const Picture& p, int bits) {
    Indexed indexed;
    if (bits == 8) indexed = MedianCut(p);
    const std::uint32_t stride = ((static_cast<std::uint32_t>(p.w) * bits + 31) / 32) * 4;
    const auto colors = static_cast<std::uint32_t>(indexed.palette.size());
    const std::uint32_t offset = 14 + 40 + colors * 4;
    const std::uint32_t imageSize = stride * p.h;
    std::vector<std::uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    Put32(out, offset + imageSize);
    Put32(out, 0);
    Put32(out, offset);
    Put32(out, 40);
    Put32(out, p.w);
    Put32(out, p.h);
    Put16(out, 1);
    Put16(out, bits);
    Put32(out, 0);
    Put32(out, imageSize);
    Put32(out, 2835);
    Put32(out, 2835);
    Put32(out, colors);
    Put32(out, 0);
    for (const auto& c : indexed.palette) out.insert(out.end(), {c[2], c[1], c[0], 0});
    for (int y = p.h - 1; y >= 0; --y) {
        const std::uint8_t* src = p.Row(y);
        std::vector<std::uint8_t> row(stride, 0);
        for (int x = 0; x < p.w; ++x) {
            if (bits == 24) {
                row[x * 3] = src[x * 3 + 2];
                row[x * 3 + 1] = src[x * 3 + 1];
                row[x * 3 + 2] = src[x * 3];
            } else {
                row[x] = indexed.index[static_cast<std::size_t>(y) * p.w + x];
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// libjpeg reports fatal errors through error_exit, which must not return.
[[noreturn]] void JpegFail(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    throw std::runtime_error(std::string("libjpeg: ") + text);
}

// A GIF89a of one frame with the given palette as its global table,
// LZW-coded from 8-bit codes with a clear whenever the table is full.
std::vector<std::uint8_t> EncodeGif(const Picture& p, const Indexed& palette) {
    Indexed indexed;
    indexed.palette = palette.palette;
    IndexInto(p, indexed);
    std::vector<std::uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    Put16(out, static_cast<std::uint32_t>(p.w));
    Put16(out, static_cast<std::uint32_t>(p.h));
    out.insert(out.end(), {0xF7, 0, 0});  // a global table of 256 entries
    for (std::size_t i = 0; i < 256; ++i) {
        const auto c = i < indexed.palette.size() ? indexed.palette[i] : std::array<std::uint8_t, 3>{0, 0, 0};
        out.insert(out.end(), c.begin(), c.end());
    }
    out.push_back(0x2C);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<std::uint32_t>(p.w));
    Put16(out, static_cast<std::uint32_t>(p.h));
    out.push_back(0);
    out.push_back(8);

    constexpr int kClear = 256, kEnd = 257;
    std::vector<std::uint8_t> codes;
    std::uint32_t bits = 0;
    int held = 0, width = 9, next = kEnd + 1;
    auto put = [&](int code) {
        bits |= static_cast<std::uint32_t>(code) << held;
        for (held += width; held >= 8; held -= 8, bits >>= 8) codes.push_back(static_cast<std::uint8_t>(bits));
    };
    std::vector<int> table(4096 * 256, -1);  // (prefix, byte) -> code
    put(kClear);
    int current = indexed.index[0];
    for (std::size_t i = 1; i < indexed.index.size(); ++i) {
        const int byte = indexed.index[i];
        int& entry = table[static_cast<std::size_t>(current) * 256 + byte];
        if (entry >= 0) {
            current = entry;
            continue;
        }
        put(current);
        if (next < 4096) {
            entry = next++;
            // The decoder widens its codes one code later than we add.
            if (next > (1 << width) && width < 12) ++width;
        } else {
            put(kClear);
            std::fill(table.begin(), table.end(), -1);
            width = 9;
            next = kEnd + 1;
        }
        current = byte;
    }
    put(current);
    put(kEnd);
    if (held > 0) codes.push_back(static_cast<std::uint8_t>(bits));
    for (std::size_t i = 0; i < codes.size(); i += 255) {
        const std::size_t n = std::min<std::size_t>(255, codes.size() - i);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), codes.begin() + static_cast<std::ptrdiff_t>(i),
                   codes.begin() + static_cast<std::ptrdiff_t>(i + n));
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

std::vector<std::uint8_t> EncodeJpeg(const Picture& p, int quality) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = JpegFail;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_create_compress(&cinfo);
    try {
        jpeg_mem_dest(&cinfo, &buffer, &size);
        cinfo.image_width = p.w;
        cinfo.image_height = p.h;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = const_cast<std::uint8_t*>(p.Row(static_cast<int>(cinfo.next_scanline)));
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
    } catch (...) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        throw;
    }
    jpeg_destroy_compress(&cinfo);
    std::vector<std::uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

Picture DecodeJpeg(const std::vector<std::uint8_t>& bytes) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = JpegFail;
    jpeg_create_decompress(&cinfo);
    Picture p;
    try {
        jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_RGB;
        jpeg_start_decompress(&cinfo);
        p.w = static_cast<int>(cinfo.output_width);
        p.h = static_cast<int>(cinfo.output_height);
        p.rgb.resize(static_cast<std::size_t>(p.w) * p.h * 3);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = p.Row(static_cast<int>(cinfo.output_scanline));
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
    } catch (...) {
        jpeg_destroy_decompress(&cinfo);
        throw;
    }
    jpeg_destroy_decompress(&cinfo);
    return p;
}

struct Sample {
    const char* name;
    int w, h;
    Variant variant;
    int bmpBits;
    bool gif;  // also written as a 256-color GIF
};

// Pairs: pejzaz/pejzaz-kopia are equal, pejzaz/pejzaz-zmiany differ in a few
// areas, pejzaz/pejzaz-300x200 differ in size; pejzaz.bmp against pejzaz.jpg
// differs slightly everywhere.
const Sample kSamples[] = {
    {"pejzaz", 320, 240, Variant::Original, 24, true},
    {"pejzaz-kopia", 320, 240, Variant::Original, 24, false},
    {"pejzaz-zmiany", 320, 240, Variant::Changed, 24, true},
    {"pejzaz-300x200", 300, 200, Variant::Original, 8, false},
};
constexpr int kJpegQuality = 85;

// Both GIFs use the original's palette, so the areas that did not change
// stay equal pixel for pixel.
Indexed GifPalette() { return MedianCut(Render(320, 240, Variant::Original)); }

int Write(const std::string& dir) {
    const Indexed gifPalette = GifPalette();
    for (const Sample& s : kSamples) {
        Picture p = Render(s.w, s.h, s.variant);
        WriteFile(dir + "/" + s.name + ".bmp", EncodeBmp(p, s.bmpBits));
        WriteFile(dir + "/" + s.name + ".jpg", EncodeJpeg(p, kJpegQuality));
        if (s.gif) WriteFile(dir + "/" + s.name + ".gif", EncodeGif(p, gifPalette));
    }
    return 0;
}

// ---------------------------------------------------------------- checks

int failures = 0;

void Expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

duvo::TBitmap* LoadBitmap(duvo::TPicture& picture, const std::string& path) {
    picture.LoadFile(path);
    auto* bitmap = dynamic_cast<duvo::TBitmap*>(picture.Graphic());
    if (!bitmap) throw std::runtime_error(path + " did not load as a bitmap");
    return bitmap;
}

// Pixels read through the bitmap's surface against the expected picture;
// returns the largest channel difference.
int LargestDifference(duvo::TBitmap& bitmap, const Picture& expected) {
    int worst = 0;
    for (int y = 0; y < expected.h; ++y) {
        const std::uint8_t* row = expected.Row(y);
        for (int x = 0; x < expected.w; ++x) {
            const auto c = static_cast<std::uint32_t>(bitmap.Canvas().ReadPixel(x, y));
            const int got[3] = {static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                                static_cast<int>((c >> 16) & 0xFF)};
            for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(got[k] - row[x * 3 + k]));
        }
    }
    return worst;
}

void CheckSamples(const std::string& dir) {
    const Indexed gifPalette = GifPalette();
    for (const Sample& s : kSamples) {
        const Picture drawn = Render(s.w, s.h, s.variant);
        const Picture expected = s.bmpBits == 8 ? Quantized(drawn) : drawn;
        const std::string bmp = dir + "/" + s.name + ".bmp";
        duvo::TPicture picture;
        duvo::TBitmap* bitmap = LoadBitmap(picture, bmp);
        Expect(bitmap->Width() == s.w && bitmap->Height() == s.h, bmp + ": size");
        if (bitmap->Width() == s.w && bitmap->Height() == s.h)
            Expect(LargestDifference(*bitmap, expected) == 0, bmp + ": pixels differ from the drawing");

        const std::string jpg = dir + "/" + s.name + ".jpg";
        Picture decoded = DecodeJpeg(ReadFile(jpg));
        Expect(decoded.w == s.w && decoded.h == s.h, jpg + ": size");
        if (decoded.w == s.w && decoded.h == s.h) {
            double sum = 0;
            for (std::size_t i = 0; i < drawn.rgb.size(); ++i) sum += std::abs(decoded.rgb[i] - drawn.rgb[i]);
            const double mean = sum / static_cast<double>(drawn.rgb.size());
            Expect(mean > 0.0 && mean < 6.0, jpg + ": mean difference to the drawing " + std::to_string(mean));
        }

        if (!s.gif) continue;
        // The GIF through the codec: exactly the quantized drawing.
        const std::string gif = dir + "/" + s.name + ".gif";
        duvo::TPicture gifPicture;
        gifPicture.LoadFile(gif);
        duvo::TBitmap fromGif;
        fromGif.CopyFrom(gifPicture.Graphic());
        Expect(fromGif.Width() == s.w && fromGif.Height() == s.h, gif + ": size");
        if (fromGif.Width() == s.w && fromGif.Height() == s.h)
            Expect(LargestDifference(fromGif, Quantized(drawn, &gifPalette)) == 0,
                   gif + ": pixels differ from the drawing");
    }
    // The pairs really are what their names say.
    Expect(ReadFile(dir + "/pejzaz.bmp") == ReadFile(dir + "/pejzaz-kopia.bmp"), "BMP copy is not identical");
    Expect(ReadFile(dir + "/pejzaz.jpg") == ReadFile(dir + "/pejzaz-kopia.jpg"), "JPEG copy is not identical");
    const Picture a = Render(320, 240, Variant::Original), b = Render(320, 240, Variant::Changed);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < a.rgb.size(); i += 3)
        if (std::memcmp(&a.rgb[i], &b.rgb[i], 3) != 0) ++changed;
    const double share = static_cast<double>(changed) / (320.0 * 240.0);
    Expect(share > 0.01 && share < 0.15, "changed sample differs in " + std::to_string(share * 100) + "% of pixels");
}

struct Glyph {
    const char* name;
    int w, h;
};

void CheckResources(const std::string& dir) {
    const Glyph glyphs[] = {{"open.bmp", 40, 20},
                            {"compare.bmp", 32, 16},
                            {"about.bmp", 40, 20},
                            {"exit.bmp", 32, 16},
                            {"icon.bmp", 32, 32}};
    for (const Glyph& g : glyphs) {
        duvo::TPicture picture;
        duvo::TBitmap* bitmap = LoadBitmap(picture, dir + "/" + g.name);
        Expect(bitmap->Width() == g.w && bitmap->Height() == g.h, std::string(g.name) + ": size");
        // The bottom-left pixel is the transparent key and is not used by the drawing.
        Expect(bitmap->Canvas().ReadPixel(0, g.h - 1) == 0x00FF00FF, std::string(g.name) + ": transparent key");
    }
    {
        duvo::TPicture picture;
        duvo::TBitmap* bitmap = LoadBitmap(picture, dir + "/icon.bmp");
        Expect(bitmap->PixelKind() == duvo::pk4Bit, "icon.bmp: 16 colours");
    }
    // The scale in its stored form, read the way a window's picture is read.
    const std::vector<std::uint8_t> stored = ReadFile(dir + "/scale.dat");
    duvo::TMemoryStream stream;
    stream.Write(stored.data(), stored.size());
    stream.Seek(0, duvo::SeekOrigin::Begin);
    duvo::TPicture scale;
    scale.ReadData(stream);
    auto* bitmap = dynamic_cast<duvo::TBitmap*>(scale.Graphic());
    Expect(bitmap && bitmap->Width() == 150 && bitmap->Height() == 259, "scale.dat: a 150x259 bitmap");
    Expect(stream.Position() == static_cast<std::int64_t>(stored.size()), "scale.dat: read to its end");
    if (!bitmap || bitmap->Width() != 150 || bitmap->Height() != 259) return;
    Expect(bitmap->PixelKind() == duvo::pk24Bit, "scale.dat: 24 bits per pixel");
    struct Key {
        int row;
        std::uint32_t color;  // 0x00BBGGRR
    };
    const Key keys[] = {{0, 0x555555},   {7, 0x000000},   {20, 0x7F0000},  {34, 0xFF0000},  {48, 0x007F00},
                        {63, 0x00FF00},  {78, 0x7FFF00},  {93, 0xFFFF00},  {108, 0x00007F}, {123, 0x7F007F},
                        {137, 0xFF007F}, {151, 0xFF7F7F}, {164, 0x0000FF}, {179, 0x7F00FF}, {193, 0xFF00FF},
                        {208, 0xFF7FFF}, {222, 0x00FFFF}, {237, 0x7FFFFF}, {258, 0xFFFFFF}};
    for (const Key& k : keys)
        for (int x : {0, 75, 149})
            Expect(static_cast<std::uint32_t>(bitmap->Canvas().ReadPixel(x, k.row)) == k.color,
                   "scale.dat: row " + std::to_string(k.row) + " column " + std::to_string(x));
}

int Check(const std::string& root) {
    duvo::InitializeFormats();
    CheckSamples(root + "/samples");
    CheckResources(root + "/src/widgets/resources");
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("samples and built-in pictures read back as drawn\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return Check(argv[2]);
        if (argc == 2 && argv[1][0] != '-') return Write(argv[1]);
        std::fprintf(stderr, "usage: %s OUTDIR | --check ROOT\n", argv[0]);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
}
