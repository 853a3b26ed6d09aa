// One SOCKS connection. The negotiation runs on scripted bytes (greeting, login, request,
// admission and the reply bytes of every outcome, the outbound side faked); the whole
// connection runs on its own thread over a real loopback stream, driven by a scripted blocking
// client: refusals that close the connection, the success reply, the relay and its byte count,
// up-stream SOCKS5 routing through microsocks, and the client time-out for a stalled request.
#include "proxy/SocksProxy.h"
#include "proxy/UDPProxy.h"

#include "net/TCPStream.h"
#include "support/Bytes.h"
#include "support/FakeHostResolver.h"
#include "support/Microsocks.h"
#include "support/NetTestSupport.h"
#include "support/ScriptedReader.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>

#include <arpa/inet.h>
#include <poll.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// The connection under test: the accepted end runs RunSocksConnection on a thread of its
// own; Client is the scripted peer.
struct TConnection {
    TSocketHandle Client = INVALID_SOCKETHANDLE;
    TSocksConnectionFacts Facts;
    std::string Error;
    std::thread Thread;

    explicit TConnection(TSocksConnectionSettings settings, int clientTimeout = 5000) {
        auto [server, client] = ConnectedPair();
        Client = client;
        SetReceiveTimeout(Client);
        Thread = std::thread([this, server = server, settings, clientTimeout] {
            TSocketStream stream(new ATCPClientSocket(server), -1, clientTimeout,
                                 smBlockWaitMessage, true);
            try {
                RunSocksConnection(stream, settings, Facts);
            } catch (const std::exception& e) {
                Error = e.what();
            }
        });
    }
    ~TConnection() {
        SocketShutdown(Client, TShutdownHow::sdBoth);
        Join();
        SocketClose(Client);
    }
    void Send(const std::string& bytes) { ASSERT_TRUE(SendAll(Client, bytes)); }
    std::string Recv(size_t size) { return ReceiveExactly(Client, size); }
    // Everything until the server closes.
    std::string Rest() { return RecvAll(Client); }
    void Join() {
        if (Thread.joinable())
            Thread.join();
    }
};

// A destination on loopback that accepts one connection, sends greeting, then echoes what
// it reads until the peer closes.
struct TEchoDestination {
    TTestListener Listener;
    std::thread Thread;
    explicit TEchoDestination(std::string greeting = "") {
        Thread = std::thread([this, greeting] {
            TSocketHandle h = Listener.Accept();
            if (h == INVALID_SOCKETHANDLE)
                return;
            SetReceiveTimeout(h);
            SendAll(h, greeting);
            char buf[4096];
            for (long n; (n = SocketRecv(h, buf, sizeof buf)) > 0;)
                SendAll(h, std::string(buf, size_t(n)));
            SocketClose(h);
        });
    }
    ~TEchoDestination() {
        SocketShutdown(Listener.Handle, TShutdownHow::sdBoth); // ends an accept not reached
        Thread.join();
    }
    uint16_t Port() const { return Listener.Port; }
};

// A loopback port with nothing listening.
uint16_t RefusingPort() {
    TTestListener l;
    return l.Port;
}

std::string Socks5Connect(uint16_t port) {
    return Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + Word(port);
}

std::string Socks4Connect(uint16_t port, const std::string& userId = "u") {
    return Bytes({4, 1}) + Word(port) + Bytes({127, 0, 0, 1}) + userId + std::string(1, '\0');
}

TSocksConnectionSettings Open() {
    TSocksConnectionSettings s;
    s.Authenticate = [](const std::string&, const std::string&) { return true; };
    return s;
}

// The negotiation on canned client bytes, handed out one byte per read; Written collects the
// replies. The outbound side answers Outbound and counts the attempts.
struct TScripted {
    TScriptedReader Reader;
    TStringWriter Writer;
    TSocksConnectionFacts Facts;
    TSocksOutboundResult Outbound{TSocksOutboundResult::Connected, 0, Loopback()};
    int Connects = 0;
    explicit TScripted(std::string clientBytes) : Reader(std::move(clientBytes), 1) {}
    TSocksNegotiationResult Run(const TSocksConnectionSettings& settings) {
        return NegotiateSocksConnection(Reader, Writer, settings, Facts,
                                        [this](const TSocksConnectionFacts&) {
                                            ++Connects;
                                            return Outbound;
                                        });
    }
    const std::string& Written() const { return Writer.Data(); }
};

