// What the tests of duvo-compare share: a small JSON reader and a fixture
// that writes pictures into a folder of its own and runs the built tool.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "graphics/bitmap.h"
#include "png_builder.h"

namespace clitest {

namespace fs = std::filesystem;

// ---- a small JSON reader, enough to check the tool's output ---------------------

struct Json;
using JsonObject = std::map<std::string, Json>;
using JsonArray = std::vector<Json>;
struct Json {
    std::variant<std::nullptr_t, bool, long double, std::string, JsonArray, JsonObject> value;
    const Json& operator[](const std::string& key) const { return std::get<JsonObject>(value).at(key); }
    const Json& operator[](std::size_t i) const { return std::get<JsonArray>(value).at(i); }
    long double Number() const { return std::get<long double>(value); }
    const std::string& String() const { return std::get<std::string>(value); }
    const JsonArray& Array() const { return std::get<JsonArray>(value); }
    bool Bool() const { return std::get<bool>(value); }
    bool IsNull() const { return std::holds_alternative<std::nullptr_t>(value); }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : s_(text) {}
    Json ParseDocument() {
        Json j = Value();
        Blank();
        if (p_ != s_.size()) Fail("text after the value");
        return j;
    }

private:
    [[noreturn]] void Fail(const std::string& why) {
        throw std::runtime_error("JSON: " + why + " at " + std::to_string(p_));
    }
    char Peek() const { return p_ < s_.size() ? s_[p_] : '\0'; }
    void Blank() {
        while (p_ < s_.size() && std::strchr(" \n\t\r", s_[p_])) ++p_;
    }
    bool Take(char c) {
        Blank();
        return Peek() == c && ++p_;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("expected ") + c);
    }
    void Digits() {
        const std::size_t d = p_;
        while (std::isdigit(static_cast<unsigned char>(Peek()))) ++p_;
        if (p_ == d) Fail("digits expected");
    }
    Json Value() {
        if (Take('{')) {
            JsonObject o;
            if (Take('}')) return {o};
            do {
                Blank();
                std::string key = String();
                Expect(':');
                o.emplace(std::move(key), Value());
            } while (Take(','));
            Expect('}');
            return {o};
        }
        if (Take('[')) {
            JsonArray a;
            if (Take(']')) return {a};
            do a.push_back(Value());
            while (Take(','));
            Expect(']');
            return {a};
        }
        if (Peek() == '"') return {String()};
        for (const char* word : {"true", "false", "null"})
            if (s_.compare(p_, std::strlen(word), word) == 0) {
                p_ += std::strlen(word);
                if (word[0] == 'n') return {nullptr};
                return {word[0] == 't'};
            }
        // Numbers by the JSON grammar: -?(0|[1-9]d*)(.d+)?([eE][+-]?d+)?
        const std::size_t start = p_;
        if (Peek() == '-') ++p_;
        if (Peek() == '0')
            ++p_;
        else
            Digits();
        if (Peek() == '.' && ++p_) Digits();
        if ((Peek() == 'e' || Peek() == 'E') && ++p_) {
            if (Peek() == '+' || Peek() == '-') ++p_;
            Digits();
        }
        return {std::strtold(s_.substr(start, p_ - start).c_str(), nullptr)};
    }
    std::string String() {
        if (Peek() != '"') Fail("string expected");
        std::string out;
        for (++p_; Peek() != '"'; ++p_) {
            if (p_ >= s_.size()) Fail("unterminated string");
            const char c = s_[p_];
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            static const std::string escapes = "\"\\/ntr", meant = "\"\\/\n\t\r";
            const char e = s_.at(++p_);
            if (const auto at = escapes.find(e); at != std::string::npos) {
                out += meant[at];
            } else if (e == 'u') {
                const int code = std::stoi(s_.substr(p_ + 1, 4), nullptr, 16);
                if (code >= 0x80) Fail("only ASCII escapes are expected");
                out += static_cast<char>(code);
                p_ += 4;
            } else {
                Fail("bad escape");
            }
        }
        ++p_;
        return out;
    }

    const std::string& s_;
    std::size_t p_ = 0;
};

// Leaf paths of a JSON value: "a.b", "a[].b", "a[]" (also an empty array).
inline void Leaves(const Json& j, const std::string& path, std::set<std::string>& out) {
    if (const auto* o = std::get_if<JsonObject>(&j.value)) {
        for (const auto& [key, value] : *o) Leaves(value, path.empty() ? key : path + "." + key, out);
    } else if (const auto* a = std::get_if<JsonArray>(&j.value)) {
        if (a->empty()) out.insert(path + "[]");
        for (const Json& e : *a) Leaves(e, path + "[]", out);
    } else {
        out.insert(path);
    }
}

// ---- running the tool -------------------------------------------------------------

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CompareTool : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("duvo-cli-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    Outcome Run(const std::vector<std::string>& args) const {
        std::string command = Quote(DUVO_COMPARE_TOOL);
        for (const auto& a : args) command += " " + Quote(a);
        const std::string errFile = Path("stderr.txt");
        command += " 2>" + Quote(errFile);
        Outcome o;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return o;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) o.out.append(buf, n);
        const int raw = ::pclose(pipe);
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        o.err = ReadFile(errFile);
        return o;
    }

    // A picture of the given kind, colored by f(x, y) (or one color), saved as a BMP file.
    template <class F>
    std::string Picture(const std::string& name, int w, int h, F f, duvo::TPixelKind kind = duvo::pk24Bit) const {
        duvo::TBitmap b;
        b.SetPixelKind(kind);
        b.SetWidth(w);
        b.SetHeight(h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) b.Canvas().WritePixel(x, y, f(x, y));
        b.SaveFile(Path(name));
        return Path(name);
    }
    std::string Solid(const std::string& name, int w, int h, duvo::TColor c) const {
        return Picture(name, w, h, [c](int, int) { return c; });
    }
    std::string Random(const std::string& name, int w, int h, std::mt19937& rng, duvo::TPixelKind kind) const {
        return Picture(
            name, w, h, [&](int, int) { return static_cast<duvo::TColor>(rng() & 0xFFFFFF); }, kind);
    }

    // A PNG file made from its recipe.
    std::string Png(const std::string& name, const duvo::test::PngRecipe& recipe) const {
        const auto bytes = duvo::test::PngBuilder::Build(recipe);
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return Path(name);
    }

    fs::path dir_;
};

}  // namespace clitest
