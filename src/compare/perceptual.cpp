#include "compare/perceptual.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "compare/perceptual_kernels.h"
#include "rtl/exceptions.h"

namespace duvo::perceptual {

namespace detail {

namespace {

double SrgbToLinear(int byte) {
    const double c = byte / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

const std::array<double, 256>& LinearDouble() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int i = 0; i < 256; ++i) t[i] = SrgbToLinear(i);
        return t;
    }();
    return table;
}

double Toe(double L) {
    const double x = kToeK3 * L - kToeK1;
    return (x + std::sqrt(x * x + 4 * kToeK2 * kToeK3 * L)) / 2;
}

double RawDistance(const Lab& p, const Lab& q) {
    const double da = p.a - q.a, db = p.b - q.b;
    return std::abs(p.L - q.L) + std::sqrt(da * da + db * db);
}

// --- plain float kernels -----------------------------------------------------

struct LabF {
    float L, a, b;
};

inline float CbrtF(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const auto third = static_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(bits)) * (1.0f / 3));
    float r = std::bit_cast<float>(kCbrtMagic - third);
    for (int i = 0; i < 2; ++i) {
        const float e = 1.0f - x * r * r * r;  // x first: for black r³ alone would overflow
        r = r * (1.0f + e * (1.0f / 3 + e * (2.0f / 9)));
    }
    return x * r * r;
}

inline LabF ToLabF(std::uint32_t c, const float* lin) {
    const float r = lin[c & 0xFF], g = lin[(c >> 8) & 0xFF], b = lin[(c >> 16) & 0xFF];
    const float l = CbrtF(kM1[0] * r + kM1[1] * g + kM1[2] * b);
    const float m = CbrtF(kM1[3] * r + kM1[4] * g + kM1[5] * b);
    const float s = CbrtF(kM1[6] * r + kM1[7] * g + kM1[8] * b);
    const float L = kM2[0] * l + kM2[1] * m + kM2[2] * s;
    const float x = static_cast<float>(kToeK3) * L - static_cast<float>(kToeK1);
    const float Lr = 0.5f * (x + std::sqrt(x * x + static_cast<float>(4 * kToeK2 * kToeK3) * L));
    return {Lr, kM2[3] * l + kM2[4] * m + kM2[5] * s, kM2[6] * l + kM2[7] * m + kM2[8] * s};
}

inline float DistanceF(const LabF& p, const LabF& q) {
    const float da = p.a - q.a, db = p.b - q.b;
    return std::abs(p.L - q.L) + std::sqrt(da * da + db * db);
}

int FindDifferentPlain(const std::uint32_t* a, const std::uint32_t* b, int n, std::uint16_t* idx) {
    int m = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint32_t any = 0;
        for (int k = 0; k < 8; ++k) any |= a[i + k] ^ b[i + k];
        if (!any) continue;
        for (int k = 0; k < 8; ++k) {
            idx[m] = static_cast<std::uint16_t>(i + k);
            m += a[i + k] != b[i + k];
        }
    }
    for (; i < n; ++i) {
        idx[m] = static_cast<std::uint16_t>(i);
        m += a[i] != b[i];
    }
    return m;
}

void ToLabPlain(const std::uint32_t* c, int n, float* L, float* A, float* B) {
    const float* lin = LinearTable();
    for (int i = 0; i < n; ++i) {
        const LabF p = ToLabF(c[i], lin);
        L[i] = p.L;
        A[i] = p.a;
        B[i] = p.b;
    }
}

void DecidePlain(const std::uint32_t* ca, const std::uint32_t* cb, int m, float sureUnder, float sureOver,
                 std::uint8_t* code) {
    const float* lin = LinearTable();
    for (int k = 0; k < m; ++k) {
        const float d = DistanceF(ToLabF(ca[k], lin), ToLabF(cb[k], lin));
        code[k] = d > sureOver ? kOver : d <= sureUnder ? kNotOver : kUnsure;  // NaN: unsure
    }
}

const Kernels kPlain{"plain", FindDifferentPlain, ToLabPlain, DecidePlain};

}  // namespace

