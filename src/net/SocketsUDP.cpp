#include "net/SocketsUDP.h"

#include "util/Ticks.h"

#include <algorithm>
#include <array>
#include <arpa/inet.h>

namespace corvan {

TUDPPacketBatch::TUDPPacketBatch(size_t capacity, size_t packetSize)
    : FSlots(std::min(capacity, kSocketBatchMax)) {
    FBuffer.resize(FSlots.size() * packetSize);
    for (size_t i = 0; i < FSlots.size(); ++i) {
        FSlots[i].Data = FBuffer.data() + i * packetSize;
        FSlots[i].Size = packetSize;
    }
}

const TSocketAddr* PreferredDatagramAddress(const TSocketAddrArray& addresses) {
    auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const TSocketAddr& a) {
        return a.AddrFamily == TIPAddressFamily::iaIP4;
    });
    if (v4 != addresses.end())
        return &*v4;
    return addresses.empty() ? nullptr : &addresses.front();
}

AUDPSocket::AUDPSocket() : ASocketExSendBuffer(TIPProtocol::ipUDP) {}

AUDPSocket::~AUDPSocket() = default;

void AUDPSocket::SetProtocol(TIPProtocol protocol) {
    if (protocol != TIPProtocol::ipUDP)
        RaiseError("AUDPSocket.SetProtocol: Only UDP allowed here", SOCKET_ERR_PROTOCOL);
    ASocketExSendBuffer::SetProtocol(protocol);
}

void AUDPSocket::SetLocalHost(const std::string& value) {
    if (value == LocalHost())
        return;
    ASocketExSendBuffer::SetLocalHost(value);
    FBound = false;
}

void AUDPSocket::SetLocalPort(const std::string& value) {
    if (value == LocalPort())
        return;
    ASocketExSendBuffer::SetLocalPort(value);
    FBound = false;
}

void AUDPSocket::SetActive(bool value) {
    FActive = value;
    if (FLoading)
        return;
    if (value)
        EnsureBound();
    else
        ResetSocket();
}

void AUDPSocket::SetLoading(bool loading) {
    FLoading = loading;
    TTimerHandle::SetLoading(loading);
    if (!loading && FActive)
        EnsureBound();
}

void AUDPSocket::Bind() {
    // The old handle keeps its old address: a rebind needs a new one.
    CloseHandle();
    FBound = false;
    ASocket::Bind();
    FBound = true;
    SetAsynchronous();
    if (Broadcast && SocketSetBroadcast(SocketHandle(), true) != 0)
        RaiseLastSocketError("Socket broadcast option not set");
    UpdateTimer();
}

void AUDPSocket::EnsureBound() {
    if (!FBound)
        Bind();
}

void AUDPSocket::ResetSocket() {
    ASocketExSendBuffer::ResetSocket();
    FBound = false;
    FReadingHeld = false;
    if (TimerActive())
        SetTimerActive(false);
}

bool AUDPSocket::RecvPacket(void* buf, int size, TSocketAddr& from, int& len) {
    ClearError();
    EnsureBound();
    size = std::max(size, 0);
    bool truncated = false;
    long n = RecvDatagram(buf, static_cast<size_t>(size), &from, &truncated);
    if (n >= 0) {
        if (truncated) {
            SetError(WSAEMSGSIZE, "Packet truncated: Buffer too small");
            len = size;
        } else
            len = static_cast<int>(n);
        return true;
    }
    int error = SocketGetLastError();
    len = 0;
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        return false;
    RaiseSocketError("Error reading packet", error);
}

bool AUDPSocket::QueueFull() const {
    size_t limit = MaxBufferedPackets < 0
                       ? kUDPReceiveQueueHardLimit
                       : std::min<size_t>(static_cast<size_t>(MaxBufferedPackets),
                                          kUDPReceiveQueueHardLimit);
    return FReceived.size() >= limit;
}

void AUDPSocket::TakeQueued() {
    FReceived.pop_front();
    // Reading stopped at a full queue; now there is room, let the system's datagrams in again.
    if (FReadingHeld && !QueueFull()) {
        FReadingHeld = false;
        PostSocketEvent(READY_READ);
    }
}

bool AUDPSocket::ReadPacket(void* buf, int size, TSocketAddr& from, int& len) {
    if (FReceived.empty())
        return RecvPacket(buf, size, from, len);
    TUDPReceiveBufferItem& item = FReceived.front();
    len = std::min(std::max(size, 0), static_cast<int>(item.Data.size()));
    std::copy_n(item.Data.data(), len, static_cast<char*>(buf));
    from = item.Sender;
    TakeQueued();
    return true;
}

