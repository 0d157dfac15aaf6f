// Pictures for the report's tests, drawn from their recipe: flat colors and
// rows of word-like blocks, so that a pair looks like two screenshots of an
// application, and the changes between them are known rectangles.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "codecs/png/png_writer.h"

namespace duvo::test {

struct Rgb {
    std::uint8_t r, g, b;
};

class Canvas {
public:
    Canvas(int width, int height, Rgb fill)
        : w_(width), h_(height), bgr_(static_cast<std::size_t>(width) * height * 3) {
        Fill(0, 0, width, height, fill);
    }
    int Width() const { return w_; }
    int Height() const { return h_; }

    void Fill(int x, int y, int w, int h, Rgb c) {
        for (int yy = std::max(0, y); yy < std::min(h_, y + h); ++yy)
            for (int xx = std::max(0, x); xx < std::min(w_, x + w); ++xx) Set(xx, yy, c);
    }
    void Frame(int x, int y, int w, int h, Rgb c) {
        Fill(x, y, w, 1, c);
        Fill(x, y + h - 1, w, 1, c);
        Fill(x, y, 1, h, c);
        Fill(x + w - 1, y, 1, h, c);
    }
    void Set(int x, int y, Rgb c) {
        std::uint8_t* p = &bgr_[(static_cast<std::size_t>(y) * w_ + x) * 3];
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
    }
    // Lines of "words" (blocks of glyph height) in a box, as greeked text.
    void Text(int x, int y, int width, int lines, std::uint32_t seed, Rgb c, int glyph = 7, int lineGap = 16) {
        for (int line = 0; line < lines; ++line) {
            int at = x;
            const int end = x + (line + 1 == lines && lines > 1 ? width * 3 / 5 : width);
            while (at < end) {
                seed = seed * 1103515245u + 12345u;
                const int word = 14 + static_cast<int>((seed >> 16) % 46);
                Fill(at, y + line * lineGap, std::min(word, end - at), glyph, c);
                at += word + 6;
            }
        }
    }
    const std::vector<std::uint8_t>& Bgr() const { return bgr_; }

    void WritePng(const std::string& file) const {
        PngBlockWriter writer(w_, h_, file);
        writer.Block(0, h_, bgr_.data(), static_cast<std::ptrdiff_t>(w_) * 3);
        writer.Finish();
    }
    // A plain 24-bit bitmap, bottom-up rows padded to four bytes.
    void WriteBmp(const std::string& file) const {
        const std::uint32_t stride = (static_cast<std::uint32_t>(w_) * 3 + 3) & ~3u;
        const std::uint32_t size = 54 + stride * static_cast<std::uint32_t>(h_);
        std::vector<std::uint8_t> out;
        const auto put = [&](std::uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        out.push_back('B');
        out.push_back('M');
        put(size, 4);
        put(0, 4);
        put(54, 4);
        put(40, 4);
        put(static_cast<std::uint32_t>(w_), 4);
        put(static_cast<std::uint32_t>(h_), 4);
        put(1, 2);
        put(24, 2);
        for (int i = 0; i < 6; ++i) put(0, 4);
        for (int y = h_ - 1; y >= 0; --y) {
            const std::uint8_t* row = &bgr_[static_cast<std::size_t>(y) * w_ * 3];
            out.insert(out.end(), row, row + static_cast<std::size_t>(w_) * 3);
            out.resize(out.size() + (stride - static_cast<std::uint32_t>(w_) * 3), 0);
        }
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    }

private:
    int w_, h_;
    std::vector<std::uint8_t> bgr_;
};

// What may differ between two screenshots of the made-up application.
struct ScreenChanges {
    Rgb button{37, 99, 235};  // the primary button
    int buttonShift = 0;      // moves it right
    std::uint32_t textSeed = 7;
    bool badge = false;      // a notification badge in the top bar
    bool onePixel = false;   // one pixel of the content a shade off
    bool extraCard = false;  // a third card
};

// A screenshot-like picture of width x height (scaled from a 1280 x 720
// layout, so that any size shows the same screen).
inline Canvas Screen(int width, int height, const ScreenChanges& c = {}) {
    Canvas s(width, height, {245, 246, 248});
    const auto X = [&](int v) { return v * width / 1280; };
    const auto Y = [&](int v) { return v * height / 720; };
    s.Fill(0, 0, width, Y(56), {31, 42, 68});            // top bar
    s.Fill(X(24), Y(18), X(96), Y(20), {96, 165, 250});  // logo
    for (int i = 0; i < 4; ++i) s.Fill(X(180 + i * 110), Y(24), X(70), Y(8), {203, 213, 225});
    s.Fill(X(1196), Y(14), X(28), Y(28), {226, 232, 240});  // avatar
    if (c.badge) s.Fill(X(1214), Y(10), X(14), Y(14), {239, 68, 68});
    s.Fill(0, Y(56), X(220), height - Y(56), {233, 236, 241});  // side bar
    for (int i = 0; i < 7; ++i) s.Fill(X(24), Y(88 + i * 40), X(120 + (i * 37) % 50), Y(9), {100, 116, 139});
    s.Fill(X(16), Y(80), X(188), Y(26), {219, 234, 254});
    const int cards = c.extraCard ? 3 : 2;
    for (int i = 0; i < cards; ++i) {  // cards
        const int x = X(252 + i * 336), y = Y(88), w = X(312), h = Y(260);
        s.Fill(x, y, w, h, {255, 255, 255});
        s.Frame(x, y, w, h, {220, 224, 230});
        s.Fill(x + X(20), y + Y(20), X(140), Y(12), {30, 41, 59});
        s.Text(x + X(20), y + Y(52), w - X(40), 8, c.textSeed + static_cast<std::uint32_t>(i), {120, 130, 145},
               std::max(1, Y(7)), std::max(2, Y(20)));
    }
    s.Fill(X(252), Y(380), X(980), Y(260), {255, 255, 255});  // the form
    s.Frame(X(252), Y(380), X(980), Y(260), {220, 224, 230});
    for (int i = 0; i < 3; ++i) {
        s.Fill(X(284), Y(412 + i * 60), X(110), Y(9), {71, 85, 105});
        s.Frame(X(420), Y(404 + i * 60), X(420), Y(30), {203, 213, 225});
    }
    s.Fill(X(420 + c.buttonShift), Y(590), X(150), Y(34), c.button);
    s.Fill(X(450 + c.buttonShift), Y(603), X(90), Y(8), {255, 255, 255});
    if (c.onePixel) {
        const int x = X(900), y = Y(500);
        s.Set(x, y, {250, 240, 240});
    }
    return s;
}

}  // namespace duvo::test
