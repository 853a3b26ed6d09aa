// Both internet protocols in the socket layer: listening on IPv6 and on both protocols at once
// (an IPv4 peer reported as the IPv4 address it is), outbound connections racing the
// addresses of a name, and the local-target check judging IPv6 addresses.
#include "net/Outbound.h"
#include "net/SocketsTCPServer.h"
#include "net/SocketsUDP.h"

#include "support/NetTestSupport.h"
#include "support/SilentListener.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>

using namespace corvan;
using namespace corvan::test;

namespace {

const std::array<uint8_t, 16> kIP6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

#define REQUIRE_IPV6()                                                                             \
    if (!HaveIPv6Loopback())                                                                       \
    GTEST_SKIP() << "the system has no IPv6 loopback (::1)"

// The first race makes the thread's loop and its timer, which stay: a test counting
// descriptors makes them before it counts (a race to a port nobody serves).
void MakeTheLoopsTimer() {
    TOutboundOptions options;
    options.TimeOut = 10000;
    try {
        OpenOutbound({"dual.test", std::to_string(FreeLoopbackPort()), {}, {}}, options);
    } catch (const EOutbound&) {
        // refused, as meant
    }
}

size_t OpenDescriptors() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

// A listening server socket on host (port chosen by the system), served by this thread's loop.
struct TServer {
    TTCPServerSocket Socket;
    uint16_t Port = 0;
    explicit TServer(const std::string& host) {
        Socket.SetLocalHost(host);
        Socket.SetListenPort("0");
        Socket.Listen();
        TSocketAddr local;
        SocketGetSockName(Socket.SocketHandle(), local);
        Port = local.Port;
    }
    // The peer of the next connection accepted.
    TSocketAddr AcceptPeer() {
        TSocketAddr peer;
        TSocketHandle h = INVALID_SOCKETHANDLE;
        RunLoopUntil([&] { return (h = Socket.Accept(&peer)) != INVALID_SOCKETHANDLE; }, 5000);
        if (h != INVALID_SOCKETHANDLE)
            SocketClose(h);
        return peer;
    }
};

uint32_t IP4(const char* dotted) {
    return ::inet_addr(dotted);
}

// Every name resolves to the given IPv4 addresses, in that order, for the test's life.
struct TTwoAddressNames {
    THostResolver Previous;
    explicit TTwoAddressNames(TIP4AddrArray answer) {
        Previous = SetHostResolver([answer](const std::string&, TIP4AddrArray& addresses,
                                            int& errorCode, std::string&) {
            addresses = answer;
            errorCode = 0;
        });
    }
    ~TTwoAddressNames() { SetHostResolver(Previous); }
};

// unwatched: the connection's own attempt is waited for on its descriptor, the race's other
// attempts and its timer by the thread's loop.
TOutboundOptions WithTimeOut(int ms, bool unwatched = false) {
    TOutboundOptions options;
    options.TimeOut = ms;
    options.ConnectUnwatched = unwatched;
    return options;
}

} // namespace

TEST(DualStack, MappedAddressesFromTheSystemAreIPv4AndLiteralsOfBothFamiliesParse) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(8080);
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &sin6.sin6_addr), 1);
    TSysSockAddr sys;
    sys.Length = sizeof sin6;
    std::memcpy(sys.Data.data(), &sin6, sizeof sin6);
    EXPECT_EQ(SysToSocketAddr(sys), TSocketAddr::IP4(Loopback(), 8080));
    sin6.sin6_addr = in6addr_loopback;
    std::memcpy(sys.Data.data(), &sin6, sizeof sin6);
    EXPECT_EQ(SysToSocketAddr(sys), TSocketAddr::IP6(kIP6Loopback, 8080));

    TSocketAddr a;
    EXPECT_TRUE(IsIPLiteral("[::1]", a));
    EXPECT_EQ(a, TSocketAddr::IP6(kIP6Loopback));
    EXPECT_TRUE(IsIPLiteral("fe80::1%1", a));
    EXPECT_EQ(a.ScopeId, 1u);
    EXPECT_EQ(SocketAddrLiteral(a), "fe80::1%1");
    EXPECT_TRUE(IsIPLiteral("127.0.0.1", a));
    EXPECT_EQ(a, TSocketAddr::IP4(Loopback()));
    for (std::string text : {"localhost", "[::1", "::1]", "1:2:3", ""})
        EXPECT_FALSE(IsIPLiteral(text, a)) << text;
}

