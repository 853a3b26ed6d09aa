// The DNS proxy service in this process on a loopback port: what it answers with the system's
// lookup (a stand-in here) and through a scripted server, its bounds, its start failures, its
// status frame and settings form.
#include "dns-proxy/DNSProxyForms.h"
#include "dns-proxy/DNSProxySystem.h"
#include "dns/DNSRecords.h"
#include "net/SocketHostLookup.h"
#include "net/SocketErrors.h"
#include "util/Utils.h"

#include "support/Bytes.h"
#include "support/FakeUserInterface.h"
#include "support/ScriptedDNSServer.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <set>

using namespace corvan;
using namespace corvan::test;

namespace {

uint32_t Addr(const char* dotted) {
    uint32_t a = 0;
    IsIPAddress(dotted, a);
    return a;
}

// The system's lookup replaced by a table; lookups may be held at a gate.
class TTableResolver {
public:
    explicit TTableResolver(std::map<std::string, TIP4AddrArray> table, bool shut = false)
        : FState(std::make_shared<TState>()) {
        FState->Table = std::move(table);
        FState->Open = !shut;
        auto state = FState;
        FPrevious = SetHostResolver([state](const std::string& host, TIP4AddrArray& addresses,
                                            int& errorCode, std::string& errorMessage) {
            std::unique_lock<std::mutex> lock(state->Lock);
            ++state->Inside;
            state->Cond.wait(lock, [&] { return state->Open; });
            --state->Inside;
            auto it = state->Table.find(host);
            if (it != state->Table.end()) {
                addresses = it->second;
            } else {
                errorCode = WSAHOST_NOT_FOUND;
                errorMessage = "Host not found";
            }
        });
    }
    ~TTableResolver() {
        SetHostResolver(std::move(FPrevious));
        Open();
    }
    void Open() {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Open = true;
        FState->Cond.notify_all();
    }
    int Inside() const {
        std::lock_guard<std::mutex> lock(FState->Lock);
        return FState->Inside;
    }

private:
    struct TState {
        std::mutex Lock; // guards the members below
        std::condition_variable Cond;
        std::map<std::string, TIP4AddrArray> Table;
        bool Open = true;
        int Inside = 0;
    };
    std::shared_ptr<TState> FState;
    THostResolver FPrevious;
};

std::string Query(uint16_t id, const std::vector<TdnsRawQuestion>& questions, bool rd = true) {
    TdnsWriter w(4096);
    w.PutWord(id);
    w.PutWord(rd ? 0x0100 : 0);
    w.PutWord(uint16_t(questions.size()));
    w.PutWord(0);
    w.PutWord(0);
    w.PutWord(0);
    for (const auto& q : questions)
        DNSWriteRawQuestion(w, q);
    return w.Data();
}

struct TAnswer {
    TdnsHeader Header;
    TdnsFlags Flags;
    TdnsRawQuestion Question;
    TdnsResponse Response;
};

// The proxy on a free loopback port, and a client peer.
struct TProxy {
    TDNSProxySystem Service;
    TUDPPeer Client;
    TFakeUserInterface UI;
    explicit TProxy(uint8_t method = 0, const std::string& resolveServer = "") {
        Service.SetUserInterface(&UI);
        Service.ServerIP = "127.0.0.1";
        Service.ServerPort = FreeLoopbackPort();
        Service.ResolveMethod = method;
        Service.ResolveServer = resolveServer;
    }
    void Start() { Service.SetEnabled(true); }
    // Sends a query and waits for the answer; false when none comes within ms.
    bool Ask(const std::string& query, TAnswer& answer, int ms = 5000) {
        Client.SendTo(uint16_t(Service.ServerPort), query);
        std::string data;
        TSocketAddr from;
        if (!RunLoopUntil([&] { return Client.Receive(data, from); }, ms))
            return false;
        answer.Header = DNSReadHeader(data);
        answer.Flags = DNSDecodeFlags(answer.Header.Flags);
        if (answer.Header.QDCount > 0)
            DNSReadRawQuestion(data, kDNSHeaderSize, answer.Question);
        answer.Response = DNSParseResponse(data);
        return true;
    }
};

TdnsRawQuestion Q(const std::string& name, uint16_t type) {
    return {name, type, dnsClassIN};
}

} // namespace

