// The DNS proxy of the built corvan-proxy program, run headless: dig asks it with the system's
// lookup and through dnsmasq as the up-stream server; the system resolver of Linux (getent, in
// a private mount namespace whose resolv.conf names the proxy) resolves through it; a scripted
// up-stream server sees where its queries come from.
#include "support/HeadlessProgram.h"
#include "support/IsolatedNetwork.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/ScriptedDNSServer.h"
#include "support/TempDir.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <set>

#include <unistd.h>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000;

// A free UDP port on address (a loopback address), or 0. On 127.0.0.1 without a wanted port,
// one free for TCP too and below the ephemeral range (FreeLoopbackPort): dnsmasq takes the TCP
// port of the same number, which a test running beside this one could hold with one of its
// outgoing connections.
uint16_t FreeUDPPort(const std::string& address = "127.0.0.1", uint16_t wanted = 0) {
    if (address == "127.0.0.1" && wanted == 0)
        return FreeLoopbackPort();
    uint32_t a = 0;
    IsIPAddress(address, a);
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    uint16_t port = 0;
    if (SocketBind(h, TSocketAddr::IP4(a, wanted)) == 0) {
        TSocketAddr local;
        SocketGetSockName(h, local);
        port = local.Port;
    }
    SocketClose(h);
    return port;
}

class TDNSProgram : public THeadlessProgram {
public:
    TDNSProgram(const std::string& address, uint16_t port, const std::string& extra)
        : THeadlessProgram("[Proxy-DNS]\nEnabled=1\nServerIP=" + address +
                           "\nServerPort=" + std::to_string(port) + "\n" + extra),
          FPort(port) {}
    uint16_t Port() const { return FPort; }

private:
    uint16_t FPort;
};

// dnsmasq on a free loopback port with a few names of its own and nothing up-stream; extra:
// options of the test's own.
class TDnsmasq {
public:
    explicit TDnsmasq(std::vector<std::string> extra = {}) : FExtra(std::move(extra)) {
        // A port another test takes meanwhile: another one is tried then.
        for (int attempt = 0; attempt < 5 && !Ready; ++attempt)
            Start();
    }
    bool Ready = false;
    uint16_t Port() const { return FPort; }
    std::string Output() const { return FProcess ? FProcess->Output() : std::string(); }
    // With --log-queries: how often dnsmasq logged "query[type] name from", counted once it
    // logged the query for marker (asked last; its log comes after the others').
    size_t Logged(const std::string& type, const std::string& name, const std::string& marker) {
        EXPECT_TRUE(FProcess->WaitForOutput("] " + marker + " from", WaitMs)) << Output();
        const std::string line = "query[" + type + "] " + name + " from";
        size_t count = 0;
        for (size_t at = Output().find(line); at != std::string::npos;
             at = Output().find(line, at + 1))
            ++count;
        return count;
    }

private:
    void Start() {
        FPort = FreeUDPPort();
        std::vector<std::string> args{
            "/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
            "--no-hosts", "--bind-interfaces", "--listen-address=127.0.0.1",
            "--port=" + std::to_string(FPort), "--pid-file", "--user=root", "--log-facility=-",
            "--host-record=www.corvan.test,10.1.1.1,fd00::1", "--address=/gone.corvan.test/",
            "--cname=alias.corvan.test,www.corvan.test",
            "--mx-host=corvan.test,mail.corvan.test,10",
            // four strings of 200 bytes: an answer of about 900 bytes
            "--txt-record=long.corvan.test," + std::string(200, 'a') + "," + std::string(200, 'b') +
                "," + std::string(200, 'c') + "," + std::string(199, 'd') + "e",
            // NS ns1.corvan.test, as the record's wire bytes
            "--dns-rr=corvan.test,2,036E733106636F7276616E047465737400"};
        args.insert(args.end(), FExtra.begin(), FExtra.end());
        FProcess = std::make_unique<TChildProcess>(args, std::map<std::string, std::string>{});
        Ready = FProcess->WaitForOutput("started", WaitMs);
    }

    std::vector<std::string> FExtra;
    uint16_t FPort = 0;
    std::unique_ptr<TChildProcess> FProcess;
};

