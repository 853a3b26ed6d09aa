// One SOCKS connection run on its own thread over a real loopback stream, driven by a
// scripted blocking client: the exact reply bytes of each refusal, the success reply, the
// relay and its byte count, up-stream SOCKS5 routing through microsocks, and the client
// time-out for a stalled request.
#include "proxy/SocksProxy.h"

#include "net/TCPStream.h"
#include "support/Bytes.h"
#include "support/Microsocks.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

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

} // namespace

TEST(SocksConnectionGreeting, MethodAnswersAreExact) {
    {
        TConnection c(Open());
        c.Send(Bytes({5, 2, 0, 2}));
        EXPECT_EQ(c.Recv(2), Bytes({5, 2}));
    }
    {
        TConnection c(Open());
        c.Send(Bytes({5, 1, 1}));
        EXPECT_EQ(c.Recv(2), Bytes({5, 0}));
    }
    {
        TConnection c(Open());
        c.Send(Bytes({5, 0}));
        EXPECT_EQ(c.Rest(), Bytes({5, 0xFF}));
    }
}

TEST(SocksConnectionRequest, UnsupportedCommandsAndAddressTypesGetTheirTenByteReplies) {
    for (uint8_t command : {uint8_t(2), uint8_t(3)}) {
        TConnection c(Open());
        c.Send(Bytes({5, 1, 0, 5, command, 0, 1, 127, 0, 0, 1, 0, 80}));
        EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Socks5Reply(7)) << int(command);
    }
    TConnection c(Open());
    c.Send(Bytes({5, 1, 0, 5, 1, 0, 4}) + std::string(16, '\0') + Bytes({0, 80}));
    EXPECT_EQ(c.Rest(), Bytes({5, 0}) + Bytes({5, 8, 0, 1, 0, 0, 0, 0, 0, 0}));
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

TEST(SocksConnectionRequest, MalformedRequestsCloseWithoutAReply) {
    {
        TConnection c(Open());
        c.Send(Bytes({6, 1, 0}));
        EXPECT_EQ(c.Rest(), "");
    }
    {
        TConnection c(Open());
        c.Send(Socks4Connect(80, std::string(256, 'x')));
        EXPECT_EQ(c.Rest(), "");
        c.Join();
        EXPECT_NE(c.Error.find("Invalid data"), std::string::npos) << c.Error;
    }
}

TEST(SocksConnectionRequest, RejectSocks4AnswersBeforeTheBodyIsRead) {
    TSocksConnectionSettings s = Open();
    s.Options.RejectSocks4 = true;
    TConnection c(s);
    c.Send(Bytes({4}));
    EXPECT_EQ(c.Recv(8), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
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
