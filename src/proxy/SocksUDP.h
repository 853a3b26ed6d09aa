#pragma once
// UDP ASSOCIATE of the SOCKS5 server (RFC 1928 section 7). A granted association is carried on
// the thread of its control connection: a relay socket, bound to the address the client reached
// the server on, takes the client's datagrams (each with the header naming its destination)
// and sends their data from an outbound socket of the association's own; what comes back to
// that socket goes to the client with a header naming the sender. The association ends with
// its control connection, when the connection is terminated, or when no datagram has moved
// either way for RelayIdleLimitMs(). Both sockets are the association's, on its thread only.

#include "net/SocketsUDP.h"
#include "net/Socks.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

class TSocketStream;
struct TSocksConnectionSettings;
struct TSocksConnectionFacts;

// Datagrams each socket of an association carries per wake-up; the rest follow on a later
// pass, so a flood one way cannot starve the other way or the control connection's close.
inline constexpr int kSocksUdpBurst = 64;
// Names an association keeps resolved; a new name beyond this many replaces the oldest.
inline constexpr size_t kSocksUdpNameCacheSize = 16;
// A kept name (resolved or not) is looked up again after this many milliseconds.
inline constexpr int64_t kSocksUdpNameCacheMs = 60000;

// A client's datagram with its header read: the data begins at DataOffset.
struct TSocksDatagram {
    TSocksDestination Destination;
    size_t DataOffset = 0;
};

//   +-----+------+------+----------+----------+----------+
//   | RSV | FRAG | ATYP | DST.ADDR | DST.PORT |   DATA   |
//   +-----+------+------+----------+----------+----------+
//      2     1      1   4, 1+n or 16     2
// ATYP 1: an IPv4 address (Destination.Addr); 3: a name (Destination.Host); 4: an IPv6 address,
// given as its text in Destination.Host (Addr 0), as a request's address type 4 is.
// nullopt (the datagram is dropped) when it is shorter than its header, FRAG is not 0 (no
// fragment is reassembled), ATYP is not 1, 3 or 4, the address is 0.0.0.0 or ::, the name is
// empty or the port is 0.
std::optional<TSocksDatagram> ParseSocksDatagram(std::string_view datagram);
// The header of a datagram to the client from sender (its address and port): ATYP 1 for an
// IPv4 sender, 4 (16 address bytes) for an IPv6 one.
std::string SocksDatagramHeader(const TSocketAddr& sender);
// The same for an IPv4 sender, addr in network order, port in host order.
std::string SocksDatagramHeader(uint32_t addr, uint16_t port);

// Which datagrams the relay socket takes: only from the client's address (either family; its
// port is not used, nor an IPv6 scope), and from the port the request named; a request with port
// 0 takes the port of the first datagram taken. Answers go to that port. A client address of no
// family takes nothing.
class TSocksUdpSourceFilter {
public:
    TSocksUdpSourceFilter(const TSocketAddr& client, uint16_t requestedPort)
        : FClient(client), FHavePort(requestedPort != 0) {
        FClient.Port = requestedPort;
    }
    // An IPv4 client, clientAddr in network order.
    TSocksUdpSourceFilter(uint32_t clientAddr, uint16_t requestedPort)
        : TSocksUdpSourceFilter(TSocketAddr::IP4(clientAddr), requestedPort) {}
    // Fixes the port at the first datagram taken.
    bool Accept(const TSocketAddr& from);
    // Where answers go; false while no port is known.
    bool Client(TSocketAddr& client) const;

private:
    TSocketAddr FClient;
    bool FHavePort;
};

// A socket of an association: its handler reads what waits, a burst at a time.
class TSocksUdpSocket : public AUDPSocket {
public:
    // Reads up to a burst; true when the burst was full and more may wait, which is then read
    // after the thread's other events had their turn.
    std::function<bool()> OnReadable;
    // Reads again on a later pass of the thread's loop.
    void ReadLater() { PostSocketEvent(READY_READ); }

protected:
    void TriggerPacketAvailable() override {
        if (OnReadable && OnReadable())
            PostSocketEvent(READY_READ);
    }
};

class TSocksUdpAssociation {
public:
    // Opens the relay socket on control's local address, of either family (a port the system
    // chooses), and the outbound socket, which reaches destinations of both families where the
    // system has IPv6; raises ESocket when either cannot be had (descriptors ran out, say).
    // Datagrams are taken from control's peer (SocksClientAddress). clientPort is the
    // request's port (0: not known). settings must outlive the association.
    TSocksUdpAssociation(TSocketStream& control, const TSocksConnectionSettings& settings,
                         uint16_t clientPort);
    ~TSocksUdpAssociation();
    TSocksUdpAssociation(const TSocksUdpAssociation&) = delete;
    TSocksUdpAssociation& operator=(const TSocksUdpAssociation&) = delete;

    // The relay socket's address and port, for the reply.
    const TSocketAddr& RelayAddress() const { return FRelayAddress; }

    // Carries datagrams until the association ends, adding the data carried to facts'
    // BytesTransferred and BytesToClient as it goes; then closes both sockets.
    void Run(TSocksConnectionFacts& facts);

    // Datagrams not carried: from elsewhere, malformed, to a destination that does not
    // resolve or is not allowed, over the bandwidth limit, cut, or refused by the system.
    uint64_t DroppedCount() const { return FDropped; }

private:
    struct TNameEntry {
        std::string Name;
        TSocketAddr Addr; // no family: did not resolve or not allowed
        int64_t At = 0;    // MonotonicMillis of the lookup
    };
    bool Stopping() const;
    // Sends on the datagram in FBuffer (len bytes) that came from; false drops it.
    using TCarry = bool (TSocksUdpAssociation::*)(const TSocketAddr& from, size_t len);
    // Carries up to a burst of socket's datagrams, each whole one through carry; true when the
    // burst was full. A name's lookup serves the thread's loop while it waits: a burst called
    // from inside another reads nothing and its socket is read again once the outer one ends
    // (the datagram being carried stays in FBuffer, the datagrams in their order).
    bool Burst(TSocksUdpSocket& socket, TCarry carry);
    bool CarryFromClient(const TSocketAddr& from, size_t len);
    bool CarryToClient(const TSocketAddr& from, size_t len);
    // The address to send to (either family, with dest's port), as CONNECT would reach dest;
    // false drops the datagram.
    bool Resolve(const TSocksDestination& dest, TSocketAddr& addr);
    // The address host is reached at, or one of no family.
    TSocketAddr Judge(const std::string& host);
    // The datagram fits the direction's bandwidth limit now; one over it is dropped, as a full
    // UDP path drops.
    static bool WithinRate(TRateWindow& window, bool throttle, int rate, size_t size);
    void Carried(size_t size, bool toClient);
    void Close();

    TSocketStream& FControl;
    const TSocksConnectionSettings& FSettings;
    TSocksUdpSocket FRelay;
    TSocksUdpSocket FOutbound;
    TSocketAddr FRelayAddress;
    TSocksUdpSourceFilter FSource;
    std::optional<bool> FClientOnThisMachine; // asked once, on the first local destination
    std::vector<TNameEntry> FNames;
    TRateWindow FFromClientWindow, FToClientWindow;
    std::vector<char> FBuffer; // the datagram read, sent on before the next is read
    std::string FOut;          // an answer with its header
    bool FInBurst = false;
    std::vector<TSocksUdpSocket*> FDeferred; // sockets whose burst came inside another
    TSocksConnectionFacts* FFacts = nullptr;
    int64_t FLastMove = 0;
    uint64_t FDropped = 0;
};

} // namespace corvan
