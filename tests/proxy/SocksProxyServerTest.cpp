// The SOCKS server on loopback with its client limit full: connections that never finish
// their negotiation (silent or trickling) are closed by the negotiation deadline, so a
// waiting client is served long before the client time-out would have freed a slot.
#include "proxy/SocksProxy.h"

#include "support/Bytes.h"
#include "support/EchoServer.h"
#include "support/NetTestSupport.h"
#include "support/SilentListener.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int kShortDeadlineMs = 300;
constexpr int kMaxClients = 2;

struct TTestSocksServer : TSocksProxyServer {
    TTestSocksServer() {
        SetLocalHost("127.0.0.1");
        SetListenPort("0");
        MaxClients = kMaxClients;
        // Far beyond the test's bound: only the negotiation deadline can free a slot in time.
        ClientTimeout = 120000;
        TSocksConnectionSettings settings;
        settings.NegotiationTimeout = kShortDeadlineMs;
        SetSettings(settings);
        SetActive(true);
    }
    uint16_t Port() {
        TSocketAddr local;
        SocketGetSockName(ServerSocket().SocketHandle(), local);
        return local.Port;
    }
};

// Runs body on a helper thread while this (the main) thread serves its loop.
template <typename T> T OffMain(const std::function<T()>& body) {
    std::atomic<bool> done{false};
    T result{};
    std::thread t([&] {
        result = body();
        done = true;
        TMessageLoop::Main().Post(TMessage{0, MSG_USER, 0, 0});
    });
    EXPECT_TRUE(RunLoopUntil([&] { return done.load(); }, 30000));
    t.join();
    return result;
}

// A normal SOCKS5 client that connects while the limit is full: the MonotonicMillis at which
// its granted reply came and a relayed echo went through, or -1 when that did not happen
// within 10 s.
int64_t ServedAt(uint16_t serverPort, uint16_t destPort) {
    return OffMain<int64_t>([&]() -> int64_t {
        TSocketHandle h = ConnectBlocking(serverPort);
        SendAll(h, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(destPort));
        std::string reply = RecvWithin(h, 12, 10000);
        int64_t at = MonotonicMillis();
        bool relayed = SendAll(h, "ping") && RecvWithin(h, 4) == "ping";
        SocketClose(h);
        bool granted = reply.size() == 12 && reply.substr(0, 4) == Bytes({5, 0, 5, 0});
        return granted && relayed ? at : -1;
    });
}

// The server has closed h (end of stream or reset); the main loop is served meanwhile. The
// server's threads post nothing to it as they end their clients: it is asked in slices.
bool ClosedByServer(TSocketHandle h) {
    return RunLoopPolling([h] {
        pollfd p{h, POLLIN, 0};
        char c;
        return ::poll(&p, 1, 0) == 1 && SocketRecv(h, &c, 1) <= 0;
    });
}

} // namespace

TEST(SocksProxyServerNegotiationDeadline, SilentConnectionsAreClosedAndAWaitingClientIsServed) {
    TEchoServer dest;
    TTestSocksServer server;
    int64_t start = MonotonicMillis();
    std::vector<TSocketHandle> silent;
    for (int i = 0; i < kMaxClients; ++i)
        silent.push_back(ConnectBlocking(server.Port()));
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == size_t(kMaxClients); }));
    int64_t asked = MonotonicMillis();
    int64_t served = ServedAt(server.Port(), dest.Listener.Port);
    ASSERT_GE(served, 0);
    // The limit was full: a slot came free only by a deadline, and soon after it.
    EXPECT_GE(served - start, kShortDeadlineMs);
    EXPECT_LT(served - asked, 5000);
    for (TSocketHandle h : silent) {
        EXPECT_TRUE(ClosedByServer(h));
        SocketClose(h);
    }
}

TEST(SocksProxyServerNegotiationDeadline, TricklingConnectionsAreClosedByTheSameDeadline) {
    TEchoServer dest;
    TTestSocksServer server;
    // Each sends a valid request one byte every 60 ms: every single wait is short, the whole
    // request takes more than twice the deadline.
    const std::string request =
        Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(dest.Listener.Port);
    std::atomic<int> closed{0};
    std::vector<std::thread> tricklers;
    int64_t start = MonotonicMillis();
    for (int i = 0; i < kMaxClients; ++i) {
        tricklers.emplace_back([&, port = server.Port()] {
            TSocketHandle h = ConnectBlocking(port);
            for (char byte : request) {
                if (SocketSend(h, &byte, 1) != 1) { // reset by the server's close
                    ++closed;
                    break;
                }
                pollfd p{h, POLLIN, 0};
                if (::poll(&p, 1, 60) == 1) {
                    char answer[2];
                    if (SocketRecv(h, answer, sizeof answer) <= 0) { // closed by the server
                        ++closed;
                        break;
                    }
                }
            }
            SocketClose(h);
        });
    }
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == size_t(kMaxClients); }));
    int64_t asked = MonotonicMillis();
    int64_t served = ServedAt(server.Port(), dest.Listener.Port);
    EXPECT_TRUE(RunLoopPolling([&] { return closed == kMaxClients; }));
    for (auto& t : tricklers)
        t.join();
    ASSERT_GE(served, 0);
    EXPECT_GE(served - start, kShortDeadlineMs);
    EXPECT_LT(served - asked, 5000);
}

