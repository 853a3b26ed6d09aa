// The TCP port mapper over real loopback sockets: the mapper listens on this (main) thread,
// every accepted connection relays on a thread of its own, the test's peers are blocking
// sockets driven from a helper thread while the main thread serves its loop.
#include "proxy/TCPProxy.h"

#include "net/OwnConnections.h"
#include "net/TCPStream.h"

#include "support/Microsocks.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int PeerWaitMs = 10000;

// True when the peer closes (or resets) within ms without sending anything more.
bool ClosedWithin(TSocketHandle h, int ms = PeerWaitMs) {
    pollfd p{h, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1)
        return false;
    char c;
    return SocketRecv(h, &c, 1) <= 0;
}

// Runs body on a helper thread while this thread serves its loop; false if it did not end in
// time (the helper's own waits are bounded, so it is joined either way).
bool RunBeside(const std::function<void()>& body, int timeoutMs = 30000) {
    TMailbox waker;
    TMailboxId id = waker.GetMailbox();
    std::atomic<bool> done{false};
    std::thread helper([&] {
        body();
        done = true;
        PostToMailbox(id, MSG_USER, 0, 0); // wakes the loop
    });
    bool ok = RunLoopUntil([&] { return done.load(); }, timeoutMs);
    helper.join();
    return ok;
}

struct TMapperFixture {
    TTestListener Dest;
    TTCPPortMapper Mapper{"0", 180000};
    uint16_t Port = 0;
    explicit TMapperFixture(uint16_t destPort = 0) {
        Mapper.SetLocalHost("127.0.0.1");
        Mapper.DestHost = "127.0.0.1";
        Mapper.DestPort = std::to_string(destPort ? destPort : Dest.Port);
    }
    void Start() {
        Mapper.SetActive(true);
        TSocketAddr local;
        SocketGetSockName(Mapper.ServerSocket().SocketHandle(), local);
        Port = local.Port;
    }
    bool AllClientsGone() {
        return RunLoopPolling([&] { return Mapper.ClientCount() == 0; }, PeerWaitMs);
    }
};

// Whether any of the handles has something to read (bytes, the end, or an error) within ms.
bool AnyReadableWithin(std::initializer_list<TSocketHandle> handles, int ms) {
    std::vector<pollfd> polls;
    for (TSocketHandle h : handles)
        polls.push_back(pollfd{h, POLLIN, 0});
    return ::poll(polls.data(), polls.size(), ms) > 0;
}

// The relays' idle limit, lowered for one test.
struct TRelayIdleLimit {
    explicit TRelayIdleLimit(int64_t ms) { SetRelayIdleLimitMs(ms); }
    ~TRelayIdleLimit() { SetRelayIdleLimitMs(0); }
};

// Nobody listens there, and no test beside this one is handed it.
uint16_t ClosedPort() {
    return FreeLoopbackPort();
}

} // namespace

TEST(TCPPortMapper, RelaysBothWaysAndClosingTheLocalSideClosesTheDestination) {
    TMapperFixture f;
    f.Start();
    std::string big = Pattern(1 << 20);
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        TSocketHandle d = f.Dest.Accept();
        EXPECT_TRUE(SendAll(c, "hello"));
        EXPECT_EQ(RecvWithin(d, 5), "hello");
        std::thread up([&] { EXPECT_TRUE(SendAll(d, big)); });
        EXPECT_EQ(RecvWithin(c, big.size()), big);
        up.join();
        SocketClose(c);
        EXPECT_TRUE(ClosedWithin(d));
        SocketClose(d);
    }));
    EXPECT_TRUE(f.AllClientsGone());
}

TEST(TCPPortMapper, ClosingTheDestinationClosesTheLocalSide) {
    TMapperFixture f;
    f.Start();
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        TSocketHandle d = f.Dest.Accept();
        EXPECT_TRUE(SendAll(d, "bye"));
        SocketClose(d);
        // What the destination sent before closing still arrives, then the close.
        EXPECT_EQ(RecvWithin(c, 3), "bye");
        EXPECT_TRUE(ClosedWithin(c));
        SocketClose(c);
    }));
    EXPECT_TRUE(f.AllClientsGone());
}

