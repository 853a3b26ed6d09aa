// Client threads of a thread-per-client server: reuse, bounds, idle ends and stack size.
#include "net/TCPServer.h"

#include "net/AllowedClients.h"
#include "net/Outbound.h"

#include "support/EchoServer.h"
#include "support/Microsocks.h"
#include "support/NetTestSupport.h"
#include "support/OneByteEchoServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <deque>
#include <dirent.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace corvan;
using namespace corvan::test;

namespace {

void WakeMain() {
    TMessageLoop::Main().Post(TMessage{0, MSG_USER, 0, 0});
}

// Echoes one byte per connection, counting the threads made by a mark each thread gets on its
// first connection (thread ids are handed out again once a thread has ended, so they cannot
// tell).
void EchoCountingThreads(ATCPServer& server, std::atomic<int>& threadsMade) {
    server.OnClientExecute = [&threadsMade](TTCPServerClient* client) {
        thread_local bool counted = false;
        if (!std::exchange(counted, true))
            ++threadsMade;
        TSocketStream& s = *client->GetStream();
        s.Writer().WriteByte(s.Reader().ReadByte());
    };
}

// Echoes one byte, then stays until the peer closes.
void EchoOneByteAndStay(TTCPServerClient* client) {
    TSocketStream& s = *client->GetStream();
    s.Writer().WriteByte(s.Reader().ReadByte());
    try {
        s.Reader().ReadByte();
    } catch (const std::exception&) {
    }
}

// Threads of this process now.
int TaskCount() {
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* e = ::readdir(dir))
        count += e->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// Threads of this process before a test starts its own. The first thread a process starts
// may bring a runtime's helper thread with it (ThreadSanitizer's), which is counted here: one
// thread is started and joined, and counted once the system no longer lists it.
int BaselineTaskCount() {
    pid_t tid = 0;
    std::thread([&] { tid = ::gettid(); }).join();
    const std::string listed = "/proc/self/task/" + std::to_string(tid);
    RunLoopPolling([&] { return ::access(listed.c_str(), F_OK) != 0; }, 5000);
    return TaskCount();
}

// Whether the process is down to at most count threads within a few seconds: a thread that
// was joined can still be listed for a moment while the kernel lets it go.
bool TasksSettleTo(int count) {
    return RunLoopPolling([&] { return TaskCount() <= count; }, 5000);
}

// Connections held open by a helper thread, each having had one byte echoed.
struct THeldPeers {
    std::vector<TSocketHandle> Handles;
    THeldPeers(uint16_t port, int count) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            for (int i = 0; i < count; ++i) {
                TSocketHandle h = ConnectBlocking(port);
                if (h != INVALID_SOCKETHANDLE && SendAll(h, "h") && RecvWithin(h, 1) == "h")
                    Handles.push_back(h);
                else if (h != INVALID_SOCKETHANDLE)
                    SocketClose(h);
            }
            done = true;
            WakeMain();
        });
        RunLoopUntil([&] { return done.load(); }, 60000);
        t.join();
    }
    ~THeldPeers() { Close(); }
    void Close() {
        for (TSocketHandle h : Handles)
            SocketClose(h);
        Handles.clear();
    }
};

} // namespace

// Streams of short connections, one at a time and more at once than the spare bound: threads
// are reused, not made again, and once a stream ends no more than the bound are left.
TEST(TCPServerPool, StreamsOfConnectionsReuseThreadsAndLeaveNoMoreThanTheSpareBound) {
    constexpr int kSpares = 2;
    struct TStream {
        int Peers, Each, MostThreadsMade;
    };
    // The bounds are loose: a peer may connect again before the last thread is back, more
    // often on a busy machine, and a stream may stall longer than a surplus spare waits.
    // Without reuse every connection would make a thread; with surplus spares ended at once,
    // about every second connection of the concurrent stream does (and a thread made at each
    // rise of the number open starts behind every runnable one: the slowest answers of such a
    // stream).
    for (TStream stream : {TStream{1, 10000, 1000}, TStream{8, 250, 16}}) {
        TOneByteEchoServer server;
        server.MaxSpareThreads = kSpares;
        std::atomic<int> threadsMade{0};
        EchoCountingThreads(server, threadsMade);
        int before = BaselineTaskCount();
        server.SetActive(true);
        EXPECT_EQ(SequentialEchoes(server.Port(), stream.Each, stream.Peers),
                  stream.Peers * stream.Each);
        EXPECT_LE(threadsMade.load(), stream.MostThreadsMade) << stream.Peers << " peers";
        ASSERT_TRUE(RunLoopPolling(
            [&] { return server.ClientCount() == 0 && server.ClientThreadCount() <= kSpares; }));
        EXPECT_TRUE(TasksSettleTo(before + kSpares));
        EXPECT_GE(server.SpareThreadCount(), 1u);
        server.SetActive(false);
        EXPECT_EQ(server.ClientThreadCount(), 0u);
        EXPECT_TRUE(TasksSettleTo(before));
    }
}