// A negotiation waits for its bytes on the connection's descriptor, beside the thread's loop:
// the client's leaving, and the server's own end, must still reach it at once, long before
// the negotiation deadline would.
TEST(SocksProxyServerNegotiation, AClientLeavingOrTheServerStoppingEndsAWaitAtOnce) {
    TTestSocksServer server;
    server.MaxClients = 5;
    TSocksConnectionSettings settings = server.Settings();
    settings.NegotiationTimeout = 120000;
    std::atomic<int> requests{0};
    settings.OnConnectRequest = [&](const TSocksConnectionFacts&, uint32_t, const std::string&,
                                    int, bool&) { ++requests; };
    server.SetSettings(settings);
    uint16_t nowherePort = FreeLoopbackPort();
    TSilentListener nowhere(TSocketAddr::IP4(Loopback(), nowherePort));
    const std::string toNowhere = Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(nowherePort);
    // Leaves in the middle of its greeting, and after it.
    for (const std::string& sent : {Bytes({5}), Bytes({5, 1, 0})}) {
        TSocketHandle h = ConnectBlocking(server.Port());
        SendAll(h, sent);
        ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 1; }));
        SocketClose(h);
        EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }))
            << "a client that left after " << sent.size() << " bytes kept its slot";
    }
    // Gone (reset) while its destination does not answer the connect, which would take
    // minutes to give up; ones that ended their sending, after bytes sent early or without,
    // wait on for their replies.
    TSocketHandle early = ConnectBlocking(server.Port());
    SendAll(early, toNowhere + "early");
    ::shutdown(early, SHUT_WR);
    TSocketHandle ended = ConnectBlocking(server.Port());
    SendAll(ended, toNowhere);
    ::shutdown(ended, SHUT_WR);
    TSocketHandle leaving = ConnectBlocking(server.Port());
    SendAll(leaving, toNowhere);
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 3 && requests == 3; }));
    ResetClose(leaving);
    EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 2; }))
        << "a client gone while its connect was under way kept its slot";
    for (TSocketHandle h : {early, ended}) {
        SetReceiveTimeout(h);
        EXPECT_EQ(RecvWithin(h, 2), Bytes({5, 0})); // its method; no reply, no end since
        char byte;
        EXPECT_EQ(::recv(h, &byte, 1, MSG_PEEK | MSG_DONTWAIT), -1)
            << "a client that ended its sending was let go";
    }
    // Waiting silently, in the middle of its request, and for a destination that never
    // answers the connect.
    TSocketHandle silent = ConnectBlocking(server.Port());
    TSocketHandle asking = ConnectBlocking(server.Port());
    SendAll(asking, Bytes({5, 1, 0, 5, 1}));
    TSocketHandle waiting = ConnectBlocking(server.Port());
    SendAll(waiting, toNowhere);
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 5 && requests == 4; }));
    int64_t start = MonotonicMillis();
    server.SetActive(false);
    EXPECT_LT(MonotonicMillis() - start, 10000) << "stopping waited for the negotiations";
    EXPECT_EQ(server.ClientCount(), 0u);
    for (TSocketHandle h : {early, ended, silent, asking, waiting}) {
        EXPECT_TRUE(ClosedByServer(h));
        SocketClose(h);
    }
}

