// Tunnels on the shared relay loops: what a tunnel brings from its negotiation goes first, bulk
// moves both ways with half-close carried, and a tunnel ends on its peers, on Terminate from
// any thread and at its idle limit, always through its end hook and with its descriptors closed.
// A tunnel relayed briefly on its handing thread ends there when its exchange is over, and goes
// to a loop otherwise, which then carries it as if it had had it from the start.
#include "net/RelayLoop.h"
#include "net/TCPStream.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

using namespace corvan;
using namespace corvan::test;

namespace {

// A tunnel between two loopback connections: the test holds PeerA and PeerB, the relay the
// other ends.
struct TTunnelRun {
    TSocketHandle PeerA = INVALID_SOCKETHANDLE, PeerB = INVALID_SOCKETHANDLE;
    TRelayEnd A, B;
    std::shared_ptr<TRelayTunnel> Tunnel;
    // Shared with the hook, which may outlive a run whose wait timed out.
    std::shared_ptr<std::promise<TRelayTotals>> Ended =
        std::make_shared<std::promise<TRelayTotals>>();
    std::future<TRelayTotals> EndedFuture = Ended->get_future();
    TRelayTotals Totals;

    TTunnelRun() {
        auto [relayA, peerA] = ConnectedPair();
        auto [relayB, peerB] = ConnectedPair();
        PeerA = peerA;
        PeerB = peerB;
        SetSocketBlocking(relayA, false);
        SetSocketBlocking(relayB, false);
        SetReceiveTimeout(PeerA);
        SetReceiveTimeout(PeerB);
        A.Handle = relayA;
        B.Handle = relayB;
    }
    ~TTunnelRun() {
        if (Tunnel)
            Tunnel->Terminate();
        if (Tunnel && EndedFuture.valid())
            (void)EndedFuture.wait_for(std::chrono::seconds(10));
        SocketClose(PeerA);
        SocketClose(PeerB);
    }
    void Make(int bufferSize = 65536) {
        Tunnel = MakeRelayTunnel(std::move(A), std::move(B), bufferSize);
    }
    void Start(int bufferSize = 65536, bool terminateFirst = false) {
        if (!Tunnel)
            Make(bufferSize);
        if (terminateFirst)
            Tunnel->Terminate();
        StartRelay(Tunnel, [ended = Ended](const TRelayTotals& t) { ended->set_value(t); });
    }
    // The bytes passed on when the tunnel ended, or -1 when it did not end within seconds.
    int64_t WaitEnd(int seconds = 20) {
        if (EndedFuture.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready)
            return -1;
        Totals = EndedFuture.get();
        return Totals.Moved;
    }
};

// Holds every relay loop inside an end hook until released (or destroyed), so that what
// arrives meanwhile is told to the loops all at once.
class TLoopsHeld {
public:
    TLoopsHeld() {
        // Tunnels started in a row go to the loops in turn: one for each.
        for (size_t i = 0; i < RelayLoopCount(); ++i) {
            auto& run = *FRuns.emplace_back(std::make_unique<TTunnelRun>());
            run.Make();
            StartRelay(run.Tunnel, [this, ended = run.Ended](const TRelayTotals& t) {
                std::unique_lock lock(FLock);
                ++FInside;
                FChanged.notify_all();
                FChanged.wait(lock, [this] { return FReleased; });
                ended->set_value(t);
            });
            run.Tunnel->Terminate();
        }
    }
    ~TLoopsHeld() {
        Release();
        FRuns.clear(); // each waits for its hook
    }
    bool AllHeld() {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, std::chrono::seconds(20),
                                 [this] { return FInside == FRuns.size(); });
    }
    void Release() {
        std::lock_guard lock(FLock);
        FReleased = true;
        FChanged.notify_all();
    }

private:
    std::vector<std::unique_ptr<TTunnelRun>> FRuns;
    std::mutex FLock; // guards FInside and FReleased
    std::condition_variable FChanged;
    size_t FInside = 0;
    bool FReleased = false;
};

} // namespace

TEST(RelayLoop, CarriesBulkBothWaysWithHalfCloseAndCountsEveryByte) {
    TTunnelRun run;
    run.Start();
    const std::string up = Pattern(8 << 20), down = Pattern(5 << 20).substr(7) + "end";
    // A finishes its request first; B's answer must still go all the way back.
    std::thread senderA([&] {
        SendAll(run.PeerA, up);
        SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    });
    std::thread senderB([&] {
        SendAll(run.PeerB, down);
        SocketShutdown(run.PeerB, TShutdownHow::sdSend);
    });
    std::string atB = RecvAll(run.PeerB), atA = RecvAll(run.PeerA);
    senderA.join();
    senderB.join();
    EXPECT_TRUE(atB == up) << atB.size();
    EXPECT_TRUE(atA == down) << atA.size();
    EXPECT_EQ(run.WaitEnd(), int64_t(up.size() + down.size()));
    // Received from A and sent to A.
    EXPECT_EQ(run.Tunnel->EndBytes(0), int64_t(up.size() + down.size()));
    EXPECT_EQ(RelayTunnelCount(), 0u);
}

