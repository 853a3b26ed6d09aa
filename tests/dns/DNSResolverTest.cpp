// The resolver against scripted servers on loopback: the order servers are asked in, what a
// response code does, reverse names, retries and the time-out, referrals, forged answers,
// source ports, a full lookup table, and callbacks without the lock.
#include "dns/DNSResolver.h"

#include "support/ScriptedDNSServer.h"

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>
#include <tuple>

using namespace corvan;
using namespace corvan::test;

namespace {

// Collects the end of one lookup.
struct TOutcome {
    bool Done = false;
    bool Succeeded = false;
    int ErrorCode = 0;
    TIP4AddrArray Addresses;
    std::vector<std::string> Names;
    int64_t At = 0;
    TdnsLookupCallback Callback() {
        return [this](TdnsLookup& l) {
            Done = true;
            Succeeded = l.Succeeded();
            ErrorCode = l.ErrorCode;
            Addresses = l.Addresses;
            Names = l.Names;
            At = MonotonicMillis();
        };
    }
};

uint32_t Addr(const char* dotted) {
    uint32_t a = 0;
    IsIPAddress(dotted, a);
    return a;
}

TTestResponse AnswerA(const std::string& name, const std::string& address) {
    TTestResponse r;
    r.AA = true;
    r.Answers = {{name, dnsTypeA, address}};
    return r;
}

TScriptedDNSServer::TScript Silent() {
    return [](const TdnsServerQuery&) { return std::vector<TDNSReply>{}; };
}

TScriptedDNSServer::TScript Answering(const std::string& address) {
    return [address](const TdnsServerQuery& q) {
        return std::vector<TDNSReply>{
            {BuildTestResponse(q, AnswerA(q.Questions.at(0).Name, address))}};
    };
}

} // namespace

TEST(DNSResolver, ServersAreNamedWithAPortAndIPv6OnesInBrackets) {
    const std::tuple<const char*, const char*, uint16_t> cases[] = {
        {"10.0.0.53", "10.0.0.53", 53},
        {" ns.example:5353 ", "ns.example", 5353},
        {"2001:db8::53", "2001:db8::53", 53},
        {"[2001:db8::53]:5353", "2001:db8::53", 5353},
        {"[::1]", "::1", 53},
    };
    for (const auto& [text, host, port] : cases) {
        std::string h;
        uint16_t p = 0;
        EXPECT_TRUE(TdnsResolver::SplitServer(text, h, p)) << text;
        EXPECT_EQ(h, host) << text;
        EXPECT_EQ(p, port) << text;
    }
    std::string h;
    uint16_t p = 0;
    EXPECT_FALSE(TdnsResolver::SplitServer("[::1]:0", h, p));
    EXPECT_FALSE(TdnsResolver::SplitServer("[::1]:x", h, p));
}

TEST(DNSResolver, ActivationNeedsAServerThatResolves) {
    TdnsResolver r;
    EXPECT_EQ(r.LookupTimeout, 15000);
    EXPECT_EQ(r.RetryInterval, 2000);
    try {
        r.SetActive(true);
        FAIL();
    } catch (const EdnsResolver& e) {
        EXPECT_STREQ(e.what(), "No DNS server defined");
    }
    r.SetServers({"127.0.0.1:0", "no.such.host.invalid:99999"});
    try {
        r.SetActive(true);
        FAIL();
    } catch (const EdnsResolver& e) {
        EXPECT_STREQ(e.what(), "No valid DNS server");
    }
    EXPECT_FALSE(r.Active());
    EXPECT_THROW(r.Lookup("", dnsTypeA, 0, nullptr), EdnsResolver);
    EXPECT_THROW(r.Lookup("x", dnsTypeAXFR, 0, nullptr), EdnsResolver);
}

