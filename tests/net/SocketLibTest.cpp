// Error texts, the errno mapping, the address model and resolution.
#include "net/SocketLib.h"
#include "net/Sockets.h"
#include "net/SocketErrors.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

TEST(SocketErrors, TextsOfTheTableAndOutsideIt) {
    EXPECT_EQ(SocketErrorText(10062), "System error #10062");
    EXPECT_EQ(SocketErrorText(0), "");
    EXPECT_EQ(SocketErrorText(-1), "");
    EXPECT_EQ(SocketErrorText(10048), "Address in use");
    EXPECT_EQ(SocketErrorText(11001), "Host not found");
    EXPECT_EQ(SocketErrorText(10066), "System error #10066");
    // The socket layer's table agrees below 20000 and adds its own codes.
    for (int code : {0, 6, 10035, 10054, 10061, 10062, 10090, 11004, 12345})
        EXPECT_EQ(SocketErrorMessage(code), SocketErrorText(code)) << code;
    EXPECT_EQ(SocketErrorMessage(10061), "Connection refused");
    EXPECT_EQ(SocketErrorMessage(40009), "Socket socks error #40009");
    EXPECT_EQ(SocketErrorMessage(20006), "Socket error #20006");
    EXPECT_EQ(SocketErrorMessage(30002), "Socket proxy error #30002");
    EXPECT_EQ(SocketErrorMessage(50003), "Socket http-tunnel error #50003");
    EXPECT_EQ(SocketErrorMessage(60011), "Socket general error #60011");
    EXPECT_EQ(SocketErrorMessage(70000), "Socket user error #70000");
    EXPECT_EQ(SocketErrorMessage(40005), "Connection refused");
    EXPECT_EQ(SocketErrorMessage(60007), "Prtotocol error");
}

TEST(SocketErrors, ExceptionMessagesJoinCallerTextAndErrorText) {
    EXPECT_STREQ(ESocketLib("Socket bind failed", 10048).what(),
                 "Socket bind failed: Address in use");
    EXPECT_STREQ(ESocketLib("Host not specified", 0).what(), "Host not specified");
    EXPECT_STREQ(ESocketLib("", 10061).what(), "Connection refused");
    ESocketLibrary e("Winsock startup failed", 10092);
    EXPECT_STREQ(e.what(), "Winsock startup failed: Winsock version not supported");
    EXPECT_EQ(e.ErrorCode, 10092);
}

