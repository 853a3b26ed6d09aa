#pragma once
// Non-blocking datagram sockets.
//
// AUDPSocket binds lazily (every send and receive binds first), receives datagrams on READY_READ
// into a queue of received packets (oldest first), and sends datagrams directly or, while the
// socket is not writable, through the send queue of ASocketExSendBuffer. With the send queue in
// use a failed send never raises: it reaches OnSendError. AUDPClientSocket adds a fixed peer
// (Host, Port) resolved once, to an address of either family.
//
// A datagram larger than the receive buffer is delivered cut to the buffer, with the error
// recorded as "Packet truncated: Buffer too small" (WSAEMSGSIZE).
//
// Used on the thread that created its mailbox, like every socket.

#include "net/Sockets.h"

#include <deque>
#include <string>

namespace corvan {

// Default receive buffer per datagram.
constexpr int kUDPDefaultMaxPacketSize = 4096;
// Received datagrams queued at most, even with MaxBufferedPackets -1: beyond it reading stops
// and further datagrams wait in (and may be dropped by) the system's buffer, so a flooding peer
// cannot grow our memory without bound. Reading resumes as the queue is drained.
constexpr size_t kUDPReceiveQueueHardLimit = 4096;

struct TUDPReceiveBufferItem {
    std::string Data;
    TSocketAddr Sender;
};

// Buffers for datagrams read in one call (AUDPSocket::RecvPackets): Capacity datagrams of
// packetSize bytes each, made once by the constructor and reused by every read.
class TUDPPacketBatch {
public:
    // capacity is cut to kSocketBatchMax, what one call reads at most.
    TUDPPacketBatch(size_t capacity, size_t packetSize);
    TUDPPacketBatch(const TUDPPacketBatch&) = delete;
    TUDPPacketBatch& operator=(const TUDPPacketBatch&) = delete;

    size_t Capacity() const { return FSlots.size(); }
    // Datagrams the last read gave; Data is valid until the next read.
    size_t Count() const { return FCount; }
    std::string_view Data(size_t i) const { return {FSlots[i].Data, FSlots[i].Length}; }
    const TSocketAddr& Sender(size_t i) const { return FSlots[i].Address; }

private:
    friend class AUDPSocket;
    std::vector<char> FBuffer;
    std::vector<TDatagram> FSlots; // each pointing at its part of FBuffer
    size_t FCount = 0;
};

// The one address a datagram to a host goes to when it has several: the first IPv4 one, else
// the first of the list (an IPv6 one), so that a host of both families is reached as before
// IPv6 was known here. Null for an empty list.
const TSocketAddr* PreferredDatagramAddress(const TSocketAddrArray& addresses);

class AUDPSocket : public ASocketExSendBuffer {
public:
    AUDPSocket();
    ~AUDPSocket() override;

    // Anything but UDP raises "AUDPSocket.SetProtocol: Only UDP allowed here" (20004).
    void SetProtocol(TIPProtocol protocol) override;
    // A change clears Bound: the next use binds to the new address.
    void SetLocalHost(const std::string& value) override;
    void SetLocalPort(const std::string& value) override;

    int MaxPacketSize = kUDPDefaultMaxPacketSize;
    // Sets SO_BROADCAST whenever the socket is bound.
    bool Broadcast = false;
    bool BufferPackets = true;
    // -1: no limit of our own (kUDPReceiveQueueHardLimit still holds); 0: nothing is queued
    // and OnPacketAvailable handlers read directly.
    int MaxBufferedPackets = -1;

    // Datagrams are waiting (queued or still in the system).
    std::function<void(AUDPSocket* sender)> OnPacketAvailable;
    // A direct or queued send failed with error (0: the rate limit refused it).
    std::function<void(AUDPSocket* sender, int error, const TSocketAddr& destination,
                       const std::string& data)>
        OnSendError;

    bool Bound() const { return FBound; }
    bool Active() const { return FActive; }
    // While loading only stored (SetLoading(false) applies it); true binds; false closes.
    virtual void SetActive(bool value);
    // Loading ends: a socket stored as active binds.
    void SetLoading(bool loading);

    // (Re)binds to LocalHost/LocalPort ("Socket bind failed"), registers for notifications,
    // sets SO_BROADCAST if Broadcast ("Socket broadcast option not set").
    virtual void Bind();
    void EnsureBound();
    void ResetSocket() override;

    size_t QueuedPacketCount() const { return FReceived.size(); }

