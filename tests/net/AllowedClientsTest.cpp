// Who may connect: the AllowedClients parser and match, the refusal log limiter, the
// admission counter, and a TCP server refusing at accept over real loopback connections
// (a client bound to 127.0.0.2 stands for another host).
#include "net/AllowedClients.h"
#include "net/TCPServer.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <poll.h>

using namespace corvan;
using namespace corvan::test;

namespace {

uint32_t A(const char* dotted) {
    return htonl(inet_network(dotted));
}

std::string Error(const std::string& entry, const char* why) {
    return "invalid AllowedClients entry \"" + entry + "\": " + why;
}
constexpr const char* kNotAnAddress = "not an IPv4 address (a.b.c.d), a block (a.b.c.d/n) or *";
constexpr const char* kBadPrefix = "the prefix length after / must be 0 to 32";
constexpr const char* kNotIPv6 = "not an IPv6 address (a:b::c) or block (a:b::/n)";
constexpr const char* kBadPrefix6 = "the prefix length after / must be 0 to 128";

TSocketAddr V6(const char* text) {
    std::array<uint8_t, 16> a{};
    EXPECT_TRUE(IsIP6Address(text, a)) << text;
    return TSocketAddr::IP6(a, 1234);
}

} // namespace

TEST(AllowedClients, EmptyBlankOrEntrylessTextIsTheDefaultList) {
    const std::string defaultText = TAllowedClients().Text();
    EXPECT_EQ(defaultText, "127.0.0.0/8, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, "
                           "169.254.0.0/16, 100.64.0.0/10, ::1/128, fc00::/7, fe80::/10");
    for (const char* text : {"", "   ", "\t", ",", " , ,"}) {
        EXPECT_EQ(TAllowedClients::ParseError(text), "") << text;
        EXPECT_EQ(TAllowedClients::Parse(text).Text(), defaultText) << "[" << text << "]";
    }
}

TEST(AllowedClients, ParsesAddressesBlocksAndStarWithBlanks) {
    EXPECT_EQ(TAllowedClients::Parse("192.168.1.20").Text(), "192.168.1.20/32");
    EXPECT_EQ(TAllowedClients::Parse(" 10.1.2.3 ,\t192.168.1.0/24 , ").Text(),
              "10.1.2.3/32, 192.168.1.0/24");
    // Host bits set: the block that holds the address.
    EXPECT_EQ(TAllowedClients::Parse("192.168.1.77/24").Text(), "192.168.1.0/24");
    EXPECT_EQ(TAllowedClients::Parse("8.8.8.8/0").Text(), "0.0.0.0/0");
    EXPECT_EQ(TAllowedClients::Parse("0.0.0.0/32, 255.255.255.255/32").Text(),
              "0.0.0.0/32, 255.255.255.255/32");
    EXPECT_TRUE(TAllowedClients::Parse("*").AllowsEveryone());
    EXPECT_TRUE(TAllowedClients::Parse("10.0.0.1, *").AllowsEveryone());
    EXPECT_EQ(TAllowedClients::Parse(" * ").Text(), "*");
    EXPECT_FALSE(TAllowedClients::Parse("0.0.0.0/0").AllowsEveryone()); // IPv4 only
    // IPv6 in its canonical text; an IPv4-mapped block reads as the IPv4 block it is.
    EXPECT_EQ(TAllowedClients::Parse("2001:DB8:0:0::7, 2001:db8::1/32, fd12:3456::/48").Text(),
              "2001:db8::7/128, 2001:db8::/32, fd12:3456::/48");
    EXPECT_EQ(TAllowedClients::Parse("::ffff:10.1.2.3/104").Text(), "10.0.0.0/8");
}