TEST(TCPServerPool, SparesEndAfterTheirIdleTime) {
    constexpr int kIdleMs = 300;
    TOneByteEchoServer server;
    server.SpareThreadIdleMs = kIdleMs;
    server.OnClientExecute = EchoOneByteAndStay;
    int before = BaselineTaskCount();
    server.SetActive(true);
    THeldPeers peers(server.Port(), 3);
    ASSERT_EQ(peers.Handles.size(), 3u);
    // Each spare begins waiting after its connection has ended, that is after this point.
    int64_t closedAt = MonotonicMillis();
    peers.Close();
    // The three that served wait (beside the one made as the last one was taken, whose idle
    // time began before the close).
    // Polled: a connection without end events sends the main thread nothing.
    ASSERT_TRUE(RunLoopPolling([&] { return server.SpareThreadCount() >= 3; }));
    ASSERT_TRUE(RunLoopPolling([&] { return server.SpareThreadCount() < 3; }));
    EXPECT_GE(MonotonicMillis() - closedAt, kIdleMs);
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientThreadCount() == 0; }, 5000));
    EXPECT_TRUE(TasksSettleTo(before));
    // A connection after that gets a new thread.
    EXPECT_EQ(SequentialEchoes(server.Port(), 1), 1);
}

TEST(TCPServerPool, ABurstOfMoreClientsThanSparesIsServedAndSettlesBackToTheBound) {
    constexpr int kSpares = 4;
    constexpr int kBurst = 24;
    TTCPServerClient* heldClient = nullptr;
    TOneByteEchoServer server;
    server.MaxSpareThreads = kSpares;
    server.OnClientExecute = EchoOneByteAndStay;
    int before = BaselineTaskCount();
    server.SetActive(true);
    for (int round = 0; round < 2; ++round) {
        THeldPeers peers(server.Port(), kBurst);
        ASSERT_EQ(peers.Handles.size(), static_cast<size_t>(kBurst)) << round;
        EXPECT_EQ(server.ClientCount(), static_cast<size_t>(kBurst));
        // One thread per held connection and the one that waits to accept.
        EXPECT_EQ(server.ClientThreadCount(), static_cast<size_t>(kBurst + 1));
        peers.Close();
        ASSERT_TRUE(RunLoopPolling([&] {
            return server.ClientCount() == 0 && server.ClientThreadCount() == kSpares;
        })) << round;
        EXPECT_EQ(server.SpareThreadCount(), static_cast<size_t>(kSpares));
        EXPECT_TRUE(TasksSettleTo(before + kSpares));
        EXPECT_EQ(TaskCount() - before, kSpares);
    }
    // Deactivation ends the spares and a running client alike.
    THeldPeers one(server.Port(), 1);
    ASSERT_EQ(server.ClientCount(), 1u);
    heldClient = server.Client(0);
    EXPECT_NE(heldClient->Thread(), nullptr);
    server.SetActive(false);
    EXPECT_EQ(server.ClientCount(), 0u);
    EXPECT_EQ(server.ClientThreadCount(), 0u);
    EXPECT_EQ(server.SpareThreadCount(), 0u);
    EXPECT_TRUE(TasksSettleTo(before));
}