const float* LinearTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) t[i] = static_cast<float>(LinearDouble()[i]);
        return t;
    }();
    return table.data();
}

Lab ExactLab(std::uint32_t c) {
    const auto& lin = LinearDouble();
    const double r = lin[c & 0xFF], g = lin[(c >> 8) & 0xFF], b = lin[(c >> 16) & 0xFF];
    // Ottosson's matrices, as published (the float kernels round them).
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {Toe(0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s),
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

double RawBlackWhite() {
    static const double raw = RawDistance(ExactLab(0), ExactLab(0xFFFFFF));
    return raw;
}

const Kernels& PlainKernels() { return kPlain; }

const Kernels& BestKernels() {
    static const Kernels* best = Avx512Kernels() ? Avx512Kernels() : Avx2Kernels() ? Avx2Kernels() : &kPlain;
    return *best;
}

}  // namespace detail

double Distance(std::uint32_t c1, std::uint32_t c2) {
    if (c1 == c2) return 0;
    return detail::RawDistance(detail::ExactLab(c1), detail::ExactLab(c2)) / detail::RawBlackWhite();
}

namespace {

constexpr int kChunk = 256;

float FloatAtLeast(double v) {
    float f = static_cast<float>(v);
    if (f < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

float FloatAtMost(double v) {
    float f = static_cast<float>(v);
    if (f > v) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

}  // namespace

Threshold::Threshold(double t, Kernels kernels) : t_(t) {
    if (!(t >= 0 && t <= 1)) throw EUsageError("the perceptual threshold lies in 0..1");
    // The kernels measure undivided distances, so the limit is scaled instead.
    const double raw = t * detail::RawBlackWhite();
    sureUnder_ = FloatAtMost(raw - detail::kGuardBand);
    sureOver_ = FloatAtLeast(raw + detail::kGuardBand);
    kernels_ = kernels == Kernels::kPlain ? &detail::PlainKernels() : &detail::BestKernels();
}

const char* Threshold::KernelName() const { return kernels_->name; }

bool Threshold::Over(std::uint32_t a, std::uint32_t b) const {
    if (a == b) return false;
    std::uint8_t code;
    kernels_->decide(&a, &b, 1, sureUnder_, sureOver_, &code);
    return code == detail::kUnsure ? Distance(a, b) > t_ : code == detail::kOver;
}

void Threshold::Classify(const std::uint32_t* a, const std::uint32_t* b, int n, std::uint8_t* over) const {
    std::uint16_t idx[kChunk];
    std::uint32_t ca[kChunk], cb[kChunk];
    std::uint8_t code[kChunk];
    // Where most pixels differ (a photograph against its re-encode), finding
    // and gathering them costs more than deciding the equal ones with them,
    // so a chunk after a mostly different one is decided whole.
    bool dense = false;
    for (int base = 0; base < n; base += kChunk) {
        const int len = std::min(kChunk, n - base);
        const std::uint32_t *ra = a + base, *rb = b + base;
        std::uint8_t* out = over + base;
        if (dense) {
            kernels_->decide(ra, rb, len, sureUnder_, sureOver_, code);
            int different = 0;
            for (int i = 0; i < len; ++i) {
                const bool differ = ra[i] != rb[i];
                different += differ;
                // Equal colors have float distance 0, which only a threshold
                // below the guard band leaves unsure.
                out[i] = code[i] == detail::kUnsure ? differ && Distance(ra[i], rb[i]) > t_ : code[i];
            }
            dense = 2 * different > len;
            continue;
        }
        std::memset(out, 0, static_cast<std::size_t>(len));
        const int m = kernels_->findDifferent(ra, rb, len, idx);
        dense = 2 * m > len;
        if (m == 0) continue;
        for (int k = 0; k < m; ++k) {
            ca[k] = ra[idx[k]];
            cb[k] = rb[idx[k]];
        }
        kernels_->decide(ca, cb, m, sureUnder_, sureOver_, code);
        for (int k = 0; k < m; ++k) out[idx[k]] = code[k] == detail::kUnsure ? Distance(ca[k], cb[k]) > t_ : code[k];
    }
}

}  // namespace duvo::perceptual