bool AUDPSocket::ReadPacketStr(std::string& data, TSocketAddr& from) {
    if (!FReceived.empty()) {
        data = std::move(FReceived.front().Data);
        from = FReceived.front().Sender;
        TakeQueued();
        return true;
    }
    data.resize(static_cast<size_t>(std::max(MaxPacketSize, 0)));
    int len = 0;
    bool got = RecvPacket(data.data(), static_cast<int>(data.size()), from, len);
    data.resize(got ? static_cast<size_t>(len) : 0);
    return got;
}

size_t AUDPSocket::RecvPackets(TUDPPacketBatch& batch) {
    ClearError();
    EnsureBound();
    size_t n = 0;
    for (; n < batch.Capacity() && !FReceived.empty(); ++n) {
        TDatagram& slot = batch.FSlots[n];
        int len = 0;
        ReadPacket(slot.Data, static_cast<int>(slot.Size), slot.Address, len);
        slot.Length = static_cast<size_t>(len);
        slot.Truncated = false;
    }
    batch.FCount = n;
    if (n == batch.Capacity())
        return n;
    long got = RecvDatagrams(batch.FSlots.data() + n, batch.Capacity() - n);
    if (got < 0) {
        int error = SocketGetLastError();
        if (n > 0 || error == WSAEWOULDBLOCK || error == WSAEINTR)
            return n; // an error that stays is reported by the next read
        RaiseSocketError("Error reading packet", error);
    }
    batch.FCount = n + static_cast<size_t>(got);
    for (size_t i = n; i < batch.FCount; ++i)
        if (batch.FSlots[i].Truncated)
            SetError(WSAEMSGSIZE, "Packet truncated: Buffer too small");
    return batch.FCount;
}

void AUDPSocket::SendPackets(const std::vector<TSendBufferItem>& items) {
    EnsureBound();
    std::array<TDatagram, kSocketBatchMax> out;
    for (size_t i = 0; i < items.size();) {
        // Only what may leave at once goes together: a queue, the rate limit or a refusal take
        // SendTo's way, which queues or reports.
        if (!ThrottleWrite() && (!UseSendBuffer || CanSendDirectly())) {
            size_t n = std::min(items.size() - i, out.size());
            for (size_t k = 0; k < n; ++k) {
                const TSendBufferItem& item = items[i + k];
                // The system only reads the bytes it is given to send.
                out[k].Data = const_cast<char*>(item.Data.data());
                out[k].Length = item.Data.size();
                out[k].Address = item.Destination;
            }
            long sent = SendDatagrams(out.data(), n);
            if (sent > 0) {
                for (long k = 0; k < sent; ++k)
                    SendResult(static_cast<long>(out[size_t(k)].Length));
                i += static_cast<size_t>(sent);
                continue;
            }
        }
        const TSendBufferItem& item = items[i++];
        SendTo(item.Destination, item.Data.data(), static_cast<int>(item.Data.size()));
    }
}

void AUDPSocket::TriggerPacketAvailable() {
    if (OnPacketAvailable)
        OnPacketAvailable(this);
}

void AUDPSocket::ReadIntoQueue() {
    TriggerPacketAvailable();
    if (!BufferPackets || SocketHandle() == INVALID_SOCKETHANDLE)
        return;
    while (!QueueFull()) {
        std::string data(static_cast<size_t>(std::max(MaxPacketSize, 0)), '\0');
        TSocketAddr from;
        int len = 0;
        if (!RecvPacket(data.data(), static_cast<int>(data.size()), from, len)) {
            FReadingHeld = false;
            return;
        }
        data.resize(static_cast<size_t>(len));
        FReceived.push_back(TUDPReceiveBufferItem{std::move(data), from});
    }
    // No recv, so no new READY_READ until the queue is drained (TakeQueued).
    FReadingHeld = true;
}

void AUDPSocket::ProcessSocketEvent(uint32_t events, int error) {
    if (events & READY_READ)
        ReadIntoQueue();
    ASocketExSendBuffer::ProcessSocketEvent(events, error);
}

void AUDPSocket::TriggerSendError(int error, const TSocketAddr& destination,
                                  const std::string& data) {
    if (OnSendError)
        OnSendError(this, error, destination, data);
}

int AUDPSocket::TrySend(const TSocketAddr& destination, const void* buf, int size) {
    // A datagram cannot be split: the rate allowance must cover all of it.
    if (ThrottleWrite() &&
        WriteWindow().Allowance(size, WriteThrottleRate(), GetTickCount()) < size)
        return -1;
    return SendResult(SendDatagram(buf, static_cast<size_t>(std::max(size, 0)), destination));
}