TEST(AllowedClients, BadEntryIsNamedAndNeverWidensTheList) {
    const std::pair<const char*, std::string> cases[] = {
        {"10.0.0.256", Error("10.0.0.256", kNotAnAddress)},
        {"10.0.0", Error("10.0.0", kNotAnAddress)},
        {"10.0.0.1.2", Error("10.0.0.1.2", kNotAnAddress)},
        {"010.0.0.1", Error("010.0.0.1", kNotAnAddress)}, // octal elsewhere: refused
        {"10.0.0.-1", Error("10.0.0.-1", kNotAnAddress)},
        {"+10.0.0.1", Error("+10.0.0.1", kNotAnAddress)},
        {"10..0.1", Error("10..0.1", kNotAnAddress)},
        {"localhost", Error("localhost", kNotAnAddress)},
        {":::1", Error(":::1", kNotIPv6)},
        {"fe80::1%eth0", Error("fe80::1%eth0", kNotIPv6)},
        {"2001:db8::g", Error("2001:db8::g", kNotIPv6)},
        {"2001:db8::/129", Error("2001:db8::/129", kBadPrefix6)},
        {"2001:db8::/032", Error("2001:db8::/032", kBadPrefix6)},
        {"10.0.0.0/100", Error("10.0.0.0/100", kBadPrefix)},
        {"**", Error("**", kNotAnAddress)},
        {"10.0.0.1 10.0.0.2", Error("10.0.0.1 10.0.0.2", kNotAnAddress)},
        {"/8", Error("/8", kNotAnAddress)},
        {"10.0.0.0/33", Error("10.0.0.0/33", kBadPrefix)},
        {"10.0.0.0/", Error("10.0.0.0/", kBadPrefix)},
        {"10.0.0.0/08", Error("10.0.0.0/08", kBadPrefix)},
        {"10.0.0.0/8x", Error("10.0.0.0/8x", kBadPrefix)},
        {"10.0.0.0/-1", Error("10.0.0.0/-1", kBadPrefix)},
        {"10.0.0.0/8/8", Error("10.0.0.0/8/8", kBadPrefix)},
        // The first bad entry is named, also after good ones and a star.
        {"*, 192.168.1.0/24, 300.1.1.1, x", Error("300.1.1.1", kNotAnAddress)},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(TAllowedClients::ParseError(text), message) << text;
        try {
            TAllowedClients::Parse(text);
            ADD_FAILURE() << "parsed: " << text;
        } catch (const EAllowedClients& e) {
            EXPECT_EQ(e.what(), message);
        }
        TAllowedClients kept = TAllowedClients::Parse("10.9.9.9");
        std::string error;
        EXPECT_FALSE(TAllowedClients::TryParse(text, kept, error));
        EXPECT_EQ(error, message);
        EXPECT_EQ(kept.Text(), "10.9.9.9/32");
    }
}

TEST(AllowedClients, DefaultAdmitsLoopbackAndLocalNetworksOnly) {
    TAllowedClients list;
    for (const char* in : {"127.0.0.1", "127.255.255.255", "10.0.0.0", "10.255.255.255",
                           "172.16.0.1", "172.31.255.255", "192.168.0.1", "192.168.255.255",
                           "169.254.1.1", "100.64.0.1", "100.127.255.255"})
        EXPECT_TRUE(list.Allows(A(in))) << in;
    for (const char* out : {"8.8.8.8", "0.0.0.0", "255.255.255.255", "11.0.0.1", "9.255.255.255",
                            "172.15.255.255", "172.32.0.0", "192.167.255.255", "192.169.0.0",
                            "169.253.255.255", "100.63.255.255", "100.128.0.0", "128.0.0.1"})
        EXPECT_FALSE(list.Allows(A(out))) << out;
}

TEST(AllowedClients, BlocksMatchByPrefixAndSlash32ByAddress) {
    TAllowedClients list = TAllowedClients::Parse("192.168.1.0/24, 203.0.113.7/32");
    EXPECT_TRUE(list.Allows(A("192.168.1.0")));
    EXPECT_TRUE(list.Allows(A("192.168.1.255")));
    EXPECT_FALSE(list.Allows(A("192.168.2.0")));
    EXPECT_TRUE(list.Allows(A("203.0.113.7")));
    EXPECT_FALSE(list.Allows(A("203.0.113.6")));
    EXPECT_FALSE(list.Allows(A("203.0.113.8")));
    EXPECT_FALSE(list.Allows(A("127.0.0.1"))); // a given list replaces the default
    EXPECT_TRUE(TAllowedClients::Parse("0.0.0.0/0").Allows(A("8.8.8.8")));
    EXPECT_TRUE(TAllowedClients::Parse("*").Allows(A("8.8.8.8")));

    // Socket addresses: IPv4, IPv4 mapped into IPv6, other IPv6 only with "*".
    EXPECT_TRUE(list.Allows(TSocketAddr::IP4(A("192.168.1.9"), 1234)));
    std::array<uint8_t, 16> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 9};
    EXPECT_TRUE(list.Allows(TSocketAddr::IP6(mapped)));
    mapped[14] = 2;
    EXPECT_FALSE(list.Allows(TSocketAddr::IP6(mapped)));
    EXPECT_FALSE(TAllowedClients::Parse("0.0.0.0/0").Allows(V6("::1")));
    EXPECT_TRUE(TAllowedClients::Everyone().Allows(V6("2001:db8::1")));
    EXPECT_FALSE(list.Allows(TSocketAddr{}));
}

