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
