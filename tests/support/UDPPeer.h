#pragma once
// A plain blocking UDP peer on loopback for tests of datagram sockets.

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

namespace corvan::test {

// A plain UDP socket on 127.0.0.1 with a system-assigned port (blocking; it is only read after
// a datagram was handed to the system, which on loopback means it has arrived).
struct TUDPPeer {
    TSocketHandle Handle = INVALID_SOCKETHANDLE;
    uint16_t Port = 0;
    // address: the local IPv4 address (network order) to bind, another loopback address
    // (127.0.0.2) to act as a second host.
    explicit TUDPPeer(uint32_t address = Loopback()) {
        Handle = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
        SocketBind(Handle, TSocketAddr::IP4(address, 0));
        TSocketAddr local;
        SocketGetSockName(Handle, local);
        Port = local.Port;
    }
    ~TUDPPeer() { SocketClose(Handle); }
    void SendTo(uint16_t port, const std::string& data) {
        ASSERT_EQ(
            SocketSendTo(Handle, data.data(), data.size(), TSocketAddr::IP4(Loopback(), port)),
            static_cast<long>(data.size()));
    }
    // The waiting datagram, or false when none waits.
    bool Receive(std::string& data, TSocketAddr& from) {
        if (SocketAvailable(Handle) <= 0)
            return false;
        data.resize(65536);
        bool truncated = false;
        long n = SocketRecvFrom(Handle, data.data(), data.size(), &from, &truncated);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return n > 0;
    }
};

} // namespace corvan::test
