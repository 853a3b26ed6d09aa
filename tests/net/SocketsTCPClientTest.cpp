// Outbound connections: direct, through one and two chained SOCKS5 links against a real
// SOCKS5 server (microsocks), and scripted fake SOCKS5 servers for the refusal paths.
#include "net/Socks.h"
#include "net/TCPStream.h"

#include "support/EchoServer.h"
#include "support/Microsocks.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

std::unique_ptr<TSocks5SocketProxy> Link(const TMicrosocks& server, bool throughProxy,
                                         const std::string& user = "",
                                         const std::string& password = "") {
    auto link = std::make_unique<TSocks5SocketProxy>("127.0.0.1", server.PortStr());
    link->ResolveThroughProxy = throughProxy;
    link->UseAuthentication = !user.empty();
    link->Username = user;
    link->Password = password;
    return link;
}

// Connects a blocking stream through the chain and checks an echo round trip.
void ExpectEchoThrough(std::unique_ptr<ATCPClientSocketProxy> chain, const std::string& host,
                       int expectedLinks) {
    TEchoServer echo;
    TTCPClientSocket own(host, echo.PortStr(), std::move(chain));
    TSocketStream stream(&own, -1, 5000, smBlockWaitMessage);
    TTCPClientSocket* socket = &own;
    int negotiating = 0;
    socket->OnNegotiating = [&](TTCPClientSocket*) { ++negotiating; };
    stream.Connect();
    EXPECT_EQ(socket->State(), ssConnected);
    EXPECT_EQ(negotiating, expectedLinks);
    stream.WriteStr("ping through the tunnel");
    EXPECT_EQ(stream.Reader().ReadStr(23), "ping through the tunnel");
    stream.Close();
}

} // namespace

TEST(TCPClientSocket, DirectConnectResolvesADottedHostInsideConnect) {
    TEchoServer echo;
    TTCPClientSocket socket("127.0.0.1", echo.PortStr());
    std::vector<std::string> events;
    socket.OnResolved = [&](TTCPClientSocket*) { events.push_back("resolved"); };
    socket.OnConnected = [&](TTCPClientSocket*) { events.push_back("connected"); };
    socket.Connect();
    ASSERT_EQ(events, std::vector<std::string>{"resolved"});
    EXPECT_TRUE(socket.IsConnecting());
    ASSERT_TRUE(RunLoopUntil([&] { return socket.State() == ssConnected; }));
    EXPECT_EQ(events.back(), "connected");
    EXPECT_EQ(socket.GetRemoteAddressStr(), "127.0.0.1");
    try {
        socket.SetPort("1");
        FAIL() << "SetPort on an open socket";
    } catch (const ESocket& e) {
        EXPECT_EQ(e.ErrorCode, SOCKET_ERR_NOT_CLOSED);
        EXPECT_EQ(e.Message(), "(Host 127.0.0.1:" + echo.PortStr() +
                                   ") Operation only allowed on closed socket: SetPort");
    }
    socket.Close(false);
}

TEST(TCPClientSocket, ArgumentErrorsAndRefusedConnections) {
    TTCPClientSocket noPort("127.0.0.1", "");
    EXPECT_THROW(noPort.Connect(), ESocket);
    EXPECT_EQ(noPort.ErrorMessage(), "Port not specified");
    TTCPClientSocket noHost("", "80");
    EXPECT_THROW(noHost.Connect(), ESocket);
    EXPECT_EQ(noHost.ErrorMessage(), "Host not specified");

    uint16_t closedPort = FreeLoopbackPort(); // nobody listens there
    TTCPClientSocket refused("127.0.0.1", std::to_string(closedPort));
    TSocketStream stream(&refused, -1, 5000, smBlockWaitMessage);
    TTCPClientSocket* socket = &refused;
    int failed = 0;
    socket->OnConnectFailed = [&](TTCPClientSocket*) { ++failed; };
    try {
        stream.Connect();
        FAIL() << "connect to a closed port";
    } catch (const ESocketStream& e) {
        EXPECT_EQ(e.Message(), "Connect failed: " + SocketErrorMessage(WSAECONNREFUSED));
    }
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(socket->ErrorCode(), WSAECONNREFUSED);
    EXPECT_EQ(socket->State(), ssClosed);
    EXPECT_EQ(socket->SocketHandle(), INVALID_SOCKETHANDLE);
}

