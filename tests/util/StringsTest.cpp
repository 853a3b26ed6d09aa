#include "util/Strings.h"

#include <gtest/gtest.h>

#include <limits>

using namespace corvan;

TEST(Strings, CaseFoldingTouchesOnlyAsciiLetters) {
    EXPECT_TRUE(EqualNoCase("Content-LENGTH", "content-length"));
    EXPECT_FALSE(EqualNoCase("\xC4", "\xE4")); // Latin-1 letters are not folded
    EXPECT_FALSE(EqualNoCase("[", "{"));
    EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
    EXPECT_GT(CompareNoCase("abcd", "ABC"), 0);
    EXPECT_TRUE(StartsWithNoCase("0X1f", "0x"));
}

TEST(Strings, TrimAndSplit) {
    EXPECT_EQ(TrimWhiteSpace(" \t a b \r\n"), "a b");
    EXPECT_EQ(TrimBlanks("\r a \t"), "\r a");
    EXPECT_EQ(Split("a,,b", ',').size(), 3u);
    EXPECT_EQ(Split("", ',').size(), 1u);
}

TEST(Strings, NumberParsingIsWholeStringAndBounded) {
    EXPECT_EQ(ParseInt64("-42"), -42);
    EXPECT_EQ(ParseInt64("+7"), 7);
    EXPECT_EQ(ParseInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_FALSE(ParseInt64("9223372036854775808"));
    EXPECT_FALSE(ParseInt64("12a"));
    EXPECT_FALSE(ParseInt64("-"));
    EXPECT_FALSE(ParseDigits("+5"));
    EXPECT_FALSE(ParseDigits(""));
    EXPECT_FALSE(ParseDigits("18446744073709551616"));
    EXPECT_EQ(ParseHex("7fffffffffffffff"), 0x7fffffffffffffffull);
    EXPECT_FALSE(ParseHex("10000000000000000"));
    EXPECT_FALSE(ParseHex("0x1"));
}

TEST(Strings, FormatGrowsToFit) {
    EXPECT_EQ(Format("%s-%d", std::string(300, 'x').c_str(), 5), std::string(300, 'x') + "-5");
    EXPECT_EQ(Format("%s", ""), "");
}

TEST(Strings, DialogIntegerFieldFallsBackOutsideInt) {
    EXPECT_EQ(ParseIntDef("2147483647", 5), 2147483647);
    EXPECT_EQ(ParseIntDef("-2147483648", 5), std::numeric_limits<int>::min());
    EXPECT_EQ(ParseIntDef("2147483648", 5), 5);
    EXPECT_EQ(ParseIntDef("-2147483649", 5), 5);
    EXPECT_EQ(ParseIntDef("", -1), -1);
    EXPECT_EQ(ParseIntDef(" 1", -1), -1);
    EXPECT_EQ(ParseIntDef("+0", -1), 0);
}

TEST(Strings, TrimControlsAndSpaceRemovesBytesUpTo32) {
    EXPECT_EQ(TrimControlsAndSpace(std::string("\x01 \t a b\x1f\r\n", 10)), "a b");
    EXPECT_EQ(TrimControlsAndSpace("\xA0x\xA0"), "\xA0x\xA0"); // high bytes are kept
}

TEST(Strings, Base64RoundTripAndRejects) {
    EXPECT_EQ(Base64Encode("user:pass"), "dXNlcjpwYXNz");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Decode("YWI="), "ab");
    EXPECT_EQ(Base64Decode("YWI"), "ab"); // padding may be left out
    EXPECT_EQ(Base64Decode("YQ=="), "a");
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_FALSE(Base64Decode("YWI=YWI="));
    EXPECT_FALSE(Base64Decode("Y"));
    EXPECT_FALSE(Base64Decode("YW*="));
    EXPECT_FALSE(Base64Decode("===="));
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
}

TEST(Strings, Utf8PrefixCountsCharactersAndNeverSplitsOne) {
    EXPECT_EQ(Utf8Prefix("abcdef", 3), "abc");
    EXPECT_EQ(Utf8Prefix("ab", 3), "ab");
    EXPECT_EQ(Utf8Prefix("", 3), "");
    EXPECT_EQ(Utf8Prefix("abc", 0), "");
    // "a", e-acute (2 bytes), euro sign (3 bytes), "b"
    const std::string s = "a\xC3\xA9\xE2\x82\xAC"
                          "b";
    EXPECT_EQ(Utf8Prefix(s, 1), "a");
    EXPECT_EQ(Utf8Prefix(s, 2), "a\xC3\xA9");
    EXPECT_EQ(Utf8Prefix(s, 3), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(Utf8Prefix(s, 4), s);
    // Stray continuation bytes belong to the character before them.
    EXPECT_EQ(Utf8Prefix("\x80\x80x", 1), "\x80\x80");
    EXPECT_EQ(Utf8Prefix("\x80\x80x", 0), "");
}
