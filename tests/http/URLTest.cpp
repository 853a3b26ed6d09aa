#include "http/URL.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace corvan;

namespace {
std::tuple<std::string, std::string, std::string> Decode(std::string_view url) {
    std::string protocol, host, path;
    DecodeURL(url, protocol, host, path);
    return {protocol, host, path};
}
using Parts = std::tuple<std::string, std::string, std::string>;
} // namespace

TEST(URL, DecodesTheTargetForms) {
    EXPECT_EQ(Decode("http://host1/a"), Parts("http", "host1", "/a"));
    EXPECT_EQ(Decode("HTTPS://h:8443/x?y=1"), Parts("HTTPS", "h:8443", "/x?y=1"));
    EXPECT_EQ(Decode("http://host1"), Parts("http", "host1", ""));
    EXPECT_EQ(Decode("http:host1/a"), Parts("http", "host1", "/a")); // "//" is optional
    EXPECT_EQ(Decode("ftp://f.example/pub"), Parts("ftp", "f.example", "/pub"));
    EXPECT_EQ(Decode("//h/p"), Parts("", "h", "/p"));
    EXPECT_EQ(Decode("/just/a/path"), Parts("", "", "/just/a/path"));
    EXPECT_EQ(Decode("*"), Parts("", "", "*"));
    EXPECT_EQ(Decode("../up"), Parts("", "", "../up"));
    EXPECT_EQ(Decode("./here"), Parts("", "", "./here"));
    EXPECT_EQ(Decode("secure.example:443"), Parts("", "secure.example:443", ""));
    EXPECT_EQ(Decode("h:8080/p"), Parts("", "h:8080", "/p"));
    EXPECT_EQ(Decode("host1/a"), Parts("", "", "host1/a")); // no scheme, no port: a path
    EXPECT_EQ(Decode("h:abc"), Parts("", "", "h:abc"));
    EXPECT_EQ(Decode(""), Parts("", "", ""));
}

TEST(URL, EncodesTheAbsoluteForm) {
    EXPECT_EQ(EncodeURL("", "h", "/a"), "http://h/a");
    EXPECT_EQ(EncodeURL("HTTPS", "h:443", ""), "https://h:443/");
    EXPECT_EQ(EncodeURL("http", "h", "a"), "http://h/a");
    EXPECT_EQ(EncodeURL("mailto", "x", "@y"), "mailto:x@y");
    EXPECT_EQ(EncodeURL("http", "h", ":8/x"), "http://h:8/x");
}