using enum TSocksNegotiationResult;

const std::string kLogin = Bytes({1, 1}) + "u" + Bytes({1}) + "p"; // VER ULEN U PLEN P

} // namespace

TEST(SocksNegotiation, MethodAnswersAreExact) {
    {
        TScripted c(Bytes({5, 2, 0, 2}) + kLogin + Socks5Connect(80));
        EXPECT_EQ(c.Run(Open()), Granted);
        EXPECT_EQ(c.Written(), Bytes({5, 2, 1, 0}) + Socks5Reply(0, Loopback(), 80));
    }
    {
        TScripted c(Bytes({5, 1, 1}) + Socks5Connect(80));
        EXPECT_EQ(c.Run(Open()), Granted);
        EXPECT_EQ(c.Written(), Bytes({5, 0}) + Socks5Reply(0, Loopback(), 80));
    }
    TScripted c(Bytes({5, 0}));
    EXPECT_EQ(c.Run(Open()), Refused);
    EXPECT_EQ(c.Written(), Bytes({5, 0xFF}));
    EXPECT_EQ(c.Connects, 0);
}

TEST(SocksNegotiation, UnsupportedCommandsAndAddressTypesGetTheirTenByteReplies) {
    for (uint8_t command : {uint8_t(2), uint8_t(3)}) {
        TScripted c(Bytes({5, 1, 0, 5, command, 0, 1, 127, 0, 0, 1, 0, 80}));
        EXPECT_EQ(c.Run(Open()), Refused);
        EXPECT_EQ(c.Written(), Bytes({5, 0}) + Socks5Reply(7)) << int(command);
    }
    // An unknown address type: answered before the address is read (the script holds none).
    TScripted c(Bytes({5, 1, 0, 5, 1, 0, 2}));
    EXPECT_EQ(c.Run(Open()), Refused);
    EXPECT_EQ(c.Written(), Bytes({5, 0}) + Bytes({5, 8, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(c.Connects, 0);
}

TEST(SocksNegotiation, AnIPv6DestinationIsReachedAndTheReplyCarriesTheOutboundsOwnAddress) {
    std::array<uint8_t, 16> own{};
    own[15] = 1; // ::1
    std::string v6 = Bytes({0x20, 0x01, 0x0d, 0xb8}) + std::string(11, '\0') + Bytes({9});
    TScripted c(Bytes({5, 1, 0, 5, 1, 0, 4}) + v6 + Word(443));
    c.Outbound.RemoteAddr = 0;
    c.Outbound.Bound6 = TSocketAddr::IP6(own, 40000);
    EXPECT_EQ(c.Run(Open()), Granted);
    EXPECT_EQ(c.Facts.DestHost, "2001:db8::9");
    EXPECT_EQ(c.Facts.DestPort, 443u);
    EXPECT_EQ(c.Written(), Bytes({5, 0, 5, 0, 0, 4}) + std::string(15, '\0') + Bytes({1}) +
                               Word(40000));
    // A SOCKS4a name that reached only IPv6: the reply carries what it can, the port.
    TScripted four(Bytes({4, 1}) + Word(80) + Bytes({0, 0, 0, 1}) + "u" + std::string(1, '\0') +
                   "v6only.test" + std::string(1, '\0'));
    four.Outbound.RemoteAddr = 0;
    four.Outbound.Bound6 = TSocketAddr::IP6(own, 40000);
    EXPECT_EQ(four.Run(Open()), Granted);
    EXPECT_EQ(four.Written(), Bytes({0, 90}) + Word(80) + Bytes({0, 0, 0, 0}));
}

TEST(SocksNegotiation, MalformedRequestsCloseWithoutAReply) {
    {
        TScripted c(Bytes({6, 1, 0}));
        EXPECT_EQ(c.Run(Open()), Refused);
        EXPECT_EQ(c.Written(), "");
    }
    TScripted c(Socks4Connect(80, std::string(256, 'x')));
    try {
        c.Run(Open());
        FAIL() << "an over-long user id";
    } catch (const ESocks& e) {
        EXPECT_EQ(e.Message(), "Invalid data");
    }
    EXPECT_EQ(c.Written(), "");
    EXPECT_EQ(c.Connects, 0);
}

TEST(SocksNegotiation, RejectSocks4AnswersBeforeTheBodyIsRead) {
    TSocksConnectionSettings s = Open();
    s.Options.RejectSocks4 = true;
    TScripted c(Bytes({4})); // nothing more to read: reading the body would raise
    EXPECT_EQ(c.Run(s), Refused);
    EXPECT_EQ(c.Written(), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
}

TEST(SocksNegotiation, EveryTruncatedNegotiationRaisesWithoutConnecting) {
    const std::string full =
        Bytes({5, 1, 2}) + kLogin + Bytes({5, 1, 0, 3, 7}) + "example" + Word(443);
    for (size_t cut = 0; cut < full.size(); ++cut) {
        TScripted c(full.substr(0, cut));
        EXPECT_THROW(c.Run(Open()), Exception) << cut;
        EXPECT_EQ(c.Connects, 0) << cut;
    }
    TScripted c(full);
    EXPECT_EQ(c.Run(Open()), Granted);
    EXPECT_EQ(c.Facts.DestHost, "example");
}

TEST(SocksNegotiation, AdmissionRefusalAnswers91Or02AndNeverConnects) {
    struct TAsked {
        std::string Client;
        uint32_t Addr;
        std::string Host;
        int Port;
    };
    std::vector<TAsked> asked;
    TSocksConnectionSettings s = Open();
    s.OnConnectRequest = [&](const TSocksConnectionFacts& client, uint32_t addr,
                             const std::string& host, int port, bool& allow) {
        EXPECT_TRUE(allow); // preset
        asked.push_back({client.RemoteIP, addr, host, port});
        allow = false;
    };
    {
        TScripted c(Socks4Connect(8080));
        c.Facts.RemoteIP = "10.0.0.9";
        EXPECT_EQ(c.Run(s), Refused);
        // VN 0, CD 91, port 0, address 0
        EXPECT_EQ(c.Written(), Bytes({0x00, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
        EXPECT_EQ(c.Connects, 0);
    }
    {
        TScripted c(Bytes({5, 1, 0, 5, 1, 0, 3, 11}) + "example.org" + Word(443));
        EXPECT_EQ(c.Run(s), Refused);
        EXPECT_EQ(c.Written(),
                  Bytes({0x05, 0x00}) + // method: no authentication
                                        // VER 5, REP 2 (not allowed), RSV, ATYP 1, 0.0.0.0, port 0
                      Bytes({0x05, 0x02, 0x00, 0x01, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(c.Connects, 0);
    }
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].Client, "10.0.0.9");
    EXPECT_EQ(asked[0].Addr, Loopback());
    EXPECT_EQ(asked[0].Host, "127.0.0.1");
    EXPECT_EQ(asked[0].Port, 8080);
    EXPECT_EQ(asked[1].Addr, 0u);
    EXPECT_EQ(asked[1].Host, "example.org");
    EXPECT_EQ(asked[1].Port, 443);
    // Allowed: connected as usual.
    s.OnConnectRequest = [](const TSocksConnectionFacts&, uint32_t, const std::string&, int,
                            bool&) {};
    TScripted c(Socks4Connect(8080));
    EXPECT_EQ(c.Run(s), Granted);
    EXPECT_EQ(c.Connects, 1);
}

TEST(SocksNegotiation, ReplyFollowsTheOutboundOutcome) {
    const std::string socks5Name = Bytes({5, 1, 0, 5, 1, 0, 3, 7}) + "example" + Word(443);
    {
        // A name: the granted reply carries the address reached.
        TScripted c(socks5Name);
        c.Outbound.RemoteAddr = htonl(0x0A010203);
        EXPECT_EQ(c.Run(Open()), Granted);
        EXPECT_EQ(c.Written(), Bytes({5, 0}) + Socks5Reply(0, htonl(0x0A010203), 443));
        EXPECT_EQ(c.Facts.DestAddr, 0u);
    }
    struct TCase {
        int Error;
        uint8_t Code;
    };
    // Refused, unreachable, and an up-stream proxy's own refusal (40000 + its code) passed on.
    for (TCase k :
         {TCase{10061, 5}, TCase{10065, 4}, TCase{10051, 3}, TCase{40002, 2}, TCase{99, 1}}) {
        TScripted c(socks5Name);
        c.Outbound = {TSocksOutboundResult::Failed, k.Error, 0};
        EXPECT_EQ(c.Run(Open()), Refused);
        EXPECT_EQ(c.Written(), Bytes({5, 0}) + Socks5Reply(k.Code)) << k.Error;
    }
    {
        TScripted c(Socks4Connect(80));
        c.Outbound = {TSocksOutboundResult::Failed, 10061, 0};
        EXPECT_EQ(c.Run(Open()), Refused);
        EXPECT_EQ(c.Written(), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    }
    TScripted c(Socks4Connect(80));
    c.Outbound = {};
    EXPECT_EQ(c.Run(Open()), Abandoned);
    EXPECT_EQ(c.Written(), "");
}

TEST(SocksConnectionRequest, AdmissionRefusalClosesTheConnectionWithoutConnecting) {
    TTestListener dest; // listens, so a connection attempt would be accepted by the system
    TSocksConnectionSettings s = Open();
    s.OnConnectRequest = [](const TSocksConnectionFacts&, uint32_t, const std::string&, int,
                            bool& allow) { allow = false; };
    TConnection c(s);
    c.Send(Bytes({5, 1, 0}) + Socks5Connect(dest.Port));
    EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    c.Join();
    EXPECT_EQ(c.Error, "");
    pollfd p{dest.Handle, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0); // no connection waits to be accepted
}

TEST(SocksConnectionRequest, RefusedDestinationGivesCode5OrCode91) {
    uint16_t port = RefusingPort();
    {
        TConnection c(Open());
        c.Send(Bytes({5, 1, 0}) + Socks5Connect(port));
        EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    TConnection c(Open());
    c.Send(Socks4Connect(port));
    EXPECT_EQ(c.Rest(), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    c.Join();
    EXPECT_EQ(c.Facts.DestHost, "127.0.0.1");
    EXPECT_EQ(c.Facts.DestPort, port);
    EXPECT_EQ(c.Facts.BytesTransferred, 0u);
}

TEST(SocksConnectionRequest, LoopbackIsNotAllowedToClientsFromElsewhereUnlessSwitchedOn) {
    TTestListener dest; // listens, so a connection attempt would be accepted by the system
    TSocksConnectionSettings s = Open();
    s.ClientOnThisMachine = [](const TSocketAddr&) { return false; };
    {
        TConnection c(s);
        c.Send(Bytes({5, 1, 0}) + Socks5Connect(dest.Port));
        EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    {
        // SOCKS4a with a name that resolves to loopback.
        TConnection c(s);
        c.Send(Bytes({4, 1}) + Word(dest.Port) + Bytes({0, 0, 0, 1}) + "u" +
               std::string(1, '\0') + "localhost" + std::string(1, '\0'));
        EXPECT_EQ(c.Rest(), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    }
    pollfd p{dest.Handle, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0); // no connection waits to be accepted

    TEchoDestination echo;
    s.AllowLocalTargets = true;
    TConnection c(s);
    c.Send(Bytes({5, 1, 0}) + Socks5Connect(echo.Port()));
    EXPECT_EQ(c.Recv(12), Bytes({5, 0}) + Socks5Reply(0, Loopback(), echo.Port()));
}

TEST(SocksConnectionRequest, ANameIsLookedUpOnceForTheLocalTargetCheckAndTheConnection) {
    TTestListener dest; // listens, so a connection attempt would be accepted by the system
    TSocksConnectionSettings s = Open();
    s.ClientOnThisMachine = [](const TSocketAddr&) { return false; };
    // Not found the first time, loopback after.
    TChangingHostResolver names(Loopback());
    TConnection c(s);
    c.Send(Bytes({4, 1}) + Word(dest.Port) + Bytes({0, 0, 0, 1}) + "u" + std::string(1, '\0') +
           "rebind.example" + std::string(1, '\0'));
    EXPECT_EQ(c.Rest(), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    c.Join();
    EXPECT_EQ(names.Lookups(), 1);
    pollfd p{dest.Handle, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0); // no connection waits to be accepted
}

TEST(SocksConnectionRequest, ClientStalledInTheMiddleOfItsRequestIsClosedByTheTimeout) {
    TConnection c(Open(), 300);
    c.Send(Bytes({5, 1, 0, 5, 1, 0, 1, 127})); // address cut short
    EXPECT_EQ(c.Recv(2), Bytes({5, 0}));
    int64_t start = MonotonicMillis();
    c.Join();
    EXPECT_LT(MonotonicMillis() - start, 5000);
    EXPECT_FALSE(c.Error.empty());
    EXPECT_EQ(c.Rest(), "");
}

TEST(SocksConnectionRelay, SuccessReplyCarriesTheDestinationAndTheRelayIsCounted) {
    TEchoDestination dest("hi");
    TConnection c(Open());
    c.Send(Bytes({5, 1, 0}) + Socks5Connect(dest.Port()));
    EXPECT_EQ(c.Recv(2), Bytes({5, 0}));
    EXPECT_EQ(c.Recv(10), Socks5Reply(0, Loopback(), dest.Port()));
    EXPECT_EQ(c.Recv(2), "hi");
    const std::string payload = Pattern(300000);
    std::thread writer([&] { SendAll(c.Client, payload); });
    EXPECT_EQ(c.Recv(payload.size()), payload);
    writer.join();
    SocketShutdown(c.Client, TShutdownHow::sdSend);
    EXPECT_EQ(c.Rest(), "");
    c.Join();
    EXPECT_EQ(c.Error, "");
    EXPECT_EQ(c.Facts.RemoteIP, "127.0.0.1");
    EXPECT_EQ(c.Facts.DestAddr, Loopback());
    EXPECT_EQ(c.Facts.DestPort, dest.Port());
    EXPECT_EQ(c.Facts.BytesTransferred, 2 + 2 * payload.size());
}

TEST(SocksConnectionRelay, NamedDestinationsReplyWithTheResolvedAddress) {
    {
        TEchoDestination dest;
        TConnection c(Open());
        // SOCKS4a: 0.0.0.1, user id, then the name.
        c.Send(Bytes({4, 1}) + Word(dest.Port()) + Bytes({0, 0, 0, 1}) + "u" +
               std::string(1, '\0') + "localhost" + std::string(1, '\0'));
        EXPECT_EQ(c.Recv(8), Socks4Reply(90, Loopback(), dest.Port()));
        SocketShutdown(c.Client, TShutdownHow::sdSend);
        EXPECT_EQ(c.Rest(), "");
        c.Join();
        EXPECT_EQ(c.Facts.DestAddr, 0u);
        EXPECT_EQ(c.Facts.DestHost, "localhost");
    }
    TEchoDestination dest;
    TConnection c(Open());
    c.Send(Bytes({5, 1, 0, 5, 1, 0, 3, 9}) + "localhost" + Word(dest.Port()));
    EXPECT_EQ(c.Recv(12), Bytes({5, 0}) + Socks5Reply(0, Loopback(), dest.Port()));
}

TEST(SocksConnectionLogin, RequireLoginRefusesSocks4AndBadLogins) {
    TSocksConnectionSettings s;
    s.Options.RequireLogin = true;
    s.Authenticate = [](const std::string& user, const std::string& password) {
        return user == "alice" && password == "pw";
    };
    {
        TConnection c(s);
        c.Send(Socks4Connect(80));
        EXPECT_EQ(c.Rest(), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    }
    {
        TConnection c(s);
        c.Send(Bytes({5, 1, 0}));
        EXPECT_EQ(c.Rest(), Bytes({5, 0xFF}));
    }
    {
        TConnection c(s);
        c.Send(Bytes({5, 1, 2, 1, 5}) + "alice" + Bytes({2}) + "no");
        EXPECT_EQ(c.Rest(), Bytes({5, 2, 1, 1}));
    }
    TEchoDestination dest("ok");
    TConnection c(s);
    c.Send(Bytes({5, 1, 2, 1, 5}) + "alice" + Bytes({2}) + "pw" + Socks5Connect(dest.Port()));
    EXPECT_EQ(c.Recv(14), Bytes({5, 2, 1, 0}) + Socks5Reply(0, Loopback(), dest.Port()));
    EXPECT_EQ(c.Recv(2), "ok");
}

TEST(SocksConnectionUpstream, RoutesThroughTheUpstreamSocks5Proxy) {
    TMicrosocks upstream("up", "secret");
    ASSERT_TRUE(upstream.Running());
    auto via = [&](const std::string& password) {
        TSocksConnectionSettings s = Open();
        s.Route = [&upstream, password](const std::string& host, int port) {
            TSocksOutbound r;
            r.Host = host;
            r.Port = std::to_string(port);
            r.Via = TProxyServerInfo{true, "127.0.0.1", upstream.PortStr(), true, "up", password};
            return r;
        };
        return s;
    };
    {
        TEchoDestination dest("via");
        TConnection c(via("secret"));
        c.Send(Bytes({5, 1, 0}) + Socks5Connect(dest.Port()));
        EXPECT_EQ(c.Recv(12), Bytes({5, 0}) + Socks5Reply(0, Loopback(), dest.Port()));
        EXPECT_EQ(c.Recv(3), "via");
    }
    // The wrong up-stream password fails the connection: the route really is used.
    TEchoDestination dest;
    TConnection c(via("wrong"));
    c.Send(Bytes({5, 1, 0}) + Socks5Connect(dest.Port()));
    std::string reply = c.Rest();
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_NE(reply[3], 0);
}

namespace {

TSocksConnectionSettings Udp() {
    TSocksConnectionSettings s = Open();
    s.Options.EnableUdp = true;
    return s;
}

// Opens an association on c without a login for datagrams from port (0: not named); answers
// the relay's port from the reply, which names the address the client reached (loopback).
uint16_t Associate(TConnection& c, uint16_t port = 0) {
    c.Send(Bytes({5, 1, 0}) + Bytes({5, 3, 0, 1, 0, 0, 0, 0}) + Word(port));
    std::string reply = c.Recv(12);
    EXPECT_EQ(reply.substr(0, 8), Bytes({5, 0, 5, 0, 0, 1, 127, 0}));
    EXPECT_EQ(reply.substr(8, 2), Bytes({0, 1}));
    return reply.size() == 12 ? ReadUInt16BE(reply.data() + 10) : 0;
}

// A client datagram for 127.0.0.1:port.
std::string ToLoopback(uint16_t port, const std::string& data) {
    return Bytes({0, 0, 0, 1, 127, 0, 0, 1}) + Word(port) + data;
}

// A client datagram for [::1]:port.
std::string ToLoopback6(uint16_t port, const std::string& data) {
    return Bytes({0, 0, 0, 4}) + std::string(15, '\0') + Bytes({1}) + Word(port) + data;
}

// The next datagram to peer within 10 s ("" when none came).
std::string NextDatagram(TUDPPeer& peer, TSocketAddr* from = nullptr) {
    pollfd p{peer.Handle, POLLIN, 0};
    std::string data;
    TSocketAddr sender;
    if (::poll(&p, 1, 10000) == 1)
        peer.Receive(data, sender);
    if (from)
        *from = sender;
    return data;
}

// Whether the association's relay port has been closed: it can be bound again.
bool UdpPortFree(uint16_t port) {
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    bool free = SocketBind(h, TSocketAddr::IP4(Loopback(), port)) == 0;
    SocketClose(h);
    return free;
}

} // namespace

TEST(SocksUdpAssociation, CarriesDatagramsBothWaysWholeWithTheSendersHeader) {
    TFakeHostResolver names(Loopback());
    TUDPPeer client, dest;
    TConnection c(Udp());
    uint16_t relay = Associate(c);
    ASSERT_NE(relay, 0);
    client.SendTo(relay, ToLoopback(dest.Port, "ping"));
    TSocketAddr outbound;
    EXPECT_EQ(NextDatagram(dest, &outbound), "ping");
    EXPECT_NE(outbound.Port, relay); // the association's own outbound socket
    ASSERT_EQ(SocketSendTo(dest.Handle, "pong", 4, outbound), 4);
    EXPECT_EQ(NextDatagram(client), ToLoopback(dest.Port, "pong"));
    // A name is resolved as CONNECT resolves it; what comes meanwhile waits its turn.
    names.Shut();
    client.SendTo(relay, Bytes({0, 0, 0, 3, 8}) + "udp.test" + Word(dest.Port) + "named");
    ASSERT_TRUE(names.WaitInside(1));
    client.SendTo(relay, ToLoopback(dest.Port, "after"));
    names.Open();
    EXPECT_EQ(NextDatagram(dest), "named");
    EXPECT_EQ(NextDatagram(dest), "after");
    EXPECT_EQ(names.Hosts(), std::vector<std::string>{"udp.test"});
    // The largest datagram the client can send is carried whole, and so is its answer.
    const std::string big = Pattern(kUDPMapperPacketSize - 10);
    client.SendTo(relay, ToLoopback(dest.Port, big));
    EXPECT_EQ(NextDatagram(dest), big);
    ASSERT_EQ(SocketSendTo(dest.Handle, big.data(), big.size(), outbound), long(big.size()));
    EXPECT_EQ(NextDatagram(client), ToLoopback(dest.Port, big));

    SocketShutdown(c.Client, TShutdownHow::sdBoth);
    c.Join();
    EXPECT_EQ(c.Error, "");
    // The data carried counts, as a tunnel's bytes do.
    EXPECT_EQ(c.Facts.BytesTransferred, 4 + 4 + 5 + 5 + 2 * big.size());
    EXPECT_EQ(c.Facts.BytesToClient, 4 + big.size());
    EXPECT_TRUE(UdpPortFree(relay));
}

TEST(SocksUdpAssociation, DropsForeignMalformedAndUnresolvedDatagramsAndGoesOn) {
    TFakeHostResolver names(0); // no name resolves
    TUDPPeer client, sameHost, elsewhere(htonl(0x7F000002)), dest;
    TConnection c(Udp());
    uint16_t relay = Associate(c, client.Port);
    ASSERT_NE(relay, 0);
    // From another port than the one named, from another address.
    sameHost.SendTo(relay, ToLoopback(dest.Port, "other port"));
    elsewhere.SendTo(relay, ToLoopback(dest.Port, "other address"));
    // A fragment, IPv6's unspecified address, a cut header, a name that does not resolve.
    std::string fragment = ToLoopback(dest.Port, "fragment");
    fragment[2] = 1;
    client.SendTo(relay, fragment);
    client.SendTo(relay, Bytes({0, 0, 0, 4}) + std::string(16, '\0') + Word(dest.Port) + "ipv6");
    client.SendTo(relay, Bytes({0, 0, 0, 1, 127}));
    client.SendTo(relay, Bytes({0, 0, 0, 3, 7}) + "nowhere" + Word(dest.Port) + "unresolved");
    // The association goes on: the next good one is the first to arrive.
    client.SendTo(relay, ToLoopback(dest.Port, "good"));
    EXPECT_EQ(NextDatagram(dest), "good");
    EXPECT_EQ(names.Hosts(), std::vector<std::string>{"nowhere"});
}

TEST(SocksUdpAssociation, EndsWithItsControlConnectionOrWhenIdle) {
    TUDPPeer client, dest;
    {
        TConnection c(Udp());
        uint16_t relay = Associate(c);
        client.SendTo(relay, ToLoopback(dest.Port, "one"));
        EXPECT_EQ(NextDatagram(dest), "one");
        EXPECT_FALSE(UdpPortFree(relay));
        SocketShutdown(c.Client, TShutdownHow::sdSend);
        EXPECT_EQ(c.Rest(), "");
        c.Join();
        EXPECT_TRUE(UdpPortFree(relay));
        EXPECT_EQ(c.Facts.BytesTransferred, 3u);
    }
    // Nothing moved for the relay's idle limit: the server closes the control connection.
    SetRelayIdleLimitMs(200);
    TConnection c(Udp());
    uint16_t relay = Associate(c);
    EXPECT_EQ(c.Rest(), "");
    SetRelayIdleLimitMs(0);
    c.Join();
    EXPECT_TRUE(UdpPortFree(relay));
}

TEST(SocksUdpAssociation, RequiredLoginDisabledUdpAndAnUpstreamProxyAreRefused) {
    TSocksConnectionSettings login = Udp();
    login.Options.RequireLogin = true;
    login.Authenticate = [](const std::string& user, const std::string& password) {
        return user == "u" && password == "p";
    };
    const std::string associate = Bytes({5, 3, 0, 1, 0, 0, 0, 0, 0, 0});
    {
        TConnection c(login);
        c.Send(Bytes({5, 1, 0}) + associate);
        EXPECT_EQ(c.Rest(), Bytes({5, 0xFF}));
    }
    {
        TConnection c(login);
        c.Send(Bytes({5, 1, 2, 1, 1, 'u', 1, 'x'}) + associate);
        EXPECT_EQ(c.Rest(), Bytes({5, 2, 1, 1}));
    }
    {
        TConnection c(login);
        c.Send(Bytes({5, 1, 2, 1, 1, 'u', 1, 'p'}) + associate);
        EXPECT_EQ(c.Recv(6), Bytes({5, 2, 1, 0, 5, 0}));
    }
    {
        TConnection c(Open());
        c.Send(Bytes({5, 1, 0}) + associate);
        EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Socks5Reply(7));
    }
    // Datagrams cannot take the up-stream proxy's way, and none goes around it.
    TSocksConnectionSettings upstream = Udp();
    upstream.Route = [](const std::string& host, int port) {
        TSocksOutbound r;
        r.Host = host;
        r.Port = std::to_string(port);
        r.Via = TProxyServerInfo{true, "127.0.0.1", "1080", false, "", ""};
        return r;
    };
    TConnection c(upstream);
    c.Send(Bytes({5, 1, 0}) + associate);
    EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Socks5Reply(7));
}

TEST(SocksUdpAssociation, IPv6DestinationsAreCarriedAndJudgedLocalAsIPv4OnesAre) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TSocketAddr loopback6;
    ASSERT_TRUE(IsIPLiteral("::1", loopback6));
    TUDPPeer client, dest(loopback6);
    {
        // To a client from elsewhere this machine's ::1 is as closed as its 127.0.0.1.
        std::atomic<int> asked{0};
        TSocksConnectionSettings elsewhere = Udp();
        elsewhere.ClientOnThisMachine = [&asked](const TSocketAddr&) {
            ++asked;
            return false;
        };
        TConnection c(elsewhere);
        uint16_t relay = Associate(c, client.Port);
        client.SendTo(relay, ToLoopback6(dest.Port, "refused"));
        // Asked once the destination was judged local; the datagram is dropped right after.
        ASSERT_TRUE(RunLoopPolling([&] { return asked == 1; }));
        SocketShutdown(c.Client, TShutdownHow::sdBoth);
        c.Join();
        EXPECT_EQ(c.Facts.BytesTransferred, 0u);
        std::string data;
        TSocketAddr from;
        EXPECT_FALSE(dest.Receive(data, from)) << data;
    }
    // Allowed: carried to ::1, and the answer comes with a type-4 header naming its sender.
    TSocksConnectionSettings allowed = Udp();
    allowed.AllowLocalTargets = true;
    TConnection c(allowed);
    uint16_t relay = Associate(c, client.Port);
    client.SendTo(relay, ToLoopback6(dest.Port, "ping"));
    TSocketAddr outbound;
    EXPECT_EQ(NextDatagram(dest, &outbound), "ping");
    ASSERT_EQ(SocketSendTo(dest.Handle, "pong", 4, outbound), 4);
    EXPECT_EQ(NextDatagram(client), ToLoopback6(dest.Port, "pong"));
}
