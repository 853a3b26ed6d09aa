// Listening sockets served on the relay loops: a loop accepts, connects onward without waiting
// and carries the tunnel; a refused connect ends it with its error; a paused listener leaves
// connections in the backlog until resumed; unlisting returns only once no loop is inside the
// listener or will call it again, also while connections keep arriving.
#include "net/RelayLoop.h"
#include "net/SocketErrors.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

using namespace corvan;
using namespace corvan::test;

namespace {

// Takes every waiting connection and relays it to 127.0.0.1:DestPort, connected without
// waiting (the loop learns when the connect stands). DestPort 0: closes it at once instead.
class TForwardListener : public TRelayListener {
public:
    TForwardListener(TSocketHandle listening, uint16_t destPort)
        : TRelayListener(listening), FDestPort(destPort) {}
    void Readable(std::vector<TRelayAdoption>& adopt) override {
        EXPECT_FALSE(Unlisted.load()) << "called after it was unlisted";
        Inside = true;
        ++Calls;
        for (;;) {
            TSocketHandle accepted = SocketAccept(Handle(), nullptr, true);
            if (accepted == INVALID_SOCKETHANDLE)
                break;
            ++Accepted;
            if (FDestPort == 0) {
                SocketClose(accepted);
                continue;
            }
            TRelayEnd in, out;
            in.Handle = accepted;
            out.Handle = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP, true);
            out.Connecting = true;
            int r = SocketConnect(out.Handle, TSocketAddr::IP4(Loopback(), FDestPort));
            EXPECT_TRUE(r == 0 || SocketGetLastError() == WSAEWOULDBLOCK ||
                        SocketGetLastError() == WSAEINPROGRESS);
            adopt.push_back({MakeRelayTunnel(std::move(in), std::move(out), 0),
                             [this](const TRelayTotals& t) {
                                 std::lock_guard<std::mutex> lock(FLock);
                                 ConnectErrors.push_back(t.ConnectError);
                             }});
        }
        Inside = false;
    }
    std::vector<int> Ended() {
        std::lock_guard<std::mutex> lock(FLock);
        return ConnectErrors;
    }
    std::atomic<int> Calls{0}, Accepted{0};
    std::atomic<bool> Inside{false}, Unlisted{false};

private:
    uint16_t FDestPort;
    std::mutex FLock;
    std::vector<int> ConnectErrors; // one per ended tunnel
};

struct TListening {
    TTestListener Socket;
    TForwardListener Listener;
    explicit TListening(uint16_t destPort) : Listener(Socket.Handle, destPort) {
        SetSocketBlocking(Socket.Handle, false);
        EXPECT_TRUE(ListenOnRelayLoops(Listener));
    }
    ~TListening() {
        StopListeningOnRelayLoops(Listener);
        Listener.Unlisted = true;
    }
};

// Every loop has taken its mail (a listing comes and goes on each, waited for).
void LoopsTookTheirMail() {
    TTestListener other;
    TForwardListener probe(other.Handle, 0);
    ASSERT_TRUE(ListenOnRelayLoops(probe));
    StopListeningOnRelayLoops(probe);
}

bool ClosedWithoutAByte(TSocketHandle h) {
    char c;
    return RecvWithin(h, 1).empty() && SocketRecv(h, &c, 1) <= 0;
}

