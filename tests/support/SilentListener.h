#pragma once
// A dependable silent address on loopback, for tests of connection attempts that get no
// answer (a blackhole route fails at once instead).

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

namespace corvan::test {

// A listener at addr that completes no more handshakes: its queue (listen backlog 0) holds
// one connection nobody accepts, so the system leaves further connection requests unanswered.
struct TSilentListener {
    TSocketHandle Listener = INVALID_SOCKETHANDLE;
    TSocketHandle Filler = INVALID_SOCKETHANDLE;
    explicit TSilentListener(const TSocketAddr& addr) {
        Listener = AllocateSocketHandle(addr.AddrFamily, TIPProtocol::ipTCP);
        SocketSetReuseAddress(Listener, true);
        EXPECT_EQ(SocketBind(Listener, addr), 0);
        EXPECT_EQ(::listen(Listener, 0), 0); // SocketListen would raise the queue
        Filler = ConnectTo(addr);
    }
    ~TSilentListener() {
        SocketClose(Filler);
        SocketClose(Listener);
    }
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;
};

} // namespace corvan::test