TEST(SocketErrors, ErrnoAndResolverResultsMapToSocketNumbers) {
    struct {
        int err, code;
    } cases[] = {{EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
                 {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},
                 {ENFILE, 10024},       {EAGAIN, 10035},          {EWOULDBLOCK, 10035},
                 {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
                 {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
                 {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
                 {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
                 {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
                 {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
                 {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
                 {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
                 {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ENAMETOOLONG, 10063},
                 {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOMEM, 8},
                 {ENOSPC, ENOSPC}};
    for (auto c : cases)
        EXPECT_EQ(SocketErrorFromErrno(c.err), c.code) << c.err;
    EXPECT_EQ(SocketErrorFromGai(EAI_NONAME, 0), 11001);
    EXPECT_EQ(SocketErrorFromGai(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(SocketErrorFromGai(EAI_FAIL, 0), 11003);
    EXPECT_EQ(SocketErrorFromGai(EAI_NODATA, 0), 11004);
    EXPECT_EQ(SocketErrorFromGai(EAI_SERVICE, 0), 10109);
    EXPECT_EQ(SocketErrorFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);
    EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(ENOSPC)), "System error #28");
}

TEST(IPAddress, DottedLiterals) {
    uint32_t a;
    EXPECT_TRUE(IsIPAddress("255.255.255.255", a));
    EXPECT_EQ(a, 0xFFFFFFFFu);
    EXPECT_TRUE(IsIPAddress("127.0.0.1", a));
    EXPECT_EQ(a, htonl(0x7F000001));
    EXPECT_TRUE(IsIPAddress("  10.0.0.1", a));
    EXPECT_EQ(a, htonl(0x0A000001));
    EXPECT_TRUE(IsIPAddress("0x7f.0.0.1", a)); // hexadecimal parts pass
    EXPECT_EQ(a, htonl(0x7F000001));
    EXPECT_FALSE(IsIPAddress("1.2.3", a));     // too short
    EXPECT_FALSE(IsIPAddress("100.200.3", a)); // two dots
    EXPECT_FALSE(IsIPAddress("1.2.3.4.5", a)); // four dots
    EXPECT_EQ(a, 0xFFFFFFFFu);
    EXPECT_FALSE(IsIPAddress("1.2.3.400", a)); // not a valid address
    EXPECT_FALSE(IsIPAddress("host.example.org", a));
    EXPECT_FALSE(IsIPAddress("", a));
}

TEST(IPAddress, IPv6Literals) {
    std::array<uint8_t, 16> a;
    EXPECT_TRUE(IsIP6Address("::", a));
    EXPECT_EQ(a, (std::array<uint8_t, 16>{}));
    EXPECT_TRUE(IsIP6Address("::0", a));
    EXPECT_TRUE(IsIP6Address("::1", a));
    EXPECT_EQ(a[15], 1);
    EXPECT_FALSE(IsIP6Address(":", a));
    EXPECT_FALSE(IsIP6Address("127.0.0.1", a));
    EXPECT_FALSE(IsIP6Address("localhost", a));
}

TEST(SocketAddr, ConvertsBothFamiliesAndRefusesNone) {
    TSocketAddr v4 = TSocketAddr::IP4(htonl(0x7F000001), 8080);
    EXPECT_EQ(SysToSocketAddr(SocketAddrToSys(v4)), v4);
    std::array<uint8_t, 16> six{};
    six[15] = 1;
    TSocketAddr v6 = TSocketAddr::IP6(six, 53);
    EXPECT_EQ(SysToSocketAddr(SocketAddrToSys(v6)), v6);
    EXPECT_EQ(SocketAddrStr(v6), "::1");
    EXPECT_EQ(SocketAddrStr(v4), "127.0.0.1");
    try {
        SocketAddrToSys(TSocketAddr());
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_STREQ(e.what(), "Address family not supported");
    }
}

TEST(Resolution, HostsAndFailures) {
    auto local = ResolveHost("localhost", TIPAddressFamily::iaIP4);
    ASSERT_FALSE(local.empty());
    EXPECT_EQ(local[0].AddrIP4(), htonl(0x7F000001));
    EXPECT_EQ(ResolveHost("127.0.0.1").size(), 1u);
    auto six = ResolveHost("::1", TIPAddressFamily::iaIP6);
    ASSERT_EQ(six.size(), 1u);
    EXPECT_EQ(six[0].AddrFamily, TIPAddressFamily::iaIP6);
    try {
        ResolveHost("");
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_STREQ(e.what(), "Host not specified");
        EXPECT_EQ(e.ErrorCode, 0);
    }
    try {
        ResolveHost("does-not-exist.invalid");
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_TRUE(e.ErrorCode == 11001 || e.ErrorCode == 11002 || e.ErrorCode == 11004)
            << e.ErrorCode;
        EXPECT_EQ(std::string(e.what()).rfind("Lookup failed: ", 0), 0u) << e.what();
    }
    try {
        ResolveHostIP4("does-not-exist.invalid");
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to resolve host: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(ResolveHostIP4Single("localhost"), htonl(0x7F000001));
    EXPECT_THROW(ResolveHost("localhost", TIPAddressFamily::iaNone), ESocketLib);
}

TEST(Resolution, Ports) {
    EXPECT_EQ(ResolvePort("80", TIPProtocol::ipTCP), htons(80));
    EXPECT_EQ(ResolvePort("65535", TIPProtocol::ipTCP), htons(65535));
    EXPECT_EQ(ResolvePort(" http", TIPProtocol::ipTCP), htons(80));
    EXPECT_EQ(ResolvePort("domain", TIPProtocol::ipUDP), htons(53));
    try {
        ResolvePort("65536", TIPProtocol::ipTCP);
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_STREQ(e.what(), "Port number out of range");
    }
    try {
        ResolvePort("", TIPProtocol::ipTCP);
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_STREQ(e.what(), "Port not specified");
    }
    try {
        ResolvePort("no-such-service", TIPProtocol::ipTCP);
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to resolve port", 0), 0u);
        EXPECT_NE(e.ErrorCode, 0);
    }
}

TEST(Resolution, LocalNamesReverseLookupAndTexts) {
    EXPECT_FALSE(LocalHostName().empty());
    try {
        AddressStrArray local = LocalIP4AddressesStr();
        ASSERT_FALSE(local.empty());
        ASSERT_EQ(local.size(), LocalIP4Addresses().size());
        for (const auto& a : local)
            EXPECT_TRUE(IsIPAddress(a)) << a;
    } catch (const ESocketLib& e) {
        // A host name that does not resolve is reported, not hidden.
        EXPECT_EQ(std::string(e.what()).rfind("Failed to resolve host", 0), 0u) << e.what();
    }
    EXPECT_FALSE(ReverseLookup(TSocketAddr::IP4(htonl(0x7F000001))).empty());
    EXPECT_THROW(ReverseLookup(TSocketAddr()), ESocketLib);
    // Network byte order, every octet width, no leading zeros.
    EXPECT_EQ(IPAddressStr(htonl(0xC0A80001)), "192.168.0.1");
    EXPECT_EQ(IPAddressStr(htonl(0x0A096364)), "10.9.99.100");
    EXPECT_EQ(IPAddressStr(0xFFFFFFFF), "255.255.255.255");
    EXPECT_EQ(IPAddressStr(0), "0.0.0.0");
    EXPECT_EQ(IPProtocolToStr(TIPProtocol::ipTCP), "tcp");
    EXPECT_EQ(IPProtocolToStr(TIPProtocol::ipUDP), "udp");
    EXPECT_EQ(IPProtocolToStr(TIPProtocol::ipIP), "");
}

TEST(SocketHandles, AllocationAndBlockingMode) {
    try {
        AllocateSocketHandle(TIPAddressFamily::iaNone, TIPProtocol::ipTCP);
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_EQ(e.ErrorCode, 10022);
        EXPECT_STREQ(e.what(), "Invalid address family: Invalid argument");
    }
    try {
        AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipICMP);
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_STREQ(e.what(), "Invalid protocol: Invalid argument");
    }
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    EXPECT_TRUE(SocketIsDatagram(h));
    SetSocketBlocking(h, false);
    char b;
    EXPECT_EQ(SocketRecv(h, &b, 1), -1);
    EXPECT_EQ(SocketGetLastError(), WSAEWOULDBLOCK);
    SocketClose(h);
    EXPECT_THROW(SetSocketBlocking(INVALID_SOCKETHANDLE, true), ESocketLib);
    try {
        SetSocketBlocking(h, true); // closed
        FAIL();
    } catch (const ESocketLib& e) {
        EXPECT_STREQ(e.what(), "Blocking mode not set: Invalid handle");
    }
}

TEST(SocketHandles, ABurstOfConnectionsIsQueuedEvenWithBacklogZero) {
    // A dropped connection request would only be asked again a second later.
    uint16_t port = 0;
    TSocketHandle listener = BindLoopback(TIPProtocol::ipTCP, port);
    ASSERT_EQ(SocketListen(listener, 0), 0);
    std::vector<TSocketHandle> clients;
    for (int i = 0; i < 32; ++i) {
        TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
        SetSocketBlocking(h, false);
        SocketConnect(h, TSocketAddr::IP4(Loopback(), port));
        clients.push_back(h);
    }
    auto established = [&] {
        int n = 0;
        TSocketAddr peer;
        for (TSocketHandle h : clients)
            n += SocketGetPeerName(h, peer) == 0 ? 1 : 0;
        return n;
    };
    // Loopback handshakes complete within the connect call; well before the first retry.
    int64_t deadline = MonotonicMillis() + 700;
    while (established() < 32 && MonotonicMillis() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // polling the system
    EXPECT_EQ(established(), 32);
    for (TSocketHandle h : clients)
        SocketClose(h);
    SocketClose(listener);
}

TEST(SocketSplice, EnlargedPipesStayWithinTheirBudgetAndAreCountedBack) {
    size_t budget = PipeEnlargedBudget();
    ASSERT_GT(budget, 0u);
    size_t before = PipeEnlargedCount();
    // Past the budget (or a bounded number where there is none), pipes keep the default size.
    size_t wanted = std::min<size_t>(budget - before + 2, 4096);
    std::vector<TPipeHandles> pipes(wanted);
    size_t opened = 0;
    for (auto& p : pipes) {
        if (PipeOpen(p) != 0)
            break; // out of descriptors: what opened still counts
        ++opened;
    }
    ASSERT_GT(opened, 0u);
    EXPECT_LE(PipeEnlargedCount(), budget);
    size_t enlarged = 0;
    for (size_t i = 0; i < opened; ++i) {
        bool big = ::fcntl(pipes[i].Write, F_GETPIPE_SZ) >= kPipeSize;
        EXPECT_EQ(big, pipes[i].Enlarged);
        enlarged += big;
    }
    EXPECT_EQ(PipeEnlargedCount(), before + enlarged);
    if (opened == wanted && budget - before + 2 <= 4096) {
        EXPECT_FALSE(pipes[opened - 1].Enlarged) << "the budget was exceeded";
    }
    for (size_t i = 0; i < opened; ++i)
        EXPECT_EQ(PipeClose(pipes[i]), 0);
    EXPECT_EQ(PipeEnlargedCount(), before);
}

TEST(SocketSplice, MovesSocketToPipeToSocketAndTellsWhatCannotMove) {
    auto [inServer, inClient] = ConnectedPair();
    auto [outServer, outClient] = ConnectedPair();
    TPipeHandles pipe;
    ASSERT_EQ(PipeOpen(pipe), 0);
    ASSERT_GE(pipe.Read, 0);
    ASSERT_GE(pipe.Write, 0);
    // Holds more than the default, so one splice moves more (the user's pipe allowance of a
    // test run is far from used up).
    EXPECT_GE(::fcntl(pipe.Write, F_GETPIPE_SZ), kPipeSize);
    SetSocketBlocking(inServer, false);
    SetSocketBlocking(outServer, false);

    // Nothing received yet, and an empty pipe: nothing can move now.
    EXPECT_EQ(SocketSplice(inServer, pipe.Write, 4096), -1);
    EXPECT_EQ(SocketGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(SocketSplice(pipe.Read, outServer, 4096), -1);
    EXPECT_EQ(SocketGetLastError(), WSAEWOULDBLOCK);

    ASSERT_TRUE(SendAll(inClient, "payload"));
    auto readable = [&] {
        pollfd p{inServer, POLLIN, 0};
        return ::poll(&p, 1, 5000) == 1;
    };
    ASSERT_TRUE(readable());
    ASSERT_EQ(SocketSplice(inServer, pipe.Write, 4096), 7);
    EXPECT_EQ(SocketSplice(pipe.Read, outServer, 4096), 7);
    EXPECT_EQ(ReceiveExactly(outClient, 7), "payload");

    // The end of the sender's stream is 0; two sockets, neither a pipe, cannot be spliced.
    SocketShutdown(inClient, TShutdownHow::sdSend);
    ASSERT_TRUE(readable());
    EXPECT_EQ(SocketSplice(inServer, pipe.Write, 4096), 0);
    EXPECT_EQ(SocketSplice(outClient, inClient, 16), -1);
    EXPECT_TRUE(SpliceUnsupported(SocketGetLastError()));
    EXPECT_FALSE(SpliceUnsupported(WSAEWOULDBLOCK));
    EXPECT_FALSE(SpliceUnsupported(WSAECONNRESET));

    EXPECT_EQ(PipeClose(pipe), 0);
    EXPECT_EQ(pipe.Read, -1);
    EXPECT_EQ(pipe.Write, -1);
    EXPECT_EQ(PipeClose(pipe), 0); // nothing left open
    for (TSocketHandle h : {inServer, inClient, outServer, outClient})
        SocketClose(h);
}