// A socket that has no window yet belongs to the thread that made it; a Terminate from
// another thread must not close its handle under it (the number could be reused at once by
// any descriptor of the process while the owner still uses it).
TEST(TCPClientSocket, TerminateFromAnotherThreadBeforeAWindowLeavesTheHandleToItsOwner) {
    std::atomic<TTCPClientSocket*> socket{nullptr};
    std::atomic<bool> terminated{false};
    TSocketHandle made = INVALID_SOCKETHANDLE;
    TSocketHandle afterTerminate = INVALID_SOCKETHANDLE;
    bool hadWindow = true;
    std::thread owner([&] {
        TTCPClientSocket s;
        made = s.GetSocketHandle();
        hadWindow = s.HasMailbox();
        socket = &s;
        socket.notify_all();
        terminated.wait(false);
        afterTerminate = s.SocketHandle();
        socket = nullptr;
    });
    socket.wait(nullptr);
    socket.load()->Terminate();
    terminated = true;
    terminated.notify_all();
    owner.join();
    EXPECT_FALSE(hadWindow);
    EXPECT_NE(made, INVALID_SOCKETHANDLE);
    EXPECT_EQ(afterTerminate, made);
}

TEST(Socks5Link, OneLinkToARealServerResolvingLocallyOrThroughTheProxy) {
    TMicrosocks server;
    ASSERT_TRUE(server.Running()) << "microsocks missing (scripts/setup.sh --tests installs it)";
    ExpectEchoThrough(Link(server, false), "127.0.0.1", 1);
    ExpectEchoThrough(Link(server, true), "localhost", 1);
    // A name resolved here by the asynchronous lookup while the link negotiates.
    ExpectEchoThrough(Link(server, false), "localhost", 1);
}

TEST(Socks5Link, UserAndPasswordAreSentWhenTheServerAsksForThem) {
    TMicrosocks server("alice", "s3cret");
    ASSERT_TRUE(server.Running());
    ExpectEchoThrough(Link(server, true, "alice", "s3cret"), "127.0.0.1", 1);

    // Offering no authentication to a server that demands it: method 0xFF.
    TTCPClientSocket socket("127.0.0.1", "9", Link(server, true));
    socket.Connect();
    ASSERT_TRUE(RunLoopUntil([&] { return socket.State() == ssClosed; }));
    EXPECT_EQ(socket.ErrorCode(), SOCKET_ERR_SOCKS_NEGOTIATION);
    EXPECT_EQ(socket.ErrorMessage(), "Socks negotiation failed");

    // A wrong password.
    TTCPClientSocket wrong("127.0.0.1", "9", Link(server, true, "alice", "wrong"));
    wrong.Connect();
    ASSERT_TRUE(RunLoopUntil([&] { return wrong.State() == ssClosed; }));
    EXPECT_EQ(wrong.ErrorCode(), SOCKET_ERR_SOCKS_AUTHENTICATION);
    EXPECT_EQ(wrong.ErrorMessage(), "Socks authentication failed");
}

TEST(Socks5Link, TwoChainedLinksTunnelThroughBothServers) {
    TMicrosocks first;
    TMicrosocks second("bob", "pw");
    ASSERT_TRUE(first.Running() && second.Running());
    auto chain = Link(first, false);
    chain->NextProxy = Link(second, true, "bob", "pw");
    ExpectEchoThrough(std::move(chain), "127.0.0.1", 2);
}