TEST(DNSProxySystem, SystemLookupAnswersRepeatTheQuestion) {
    TTableResolver table(
        {{"two.example", {Addr("10.0.0.1"), Addr("10.0.0.2")}}, {"a.b.test", {Addr("10.0.0.3")}}});
    TProxy p;
    p.Start();
    ASSERT_TRUE(p.Service.Active());
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(0x1234, {Q("two.example", dnsTypeA)}), a));
    EXPECT_EQ(a.Header.ID, 0x1234);
    EXPECT_FALSE(a.Flags.IsQuery);
    EXPECT_TRUE(a.Flags.RD); // the request's bits kept
    EXPECT_FALSE(a.Flags.AA);
    EXPECT_EQ(a.Flags.RCode, 0);
    EXPECT_EQ(a.Header.QDCount, 1);
    EXPECT_EQ(a.Question.Name, "two.example");
    EXPECT_EQ(a.Question.QType, dnsTypeA);
    ASSERT_EQ(a.Response.Answers.size(), 2u);
    EXPECT_EQ(DNSAddresses(a.Response.Answers, "two.example"),
              (TIP4AddrArray{Addr("10.0.0.1"), Addr("10.0.0.2")}));
    EXPECT_EQ(a.Response.Answers[0]->Header.TTL, 60u);
    // Two questions: the first is answered.
    ASSERT_TRUE(p.Ask(Query(2, {Q("two.example", dnsTypeA), Q("other.example", dnsTypeA)}), a));
    EXPECT_EQ(a.Header.QDCount, 1);
    EXPECT_EQ(a.Question.Name, "two.example");
    EXPECT_EQ(a.Header.ANCount, 2);
    // A name that does not resolve: code 3 with the question and no records.
    ASSERT_TRUE(p.Ask(Query(3, {Q("missing.example", dnsTypeA)}), a));
    EXPECT_EQ(a.Flags.RCode, 3);
    EXPECT_EQ(a.Header.QDCount, 1);
    EXPECT_EQ(a.Header.ANCount + a.Header.NSCount + a.Header.ARCount, 0);
    // A dotted address is answered with itself.
    ASSERT_TRUE(p.Ask(Query(4, {Q("10.1.2.3", dnsTypeA)}), a));
    EXPECT_EQ(DNSAddresses(a.Response.Answers, "10.1.2.3"), TIP4AddrArray{Addr("10.1.2.3")});
    // Types the system's lookup has no answer for: "not implemented" at once, not the name's
    // addresses, which would tell the client the name has no records of the type.
    for (uint16_t type : {uint16_t(65), dnsTypeMX, dnsTypeTXT}) {
        ASSERT_TRUE(p.Ask(Query(5, {Q("two.example", type)}), a));
        EXPECT_EQ(a.Flags.RCode, 4) << type;
        EXPECT_EQ(a.Question.QType, type);
        EXPECT_EQ(a.Header.ANCount, 0);
    }
    // A label holding a dot is not the name of three labels the table knows: format error.
    std::string dotted = Query(7, {}) + Bytes({3, 'a', '.', 'b'}) + Labels("test") +
                         Word(dnsTypeA) + Word(dnsClassIN);
    dotted[5] = 1; // QDCOUNT
    ASSERT_TRUE(p.Ask(dotted, a));
    EXPECT_EQ(a.Header.ID, 7);
    EXPECT_EQ(a.Flags.RCode, kDNSRcodeFormatError);
    EXPECT_EQ(a.Header.QDCount + a.Header.ANCount, 0);
    // AAAA is answered: the name has no IPv6 address here, so no records and code 0.
    ASSERT_TRUE(p.Ask(Query(6, {Q("two.example", dnsTypeAAAA)}), a));
    EXPECT_EQ(a.Flags.RCode, 0);
    EXPECT_EQ(a.Question.QType, dnsTypeAAAA);
    EXPECT_EQ(p.Service.RequestCount(), 8u);
    EXPECT_EQ(p.Service.PendingCount(), 0u);
}

TEST(DNSProxySystem, MalformedQueriesAndResponsesGetNoAnswer) {
    TTableResolver table({});
    TProxy p;
    p.Start();
    TAnswer a;
    std::string good = Query(9, {Q("x.example", dnsTypeA)});
    for (size_t len = 0; len < good.size(); ++len)
        p.Client.SendTo(uint16_t(p.Service.ServerPort), good.substr(0, len));
    std::string response = good;
    response[2] = char(response[2] | 0x80); // QR: a response, never answered
    p.Client.SendTo(uint16_t(p.Service.ServerPort), response);
    // Only the whole query is answered.
    ASSERT_TRUE(p.Ask(good, a));
    EXPECT_EQ(a.Header.ID, 9);
    RunLoopFor(100);
    std::string data;
    TSocketAddr from;
    EXPECT_FALSE(p.Client.Receive(data, from));
}