TEST(TCPPortMapper, ARefusedDestinationClosesTheAcceptedConnectionAtOnce) {
    TMapperFixture f(ClosedPort());
    f.Start();
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        int64_t start = MonotonicMillis();
        EXPECT_TRUE(ClosedWithin(c));
        EXPECT_LT(MonotonicMillis() - start, 3000);
        SocketClose(c);
    }));
    EXPECT_TRUE(f.AllClientsGone());
    // The mapper itself goes on listening.
    EXPECT_TRUE(f.Mapper.Active());
}

TEST(TCPPortMapper, AnOutboundClientFromOnCreateDestClientIsConnectedByTheMapper) {
    TMapperFixture f(ClosedPort()); // the mapper's own destination would be refused
    std::atomic<int> supplied{0};
    f.Mapper.OnCreateDestClient = [&](TTCPPortMapper*, TTCPServerClient*) {
        auto client = std::make_unique<TkelTCPClient>();
        client->SetHost("127.0.0.1");
        client->SetPort(std::to_string(f.Dest.Port));
        ++supplied;
        return std::unique_ptr<ATCPClient>(std::move(client));
    };
    f.Start();
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        TSocketHandle d = f.Dest.Accept();
        EXPECT_TRUE(SendAll(d, "supplied"));
        EXPECT_EQ(RecvWithin(c, 8), "supplied");
        SocketClose(c);
        EXPECT_TRUE(ClosedWithin(d));
        SocketClose(d);
    }));
    EXPECT_EQ(supplied, 1);
}

TEST(TCPPortMapper, ListensOnlyOnItsLocalHost) {
    TMapperFixture f;
    f.Start();
    TSocketHandle other = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    // 127.0.0.2 is this machine too, but not the address the mapper listens on.
    EXPECT_NE(SocketConnect(other, TSocketAddr::IP4(htonl(0x7F000002u), f.Port)), 0);
    SocketClose(other);
}

TEST(TCPPortMapper, OutboundConnectionsGoThroughTheSocks5UpStreamWithItsLogin) {
    TMicrosocks socks("mapper", "secret");
    ASSERT_TRUE(socks.Running());
    TMapperFixture f;
    f.Mapper.Socks5 = TProxyServerInfo{true, "127.0.0.1", socks.PortStr(), true, "mapper", "secret"};
    f.Start();
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        TSocketHandle d = f.Dest.Accept();
        // The destination sees the proxy, not the mapper: microsocks connected to it.
        EXPECT_TRUE(SendAll(c, "via socks"));
        EXPECT_EQ(RecvWithin(d, 9), "via socks");
        SocketClose(c);
        EXPECT_TRUE(ClosedWithin(d));
        SocketClose(d);
    }));
    // A wrong password: the up-stream refuses, the accepted connection closes.
    f.Mapper.SetActive(false);
    f.Mapper.Socks5.Password = "wrong";
    f.Start();
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        EXPECT_TRUE(ClosedWithin(c));
        SocketClose(c);
    }));
}

TEST(TCPPortMapper, OpenTunnelsHoldNoThreadCountTheirBytesAndDoNotWakeTheProcess) {
    constexpr int Connections = 50;
    TMapperFixture f;
    f.Start();
    std::vector<TSocketHandle> local, remote;
    ASSERT_TRUE(RunBeside([&] {
        for (int i = 0; i < Connections; ++i) {
            local.push_back(ConnectBlocking(f.Port));
            remote.push_back(f.Dest.Accept());
        }
        // Every relay is set up once a byte has made the trip through each (accepts come
        // in the order the relay threads connect, so remote[i] need not be local[i]'s).
        for (TSocketHandle h : local)
            EXPECT_TRUE(SendAll(h, "x"));
        for (TSocketHandle h : remote)
            EXPECT_EQ(RecvWithin(h, 1), "x");
    }));
    ASSERT_EQ(f.Mapper.ClientCount(), static_cast<size_t>(Connections));
    // The tunnels are on the relay loops: every client thread that is left waits as a spare,
    // and a surplus the burst made ends after its idle time.
    EXPECT_TRUE(RunLoopUntil([&] {
        return f.Mapper.ClientThreadCount() == f.Mapper.SpareThreadCount() &&
               f.Mapper.ClientThreadCount() <= size_t(kMaxSpareClientThreads);
    })) << f.Mapper.ClientThreadCount() << " threads, " << f.Mapper.SpareThreadCount()
        << " waiting";
    EXPECT_EQ(RelayTunnelCount(), size_t(Connections));
    // Each client has received its byte on the relay loop.
    for (size_t i = 0; i < f.Mapper.ClientCount(); ++i)
        EXPECT_EQ(f.Mapper.Client(i)->TotalBytes(), 1);
    uint64_t before = TMessageLoop::ProcessWakeCount();
    RunLoopFor(1500); // the only timer here: this wait's own deadline
    uint64_t wakes = TMessageLoop::ProcessWakeCount() - before;
    EXPECT_LE(wakes, 2u) << "relay threads or the listener woke while nothing happened";
    for (TSocketHandle h : local)
        SocketClose(h);
    for (TSocketHandle h : remote)
        SocketClose(h);
    EXPECT_TRUE(f.AllClientsGone());
}

