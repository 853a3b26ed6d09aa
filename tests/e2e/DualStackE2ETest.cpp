// Both internet protocols end to end (the built corvan-proxy program, headless, with curl): a
// TCP mapping listening on any interface reached over ::1 and over 127.0.0.1 and relaying to an
// origin on [::1], and the HTTP proxy listening on ::1 forwarding to an IPv4 origin; the
// SOCKS service reaching IPv6 destinations by address and by name, a name whose IPv6 address is
// silent over IPv4, and refusing an IPv6 client outside AllowedClients. Names of the tests' own
// live in a network namespace of their own (support/IsolatedNetwork.h).

#include "support/HeadlessProgram.h"
#include "support/IsolatedNetwork.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/PythonOrigin.h"
#include "support/SilentListener.h"
#include "support/TempDir.h"

#include "util/Ticks.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace corvan;
using namespace corvan::test;

namespace {

// curl's exit code and output (the body of the fetched page).
int Curl(std::vector<std::string> args, std::string& output) {
    args.insert(args.begin(), {"/usr/bin/curl", "--silent", "--show-error", "-g"});
    TChildProcess curl(args, {});
    int code = curl.WaitForExit(60000);
    output = curl.Output();
    return code;
}

} // namespace

TEST(DualStackProgram, AMappingOnAnyInterfaceServesBothProtocolsAndReachesAnIPv6Origin) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TTempDir www;
    WriteFileText(www / "page.txt", "served over IPv6");
    TOrigin origin("::1", www.Path());
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run("[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\n"
                         "Enabled=1\nServerProtocol=3\nServerIP=\nServerPort=" +
                         std::to_string(port) + "\nDestHost=::1\nDestPort=" +
                         std::to_string(origin.Port) + "\n");
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    for (std::string host : {"[::1]", "127.0.0.1"}) {
        std::string out;
        EXPECT_EQ(Curl({"--noproxy", "*", "http://" + host + ":" + std::to_string(port) +
                                              "/page.txt"},
                       out),
                  0)
            << host << ": " << out;
        EXPECT_EQ(out, "served over IPv6") << host;
    }
}

TEST(DualStackProgram, TheHTTPProxyListensOnIPv6ForwardsToAnIPv4OriginAndTakesItselfForALoop) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TTempDir www;
    WriteFileText(www / "page.txt", "served over IPv4");
    TOrigin origin("127.0.0.1", www.Path());
    // At ::1 alone, and on every interface of both families.
    for (std::string listen : {"::1", ""}) {
        uint16_t port = FreeLoopbackPort();
        THeadlessProgram run("[Proxy-HTTP]\nEnabled=1\nServerIP=" + listen + "\nServerPort=" +
                             std::to_string(port) + "\n");
        ASSERT_TRUE(run.Ready) << run.Process().Output();
        std::string proxy = "http://[::1]:" + std::to_string(port), out;
        EXPECT_EQ(Curl({"-x", proxy,
                        "http://127.0.0.1:" + std::to_string(origin.Port) + "/page.txt"},
                       out),
                  0)
            << out;
        EXPECT_EQ(out, "served over IPv4") << listen;
        // Its own IPv6 address and port as the target: answered at once, never forwarded.
        EXPECT_EQ(Curl({"-x", proxy, "-o", "/dev/null", "-w", "%{http_code}",
                        "http://[::1]:" + std::to_string(port) + "/"},
                       out),
                  0)
            << out;
        EXPECT_EQ(out, "508") << listen;
    }
}

namespace {

// The SOCKS service alone, on any interface, with the given AllowedClients.
std::string SocksSettings(uint16_t port, const std::string& allowed = "") {
    return "[Proxy-SocksProxy]\nEnabled=1\nServerIP=\nServerPort=" + std::to_string(port) +
           "\nAllowedClients=" + allowed + "\n";
}

// Names of the test's own network: one with only an IPv6 address, and one whose IPv6
// address comes first (as the system's resolver orders ::1 before 127.0.0.1).
constexpr const char* kTestNames = "::1 v6only.test\n::1 dual.test\n127.0.0.1 dual.test";

} // namespace

TEST(DualStackProgram, SocksReachesIPv6DestinationsByAddressAndByANameWithOnlyAnIPv6Address) {
    if (std::string why = TIsolatedNetwork::Enter(kTestNames); !why.empty())
        GTEST_SKIP() << why;
    TTempDir www;
    WriteFileText(www / "page.txt", "served over IPv6");
    TOrigin origin("::1", www.Path());
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run(SocksSettings(port));
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    std::string origin6 = std::to_string(origin.Port) + "/page.txt";
    std::string out;
    // curl resolves here and asks for the IPv6 address (address type 4), over IPv4.
    EXPECT_EQ(Curl({"--socks5", "127.0.0.1:" + std::to_string(port), "http://[::1]:" + origin6},
                   out),
              0)
        << out;
    EXPECT_EQ(out, "served over IPv6");
    // The proxy resolves a name that has only an IPv6 address, asked over IPv6.
    EXPECT_EQ(Curl({"--socks5-hostname", "[::1]:" + std::to_string(port),
                    "http://v6only.test:" + origin6},
                   out),
              0)
        << out;
    EXPECT_EQ(out, "served over IPv6");
}