TEST(DNSResolver, LastAddedServerFirstThenTheOtherAfterTheRetryInterval) {
    TScriptedDNSServer first(Answering("1.1.1.1"));
    TScriptedDNSServer last(Silent());
    TdnsResolver r;
    r.SetServers({first.Address(), last.Address()});
    TOutcome o;
    int64_t start = MonotonicMillis();
    r.Lookup("host.example", dnsTypeA, 7, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
    EXPECT_TRUE(o.Succeeded);
    EXPECT_EQ(o.Addresses, TIP4AddrArray{Addr("1.1.1.1")});
    ASSERT_EQ(last.QueryCount(), 1u);
    ASSERT_EQ(first.QueryCount(), 1u);
    EXPECT_LE(last.Queries()[0].At, first.Queries()[0].At);
    int64_t waited = first.Queries()[0].At - start;
    EXPECT_GE(waited, 1900);
    EXPECT_LT(waited, 3500);
    // Configured servers are asked for recursion.
    EXPECT_TRUE(first.Queries()[0].Query.Flags.RD);
}

TEST(DNSResolver, ServerFailureTriesTheNextAddressAtOnceAndNameErrorEnds) {
    TScriptedDNSServer first(Answering("2.2.2.2"));
    TScriptedDNSServer failing([](const TdnsServerQuery& q) {
        TTestResponse r;
        r.RCode = 2;
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r;
    r.SetServers({first.Address(), failing.Address()});
    TOutcome o;
    int64_t start = MonotonicMillis();
    r.Lookup("host.example", dnsTypeA, 1, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
    EXPECT_TRUE(o.Succeeded);
    EXPECT_LT(o.At - start, 1000); // not after the retry interval

    TScriptedDNSServer nx([](const TdnsServerQuery& q) {
        TTestResponse r;
        r.RCode = 3;
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r2;
    r2.SetServers({nx.Address()});
    TOutcome o2;
    r2.Lookup("nothing.example", dnsTypeA, 1, o2.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o2.Done; }, 8000));
    EXPECT_FALSE(o2.Succeeded);
    EXPECT_EQ(o2.ErrorCode, 10303);
    EXPECT_EQ(r2.LookupCount(), 0u);
}

TEST(DNSResolver, QueriesStateAnEDNSSizeAndAServerWithoutEDNSIsAskedOnceMoreWithoutIt) {
    // A server that knows no EDNS refuses the OPT record with "format error" or "not
    // implemented", and answers the same question asked without it.
    for (uint8_t refusal : {uint8_t(1), uint8_t(4)}) {
        TScriptedDNSServer old([refusal](const TdnsServerQuery& q) {
            TTestResponse r = AnswerA(q.Questions.at(0).Name, "3.3.3.3");
            if (q.EDNSPayload != 0) {
                r = TTestResponse();
                r.RCode = refusal;
            }
            return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
        });
        TdnsResolver r;
        r.SetServers({old.Address()});
        TOutcome o;
        int64_t start = MonotonicMillis();
        r.Lookup("old.example", dnsTypeA, 1, o.Callback());
        ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
        EXPECT_TRUE(o.Succeeded) << int(refusal);
        EXPECT_EQ(o.Addresses, TIP4AddrArray{Addr("3.3.3.3")});
        EXPECT_LT(o.At - start, 1000); // at once, not after the retry interval
        ASSERT_EQ(old.QueryCount(), 2u);
        EXPECT_EQ(old.Queries()[0].Query.EDNSPayload, kDNSResolverEDNSPayload);
        EXPECT_EQ(old.Queries()[1].Query.EDNSPayload, 0);
    }
    // A format error carrying an OPT record comes from a server that knows EDNS: it is about
    // the question, and stands.
    TScriptedDNSServer modern([](const TdnsServerQuery& q) {
        TTestResponse r;
        r.RCode = 1;
        r.Additional = {{"", dnsTypeOPT, ""}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r;
    r.FollowReferrals = false;
    r.SetServers({modern.Address()});
    TOutcome o;
    r.Lookup("odd.example", dnsTypeA, 1, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
    EXPECT_FALSE(o.Succeeded);
    EXPECT_EQ(o.ErrorCode, 10301);
    EXPECT_EQ(modern.QueryCount(), 1u);
}

TEST(DNSResolver, DottedAddressIsAskedAsItsReverseName) {
    TScriptedDNSServer s([](const TdnsServerQuery& q) {
        TTestResponse r;
        r.AA = true;
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r;
    r.SetServers({s.Address()});
    TOutcome o;
    r.Lookup("10.0.0.1", dnsTypePTR, 1, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
    ASSERT_EQ(s.QueryCount(), 1u);
    EXPECT_EQ(s.Queries()[0].Query.Questions.at(0).Name, "1.0.0.10.IN-ADDR.ARPA");
    EXPECT_EQ(s.Queries()[0].Query.Questions.at(0).QType, dnsTypePTR);
    EXPECT_EQ(TdnsResolver::ReverseName("1.2.3.4"), "4.3.2.1.IN-ADDR.ARPA");
    EXPECT_EQ(TdnsResolver::ReverseName("1.2.3.400"), "1.2.3.400");
    EXPECT_EQ(TdnsResolver::ReverseName("0x1.2.3.4"), "0x1.2.3.4");
}

TEST(DNSResolver, NoAnswerEndsWithTimedOut) {
    TScriptedDNSServer s(Silent());
    TdnsResolver r;
    // The default is 15000 ms (checked above); the rule is the same at any length.
    r.LookupTimeout = 1200;
    r.RetryInterval = 400;
    r.SetServers({s.Address()});
    TOutcome o;
    int failedTag = -1, failedCode = 0;
    r.OnLookupFailed = [&](uint32_t tag, int code) {
        failedTag = int(tag);
        failedCode = code;
    };
    int64_t start = MonotonicMillis();
    r.Lookup("a.b.example", dnsTypeA, 42, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
    EXPECT_EQ(o.ErrorCode, 10401);
    EXPECT_EQ(failedTag, 42);
    EXPECT_EQ(failedCode, 10401);
    EXPECT_GE(o.At - start, 1200);
    EXPECT_LT(o.At - start, 2500);
    EXPECT_EQ(r.LookupCount(), 0u); // its parent-domain lookups ended with it
}

TEST(DNSResolver, ReferralIsFollowedToTheSecondServer) {
    TScriptedDNSServer second([](const TdnsServerQuery& q) {
        return std::vector<TDNSReply>{
            {BuildTestResponse(q, AnswerA(q.Questions.at(0).Name, "5.6.7.8"))}};
    });
    TScriptedDNSServer first([](const TdnsServerQuery& q) {
        TTestResponse r; // not authoritative: a referral
        r.Authority = {{"example", dnsTypeNS, "ns2.example"}};
        r.Additional = {{"ns2.example", dnsTypeA, "127.0.0.1"}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r;
    r.ReferralPort = second.Port();
    r.SetServers({first.Address()});
    TOutcome o;
    r.Lookup("www.example", dnsTypeA, 1, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
    EXPECT_TRUE(o.Succeeded);
    EXPECT_EQ(o.Addresses, TIP4AddrArray{Addr("5.6.7.8")});
    ASSERT_EQ(second.QueryCount(), 1u);
    EXPECT_FALSE(second.Queries()[0].Query.Flags.RD); // learned servers are not asked to recurse
}

TEST(DNSResolver, ReferralLoopEndsLongBeforeTheTimeOut) {
    // Every answer refers to a new server on the same port: an endless chain of referrals.
    std::atomic<int> n{0};
    TScriptedDNSServer loop([&](const TdnsServerQuery& q) {
        std::string ns = "ns" + std::to_string(n++) + ".loop";
        TTestResponse r;
        r.Authority = {{"loop", dnsTypeNS, ns}};
        r.Additional = {{ns, dnsTypeA, "127.0.0.1"}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r;
    r.ReferralPort = loop.Port();
    r.SetServers({loop.Address()});
    TOutcome o;
    int64_t start = MonotonicMillis();
    r.Lookup("x.loop", dnsTypeA, 1, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 12000));
    EXPECT_FALSE(o.Succeeded);
    EXPECT_NE(o.ErrorCode, 10401);
    EXPECT_LT(o.At - start, 5000);
    EXPECT_LT(loop.QueryCount(), 200u);
}

TEST(DNSResolver, ForgedAnswersAreDroppedAndOnlyTheRealOneIsUsed) {
    TScriptedDNSServer s([](const TdnsServerQuery& q) {
        std::string name = q.Questions.at(0).Name;
        TdnsRawQuestion other{"evil.example", dnsTypeA, dnsClassIN};
        TdnsRawQuestion otherType{name, dnsTypeMX, dnsClassIN};
        return std::vector<TDNSReply>{
            {BuildTestResponse(q, AnswerA(name, "6.6.6.1")), true},            // other port
            {BuildTestResponse(q, AnswerA(name, "6.6.6.2"), q.Header.ID ^ 1)}, // other id
            {BuildTestResponse(q, AnswerA(name, "6.6.6.3"), -1, &other)},      // other name
            {BuildTestResponse(q, AnswerA(name, "6.6.6.4"), -1, &otherType)},  // other type
            {BuildTestResponse(q, AnswerA(name, "9.9.9.9"))},                  // the real one
        };
    });
    TdnsResolver r;
    r.SetServers({s.Address()});
    TOutcome o;
    // Names are compared without regard to ASCII case.
    r.Lookup("Host.Example", dnsTypeA, 1, o.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return o.Done && r.DroppedResponses() >= 4; }, 8000));
    EXPECT_TRUE(o.Succeeded);
    EXPECT_EQ(o.Addresses, TIP4AddrArray{Addr("9.9.9.9")});
    EXPECT_EQ(r.DroppedResponses(), 4u);
}

TEST(DNSResolver, EveryQueryLeavesFromAPortOfItsOwnAndItClosesWithTheLookup) {
    TScriptedDNSServer silent(Silent());
    TdnsResolver r;
    r.SetServers({silent.Address()});
    constexpr size_t kLookups = 20;
    for (size_t i = 0; i < kLookups; ++i)
        ASSERT_NE(r.Lookup("n" + std::to_string(i), dnsTypeA, 0, nullptr), nullptr);
    ASSERT_TRUE(RunLoopUntil([&] { return silent.QueryCount() == kLookups; }, 8000));
    std::set<uint16_t> ports;
    for (const TReceivedQuery& q : silent.Queries())
        ports.insert(q.From.Port);
    EXPECT_EQ(ports.size(), kLookups);
    auto open = r.LocalPorts();
    EXPECT_EQ(std::set<uint16_t>(open.begin(), open.end()), ports);
    r.SetActive(false);
    EXPECT_TRUE(r.LocalPorts().empty());

    // One lookup after another: each its own port, none left open once it has its answer.
    TScriptedDNSServer answering(Answering("1.2.3.4"));
    r.SetServers({answering.Address()});
    for (int i = 0; i < 4; ++i) {
        TOutcome o;
        r.Lookup("host.example", dnsTypeA, 0, o.Callback());
        ASSERT_TRUE(RunLoopUntil([&] { return o.Done; }, 8000));
        EXPECT_TRUE(o.Succeeded);
        EXPECT_TRUE(r.LocalPorts().empty());
    }
    ports.clear();
    for (const TReceivedQuery& q : answering.Queries())
        ports.insert(q.From.Port);
    EXPECT_GE(ports.size(), 2u); // the system picks at random: two alike in a row may happen
}

TEST(DNSResolver, AnAnswerArrivingAtAnotherQuerysPortIsDropped) {
    // The answer to the first query, right in every other way, is sent to the port of the
    // second: only an attacker who guessed that port would do so.
    TScriptedDNSServer* server = nullptr;
    TScriptedDNSServer s([&](const TdnsServerQuery& q) {
        std::string name = q.Questions.at(0).Name;
        if (name != "second.example")
            return std::vector<TDNSReply>{};
        std::vector<TReceivedQuery> seen = server->Queries();
        const TReceivedQuery& first = seen.at(0);
        return std::vector<TDNSReply>{
            {BuildTestResponse(first.Query, AnswerA("first.example", "6.6.6.6")), false,
             seen.at(1).From},
            {BuildTestResponse(q, AnswerA(name, "2.2.2.2"))}};
    });
    server = &s;
    TdnsResolver r;
    r.SetServers({s.Address()});
    TOutcome first, second;
    r.Lookup("first.example", dnsTypeA, 1, first.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return s.QueryCount() == 1; }, 8000));
    r.Lookup("second.example", dnsTypeA, 2, second.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return second.Done && r.DroppedResponses() >= 1; }, 8000));
    EXPECT_TRUE(second.Succeeded);
    EXPECT_FALSE(first.Done);
    EXPECT_EQ(r.DroppedResponses(), 1u);
}

TEST(DNSResolver, ASubLookupWithNoRoomCountsAsFailedAndCallbacksRunWithoutTheLock) {
    // A referral to a server without an address needs a sub-lookup; the table has no room.
    TScriptedDNSServer referrer([](const TdnsServerQuery& q) {
        TTestResponse r;
        r.Authority = {{"example", dnsTypeNS, "ns.elsewhere"}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TdnsResolver r;
    r.MaxLookups = 1;
    r.SetServers({referrer.Address()});
    TOutcome o;
    bool lockFree = false;
    auto callback = o.Callback();
    int64_t start = MonotonicMillis();
    // Another thread can take the resolver's lock while a callback runs. It is joined after
    // the callback, so a lock still held only makes this fail, not hang.
    std::thread other;
    std::promise<void> counted;
    r.Lookup("www.example", dnsTypeA, 1, [&](TdnsLookup& l) {
        callback(l);
        other = std::thread([&] {
            r.LookupCount();
            counted.set_value();
        });
        lockFree = counted.get_future().wait_for(std::chrono::seconds(5)) ==
                   std::future_status::ready;
    });
    bool done = RunLoopUntil([&] { return o.Done; }, 8000);
    if (other.joinable())
        other.join();
    ASSERT_TRUE(done);
    EXPECT_FALSE(o.Succeeded);
    EXPECT_EQ(o.ErrorCode, int(dnsErrLookup)); // nothing left to ask, not the time-out
    EXPECT_LT(o.At - start, r.RetryInterval);
    EXPECT_TRUE(lockFree);
    EXPECT_EQ(r.LookupCount(), 0u);
    // The table has room again: the next lookup starts and reaches the server.
    TOutcome next;
    r.Lookup("www.example", dnsTypeA, 2, next.Callback());
    ASSERT_TRUE(RunLoopUntil([&] { return next.Done; }, 8000));
    EXPECT_EQ(referrer.QueryCount(), 2u);
}

TEST(DNSResolver, IdentifiersOfManyLookupsAreUniqueAndNotSequential) {
    TScriptedDNSServer s(Silent());
    TdnsResolver r;
    r.SetServers({s.Address()});
    std::vector<uint16_t> ids;
    std::set<uint16_t> unique;
    for (int i = 0; i < 1000; ++i) {
        TdnsLookup* l = r.Lookup("n" + std::to_string(i) + ".example", dnsTypeA, i, nullptr);
        ASSERT_NE(l, nullptr);
        ids.push_back(l->Identifier);
        unique.insert(l->Identifier);
    }
    EXPECT_EQ(unique.size(), 1000u);
    int sequential = 0;
    for (size_t i = 1; i < ids.size(); ++i)
        sequential += ids[i] == uint16_t(ids[i - 1] + 1);
    EXPECT_LT(sequential, 10);
    r.SetActive(false);
    EXPECT_EQ(r.LookupCount(), 0u);
}
