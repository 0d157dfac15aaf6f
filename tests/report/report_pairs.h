// Made-up folder comparisons for the report's tests: pictures drawn in a
// work folder, each pair of two pictures compared as duvo-compare compares it
// (its counts, rule, verdict, figures and regions, and its highlight picture
// drawn by the engine).
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/html_report.h"
#include "compare/summary.h"
#include "loading/file_comparison.h"
#include "screens.h"
#include "tiff_fixtures.h"

namespace duvo::test {

namespace fs = std::filesystem;
using cli::ReportPair;
using cli::ReportSummary;

// A folder comparison under root: root/base, root/new and root/diff.
class MadeUpComparison {
public:
    explicit MadeUpComparison(fs::path root) : root_(std::move(root)) {
        for (const char* d : {"base", "new", "diff"}) fs::create_directories(root_ / d);
    }
    const fs::path& Root() const { return root_; }
    std::string BaseDir() const { return (root_ / "base").string(); }
    std::string NewDir() const { return (root_ / "new").string(); }

    // A pair compared by the engine: changed or unchanged as it finds.
    void Compared(const std::string& path, const Canvas& base, const Canvas& changed) {
        const std::string b = Place("base", path, base), n = Place("new", path, changed);
        FileComparisonRequest request;
        request.left = b;
        request.right = n;
        request.diff = (root_ / "diff" / (std::to_string(pairs_.size()) + ".png")).string();
        request.diffStyle = DifferenceStyle::Highlight;
        request.diffOnlyWhenChanged = true;
        FileComparison r = CompareFiles(request);
        ReportPair p = Sides(path, b, n, r.left.width, r.left.height, r.right.width, r.right.height);
        p.status = r.WithinTolerance() ? "unchanged" : "changed";
        p.width = r.result.width;
        p.height = r.result.height;
        p.counted = r.result.CountedPixels();
        p.nonMatching = r.nonMatching;
        p.antialiased = r.antialiased;
        p.rule = r.rule.text;
        p.verdict = r.reason;
        for (const long double f : RangeSums(r.histogram)) p.figures.push_back(static_cast<double>(f));
        for (const ChangedRegion& g : r.regions.regions)
            p.regions.push_back({g.x0, g.y0, g.x1 - g.x0, g.y1 - g.y0, g.pixels});
        if (r.pendingDiff) {
            r.pendingDiff->Commit();
            p.diffFile = r.diffFile;
        }
        Add(std::move(p));
    }
    void Added(const std::string& path, const Canvas& picture) {
        const std::string n = Place("new", path, picture);
        ReportPair p = Sides(path, std::nullopt, n, 0, 0, picture.Width(), picture.Height());
        p.status = "added";
        Add(std::move(p));
    }
    void Removed(const std::string& path, const Canvas& picture) {
        const std::string b = Place("base", path, picture);
        ReportPair p = Sides(path, b, std::nullopt, picture.Width(), picture.Height(), 0, 0);
        p.status = "removed";
        Add(std::move(p));
    }
    // A failed pair whose base file holds bytes no decoder takes.
    void Broken(const std::string& path, const Canvas& changed, const std::string& message) {
        const fs::path b = root_ / "base" / fs::u8path(path);
        fs::create_directories(b.parent_path());
        std::ofstream(b, std::ios::binary) << "\x89PNG\r\n\x1a\n not a picture";
        const std::string n = Place("new", path, changed);
        ReportPair p = Sides(path, b.string(), n, 0, 0, changed.Width(), changed.Height());
        p.status = "failed";
        p.failure = "load-error";
        p.message = message;
        Add(std::move(p));
    }
    // A failed pair of two readable pictures (sizes differ, and that fails).
    void Refused(const std::string& path, const Canvas& base, const Canvas& changed, const std::string& message) {
        const std::string b = Place("base", path, base), n = Place("new", path, changed);
        ReportPair p = Sides(path, b, n, base.Width(), base.Height(), changed.Width(), changed.Height());
        p.status = "failed";
        p.failure = "size";
        p.message = message;
        Add(std::move(p));
    }
    // A pair of pictures that are already in place (many pairs sharing files).
    void Again(ReportPair p, std::string path) {
        p.path = std::move(path);
        Add(std::move(p));
    }

    const std::vector<ReportPair>& Pairs() const { return pairs_; }
    ReportSummary Summary(std::uint64_t skipped) const {
        ReportSummary s;
        s.skipped = skipped;
        for (const ReportPair& p : pairs_) {
            std::uint64_t* n = p.status == "changed"   ? &s.changed
                               : p.status == "added"   ? &s.added
                               : p.status == "removed" ? &s.removed
                               : p.status == "failed"  ? &s.failed
                                                       : &s.unchanged;
            ++*n;
        }
        return s;
    }

private:
    std::string Place(const char* side, const std::string& path, const Canvas& picture) {
        const fs::path file = root_ / side / fs::u8path(path);
        fs::create_directories(file.parent_path());
        if (file.extension() == ".bmp") {
            picture.WriteBmp(file.string());
        } else if (file.extension() == ".tif") {
            // A format no browser shows: the report must convert it.
            tifftest::TiffPage page;
            page.width = picture.Width();
            page.height = picture.Height();
            page.compression = COMPRESSION_LZW;
            for (std::size_t i = 0; i < picture.Bgr().size(); i += 3)
                page.samples.insert(page.samples.end(), {picture.Bgr()[i + 2], picture.Bgr()[i + 1], picture.Bgr()[i]});
            const tifftest::Bytes bytes = tifftest::WriteTiff(page);
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        } else
            picture.WritePng(file.string());
        return file.string();
    }
    static ReportPair Sides(const std::string& path, std::optional<std::string> base, std::optional<std::string> neu,
                            int bw, int bh, int nw, int nh) {
        ReportPair p;
        p.path = path;
        p.baseFile = std::move(base);
        p.newFile = std::move(neu);
        p.baseWidth = bw;
        p.baseHeight = bh;
        p.newWidth = nw;
        p.newHeight = nh;
        return p;
    }
    void Add(ReportPair p) { pairs_.push_back(std::move(p)); }

    fs::path root_;
    std::vector<ReportPair> pairs_;
};

}  // namespace duvo::test