TEST(TCPPortMapper, ATunnelIdleBothWaysIsClosedAfterTheIdleLimitAndItsSlotServesTheNextClient) {
    constexpr int IdleMs = 400;
    TRelayIdleLimit limit(IdleMs);
    TMapperFixture f;
    f.Mapper.MaxClients = 1;
    f.Start();
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        TSocketHandle d = f.Dest.Accept();
        // Bytes trickling one way only, for several idle limits: both ends stay open.
        int64_t until = MonotonicMillis() + 3 * IdleMs;
        while (MonotonicMillis() < until) {
            ASSERT_TRUE(SendAll(d, "x"));
            ASSERT_EQ(RecvWithin(c, 1), "x");
            ASSERT_FALSE(AnyReadableWithin({c, d}, IdleMs / 8)) << "closed while moving";
        }
        // The only slot is taken: the next client waits while the tunnel is open.
        TSocketHandle next = ConnectBlocking(f.Port);
        // Nothing moves now: the tunnel is closed at both ends...
        EXPECT_TRUE(ClosedWithin(c));
        EXPECT_TRUE(ClosedWithin(d));
        SocketClose(c);
        SocketClose(d);
        // ...and the waiting client is served.
        ASSERT_TRUE(AnyReadableWithin({f.Dest.Handle}, PeerWaitMs)) << "the slot never came back";
        TSocketHandle nextDest = f.Dest.Accept();
        EXPECT_TRUE(SendAll(next, "served"));
        EXPECT_EQ(RecvWithin(nextDest, 6), "served");
        SocketClose(next);
        SocketClose(nextDest);
    }));
    EXPECT_TRUE(f.AllClientsGone());
}

// Stopping the mapper ends the tunnels the relay loops carry: it returns once every one is
// let go, both ends of each are closed, and terminated clients get no close event.
TEST(TCPPortMapper, StoppingTheMapperEndsItsOpenTunnels) {
    constexpr int Tunnels = 5;
    TMapperFixture f;
    int closeEvents = 0;
    f.Mapper.OnClientClose = [&](TTCPServerClient*) { ++closeEvents; };
    f.Start();
    std::vector<TSocketHandle> local, remote;
    ASSERT_TRUE(RunBeside([&] {
        for (int i = 0; i < Tunnels; ++i) {
            local.push_back(ConnectBlocking(f.Port));
            remote.push_back(f.Dest.Accept());
            EXPECT_TRUE(SendAll(local.back(), "x"));
            EXPECT_EQ(RecvWithin(remote.back(), 1), "x");
        }
    }));
    ASSERT_TRUE(RunLoopUntil([&] { return RelayTunnelCount() == size_t(Tunnels); }));
    f.Mapper.SetActive(false);
    EXPECT_EQ(f.Mapper.ClientCount(), 0u);
    EXPECT_EQ(closeEvents, 0);
    for (TSocketHandle h : local)
        EXPECT_TRUE(ClosedWithin(h));
    for (TSocketHandle h : remote)
        EXPECT_TRUE(ClosedWithin(h));
    for (TSocketHandle h : local)
        SocketClose(h);
    for (TSocketHandle h : remote)
        SocketClose(h);
    EXPECT_EQ(RelayTunnelCount(), 0u);
}

// --- served on the relay loops ----------------------------------------------------------------

