#include "compare/regions.h"

#include <algorithm>
#include <numeric>

namespace duvo {

void NormaliseSpans(std::vector<PixelSpan>& row) {
    if (row.size() < 2) return;
    std::sort(row.begin(), row.end(), [](const PixelSpan& a, const PixelSpan& b) { return a.x0 < b.x0; });
    std::size_t out = 0;
    for (std::size_t i = 1; i < row.size(); ++i) {
        if (row[i].x0 <= row[out].x1)
            row[out].x1 = std::max(row[out].x1, row[i].x1);
        else
            row[++out] = row[i];
    }
    row.resize(out + 1);
}

void AddRectangle(SpanRows& rows, int width, int height, std::int64_t x, std::int64_t y, std::int64_t w,
                  std::int64_t h) {
    if (rows.size() < static_cast<std::size_t>(std::max(height, 0))) rows.resize(static_cast<std::size_t>(height));
    const std::int64_t x0 = std::max<std::int64_t>(x, 0), x1 = std::min<std::int64_t>(x + w, width);
    const std::int64_t y0 = std::max<std::int64_t>(y, 0), y1 = std::min<std::int64_t>(y + h, height);
    if (x0 >= x1 || y0 >= y1) return;
    for (std::int64_t r = y0; r < y1; ++r) {
        auto& row = rows[static_cast<std::size_t>(r)];
        row.push_back({static_cast<int>(x0), static_cast<int>(x1)});
        NormaliseSpans(row);
    }
}

void AddSpans(SpanRows& into, const SpanRows& more) {
    if (into.size() < more.size()) into.resize(more.size());
    for (std::size_t y = 0; y < more.size(); ++y) {
        if (more[y].empty()) continue;
        auto& row = into[y];
        row.insert(row.end(), more[y].begin(), more[y].end());
        NormaliseSpans(row);
    }
}

namespace {

struct Groups {
    std::vector<std::uint32_t> parent;
    std::uint32_t Find(std::uint32_t i) {
        while (parent[i] != i) {
            parent[i] = parent[parent[i]];
            i = parent[i];
        }
        return i;
    }
    void Join(std::uint32_t a, std::uint32_t b) {
        a = Find(a);
        b = Find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
};

}  // namespace

RegionList FindRegions(const SpanRows& changes, int gap, std::size_t cap) {
    RegionList out;
    gap = std::max(gap, 0);
    // Spans numbered row by row; first[r] is the number of row r's first.
    std::vector<std::uint32_t> first(changes.size() + 1, 0);
    for (std::size_t y = 0; y < changes.size(); ++y)
        first[y + 1] = first[y] + static_cast<std::uint32_t>(changes[y].size());
    const std::uint32_t count = first.back();
    if (count == 0) return out;
    Groups groups;
    groups.parent.resize(count);
    std::iota(groups.parent.begin(), groups.parent.end(), 0u);

    // Rows that hold spans, so that empty rows cost nothing.
    std::vector<std::size_t> busy;
    std::size_t window = 0;  // the first entry of busy still near enough
    for (std::size_t y = 0; y < changes.size(); ++y) {
        const auto& row = changes[y];
        if (row.empty()) continue;
        for (std::size_t i = 1; i < row.size(); ++i)
            if (row[i].x0 <= row[i - 1].x1 + gap)
                groups.Join(first[y] + static_cast<std::uint32_t>(i), first[y] + static_cast<std::uint32_t>(i - 1));
        while (window < busy.size() && y - busy[window] > static_cast<std::size_t>(gap) + 1) ++window;
        for (std::size_t k = window; k < busy.size(); ++k) {
            const std::size_t r = busy[k];
            const auto& above = changes[r];
            std::size_t j0 = 0;
            for (std::size_t i = 0; i < row.size(); ++i) {
                const PixelSpan& a = row[i];
                while (j0 < above.size() && above[j0].x1 + gap < a.x0) ++j0;
                for (std::size_t j = j0; j < above.size() && above[j].x0 <= a.x1 + gap; ++j)
                    groups.Join(first[y] + static_cast<std::uint32_t>(i), first[r] + static_cast<std::uint32_t>(j));
            }
        }
        busy.push_back(y);
    }

    // One region per group, numbered in the reading order of its first
    // pixel. A span's parent always has a lower number, so a pass in order
    // can replace each parent by its group's region number in place: the
    // parent's entry was replaced before. Only the sizes are kept for all
    // regions; boxes are made for the listed ones alone, so that a picture
    // of scattered changes costs a counter per region, not a box.
    std::vector<std::uint32_t>& label = groups.parent;
    std::size_t roots = 0;
    for (std::uint32_t i = 0; i < count; ++i) roots += label[i] == i;
    std::vector<std::uint64_t> pixels(roots, 0);
    out.all = {0, -1, 0, 0, 0};
    std::uint32_t next = 0, i = 0;
    for (std::size_t y = 0; y < changes.size(); ++y) {
        for (const PixelSpan& s : changes[y]) {
            label[i] = label[i] == i ? next++ : label[label[i]];
            pixels[label[i]] += static_cast<std::uint64_t>(s.x1 - s.x0);
            if (out.all.y0 < 0) out.all = {s.x0, static_cast<int>(y), s.x1, static_cast<int>(y) + 1, 0};
            out.all.x0 = std::min(out.all.x0, s.x0);
            out.all.x1 = std::max(out.all.x1, s.x1);
            out.all.y1 = static_cast<int>(y) + 1;
            out.all.pixels += static_cast<std::uint64_t>(s.x1 - s.x0);
            ++i;
        }
    }
    out.found = roots;
    for (std::uint64_t n : pixels) out.largest = std::max(out.largest, n);

    // The largest cap regions, ties in reading order (the lower number).
    auto larger = [&](std::uint32_t a, std::uint32_t b) {
        return pixels[a] != pixels[b] ? pixels[a] > pixels[b] : a < b;
    };
    std::vector<std::uint32_t> listed;
    const std::size_t keep = std::min(cap, roots);
    listed.reserve(keep);
    for (std::uint32_t r = 0; r < roots && keep > 0; ++r) {
        if (listed.size() < keep) {
            listed.push_back(r);
            std::push_heap(listed.begin(), listed.end(), larger);
        } else if (larger(r, listed.front())) {
            std::pop_heap(listed.begin(), listed.end(), larger);
            listed.back() = r;
            std::push_heap(listed.begin(), listed.end(), larger);
        }
    }
    std::sort(listed.begin(), listed.end(), larger);

    // Boxes of the listed regions.
    std::vector<std::uint32_t> byNumber(listed);
    std::sort(byNumber.begin(), byNumber.end());
    std::vector<bool> chosen(roots, false);
    for (std::uint32_t r : listed) chosen[r] = true;
    std::vector<ChangedRegion> boxes(keep, ChangedRegion{0, -1, 0, 0, 0});
    i = 0;
    for (std::size_t y = 0; y < changes.size(); ++y) {
        for (const PixelSpan& s : changes[y]) {
            const std::uint32_t r = label[i++];
            if (!chosen[r]) continue;
            const auto at = std::lower_bound(byNumber.begin(), byNumber.end(), r);
            ChangedRegion& g = boxes[static_cast<std::size_t>(at - byNumber.begin())];
            if (g.y0 < 0) g = {s.x0, static_cast<int>(y), s.x1, static_cast<int>(y), 0};
            g.x0 = std::min(g.x0, s.x0);
            g.x1 = std::max(g.x1, s.x1);
            g.y1 = static_cast<int>(y) + 1;
            g.pixels = pixels[r];
        }
    }
    out.regions.reserve(keep);
    for (std::uint32_t r : listed)
        out.regions.push_back(
            boxes[static_cast<std::size_t>(std::lower_bound(byNumber.begin(), byNumber.end(), r) - byNumber.begin())]);
    return out;
}

}  // namespace duvo
