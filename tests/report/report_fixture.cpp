// Writes the report of a made-up folder comparison for the browser test:
//   duvo_report_fixture few DIR    every status, awkward names, a big picture
//   duvo_report_fixture many DIR   500 pairs, for the time the page takes
// The report goes to DIR/report; DIR/expected.json says what the page must
// list, from the fixture's own records rather than from the report's data.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "report_pairs.h"

namespace {

using namespace duvo;
using namespace duvo::test;

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void WriteExpected(const fs::path& file, const std::vector<cli::ReportPair>& pairs) {
    std::ofstream out(file);
    out << "{\"pairs\": [\n";
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const cli::ReportPair& p = pairs[i];
        const int w = p.diffFile ? p.width : p.newFile ? p.newWidth : p.baseWidth;
        const int h = p.diffFile ? p.height : p.newFile ? p.newHeight : p.baseHeight;
        out << (i ? ",\n" : "") << "{\"index\": " << i << ", \"path\": " << Json(p.path)
            << ", \"status\": " << Json(p.status) << ", \"counted\": " << p.counted
            << ", \"nonMatching\": " << p.nonMatching << ", \"regions\": " << p.regions.size()
            << ", \"base\": " << (p.baseFile ? "true" : "false") << ", \"new\": " << (p.newFile ? "true" : "false")
            << ", \"diff\": " << (p.diffFile ? "true" : "false") << ", \"listWidth\": " << w
            << ", \"listHeight\": " << h << ", \"failure\": " << Json(p.failure) << ", \"resized\": "
            << (p.baseWidth && p.newWidth && (p.baseWidth != p.newWidth || p.baseHeight != p.newHeight) ? "true"
                                                                                                        : "false")
            << "}";
    }
    out << "\n]}\n";
}

void Few(MadeUpComparison& c) {
    const Canvas screen = Screen(1280, 720);
    c.Compared("login/sign in.png", screen, Screen(1280, 720, {.button = {22, 163, 74}, .buttonShift = 24}));
    c.Compared("dashboard/zażółć gęślą jaźń.png", screen, Screen(1280, 720, {.badge = true, .extraCard = true}));
    c.Compared("settings/profile page.png", screen, Screen(1280, 720, {.onePixel = true}));
    c.Compared("a/b/c/deep nested.png", screen, Screen(1280, 720, {.textSeed = 99}));
    Canvas icon(48, 48, {255, 255, 255}), icon2(48, 48, {255, 255, 255});
    icon.Fill(12, 12, 24, 24, {37, 99, 235});
    icon2.Fill(12, 12, 24, 24, {37, 99, 235});
    icon2.Fill(20, 20, 8, 8, {250, 204, 21});
    c.Compared("icons/tiny icon.png", icon, icon2);
    c.Compared("resized/banner.png", screen, Screen(1280, 700));
    c.Compared("wide/panorama strip.png", Screen(2400, 300), Screen(2400, 300, {.badge = true}));
    c.Compared("checkout/cart.png", screen, screen);
    c.Compared("checkout/summary 10.png", screen, screen);
    c.Compared("checkout/summary 2.png", screen, screen);
    c.Compared("odd/x</script><img src=x onerror=alert(1)>.png", screen, Screen(1280, 720, {.textSeed = 3}));
    c.Compared("odd/line\u2028break & \"quotes\".png", screen, screen);
    c.Added("new feature/onboarding.png", Screen(1280, 720, {.extraCard = true}));
    c.Removed("legacy/old dialog.bmp", Screen(640, 360));
    c.Broken("broken/corrupt.png", screen, "Bląd przy wczytywaniu pliku graficznego !!!\nPNG error: invalid signature");
    c.Refused("sizes/header.png", screen, Screen(1280, 700),
              "The pictures differ in size (1280 x 720 and 1280 x 700) and --fail-on-size was given");
}

// 500 pairs over a few pictures: the pages of ten suites, one in ten changed.
void Many(MadeUpComparison& c) {
    const Canvas screen = Screen(1280, 720);
    const ScreenChanges variants[] = {
        {.button = {22, 163, 74}}, {.buttonShift = 40}, {.badge = true}, {.textSeed = 11}, {.onePixel = true}};
    std::vector<cli::ReportPair> changed;
    for (const ScreenChanges& v : variants) {
        c.Compared("suite-00/page 000-" + std::to_string(changed.size()) + ".png", screen, Screen(1280, 720, v));
        changed.push_back(c.Pairs().back());
    }
    c.Compared("suite-00/page 001.png", screen, screen);
    const cli::ReportPair same = c.Pairs().back();
    c.Added("suite-00/page 002.png", screen);
    const cli::ReportPair added = c.Pairs().back();
    c.Removed("suite-00/page 003.png", screen);
    const cli::ReportPair removed = c.Pairs().back();
    c.Broken("suite-00/page 004.png", screen, "PNG error: invalid signature");
    const cli::ReportPair broken = c.Pairs().back();
    for (int i = static_cast<int>(c.Pairs().size()); i < 500; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "suite-%02d/page %03d.png", i / 50, i % 50);
        const cli::ReportPair& model = i % 10 == 0    ? changed[static_cast<std::size_t>(i / 10) % changed.size()]
                                       : i % 50 == 3  ? added
                                       : i % 50 == 7  ? removed
                                       : i % 100 == 9 ? broken
                                                      : same;
        c.Again(model, path);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::string(argv[1]) != "few" && std::string(argv[1]) != "many")) {
        std::cerr << "usage: duvo_report_fixture few|many DIR\n";
        return 2;
    }
    try {
        const fs::path root(argv[2]);
        fs::remove_all(root);
        MadeUpComparison c(root / "inputs");
        if (std::string(argv[1]) == "few")
            Few(c);
        else
            Many(c);
        const auto start = std::chrono::steady_clock::now();
        // The folders as a user would have named them on the command line.
        cli::WriteHtmlReport((root / "report").string(), c.Summary(3), c.Pairs(), "screenshots/base", "screenshots/new",
                             "duvo-compare 1.0");
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        WriteExpected(root / "expected.json", c.Pairs());
        std::cout << "report of " << c.Pairs().size() << " pairs written in " << ms << " ms\n";
    } catch (const std::exception& e) {
        std::cerr << "duvo_report_fixture: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