namespace {

// The error entries of a mapper's log, in order (main thread).
struct TErrorLog {
    std::vector<std::string> Lines;
    explicit TErrorLog(TTCPPortMapper& mapper) {
        mapper.OnLog = [this](ATCPServer*, TServerLogType type, const std::string& msg) {
            if (type == ltError)
                Lines.push_back(msg);
        };
    }
};

// A hook that supplies nothing: the mapper connects on a client thread, not on a relay loop.
void ConnectOnAThread(TTCPPortMapper& mapper) {
    mapper.OnCreateDestClient = [](TTCPPortMapper*, TTCPServerClient*) {
        return std::unique_ptr<ATCPClient>();
    };
}

// A client of the mapper sees its connection closed without a byte; then every client of the
// mapper is gone and the mapper has logged an error.
void ExpectClosedAndLogged(TMapperFixture& f, const TErrorLog& log) {
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        EXPECT_TRUE(ClosedWithin(c));
        SocketClose(c);
    }));
    EXPECT_TRUE(f.AllClientsGone());
    EXPECT_TRUE(RunLoopUntil([&] { return !log.Lines.empty(); }));
}

// A listening socket whose accept queue is full: a connection to it is never answered.
struct TUnansweringListener {
    TSocketHandle Handle = INVALID_SOCKETHANDLE;
    uint16_t Port = 0;
    std::vector<TSocketHandle> Fillers;
    TUnansweringListener() {
        Handle = BindLoopback(TIPProtocol::ipTCP, Port);
        ::listen(Handle, 0); // one queued connection at most; further attempts are dropped
        for (int i = 0; i < 2; ++i) {
            TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP, true);
            SocketConnect(h, TSocketAddr::IP4(Loopback(), Port));
            Fillers.push_back(h);
        }
        for (TSocketHandle h : Fillers) { // both stand, or the second waits unanswered
            pollfd p{h, POLLOUT, 0};
            ::poll(&p, 1, 200);
        }
    }
    ~TUnansweringListener() {
        for (TSocketHandle h : Fillers)
            SocketClose(h);
        SocketClose(Handle);
    }
};

} // namespace

// At MaxClients a loop-served mapping leaves the next connection in the backlog (the limit is
// reported) and serves it once a tunnel ends; stopping it with a tunnel open ends that tunnel.
TEST(TCPPortMapperOnLoops, AtMaxClientsTheNextConnectionWaitsUntilATunnelEndsAndStoppingEndsTheRest) {
    TMapperFixture f;
    f.Mapper.MaxClients = 1;
    f.Start();
    ASSERT_TRUE(f.Mapper.LoopServed());
    TSocketHandle c1 = INVALID_SOCKETHANDLE, d1 = INVALID_SOCKETHANDLE, c2 = INVALID_SOCKETHANDLE;
    ASSERT_TRUE(RunBeside([&] {
        c1 = ConnectBlocking(f.Port);
        d1 = f.Dest.Accept();
        EXPECT_TRUE(SendAll(c1, "one"));
        EXPECT_EQ(RecvWithin(d1, 3), "one");
        c2 = ConnectBlocking(f.Port);
    }));
    ASSERT_TRUE(RunLoopUntil([&] { return f.Mapper.AcceptPending(); })) << "limit not reported";
    EXPECT_FALSE(AnyReadableWithin({f.Dest.Handle}, 0)) << "served beyond MaxClients";
    EXPECT_EQ(f.Mapper.ClientThreadCount(), 0u);
    TSocketHandle d2 = INVALID_SOCKETHANDLE;
    ASSERT_TRUE(RunBeside([&] {
        SocketClose(c1);
        EXPECT_TRUE(ClosedWithin(d1));
        SocketClose(d1);
        d2 = f.Dest.Accept();
        EXPECT_TRUE(SendAll(d2, "two"));
        EXPECT_EQ(RecvWithin(c2, 3), "two");
    }));
    EXPECT_EQ(f.Mapper.ClientTotal(), 2u);
    f.Mapper.SetActive(false);
    EXPECT_EQ(f.Mapper.ClientCount(), 0u);
    EXPECT_TRUE(ClosedWithin(c2));
    EXPECT_TRUE(ClosedWithin(d2));
    SocketClose(c2);
    SocketClose(d2);
    EXPECT_EQ(RelayTunnelCount(), 0u);
}

