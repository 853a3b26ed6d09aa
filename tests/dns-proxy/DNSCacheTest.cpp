// The DNS proxy's answer cache on its own, with a clock the test moves: keys, TTLs counted
// down and running out, the configured TTL range, negative times, the entry bound.
#include "dns-proxy/DNSCache.h"

#include <gtest/gtest.h>

using namespace corvan;

namespace {

TdnsAnswerRecord A(const std::string& owner, uint32_t ttl) {
    return {owner, dnsTypeA, std::string("\x0a\0\0\x01", 4), dnsClassIN, ttl};
}

// SOA RDATA: two root names, then serial, refresh, retry, expire, minimum.
TdnsAnswerRecord SOA(uint32_t ttl, uint32_t minimum) {
    TdnsWriter w(64);
    w.PutByte(0);
    w.PutByte(0);
    for (uint32_t v : {1u, 2u, 3u, 4u, minimum})
        w.PutLong(v);
    return {"example", dnsTypeSOA, w.Data(), dnsClassIN, ttl};
}

TDNSCacheAnswer Positive(std::vector<TdnsAnswerRecord> answers) {
    TDNSCacheAnswer a;
    a.Answers = std::move(answers);
    return a;
}

std::string Key(const std::string& name, uint16_t type = dnsTypeA) {
    return TDNSCache::Key({name, type, dnsClassIN});
}

} // namespace

TEST(DNSCache, HeldAnswersCountDownAndRunOut) {
    TDNSCache c;
    c.Configure(100, 0, 86400);
    // Held for the shortest TTL of its records.
    c.Store(Key("www.example"), 1000, Positive({A("www.example", 30), A("www.example", 10)}), 60);
    TDNSCacheAnswer got;
    // Letter case does not matter; type does.
    EXPECT_FALSE(c.Find(Key("www.example", dnsTypeAAAA), 1000, got));
    ASSERT_TRUE(c.Find(Key("WWW.Example"), 4999, got));
    ASSERT_EQ(got.Answers.size(), 2u);
    EXPECT_EQ(got.Answers[0].TTL, 27u); // 3.999 s held: 3 whole seconds
    EXPECT_EQ(got.Answers[1].TTL, 7u);
    ASSERT_TRUE(c.Find(Key("www.example"), 10999, got));
    EXPECT_EQ(got.Answers[1].TTL, 1u);
    EXPECT_FALSE(c.Find(Key("www.example"), 11000, got));
    EXPECT_EQ(c.Size(), 0u);
    EXPECT_EQ(c.Hits(), 2u);
    // A TTL of 0 is not held; ttl bounds the records' own.
    c.Store(Key("zero.example"), 0, Positive({A("zero.example", 0)}), 60);
    c.Store(Key("short.example"), 0, Positive({A("short.example", 300)}), 5);
    EXPECT_FALSE(c.Find(Key("zero.example"), 0, got));
    EXPECT_TRUE(c.Find(Key("short.example"), 4999, got));
    EXPECT_FALSE(c.Find(Key("short.example"), 5000, got));
    // More than one message can carry is not held.
    std::vector<TdnsAnswerRecord> huge(300, A("huge.example", 60));
    for (TdnsAnswerRecord& r : huge)
        r.Data.assign(250, 'x');
    c.Store(Key("huge.example"), 0, Positive(huge), 60);
    EXPECT_FALSE(c.Find(Key("huge.example"), 0, got));
}

TEST(DNSCache, TTLsAreBroughtIntoTheConfiguredRange) {
    TDNSCache c;
    c.Configure(100, 20, 100);
    c.Store(Key("long.example"), 0, Positive({A("long.example", 500000)}), 500000);
    c.Store(Key("brief.example"), 0, Positive({A("brief.example", 1)}), 1);
    TDNSCacheAnswer got;
    ASSERT_TRUE(c.Find(Key("long.example"), 0, got));
    EXPECT_EQ(got.Answers[0].TTL, 100u);
    EXPECT_FALSE(c.Find(Key("long.example"), 100000, got));
    ASSERT_TRUE(c.Find(Key("brief.example"), 19999, got));
    EXPECT_EQ(got.Answers[0].TTL, 1u);
    EXPECT_FALSE(c.Find(Key("brief.example"), 20000, got));
}

TEST(DNSCache, NegativeTimeIsTheSmallerOfTheSOAsTTLAndMinimumElseSixtySeconds) {
    EXPECT_EQ(TDNSCache::NegativeTTL({SOA(300, 30)}), 30u);
    EXPECT_EQ(TDNSCache::NegativeTTL({SOA(10, 3600)}), 10u);
    EXPECT_EQ(TDNSCache::NegativeTTL({}), 60u);
    // SOA RDATA too short to hold a minimum does not count.
    TdnsAnswerRecord broken = SOA(5, 5);
    broken.Data.resize(10);
    EXPECT_EQ(TDNSCache::NegativeTTL({broken}), 60u);
}

TEST(DNSCache, AtTheBoundTheLeastRecentlyUsedGoesAndSizeZeroHoldsNothing) {
    TDNSCache c;
    c.Configure(3, 0, 86400);
    TDNSCacheAnswer got;
    for (const char* name : {"a", "b", "c"})
        c.Store(Key(name), 0, Positive({A(name, 60)}), 60);
    EXPECT_TRUE(c.Find(Key("a"), 0, got)); // a is used: b is now the oldest
    c.Store(Key("d"), 0, Positive({A("d", 60)}), 60);
    EXPECT_EQ(c.Size(), 3u);
    EXPECT_FALSE(c.Find(Key("b"), 0, got));
    for (const char* name : {"a", "c", "d"})
        EXPECT_TRUE(c.Find(Key(name), 0, got)) << name;
    // Storing a question again replaces its answer instead of taking a second place.
    c.Store(Key("d"), 0, Positive({A("d", 60), A("d", 60)}), 60);
    EXPECT_EQ(c.Size(), 3u);
    ASSERT_TRUE(c.Find(Key("d"), 0, got));
    EXPECT_EQ(got.Answers.size(), 2u);
    // Many names through a small cache: it stays at its bound.
    for (int i = 0; i < 1000; ++i)
        c.Store(Key("n" + std::to_string(i)), 0, Positive({A("n", 60)}), 60);
    EXPECT_EQ(c.Size(), 3u);
    c.Configure(0, 0, 86400);
    c.Store(Key("a"), 0, Positive({A("a", 60)}), 60);
    EXPECT_EQ(c.Size(), 0u);
    EXPECT_FALSE(c.Find(Key("a"), 0, got));
}