TEST(DNSProxySystem, QueriesReadTogetherAreEachAnsweredToTheirOwnSource) {
    std::map<std::string, TIP4AddrArray> names = {{"hit.example", {Addr("10.0.0.1")}}};
    // More datagrams than one read takes, from three clients: in turn a cache hit, a miss
    // (a name of its own, looked up), a malformed datagram (cut short) and a hit with EDNS.
    constexpr size_t kCount = kDNSServerReadBatch + 13;
    for (size_t i = 1; i < kCount; i += 4)
        names["m" + std::to_string(i) + ".example"] = {Addr(("10.1.0." + std::to_string(i)).c_str())};
    TTableResolver table(names);
    TProxy p;
    p.Start();
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(1, {Q("hit.example", dnsTypeA)}), a)); // now held
    std::string edns = Query(0, {Q("hit.example", dnsTypeA)}) + Bytes({0}) + Word(dnsTypeOPT) +
                       Word(1232) + Long(0) + Word(0);
    edns[11] = 1; // ARCOUNT
    TUDPPeer clients[3];
    std::map<uint16_t, std::string> expected[3]; // ID -> the name it asked
    size_t hits = 0;
    for (size_t i = 0; i < kCount; ++i) {
        uint16_t id = uint16_t(1000 + i);
        std::string name = i % 4 == 1 ? "m" + std::to_string(i) + ".example" : "hit.example";
        std::string query = i % 4 == 3 ? edns : Query(id, {Q(name, dnsTypeA)});
        query[0] = char(id >> 8);
        query[1] = char(id & 0xFF);
        if (i % 4 == 2)
            query.resize(query.size() - 1);
        else
            expected[i % 3][id] = name;
        hits += i % 4 == 0 || i % 4 == 3;
        clients[i % 3].SendTo(uint16_t(p.Service.ServerPort), query);
    }
    std::map<uint16_t, TdnsResponse> got[3];
    ASSERT_TRUE(RunLoopUntil([&] {
        std::string data;
        TSocketAddr from;
        for (int c = 0; c < 3; ++c)
            while (clients[c].Receive(data, from)) {
                TdnsResponse r = DNSParseResponse(data);
                EXPECT_TRUE(got[c].emplace(r.Header.ID, std::move(r)).second) << "twice";
            }
        return got[0].size() + got[1].size() + got[2].size() ==
               expected[0].size() + expected[1].size() + expected[2].size();
    }));
    for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(got[c].size(), expected[c].size()) << c;
        for (const auto& [id, name] : expected[c]) {
            ASSERT_TRUE(got[c].count(id)) << c << " " << id;
            const TdnsResponse& r = got[c].at(id);
            EXPECT_EQ(r.Flags.RCode, 0) << name;
            EXPECT_EQ(DNSAddresses(r.Answers, name), names.at(name)) << name;
            EXPECT_EQ(r.Additional.size(), (id - 1000) % 4 == 3 ? 1u : 0u) << "OPT for EDNS";
        }
    }
    EXPECT_EQ(p.Service.CacheHits(), hits);
    RunLoopFor(50);
    std::string data;
    TSocketAddr from;
    for (auto& client : clients)
        EXPECT_FALSE(client.Receive(data, from)) << "an answer to the malformed ones";
}

TEST(DNSProxySystem, QueryNumbersWrapToOne) {
    TTableResolver table({{"a.example", {Addr("1.2.3.4")}}, {"b.example", {Addr("1.2.3.5")}}});
    TProxy p;
    p.Start();
    p.Service.SetLastQueryNumber(2147483646);
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(1, {Q("a.example", dnsTypeA)}), a));
    EXPECT_EQ(p.Service.LastQueryNumber(), 2147483647u);
    ASSERT_TRUE(p.Ask(Query(2, {Q("b.example", dnsTypeA)}), a));
    EXPECT_EQ(p.Service.LastQueryNumber(), 1u);
    EXPECT_EQ(a.Header.ANCount, 1);
}

TEST(DNSProxySystem, AFloodOfQueriesStaysWithinTheBounds) {
    TTableResolver table({{"slow.example", {Addr("1.2.3.4")}}}, /*shut=*/true);
    TProxy p;
    p.Start();
    // Queries while every lookup is held, until more have reached the proxy than it holds (the
    // system drops some of a flood, more of it on a slow machine): at most 4096 wait, 32
    // workers run, and the rest are told "server failure" at once.
    const uint32_t enough = TDNSProxySystem::kMaxPendingQueries + kDNSMaxLookupThreads + 256;
    int failures = 0;
    std::string data;
    TSocketAddr from;
    for (int i = 0; i < 60000 && p.Service.RequestCount() < enough; ++i) {
        p.Client.SendTo(uint16_t(p.Service.ServerPort),
                        Query(uint16_t(i), {Q("slow.example", dnsTypeA)}));
        if (i % 256 == 255) {
            RunLoopFor(5); // let the proxy read, as a busy client's peer would
            while (p.Client.Receive(data, from))
                failures += DNSDecodeFlags(DNSReadHeader(data).Flags).RCode == 2;
        }
    }
    // Until the proxy has read all that reached it (the system may drop some of the flood).
    for (uint32_t seen = ~0u; seen != p.Service.RequestCount();) {
        seen = p.Service.RequestCount();
        RunLoopFor(100);
    }
    while (p.Client.Receive(data, from))
        failures += DNSDecodeFlags(DNSReadHeader(data).Flags).RCode == 2;
    EXPECT_LE(p.Service.PendingCount(), TDNSProxySystem::kMaxPendingQueries);
    EXPECT_LE(p.Service.SystemLookups().ThreadCount(), kDNSMaxLookupThreads);
    EXPECT_LE(table.Inside(), int(kDNSMaxLookupThreads));
    EXPECT_EQ(p.Service.PendingCount() + size_t(failures), size_t(p.Service.RequestCount()));
    ASSERT_GE(p.Service.RequestCount(), enough);
    EXPECT_GT(failures, 0);
    // Released, every waiting query is answered.
    table.Open();
    ASSERT_TRUE(RunLoopUntil([&] { return p.Service.PendingCount() == 0; }, 15000));
}