namespace {

// A scripted SOCKS5 server for one connection: answers the greeting with method, then (for
// method 0) reads the 10-byte CONNECT request and sends reply in two parts, the second only
// once release is set.
struct TFakeSocks5 {
    TTestListener Listener;
    std::thread Thread;
    std::promise<void> Release;
    TFakeSocks5(uint8_t method, std::string replyFirst, std::string replyRest = "") {
        Thread =
            std::thread([this, method, replyFirst, replyRest, released = Release.get_future()] {
                TSocketHandle h = Listener.Accept();
                char buf[16];
                if (SocketRecv(h, buf, 3) == 3) { // greeting: 05 01 00
                    SendAll(h, std::string{5, char(method)});
                    if (method == 0 && SocketRecv(h, buf, 10) == 10) { // 05 01 00 01 addr port
                        SendAll(h, replyFirst);
                        if (!replyRest.empty()) {
                            released.wait_for(std::chrono::seconds(10));
                            SendAll(h, replyRest);
                        }
                    }
                }
                RecvAll(h); // until the client closes
                SocketClose(h);
            });
    }
    ~TFakeSocks5() { Thread.join(); }
    std::unique_ptr<TSocks5SocketProxy> Link() {
        return std::make_unique<TSocks5SocketProxy>("127.0.0.1", std::to_string(Listener.Port));
    }
};

// A CONNECT reply head: version, reply code, reserved, address type.
std::string ReplyHead(uint8_t code, uint8_t addressType) {
    return std::string{5, char(code), 0, char(addressType)};
}

} // namespace

TEST(Socks5Link, MethodNoneAcceptableFailsTheNegotiation) {
    TFakeSocks5 fake(0xFF, "");
    TTCPClientSocket socket("127.0.0.1", "80", fake.Link());
    int failed = 0, errors = 0;
    socket.OnConnectFailed = [&](TTCPClientSocket*) { ++failed; };
    socket.OnError = [&](ASocket*) { ++errors; };
    socket.Connect();
    ASSERT_TRUE(RunLoopUntil([&] { return failed > 0; }));
    EXPECT_EQ(socket.ErrorCode(), 40101);
    EXPECT_EQ(socket.ErrorMessage(), "Socks negotiation failed");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket.State(), ssClosed);
}

TEST(Socks5Link, ReplyCodeFiveIsConnectionRefused) {
    // head, IPv4 0.0.0.0, port 0
    TFakeSocks5 fake(0, ReplyHead(5, 1) + std::string(6, '\0'));
    TTCPClientSocket socket("127.0.0.1", "80", fake.Link());
    TSocketStream stream(&socket, -1, 5000, smBlockWaitMessage);
    try {
        stream.Connect();
        FAIL() << "refused by the proxy";
    } catch (const ESocketStream& e) {
        EXPECT_EQ(e.Message(), "Connect failed: Connection refused");
    }
    EXPECT_EQ(stream.Socket()->ErrorCode(), 40005);
}

TEST(Socks5Link, DomainReplyOf250BytesCompletesOnlyAt257AndLeavesLaterBytes) {
    std::string reply = ReplyHead(0, 3) + char(250) + std::string(250, 'n') + "\x1f\x90";
    ASSERT_EQ(reply.size(), 257u);
    // All but the last byte first; the last one arrives with the first application bytes.
    TFakeSocks5 fake(0, reply.substr(0, 256), reply.substr(256) + "hello");
    TTCPClientSocket socket("127.0.0.1", "80", fake.Link());
    socket.Connect();
    ASSERT_TRUE(
        RunLoopUntil([&] { return socket.BufferUsed() >= 251; })); // the head may be taken already
    RunLoopFor(50);
    EXPECT_EQ(socket.State(), ssNegotiating);
    fake.Release.set_value();
    ASSERT_TRUE(RunLoopUntil([&] { return socket.State() == ssConnected; }));
    ASSERT_TRUE(RunLoopUntil([&] { return socket.BufferUsed() >= 5; }));
    EXPECT_EQ(socket.ReadStr(5), "hello");
    socket.Close(false);
}

TEST(Socks5Link, UnknownAddressTypeInTheReplyFailsTheConnection) {
    TFakeSocks5 fake(0, ReplyHead(0, 7) + std::string(6, '\0'));
    TTCPClientSocket socket("127.0.0.1", "80", fake.Link());
    int failed = 0;
    socket.OnConnectFailed = [&](TTCPClientSocket*) { ++failed; };
    socket.Connect();
    ASSERT_TRUE(RunLoopUntil([&] { return failed > 0; }));
    EXPECT_EQ(socket.ErrorMessage(), "Socks5 Address type #7 not supported");
    EXPECT_EQ(socket.State(), ssClosed);
    EXPECT_EQ(socket.SocketHandle(), INVALID_SOCKETHANDLE);
}
