// The engine's vector kernels against the plain ones, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "compare/compare.h"
#include "compare/compare_rows.h"

namespace duvo::compare_rows {
namespace {

std::vector<const Kernels*> AllKernels() {
    std::vector<const Kernels*> all{&ScalarKernels()};
    for (const Kernels* k : {Sse41Kernels(), Avx2Kernels(), Avx512VbmiKernels()})
        if (k) all.push_back(k);
    return all;
}

// The plain definitions, one pixel at a time.
std::uint32_t Packed(const std::uint8_t* p) { return p[2] | (p[1] << 8) | (static_cast<std::uint32_t>(p[0]) << 16); }

TEST(CompareKernels, EveryValueGetsItsBinAndPixel) {
    // a = i and b = 0 give v = 0xFFFFFF - i: all 2^24 values pass through.
    std::vector<std::uint32_t> a(kRunPixels), zero(kRunPixels, 0);
    std::vector<std::uint8_t> out(3 * kRunPixels + 1), bins(kRunPixels + 1);
    for (const Kernels* k : AllKernels()) {
        SCOPED_TRACE(k->name);
        for (std::uint32_t base = 0; base <= kMaxSimilarity; base += kRunPixels) {
            for (int i = 0; i < kRunPixels; ++i) a[i] = base + static_cast<std::uint32_t>(i);
            k->diffAndBin(a.data(), zero.data(), out.data(), bins.data(), kRunPixels);
            for (int i = 0; i < kRunPixels; ++i) {
                const std::uint32_t v = kMaxSimilarity - a[i];
                ASSERT_EQ(bins[i], SimilarityBin(v)) << v;
                ASSERT_EQ(Packed(&out[3 * i]), v) << v;
            }
        }
    }
}

TEST(CompareKernels, VectorKernelsMatchThePlainOnesAtEveryLength) {
    std::mt19937 rng(42);
    const int maxN = 2 * kRunPixels;
    // Guard bytes around every buffer catch a read or write past the run.
    constexpr int kGuard = 64;
    std::vector<std::uint8_t> a24(3 * maxN + 2 * kGuard), b24(3 * maxN + 2 * kGuard);
    std::vector<std::uint32_t> a(maxN), b(maxN);
    for (auto& x : a24) x = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < b24.size(); ++i) b24[i] = rng() % 4 ? a24[i] : static_cast<std::uint8_t>(rng());
    for (int i = 0; i < maxN; ++i) {
        a[i] = Packed(&a24[kGuard + 3 * i]);
        b[i] = rng() % 3 ? a[i] ^ (rng() & 0x010101) : rng() & 0xFFFFFF;
    }
    const Kernels& plain = ScalarKernels();
    for (const Kernels* k : AllKernels()) {
        SCOPED_TRACE(k->name);
        for (int n : {0, 1, 2, 3, 7, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 100, 511, 512, 513, 1000, maxN}) {
            for (int offset : {0, 1, 5}) {
                if (n + offset > maxN) continue;
                SCOPED_TRACE(n);
                const std::uint8_t* pa = &a24[kGuard + 3 * offset];
                const std::uint8_t* pb = &b24[kGuard + 3 * offset];
                // unpack24 writes exactly n colors.
                std::vector<std::uint32_t> want(n + 8, 0xDEADBEEF), got(n + 8, 0xDEADBEEF);
                for (int i = 0; i < n; ++i) want[i] = Packed(pa + 3 * i);
                k->unpack24(pa, got.data(), n);
                ASSERT_EQ(got, want);

                auto run = [&](auto&& kernel, std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& bins) {
                    out.assign(3 * n + kGuard, 0xA5);
                    bins.assign(n + kGuard, 0xA5);
                    kernel(out.data(), bins.data());
                };
                std::vector<std::uint8_t> outWant, binsWant, outGot, binsGot;
                run([&](auto* o, auto* bn) { plain.diffAndBin(a.data() + offset, b.data() + offset, o, bn, n); },
                    outWant, binsWant);
                // The plain kernel itself follows the definitions.
                for (int i = 0; i < n; ++i) {
                    const std::int32_t d = static_cast<std::int32_t>(a[offset + i] - b[offset + i]);
                    const std::uint32_t v = kMaxSimilarity - static_cast<std::uint32_t>(d < 0 ? -d : d);
                    ASSERT_EQ(Packed(&outWant[3 * i]), v);
                    ASSERT_EQ(binsWant[i], SimilarityBin(v));
                }
                run([&](auto* o, auto* bn) { k->diffAndBin(a.data() + offset, b.data() + offset, o, bn, n); }, outGot,
                    binsGot);
                ASSERT_EQ(outGot, outWant);
                ASSERT_EQ(binsGot, binsWant);

                // Two 24-bit runs, and packed colors against a 24-bit run.
                std::vector<std::uint32_t> ua(n), ub(n);
                plain.unpack24(pa, ua.data(), n);
                plain.unpack24(pb, ub.data(), n);
                run([&](auto* o, auto* bn) { plain.diffAndBin(ua.data(), ub.data(), o, bn, n); }, outWant, binsWant);
                run([&](auto* o, auto* bn) { k->diffAndBin24(pa, pb, o, bn, n); }, outGot, binsGot);
                ASSERT_EQ(outGot, outWant);
                ASSERT_EQ(binsGot, binsWant);
                run([&](auto* o, auto* bn) { k->diffAndBinMixed(ua.data(), pb, o, bn, n); }, outGot, binsGot);
                ASSERT_EQ(outGot, outWant);
                ASSERT_EQ(binsGot, binsWant);
            }
        }
    }
}

TEST(CompareKernels, Decode8LooksUpEveryIndexAtEveryLength) {
    std::mt19937 rng(11);
    std::array<std::uint32_t, 256> colors;
    for (auto& c : colors) c = rng() & 0xFFFFFF;
    colors[0] = 0;
    colors[255] = 0xFFFFFF;
    const ColorTable table(colors);
    const int maxN = 2 * kRunPixels;
    std::vector<std::uint8_t> src(maxN + 64);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i < 256 ? i : rng());
    for (const Kernels* k : AllKernels()) {
        SCOPED_TRACE(k->name);
        for (int n : {0, 1, 63, 64, 65, 127, 128, 200, 256, 511, 512, maxN})
            for (int offset : {0, 3}) {
                std::vector<std::uint32_t> got(n + 16, 0xDEADBEEF), want(n + 16, 0xDEADBEEF);
                for (int i = 0; i < n; ++i) want[i] = colors[src[offset + i]];
                k->decode8(table, src.data() + offset, got.data(), n);
                ASSERT_EQ(got, want) << n << " " << offset;
            }
    }
}

TEST(CompareKernels, BestKernelsAreTheWidestAvailable) {
    const Kernels& best = BestKernels();
    if (VectorKernels())
        EXPECT_EQ(&best, VectorKernels());
    else
        EXPECT_EQ(&best, &ScalarKernels());
}

}  // namespace
}  // namespace duvo::compare_rows
