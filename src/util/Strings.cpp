#include "util/Strings.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

namespace corvan {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

std::string AsciiLowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = AsciiLower(c);
    return r;
}

std::string AsciiUpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = AsciiUpper(c);
    return r;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = (unsigned char)AsciiLower(a[i]);
        unsigned char y = (unsigned char)AsciiLower(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

namespace {
template <typename Pred> std::string_view TrimIf(std::string_view s, Pred pred) {
    size_t b = 0, e = s.size();
    while (b < e && pred(s[b]))
        ++b;
    while (e > b && pred(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}
} // namespace

std::string_view TrimWhiteSpace(std::string_view s) {
    return TrimIf(s, IsWhiteSpace);
}
std::string_view TrimBlanks(std::string_view s) {
    return TrimIf(s, IsBlank);
}

std::string_view TrimControlsAndSpace(std::string_view s) {
    return TrimIf(s, [](char c) { return (unsigned char)c <= 32; });
}

std::vector<std::string> Split(std::string_view s, char delimiter) {
    std::vector<std::string> r;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(delimiter, start);
        if (p == std::string_view::npos) {
            r.emplace_back(s.substr(start));
            return r;
        }
        r.emplace_back(s.substr(start, p - start));
        start = p + 1;
    }
}

std::optional<uint64_t> ParseDigits(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        unsigned d = unsigned(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10)
            return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::optional<int64_t> ParseInt64(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    auto digits = ParseDigits(s);
    if (!digits)
        return std::nullopt;
    const uint64_t limit = uint64_t(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    if (*digits > limit)
        return std::nullopt;
    if (negative)
        return *digits == limit ? std::numeric_limits<int64_t>::min() : -int64_t(*digits);
    return int64_t(*digits);
}

std::optional<uint64_t> ParseHex(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return std::nullopt;
        if (v >> 60)
            return std::nullopt;
        v = (v << 4) | d;
    }
    return v;
}

namespace {
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}
} // namespace

std::string Base64Encode(std::string_view data) {
    std::string r;
    r.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t n = uint32_t(uint8_t(data[i])) << 16;
        if (i + 1 < data.size())
            n |= uint32_t(uint8_t(data[i + 1])) << 8;
        if (i + 2 < data.size())
            n |= uint8_t(data[i + 2]);
        r += kBase64Alphabet[(n >> 18) & 63];
        r += kBase64Alphabet[(n >> 12) & 63];
        r += i + 1 < data.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
        r += i + 2 < data.size() ? kBase64Alphabet[n & 63] : '=';
    }
    return r;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    if (text.size() % 4 == 0 && !text.empty() && text.back() == '=') {
        text.remove_suffix(1);
        if (text.back() == '=')
            text.remove_suffix(1);
    }
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string r;
    r.reserve(text.size() / 4 * 3 + 2);
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v = Base64Value(c);
        if (v < 0)
            return std::nullopt;
        bits = (bits << 6) | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            r += char((bits >> count) & 0xFF);
        }
    }
    return r;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string r;
    if (n > 0) {
        r.resize(size_t(n));
        std::vsnprintf(r.data(), size_t(n) + 1, format, args);
    }
    va_end(args);
    return r;
}

} // namespace corvan
