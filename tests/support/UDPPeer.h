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
    TIPAddressFamily Family = TIPAddressFamily::iaIP4;
    // address: the local IPv4 address (network order) to bind, another loopback address
    // (127.0.0.2) to act as a second host.
    explicit TUDPPeer(uint32_t address = Loopback()) : TUDPPeer(TSocketAddr::IP4(address)) {}
    // A peer on address (its port not used) of either family, ::1 say.
    explicit TUDPPeer(const TSocketAddr& address) : Family(address.AddrFamily) {
        Handle = AllocateSocketHandle(Family, TIPProtocol::ipUDP);
        TSocketAddr at = address;
        at.Port = 0;
        SocketBind(Handle, at);
        TSocketAddr local;
        SocketGetSockName(Handle, local);
        Port = local.Port;
    }
    ~TUDPPeer() { SocketClose(Handle); }
    // To port on the loopback address of the peer's family (127.0.0.1 or ::1).
    void SendTo(uint16_t port, const std::string& data) {
        TSocketAddr to = TSocketAddr::IP4(Loopback(), port);
        if (Family == TIPAddressFamily::iaIP6) {
            IsIPLiteral("::1", to);
            to.Port = port;
        }
        ASSERT_EQ(SocketSendTo(Handle, data.data(), data.size(), to),
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
