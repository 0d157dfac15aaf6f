// Decoding a PNG alone, on one thread: our row source against libspng giving
// the same rows (SPNG_FMT_PNG, the file's own layout, decoded row by row),
// and the three inflaters on the picture's image data by themselves (zlib
// and ISA-L streaming into a small buffer as a row decoder does, libdeflate
// into the whole output, which it needs). Reads the pictures that
// bench/pairs/make_pairs.sh makes:
//
//   bench_png_decode [--pairs DIR] [--check] [benchmark flags]
//
// DIR defaults to $DUVO_PNG_PAIRS or bench-pairs. --check decodes every
// picture in DIR with both decoders, compares every row, counts the pixels
// that differ between each a and b picture, and exits.
#include <benchmark/benchmark.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <spng.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codecs/png/png_filter.h"
#include "codecs/png/png_rows.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The concatenated IDAT data: one zlib stream.
Bytes ImageData(const Bytes& png) {
    Bytes out;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = Be32(&png[at]);
        if (std::memcmp(&png[at + 4], "IDAT", 4) == 0)
            out.insert(out.end(), png.begin() + static_cast<std::ptrdiff_t>(at + 8),
                       png.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        at += 12 + std::size_t{length};
    }
    return out;
}

struct Picture {
    std::string name;
    Bytes file;
    Bytes idat;
    std::size_t rawBytes = 0;  // inflated: the scanlines with their filter bytes
    std::size_t rowBytes = 0;
    int height = 0;
};

constexpr int kBand = 16;
constexpr std::size_t kStage = std::size_t{256} << 10;

void Ours(benchmark::State& state, const Picture* p) {
    std::vector<std::uint8_t> band;
    for (auto _ : state) {
        auto rows = duvo::OpenPngRows(p->file, duvo::kDefaultLimits);
        band.resize(rows->Format().RowBytes() * kBand);
        for (int y = 0; y < rows->Height(); y += kBand) {
            const int n = std::min(kBand, rows->Height() - y);
            rows->ReadRows(band.data(), static_cast<std::ptrdiff_t>(rows->Format().RowBytes()), n);
            benchmark::DoNotOptimize(band.data());
        }
        rows->Finish();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p->rawBytes));
}

struct SpngSource {
    const Bytes* bytes;
    std::size_t pos = 0;
    static int Read(spng_ctx*, void* user, void* dest, std::size_t length) {
        auto& s = *static_cast<SpngSource*>(user);
        if (length > s.bytes->size() - s.pos) return SPNG_IO_EOF;
        std::memcpy(dest, s.bytes->data() + s.pos, length);
        s.pos += length;
        return 0;
    }
};

void Spng(benchmark::State& state, const Picture* p) {
    std::vector<std::uint8_t> row(p->rowBytes);
    for (auto _ : state) {
        spng_ctx* ctx = spng_ctx_new(0);
        SpngSource src{&p->file};
        spng_set_png_stream(ctx, SpngSource::Read, &src);
        int rc = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE);
        while (rc == 0) {
            rc = spng_decode_row(ctx, row.data(), row.size());
            benchmark::DoNotOptimize(row.data());
        }
        spng_ctx_free(ctx);
        if (rc != SPNG_EOI) state.SkipWithError("libspng failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p->rawBytes));
}

void InflateZlib(benchmark::State& state, const Picture* p) {
    std::vector<std::uint8_t> out(kStage);
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        z.next_in = const_cast<Bytef*>(p->idat.data());
        z.avail_in = static_cast<uInt>(p->idat.size());
        int rc = Z_OK;
        while (rc == Z_OK) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            benchmark::DoNotOptimize(out.data());
        }
        inflateEnd(&z);
        if (rc != Z_STREAM_END) state.SkipWithError("zlib failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p->rawBytes));
}

void InflateIsal(benchmark::State& state, const Picture* p) {
    std::vector<std::uint8_t> out(kStage);
    auto z = std::make_unique<inflate_state>();
    for (auto _ : state) {
        isal_inflate_init(z.get());
        z->crc_flag = ISAL_ZLIB;
        z->next_in = const_cast<std::uint8_t*>(p->idat.data());
        z->avail_in = static_cast<std::uint32_t>(p->idat.size());
        int rc = ISAL_DECOMP_OK;
        while (rc == ISAL_DECOMP_OK && z->block_state != ISAL_BLOCK_FINISH) {
            z->next_out = out.data();
            z->avail_out = static_cast<std::uint32_t>(out.size());
            rc = isal_inflate(z.get());
            benchmark::DoNotOptimize(out.data());
        }
        if (rc != ISAL_DECOMP_OK) state.SkipWithError("ISA-L failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p->rawBytes));
}

void InflateLibdeflate(benchmark::State& state, const Picture* p) {
    std::vector<std::uint8_t> out(p->rawBytes);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        std::size_t got = 0;
        if (libdeflate_zlib_decompress(d, p->idat.data(), p->idat.size(), out.data(), out.size(), &got) !=
            LIBDEFLATE_SUCCESS)
            state.SkipWithError("libdeflate failed");
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_decompressor(d);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p->rawBytes));
}

// One kernel on 64 rows of the fullpage picture's width (4-byte pixels) or
// the photo's (3-byte pixels), each row unfiltered against the one before.
void Unfilter(benchmark::State& state, const duvo::png::Unfilters* k, int filter, int pixelBytes) {
    const std::size_t n = static_cast<std::size_t>(pixelBytes == 4 ? 3446 * 4 : 4896 * 3);
    constexpr int kRows = 64;
    std::vector<std::uint8_t> src(n * kRows), out(n * (kRows + 1));
    std::uint32_t v = 1;
    for (auto& b : src) b = static_cast<std::uint8_t>((v = v * 1103515245u + 12345u) >> 24);
    for (auto _ : state) {
        for (int y = 0; y < kRows; ++y)
            duvo::png::Unfilter(*k, static_cast<std::uint8_t>(filter), out.data() + (y + 1) * n, src.data() + y * n,
                                out.data() + y * n, n);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * kRows));
}

