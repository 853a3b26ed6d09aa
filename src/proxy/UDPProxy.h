#pragma once
// The UDP port mapper: a datagram socket on the mapped port that relays every datagram to one
// fixed destination, through one outbound socket per source address (an association), and
// sends the answers that arrive on that outbound socket back from the mapped port. The data
// is never looked at.
//
// Associations do not live for ever: one that has carried no datagram in either direction for
// IdleTimeoutMs is closed, and at most MaxAssociations exist (a new source closes the one idle
// longest). An error reported on an outbound socket (an ICMP "port unreachable" from the
// destination, for one) ends nothing: the datagram is lost, the mapping goes on.
//
// Everything runs on the thread that owns the mapper's window (the main thread); the mapper
// owns its outbound sockets and they share its thread.

#include "net/SocketsUDP.h"

#include <memory>
#include <string>
#include <vector>

namespace corvan {

// Receive buffer of both directions: a longer datagram is cut to this size.
constexpr int UDP_MAPPER_PACKET_SIZE = 4096;
// An association idle this long (no datagram either way) is closed.
constexpr int UDP_MAPPER_IDLE_TIMEOUT_MS = 120000;
// Associations of one mapper at most; a new source beyond it closes the one idle longest.
constexpr size_t UDP_MAPPER_MAX_ASSOCIATIONS = 1024;
// Datagrams relayed per notification of one socket; the rest follow on a later pass, so a
// flooding peer cannot starve the other sockets of the thread.
constexpr int UDP_MAPPER_BURST = 64;

class TUDPPortMapper;

// One association's outbound socket.
class TUDPPortMapperClient : public AUDPClientSocket {
public:
    explicit TUDPPortMapperClient(TUDPPortMapper& mapper);

    // The local-side peer whose datagrams this socket forwards.
    TSocketAddr SourceAddress;
    // MonotonicMillis of the last datagram in either direction.
    int64_t LastActivity = 0;
    // The mapper's datagram count at that datagram: orders associations by last use even
    // within one millisecond.
    uint64_t LastUse = 0;

protected:
    // Replies are read and relayed directly, never queued.
    void TriggerPacketAvailable() override;

private:
    friend class TUDPPortMapper;
    TUDPPortMapper& FMapper;
};

class TUDPPortMapper : public AUDPSocket {
public:
    TUDPPortMapper();
    // Closes every association, then the mapper's own socket.
    ~TUDPPortMapper() override;

    std::string DestHost;
    std::string DestPort; // decimal text
    // Tests shorten it; 0 or less: associations never expire.
    int IdleTimeoutMs = UDP_MAPPER_IDLE_TIMEOUT_MS;
    size_t MaxAssociations = UDP_MAPPER_MAX_ASSOCIATIONS;

    // true binds to LocalHost/LocalPort ("Socket bind failed" when the port is taken);
    // false closes every association and the socket.
    void SetActive(bool value) override;

    size_t AssociationCount() const { return FClients.size(); }
    // The association of a source, or null.
    TUDPPortMapperClient* FindAssociation(const TSocketAddr& source) const;
    // Closes associations idle for IdleTimeoutMs by now and re-arms the sweep for the next
    // expiry (the idle timer calls it).
    void ExpireIdle(int64_t now);

protected:
    void TriggerPacketAvailable() override;

private:
    friend class TUDPPortMapperClient;
    // A datagram from a local-side peer: through its association (created on demand).
    void Forward(const TSocketAddr& source, const char* data, int len, int64_t now);
    // Answers waiting on an outbound socket go back to its source from the mapped port.
    void RelayReplies(TUDPPortMapperClient& client);
    TUDPPortMapperClient& CreateAssociation(const TSocketAddr& source, int64_t now);
    void CloseAssociation(TUDPPortMapperClient* client);
    void CloseAssociations();
    // Timer to the next expiry; off without associations, so an idle mapper never wakes.
    void ScheduleSweep(int64_t now);

    void Touch(TUDPPortMapperClient& client, int64_t now);

    // Owned here, on the mapper's thread only; found by a linear scan.
    std::vector<std::unique_ptr<TUDPPortMapperClient>> FClients;
    TTimerHandle FIdleTimer;
    int64_t FSweepDue = -1; // MonotonicMillis of the armed sweep, -1 when none
    uint64_t FUseCount = 0;
};

} // namespace corvan