TEST(DNSProxySystem, LookupsQueuedLongerThanAClientWaitsAreDroppedUnanswered) {
    TTableResolver table(
        {{"slow.example", {Addr("1.2.3.4")}}, {"fresh.example", {Addr("5.6.7.8")}}},
        /*shut=*/true);
    TProxy p;
    std::atomic<int64_t> now{0};
    p.Service.SystemLookups().SetClock([&] { return now.load(); });
    p.Start();
    auto ask = [&](uint16_t id, const std::string& name) {
        p.Client.SendTo(uint16_t(p.Service.ServerPort), Query(id, {Q(name, dnsTypeA)}));
    };
    // Every worker held, and some lookups queued behind them (names of their own: queries
    // for one name would wait for one lookup).
    const int running = int(kDNSMaxLookupThreads);
    constexpr int kQueued = 8;
    for (int i = 0; i < running + kQueued; ++i)
        ask(uint16_t(i), "slow" + std::to_string(i) + ".example");
    ASSERT_TRUE(RunLoopPolling(
        [&] {
            return table.Inside() == running &&
                   p.Service.SystemLookups().QueuedCount() == size_t(kQueued);
        },
        10000));
    // The clients of the queued ones have given up; a new client asks.
    now += kDNSClientPatienceMs + 1;
    ask(1000, "fresh.example");
    ASSERT_TRUE(RunLoopUntil(
        [&] { return p.Service.SystemLookups().QueuedCount() == size_t(kQueued + 1); }, 10000));
    table.Open();
    ASSERT_TRUE(RunLoopUntil([&] { return p.Service.PendingCount() == 0; }, 10000));
    // The running lookups and the new one are answered; the stale ones are not.
    std::set<uint16_t> answered, expected{1000};
    for (int i = 0; i < running; ++i)
        expected.insert(uint16_t(i));
    std::string data;
    TSocketAddr from;
    while (p.Client.Receive(data, from))
        answered.insert(DNSReadHeader(data).ID);
    EXPECT_EQ(answered, expected);
}