// The main thread serves nothing while a connection ends: a client thread that handed the
// close event (or anything else) over and waited would never close the connection nor come
// back as a spare. The events follow on the done message, in order.
TEST(TCPServerPool, TheEndOfAConnectionDoesNotWaitForTheMainThread) {
    class TServer : public TOneByteEchoServer {
    public:
        std::string Events; // main thread only
    protected:
        void ClientFinished(TTCPServerClient*) override { Events += "f"; }
    } server;
    server.OnClientClose = [&](TTCPServerClient* client) {
        server.Events += "c";
        EXPECT_EQ(client->TotalBytes(), 2); // the socket is gone, its count kept
    };
    server.OnClientRemove = [&](TTCPServerClient*) { server.Events += "r"; };
    server.SetActive(true);
    TSocketHandle h = ConnectBlocking(server.Port());
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    // Entered by the accepting thread (no add event is assigned to tell the main loop).
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 1; }));
    // From here until the spare check the main loop is not run.
    EXPECT_TRUE(SendAll(h, "e"));
    EXPECT_EQ(RecvWithin(h, 1), "e");
    EXPECT_EQ(RecvWithin(h, 1), ""); // closed by the client thread alone
    // Back in the pool beside the thread made to wait as it accepted.
    int64_t deadline = MonotonicMillis() + 10000;
    while (server.SpareThreadCount() < 2 && MonotonicMillis() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(server.SpareThreadCount(), 2u);
    EXPECT_EQ(server.Events, "");
    SocketClose(h);
    ASSERT_TRUE(RunLoopUntil([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(server.Events, "cfr");
    server.SetActive(false);
}

// The main thread is held inside OnClientAdd until the client's Execute has run: a client
// thread that waited for the main thread before Execute would never get there.
TEST(TCPServerPool, EveryAnnouncedClientIsClosedOnceAndARaisingHookKeepsNoSlot) {
    // A close hook that raises once: the client is freed all the same, so with room for one
    // client the next connection is served.
    {
        TOneByteEchoServer server;
        server.MaxClients = 1;
        int raised = 0;
        server.OnClientClose = [&](TTCPServerClient*) {
            if (raised++ == 0)
                throw std::runtime_error("hook failed");
        };
        server.SetActive(true);
        EXPECT_EQ(SequentialEchoes(server.Port(), 1), 1);
        ASSERT_TRUE(RunLoopPolling([&] { return raised == 1; }));
        ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }))
            << "the client of the raising hook keeps its slot";
        EXPECT_EQ(SequentialEchoes(server.Port(), 1), 1);
        server.SetActive(false);
    }
    // A connection that ended with its done message still queued as the server stops: its
    // announced add is matched by a close.
    TOneByteEchoServer server;
    int adds = 0, closes = 0;
    server.OnClientAdd = [&](TTCPServerClient*) { ++adds; };
    server.OnClientClose = [&](TTCPServerClient*) { ++closes; };
    server.SetActive(true);
    TSocketHandle h = ConnectBlocking(server.Port());
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    ASSERT_TRUE(RunLoopUntil([&] { return adds == 1; }));
    ASSERT_TRUE(SendAll(h, "e"));
    ASSERT_EQ(RecvWithin(h, 1), "e");
    ASSERT_EQ(RecvWithin(h, 1), ""); // the connection has ended
    // Not serving the loop now: the done message must stay queued until the server stops.
    int64_t deadline = MonotonicMillis() + 5000;
    while (server.SpareThreadCount() < 2 && MonotonicMillis() < deadline)
        std::this_thread::yield();
    server.SetActive(false);
    SocketClose(h);
    EXPECT_EQ(adds, 1);
    EXPECT_EQ(closes, 1);
}