TEST(TCPPortMapperOnLoops, ARefusedClientIsClosedLoggedAndCounted) {
    TMapperFixture f;
    TClientAdmission admission;
    admission.SetAllowed(TAllowedClients::Parse("192.0.2.1"));
    std::atomic<int> refusalLines{0};
    admission.OnRefusalLog = [&](const std::string& line) {
        EXPECT_EQ(line, "Client 127.0.0.1 refused: not in AllowedClients");
        ++refusalLines;
    };
    f.Mapper.Admission = &admission;
    f.Start();
    ASSERT_TRUE(f.Mapper.LoopServed());
    ASSERT_TRUE(RunBeside([&] {
        TSocketHandle c = ConnectBlocking(f.Port);
        EXPECT_TRUE(ClosedWithin(c));
        SocketClose(c);
    }));
    EXPECT_EQ(admission.RefusedCount(), 1u);
    EXPECT_EQ(refusalLines, 1);
    EXPECT_EQ(f.Mapper.ClientTotal(), 0u);
    EXPECT_FALSE(AnyReadableWithin({f.Dest.Handle}, 0));
    f.Mapper.SetActive(false);
}

// A destination that refuses, or does not answer within DestTimeOut, closes the client
// without a byte and logs the same line on a relay loop as on a client thread.
TEST(TCPPortMapperOnLoops, AnUnreachableDestinationIsLoggedAsOnAThread) {
    TUnansweringListener silent;
    for (uint16_t destPort : {ClosedPort(), silent.Port}) {
        std::vector<std::string> lines[2];
        for (bool onLoops : {true, false}) {
            TMapperFixture f(destPort);
            f.Mapper.DestTimeOut = 300;
            if (!onLoops)
                ConnectOnAThread(f.Mapper);
            TErrorLog log(f.Mapper);
            f.Start();
            ASSERT_EQ(f.Mapper.LoopServed(), onLoops);
            ExpectClosedAndLogged(f, log);
            f.Mapper.SetActive(false);
            lines[onLoops] = log.Lines;
        }
        ASSERT_EQ(lines[1].size(), 1u);
        EXPECT_EQ(lines[1], lines[0]);
    }
}