TEST(DualStackProgram, ANameWhoseIPv6AddressIsSilentIsReachedOverIPv4WithinASecond) {
    if (std::string why = TIsolatedNetwork::Enter(kTestNames); !why.empty())
        GTEST_SKIP() << why;
    TTempDir www;
    WriteFileText(www / "page.txt", "served over IPv4");
    TOrigin origin("127.0.0.1", www.Path());
    // The same port on ::1 completes no handshake: its one-place queue is full.
    TSocketAddr silentAt;
    ASSERT_TRUE(IsIPLiteral("::1", silentAt));
    silentAt.Port = origin.Port;
    TSilentListener silent(silentAt);
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run(SocksSettings(port));
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    std::string out;
    int64_t start = MonotonicMillis();
    EXPECT_EQ(Curl({"--socks5-hostname", "127.0.0.1:" + std::to_string(port),
                    "http://dual.test:" + std::to_string(origin.Port) + "/page.txt"},
                   out),
              0)
        << out;
    EXPECT_LT(MonotonicMillis() - start, 1000);
    EXPECT_EQ(out, "served over IPv4");
}

TEST(DualStackProgram, AnIPv6ClientOutsideAllowedClientsIsRefusedAsAnIPv4OneIs) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run(SocksSettings(port, "127.0.0.0/8"));
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    TSocketAddr proxy;
    ASSERT_TRUE(IsIPLiteral("::1", proxy));
    proxy.Port = port;
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP6, TIPProtocol::ipTCP);
    ASSERT_EQ(SocketConnect(h, proxy), 0);
    // Greeting, then a CONNECT: the refusal is SOCKS5's "not allowed" (2).
    const char request[] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, 0, 80};
    ASSERT_EQ(SocketSend(h, request, sizeof request), long(sizeof request));
    std::string reply;
    char buf[64];
    for (long n; (n = SocketRecv(h, buf, sizeof buf)) > 0;)
        reply.append(buf, size_t(n));
    SocketClose(h);
    EXPECT_EQ(reply, std::string("\x05\x00\x05\x02\x00\x01\0\0\0\0\0\0", 12));
    EXPECT_TRUE(run.Process().WaitForOutput("Client ::1 refused: not in AllowedClients",
                                            THeadlessProgram::kWaitMs))
        << run.Output();
}

TEST(DualStackProgram, ACheckedNameIsTriedAtEveryAddressItResolvedToInTheResolversOrder) {
    // The system's resolver puts ::1 first, and 127.0.0.1 before 127.0.0.2.
    if (std::string why = TIsolatedNetwork::Enter("::1 six.test\n127.0.0.1 six.test\n"
                                                  "127.0.0.1 second.test\n127.0.0.2 second.test");
        !why.empty())
        GTEST_SKIP() << why;
    TTempDir www;
    WriteFileText(www / "page.txt", "served");
    uint16_t socks = FreeLoopbackPort();
    uint16_t http = FreeLoopbackPort();
    // Both services judge the target (AllowLocalTargets is off): a client on this machine may
    // reach it.
    THeadlessProgram run(SocksSettings(socks) + "[Proxy-HTTP]\nEnabled=1\nServerIP=\nServerPort=" +
                         std::to_string(http) + "\n");
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    for (auto [name, live] : {std::pair{"six.test", "::1"}, {"second.test", "127.0.0.2"}}) {
        TOrigin origin(live, www.Path());
        // 127.0.0.1 at the origin's port completes no handshake: its one-place queue is full.
        TSocketAddr silentAt = TSocketAddr::IP4(Loopback(), origin.Port);
        TSocketHandle silent = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
        ASSERT_EQ(SocketBind(silent, silentAt), 0);
        ASSERT_EQ(::listen(silent, 0), 0);
        TSocketHandle filler = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
        ASSERT_EQ(SocketConnect(filler, silentAt), 0);
        std::string url = std::string("http://") + name + ":" + std::to_string(origin.Port) +
                          "/page.txt";
        for (std::vector<std::string> proxy :
             {std::vector<std::string>{"--socks5-hostname", "127.0.0.1:" + std::to_string(socks)},
              {"-x", "http://127.0.0.1:" + std::to_string(http)}}) {
            std::string out;
            int64_t start = MonotonicMillis();
            EXPECT_EQ(Curl({"--max-time", "5", proxy[0], proxy[1], url}, out), 0)
                << name << " " << proxy[0] << ": " << out;
            EXPECT_LT(MonotonicMillis() - start, 1000) << name << " " << proxy[0];
            EXPECT_EQ(out, "served") << name << " " << proxy[0];
        }
        SocketClose(filler);
        SocketClose(silent);
    }
}