TEST(DNSProxySystem, ResolverAnswersFollowTheTable) {
    TScriptedDNSServer upstream([](const TdnsServerQuery& q) {
        const TdnsRawQuestion& question = q.Questions.at(0);
        TTestResponse r;
        r.AA = true;
        r.RA = true;
        if (question.Name == "missing.example")
            r.RCode = 3;
        else if (question.QType == dnsTypeA)
            r.Answers = {{question.Name, dnsTypeCNAME, "real.example"},
                         {"real.example", dnsTypeA, "7.7.7.7"}},
            r.Authority = {{"real.example", dnsTypeNS, "ns.example"}};
        else if (question.QType == dnsTypeNS)
            r.Answers = {{question.Name, dnsTypeNS, "ns1.example"},
                         {question.Name, dnsTypeNS, "ns2.example"}};
        else if (question.QType == dnsTypeCNAME)
            r.Answers = {{question.Name, dnsTypeCNAME, "real.example"}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TProxy p(1, upstream.Address());
    p.Start();
    ASSERT_TRUE(p.Service.Active()) << p.UI.Errors.size();
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(1, {Q("www.example", dnsTypeA)}), a));
    EXPECT_EQ(a.Flags.RCode, 0);
    EXPECT_EQ(a.Question.Name, "www.example");
    ASSERT_EQ(a.Header.ANCount, 2); // the address, then the canonical name
    EXPECT_EQ(DNSAddresses(a.Response.Answers, "www.example"), TIP4AddrArray{Addr("7.7.7.7")});
    EXPECT_EQ(DNSCanonicalName(a.Response.Answers, "www.example"), "real.example");
    EXPECT_EQ(DNSNameServers(a.Response.Authority, "www.example"),
              std::vector<std::string>{"ns.example"});
    ASSERT_TRUE(p.Ask(Query(2, {Q("zone.example", dnsTypeNS)}), a));
    EXPECT_EQ(DNSNameServers(a.Response.Answers, "zone.example"),
              (std::vector<std::string>{"ns1.example", "ns2.example"}));
    ASSERT_TRUE(p.Ask(Query(3, {Q("alias.example", dnsTypeCNAME)}), a));
    EXPECT_EQ(DNSCanonicalName(a.Response.Answers, "alias.example"), "real.example");
    ASSERT_TRUE(p.Ask(Query(4, {Q("missing.example", dnsTypeA)}), a));
    EXPECT_EQ(a.Flags.RCode, 3);
    EXPECT_EQ(a.Header.QDCount, 1);
    // A lookup that cannot start (a zone transfer) is told "server failure" at once.
    ASSERT_TRUE(p.Ask(Query(5, {Q("zone.example", dnsTypeAXFR)}), a));
    EXPECT_EQ(a.Flags.RCode, 2);
    EXPECT_EQ(p.Service.PendingCount(), 0u);
}

TEST(DNSProxySystem, ResolverPassesOtherTypesOnAsTheUpstreamAnsweredThem) {
    const std::string srv = Word(1) + Word(5) + Word(5060) + Labels("sip.example");
    TScriptedDNSServer upstream([&](const TdnsServerQuery& q) {
        const TdnsRawQuestion& question = q.Questions.at(0);
        TTestResponse r;
        r.RA = true;
        if (question.QType == dnsTypeMX)
            r.Answers = {{question.Name, dnsTypeCNAME, "real.example"},
                         {"real.example", dnsTypeMX, "mx1.example", 20, 300},
                         {"real.example", dnsTypeMX, "mx2.example", 10, 300}};
        else if (question.QType == dnsTypeTXT)
            r.Answers = {{question.Name, dnsTypeTXT, "\x05hello\x02hi", 10, 5}};
        else if (question.QType == 33)
            r.Answers = {{question.Name, 33, srv, 10, 0}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TProxy p(1, upstream.Address());
    p.Start();
    ASSERT_TRUE(p.Service.Active()) << p.UI.Errors.size();
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(1, {Q("mail.example", dnsTypeMX)}), a));
    EXPECT_EQ(a.Flags.RCode, 0);
    ASSERT_EQ(a.Header.ANCount, 3);
    EXPECT_EQ(DNSCanonicalName(a.Response.Answers, "mail.example"), "real.example");
    EXPECT_EQ(DNSExchangeNames(a.Response.Answers, "real.example"),
              (std::vector<std::string>{"mx1.example", "mx2.example"}));
    EXPECT_EQ(a.Response.Answers[1]->Header.TTL, 300u);
    ASSERT_TRUE(p.Ask(Query(2, {Q("text.example", dnsTypeTXT)}), a));
    ASSERT_EQ(a.Header.ANCount, 1);
    EXPECT_EQ(a.Response.Answers[0]->Header.Data, "\x05hello\x02hi");
    EXPECT_EQ(a.Response.Answers[0]->Header.TTL, 5u);
    // A type the system knows no name for: asked up-stream and passed on too.
    ASSERT_TRUE(p.Ask(Query(3, {Q("_sip._udp.example", 33)}), a));
    EXPECT_EQ(a.Flags.RCode, 0);
    ASSERT_EQ(a.Header.ANCount, 1);
    EXPECT_EQ(a.Response.Answers[0]->Header.Data, srv);
    EXPECT_EQ(p.Service.PendingCount(), 0u);
}

TEST(DNSProxySystem, AnUpstreamAnswerCutShortIsPassedOnCutWithTC) {
    // "cut.example" comes with TC set: its records are a part of the set.
    TScriptedDNSServer upstream([](const TdnsServerQuery& q) {
        const TdnsRawQuestion& question = q.Questions.at(0);
        TTestResponse r;
        r.RA = true;
        r.TC = question.Name == "cut.example";
        if (question.QType == dnsTypeA)
            r.Answers = {{question.Name, dnsTypeA, "7.7.7.1"},
                         {question.Name, dnsTypeA, "7.7.7.2"}};
        else
            r.Answers = {{question.Name, dnsTypeTXT, "\x04part"}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TProxy p(1, upstream.Address());
    p.Start();
    ASSERT_TRUE(p.Service.Active()) << p.UI.Errors.size();
    TAnswer a;
    // Addresses the proxy writes itself, and records passed on as received.
    for (uint16_t type : {dnsTypeA, dnsTypeTXT}) {
        ASSERT_TRUE(p.Ask(Query(1, {Q("cut.example", type)}), a));
        EXPECT_EQ(a.Flags.RCode, 0);
        EXPECT_TRUE(a.Flags.TC) << type;
        EXPECT_EQ(a.Header.ANCount, type == dnsTypeA ? 2 : 1);
        ASSERT_TRUE(p.Ask(Query(2, {Q("whole.example", type)}), a));
        EXPECT_FALSE(a.Flags.TC) << type;
        EXPECT_EQ(a.Header.ANCount, type == dnsTypeA ? 2 : 1);
    }
}

TEST(DNSProxySystem, AnswersAreHeldForTheirTimeWithTTLsCountedDown) {
    // SOA RDATA: two root names, serial, refresh, retry, expire, minimum 5.
    const std::string soa = std::string(2, '\0') + Long(1) + Long(2) + Long(3) + Long(4) + Long(5);
    TScriptedDNSServer upstream([&](const TdnsServerQuery& q) {
        const TdnsRawQuestion& question = q.Questions.at(0);
        TTestResponse r;
        r.RA = true;
        if (question.Name == "gone.example") {
            r.RCode = 3;
            r.Authority = {{"example", dnsTypeSOA, soa, 10, 300}};
        } else if (question.Name == "broken.example") {
            r.RCode = 2;
        } else if (question.QType == dnsTypeMX) {
            r.Answers = {{question.Name, dnsTypeMX, "mx.example", 10, 300}};
        } else {
            r.TC = question.Name == "cut.example";
            r.Answers = {{question.Name, dnsTypeA, "7.7.7.7", 10, 300}};
        }
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    auto asked = [&](const std::string& name) {
        size_t n = 0;
        for (const TReceivedQuery& q : upstream.Queries())
            n += DNSSameName(q.Query.Questions.at(0).Name, name);
        return n;
    };
    TProxy p(1, upstream.Address());
    p.Service.Recurse = false; // a failure ends the lookup at once
    int64_t now = 0;
    p.Service.CacheClock = [&] { return now; };
    p.Start();
    ASSERT_TRUE(p.Service.Active()) << p.UI.Errors.size();
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(1, {Q("mail.example", dnsTypeMX)}), a));
    EXPECT_EQ(a.Response.Answers.at(0)->Header.TTL, 300u);
    // From the cache, whatever the letter case, 7 seconds later: 7 seconds less to live.
    now += 7000;
    ASSERT_TRUE(p.Ask(Query(2, {Q("MAIL.Example", dnsTypeMX)}), a));
    EXPECT_EQ(a.Header.ID, 2);
    EXPECT_EQ(a.Question.Name, "MAIL.Example");
    EXPECT_EQ(DNSExchangeNames(a.Response.Answers, "mail.example"),
              std::vector<std::string>{"mx.example"});
    EXPECT_EQ(a.Response.Answers.at(0)->Header.TTL, 293u);
    EXPECT_EQ(asked("mail.example"), 1u);
    // Held to the last millisecond of its 300 seconds, then asked again.
    now += 292999;
    ASSERT_TRUE(p.Ask(Query(2, {Q("mail.example", dnsTypeMX)}), a));
    EXPECT_EQ(a.Response.Answers.at(0)->Header.TTL, 1u);
    EXPECT_EQ(asked("mail.example"), 1u);
    now += 1;
    ASSERT_TRUE(p.Ask(Query(3, {Q("mail.example", dnsTypeMX)}), a));
    EXPECT_EQ(a.Response.Answers.at(0)->Header.TTL, 300u);
    EXPECT_EQ(asked("mail.example"), 2u);

    // A name error is held for the SOA's minimum, 5 seconds.
    for (int64_t step : {0, 4999, 1}) {
        now += step;
        ASSERT_TRUE(p.Ask(Query(4, {Q("gone.example", dnsTypeA)}), a));
        EXPECT_EQ(a.Flags.RCode, 3);
    }
    EXPECT_EQ(asked("gone.example"), 2u);
    // Server failures and answers cut short are asked again every time.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(p.Ask(Query(5, {Q("broken.example", dnsTypeA)}), a));
        EXPECT_EQ(a.Flags.RCode, 2);
        ASSERT_TRUE(p.Ask(Query(6, {Q("cut.example", dnsTypeA)}), a));
        EXPECT_TRUE(a.Flags.TC);
    }
    EXPECT_EQ(asked("broken.example"), 2u);
    EXPECT_EQ(asked("cut.example"), 2u);
    p.Service.UpdateDisplay();
    auto* frame = static_cast<TframeDNSProxyStatus*>(p.Service.GetStatusFrame());
    EXPECT_EQ(frame->Value("Cache Hits"), "3");
    EXPECT_EQ(frame->Value("Cached Names"), "2"); // the mail exchanger and the name error
    // New settings from the dialog empty it, and so does a stop.
    p.UI.PressOK = true;
    EXPECT_TRUE(p.Service.EditSettings());
    EXPECT_EQ(p.Service.CachedNames(), 0u);
    EXPECT_EQ(p.Service.CacheHits(), 3u); // counted since the start
    ASSERT_TRUE(p.Ask(Query(8, {Q("mail.example", dnsTypeMX)}), a));
    EXPECT_EQ(p.Service.CachedNames(), 1u);
    p.Service.SetEnabled(false);
    EXPECT_EQ(p.Service.CachedNames(), 0u);

    // CacheSize=0: every query goes up.
    TProxy off(1, upstream.Address());
    off.Service.CacheSize = 0;
    off.Start();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(off.Ask(Query(7, {Q("www.example", dnsTypeA)}), a));
    EXPECT_EQ(asked("www.example"), 3u);
}

TEST(DNSProxySystem, QueriesForAQuestionBeingLookedUpWaitForThatLookup) {
    // Through the resolver: 50 queries in one burst, one up-stream query.
    TScriptedDNSServer upstream([](const TdnsServerQuery& q) {
        TTestResponse r;
        r.RA = true;
        r.Answers = {{q.Questions.at(0).Name, dnsTypeA, "7.7.7.7", 10, 300}};
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    constexpr int kBurst = 50;
    auto collect = [](TProxy& p, std::set<uint16_t>& ids) {
        std::string data;
        TSocketAddr from;
        return RunLoopUntil(
            [&] {
                while (p.Client.Receive(data, from))
                    if (DNSReadHeader(data).ANCount == 1)
                        ids.insert(DNSReadHeader(data).ID);
                return ids.size() == size_t(kBurst);
            },
            10000);
    };
    TProxy p(1, upstream.Address());
    p.Start();
    for (int i = 0; i < kBurst; ++i)
        p.Client.SendTo(uint16_t(p.Service.ServerPort),
                        Query(uint16_t(i), {Q("burst.example", dnsTypeA)}));
    std::set<uint16_t> ids;
    EXPECT_TRUE(collect(p, ids)) << ids.size();
    EXPECT_EQ(upstream.QueryCount(), 1u);
    EXPECT_EQ(p.Service.PendingCount(), 0u);

    // With the system's lookup held: one lookup runs, none is queued, all 50 wait for it.
    TTableResolver table({{"held.example", {Addr("1.2.3.4")}}}, /*shut=*/true);
    TProxy s;
    int64_t now = 0;
    s.Service.CacheClock = [&] { return now; };
    s.Start();
    for (int i = 0; i < kBurst; ++i)
        s.Client.SendTo(uint16_t(s.Service.ServerPort),
                        Query(uint16_t(i), {Q("held.example", dnsTypeA)}));
    ASSERT_TRUE(RunLoopPolling(
        [&] { return s.Service.PendingCount() == size_t(kBurst) && table.Inside() == 1; }, 10000));
    EXPECT_EQ(s.Service.SystemLookups().QueuedCount(), 0u);
    table.Open();
    std::set<uint16_t> held;
    EXPECT_TRUE(collect(s, held)) << held.size();
    EXPECT_EQ(s.Service.PendingCount(), 0u);
    // The system's answer is held for the 60 seconds it is answered with.
    TAnswer a;
    now += 59999;
    ASSERT_TRUE(s.Ask(Query(100, {Q("held.example", dnsTypeA)}), a));
    EXPECT_EQ(s.Service.CacheHits(), 1u);
    EXPECT_EQ(a.Response.Answers.at(0)->Header.TTL, 1u);
    now += 1;
    ASSERT_TRUE(s.Ask(Query(101, {Q("held.example", dnsTypeA)}), a));
    EXPECT_EQ(s.Service.CacheHits(), 1u);
}

TEST(DNSProxySystem, FailedStartsSayWhyAndLeaveNothingRunning) {
    // The port is held by another program.
    TUDPPeer holder;
    TProxy busy;
    busy.Service.ServerPort = holder.Port;
    EXPECT_THROW(busy.Start(), Exception);
    EXPECT_FALSE(busy.Service.Active());
    EXPECT_NE(TDNSProxySystem::BindFailureText(WSAEADDRINUSE, "127.0.0.53", 53)
                  .find("another program holds it"),
              std::string::npos);
    EXPECT_NE(TDNSProxySystem::BindFailureText(WSAEACCES, "", 53).find("CAP_NET_BIND_SERVICE"),
              std::string::npos);
    // Method 1 without a server: the resolver cannot start, and the port is let go again.
    TProxy noServer(1, "");
    try {
        noServer.Start();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("No DNS server defined"), std::string::npos);
    }
    EXPECT_FALSE(noServer.Service.Active());
    TSocketHandle probe = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    EXPECT_EQ(SocketBind(probe, TSocketAddr::IP4(Loopback(), uint16_t(noServer.Service.ServerPort))), 0)
        << "the server still holds its port";
    SocketClose(probe);
}

TEST(DNSProxySystem, StatusFrameAndSettingsForm) {
    TTableResolver table({});
    TProxy p;
    TDateTime now = 45000.5;
    p.Service.Clock = [&] { return now; };
    p.Service.UpdateDisplay();
    auto* frame = static_cast<TframeDNSProxyStatus*>(p.Service.GetStatusFrame());
    EXPECT_EQ(frame->Lines, std::vector<std::string>{"DNS Proxy Server not active."});
    EXPECT_EQ(frame->Value("Request Count"), "-");
    EXPECT_EQ(frame->Value("Up-Time"), "-");
    EXPECT_EQ(frame->Picture, TStatusPicture::iPCGray);
    EXPECT_TRUE(frame->Button("Enable")->Enabled);
    EXPECT_FALSE(frame->Button("Disable")->Enabled);
    ASSERT_TRUE(frame->Click("Enable"));
    ASSERT_TRUE(p.Service.Active());
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(1, {Q("10.0.0.9", dnsTypeA)}), a));
    now += 1.0 / 24; // an hour
    p.Service.UpdateDisplay();
    EXPECT_EQ(frame->Lines, std::vector<std::string>{"DNS Proxy Server active."});
    EXPECT_EQ(frame->Value("Request Count"), "1");
    EXPECT_EQ(frame->Value("Up-Time"), ElapsedTimeTextOfDays(1.0 / 24));
    EXPECT_EQ(frame->Picture, TStatusPicture::iPCBlue);
    ASSERT_TRUE(frame->Click("Disable"));
    EXPECT_EQ(p.Service.RequestCount(), 0u);

    TfrmDNSProxySettings form;
    form.LoadFrom(p.Service);
    EXPECT_EQ(form.Caption(), "DNS Proxy Settings");
    EXPECT_EQ(form.Tabs(), (std::vector<std::string>{"Server", "Resolver"}));
    EXPECT_STREQ(TfrmDNSProxySettings::kMethodSystemCaption, "Use WinSock to resolve names.");
    EXPECT_FALSE(form.ResolverFieldsEnabled());
    form.ResolveMethod = 1;
    form.ResolveServer = " 127.0.0.1:5353 ";
    form.ServerPort = "70000";
    form.RecurseServer = false;
    form.Recurse = false;
    form.ServerIP.SetServerIP("0.0.0.0");
    EXPECT_TRUE(form.ResolverFieldsEnabled());
    form.SaveTo(p.Service);
    EXPECT_EQ(p.Service.ServerPort, 53);
    EXPECT_EQ(p.Service.ServerIP, "");
    EXPECT_EQ(p.Service.ResolveMethod, 1);
    EXPECT_EQ(p.Service.ResolveServer, "127.0.0.1:5353");
    EXPECT_FALSE(p.Service.RecurseServer || p.Service.Recurse);
}

TEST(DNSProxySystem, ClientsOutsideAllowedClientsAreRefusedWithCodeFiveAndCounted) {
    TTableResolver table({});
    TProxy p;
    p.Service.AllowedClients = "127.0.0.1/32";
    p.Start();
    ASSERT_TRUE(p.Service.Active());
    TAnswer a;
    ASSERT_TRUE(p.Ask(Query(7, {Q("10.0.0.9", dnsTypeA)}), a));
    EXPECT_EQ(a.Flags.RCode, 0);

    TUDPPeer stranger(Addr("127.0.0.2"));
    stranger.SendTo(uint16_t(p.Service.ServerPort), Query(0x4242, {Q("10.0.0.9", dnsTypeA)}));
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(RunLoopUntil([&] { return stranger.Receive(data, from); }, 5000));
    TdnsHeader h = DNSReadHeader(data);
    EXPECT_EQ(h.ID, 0x4242);
    EXPECT_EQ(DNSDecodeFlags(h.Flags).RCode, kDNSRcodeRefused);
    EXPECT_FALSE(DNSDecodeFlags(h.Flags).IsQuery);
    EXPECT_EQ(h.QDCount, 1);
    EXPECT_EQ(h.ANCount + h.NSCount + h.ARCount, 0);
    // Garbage from a stranger gets nothing back; the allowed client is still served, and
    // only the stranger's query counts as a request refused, none as a request.
    stranger.SendTo(uint16_t(p.Service.ServerPort), "\x01\x02\x03");
    ASSERT_TRUE(p.Ask(Query(8, {Q("10.0.0.8", dnsTypeA)}), a));
    EXPECT_FALSE(stranger.Receive(data, from));
    EXPECT_EQ(p.Service.RequestCount(), 2u);
    EXPECT_EQ(p.Service.RefusedCount(), 2u);
    p.Service.UpdateDisplay();
    auto* frame = static_cast<TframeDNSProxyStatus*>(p.Service.GetStatusFrame());
    EXPECT_EQ(frame->Value("Refused Clients"), "2");
    ASSERT_EQ(p.UI.LogLines.size(), 1u); // once per address per minute
    EXPECT_NE(p.UI.LogLines[0].find("127.0.0.2"), std::string::npos);
    p.Service.SetEnabled(false);
    p.Service.UpdateDisplay();
    EXPECT_EQ(frame->Value("Refused Clients"), "-");

    // A bad entry keeps the service stopped and names the entry; the form says the same.
    p.Service.AllowedClients = "127.0.0.1, 300.1.2.3";
    EXPECT_THROW(p.Start(), Exception);
    EXPECT_FALSE(p.Service.Active());
    TfrmDNSProxySettings form;
    form.LoadFrom(p.Service);
    EXPECT_NE(form.ValidationError().find("300.1.2.3"), std::string::npos);
    p.Service.AllowedClients = "";
    form.LoadFrom(p.Service);
    EXPECT_EQ(form.AllowedClients.Text, kDefaultAllowedClients);
    EXPECT_EQ(form.ValidationError(), "");
}