// A client reset while its destination is still being reached: one that sent nothing has
// nothing to carry and is let go at once; the bytes of one that did still reach the destination
// once it answers. Alike on a relay loop and on a client thread, and neither logs an error.
TEST(TCPPortMapperOnLoops, AClientResetDuringTheConnectIsLetGoUnlessItsBytesAreStillToGo) {
    auto reset = [](TSocketHandle h) {
        linger now{1, 0};
        ::setsockopt(h, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        SocketClose(h);
    };
    for (bool onLoops : {true, false}) {
        SCOPED_TRACE(onLoops ? "on a relay loop" : "on a client thread");
        TUnansweringListener silent;
        TMapperFixture f(silent.Port);
        f.Mapper.DestTimeOut = 60000; // far beyond every wait here
        if (!onLoops)
            ConnectOnAThread(f.Mapper);
        TErrorLog log(f.Mapper);
        f.Start();
        ASSERT_EQ(f.Mapper.LoopServed(), onLoops);

        reset(ConnectBlocking(f.Port));
        EXPECT_TRUE(f.AllClientsGone()) << "a client that sent nothing held its slot";

        TSocketHandle sender = ConnectBlocking(f.Port);
        ASSERT_TRUE(SendAll(sender, "early"));
        ASSERT_TRUE(RunLoopPolling([&] { return f.Mapper.ClientCount() == 1; }, PeerWaitMs));
        reset(sender);
        EXPECT_FALSE(RunLoopPolling([&] { return f.Mapper.ClientCount() == 0; }, 300))
            << "the connect for bytes still to go was ended";
        // The queue frees: the mapper's connection is the one that is not a filler's.
        std::vector<uint16_t> fillers;
        for (TSocketHandle h : silent.Fillers) {
            TSocketAddr own;
            SocketGetSockName(h, own);
            fillers.push_back(own.Port);
        }
        TSocketHandle dest = INVALID_SOCKETHANDLE;
        std::vector<TSocketHandle> accepted;
        ASSERT_TRUE(RunBeside([&] {
            while (dest == INVALID_SOCKETHANDLE) {
                pollfd p{silent.Handle, POLLIN, 0};
                if (::poll(&p, 1, PeerWaitMs) != 1)
                    return;
                TSocketAddr peer;
                TSocketHandle h = SocketAccept(silent.Handle, &peer, false);
                accepted.push_back(h);
                if (std::find(fillers.begin(), fillers.end(), peer.Port) == fillers.end())
                    dest = h;
            }
            EXPECT_EQ(RecvWithin(dest, 5), "early");
            EXPECT_TRUE(ClosedWithin(dest));
        }));
        EXPECT_NE(dest, INVALID_SOCKETHANDLE) << "the destination never heard from the mapper";
        EXPECT_TRUE(f.AllClientsGone());
        for (TSocketHandle h : accepted)
            SocketClose(h);
        EXPECT_EQ(log.Lines, std::vector<std::string>());
        f.Mapper.SetActive(false);
    }
}

// A mapping whose destination leads back to it: the connection goes round a few times, is then
// refused and logged, and the whole chain closes (the client sees the end), on a relay loop as
// on a client thread; nothing goes round until the descriptors run out.
TEST(TCPPortMapperOnLoops, ADestinationLeadingBackToTheMappingIsRefusedAfterAFewRounds) {
    for (bool onLoops : {true, false}) {
        TMapperFixture f(ClosedPort());
        if (!onLoops)
            ConnectOnAThread(f.Mapper);
        f.Start();
        // Again on the same port, now with that port as its destination.
        f.Mapper.SetActive(false);
        f.Mapper.SetListenPort(std::to_string(f.Port));
        f.Mapper.DestPort = std::to_string(f.Port);
        TErrorLog log(f.Mapper);
        std::vector<std::string> told;
        std::mutex toldLock;
        f.Mapper.LoopLog.OnLine = [&](const std::string& line) {
            std::lock_guard lock(toldLock);
            told.push_back(line);
        };
        f.Mapper.SetActive(true);
        ASSERT_EQ(f.Mapper.LoopServed(), onLoops);
        ExpectClosedAndLogged(f, log);
        EXPECT_EQ(log.Lines, std::vector<std::string>{
                                 "Client execute error: Loop refused: it has come round "
                                 "through this program's port mappings 8 times (a "
                                 "destination leads back to a mapping)"});
        std::lock_guard lock(toldLock);
        EXPECT_EQ(told, (std::vector<std::string>{
                            "Connection from 127.0.0.1 refused: it has come round through this "
                            "program's port mappings 8 times (a destination leads back to a "
                            "mapping)"}));
        // The client's own connection and one per round.
        EXPECT_EQ(f.Mapper.ClientTotal(), uint64_t(kMappingLoopPasses) + 1);
        f.Mapper.SetActive(false);
    }
}

// Out of descriptors, the loops leave the connection in the backlog, log it once and try
// again after a pause (no spinning on the readable listening socket); once descriptors are
// free the connection is served.
TEST(TCPPortMapperOnLoops, OutOfDescriptorsAcceptingPausesLogsOnceAndServesAfterwards) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker opens a pipe to look at an object's type the first time
    // it meets it: without a descriptor it reports valid objects as invalid.
    GTEST_SKIP() << "needs descriptors the sanitizer takes";
#endif
    TMapperFixture f;
    TErrorLog log(f.Mapper);
    f.Start();
    ASSERT_TRUE(f.Mapper.LoopServed());
    TSocketHandle c = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    // No tunnel of an earlier test frees a descriptor meanwhile.
    ASSERT_TRUE(RunLoopPolling([] { return RelayTunnelCount() == 0; }));
    TDescriptorLimit limit;
    ASSERT_EQ(SocketConnect(c, TSocketAddr::IP4(Loopback(), f.Port)), 0); // waits in the backlog
    ASSERT_TRUE(RunLoopUntil([&] { return !log.Lines.empty(); }));
    limit.Restore();
    ASSERT_TRUE(RunLoopPolling([&] { return AnyReadableWithin({f.Dest.Handle}, 0); }));
    TSocketHandle d = f.Dest.Accept();
    ASSERT_TRUE(RunBeside([&] {
        EXPECT_TRUE(SendAll(c, "late"));
        EXPECT_EQ(RecvWithin(d, 4), "late");
    }));
    ASSERT_EQ(log.Lines.size(), 1u) << log.Lines[0] << " / " << log.Lines.back();
    EXPECT_EQ(log.Lines[0].rfind("Accept paused", 0), 0u) << log.Lines[0];
    // One failed accept, then one after the pause (and one that found none waiting).
    EXPECT_LE(f.Mapper.ServerSocket().AcceptCalls(), 6u);
    SocketClose(c);
    SocketClose(d);
    EXPECT_TRUE(f.AllClientsGone());
}