TEST(RelayLoop, WhatTheNegotiationLeftGoesFirstAndAnEndedSideEndsItsWay) {
    TTunnelRun run;
    run.A.Unsent = "reply to A;";
    run.A.Unread = "early from A;";
    run.B.Unread = "early from B;";
    // B's peer had ended its data before the hand-over: A reads the end after B's bytes.
    run.B.ReceiveEnded = true;
    SocketShutdown(run.PeerB, TShutdownHow::sdSend);
    run.Start();
    EXPECT_EQ(RecvAll(run.PeerA), "reply to A;early from B;");
    ASSERT_TRUE(SendAll(run.PeerA, "more from A"));
    EXPECT_EQ(RecvWithin(run.PeerB, 24), "early from A;more from A");
    SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    EXPECT_EQ(RecvAll(run.PeerB), "");
    // Only what was passed on counts as moved; what the negotiation left for A was sent too.
    EXPECT_EQ(run.WaitEnd(), int64_t(13 + 24));
    EXPECT_EQ(run.Totals.SentTo[0], 24);
    EXPECT_EQ(run.Totals.SentTo[1], 24);
}

TEST(RelayLoop, APeerThatResetsEndsTheTunnelAndTheOtherPeerSeesTheEnd) {
    TTunnelRun run;
    run.Start();
    ASSERT_TRUE(SendAll(run.PeerA, "ping"));
    ASSERT_EQ(RecvWithin(run.PeerB, 4), "ping");
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(run.PeerA, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    SocketClose(run.PeerA);
    run.PeerA = INVALID_SOCKETHANDLE;
    EXPECT_EQ(run.WaitEnd(), 4);
    EXPECT_EQ(RecvAll(run.PeerB), "");
}

TEST(RelayLoop, WhatArrivesWhileTheLoopIsBusyIsAllPassedOn) {
    // One notification tells the loop of all of it, and a read finds less than it asked for:
    // the end that came after the last bytes must still be read, and so must the bytes behind
    // an urgent mark, where a read stops (the urgent byte itself is not passed on), also on a
    // way that has carried bulk (moved inside the system, where a splice stops there too).
    enum { kEnd, kUrgent, kUrgentAfterBulk };
    for (int c : {kEnd, kUrgent, kUrgentAfterBulk}) {
        SCOPED_TRACE(c == kEnd ? "the last bytes and the end" : "bytes behind an urgent mark");
        bool urgent = c != kEnd;
        TTunnelRun run;
        run.Start();
        std::string first = c == kUrgentAfterBulk ? Pattern(4 << 20) : "x";
        std::thread sender([&] { SendAll(run.PeerA, first); });
        EXPECT_TRUE(RecvWithin(run.PeerB, first.size()) == first); // watched by its loop
        sender.join();
        TLoopsHeld held;
        ASSERT_TRUE(held.AllHeld());
        ASSERT_TRUE(SendAll(run.PeerA, "ab"));
        if (urgent) {
            ASSERT_EQ(::send(run.PeerA, "!", 1, MSG_OOB), 1);
            ASSERT_TRUE(SendAll(run.PeerA, "ABOR\r\n"));
        } else {
            SocketShutdown(run.PeerA, TShutdownHow::sdSend);
        }
        held.Release();
        if (urgent) {
            EXPECT_EQ(RecvWithin(run.PeerB, 8), "abABOR\r\n");
        } else {
            EXPECT_EQ(RecvWithin(run.PeerB, 2), "ab");
            char more;
            EXPECT_EQ(SocketRecv(run.PeerB, &more, 1), 0) << "the end was not passed on";
        }
        // The other way is still open.
        ASSERT_TRUE(SendAll(run.PeerB, "answer"));
        EXPECT_EQ(RecvWithin(run.PeerA, 6), "answer");
    }
}

TEST(RelayLoop, ADescriptorThatOutlivesItsTunnelDoesNotDisturbTheLoop) {
    // A process spawned at that moment may hold a copy of a tunnel's descriptor after the
    // loop closed it, and the system goes on telling the loop of it.
    TSocketHandle copy;
    {
        TTunnelRun first;
        copy = ::dup(first.A.Handle);
        ASSERT_GE(copy, 0);
        first.Start();
        ASSERT_TRUE(SendAll(first.PeerA, "x"));
        ASSERT_EQ(RecvWithin(first.PeerB, 1), "x");
        first.Tunnel->Terminate();
        ASSERT_GE(first.WaitEnd(), 0);
        first.Tunnel.reset(); // freed by its loop
        // Tunnels on every loop, one where the first was.
        std::vector<std::unique_ptr<TTunnelRun>> next;
        for (size_t i = 0; i < RelayLoopCount(); ++i)
            next.emplace_back(std::make_unique<TTunnelRun>())->Start();
        ASSERT_TRUE(SendAll(first.PeerA, "to nobody"));
        SocketShutdown(first.PeerA, TShutdownHow::sdSend);
        for (auto& run : next) {
            ASSERT_TRUE(SendAll(run->PeerA, "ping"));
            EXPECT_EQ(RecvWithin(run->PeerB, 4), "ping");
            ASSERT_TRUE(SendAll(run->PeerB, "pong"));
            EXPECT_EQ(RecvWithin(run->PeerA, 4), "pong");
        }
    }
    EXPECT_EQ(RecvWithin(copy, 9), "to nobody");
    SocketClose(copy);
}

TEST(RelayLoop, TerminateEndsATunnelFromAnyThreadStartedOrNot) {
    for (bool beforeStart : {false, true}) {
        SCOPED_TRACE(beforeStart ? "terminated before it started" : "terminated while open");
        TTunnelRun run;
        run.Start(65536, beforeStart);
        if (!beforeStart) {
            ASSERT_TRUE(SendAll(run.PeerA, "ping"));
            ASSERT_EQ(RecvWithin(run.PeerB, 4), "ping");
            std::thread([&] { run.Tunnel->Terminate(); }).join();
        }
        EXPECT_GE(run.WaitEnd(), 0);
        // Both descriptors are closed: the peers read the end.
        EXPECT_EQ(RecvAll(run.PeerA), "");
        EXPECT_EQ(RecvAll(run.PeerB), "");
    }
}

TEST(RelayLoop, ATunnelOnWhichNothingMovesEndsAtTheIdleLimit) {
    struct TLowered {
        TLowered() { SetRelayIdleLimitMs(200); }
        ~TLowered() { SetRelayIdleLimitMs(0); }
    } lowered;
    TTunnelRun run;
    run.Start();
    ASSERT_TRUE(SendAll(run.PeerB, "once"));
    EXPECT_EQ(RecvWithin(run.PeerA, 4), "once");
    EXPECT_EQ(run.WaitEnd(), 4);
    EXPECT_EQ(RecvAll(run.PeerA), "");
}

TEST(RelayLoop, AnExchangeOverDuringTheBriefRelayEndsOnTheHandingThread) {
    TTunnelRun run;
    // The request came with the negotiation; the answer and both ends are there already.
    run.A.Unread = "request";
    ASSERT_TRUE(SendAll(run.PeerB, "answer"));
    SocketShutdown(run.PeerB, TShutdownHow::sdSend);
    SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    run.Make();
    EXPECT_TRUE(RelayBriefly(run.Tunnel));
    std::thread::id hookThread;
    StartRelay(run.Tunnel, [&](const TRelayTotals& t) {
        hookThread = std::this_thread::get_id();
        run.Ended->set_value(t);
    });
    // Ended before StartRelay returned, here, with no loop involved.
    EXPECT_EQ(hookThread, std::this_thread::get_id());
    EXPECT_EQ(RelayTunnelCount(), 0u);
    EXPECT_EQ(run.WaitEnd(0), 13);
    EXPECT_EQ(RecvAll(run.PeerA), "answer");
    EXPECT_EQ(RecvAll(run.PeerB), "request");
}

TEST(RelayLoop, ATunnelThatOutlivesTheBriefRelayGoesToALoopAndCarriesHalfClose) {
    for (bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "quiet after an answer" : "nothing came");
        TTunnelRun run;
        if (answered) {
            ASSERT_TRUE(SendAll(run.PeerA, "ping"));
            ASSERT_TRUE(SendAll(run.PeerB, "pong"));
        }
        run.Make();
        EXPECT_FALSE(RelayBriefly(run.Tunnel));
        run.Start();
        if (answered) {
            EXPECT_EQ(RecvWithin(run.PeerB, 4), "ping");
            EXPECT_EQ(RecvWithin(run.PeerA, 4), "pong");
        }
        // A's end reaches B while B's way stays open, then B's ends too.
        SocketShutdown(run.PeerA, TShutdownHow::sdSend);
        EXPECT_EQ(RecvAll(run.PeerB), "");
        EXPECT_EQ(RelayTunnelCount(), 1u); // a loop shut that way down
        ASSERT_TRUE(SendAll(run.PeerB, "late"));
        SocketShutdown(run.PeerB, TShutdownHow::sdSend);
        EXPECT_EQ(RecvAll(run.PeerA), "late");
        EXPECT_EQ(run.WaitEnd(), answered ? 12 : 4);
    }
}
