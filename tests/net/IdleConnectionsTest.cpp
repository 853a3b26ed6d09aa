// The idle connection pool: its bounds close the oldest first, an entry past its idle time
// or that its peer closed or wrote to is closed and never handed out, and what it closes the
// peer sees end (not reset).
#include "net/IdleConnections.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <map>

using namespace corvan;
using namespace corvan::test;

namespace {

// Connections whose far ends the test keeps, to see what the pool did with the near ends.
class TPeers {
public:
    ~TPeers() {
        for (auto& [near, far] : FFar)
            SocketClose(far);
    }
    // A new connection: the pool gets the near end.
    TIdleConnection Open() {
        auto [far, near] = ConnectedPair();
        SetReceiveTimeout(far, 5);
        FFar[near] = far;
        return {near, false};
    }
    TSocketHandle Far(const TIdleConnection& c) { return FFar.at(c.Handle); }
    // Whether the far end reads the end of the stream: the pool closed the near end.
    bool Ended(const TIdleConnection& c) {
        char byte;
        return SocketRecv(Far(c), &byte, 1) == 0;
    }

private:
    std::map<TSocketHandle, TSocketHandle> FFar;
};

} // namespace

TEST(IdleConnections, BoundsCloseTheOldestFirstAndTheNewestIsTakenFirst) {
    TPeers peers;
    TIdleConnections pool(TIdleLimits{2, 3, 30000});
    TIdleConnection a1 = peers.Open(), a2 = peers.Open(), a3 = peers.Open();
    pool.Put("a", a1);
    pool.Put("a", a2);
    pool.Put("a", a3); // a1 goes: two per key
    EXPECT_TRUE(peers.Ended(a1));
    TIdleConnection b1 = peers.Open(), b2 = peers.Open();
    pool.Put("b", b1);
    pool.Put("b", b2); // a2 goes: three in all
    EXPECT_TRUE(peers.Ended(a2));
    EXPECT_EQ(pool.Count(), 3u);

    EXPECT_EQ(pool.Take("a").Handle, a3.Handle);
    EXPECT_FALSE(pool.Take("a"));
    EXPECT_EQ(pool.Take("b").Handle, b2.Handle);
    EXPECT_EQ(pool.Count(), 1u);
    pool.Clear();
    EXPECT_TRUE(peers.Ended(b1));
    SocketClose(a3.Handle);
    SocketClose(b2.Handle);
}

TEST(IdleConnections, AnEntryIdleTooLongIsClosedAtTheNextTakeOrPut) {
    TPeers peers;
    int64_t now = 1000;
    TIdleConnections pool(TIdleLimits{8, 256, 500}, [&now] { return now; });
    TIdleConnection old = peers.Open(), fresh = peers.Open();
    pool.Put("k", old);
    now += 400;
    pool.Put("k", fresh);
    now += 101; // old is idle for 501 ms, fresh for 101
    EXPECT_EQ(pool.Take("k").Handle, fresh.Handle);
    EXPECT_EQ(pool.Count(), 0u) << "the expired one goes as the pool is used";
    EXPECT_TRUE(peers.Ended(old));
    // A put closes expired entries too, of any key.
    TIdleConnection other = peers.Open();
    pool.Put("x", other);
    now += 501;
    pool.Put("k", fresh);
    EXPECT_TRUE(peers.Ended(other));
    EXPECT_EQ(pool.Count(), 1u);
    // One idle since earlier (held elsewhere first) expires by that time, not the put's.
    TIdleConnection held = peers.Open();
    pool.Put("h", held, now - 450);
    now += 60;
    EXPECT_FALSE(pool.Take("h"));
    EXPECT_TRUE(peers.Ended(held));
    EXPECT_EQ(pool.Take("k").Handle, fresh.Handle);
    SocketClose(fresh.Handle);
}

TEST(IdleConnections, AConnectionItsPeerClosedOrWroteToIsNeverHandedOut) {
    TPeers peers;
    TIdleConnections pool;
    TIdleConnection quiet = peers.Open(), written = peers.Open(), closed = peers.Open(),
                    halfClosed = peers.Open();
    pool.Put("k", quiet);
    pool.Put("k", written);
    pool.Put("k", closed);
    pool.Put("k", halfClosed);
    ASSERT_TRUE(SendAll(peers.Far(written), "x"));
    SocketShutdown(peers.Far(closed), TShutdownHow::sdBoth);
    SocketShutdown(peers.Far(halfClosed), TShutdownHow::sdSend);
    // Taken newest first: the three put after it are each found unusable and closed.
    EXPECT_EQ(pool.Take("k").Handle, quiet.Handle);
    EXPECT_EQ(pool.Count(), 0u);
    EXPECT_TRUE(peers.Ended(halfClosed));
    EXPECT_FALSE(pool.Take("k"));
    SocketClose(quiet.Handle);
}
