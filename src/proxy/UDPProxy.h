#pragma once
// The UDP port mapper: a datagram socket on the mapped port that relays every datagram to one
// fixed destination, through one outbound socket per source address (an association), and
// sends the answers that arrive on that outbound socket back from the mapped port. The data
// is never looked at.
//
// Associations do not live for ever: one that has carried no datagram in either direction for
// IdleTimeoutMs is closed, and at most MaxAssociations exist (a new source closes the one idle
// longest). An error reported on an outbound socket (an ICMP "port unreachable" from the
// destination, for one) ends nothing: the datagram is lost, the mapping goes on. A datagram
// that has come round through this program's own mappings kMappingLoopPasses times (their
// destinations lead back to one another) is dropped and logged, so that it does not go round
// for ever on ever more sockets.
//
// The destination is never looked up on the mapper's thread, which serves every other socket of
// the program. An address literal of either family (a dotted IPv4 address; an IPv6 one, with or
// without brackets, a link-local one with its %scope) is used as it stands. A host name is
// looked up by a worker thread (from activation on, and again when due) for both families; the
// mapper keeps one address, the first IPv4 one, else the first IPv6 one (so a name of both
// families is reached as before), and hands it to every new association, so no association
// looks anything up. Each association's outbound socket is of that address's family. Until the first
// address arrives, datagrams wait (at most MaxWaitingDatagrams, the rest are dropped) and are
// forwarded in arrival order once it is there (each source's reach the destination in that
// order; separate sources use separate sockets); when the lookup fails they are dropped, and so is
// every datagram for RetryIntervalMs, so a dead name does not make each datagram a lookup. An
// address older than RefreshIntervalMs is looked up again when a new association needs it; the old
// one serves meanwhile and stays when that lookup fails. An association keeps the address it was
// made with. Deactivating cancels a pending lookup (its late answer is dropped) and forgets the
// address and the waiting datagrams.
//
// Everything runs on the thread that owns the mapper's window (the main thread); the mapper
// owns its outbound sockets, its waiting datagrams and its destination address, and they are
// used on its thread only.

#include "net/AllowedClients.h"
#include "net/OwnConnections.h"
#include "net/SocketsUDP.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace corvan {

// Receive buffer of both directions (MaxPacketSize of the mapper and of every association): the
// largest IPv4 UDP payload, so every datagram is carried whole. A datagram the system had to
// cut anyway (longer than the buffer) is dropped, never forwarded cut.
constexpr int kUDPMapperPacketSize = 65507;
// An association idle this long (no datagram either way) is closed.
constexpr int kUDPMapperIdleTimeoutMs = 120000;
// Associations of one mapper at most; a new source beyond it closes the one idle longest.
constexpr size_t kUDPMapperMaxAssociations = 1024;
// Datagrams relayed per notification of one socket; the rest follow on a later pass, so a
// flooding peer cannot starve the other sockets of the thread.
constexpr int kUDPMapperBurst = 64;
// Datagrams of one mapper waiting for the destination's first address; beyond it they are
// dropped, as UDP may.
constexpr size_t kUDPMapperMaxWaiting = 256;
// After a failed lookup of the destination, datagrams are dropped without a new lookup this long.
constexpr int kUDPMapperRetryIntervalMs = 5000;
// A looked-up destination address is looked up again after this long (the old one serving
// meanwhile).
constexpr int kUDPMapperRefreshIntervalMs = 60000;
// Lookup method for the destination: a worker thread, the answer posted back to this thread.
constexpr uint8_t kUDPMapperLookupMethod = 2;

// What ReadWholeDatagram found.
enum class TDatagramRead : uint8_t {
    None,   // no datagram waits
    Whole,  // one datagram, whole
    Cut,    // one longer than the buffer, cut by the system: to be dropped, never sent on cut
    Failed, // a pending error of the socket (an ICMP error for an earlier datagram, reported
            // once by the system); the next datagram is unaffected
};
// One datagram of socket, which must not queue (BufferPackets false), into buffer, resized to
// the socket's MaxPacketSize; len its size.
TDatagramRead ReadWholeDatagram(AUDPSocket& socket, std::vector<char>& buffer, TSocketAddr& from,
                                int& len);

class TUDPPortMapper;

// One association's outbound socket.
class TUDPPortMapperClient : public AUDPClientSocket {
public:
    explicit TUDPPortMapperClient(TUDPPortMapper& mapper);
    ~TUDPPortMapperClient() override;

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
    // Enters the socket's local port among this program's association sockets, with the passes
    // its datagrams carry; it leaves with the association.
    void EnterOwnPort(int passes);
    TUDPPortMapper& FMapper;
    TIPAddressFamily FOwnFamily = TIPAddressFamily::iaNone;
    bool FOwnBothFamilies = false; // entered for IPv4 too (bound to the IPv6 any address)
    uint16_t FOwnPort = 0; // 0: not entered
};

class TUDPPortMapper : public AUDPSocket {
public:
    TUDPPortMapper();
    // Closes every association, then the mapper's own socket.
    ~TUDPPortMapper() override;

