#pragma once
// Two accepted loopback connections owned by a relay thread, for tests of the two-way relay:
// the thread wraps both in blocking streams and runs the test's body on them (which usually
// prepares the sockets and calls RelayStreams); the test thread plays both peers.

#include "net/TCPStream.h"
#include "support/NetTestSupport.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace corvan::test {

template <class TResult>
struct TRelayHarness {
    TSocketHandle PeerA = INVALID_SOCKETHANDLE, PeerB = INVALID_SOCKETHANDLE;
    std::atomic<ATCPClientSocket*> SocketA{nullptr}, SocketB{nullptr};
    std::promise<TResult> Result;
    std::thread Thread;
    int Timeout = 30000;        // of both streams; also the half-closed relay's idle limit
    int PeerReceiveTimeout = 60; // seconds a peer's blocking receive may wait

    void Start(std::function<TResult(TSocketStream& a, TSocketStream& b)> body) {
        auto [serverA, peerA] = ConnectedPair();
        auto [serverB, peerB] = ConnectedPair();
        PeerA = peerA;
        PeerB = peerB;
        SetReceiveTimeout(PeerA, PeerReceiveTimeout);
        SetReceiveTimeout(PeerB, PeerReceiveTimeout);
        Thread = StartThread([this, body, a = serverA, b = serverB] {
            try {
                auto* sa = new ATCPClientSocket(a);
                auto* sb = new ATCPClientSocket(b);
                TSocketStream streamA(sa, -1, Timeout, smBlockWaitMessage, true);
                TSocketStream streamB(sb, -1, Timeout, smBlockWaitMessage, true);
                SocketA = sa;
                SocketB = sb;
                TResult r = body(streamA, streamB);
                streamA.Close();
                streamB.Close();
                SocketA = nullptr;
                SocketB = nullptr;
                Result.set_value(std::move(r));
            } catch (...) {
                SocketA = nullptr;
                SocketB = nullptr;
                Result.set_exception(std::current_exception());
            }
        });
    }
    // Waits for the body to end and answers true with its result in out; a relay that does
    // not end in time is terminated from here (so the test ends) and false is answered.
    bool Finish(int seconds, TResult* out = nullptr) {
        auto result = Result.get_future();
        bool ended = result.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
        if (!ended) {
            if (ATCPClientSocket* s = SocketA.load())
                s->Terminate();
            if (ATCPClientSocket* s = SocketB.load())
                s->Terminate();
            SocketShutdown(PeerA, TShutdownHow::sdBoth);
            SocketShutdown(PeerB, TShutdownHow::sdBoth);
        }
        Thread.join();
        if (ended) {
            TResult r = result.get();
            if (out)
                *out = std::move(r);
        }
        return ended;
    }
    ~TRelayHarness() {
        if (Thread.joinable())
            Finish(1);
        SocketClose(PeerA);
        SocketClose(PeerB);
    }
};

} // namespace corvan::test