TEST(TCPServerPool, ExecuteDoesNotWaitForTheMainThreadAndEventsKeepTheirOrder) {
    TOneByteEchoServer server;
    std::atomic<int> executed{0};
    server.OnClientExecute = [&](TTCPServerClient* client) {
        ++executed;
        TSocketStream& s = *client->GetStream();
        s.Writer().WriteByte(s.Reader().ReadByte());
    };
    std::map<uint64_t, std::string> events; // main thread only
    int addsBeforeExecute = 0;
    bool stuck = false; // a wait failed: the rest only records
    server.OnClientAdd = [&](TTCPServerClient* client) {
        int64_t deadline = MonotonicMillis() + 3000;
        while (!stuck && executed.load() <= addsBeforeExecute &&
               !(stuck = MonotonicMillis() > deadline))
            std::this_thread::yield();
        addsBeforeExecute += executed.load() > addsBeforeExecute;
        events[client->Id()] += "a";
    };
    server.OnClientClose = [&](TTCPServerClient* client) { events[client->Id()] += "c"; };
    server.OnClientRemove = [&](TTCPServerClient* client) { events[client->Id()] += "r"; };
    server.SetActive(true);
    // One after another: the first gets a new thread, the others the spare.
    constexpr int kConnections = 50;
    EXPECT_EQ(SequentialEchoes(server.Port(), kConnections), kConnections);
    ASSERT_TRUE(
        RunLoopUntil([&] { return events.size() == kConnections && server.ClientCount() == 0; }));
    EXPECT_EQ(addsBeforeExecute, kConnections);
    for (auto& [id, sequence] : events)
        EXPECT_EQ(sequence, "acr") << id;
}

// A connection relayed through an up-stream SOCKS5 proxy with login, the deepest path a
// connection of the services takes, on a client thread's own stack.
TEST(TCPServerPool, TheDeepestConnectionPathRunsOnTheClientThreadStack) {
    TMicrosocks upstream("deep", "secret");
    ASSERT_TRUE(upstream.Running());
    TEchoServer echo;
    TOneByteEchoServer server;
    std::atomic<size_t> stackSize{0};
    std::atomic<int64_t> relayed{-1};
    server.OnClientExecute = [&](TTCPServerClient* client) {
        pthread_attr_t attr;
        if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
            size_t size = 0;
            ::pthread_attr_getstacksize(&attr, &size);
            stackSize = size;
            ::pthread_attr_destroy(&attr);
        }
        TOutboundOptions options;
        options.TimeOut = 10000;
        TOutboundConnection dest = OpenOutbound(
            {"127.0.0.1", echo.PortStr(),
             TProxyServerInfo{true, "127.0.0.1", upstream.PortStr(), true, "deep", "secret"},
             {}},
            options);
        relayed = RelayStreams(client->GetStream(), dest.Stream.get(), 65536);
        dest.Stream->Close();
    };
    server.SetActive(true);
    const std::string data = Pattern(100000);
    std::atomic<bool> done{false};
    std::string answer;
    std::thread peer([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        if (h != INVALID_SOCKETHANDLE) {
            SendAll(h, data);
            answer = RecvWithin(h, data.size(), 20000);
            SocketClose(h);
        }
        done = true;
        WakeMain();
    });
    bool finished = RunLoopUntil([&] { return done.load(); }, 30000);
    peer.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(answer == data);
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }, 20000));
    EXPECT_GE(relayed, static_cast<int64_t>(2 * data.size()));
    EXPECT_GE(stackSize, kClientThreadStackSize);
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer enlarges every thread's stack by its own per-thread data.
    EXPECT_LT(stackSize, kClientThreadStackSize + 65536);
#endif
}

