#include "cli/json.h"

#include <cstdlib>
#include <cstring>

#include "cli/report.h"
#include "rtl/exceptions.h"

namespace duvo::cli {

namespace {

class Parser {
public:
    Parser(const std::string& text, const std::string& source) : s_(text), source_(source) {}

    JsonValue Document() {
        JsonValue v = Value(0);
        Blank();
        if (p_ != s_.size()) Fail("text after the value");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& why) const {
        throw EUsageError(source_ + " is no JSON report of duvo-compare: " + why + " at byte " + std::to_string(p_));
    }
    void Blank() {
        while (p_ < s_.size() && std::strchr(" \n\t\r", s_[p_]) && s_[p_]) ++p_;
    }
    bool Take(char c) {
        Blank();
        if (p_ < s_.size() && s_[p_] == c) {
            ++p_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("'") + c + "' expected");
    }
    JsonValue Value(int depth) {
        // Reports nest a few levels; a deeper document is not one of ours.
        if (depth > 64) Fail("nested too deep");
        Blank();
        if (p_ >= s_.size()) Fail("the text ends");
        const char c = s_[p_];
        if (c == '{') {
            ++p_;
            JsonMembers members;
            if (Take('}')) return {members};
            do {
                Blank();
                std::string key = String();
                Expect(':');
                members.push_back({std::move(key), Value(depth + 1)});
            } while (Take(','));
            Expect('}');
            return {members};
        }
        if (c == '[') {
            ++p_;
            JsonItems items;
            if (Take(']')) return {items};
            do items.push_back(Value(depth + 1));
            while (Take(','));
            Expect(']');
            return {items};
        }
        if (c == '"') return {String()};
        for (const char* word : {"true", "false", "null"})
            if (s_.compare(p_, std::strlen(word), word) == 0) {
                p_ += std::strlen(word);
                if (word[0] == 'n') return {nullptr};
                return {word[0] == 't'};
            }
        const std::size_t start = p_;
        if (p_ < s_.size() && s_[p_] == '-') ++p_;
        while (p_ < s_.size() && std::strchr("0123456789.eE+-", s_[p_]) && s_[p_]) ++p_;
        if (p_ == start) Fail("a value expected");
        return {JsonValue::Number{s_.substr(start, p_ - start)}};
    }
    // Escapes back into UTF-8 bytes.
    std::string String() {
        if (p_ >= s_.size() || s_[p_] != '"') Fail("a string expected");
        std::string out;
        for (++p_;; ++p_) {
            if (p_ >= s_.size()) Fail("the string does not end");
            const char c = s_[p_];
            if (c == '"') break;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++p_ >= s_.size()) Fail("the string does not end");
            switch (s_[p_]) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    if (p_ + 4 >= s_.size()) Fail("a short \\u escape");
                    unsigned code = static_cast<unsigned>(std::strtoul(s_.substr(p_ + 1, 4).c_str(), nullptr, 16));
                    p_ += 4;
                    // A surrogate pair makes one character.
                    if (code >= 0xD800 && code < 0xDC00 && s_.compare(p_ + 1, 2, "\\u") == 0) {
                        const unsigned low =
                            static_cast<unsigned>(std::strtoul(s_.substr(p_ + 3, 4).c_str(), nullptr, 16));
                        if (low >= 0xDC00 && low < 0xE000) {
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                            p_ += 6;
                        }
                    }
                    if (code < 0x80) {
                        out += static_cast<char>(code);
                    } else if (code < 0x800) {
                        out += static_cast<char>(0xC0 | (code >> 6));
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    } else if (code < 0x10000) {
                        out += static_cast<char>(0xE0 | (code >> 12));
                        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        out += static_cast<char>(0xF0 | (code >> 18));
                        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default:
                    Fail("a bad escape");
            }
        }
        ++p_;
        return out;
    }

    const std::string& s_;
    const std::string& source_;
    std::size_t p_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(const std::string& key) const {
    if (const auto* m = std::get_if<JsonMembers>(&value))
        for (const auto& [k, v] : *m)
            if (k == key) return &v;
    return nullptr;
}

std::string JsonValue::String(const std::string& fallback) const {
    const auto* s = std::get_if<std::string>(&value);
    return s ? *s : fallback;
}

std::uint64_t JsonValue::Unsigned(std::uint64_t fallback) const {
    const auto* n = std::get_if<Number>(&value);
    return n ? std::strtoull(n->text.c_str(), nullptr, 10) : fallback;
}

double JsonValue::Double(double fallback) const {
    const auto* n = std::get_if<Number>(&value);
    return n ? std::strtod(n->text.c_str(), nullptr) : fallback;
}

bool JsonValue::Bool(bool fallback) const {
    const auto* b = std::get_if<bool>(&value);
    return b ? *b : fallback;
}

const JsonItems& JsonValue::Items() const {
    static const JsonItems kNone;
    const auto* items = std::get_if<JsonItems>(&value);
    return items ? *items : kNone;
}

JsonValue ParseJson(const std::string& text, const std::string& source) { return Parser(text, source).Document(); }

std::string WriteJson(const JsonValue& v) {
    struct Writer {
        std::string operator()(std::nullptr_t) const { return "null"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(const JsonValue::Number& n) const { return n.text; }
        std::string operator()(const std::string& s) const { return JsonString(s); }
        std::string operator()(const JsonItems& items) const {
            std::string out = "[";
            for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + WriteJson(items[i]);
            return out + "]";
        }
        std::string operator()(const JsonMembers& members) const {
            std::string out = "{";
            for (std::size_t i = 0; i < members.size(); ++i)
                out += (i ? ", " : "") + JsonString(members[i].key) + ": " + WriteJson(members[i].value);
            return out + "}";
        }
    };
    return std::visit(Writer{}, v.value);
}

}  // namespace duvo::cli