    // One datagram from the system into buf. True when one was received (len its size, cut to
    // size when truncated, with the error recorded); false when none waits. Other errors raise
    // "Error reading packet".
    bool RecvPacket(void* buf, int size, TSocketAddr& from, int& len);
    // The oldest queued datagram (at most size bytes; the rest of it is lost), else RecvPacket.
    bool ReadPacket(void* buf, int size, TSocketAddr& from, int& len);
    // The oldest queued datagram whole, else RecvPacket into a MaxPacketSize buffer.
    bool ReadPacketStr(std::string& data, TSocketAddr& from);
    // Fills batch with up to its Capacity datagrams: the queued ones first (as ReadPacket
    // gives them), then what waits in the system, read in one call. Answers how many (0: none
    // waits). A datagram larger than its buffer is cut to it with the error recorded as in
    // RecvPacket; other errors raise "Error reading packet" when nothing was read.
    size_t RecvPackets(TUDPPacketBatch& batch);
    // Sends each item (Data to Destination; Offset unused) as SendTo would, in order; those that
    // may leave at once leave together, in as few calls as the system takes them. Raises as
    // SendTo, the items after the one raising unsent.
    void SendPackets(const std::vector<TSendBufferItem>& items);

    // IPv4 address in network order, port in host order. Answers true when the datagram left
    // at once, false when it was queued or refused. Without the send queue a refusal raises
    // "Send failed" with the system error; with it, a would-block or rate-limited datagram is
    // queued and any other failure is reported through OnSendError and dropped.
    bool SendTo(uint32_t address, uint16_t port, const std::string& data);
    bool SendTo(uint32_t address, uint16_t port, const void* buf, int size);
    bool SendTo(const TSocketAddr& destination, const void* buf, int size);

protected:
    uint32_t AsyncEvents() const override { return READY_READ | READY_WRITE; }
    void ProcessSocketEvent(uint32_t events, int error) override;
    void SendBufferedData() override;
    bool NeedsTimer() const override { return ThrottleWrite() && FBound; }
    // READY_READ: OnPacketAvailable, then queue what waits (within the limits).
    virtual void ReadIntoQueue();
    virtual void TriggerPacketAvailable();
    void TriggerSendError(int error, const TSocketAddr& destination, const std::string& data);

private:
    // 0 when the datagram left whole, else the error (0 never: a rate refusal answers -1).
    int TrySend(const TSocketAddr& destination, const void* buf, int size);
    bool QueueFull() const;
    void TakeQueued();

    bool FBound = false;
    bool FActive = false;
    bool FLoading = false;
    // Reading stopped because the queue was full; draining it posts READY_READ again.
    bool FReadingHeld = false;
    std::deque<TUDPReceiveBufferItem> FReceived;
};

class AUDPClientSocket : public AUDPSocket {
public:
    const std::string& Host() const { return FHost; }
    const std::string& Port() const { return FPort; }
    // Closed socket only ("Operation only allowed on closed socket: SetHost" / "SetPort").
    void SetHost(const std::string& value);
    void SetPort(const std::string& value);

    // Closed socket only. State resolving; the port now, the host by method (0 in the caller),
    // to its PreferredDatagramAddress of both families.
    void Resolve(uint8_t method = 0);
    // Closed socket only. Like Resolve, but Host's address (either family; its port is not
    // used) is given by a caller that already knows it (a cache of its own): no lookup, state
    // resolved. Raises like Resolve when Port does not resolve.
    void ResolveTo(const TSocketAddr& address);
    // Resolves in the caller unless resolved; raises "Host not resolved" (20005) when that
    // fails, without the host suffix.
    void EnsureResolved();
    // The IPv4 address resolved (network order); 0 for an IPv6 one.
    uint32_t ResolvedAddress() const { return FAddress.AddrIP4(); }
    // The address resolved, of either family, with ResolvedPort.
    const TSocketAddr& ResolvedSocketAddress() const { return FAddress; }
    uint16_t ResolvedPort() const { return FAddress.Port; }

    bool Send(const void* buf, int size);
    bool Send(const std::string& data) { return Send(data.data(), static_cast<int>(data.size())); }

    // Adds ": Host <Host>:<Port>" when both are set.
    [[noreturn]] void RaiseError(const std::string& message, int code) override;

protected:
    void DoHostResolvedAll(int error, const std::string& host,
                           const TSocketAddrArray& addresses) override;

private:
    // The part of every resolution before the host: closed check, state resolving, the port.
    void BeginResolve(const std::string& operationName);

    std::string FHost;
    std::string FPort;
    TSocketAddr FAddress; // with the resolved port
};

} // namespace corvan