    std::string DestHost;
    std::string DestPort; // decimal text
    // Tests shorten it; 0 or less: associations never expire.
    int IdleTimeoutMs = kUDPMapperIdleTimeoutMs;
    size_t MaxAssociations = kUDPMapperMaxAssociations;
    // Tests shorten them.
    size_t MaxWaitingDatagrams = kUDPMapperMaxWaiting;
    int RetryIntervalMs = kUDPMapperRetryIntervalMs;
    int RefreshIntervalMs = kUDPMapperRefreshIntervalMs;
    // Who may send to the mapping (net/AllowedClients.h); null admits everyone. Asked for
    // each datagram as it is taken from the socket: a refused one is dropped before it
    // reaches an association, a lookup or the waiting queue. Not owned; outlives activity.
    TClientAdmission* Admission = nullptr;
    // Told when datagrams are dropped because they came round through this program's
    // mappings kMappingLoopPasses times (a destination leads back to a mapping):
    //   "Datagram from <address> port <port> dropped: it has come round ..."
    TMappingLoopLog LoopLog;

    // true binds to LocalHost/LocalPort ("Socket bind failed" when the port is taken) and starts
    // looking up a DestHost that is no address literal; false cancels that lookup, forgets the
    // address and the waiting datagrams, and closes every association and the socket.
    void SetActive(bool value) override;

    // The address new associations get (port 0); false while none is known.
    bool DestAddress(TSocketAddr& address) const;
    // The same as an IPv4 address (network order); 0 for an IPv6 one.
    bool DestAddress(uint32_t& address) const;
    bool DestLookupPending() const { return PendingLookupCount() > 0; }
    size_t WaitingDatagramCount() const { return FWaiting.size(); }
    // Datagrams from local-side peers that never went out for want of the destination's address
    // (waiting queue full, lookup failed or retry interval running, deactivated while waiting)
    // or of an outbound socket, and datagrams of either direction longer than MaxPacketSize.
    uint64_t DroppedDatagramCount() const { return FDropped; }

    size_t AssociationCount() const { return FClients.size(); }
    // The association of a source, or null.
    TUDPPortMapperClient* FindAssociation(const TSocketAddr& source) const;
    // Closes associations idle for IdleTimeoutMs by now and re-arms the sweep for the next
    // expiry (the idle timer calls it).
    void ExpireIdle(int64_t now);

protected:
    void TriggerPacketAvailable() override;
    // The answer of the destination lookup (on this thread; a cancelled one never comes).
    void DoHostResolvedAll(int error, const std::string& host,
                           const TSocketAddrArray& addresses) override;

private:
    friend class TUDPPortMapperClient;
    struct TWaitingDatagram {
        TSocketAddr Source;
        std::string Data;
    };
    // A datagram from a local-side peer: through its association (created on demand), or into
    // the waiting queue while the destination has no address yet.
    void Forward(const TSocketAddr& source, const char* data, int len, int64_t now);
    // No address yet: the datagram waits for the lookup (started when none runs), or is dropped
    // when the queue is full or the retry interval runs.
    void Wait(const TSocketAddr& source, const char* data, int len, int64_t now);
    // The destination at activation: a literal address at once, a name by a lookup.
    void PrepareDestination(int64_t now);
    void ForgetDestination();
    // Starts the lookup of DestHost; a start that fails counts as a failed lookup.
    void StartDestLookup(int64_t now);
    // The address is old: look it up again, unless a lookup runs or the retry interval does.
    void RefreshIfDue(int64_t now);
    bool RetryWaitRunning(int64_t now) const;
    void LookupFailed(int64_t now);
    // Answers waiting on an outbound socket go back to its source from the mapped port.
    void RelayReplies(TUDPPortMapperClient& client);
    // passes: those its datagrams carry.
    TUDPPortMapperClient& CreateAssociation(const TSocketAddr& source, int64_t now, int passes);
    void CloseAssociation(TUDPPortMapperClient* client);
    void CloseAssociations();
    // Timer to the next expiry; off without associations, so an idle mapper never wakes.
    void ScheduleSweep(int64_t now);

    void Touch(TUDPPortMapperClient& client, int64_t now);
    // One datagram of socket into FDatagram: true when one was read whole (len its size);
    // false when none waits. A cut one is counted as dropped and skipped; a pending socket
    // error is skipped likewise (the next datagram is unaffected).
    bool ReadWhole(AUDPSocket& socket, TSocketAddr& from, int& len, bool& skipped);

    // Owned here, on the mapper's thread only; found by a linear scan.
    std::vector<std::unique_ptr<TUDPPortMapperClient>> FClients;
    TTimerHandle FIdleTimer;
    int64_t FSweepDue = -1; // MonotonicMillis of the armed sweep, -1 when none
    uint64_t FUseCount = 0;

    // The destination's address for new associations.
    bool FHaveAddress = false;
    bool FLiteralAddress = false; // DestHost is an address literal: never looked up
    TSocketAddr FAddress;
    int64_t FAddressTime = 0;  // MonotonicMillis of the lookup that gave FAddress
    int64_t FLastFailure = -1; // MonotonicMillis of the last failed lookup, -1 when none
    // Set while a lookup's answer is being handed out: no new lookup may start from inside the
    // completion of the old one (it is freed by the next start).
    bool FDelivering = false;
    std::deque<TWaitingDatagram> FWaiting; // oldest first
    uint64_t FDropped = 0;
    // The receive buffer of both directions, MaxPacketSize bytes; used on the mapper's thread,
    // each datagram sent on before the next is read into it.
    std::vector<char> FDatagram;
};

} // namespace corvan
