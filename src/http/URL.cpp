#include "http/URL.h"

#include "util/Strings.h"

#include <utility>

namespace corvan {

namespace {

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

void SplitHostPath(std::string_view rest, std::string& host, std::string& path) {
    size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    path = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash));
}

} // namespace

void DecodeURL(std::string_view url, std::string& protocol, std::string& host, std::string& path) {
    protocol.clear();
    host.clear();
    path.clear();
    for (std::string_view scheme : {"http:", "https:"})
        if (StartsWithNoCase(url, scheme)) {
            protocol = url.substr(0, scheme.size() - 1);
            std::string_view rest = url.substr(scheme.size());
            if (rest.substr(0, 2) == "//")
                rest.remove_prefix(2);
            SplitHostPath(rest, host, path);
            return;
        }
    if (url.substr(0, 2) == "//") {
        SplitHostPath(url.substr(2), host, path);
        return;
    }
    if (url.empty() || url[0] == '/' || url == "*" || url.substr(0, 2) == "./" ||
        url.substr(0, 3) == "../") {
        path = url;
        return;
    }
    size_t sep = url.find("://");
    if (sep != std::string_view::npos && sep > 0) {
        std::string_view scheme = url.substr(0, sep);
        bool valid = true;
        for (char c : scheme)
            valid = valid && IsSchemeChar(c);
        if (valid) {
            protocol = scheme;
            SplitHostPath(url.substr(sep + 3), host, path);
            return;
        }
    }
    // The CONNECT form of an IPv6 literal: "[2001:db8::1]:443".
    size_t colon = url.find(':');
    if (url[0] == '[')
        if (size_t close = url.find(']'); close != std::string_view::npos)
            colon = url.find(':', close);
    if (colon != std::string_view::npos && colon > 0) {
        std::string_view afterColon = url.substr(colon + 1);
        std::string_view port = afterColon.substr(0, afterColon.find('/'));
        if (ParseDigits(port) && url.substr(0, colon).find('/') == std::string_view::npos) {
            SplitHostPath(url, host, path);
            return;
        }
    }
    path = url;
}

namespace {

// Where the user information of target's authority lies, its '@' included: {offset, length};
// length 0 when there is none (origin and asterisk forms have no authority).
std::pair<size_t, size_t> UserInfoSpan(std::string_view target) {
    size_t start = 0;
    if (size_t sep = target.find("://"); sep != std::string_view::npos &&
                                         target.substr(0, sep).find('/') == std::string_view::npos)
        start = sep + 3;
    else if (target.substr(0, 2) == "//")
        start = 2;
    else if (target.empty() || target[0] == '/' || target[0] == '*')
        return {0, 0};
    size_t end = target.find_first_of("/?#", start);
    std::string_view authority =
        target.substr(start, end == std::string_view::npos ? end : end - start);
    size_t at = authority.rfind('@');
    if (at == std::string_view::npos)
        return {0, 0};
    return {start, at + 1};
}

} // namespace

bool HasUserInfo(std::string_view target) {
    return UserInfoSpan(target).second > 0;
}

std::string TargetWithoutUserInfo(std::string_view target) {
    auto [start, length] = UserInfoSpan(target);
    std::string r(target);
    r.erase(start, length);
    return r;
}

std::string RequestLineForLog(std::string_view requestLine) {
    // The target is the second word; a line with another shape is only escaped.
    std::string line(requestLine);
    if (size_t first = line.find(' '); first != std::string::npos) {
        size_t end = line.find(' ', first + 1);
        size_t length = end == std::string::npos ? std::string::npos : end - first - 1;
        line.replace(first + 1, length, TargetWithoutUserInfo(line.substr(first + 1, length)));
    }
    static const char* hex = "0123456789ABCDEF";
    std::string r;
    r.reserve(line.size());
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7F) {
            r += '%';
            r += hex[c >> 4];
            r += hex[c & 15];
        } else {
            r += char(c);
        }
    }
    return r;
}

std::string EncodeURL(std::string_view protocol, std::string_view host, std::string_view path) {
    std::string scheme = protocol.empty() ? std::string("http") : AsciiLowerCase(protocol);
    std::string r = scheme;
    r += (scheme == "http" || scheme == "https") ? "://" : ":";
    r += host;
    if (path.empty() ||
        (path[0] != '/' && path[0] != ',' && path[0] != ':' && path[0] != '@' && path[0] != '\\'))
        r += '/';
    r += path;
    return r;
}

} // namespace corvan
