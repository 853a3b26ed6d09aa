// UDP over both internet protocols end to end (the built corvan-proxy program, headless): UDP
// mappings listening on any interface, reached over ::1 and over 127.0.0.1, relaying to an echo
// on ::1 by its address and by a name that has only an IPv6 address; a SOCKS5 UDP association
// asked for over IPv6, carrying datagrams with address type 4 and by that name to the echo and
// back. The name lives in a network namespace of the test's own (support/IsolatedNetwork.h).

#include "support/HeadlessProgram.h"
#include "support/IsolatedNetwork.h"
#include "support/NetTestSupport.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr const char* kTestNames = "::1 v6only.test";

TSocketAddr Loopback6(uint16_t port = 0) {
    TSocketAddr at;
    IsIPLiteral("::1", at);
    at.Port = port;
    return at;
}

// The next datagram to peer within the program's wait ("" when none came).
std::string NextDatagram(TUDPPeer& peer, TSocketAddr* from = nullptr) {
    pollfd p{peer.Handle, POLLIN, 0};
    std::string data;
    TSocketAddr sender;
    if (::poll(&p, 1, THeadlessProgram::kWaitMs) == 1)
        peer.Receive(data, sender);
    if (from)
        *from = sender;
    return data;
}

// A UDP echo on ::1, answering "echo:" and the data to each sender on a thread of its own, until
// it gets "stop" (sent by the destructor) or waits in vain for the program's wait.
struct TEcho6 {
    TUDPPeer Peer{Loopback6()};
    std::thread Thread;
    TEcho6() {
        Thread = std::thread([this] {
            for (;;) {
                TSocketAddr from;
                std::string data = NextDatagram(Peer, &from);
                if (data.empty() || data == "stop")
                    return;
                std::string answer = "echo:" + data;
                SocketSendTo(Peer.Handle, answer.data(), answer.size(), from);
            }
        });
    }
    ~TEcho6() {
        TUDPPeer stopper(Loopback6());
        stopper.SendTo(Peer.Port, "stop");
        Thread.join();
    }
};

// A mapping of the UDP protocol on any interface.
std::string UDPMapping(int index, uint16_t port, const std::string& destHost, uint16_t destPort) {
    return "[Proxy-PortMapper.Items." + std::to_string(index) +
           "]\nEnabled=1\nServerProtocol=4\nServerIP=\nServerPort=" + std::to_string(port) +
           "\nDestHost=" + destHost + "\nDestPort=" + std::to_string(destPort) + "\n";
}

// The SOCKS5 datagram header naming [::1]:port (address type 4).
std::string Header6(uint16_t port) {
    return std::string("\0\0\0\x04", 4) + std::string(15, '\0') + "\x01" + char(port >> 8) +
           char(port & 0xFF);
}

} // namespace

TEST(DualStackUDPProgram, MappingsOnAnyInterfaceServeBothProtocolsAndReachAnIPv6Destination) {
    if (std::string why = TIsolatedNetwork::Enter(kTestNames); !why.empty())
        GTEST_SKIP() << why;
    TEcho6 echo;
    uint16_t byAddress = FreeLoopbackPort();
    uint16_t byName = FreeLoopbackPort();
    while (byName == byAddress)
        byName = FreeLoopbackPort();
    THeadlessProgram run("[Proxy-PortMapper]\nItemCount=2\n" +
                         UDPMapping(0, byAddress, "[::1]", echo.Peer.Port) +
                         UDPMapping(1, byName, "v6only.test", echo.Peer.Port));
    ASSERT_TRUE(run.Ready) << run.Output();
    for (uint16_t port : {byAddress, byName}) {
        for (const TSocketAddr& local : {Loopback6(), TSocketAddr::IP4(Loopback())}) {
            std::string what = std::to_string(port) + " over " + SocketAddrStr(local);
            TUDPPeer client(local);
            client.SendTo(port, "datagram");
            TSocketAddr from;
            EXPECT_EQ(NextDatagram(client, &from), "echo:datagram") << what;
            // The answer comes from the mapped port, over the protocol the client used.
            EXPECT_EQ(from.AddrFamily, local.AddrFamily) << what;
            EXPECT_EQ(from.Port, port) << what;
        }
    }
    EXPECT_EQ(run.Stop(), 0) << run.Output();
}

TEST(DualStackUDPProgram, AnIPv6ClientsAssociationCarriesIPv6DatagramsBothWays) {
    if (std::string why = TIsolatedNetwork::Enter(kTestNames); !why.empty())
        GTEST_SKIP() << why;
    TEcho6 echo;
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run("[Proxy-SocksProxy]\nEnabled=1\nServerIP=\nServerPort=" +
                         std::to_string(port) + "\n");
    ASSERT_TRUE(run.Ready) << run.Output();
    TSocketHandle control = AllocateSocketHandle(TIPAddressFamily::iaIP6, TIPProtocol::ipTCP);
    ASSERT_EQ(SocketConnect(control, Loopback6(port)), 0);
    SetReceiveTimeout(control);
    // Greeting, then UDP ASSOCIATE for datagrams from an address not yet known (::, port 0).
    ASSERT_TRUE(SendAll(control, std::string("\x05\x01\x00\x05\x03\x00\x04", 7) +
                                     std::string(18, '\0')));
    // The method, then the reply: the relay on the address the client reached, ::1 (type 4).
    std::string reply = ReceiveExactly(control, 2 + 22);
    ASSERT_EQ(reply.size(), 24u) << reply.size();
    EXPECT_EQ(reply.substr(0, 22), std::string("\x05\x00\x05\x00\x00\x04", 6) +
                                       std::string(15, '\0') + "\x01");
    uint16_t relay = uint16_t((uint8_t(reply[22]) << 8) | uint8_t(reply[23]));

    TUDPPeer client(Loopback6());
    client.SendTo(relay, Header6(echo.Peer.Port) + "by address");
    EXPECT_EQ(NextDatagram(client), Header6(echo.Peer.Port) + "echo:by address");
    // A name with only an IPv6 address; the answer names the address it came from.
    client.SendTo(relay, std::string("\0\0\0\x03\x0B", 5) + "v6only.test" +
                             char(echo.Peer.Port >> 8) + char(echo.Peer.Port & 0xFF) + "by name");
    EXPECT_EQ(NextDatagram(client), Header6(echo.Peer.Port) + "echo:by name");
    SocketClose(control);
    EXPECT_EQ(run.Stop(), 0) << run.Output();
}