bool AUDPSocket::SendTo(uint32_t address, uint16_t port, const std::string& data) {
    return SendTo(TSocketAddr::IP4(address, port), data.data(), static_cast<int>(data.size()));
}

bool AUDPSocket::SendTo(uint32_t address, uint16_t port, const void* buf, int size) {
    return SendTo(TSocketAddr::IP4(address, port), buf, size);
}

bool AUDPSocket::SendTo(const TSocketAddr& destination, const void* buf, int size) {
    EnsureBound();
    size = std::max(size, 0);
    auto bytes = [&] {
        return std::string(static_cast<const char*>(buf), static_cast<size_t>(size));
    };
    if (UseSendBuffer && (!WriteReady() || !SendBuffer().empty())) {
        AppendSendBuffer(bytes(), destination);
        return false;
    }
    int result = TrySend(destination, buf, size);
    if (result == 0)
        return true;
    int error = std::max(result, 0); // a rate refusal has no system error
    bool transient = error == WSAEWOULDBLOCK || error == 0;
    if (!transient)
        TriggerSendError(error, destination, bytes());
    if (!UseSendBuffer)
        RaiseSocketError("Send failed", error);
    // Only what may go later is queued; a datagram the system refused for good was reported
    // above and would only fail (and be reported) again.
    if (transient)
        AppendSendBuffer(bytes(), destination);
    return false;
}

void AUDPSocket::SendBufferedData() {
    auto& queue = SendBuffer();
    while (!queue.empty()) {
        TSendBufferItem& item = queue.front();
        int result =
            TrySend(item.Destination, item.Data.data(), static_cast<int>(item.Data.size()));
        if (result == WSAEWOULDBLOCK || result < 0)
            return;
        TSendBufferItem done = std::move(item);
        SendBufferConsumed(static_cast<int64_t>(done.Data.size()));
        queue.pop_front();
        if (result != 0)
            TriggerSendError(result, done.Destination, done.Data);
    }
}

// --- AUDPClientSocket -------------------------------------------------------------------------

void AUDPClientSocket::SetHost(const std::string& value) {
    if (value == FHost)
        return;
    CheckClosed("SetHost");
    FHost = value;
}

void AUDPClientSocket::SetPort(const std::string& value) {
    if (value == FPort)
        return;
    CheckClosed("SetPort");
    FPort = value;
}

void AUDPClientSocket::BeginResolve(const std::string& operationName) {
    CheckClosed(operationName);
    SetState(ssResolving);
    try {
        FAddress = {};
        FAddress.Port = ntohs(ResolvePort(FPort, TIPProtocol::ipUDP));
    } catch (const ESocketLib& e) {
        SetState(ssClosed);
        RaiseError(e.Message(), e.ErrorCode);
    }
}

void AUDPClientSocket::ResolveTo(const TSocketAddr& address) {
    BeginResolve("ResolveTo");
    DoHostResolvedAll(0, FHost, {address});
}

void AUDPClientSocket::Resolve(uint8_t method) {
    BeginResolve("Resolve");
    if (FHost.empty()) {
        SetState(ssClosed);
        return;
    }
    StartHostLookup(FHost, method, true);
}

void AUDPClientSocket::DoHostResolvedAll(int error, const std::string& host,
                                         const TSocketAddrArray& addresses) {
    if (State() != ssResolving || host != FHost)
        return;
    const TSocketAddr* address = error == 0 ? PreferredDatagramAddress(addresses) : nullptr;
    if (address == nullptr) {
        SetError(error != 0 ? error : WSANO_DATA);
        SetState(ssClosed);
        return;
    }
    uint16_t port = FAddress.Port;
    FAddress = *address;
    FAddress.Port = port;
    SetState(ssResolved);
}

void AUDPClientSocket::EnsureResolved() {
    if (State() == ssResolved)
        return;
    Resolve(0);
    if (State() != ssResolved)
        ASocket::RaiseError(SocketErrorMessage(SOCKET_ERR_NOT_RESOLVED), SOCKET_ERR_NOT_RESOLVED);
}

bool AUDPClientSocket::Send(const void* buf, int size) {
    EnsureResolved();
    return SendTo(FAddress, buf, size);
}

void AUDPClientSocket::RaiseError(const std::string& message, int code) {
    if (!FHost.empty() && !FPort.empty())
        AUDPSocket::RaiseError(message + ": Host " + FHost + ":" + FPort, code);
    AUDPSocket::RaiseError(message, code);
}

} // namespace corvan