template <typename F> bool Eventually(F done) {
    int64_t until = MonotonicMillis() + 10000;
    while (!done()) {
        if (MonotonicMillis() > until)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace

TEST(RelayListener, ALoopAcceptsConnectsOnwardAndCarriesTheTunnelARefusedConnectEndsIt) {
    TTestListener dest;
    {
        TListening l(dest.Port);
        for (int i = 0; i < 3; ++i) {
            TSocketHandle c = ConnectBlocking(l.Socket.Port);
            TSocketHandle d = dest.Accept();
            std::string word = "ping" + std::to_string(i);
            EXPECT_TRUE(SendAll(c, word));
            EXPECT_EQ(RecvWithin(d, word.size()), word);
            EXPECT_TRUE(SendAll(d, "pong"));
            EXPECT_EQ(RecvWithin(c, 4), "pong");
            SocketClose(c);
            EXPECT_TRUE(ClosedWithoutAByte(d));
            SocketClose(d);
        }
        EXPECT_TRUE(Eventually([&] { return l.Listener.Ended().size() == 3; }));
        EXPECT_EQ(l.Listener.Ended(), std::vector<int>(3, 0));
    }
    TListening refused(FreeLoopbackPort()); // nobody listens there
    TSocketHandle c = ConnectBlocking(refused.Socket.Port);
    (void)SendAll(c, "lost"); // read by the relay or refused: never answered
    EXPECT_TRUE(ClosedWithoutAByte(c));
    SocketClose(c);
    EXPECT_TRUE(Eventually([&] { return refused.Listener.Ended().size() == 1; }));
    EXPECT_EQ(refused.Listener.Ended(), std::vector<int>{WSAECONNREFUSED});
}

TEST(RelayListener, APausedListenerLeavesConnectionsInTheBacklogUntilResumed) {
    TTestListener dest;
    TListening l(dest.Port);
    WatchRelayListener(l.Listener, false);
    LoopsTookTheirMail();
    TSocketHandle c = ConnectBlocking(l.Socket.Port);
    pollfd waiting{l.Socket.Handle, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 10000), 1);
    LoopsTookTheirMail(); // a loop still watching would have taken it by now
    EXPECT_EQ(l.Listener.Accepted, 0);
    WatchRelayListener(l.Listener, true);
    TSocketHandle d = dest.Accept();
    EXPECT_EQ(l.Listener.Accepted, 1);
    EXPECT_TRUE(SendAll(c, "held"));
    EXPECT_EQ(RecvWithin(d, 4), "held");
    SocketClose(c);
    SocketClose(d);
    // Its end hook runs before the listener goes.
    EXPECT_TRUE(Eventually([&] { return l.Listener.Ended().size() == 1; }));
}

TEST(RelayListener, UnlistingWhileConnectionsArriveReturnsWithNoLoopInsideOrCallingLater) {
    // Connections the producer leaves waiting unaccepted at most, and those made after the
    // unlisting: together well under TTestListener's backlog (16), so no connect here ever
    // waits on a full queue (it would retry its SYN for minutes once nobody accepts).
    constexpr int MaxWaiting = 4;
    constexpr int MadeAfter = 4;
    TTestListener socket;
    SetSocketBlocking(socket.Handle, false);
    TForwardListener listener(socket.Handle, 0);
    ASSERT_TRUE(ListenOnRelayLoops(listener));
    std::atomic<int> connected{0};
    std::atomic<bool> stop{false};
    std::thread arrivals([&] {
        while (!stop) {
            if (connected - listener.Accepted >= MaxWaiting) {
                std::this_thread::yield();
                continue;
            }
            TSocketHandle c = ConnectBlocking(socket.Port);
            EXPECT_NE(c, INVALID_SOCKETHANDLE);
            if (c == INVALID_SOCKETHANDLE)
                break;
            SocketClose(c);
            ++connected;
        }
    });
    EXPECT_TRUE(Eventually([&] { return listener.Accepted >= 5; }));
    StopListeningOnRelayLoops(listener);
    listener.Unlisted = true;
    EXPECT_FALSE(listener.Inside);
    int calls = listener.Calls;
    int accepted = listener.Accepted;
    stop = true;
    arrivals.join();
    for (int i = 0; i < MadeAfter; ++i) {
        TSocketHandle c = ConnectBlocking(socket.Port);
        ASSERT_NE(c, INVALID_SOCKETHANDLE);
        SocketClose(c);
        ++connected;
    }
    pollfd waiting{socket.Handle, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 10000), 1);
    LoopsTookTheirMail(); // a loop still watching would have been called by now
    EXPECT_EQ(listener.Calls, calls);
    EXPECT_EQ(listener.Accepted, accepted);
    // Every connection no loop took is still waiting here, for this thread to take.
    int left = connected - accepted, taken = 0;
    while (taken < left && ::poll(&waiting, 1, 10000) == 1) {
        TSocketHandle c = SocketAccept(socket.Handle, nullptr);
        if (c == INVALID_SOCKETHANDLE)
            break;
        SocketClose(c);
        ++taken;
    }
    EXPECT_EQ(taken, left);
    EXPECT_EQ(SocketAccept(socket.Handle, nullptr), INVALID_SOCKETHANDLE);
}
