// Who may connect, in the built corvan-proxy program (headless) on loopback: with
// AllowedClients=10.0.0.0/8 a client on 127.0.0.1 gets SOCKS5 reply 02 and SOCKS4 reply 91, a
// closed TCP mapping connection and no UDP mapping answer, while the same client is served by
// mappings with the default list; a client bound to 127.0.0.2 stands for another host when
// only 127.0.0.1/32 is allowed; a burst of 10,000 refused connections costs no threads and one
// log line, and an allowed client is served meanwhile; a bad entry keeps the service stopped.

#include "util/FileSystem.h"

#include "support/Bytes.h"
#include "support/EchoServer.h"
#include "support/HeadlessProgram.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000; // generous for the sanitizer build

uint32_t SecondLoopback() {
    return htonl(0x7F000002u);
}

// The program with the settings text, started and ready.
struct TProgram : THeadlessProgram {
    explicit TProgram(const std::string& settings) : THeadlessProgram(settings) {
        EXPECT_TRUE(Ready) << Output();
    }
    // Threads of the process now.
    int Threads() {
        std::ifstream status("/proc/" + std::to_string(Process().Pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Threads:", 0) == 0)
                return std::stoi(line.substr(8));
        return -1;
    }
};

std::string Socks(uint16_t port, const std::string& allowed) {
    return "[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + std::to_string(port) +
           "\nAllowedClients=" + allowed + "\n";
}

std::string Mapping(int index, int protocol, uint16_t port, uint16_t dest,
                    const std::string& allowed) {
    std::string text = "[Proxy-PortMapper.Items." + std::to_string(index) +
                       "]\nEnabled=1\nServerProtocol=" + std::to_string(protocol) +
                       "\nServerIP=127.0.0.1\nServerPort=" + std::to_string(port) +
                       "\nDestHost=127.0.0.1\nDestPort=" + std::to_string(dest) + "\n";
    if (allowed != "<missing>")
        text += "AllowedClients=" + allowed + "\n";
    return text;
}

std::string Mappings(int count) {
    return "[Proxy-PortMapper]\nItemCount=" + std::to_string(count) + "\n";
}

// A blocking TCP connection to 127.0.0.1:port from source (network order).
TSocketHandle ConnectFrom(uint32_t source, uint16_t port) {
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    SocketBind(h, TSocketAddr::IP4(source, 0));
    if (SocketConnect(h, TSocketAddr::IP4(Loopback(), port)) != 0) {
        SocketClose(h);
        return INVALID_SOCKETHANDLE;
    }
    SetReceiveTimeout(h);
    return h;
}

// Sends request from source and reads until the program closes: what came back.
std::string Exchange(uint32_t source, uint16_t port, const std::string& request) {
    TSocketHandle h = ConnectFrom(source, port);
    if (h == INVALID_SOCKETHANDLE)
        return "no connection";
    SendAll(h, request);
    std::string reply = RecvAll(h);
    SocketClose(h);
    return reply;
}

// An echo through a TCP mapping from source: "ping" back, or what came instead.
std::string EchoThrough(uint32_t source, uint16_t port) {
    TSocketHandle h = ConnectFrom(source, port);
    if (h == INVALID_SOCKETHANDLE)
        return "no connection";
    SendAll(h, "ping");
    std::string reply = RecvWithin(h, 4, WaitMs);
    SocketClose(h);
    return reply;
}

// A UDP echo destination answered by the test thread.
struct TUDPEcho : TUDPPeer {
    // Answers one datagram if one arrives within ms.
    bool ServeOne(int ms) {
        pollfd p{Handle, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        std::string data;
        TSocketAddr from;
        if (!Receive(data, from))
            return false;
        SocketSendTo(Handle, data.data(), data.size(), from);
        return true;
    }
};

bool AnswerWithin(TUDPPeer& peer, int ms, std::string& data) {
    pollfd p{peer.Handle, POLLIN, 0};
    TSocketAddr from;
    return ::poll(&p, 1, ms) == 1 && peer.Receive(data, from);
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const std::string kSocks5Request = Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1});
std::string Socks4Request(uint16_t port) {
    return Bytes({4, 1}) + Word(port) + Bytes({127, 0, 0, 1, 'u', 0});
}

} // namespace

TEST(AllowedClientsProgram, OutsideTheListIsRefusedByEveryServiceAndTheDefaultServesLoopback) {
    TEchoServer tcpDest;
    TUDPEcho udpDest;
    uint16_t socks = FreeLoopbackPort(), tcpOpen = FreeLoopbackPort(), tcpShut = FreeLoopbackPort(),
             udpOpen = FreeLoopbackPort(), udpShut = FreeLoopbackPort();
    uint16_t http = FreeLoopbackPort(), dns = FreeLoopbackPort();
    TProgram program(
        Socks(socks, "10.0.0.0/8") + Mappings(4) +
        "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + std::to_string(http) +
        "\nAllowedClients=10.0.0.0/8\n" +
        "[Proxy-DNS]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + std::to_string(dns) +
        "\nAllowedClients=10.0.0.0/8\n" +
        Mapping(0, 3, tcpOpen, tcpDest.Listener.Port, "<missing>") +
        Mapping(1, 3, tcpShut, tcpDest.Listener.Port, "10.0.0.0/8") +
        Mapping(2, 4, udpOpen, udpDest.Port, "") +
        Mapping(3, 4, udpShut, udpDest.Port, "10.0.0.0/8"));

    // SOCKS5: the greeting is answered, the request refused with 02; SOCKS4: 91.
    std::string socks5 = Exchange(Loopback(), socks, kSocks5Request + Word(tcpDest.Listener.Port));
    EXPECT_EQ(socks5, Bytes({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    std::string socks4 = Exchange(Loopback(), socks, Socks4Request(tcpDest.Listener.Port));
    ASSERT_EQ(socks4.size(), 8u);
    EXPECT_EQ(socks4.substr(0, 2), Bytes({0, 91}));

    // HTTP: the request is read, then answered with the 403 page.
    std::string page = Exchange(Loopback(), http,
                                "GET http://127.0.0.1:" + std::to_string(tcpDest.Listener.Port) +
                                    "/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 403 ", 0), 0u) << page;

    // DNS: response code 5, same identifier, the question repeated.
    TUDPPeer resolver;
    resolver.SendTo(dns, Bytes({0x12, 0x34, 1,   0,   0,   1,   0,   0,   0, 0, 0, 0, 1, 'a',
                                7,    'e',  'x', 'a', 'm', 'p', 'l', 'e', 0, 0, 1, 0, 1}));
    std::string refusedAnswer;
    ASSERT_TRUE(AnswerWithin(resolver, WaitMs, refusedAnswer));
    ASSERT_GE(refusedAnswer.size(), 12u);
    EXPECT_EQ(refusedAnswer.substr(0, 2), Bytes({0x12, 0x34}));
    EXPECT_EQ(uint8_t(refusedAnswer[3]) & 0x0f, 5);
    EXPECT_EQ(refusedAnswer.substr(4, 2), Bytes({0, 1}));

    // TCP mappings: the default serves 127.0.0.1, 10.0.0.0/8 closes it at once.
    EXPECT_EQ(EchoThrough(Loopback(), tcpOpen), "ping");
    EXPECT_EQ(EchoThrough(Loopback(), tcpShut), "");

    // UDP mappings: the default forwards and answers; 10.0.0.0/8 drops (once it has said so,
    // nothing reached the destination and nothing came back).
    TUDPPeer client;
    client.SendTo(udpOpen, "hello");
    EXPECT_TRUE(udpDest.ServeOne(WaitMs));
    std::string answer;
    EXPECT_TRUE(AnswerWithin(client, WaitMs, answer));
    EXPECT_EQ(answer, "hello");
    client.SendTo(udpShut, "hello");
    std::string udpRefused = "Port mapping on port " + std::to_string(udpShut) +
                             " to 127.0.0.1:" + std::to_string(udpDest.Port) +
                             ": Client 127.0.0.1 refused: not in AllowedClients";
    EXPECT_TRUE(program.Process().WaitForOutput(udpRefused, WaitMs)) << program.Process().Output();
    EXPECT_FALSE(udpDest.ServeOne(0));
    EXPECT_FALSE(AnswerWithin(client, 0, answer));

    // One line per service for the one address, however often it was refused.
    EXPECT_EQ(Exchange(Loopback(), socks, Socks4Request(tcpDest.Listener.Port)).substr(0, 2),
              Bytes({0, 91}));
    program.Process().WaitForOutput("<never>", 300); // collects what was written meanwhile
    const std::string& out = program.Process().Output();
    EXPECT_EQ(Occurrences(out, "SOCKS proxy on port " + std::to_string(socks) +
                                   ": Client 127.0.0.1 refused: not in AllowedClients"),
              1u)
        << out;
    EXPECT_EQ(Occurrences(out, "Client 127.0.0.1 refused"), 5u) << out;
}

TEST(AllowedClientsProgram, ASecondLoopbackAddressStandsForAnotherHost) {
    TEchoServer tcpDest;
    uint16_t socks = FreeLoopbackPort(), tcp = FreeLoopbackPort();
    TProgram program(Socks(socks, "127.0.0.1/32") + Mappings(1) +
                     Mapping(0, 3, tcp, tcpDest.Listener.Port, "127.0.0.1/32"));
    EXPECT_EQ(EchoThrough(Loopback(), tcp), "ping");
    EXPECT_EQ(EchoThrough(SecondLoopback(), tcp), "");
    TSocketHandle h = ConnectFrom(Loopback(), socks);
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    SendAll(h, Socks4Request(tcpDest.Listener.Port));
    EXPECT_EQ(RecvWithin(h, 8, WaitMs).substr(0, 2), Bytes({0, 90})) // granted: relaying
        << program.Output();
    SocketClose(h);
    std::string refused = Exchange(SecondLoopback(), socks, Socks4Request(tcpDest.Listener.Port));
    EXPECT_EQ(refused.substr(0, 2), Bytes({0, 91}));
    EXPECT_TRUE(
        program.Process().WaitForOutput("SOCKS proxy on port " + std::to_string(socks) +
                                            ": Client 127.0.0.2 refused: not in AllowedClients",
                                        WaitMs))
        << program.Output();
}

TEST(AllowedClientsProgram, BurstOfRefusedConnectionsCostsNoThreadsAndOneLogLine) {
    TEchoServer tcpDest;
    uint16_t tcp = FreeLoopbackPort();
    TProgram program(Mappings(1) + Mapping(0, 3, tcp, tcpDest.Listener.Port, "127.0.0.1/32"));
    // Warm: the one thread an allowed connection uses exists before the idle count.
    EXPECT_EQ(EchoThrough(Loopback(), tcp), "ping");
    int idle = program.Threads();
    ASSERT_GT(idle, 0);

    constexpr int kAttempts = 10000;
    std::atomic<int> attempts{0};
    std::thread scanner([&] {
        for (int i = 0; i < kAttempts; ++i, ++attempts) {
            TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
            SocketBind(h, TSocketAddr::IP4(SecondLoopback(), 0));
            SocketConnect(h, TSocketAddr::IP4(Loopback(), tcp));
            // Closed with a reset: an orderly close would leave 10,000 ports of the machine's
            // ephemeral range in TIME_WAIT for a minute, which the tests running beside this
            // one need for their own connections. The program still accepts and refuses each.
            linger reset{1, 0};
            ::setsockopt(h, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            SocketClose(h);
        }
    });
    int most = idle;
    bool servedDuringBurst = false;
    while (attempts < kAttempts) {
        most = std::max(most, program.Threads());
        if (!servedDuringBurst && attempts > kAttempts / 4)
            servedDuringBurst = EchoThrough(Loopback(), tcp) == "ping" && attempts < kAttempts;
        ::poll(nullptr, 0, 2); // a sampling interval, not a wait for an event
    }
    scanner.join();
    EXPECT_TRUE(servedDuringBurst);
    EXPECT_LE(most, idle + 3) << "idle " << idle;
    // The last refusals are taken; the log holds one line for the one address.
    EXPECT_EQ(EchoThrough(Loopback(), tcp), "ping");
    program.Process().WaitForOutput("<never>", 300);
    EXPECT_EQ(Occurrences(program.Process().Output(), "Client 127.0.0.2 refused"), 1u)
        << program.Process().Output();
}

TEST(AllowedClientsProgram, BadEntryKeepsTheServiceStoppedAndNamesTheEntry) {
    uint16_t socks = FreeLoopbackPort();
    TProgram program(Socks(socks, "192.168.1.0/24, 192.168.1.300"));
    EXPECT_NE(program.Process().Output().find(
                  "SOCKS proxy on port " + std::to_string(socks) +
                  " not started: invalid AllowedClients entry \"192.168.1.300\": not an IPv4 "
                  "address (a.b.c.d), a block (a.b.c.d/n) or *"),
              std::string::npos)
        << program.Process().Output();
    TSocketHandle h = ConnectBlocking(socks);
    EXPECT_EQ(h, INVALID_SOCKETHANDLE);
    if (h != INVALID_SOCKETHANDLE)
        SocketClose(h);
}