// dig's full output for one question; without EDNS unless options say otherwise.
std::string Dig(uint16_t port, const std::string& name, const std::string& type,
                const std::string& server = "127.0.0.1",
                const std::vector<std::string>& options = {"+noedns"}) {
    std::vector<std::string> args{"/usr/bin/dig", "@" + server, "-p", std::to_string(port)};
    args.insert(args.end(), {name, type, "+tries=1", "+time=8"});
    args.insert(args.end(), options.begin(), options.end());
    TChildProcess dig(args, {});
    dig.WaitForExit(WaitMs);
    return dig.Output();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Asks for the addresses of n<first>.<suffix> up to n<last - 1>.<suffix> through port, at most
// kWindow at once; how many were answered with one.
size_t AskMany(uint16_t port, const std::string& suffix, int first, int last) {
    constexpr int kWindow = 32;
    TUDPPeer client;
    size_t answered = 0;
    int outstanding = 0;
    for (int next = first; next < last || outstanding > 0;) {
        for (; next < last && outstanding < kWindow; ++next, ++outstanding) {
            TdnsWriter w(512);
            DNSWriteQueryHeader(w, uint16_t(next), 0, true);
            DNSWriteRawQuestion(w,
                                {"n" + std::to_string(next) + "." + suffix, dnsTypeA, dnsClassIN});
            client.SendTo(port, w.Data());
        }
        pollfd readable{client.Handle, POLLIN, 0};
        if (::poll(&readable, 1, WaitMs) != 1)
            break; // a query went missing: the count tells
        std::string data;
        TSocketAddr from;
        for (; client.Receive(data, from); --outstanding)
            answered += DNSReadHeader(data).ANCount == 1;
    }
    return answered;
}

// The resident memory of process pid in KiB (VmRSS), or 0.
long ResidentKiB(pid_t pid) {
    std::string status = ReadFileText("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::stol(status.substr(at + 6));
}

} // namespace

TEST(DNSProxyE2E, DigWithTheSystemLookup) {
    if (::access("/usr/bin/dig", X_OK) != 0)
        GTEST_SKIP() << "dig is not installed (scripts/setup.sh --tests)";
    TDNSProgram proxy("127.0.0.1", FreeUDPPort(), "ResolveMethod=0\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    std::string a = Dig(proxy.Port(), "localhost", "A");
    EXPECT_TRUE(Has(a, "status: NOERROR")) << a;
    EXPECT_TRUE(Has(a, ";localhost.\t\t\tIN\tA")) << a; // the question repeated
    EXPECT_TRUE(Has(a, "localhost.\t\t60\tIN\tA\t127.0.0.1")) << a;
    // The system's lookup has no mail exchangers to give: not the name's addresses.
    std::string mx = Dig(proxy.Port(), "localhost", "MX");
    EXPECT_TRUE(Has(mx, "status: NOTIMP")) << mx;
    EXPECT_TRUE(Has(mx, "ANSWER: 0,")) << mx;
    // "a.b" as one label is not the name a.b.localhost, which the system would resolve.
    std::string dotted = Dig(proxy.Port(), "a\\.b.localhost", "A");
    EXPECT_TRUE(Has(dotted, "status: FORMERR")) << dotted;
    std::string nx = Dig(proxy.Port(), "no-such-host.invalid", "A");
    EXPECT_TRUE(Has(nx, "status: NXDOMAIN")) << nx;
    EXPECT_TRUE(Has(nx, "QUERY: 1, ANSWER: 0")) << nx;
    std::string aaaa = Dig(proxy.Port(), "localhost", "AAAA");
    EXPECT_TRUE(Has(aaaa, "status: NOERROR")) << aaaa;
    EXPECT_TRUE(Has(aaaa, ";localhost.\t\t\tIN\tAAAA")) << aaaa;
    std::string https = Dig(proxy.Port(), "localhost", "TYPE65");
    EXPECT_TRUE(Has(https, "status: NOTIMP")) << https;

    // dig asks one question; two in one query are answered for the first alone.
    TUDPPeer client;
    const std::string localhostA = std::string("\x09localhost\0\0\x01\0\x01", 15);
    const std::string otherA = std::string("\x05other\0\0\x01\0\x01", 11);
    client.SendTo(proxy.Port(),
                  std::string("\x43\x21\x01\0\0\x02\0\0\0\0\0\0", 12) + localhostA + otherA);
    std::string data;
    TSocketAddr from;
    pollfd readable{client.Handle, POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, WaitMs), 1);
    ASSERT_TRUE(client.Receive(data, from));
    ASSERT_GE(data.size(), 12 + localhostA.size());
    EXPECT_EQ(data.substr(0, 2), "\x43\x21");
    EXPECT_EQ(data.substr(4, 4), std::string("\0\x01\0\x01", 4)); // one question, one answer
    EXPECT_EQ(data.substr(12, localhostA.size()), localhostA);
}

TEST(DNSProxyE2E, LongAnswersAreCutTo512BytesWithoutEDNSAndSizedByItWithIt) {
    if (::access("/usr/bin/dig", X_OK) != 0)
        GTEST_SKIP() << "dig is not installed (scripts/setup.sh --tests)";
    // An up-stream server that answers with 60 records, about 2 KB: addresses, or texts.
    TScriptedDNSServer upstream([](const TdnsServerQuery& q) {
        const TdnsRawQuestion& question = q.Questions.at(0);
        TTestResponse r;
        r.RA = true;
        for (int i = 0; i < 60; ++i) {
            std::string text = "record " + std::to_string(100 + i) + " of many, padded";
            if (question.QType == dnsTypeA)
                r.Answers.push_back({question.Name, dnsTypeA, "10.0.0." + std::to_string(i)});
            else
                r.Answers.push_back({question.Name, dnsTypeTXT, char(text.size()) + text});
        }
        return std::vector<TDNSReply>{{BuildTestResponse(q, r)}};
    });
    TDNSProgram proxy("127.0.0.1", FreeUDPPort(),
                      "ResolveMethod=1\nResolveServer=" + upstream.Address() + "\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    auto size = [](const std::string& out) {
        size_t at = out.find("MSG SIZE  rcvd: ");
        return at == std::string::npos ? 0 : std::stoul(out.substr(at + 16));
    };
    // Without EDNS: at most 512 bytes, TC set (+ignore: no retry over TCP).
    std::string plain =
        Dig(proxy.Port(), "big.corvan.test", "A", "127.0.0.1", {"+noedns", "+ignore"});
    EXPECT_TRUE(Has(plain, "status: NOERROR")) << plain;
    EXPECT_TRUE(Has(plain, "flags: qr tc rd ra;")) << plain;
    EXPECT_GT(size(plain), 400u) << plain;
    EXPECT_LE(size(plain), 512u) << plain;
    // With EDNS stating 4096 bytes: all 60 records and an OPT record of the proxy's own.
    std::string edns =
        Dig(proxy.Port(), "big.corvan.test", "TXT", "127.0.0.1", {"+bufsize=4096", "+ignore"});
    EXPECT_TRUE(Has(edns, "flags: qr rd ra;")) << edns;
    EXPECT_TRUE(Has(edns, "ANSWER: 60,")) << edns;
    EXPECT_TRUE(Has(edns, "; EDNS: version: 0, flags:; udp: 4096")) << edns;
    EXPECT_TRUE(Has(edns, "\"record 159 of many, padded\"")) << edns;
    EXPECT_LE(size(edns), 4096u) << edns;
}

TEST(DNSProxyE2E, DigThroughDnsmasqAndGetentThroughTheSystemResolver) {
    if (::access("/usr/bin/dig", X_OK) != 0 || ::access("/usr/sbin/dnsmasq", X_OK) != 0)
        GTEST_SKIP() << "dig or dnsmasq is not installed (scripts/setup.sh --tests)";
    TDnsmasq upstream;
    ASSERT_TRUE(upstream.Ready) << upstream.Output();
    // Port 53 of a loopback address of its own when this machine lets us, for getent.
    std::string address = "127.0.0.1";
    uint16_t port = FreeUDPPort();
    bool port53 = ::geteuid() == 0 && FreeUDPPort("127.83.0.1", 53) == 53;
    if (port53) {
        address = "127.83.0.1";
        port = 53;
    }
    TDNSProgram proxy(
        address, port,
        "ResolveMethod=1\nResolveServer=127.0.0.1:" + std::to_string(upstream.Port()) + "\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    std::string a = Dig(port, "www.corvan.test", "A", address);
    EXPECT_TRUE(Has(a, "status: NOERROR")) << a;
    EXPECT_TRUE(Has(a, ";www.corvan.test.\t\tIN\tA")) << a;
    EXPECT_TRUE(Has(a, "www.corvan.test.\t60\tIN\tA\t10.1.1.1")) << a;
    std::string cname = Dig(port, "alias.corvan.test", "CNAME", address);
    EXPECT_TRUE(Has(cname, "alias.corvan.test.\t60\tIN\tCNAME\twww.corvan.test.")) << cname;
    std::string nx = Dig(port, "gone.corvan.test", "A", address);
    EXPECT_TRUE(Has(nx, "status: NXDOMAIN")) << nx;
    EXPECT_TRUE(Has(nx, "QUERY: 1,")) << nx;
    std::string aaaa = Dig(port, "www.corvan.test", "AAAA", address);
    EXPECT_TRUE(Has(aaaa, "www.corvan.test.\t60\tIN\tAAAA\tfd00::1")) << aaaa;
    std::string ns = Dig(port, "corvan.test", "NS", address);
    EXPECT_TRUE(Has(ns, "corvan.test.\t\t60\tIN\tNS\tns1.corvan.test.")) << ns;
    std::string mx = Dig(port, "corvan.test", "MX", address);
    EXPECT_TRUE(Has(mx, "corvan.test.\t\t0\tIN\tMX\t10 mail.corvan.test.")) << mx;
    // About 900 bytes: the proxy's query states an EDNS size that takes it whole (asked
    // without it, dnsmasq would cut it at 512 bytes).
    std::string txt = Dig(port, "long.corvan.test", "TXT", address, {"+bufsize=4096", "+ignore"});
    EXPECT_TRUE(Has(txt, "flags: qr rd ra;")) << txt;
    EXPECT_TRUE(Has(txt, "ANSWER: 1,")) << txt;
    EXPECT_TRUE(Has(txt, std::string(199, 'd') + "e\"")) << txt;

    if (!port53)
        GTEST_SKIP() << "getent through the proxy needs root and port 53 of 127.83.0.1";
    std::string conf = proxy.Dir() / "resolv.conf";
    // A query left unanswered costs the resolver's 5-second time-out; everything else here
    // (two processes, four answers) takes well under a second even on a loaded machine.
    WriteFileText(conf, "nameserver " + address + "\noptions timeout:5 attempts:1\n");
    std::string script = "mount --bind " + conf +
                         " /etc/resolv.conf && getent hosts www.corvan.test && "
                         "getent ahostsv4 www.corvan.test";
    int64_t start = MonotonicMillis();
    TChildProcess getent({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script}, {});
    int code = getent.WaitForExit(WaitMs);
    int64_t took = MonotonicMillis() - start;
    if (code != 0 && (Has(getent.Output(), "unshare failed") || Has(getent.Output(), "mount")))
        GTEST_SKIP() << "no private mount namespace here: " << getent.Output();
    EXPECT_EQ(code, 0) << getent.Output();
    // hosts prefers the IPv6 address; ahostsv4 asks for the IPv4 one.
    EXPECT_TRUE(Has(getent.Output(), "fd00::1         www.corvan.test")) << getent.Output();
    EXPECT_TRUE(Has(getent.Output(), "10.1.1.1")) << getent.Output();
    EXPECT_LT(took, 4000) << "a query waited for the resolver's time-out";
}

TEST(DNSProxyE2E, EveryUpstreamQueryLeavesFromAPortOfItsOwn) {
    // The up-stream server holds its answers until all queries are in, then answers each at
    // the address and port it came from.
    constexpr size_t kQueries = 4;
    TScriptedDNSServer* server = nullptr;
    TScriptedDNSServer upstream([&](const TdnsServerQuery&) {
        std::vector<TDNSReply> replies;
        std::vector<TReceivedQuery> seen = server->Queries();
        if (seen.size() < kQueries)
            return replies;
        for (const TReceivedQuery& q : seen) {
            TTestResponse r;
            r.AA = true;
            r.Answers = {{q.Query.Questions.at(0).Name, dnsTypeA, "10.2.3.4"}};
            replies.push_back({BuildTestResponse(q.Query, r), false, q.From});
        }
        return replies;
    });
    server = &upstream;
    TDNSProgram proxy("127.0.0.1", FreeUDPPort(),
                      "ResolveMethod=1\nResolveServer=" + upstream.Address() + "\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    TUDPPeer client;
    for (size_t i = 0; i < kQueries; ++i) {
        TdnsWriter w(512);
        DNSWriteQueryHeader(w, uint16_t(100 + i), 0, true);
        DNSWriteRawQuestion(w, {"n" + std::to_string(i) + ".corvan.test", dnsTypeA, dnsClassIN});
        client.SendTo(proxy.Port(), w.Data());
    }
    std::set<uint16_t> answered;
    pollfd readable{client.Handle, POLLIN, 0};
    while (answered.size() < kQueries && ::poll(&readable, 1, WaitMs) == 1) {
        std::string data;
        TSocketAddr from;
        ASSERT_TRUE(client.Receive(data, from));
        EXPECT_EQ(DNSDecodeFlags(DNSReadHeader(data).Flags).RCode, 0);
        EXPECT_EQ(DNSReadHeader(data).ANCount, 1);
        answered.insert(DNSReadHeader(data).ID);
    }
    EXPECT_EQ(answered, (std::set<uint16_t>{100, 101, 102, 103}));
    std::set<uint16_t> ports;
    for (const TReceivedQuery& q : upstream.Queries())
        ports.insert(q.From.Port);
    EXPECT_EQ(ports.size(), kQueries);
}

TEST(DNSProxyE2E, TheCacheSendsEachQuestionUpOnceAndCountsItsTTLsDown) {
    if (::access("/usr/bin/dig", X_OK) != 0 || ::access("/usr/sbin/dnsmasq", X_OK) != 0)
        GTEST_SKIP() << "dig or dnsmasq is not installed (scripts/setup.sh --tests)";
    TDnsmasq upstream({"--log-queries", "--local-ttl=300", "--address=/many.corvan.test/10.2.2.2"});
    ASSERT_TRUE(upstream.Ready) << upstream.Output();
    const std::string resolve =
        "ResolveMethod=1\nResolveServer=127.0.0.1:" + std::to_string(upstream.Port()) + "\n";
    TDNSProgram proxy("127.0.0.1", FreeUDPPort(), resolve);
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    auto ttl = [](const std::string& out, const std::string& owner) {
        size_t at = out.find("\n" + owner + "\t");
        return at == std::string::npos
                   ? -1
                   : std::stol(out.substr(out.find_first_not_of("\t", at + owner.size() + 2)));
    };
    std::string mx1 = Dig(proxy.Port(), "corvan.test", "MX");
    int64_t first = MonotonicMillis();
    EXPECT_EQ(ttl(mx1, "corvan.test."), 300) << mx1;
    // 20 queries for one name: one reaches dnsmasq.
    for (int i = 0; i < 20; ++i) {
        std::string a = Dig(proxy.Port(), "www.corvan.test", "A");
        EXPECT_TRUE(Has(a, "\tIN\tA\t10.1.1.1")) << a;
    }
    // 50 at once for a name not asked before: one reaches dnsmasq.
    std::vector<std::unique_ptr<TChildProcess>> digs;
    for (int i = 0; i < 50; ++i)
        digs.push_back(std::make_unique<TChildProcess>(
            std::vector<std::string>{"/usr/bin/dig", "@127.0.0.1", "-p",
                                     std::to_string(proxy.Port()), "new.many.corvan.test", "A",
                                     "+tries=1", "+time=8", "+noedns"},
            std::map<std::string, std::string>{}));
    int answered = 0;
    for (auto& d : digs) {
        d->WaitForExit(WaitMs);
        answered += Has(d->Output(), "\tIN\tA\t10.2.2.2");
    }
    EXPECT_EQ(answered, 50);
    // The second answer lives shorter by the whole seconds between the two (as dig saw them:
    // a second either way).
    std::string mx2 = Dig(proxy.Port(), "corvan.test", "MX");
    int64_t held = (MonotonicMillis() - first) / 1000;
    long second = ttl(mx2, "corvan.test.");
    EXPECT_GE(second, 300 - held - 1) << mx2;
    EXPECT_LE(second, 300 - held + 1) << mx2;
    Dig(proxy.Port(), "end1.many.corvan.test", "A");
    EXPECT_EQ(upstream.Logged("MX", "corvan.test", "end1.many.corvan.test"), 1u);
    EXPECT_EQ(upstream.Logged("A", "www.corvan.test", "end1.many.corvan.test"), 1u);
    EXPECT_EQ(upstream.Logged("A", "new.many.corvan.test", "end1.many.corvan.test"), 1u);

    // CacheSize=0: every query goes up.
    proxy.Stop();
    TDNSProgram uncached("127.0.0.1", FreeUDPPort(), resolve + "CacheSize=0\n");
    ASSERT_TRUE(uncached.Ready) << uncached.Output();
    for (int i = 0; i < 20; ++i)
        Dig(uncached.Port(), "off.many.corvan.test", "A");
    Dig(uncached.Port(), "end2.many.corvan.test", "A");
    EXPECT_EQ(upstream.Logged("A", "off.many.corvan.test", "end2.many.corvan.test"), 20u);
}

TEST(DNSProxyE2E, ABoundedCacheKeepsMemoryFlatUnderManyNames) {
    if (::access("/usr/sbin/dnsmasq", X_OK) != 0)
        GTEST_SKIP() << "dnsmasq is not installed (scripts/setup.sh --tests)";
    TDnsmasq upstream({"--local-ttl=300", "--address=/many.corvan.test/10.2.2.2"});
    ASSERT_TRUE(upstream.Ready) << upstream.Output();
    TDNSProgram proxy("127.0.0.1", FreeUDPPort(),
                      "ResolveMethod=1\nResolveServer=127.0.0.1:" +
                          std::to_string(upstream.Port()) + "\nCacheSize=100\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    // Once the cache is full, 9,000 further names add nothing it keeps: held without a
    // bound, they take about 4 MiB.
    ASSERT_EQ(AskMany(proxy.Port(), "many.corvan.test", 0, 1000), 1000u);
    long before = ResidentKiB(proxy.Process().Pid());
    ASSERT_EQ(AskMany(proxy.Port(), "many.corvan.test", 1000, 10000), 9000u);
    long after = ResidentKiB(proxy.Process().Pid());
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer holds freed memory back: " << after - before << " KiB";
#endif
    constexpr long kNoiseKiB = 1024; // the allocator's own ups and downs
    EXPECT_GT(before, 0);
    EXPECT_LT(after - before, kNoiseKiB) << before << " KiB, then " << after << " KiB";
}

TEST(DNSProxyE2E, AnswersOverBothProtocolsOnAnyInterfaceAndAsksAnIPv6Server) {
    if (::access("/usr/bin/dig", X_OK) != 0 || ::access("/usr/sbin/dnsmasq", X_OK) != 0)
        GTEST_SKIP() << "dig or dnsmasq is not installed (scripts/setup.sh --tests)";
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TDnsmasq upstream({"--listen-address=::1"});
    ASSERT_TRUE(upstream.Ready) << upstream.Output();
    uint16_t port = FreeUDPPort();
    TDNSProgram proxy("", port,
                      "ResolveMethod=1\nResolveServer=[::1]:" + std::to_string(upstream.Port()) +
                          "\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    for (const char* server : {"::1", "127.0.0.1"}) {
        std::string a = Dig(port, "www.corvan.test", "A", server);
        EXPECT_TRUE(Has(a, "status: NOERROR")) << server << "\n" << a;
        EXPECT_TRUE(Has(a, "www.corvan.test.\t60\tIN\tA\t10.1.1.1")) << server << "\n" << a;
    }
}

TEST(DNSProxyE2E, AResolveServerNameIsAskedAtItsIPv4AddressElseAtItsIPv6One) {
    if (::access("/usr/bin/dig", X_OK) != 0 || ::access("/usr/sbin/dnsmasq", X_OK) != 0)
        GTEST_SKIP() << "dig or dnsmasq is not installed (scripts/setup.sh --tests)";
    // A name for ::1 is given 127.0.0.1 too when asked for IPv4: six.test's address is another.
    if (std::string why =
            TIsolatedNetwork::Enter("fd00::53 six.test\n::1 both.test\n127.0.0.1 both.test");
        !why.empty())
        GTEST_SKIP() << why;
    TChildProcess address({"/usr/bin/ip", "-6", "addr", "add", "fd00::53/128", "dev", "lo"}, {});
    if (address.WaitForExit(10000) != 0)
        GTEST_SKIP() << "no IPv6 address to add: " << address.Output();
    // Each name leads to a server only at the address meant: nothing answers both.test's
    // port on ::1.
    TDnsmasq both;
    TDnsmasq six({"--listen-address=fd00::53"});
    ASSERT_TRUE(both.Ready && six.Ready) << both.Output() << six.Output();
    for (auto [name, server] : {std::pair{"both.test", &both}, {"six.test", &six}}) {
        uint16_t port = FreeUDPPort();
        TDNSProgram proxy("", port,
                          "ResolveMethod=1\nResolveServer=" + std::string(name) + ":" +
                              std::to_string(server->Port()) + "\n");
        ASSERT_TRUE(proxy.Ready) << proxy.Output();
        std::string a = Dig(port, "www.corvan.test", "A");
        EXPECT_TRUE(Has(a, "www.corvan.test.\t60\tIN\tA\t10.1.1.1")) << name << "\n" << a;
    }
}