// The rows of one file, whole, by our decoder or by libspng.
Bytes AllRows(const Bytes& file, bool spng, std::size_t& rowBytes) {
    Bytes out;
    if (!spng) {
        auto rows = duvo::OpenPngRows(file, duvo::kDefaultLimits);
        rowBytes = rows->Format().RowBytes();
        out.resize(rowBytes * static_cast<std::size_t>(rows->Height()));
        rows->ReadRows(out.data(), static_cast<std::ptrdiff_t>(rowBytes), rows->Height());
        rows->Finish();
        for (const auto& w : rows->Warnings()) std::printf("  warning: %s\n", w.message.c_str());
        return out;
    }
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, file.data(), file.size());
    std::size_t size = 0;
    spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size);
    out.resize(size);
    if (spng_decode_image(ctx, out.data(), out.size(), SPNG_FMT_PNG, 0) != 0) out.clear();
    spng_ctx_free(ctx);
    return out;
}

int Check(const std::string& dir) {
    int bad = 0;
    for (const char* pair : {"fullpage", "photo16"}) {
        Bytes rows[2];
        std::size_t rowBytes = 0;
        for (int side = 0; side < 2; ++side) {
            const std::string path = dir + "/" + pair + (side ? "-b.png" : "-a.png");
            const Bytes file = ReadFile(path);
            std::size_t spngRowBytes = 0;
            rows[side] = AllRows(file, false, rowBytes);
            const Bytes reference = AllRows(file, true, spngRowBytes);
            const bool same = rows[side] == reference;
            bad += !same;
            std::printf("%s: %s libspng\n", path.c_str(), same ? "the same rows as" : "NOT the same rows as");
        }
        const std::size_t pixelBytes = std::string(pair) == "fullpage" ? 4 : 3;
        std::size_t differ = 0;
        for (std::size_t i = 0; i + pixelBytes <= rows[0].size() && rows[0].size() == rows[1].size(); i += pixelBytes)
            differ += std::memcmp(&rows[0][i], &rows[1][i], pixelBytes) != 0;
        std::printf("%s: %zu of %zu pixels differ (%.2f%%)\n", pair, differ, rows[0].size() / pixelBytes,
                    100.0 * static_cast<double>(differ) / static_cast<double>(rows[0].size() / pixelBytes));
    }
    return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = std::getenv("DUVO_PNG_PAIRS") ? std::getenv("DUVO_PNG_PAIRS") : "bench-pairs";
    bool check = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc)
            dir = argv[++i];
        else if (std::strcmp(argv[i], "--check") == 0)
            check = true;
        else
            args.push_back(argv[i]);
    }
    if (check) return Check(dir);
    static std::vector<Picture> pictures;
    for (const char* name : {"fullpage-a.png", "photo16-a.png"}) {
        Picture p;
        p.name = name;
        p.file = ReadFile(dir + "/" + name);
        if (p.file.empty()) {
            std::fprintf(stderr, "%s/%s is missing: make it with bench/pairs/make_pairs.sh %s\n", dir.c_str(), name,
                         dir.c_str());
            return 1;
        }
        p.idat = ImageData(p.file);
        auto rows = duvo::OpenPngRows(p.file, duvo::kDefaultLimits);
        p.rowBytes = rows->Format().RowBytes();
        p.height = rows->Height();
        p.rawBytes = (p.rowBytes + 1) * static_cast<std::size_t>(p.height);
        pictures.push_back(std::move(p));
    }
    for (const Picture& p : pictures) {
        const std::string n = p.name.substr(0, p.name.find('-'));
        benchmark::RegisterBenchmark(("Decode/ours/" + n).c_str(), Ours, &p);
        benchmark::RegisterBenchmark(("Decode/libspng/" + n).c_str(), Spng, &p);
        benchmark::RegisterBenchmark(("Inflate/zlib/" + n).c_str(), InflateZlib, &p);
        benchmark::RegisterBenchmark(("Inflate/isal/" + n).c_str(), InflateIsal, &p);
        benchmark::RegisterBenchmark(("Inflate/libdeflate/" + n).c_str(), InflateLibdeflate, &p);
    }
    static const char* kFilters[] = {"none", "sub", "up", "average", "paeth"};
    for (int bpp : {3, 4})
        for (const duvo::png::Unfilters* k :
             {&duvo::png::PlainUnfilters(bpp), duvo::png::Sse41Unfilters(bpp), duvo::png::Avx2Unfilters(bpp)})
            for (int f = 1; f <= 4; ++f)
                if (k)
                    benchmark::RegisterBenchmark(
                        ("Unfilter/" + std::string(kFilters[f]) + "/" + std::to_string(bpp) + "/" + k->name).c_str(),
                        Unfilter, k, f, bpp);
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
