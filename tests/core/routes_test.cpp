// The one route table: which extension takes which decoder, and the open
// dialog's filter that stands beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "loading/open_routes.h"

namespace {

using namespace duvo;

// The pattern list split at ";" with the blanks around each pattern dropped.
std::vector<std::string> Patterns(std::string_view list) {
    std::vector<std::string> out;
    std::string item;
    for (char c : std::string(list) + ";") {
        if (c == ';') {
            if (!item.empty()) out.push_back(item);
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    return out;
}

TEST(Routes, TheFilterIsTheProgramsOwnText) {
    EXPECT_EQ(OpenDialogFilter(),
              "Wszystkie obsługiwane formaty|*.bmp;  *.gif; *.jpeg;  *.jpg|JPEGi (*.jpg, *.jpeg)|*.jpg; *.jpeg|"
              "Bitmapy (*.bmp)|*.bmp|GIFy (*.gif)|*.gif");
}

TEST(Routes, EveryRouteIsOfferedByTheFirstFilterAndExactlyOneOther) {
    const auto filters = OpenDialogFilters();
    ASSERT_FALSE(filters.empty());
    const auto all = Patterns(filters[0].patterns);
    for (const Route& route : Routes()) {
        if (route.commandLineOnly) continue;  // the desktop program does not offer it
        SCOPED_TRACE(std::string(route.extension));
        const std::string pattern = "*" + std::string(route.extension);
        EXPECT_NE(std::find(all.begin(), all.end(), pattern), all.end());
        int groups = 0;
        for (std::size_t i = 1; i < filters.size(); ++i) {
            const auto p = Patterns(filters[i].patterns);
            groups += std::find(p.begin(), p.end(), pattern) != p.end();
        }
        EXPECT_EQ(groups, 1);
    }
    // And the first filter offers nothing that no other filter offers.
    for (const std::string& pattern : all) {
        bool found = false;
        for (std::size_t i = 1; i < filters.size(); ++i) {
            const auto p = Patterns(filters[i].patterns);
            found = found || std::find(p.begin(), p.end(), pattern) != p.end();
        }
        EXPECT_TRUE(found) << pattern;
    }
}

TEST(Routes, TheExtensionIsLowerCasedAndFolderSeparatorsEndIt) {
    const struct {
        const char* name;
        const char* extension;  // as the open command sees it
        const char* route;      // the route's extension, or "" for none
    } cases[] = {
        {"photo.bmp", ".bmp", ".bmp"},
        {"PHOTO.BMP", ".bmp", ".bmp"},
        {"a.b.Jpg", ".jpg", ".jpg"},
        {"photo.jpeg", ".jpeg", ""},  // offered by the filter, taken by no route
        {"noextension", "", ""},
        {"dir.bmp/file", "", ""},
        {"dir.bmp\\file", "", ""},
        {"C:file", "", ""},
        {"dir.d:file.bmp", ".bmp", ".bmp"},
        {"picture.png", ".png", ""},
        {"picture.webp", ".webp", ""},  // duvo-compare alone reads these
        {"scan.TIF", ".tif", ""},
        {"scan.tiff", ".tiff", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(OpenExtension(c.name), c.extension);
        const Route* route = FindRoute(c.name);
        EXPECT_EQ(route ? std::string(route->extension) : "", c.route);
    }
}

TEST(Routes, TheCommandLineTakesMoreFormatsThanTheDesktop) {
    const struct {
        const char* name;
        const char* format;  // for duvo-compare
        bool desktop;        // the desktop program's open command takes it too
    } cases[] = {
        {"a.bmp", "BMP", true},    {"a.jpg", "JPEG", true},   {"a.gif", "GIF", true},
        {"a.png", "PNG", false},   {"a.WebP", "WebP", false}, {"a.tif", "TIFF", false},
        {"a.Tiff", "TIFF", false}, {"a.jpeg", "", false},     {"a.avif", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Route* route = FindRoute(c.name, RouteUser::CommandLine);
        EXPECT_EQ(route ? std::string(route->format) : "", c.format);
        // Every route duvo-compare takes has its decoder in this program.
        EXPECT_EQ(route != nullptr && route->openRows != nullptr, *c.format != '\0');
        EXPECT_EQ(FindRoute(c.name, RouteUser::Desktop) != nullptr, c.desktop);
    }
}

}  // namespace
