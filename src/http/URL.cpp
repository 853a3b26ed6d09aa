#include "http/URL.h"

#include "util/Strings.h"

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
    size_t colon = url.find(':');
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