TEST(DualStack, AnyInterfaceServesBothProtocolsAndReportsAnIPv4ClientAsIPv4) {
    REQUIRE_IPV6();
    TServer any("");
    TSocketHandle v4 = ConnectTo(TSocketAddr::IP4(Loopback(), any.Port));
    ASSERT_NE(v4, INVALID_SOCKETHANDLE);
    TSocketAddr peer = any.AcceptPeer();
    EXPECT_EQ(peer.AddrFamily, TIPAddressFamily::iaIP4);
    EXPECT_EQ(SocketAddrStr(peer), "127.0.0.1");
    TSocketHandle v6 = ConnectTo(TSocketAddr::IP6(kIP6Loopback, any.Port));
    ASSERT_NE(v6, INVALID_SOCKETHANDLE);
    EXPECT_EQ(SocketAddrStr(any.AcceptPeer()), "::1");
    SocketClose(v4);
    SocketClose(v6);

    // An IPv6 literal listens there; "0.0.0.0" as written stays IPv4 only.
    TServer six("[::1]");
    TSocketHandle c = ConnectTo(TSocketAddr::IP6(kIP6Loopback, six.Port));
    ASSERT_NE(c, INVALID_SOCKETHANDLE);
    EXPECT_EQ(SocketAddrStr(six.AcceptPeer()), "::1");
    SocketClose(c);
    TServer four("0.0.0.0");
    EXPECT_EQ(ConnectTo(TSocketAddr::IP6(kIP6Loopback, four.Port)), INVALID_SOCKETHANDLE);
}

TEST(DualStack, AUDPSocketOnAnyInterfaceAnswersAnIPv4PeerAsIPv4AndAnIPv6One) {
    REQUIRE_IPV6();
    AUDPSocket any;
    any.SetLocalPort("0");
    any.SetActive(true);
    TSocketAddr local;
    ASSERT_EQ(SocketGetSockName(any.SocketHandle(), local), 0);
    TUDPPeer v4;
    v4.SendTo(local.Port, "four");
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(RunLoopUntil([&] { return any.ReadPacketStr(data, from); }, 5000));
    EXPECT_EQ(data, "four");
    EXPECT_EQ(from, TSocketAddr::IP4(Loopback(), v4.Port));
    // The reply goes to the IPv4 address as reported.
    any.SendTo(from, "back", 4);
    TSocketAddr replyFrom;
    ASSERT_TRUE(RunLoopPolling([&] {
        pollfd readable{v4.Handle, POLLIN, 0};
        return ::poll(&readable, 1, 0) == 1;
    }, 5000)) << any.ErrorMessage();
    ASSERT_TRUE(v4.Receive(data, replyFrom));
    EXPECT_EQ(data, "back");

    TSocketHandle v6 = AllocateSocketHandle(TIPAddressFamily::iaIP6, TIPProtocol::ipUDP);
    SocketSendTo(v6, "six", 3, TSocketAddr::IP6(kIP6Loopback, local.Port));
    ASSERT_TRUE(RunLoopUntil([&] { return any.ReadPacketStr(data, from); }, 5000));
    EXPECT_EQ(data, "six");
    EXPECT_EQ(SocketAddrStr(from), "::1");
    SocketClose(v6);
}

TEST(DualStack, ASilentFirstAddressHandsOverToTheNextWithinASecondAndLeavesNoDescriptor) {
    uint16_t port = FreeLoopbackPort();
    TSilentListener silent(TSocketAddr::IP4(IP4("127.0.0.2"), port));
    TSocketHandle live = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    ASSERT_EQ(SocketBind(live, TSocketAddr::IP4(IP4("127.0.0.3"), port)), 0);
    SocketListen(live, 4);
    TTwoAddressNames names({IP4("127.0.0.2"), IP4("127.0.0.3")});
    MakeTheLoopsTimer();
    for (bool unwatched : {false, true}) {
        SCOPED_TRACE(unwatched ? "own attempt unwatched" : "watched");
        size_t before = OpenDescriptors();
        int64_t start = MonotonicMillis();
        TOutboundConnection c = OpenOutbound({"dual.test", std::to_string(port), {}, {}},
                                             WithTimeOut(10000, unwatched));
        EXPECT_LT(MonotonicMillis() - start, 1000);
        TSocketAddr peer;
        ASSERT_EQ(SocketGetPeerName(c.Socket->SocketHandle(), peer), 0);
        EXPECT_EQ(SocketAddrStr(peer), "127.0.0.3");
        // Only the winner is open: the attempt on the silent address was closed as it lost.
        EXPECT_EQ(OpenDescriptors(), before + 1);
        c = {};
        SocketClose(SocketAccept(live, nullptr, false));
    }
    SocketClose(live);
}

