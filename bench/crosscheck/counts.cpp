// Our side of the pixelmatch cross-check: for two PNG files of one size and
// each threshold given, the pixels whose colors differ, those over the
// threshold, and how many of those the anti-aliasing detector takes out.
//   duvo-crosscheck-counts A.png B.png T...
// prints one line per threshold:
//   threshold T exact N over N antialiased N counted N ms N
// where counted = over - antialiased, and ms is the processor time of the
// pass over the decoded pictures (threshold rule and detector, one thread),
// which a busy machine disturbs less than the wall time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <vector>

#include "compare/antialias.h"
#include "compare/perceptual.h"
#include "reference/png_spng.h"
#include "rtl/file_bytes.h"

namespace {

struct Packed {
    int width = 0, height = 0;
    std::vector<std::uint32_t> colors;
    const std::uint32_t* Row(int y) const { return colors.data() + static_cast<std::size_t>(y) * width; }
};

Packed Load(const char* name) {
    const auto file = duvo::FileBytes::Open(name);
    const duvo::PngDecoded png = duvo::DecodePng(file->Bytes(), duvo::kDefaultLimits);
    Packed p;
    const duvo::platform::Raster& r = *png.picture.raster;
    p.width = r.Width();
    p.height = r.Height();
    p.colors.resize(static_cast<std::size_t>(p.width) * p.height);
    for (int y = 0; y < p.height; ++y) {
        const std::uint8_t* row = r.Row(y);  // B, G, R bytes
        for (int x = 0; x < p.width; ++x)
            p.colors[static_cast<std::size_t>(y) * p.width + x] =
                row[3 * x + 2] | row[3 * x + 1] << 8 | static_cast<std::uint32_t>(row[3 * x]) << 16;
    }
    return p;
}

duvo::antialias::Window WindowAt(const Packed& p, int y) {
    duvo::antialias::Window w{{}, p.width};
    for (int k = 0; k < 5; ++k) {
        const int row = y - 2 + k;
        w.rows[k] = row >= 0 && row < p.height ? p.Row(row) : nullptr;
    }
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s A.png B.png THRESHOLD...\n", argv[0]);
        return 2;
    }
    try {
        const Packed a = Load(argv[1]), b = Load(argv[2]);
        if (a.width != b.width || a.height != b.height) {
            std::fprintf(stderr, "the pictures differ in size\n");
            return 2;
        }
        std::vector<std::uint8_t> over(static_cast<std::size_t>(a.width)), aa(over.size());
        for (int i = 3; i < argc; ++i) {
            const duvo::perceptual::Threshold rule(std::strtod(argv[i], nullptr));
            long exact = 0, overCount = 0, antialiased = 0;
            const std::clock_t start = std::clock();
            for (int y = 0; y < a.height; ++y) {
                const std::uint32_t *ra = a.Row(y), *rb = b.Row(y);
                rule.Classify(ra, rb, a.width, over.data());
                const auto wa = WindowAt(a, y), wb = WindowAt(b, y);
                int rowOver = 0;
                for (int x = 0; x < a.width; ++x) {
                    exact += ra[x] != rb[x];
                    rowOver += over[x];
                }
                overCount += rowOver;
                // The one-pixel test where few pixels need it, the run
                // version where more than one in six does.
                if (6 * rowOver > a.width) {
                    duvo::antialias::AntialiasedRun(wa, wb, 0, a.width, aa.data());
                    for (int x = 0; x < a.width; ++x) antialiased += over[x] & aa[x];
                } else if (rowOver) {
                    for (int x = 0; x < a.width; ++x)
                        if (over[x]) antialiased += duvo::antialias::IsAntialiased(wa, wb, x);
                }
            }
            const double ms = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
            std::printf("threshold %g exact %ld over %ld antialiased %ld counted %ld ms %.2f\n", rule.Value(), exact,
                        overCount, antialiased, overCount - antialiased, ms);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    return 0;
}