TEST(AllowedClients, IPv6BlocksMatchByPrefixAndNeverAdmitIPv4ClientsByAccident) {
    TAllowedClients def;
    for (const char* in : {"::1", "fc00::1", "fd12:3456::9", "fe80::1", "febf:ffff::1"})
        EXPECT_TRUE(def.Allows(V6(in))) << in;
    for (const char* out : {"::2", "::", "2001:db8::1", "fbff:ffff::1", "fec0::1", "ff02::1"})
        EXPECT_FALSE(def.Allows(V6(out))) << out;

    TAllowedClients list = TAllowedClients::Parse("2001:db8::/32, 2001:db8:1::5/127");
    EXPECT_TRUE(list.Allows(V6("2001:db8:ffff::1")));
    EXPECT_FALSE(list.Allows(V6("2001:db9::1")));
    EXPECT_TRUE(TAllowedClients::Parse("2001:db8:1::5/127").Allows(V6("2001:db8:1::4")));
    EXPECT_FALSE(TAllowedClients::Parse("2001:db8:1::5/127").Allows(V6("2001:db8:1::6")));
    // Every IPv6 client is not every client: IPv4 ones, also mapped, need IPv4 entries.
    TAllowedClients all6 = TAllowedClients::Parse("::/0");
    EXPECT_TRUE(all6.Allows(V6("2001:db8::1")));
    EXPECT_FALSE(all6.Allows(A("10.0.0.1")));
    EXPECT_FALSE(all6.Allows(V6("::ffff:10.0.0.1")));
    EXPECT_FALSE(TAllowedClients::Parse("::1").Allows(A("127.0.0.1")));
    EXPECT_TRUE(TAllowedClients::Parse("::ffff:10.0.0.0/104").Allows(A("10.9.8.7")));
}

TEST(RefusalLogLimiter, OncePerAddressPerIntervalWithinBoundedMemory) {
    TRefusalLogLimiter limiter(60000, 3);
    auto addr = [](uint8_t last, uint16_t port = 1) {
        return TSocketAddr::IP4(htonl(0x0A000000u | last), port);
    };
    EXPECT_TRUE(limiter.ShouldLog(addr(1), 0));
    EXPECT_FALSE(limiter.ShouldLog(addr(1, 2), 1000)); // another port, same client
    EXPECT_FALSE(limiter.ShouldLog(addr(1), 59999));
    EXPECT_TRUE(limiter.ShouldLog(addr(1), 60000));
    EXPECT_TRUE(limiter.ShouldLog(addr(2), 60001));
    EXPECT_TRUE(limiter.ShouldLog(addr(3), 60002));
    // Full of fresh entries: a scan over new addresses is neither logged nor remembered.
    for (uint8_t i = 4; i < 200; ++i)
        EXPECT_FALSE(limiter.ShouldLog(addr(i), 60003));
    EXPECT_EQ(limiter.Size(), 3u);
    EXPECT_EQ(limiter.Suppressed(), 196u);
    // Once the entries age out, new addresses are logged again.
    EXPECT_TRUE(limiter.ShouldLog(addr(250), 120000));
    EXPECT_EQ(limiter.Size(), 3u); // 250, and 2 and 3 not yet a minute old
    EXPECT_FALSE(limiter.ShouldLog(addr(250), 120001));
}

TEST(ClientAdmission, CountsEveryRefusalAndLogsTheFirstPerAddress) {
    TClientAdmission admission;
    std::vector<std::string> lines;
    int64_t now = 5000;
    admission.Clock = [&] { return now; };
    admission.OnRefusalLog = [&](const std::string& line) { lines.push_back(line); };
    admission.SetAllowed(TAllowedClients::Parse("192.168.1.0/24"));
    EXPECT_TRUE(admission.Admit(TSocketAddr::IP4(A("192.168.1.5"), 4000)));
    for (uint16_t port = 1; port <= 100; ++port)
        EXPECT_FALSE(admission.Admit(TSocketAddr::IP4(A("203.0.113.9"), port)));
    EXPECT_FALSE(admission.Admit(TSocketAddr::IP4(A("127.0.0.1"), 1)));
    EXPECT_EQ(admission.RefusedCount(), 101u);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Client 203.0.113.9 refused: not in AllowedClients",
                         "Client 127.0.0.1 refused: not in AllowedClients"}));
    now += TRefusalLogLimiter::kIntervalMs;
    EXPECT_FALSE(admission.Admit(TSocketAddr::IP4(A("203.0.113.9"), 1)));
    EXPECT_EQ(lines.size(), 3u);
    // The list is replaced while in use; the count goes on until reset.
    admission.SetAllowed(TAllowedClients::Everyone());
    EXPECT_TRUE(admission.Admit(TSocketAddr::IP4(A("203.0.113.9"), 1)));
    EXPECT_EQ(admission.RefusedCount(), 102u);
    admission.ResetCount();
    EXPECT_EQ(admission.RefusedCount(), 0u);
}