TEST(DualStack, TheRaceEndsWithTheRefusalAsBeforeOrAtTheTimeOutWithNothingLeftOpen) {
    uint16_t port = FreeLoopbackPort();
    TTwoAddressNames names({IP4("127.0.0.2"), IP4("127.0.0.3")});
    MakeTheLoopsTimer();
    // The error the connection to dual.test fails with (0: it connected).
    auto failure = [&](int timeOut, bool unwatched) {
        try {
            OpenOutbound({"dual.test", std::to_string(port), {}, {}},
                         WithTimeOut(timeOut, unwatched));
        } catch (const EOutbound& e) {
            return e.ErrorCode;
        }
        return 0;
    };
    for (bool unwatched : {false, true}) {
        SCOPED_TRACE(unwatched ? "own attempt unwatched" : "watched");
        size_t before = OpenDescriptors();
        EXPECT_EQ(failure(10000, unwatched), WSAECONNREFUSED);
        EXPECT_EQ(OpenDescriptors(), before);
    }

    TSilentListener first(TSocketAddr::IP4(IP4("127.0.0.2"), port));
    TSilentListener second(TSocketAddr::IP4(IP4("127.0.0.3"), port));
    for (bool unwatched : {false, true}) {
        SCOPED_TRACE(unwatched ? "own attempt unwatched" : "watched");
        size_t before = OpenDescriptors();
        int64_t start = MonotonicMillis();
        EXPECT_EQ(failure(700, unwatched), SOCKET_ERR_TIMEOUT);
        int64_t took = MonotonicMillis() - start;
        EXPECT_GE(took, 650);
        EXPECT_LT(took, 1500);
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST(DualStack, AnIPv6LiteralIsConnectedDirectly) {
    REQUIRE_IPV6();
    TServer six("::1");
    TOutboundConnection c =
        OpenOutbound({"::1", std::to_string(six.Port), {}, {}}, WithTimeOut(5000));
    EXPECT_EQ(SocketAddrStr(six.AcceptPeer()), "::1");
}

TEST(LocalTarget, IPv6LoopbackUnspecifiedMappedAndOwnAddressesAreThisMachine) {
    std::vector<std::string> local = {"::1", "[::1]", "::", "0:0:0:0:0:0:0:1",
                                      "::ffff:127.0.0.1", "[::ffff:7f00:2]", "::ffff:0.0.0.0"};
    for (const TSocketAddr& own : LocalIP6Addresses())
        local.push_back(SocketAddrLiteral(own));
    for (const std::string& host : local) {
        EXPECT_EQ(CheckLocalTarget(host, false, nullptr, nullptr).Outcome,
                  TLocalTargetCheck::RefusedAsLocal)
            << host;
        EXPECT_EQ(CheckLocalTarget(host, true, nullptr, nullptr).Outcome,
                  TLocalTargetCheck::RefusedAsLocal)
            << host;
    }
    // Names as this system resolves them: every address counts, of both families.
    for (std::string name : {"localhost", "ip6-localhost", "ip6-loopback"}) {
        TSocketAddrArray found;
        try {
            found = ResolveHostAll(name);
        } catch (const ESocketLib&) {
            continue; // not known here
        }
        EXPECT_EQ(CheckLocalTarget(name, true, nullptr, nullptr).Outcome,
                  TLocalTargetCheck::RefusedAsLocal)
            << name;
    }
    TLocalTargetCheck elsewhere = CheckLocalTarget("[2001:db8::1]", true, nullptr, nullptr);
    EXPECT_EQ(elsewhere.Outcome, TLocalTargetCheck::Allowed);
    EXPECT_EQ(elsewhere.ConnectHost(), "2001:db8::1");
    // A client on ::1 is one on this machine, which may reach it.
    EXPECT_TRUE(IsThisMachineClient(TSocketAddr::IP6(kIP6Loopback, 5000)));
    TLocalTargetCheck mine = CheckLocalTarget("::1", true, [] { return true; }, nullptr);
    EXPECT_EQ(mine.Outcome, TLocalTargetCheck::Allowed);
    EXPECT_EQ(mine.ConnectHost(), "::1");
}

TEST(DualStack, ACheckedNameRacesOverEveryAddressJudgedAndIsNotLookedUpAgain) {
    TServer live("127.0.0.3");
    TSilentListener silent(TSocketAddr::IP4(IP4("127.0.0.2"), live.Port));
    TLocalTargetCheck check;
    {
        TTwoAddressNames names({IP4("127.0.0.2"), IP4("127.0.0.3")});
        check = CheckLocalTarget("dual.test", true, [] { return true; }, nullptr);
    }
    ASSERT_EQ(check.Outcome, TLocalTargetCheck::Allowed);
    EXPECT_EQ(check.ConnectAddresses, (TSocketAddrArray{TSocketAddr::IP4(IP4("127.0.0.2")),
                                                        TSocketAddr::IP4(IP4("127.0.0.3"))}));
    // The name would lead nowhere now: the connection keeps to the addresses judged.
    TTwoAddressNames nowhere({IP4("127.0.0.4")});
    int64_t start = MonotonicMillis();
    TOutboundConnection c = OpenOutbound(
        {"dual.test", std::to_string(live.Port), {}, {}, check.ConnectAddresses},
        WithTimeOut(10000));
    EXPECT_LT(MonotonicMillis() - start, 1000);
    TSocketAddr peer;
    ASSERT_EQ(SocketGetPeerName(c.Socket->SocketHandle(), peer), 0);
    EXPECT_EQ(SocketAddrStr(peer), "127.0.0.3");
}

namespace {

// IPv6 sockets fail as where the kernel has IPv6 switched off, for the object's life.
struct TIP6SwitchedOff {
    bool Previous = WithholdIP6Sockets(true);
    ~TIP6SwitchedOff() { WithholdIP6Sockets(Previous); }
};

// What the process writes to stderr while the object lives.
class TCapturedStderr {
public:
    TCapturedStderr() : FFile(std::tmpfile()), FSaved(::dup(2)) {
        std::fflush(stderr);
        ::dup2(::fileno(FFile), 2);
    }
    ~TCapturedStderr() {
        Restore();
        std::fclose(FFile);
    }
    // Ends the capture and answers what was written.
    std::string Text() {
        Restore();
        std::string text;
        std::rewind(FFile);
        for (int c; (c = std::fgetc(FFile)) != EOF;)
            text += char(c);
        return text;
    }

private:
    void Restore() {
        if (FSaved < 0)
            return;
        std::fflush(stderr);
        ::dup2(FSaved, 2);
        ::close(FSaved);
        FSaved = -1;
    }
    std::FILE* FFile;
    int FSaved;
};

} // namespace

TEST(DualStack, WithoutIPv6AnyInterfaceListensOnIPv4AloneAndSaysSoOnce) {
    TCapturedStderr captured;
    {
        TIP6SwitchedOff off;
        TServer tcp("");
        TSocketAddr local;
        ASSERT_EQ(SocketGetSockName(tcp.Socket.SocketHandle(), local), 0);
        EXPECT_EQ(SocketAddrStr(local), "0.0.0.0");
        TSocketHandle c = ConnectTo(TSocketAddr::IP4(Loopback(), tcp.Port));
        ASSERT_NE(c, INVALID_SOCKETHANDLE);
        EXPECT_EQ(SocketAddrStr(tcp.AcceptPeer()), "127.0.0.1");
        SocketClose(c);

        AUDPSocket udp;
        udp.SetLocalPort("0");
        udp.SetActive(true);
        ASSERT_EQ(SocketGetSockName(udp.SocketHandle(), local), 0);
        EXPECT_EQ(SocketAddrStr(local), "0.0.0.0");
        TUDPPeer v4;
        v4.SendTo(local.Port, "four");
        std::string data;
        TSocketAddr from;
        ASSERT_TRUE(RunLoopUntil([&] { return udp.ReadPacketStr(data, from); }, 5000));
        EXPECT_EQ(data, "four");
    }
    std::string text = captured.Text();
    const std::string note = "IPv6 is not available on this system";
    size_t first = text.find(note);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(note, first + 1), std::string::npos) << text;
}