TEST(SocksProxyServerAdmission, RefusedClientGetsTheNotAllowedReplyAfterItsGreeting) {
    TEchoServer dest;
    TTestSocksServer server;
    TClientAdmission gate;
    gate.SetAllowed(TAllowedClients::Parse("10.0.0.0/8"));
    int logged = 0;
    gate.OnRefusalLog = [&](const std::string&) { ++logged; };
    server.Admission = &gate;
    server.CloseRefusedAtAccept = false;
    std::vector<int> dests;
    TSocksConnectionSettings settings = server.Settings();
    settings.OnConnectRequest = [&](const TSocksConnectionFacts&, uint32_t, const std::string&,
                                    int port, bool&) { dests.push_back(port); };
    server.SetSettings(settings);

    // SOCKS5: the method is chosen as usual, the request is refused with 02.
    std::string socks5 = OffMain<std::string>([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        SetReceiveTimeout(h);
        SendAll(h, Bytes({5, 1, 0}));
        std::string method = RecvWithin(h, 2);
        SendAll(h, Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + Word(dest.Listener.Port));
        std::string reply = method + RecvAll(h);
        SocketClose(h);
        return reply;
    });
    EXPECT_EQ(socks5, Bytes({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));

    // SOCKS4: refused with 91.
    std::string socks4 = OffMain<std::string>([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        SetReceiveTimeout(h);
        SendAll(h, Bytes({4, 1}) + Word(dest.Listener.Port) + Bytes({127, 0, 0, 1, 'u', 0}));
        std::string reply = RecvAll(h);
        SocketClose(h);
        return reply;
    });
    ASSERT_EQ(socks4.size(), 8u);
    EXPECT_EQ(socks4.substr(0, 2), Bytes({0, 91}));

    // The destination was never reached nor asked about; one log line for the one address.
    EXPECT_TRUE(dests.empty());
    EXPECT_EQ(gate.RefusedCount(), 2u);
    EXPECT_EQ(logged, 1);
    EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
    std::lock_guard<std::mutex> lock(dest.ConnectionLock);
    EXPECT_TRUE(dest.Connections.empty());
}

TEST(SocksProxyServerUdp, AnAssociationHoldsItsConnectionSlotUntilItsControlConnectionCloses) {
    TTestSocksServer server;
    TSocksConnectionSettings settings = server.Settings();
    settings.Options.EnableUdp = true;
    server.SetSettings(settings);
    TUDPPeer client, dest;
    TSocketHandle h = ConnectBlocking(server.Port());
    SetReceiveTimeout(h);
    SendAll(h, Bytes({5, 1, 0, 5, 3, 0, 1, 0, 0, 0, 0}) + Word(client.Port));
    // The reply comes from the client's thread, without a word to this loop.
    ASSERT_TRUE(RunLoopPolling([h] {
        pollfd p{h, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    std::string reply = RecvWithin(h, 12);
    ASSERT_EQ(reply.substr(0, 4), Bytes({5, 0, 5, 0}));
    uint16_t relay = ReadUInt16BE(reply.data() + 10);
    // Past its negotiation the association carries datagrams and still takes its slot.
    client.SendTo(relay, Bytes({0, 0, 0, 1, 127, 0, 0, 1}) + Word(dest.Port) + "x");
    pollfd p{dest.Handle, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(server.ClientCount(), 1u);
    SocketClose(h);
    EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
}

// A far end that answers each request in two small writes without delay, and a client that
// asks again only once it has the whole answer: through the tunnel each turn must be as quick
// as directly. Sent towards the client with the system's small-segment delay, the second part
// would wait for the client's acknowledgement of the first, which it delays (40 ms or more).
TEST(SocksProxyServerTunnel, AnAnswerInTwoSmallPartsIsNotHeldForTheFirstOnesAcknowledgement) {
    TTestListener far;
    TTestSocksServer server;
    constexpr int kTurns = 20;
    std::thread farEnd([&] {
        TSocketHandle h = far.Accept();
        SocketSetNoDelay(h, true);
        SetReceiveTimeout(h);
        for (int i = 0; i < kTurns; ++i) {
            if (ReceiveExactly(h, 1) != "q" || !SendAll(h, "a"))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // two writes, two segments
            if (!SendAll(h, "b"))
                break;
        }
        SocketClose(h);
    });
    int64_t elapsed = -1;
    int turns = OffMain<int>([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        SocketSetNoDelay(h, true);
        SendAll(h, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(far.Port));
        int done = -1;
        if (RecvWithin(h, 12).substr(0, 4) == Bytes({5, 0, 5, 0})) {
            int64_t start = MonotonicMillis();
            for (done = 0; done < kTurns; ++done)
                if (!SendAll(h, "q") || RecvWithin(h, 2) != "ab")
                    break;
            elapsed = MonotonicMillis() - start;
        }
        SocketClose(h);
        return done;
    });
    farEnd.join();
    ASSERT_EQ(turns, kTurns);
    // Held parts cost 40 ms or more per turn; carried at once, a turn takes a few ms even on
    // a loaded machine.
    EXPECT_LT(elapsed, kTurns * 40 / 2) << "answers through the tunnel stalled on acknowledgements";
}

TEST(SocksProxyServerTunnel, BytesSentAlongWithTheRequestOrJustAfterItAreRelayedInOrder) {
    TEchoServer dest;
    TTestSocksServer server;
    std::string echoed = OffMain<std::string>([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        SetReceiveTimeout(h);
        // Not waiting for the replies: the first bytes ride with the request, the next come
        // while the reply is on its way, the last after it.
        SendAll(h, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(dest.Listener.Port) + "one,");
        SendAll(h, "two,");
        std::string got = RecvWithin(h, 12);
        SendAll(h, "three");
        got += RecvWithin(h, 13);
        SocketClose(h);
        return got;
    });
    ASSERT_EQ(echoed.size(), 25u);
    EXPECT_EQ(echoed.substr(0, 4), Bytes({5, 0, 5, 0})); // the method, then granted
    EXPECT_EQ(echoed.substr(12), "one,two,three");
}