// ---- a TCP server refusing at accept, over loopback ----

namespace {

// A blocking connection to 127.0.0.1:port from source (127.0.0.x).
TSocketHandle ConnectFrom(const char* source, uint16_t port) {
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    SocketBind(h, TSocketAddr::IP4(A(source), 0));
    EXPECT_EQ(SocketConnect(h, TSocketAddr::IP4(Loopback(), port)), 0);
    SetReceiveTimeout(h);
    return h;
}

// The server has closed h (end of stream or reset) while this thread served its loop; what
// it sent before is in received.
bool ClosedByServer(TSocketHandle h, std::string* received = nullptr) {
    // Closed by a client thread, which tells the main loop nothing of it.
    return RunLoopPolling([&] {
        pollfd p{h, POLLIN, 0};
        char buf[256];
        while (::poll(&p, 1, 0) == 1) {
            long n = SocketRecv(h, buf, sizeof buf);
            if (n <= 0)
                return true;
            if (received)
                received->append(buf, static_cast<size_t>(n));
        }
        return false;
    });
}

struct TGreetingServer : ATCPServer {
    TClientAdmission Gate;
    std::atomic<int> Created{0};
    std::mutex LinesLock;
    std::vector<std::string> Lines; // LinesLock
    explicit TGreetingServer(const char* allowed, bool closeAtAccept = true) {
        ClientMode = cmThread;
        SetLocalHost("127.0.0.1");
        SetListenPort("0");
        SetMaxBacklog(kListenBacklogMin);
        Gate.SetAllowed(TAllowedClients::Parse(allowed));
        // On the thread that accepted.
        Gate.OnRefusalLog = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(LinesLock);
            Lines.push_back(line);
        };
        Admission = &Gate;
        CloseRefusedAtAccept = closeAtAccept;
        OnClientExecute = [](TTCPServerClient* client) {
            client->GetStream()->Writer().WriteStr(client->Refused() ? "refused" : "welcome");
            client->GetStream()->Flush();
        };
        SetActive(true);
    }
    ~TGreetingServer() override { ShutdownClients(); }
    std::unique_ptr<TTCPServerClient> CreateClient() override {
        ++Created;
        return ATCPServer::CreateClient();
    }
    uint16_t Port() {
        TSocketAddr local;
        SocketGetSockName(ServerSocket().SocketHandle(), local);
        return local.Port;
    }
};

} // namespace

TEST(TCPServerAdmission, RefusedConnectionsCloseAtAcceptWithoutClientOrThread) {
    TGreetingServer server("127.0.0.2/32");
    // More refusals than one accept pass takes, all waiting at once.
    std::vector<TSocketHandle> refused;
    for (int i = 0; i < 3 * kMaxRefusalsPerAcceptPass / 2; ++i)
        refused.push_back(ConnectFrom("127.0.0.1", server.Port()));
    TSocketHandle allowed = ConnectFrom("127.0.0.2", server.Port());
    for (TSocketHandle h : refused) {
        std::string received;
        EXPECT_TRUE(ClosedByServer(h, &received));
        EXPECT_EQ(received, "");
        SocketClose(h);
    }
    std::string greeting;
    EXPECT_TRUE(ClosedByServer(allowed, &greeting));
    EXPECT_EQ(greeting, "welcome");
    SocketClose(allowed);
    EXPECT_EQ(server.Created.load(), 1);
    EXPECT_EQ(server.Gate.RefusedCount(), refused.size());
    std::lock_guard<std::mutex> lock(server.LinesLock);
    EXPECT_EQ(server.Lines,
              std::vector<std::string>{"Client 127.0.0.1 refused: not in AllowedClients"});
    // The thread that accepted them all and, once it took the allowed one, the thread it
    // made to wait in its place: none for a refused connection.
    EXPECT_LE(server.ClientThreadCount(), 2u);
}

TEST(TCPServerAdmission, KeptRefusedClientIsMarkedForItsProtocolToAnswer) {
    TGreetingServer server("10.0.0.0/8", false);
    TSocketHandle h = ConnectFrom("127.0.0.1", server.Port());
    std::string answer;
    EXPECT_TRUE(ClosedByServer(h, &answer));
    SocketClose(h);
    EXPECT_EQ(answer, "refused");
    EXPECT_EQ(server.Gate.RefusedCount(), 1u);
    std::lock_guard<std::mutex> lock(server.LinesLock);
    EXPECT_EQ(server.Lines.size(), 1u);
}