// Once a thread waits, connections are accepted, refused, served and (with no end event to
// fire) freed by the pool alone: the main thread runs nothing meanwhile.
TEST(TCPServerPool, APoolThreadAcceptsAdmitsServesAndFreesWhileTheMainThreadServesNothing) {
    TClientAdmission gate;
    gate.SetAllowed(TAllowedClients::Parse("127.0.0.1/32"));
    TOneByteEchoServer server;
    server.Admission = &gate;
    server.SetActive(true);
    EXPECT_EQ(SequentialEchoes(server.Port(), 1), 1); // the main thread made the first thread
    // From here the main loop is not run.
    for (int i = 0; i < 20; ++i) {
        TSocketHandle h = ConnectBlocking(server.Port());
        ASSERT_NE(h, INVALID_SOCKETHANDLE);
        EXPECT_TRUE(SendAll(h, "e"));
        EXPECT_EQ(RecvWithin(h, 1, 5000), "e") << i;
        SocketClose(h);
    }
    // Refused where it is accepted: closed without a byte.
    TSocketHandle other = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    ASSERT_EQ(SocketBind(other, TSocketAddr::IP4(htonl(0x7F000002), 0)), 0);
    ASSERT_EQ(SocketConnect(other, TSocketAddr::IP4(htonl(0x7F000001), server.Port())), 0);
    EXPECT_EQ(RecvWithin(other, 1, 5000), "");
    SocketClose(other);
    EXPECT_EQ(gate.RefusedCount(), 1u);
    // With no end event to fire, each thread freed its own client.
    int64_t deadline = MonotonicMillis() + 5000;
    while (server.ClientCount() != 0 && MonotonicMillis() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(server.ClientCount(), 0u);
    EXPECT_EQ(server.ClientTotal(), 21u);
    server.SetActive(false);
}

// A pool thread that runs out of descriptors accepting pauses without holding the pool's lock:
// the rest of the process (here a thread asking how many threads the pool has) goes on
// meanwhile, and stopping the server ends the pause.
TEST(TCPServerPool, AThreadPausedForWantOfDescriptorsHoldsNoLockMeanwhile) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker opens a pipe to look at an object's type the first time
    // it meets it: without a descriptor it reports valid objects as invalid.
    GTEST_SKIP() << "needs descriptors the sanitizer takes";
#endif
    TOneByteEchoServer server;
    std::atomic<bool> paused{false};
    server.OnLog = [&](ATCPServer*, int, const std::string& msg) {
        paused = paused || msg.rfind("Accept paused", 0) == 0;
    };
    server.AcceptRetryDelayMs = 600000; // outlasts the test: only the stop ends it
    server.SetActive(true);
    EXPECT_EQ(SequentialEchoes(server.Port(), 1), 1); // a pool thread waits for the next
    // Its connection closed: no descriptor frees under the limit below (the next connection
    // would be accepted on it).
    ASSERT_TRUE(RunLoopPolling(
        [&] { return server.ClientCount() == 0 && server.SpareThreadCount() >= 1; }));
    TSocketHandle c = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    {
        TDescriptorLimit limit;
        ASSERT_EQ(SocketConnect(c, TSocketAddr::IP4(Loopback(), server.Port())), 0);
        ASSERT_TRUE(RunLoopUntil([&] { return paused.load(); }));
    }
    std::atomic<bool> answered{false};
    std::thread asker([&] {
        (void)server.ClientThreadCount();
        answered = true;
        WakeMain();
    });
    EXPECT_TRUE(RunLoopUntil([&] { return answered.load(); }, 10000));
    server.SetActive(false);
    asker.join();
    EXPECT_EQ(server.ClientTotal(), 1u);
    SocketClose(c);
}

