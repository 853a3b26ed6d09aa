#include "util/Random.h"

#include "support/Process.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

using namespace corvan;

namespace {

bool IsVowel(char c) {
    return std::strchr("AEIOUY", c) != nullptr;
}

// The longest run of adjacent letters of one kind (vowel or consonant); digits and other
// characters end a run.
int LongestRunOfOneKind(const std::string& s) {
    int longest = 0, run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        bool letter = std::isupper(static_cast<unsigned char>(s[i]));
        if (!letter)
            run = 0;
        else if (i > 0 && std::isupper(static_cast<unsigned char>(s[i - 1])) &&
                 IsVowel(s[i]) == IsVowel(s[i - 1]))
            ++run;
        else
            run = 1;
        longest = std::max(longest, run);
    }
    return longest;
}

} // namespace

TEST(MotherRandom, StepsByTheFourLagsAndTheCarry) {
    // x(n) = 2111111111 x(n-4) + 1492 x(n-3) + 1776 x(n-2) + 5115 x(n-1) + carry, low 32 bits;
    // the high 32 bits are the next carry (worked out by hand).
    TMotherRandom r({1, 2, 3, 4}, 5);
    EXPECT_EQ(r.Next(), 2111139888u); // no carry out
    EXPECT_EQ(r.Next(), 860011482u);  // carry out 2515
    EXPECT_EQ(r.Next(), 2828585526u); // uses that carry
}

TEST(MotherRandom, EqualSeedsRepeatAndDifferentSeedsDiffer) {
    TMotherRandom a(42), b(42), c(43);
    std::vector<uint32_t> va, vb, vc;
    for (int i = 0; i < 100; ++i) {
        va.push_back(a.Next());
        vb.push_back(b.Next());
        vc.push_back(c.Next());
    }
    EXPECT_EQ(va, vb);
    EXPECT_NE(va, vc);
    // Not stuck: a long run yields many distinct words.
    EXPECT_GT(std::set<uint32_t>(va.begin(), va.end()).size(), 95u);
}

TEST(MotherRandom, BelowStaysInRangeAndCoversItEvenly) {
    TMotherRandom r(7);
    std::array<int, 6> counts{};
    for (int i = 0; i < 60000; ++i) {
        uint32_t v = r.Below(6);
        ASSERT_LT(v, 6u);
        ++counts[v];
    }
    for (int n : counts) {
        EXPECT_GT(n, 9000);
        EXPECT_LT(n, 11000);
    }
    EXPECT_EQ(r.Below(1), 0u);
    EXPECT_EQ(r.Below(0), 0u);
    EXPECT_EQ(r.Below(-5), 0u);
}

// Run by DiffersBetweenProgramStarts in a child process of this test program.
TEST(RandomSeed, DISABLED_PrintFirstWords) {
    uint32_t a = RandomUInt32();
    uint32_t b = RandomUInt32();
    std::printf("words=%08x%08x\n", a, b);
}

TEST(RandomSeed, DiffersBetweenProgramStarts) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::set<std::string> outputs;
    for (int i = 0; i < 3; ++i) {
        test::TChildProcess child({self, "--gtest_filter=RandomSeed.DISABLED_PrintFirstWords",
                                   "--gtest_also_run_disabled_tests"},
                                  {});
        ASSERT_TRUE(child.Started());
        ASSERT_EQ(child.WaitForExit(30000), 0) << child.Output();
        size_t at = child.Output().find("words=");
        ASSERT_NE(at, std::string::npos) << child.Output();
        outputs.insert(child.Output().substr(at, 22));
    }
    EXPECT_EQ(outputs.size(), 3u);
}

TEST(RandomPassword, GenerateSettingsGiveFiveToTwelveUpperCaseLettersAndDigits) {
    std::set<size_t> lengths;
    int withDigits = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string p = RandomPassword(5, 12, false, false, true);
        ASSERT_GE(p.size(), 5u) << p;
        ASSERT_LE(p.size(), 12u) << p;
        for (char c : p)
            ASSERT_TRUE((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) << p;
        ASSERT_LE(LongestRunOfOneKind(p), 2) << p;
        lengths.insert(p.size());
        withDigits += p.find_first_of("0123456789") != std::string::npos;
    }
    EXPECT_EQ(lengths.size(), 8u); // every length from 5 to 12 occurs
    EXPECT_GT(withDigits, 1000);
    EXPECT_LT(withDigits, 9000);
}

TEST(RandomPassword, LettersAloneNeverRunThreeOfAKind) {
    TMotherRandom r(99);
    for (int i = 0; i < 2000; ++i) {
        std::string p = RandomPassword(r, 40, 40, false, false, false);
        ASSERT_EQ(p.size(), 40u);
        ASSERT_LE(LongestRunOfOneKind(p), 2) << p;
    }
}

TEST(RandomPassword, OptionsAddLowerCaseAndSymbols) {
    TMotherRandom r(5);
    bool lower = false, symbol = false;
    for (int i = 0; i < 200; ++i) {
        std::string p = RandomPassword(r, 12, 12, true, true, false);
        for (char c : p) {
            lower = lower || (c >= 'a' && c <= 'z');
            symbol = symbol || std::strchr("!?@%$&-*#", c) != nullptr;
            ASSERT_TRUE(std::isalpha(static_cast<unsigned char>(c)) || std::strchr("!?@%$&-*#", c))
                << p;
        }
    }
    EXPECT_TRUE(lower);
    EXPECT_TRUE(symbol);
}

TEST(RandomPassword, ImpossibleOrOddLengths) {
    TMotherRandom r(1);
    EXPECT_EQ(RandomPassword(r, 0, 0, false, false, true), "");
    EXPECT_EQ(RandomPassword(r, 5, 4, false, false, true), "");
    EXPECT_EQ(RandomPassword(r, -3, -1, false, false, true), "");
    EXPECT_EQ(RandomPassword(r, 7, 7, false, false, true).size(), 7u);
    for (int i = 0; i < 100; ++i)
        EXPECT_LE(RandomPassword(r, -10, 2, true, true, true).size(), 2u);
    EXPECT_EQ(RandomPassword(r, 2000000000, 2100000000, false, false, false).size(),
              size_t(kMaxRandomPasswordLength));
}