// At MaxClients every connection held back is reported, one after another: each report makes
// room (the oldest connection is ended, as the HTTP proxy closes an idle one), until every
// peer of a burst is in. The thread that takes a freed slot is held while another finds the
// limit reached counting its reservation; that one must look again once the reservation is
// given back, or the rest of the burst waits with nothing reported.
TEST(TCPServerPool, EveryConnectionHeldBackAtTheLimitIsReportedUntilABurstIsIn) {
    constexpr int kMax = 2, kBurst = 4;
    constexpr int kGateMs = 10000; // a bound only: the other thread comes at once
    class TServer : public TOneByteEchoServer {
    public:
        std::atomic<int> Made{0}, Reports{0};
        std::mutex IdleLock; // guards Idle and Owed; a leaf
        std::deque<TTCPServerClient*> Idle; // echoed, oldest first; each leaves it as it ends
        int Owed = 0; // reports that found none idle yet: the next to echo makes the room
        void ClientLimitReached() override {
            ++Reports;
            std::lock_guard<std::mutex> lock(IdleLock);
            ++Owed;
            EndOwedLocked();
        }
        void EndOwedLocked() {
            for (; Owed > 0 && !Idle.empty(); --Owed) {
                Idle.front()->Terminate();
                Idle.pop_front();
            }
        }
        std::unique_ptr<TTCPServerClient> CreateClient() override {
            // Runs with the slot reserved. Past the held ones and but for the burst's last,
            // others of the burst still wait, and a thread finds the limit reached meanwhile.
            int made = ++Made;
            int64_t until = MonotonicMillis() + kGateMs;
            if (made > kMax && made < kMax + kBurst)
                while (SlotWaiterCount() == 0 && MonotonicMillis() < until)
                    std::this_thread::yield();
            return TOneByteEchoServer::CreateClient();
        }
    } server;
    server.MaxClients = kMax;
    server.OnClientExecute = [&server](TTCPServerClient* client) {
        TSocketStream& s = *client->GetStream();
        s.Writer().WriteByte(s.Reader().ReadByte());
        {
            std::lock_guard<std::mutex> lock(server.IdleLock);
            server.Idle.push_back(client);
            server.EndOwedLocked();
        }
        try {
            s.Reader().ReadByte();
        } catch (const std::exception&) {
        }
        std::lock_guard<std::mutex> lock(server.IdleLock);
        std::erase(server.Idle, client);
    };
    server.SetActive(true);
    THeldPeers held(server.Port(), kMax);
    ASSERT_EQ(held.Handles.size(), static_cast<size_t>(kMax));
    std::atomic<int> echoed{0}, done{0};
    std::vector<TSocketHandle> burst(kBurst, INVALID_SOCKETHANDLE);
    std::vector<std::thread> peers;
    for (int i = 0; i < kBurst; ++i)
        peers.emplace_back([&, i] {
            burst[i] = ConnectBlocking(server.Port());
            if (burst[i] != INVALID_SOCKETHANDLE && SendAll(burst[i], "b") &&
                RecvWithin(burst[i], 1, kGateMs) == "b")
                ++echoed;
            ++done;
            WakeMain();
        });
    RunLoopUntil([&] { return done.load() == kBurst; }, 3 * kGateMs);
    for (std::thread& t : peers)
        t.join();
    EXPECT_EQ(echoed.load(), kBurst);
    EXPECT_EQ(server.Reports.load(), kBurst);
    EXPECT_LE(server.ClientCount(), static_cast<size_t>(kMax));
    for (TSocketHandle h : burst)
        if (h != INVALID_SOCKETHANDLE)
            SocketClose(h);
    server.SetActive(false);
}

// Many peers at once against a small MaxClients: the accepting thread never lets more in,
// every peer is served in the end, and deactivation ends a thread that waits for a slot.
TEST(TCPServerPool, MaxClientsHoldsUnderABurstAndDeactivationEndsAThreadWaitingForASlot) {
    constexpr int kMax = 3;
    TOneByteEchoServer server;
    server.MaxClients = kMax;
    std::atomic<int> running{0}, most{0};
    std::atomic<bool> stay{false};
    server.OnClientExecute = [&](TTCPServerClient* client) {
        if (stay)
            return EchoOneByteAndStay(client);
        int now = ++running;
        for (int m = most.load(); now > m && !most.compare_exchange_weak(m, now);)
            ;
        TSocketStream& s = *client->GetStream();
        s.Writer().WriteByte(s.Reader().ReadByte());
        --running;
    };
    size_t mostListed = 0;
    server.OnClientAdd = [&](TTCPServerClient*) {
        mostListed = std::max(mostListed, server.ClientCount());
    };
    server.SetActive(true);
    constexpr int kPeers = 12, kEach = 15;
    EXPECT_EQ(SequentialEchoes(server.Port(), kEach, kPeers), kPeers * kEach);
    EXPECT_LE(most.load(), kMax);
    EXPECT_LE(mostListed, static_cast<size_t>(kMax));

    // kMax connections held, one more waiting in the backlog: a thread waits for a slot.
    stay = true;
    THeldPeers held(server.Port(), kMax);
    ASSERT_EQ(held.Handles.size(), static_cast<size_t>(kMax));
    TSocketHandle waiting = ConnectBlocking(server.Port());
    ASSERT_NE(waiting, INVALID_SOCKETHANDLE);
    ASSERT_TRUE(RunLoopUntil([&] { return server.AcceptPending(); }));
    server.SetActive(false);
    EXPECT_EQ(server.ClientThreadCount(), 0u);
    EXPECT_EQ(server.SpareThreadCount(), 0u);
    EXPECT_EQ(RecvWithin(waiting, 1, 5000), ""); // closed with the listening socket
    SocketClose(waiting);
}
