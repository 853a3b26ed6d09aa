#include "net/SocketsTCP.h"

#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <cstring>

namespace corvan {

ATCPClientSocket::ATCPClientSocket() : ASocketExSendBuffer(TIPProtocol::ipTCP) {}

ATCPClientSocket::ATCPClientSocket(TSocketHandle handle, bool accepted, bool watchLater)
    : ASocketExSendBuffer(handle) {
    SetProtocol(TIPProtocol::ipTCP);
    if (accepted || SocketAvailable(handle) >= 0) {
        // Directly, without a state event: nobody can be listening yet.
        ResetStateTo(ssConnected);
        TSocketOrigin origin = accepted ? TSocketOrigin::soAccepted : TSocketOrigin::soUnknown;
        if (watchLater) {
            SetAsynchronousLater(origin);
            FlushSendBuffer(); // writable, as the registration's first notification would say
        } else {
            SetAsynchronous(origin);
        }
        RestartReadWindow();
    }
}

ATCPClientSocket::~ATCPClientSocket() = default;

void ATCPClientSocket::RestartReadWindow() {
    FReadWindow.Restart(GetTickCount());
}

void ATCPClientSocket::SetReadEventTrigger(int value) {
    int old = FReadEventTrigger;
    FReadEventTrigger = value;
    if (FReadSuspended && (value < 0 || value > old))
        ResumeReading();
}

void ATCPClientSocket::ProcessSocketEvent(uint32_t events, int error) {
    if (events & READY_CLOSE) {
        if (!FReceiveEnded)
            DoRead(true); // take in whatever is left
        // The peer's end of data with the own sending side still open (or still draining):
        // only receiving ends.
        if (error == 0 && FAllowHalfClose && State() == ssConnected && !FSendShutDownDone) {
            FReceiveEnded = true;
            return;
        }
        if (error != 0)
            SetError(error);
        CloseNow();
        return;
    }
    if (events & READY_READ)
        DoRead();
    ASocketExSendBuffer::ProcessSocketEvent(events, error);
}

void ATCPClientSocket::TriggerDataAvailable() {
    if (OnDataAvailable)
        OnDataAvailable(this);
}

void ATCPClientSocket::TriggerClose() {
    if (OnClose)
        OnClose(this);
}

void ATCPClientSocket::ResumeReading() {
    // One pending resume is enough: a reader taking bytes one at a time must not flood the
    // queue with notifications.
    if (FResumePosted)
        return;
    FResumePosted = PostSocketEvent(READY_READ);
}

void ATCPClientSocket::DoRead(bool drain) {
    FResumePosted = false;
    if (FReceiveEnded)
        return;
    long n = Available();
    if (n > 0)
        TriggerDataAvailable();
    long taken = 0;
    bool allTaken = false; // the last receive took all the system reported
    while (FReadEventTrigger < 0 || static_cast<size_t>(FReadEventTrigger) > FBufferUsed) {
        // The last receive re-armed the notification: the rest comes with the next one. It
        // also tells of bytes that came after the system was asked, so nothing is asked
        // again now (only to find nothing, mostly).
        if (!drain && (taken >= kReadEventLimit || allTaken)) {
            FReadSuspended = false;
            return;
        }
        long reported = n;
        if (n <= 0)
            n = kReadProbeSize;
        if (!drain)
            n = std::min(n, kReadEventLimit - taken);
        long got = ReadIntoBuffer(n);
        if (got < 1) {
            FReadSuspended = false;
            return;
        }
        taken += got;
        TriggerDataAvailable();
        allTaken = reported > 0 && got >= reported;
        n = allTaken && !drain ? 0 : Available();
    }
    FReadSuspended = true;
}

long ATCPClientSocket::Available() {
    if (SocketHandle() == INVALID_SOCKETHANDLE)
        return 0;
    long n = SocketAvailable(SocketHandle());
    if (n <= 0)
        return 0;
    if (FThrottleRead && State() == ssConnected)
        n = static_cast<long>(FReadWindow.Allowance(n, ReadThrottleRate(), GetTickCount()));
    return n;
}

long ATCPClientSocket::RecvThrottled(void* buf, long size) {
    if (SocketHandle() == INVALID_SOCKETHANDLE || size <= 0)
        return 0;
    size = ReadAllowance(size);
    if (size == 0)
        return 0;
    long n = RecvData(buf, static_cast<size_t>(size));
    if (n > 0)
        CountReceived(n);
    return n;
}

char* ATCPClientSocket::ReadRoom(long size) {
    size_t need = FReadOffset + FBufferUsed + static_cast<size_t>(size);
    if (need > FReadCapacity)
        SetReadCapacity(need + need / 4);
    return FReadBuffer.get() + FReadOffset + FBufferUsed;
}

long ATCPClientSocket::ReadIntoBuffer(long size) {
    long n = RecvThrottled(ReadRoom(size), size);
    if (n > 0)
        FBufferUsed += static_cast<size_t>(n);
    return n;
}

bool ATCPClientSocket::ReadUnwatched() {
    if (!MayReadUnwatched())
        return false;
    long room = kReadProbeSize;
    if (FReadEventTrigger >= 0)
        room = std::min(room, static_cast<long>(FReadEventTrigger) - static_cast<long>(FBufferUsed));
    if (room <= 0)
        return true; // at the trigger: the reader has what it waits for
    long n = RecvUnwatched(ReadRoom(room), static_cast<size_t>(room));
    if (n > 0) {
        FBufferUsed += static_cast<size_t>(n);
        CountReceived(n);
        TriggerDataAvailable();
    }
    return WatchPending();
}

void ATCPClientSocket::SetReadCapacity(size_t capacity) {
    // A new block, so that a smaller capacity really gives the memory back; the unread bytes
    // move to its front.
    std::unique_ptr<char[]> block(new char[capacity]);
    if (FBufferUsed > 0)
        std::memcpy(block.get(), FReadBuffer.get() + FReadOffset, FBufferUsed);
    FReadBuffer = std::move(block);
    FReadCapacity = capacity;
    FReadOffset = 0;
}

void ATCPClientSocket::Consume(size_t size) {
    if (size == 0)
        return;
    FReadOffset += size;
    FBufferUsed -= size;
    if (FReadCapacity >= kReadBufferCompactCapacity &&
        (FBufferUsed < kReadBufferCompactRemainder || FReadOffset > FReadCapacity / 2))
        SetReadCapacity(std::max(FBufferUsed, kReadBufferCompactCapacity));
    else if (FBufferUsed == 0)
        FReadOffset = 0;
    if (FReadSuspended)
        ResumeReading();
}

long ATCPClientSocket::Read(void* buf, long size) {
    if (size <= 0)
        return 0;
    long fromBuffer = std::min<long>(size, static_cast<long>(FBufferUsed));
    if (fromBuffer > 0) {
        std::memcpy(buf, FReadBuffer.get() + FReadOffset, static_cast<size_t>(fromBuffer));
        Consume(static_cast<size_t>(fromBuffer));
    }
    long done = fromBuffer;
    while (done < size && !FReceiveEnded) {
        long n = RecvThrottled(static_cast<char*>(buf) + done, size - done);
        if (n < 1)
            break;
        done += n;
    }
    return done;
}

std::string ATCPClientSocket::ReadStr(long size) {
    if (size <= 0)
        return "";
    if (FBufferUsed >= 1 && FBufferUsed <= static_cast<size_t>(size)) {
        std::string r(Buffered());
        Consume(r.size());
        return r;
    }
    std::string r(static_cast<size_t>(size), '\0');
    r.resize(static_cast<size_t>(std::max<long>(Read(r.data(), size), 0)));
    return r;
}

std::string ATCPClientSocket::ReadAvailable() {
    std::string r(Buffered());
    bool suspended = FReadSuspended;
    FReadBuffer.reset();
    FReadCapacity = 0;
    FReadOffset = 0;
    FBufferUsed = 0;
    if (suspended && !r.empty())
        ResumeReading();
    return r;
}

long ATCPClientSocket::Peek(void* buf, long size) const {
    long n = std::min<long>(std::max<long>(size, 0), static_cast<long>(FBufferUsed));
    if (n > 0)
        std::memcpy(buf, FReadBuffer.get() + FReadOffset, static_cast<size_t>(n));
    return n;
}

std::string ATCPClientSocket::PeekStr(long size) const {
    return std::string(Buffered().substr(0, static_cast<size_t>(std::max<long>(size, 0))));
}

long ATCPClientSocket::Skip(long size) {
    long n = std::min<long>(std::max<long>(size, 0), static_cast<long>(FBufferUsed));
    Consume(static_cast<size_t>(n));
    return n;
}

namespace {
bool SameChar(char a, char b, bool caseInsensitive) {
    return caseInsensitive ? AsciiLower(a) == AsciiLower(b) : a == b;
}
} // namespace

long ATCPClientSocket::Locate(char c, bool caseInsensitive) const {
    std::string_view b = Buffered();
    for (size_t i = 0; i < b.size(); ++i)
        if (SameChar(b[i], c, caseInsensitive))
            return static_cast<long>(i);
    return -1;
}

long ATCPClientSocket::LocateAny(std::string_view chars, bool caseInsensitive) const {
    std::string_view b = Buffered();
    for (size_t i = 0; i < b.size(); ++i)
        for (char c : chars)
            if (SameChar(b[i], c, caseInsensitive))
                return static_cast<long>(i);
    return -1;
}

long ATCPClientSocket::LocateStr(std::string_view s, bool caseInsensitive) const {
    std::string_view b = Buffered();
    if (b.empty() || s.empty() || s.size() > b.size())
        return -1;
    for (size_t i = 0; i + s.size() <= b.size(); ++i)
        if (caseInsensitive ? EqualNoCase(b.substr(i, s.size()), s) : b.substr(i, s.size()) == s)
            return static_cast<long>(i);
    return -1;
}

bool ATCPClientSocket::StartsWith(std::string_view s, bool caseInsensitive) const {
    std::string_view b = Buffered();
    if (s.size() > b.size())
        return false;
    return caseInsensitive ? EqualNoCase(b.substr(0, s.size()), s) : b.substr(0, s.size()) == s;
}

long ATCPClientSocket::LocateEOL() const {
    long p = LocateAny("\r\n");
    if (p < 0 || static_cast<size_t>(p) + 1 >= FBufferUsed)
        return -1;
    return p;
}

long ATCPClientSocket::Write(const void* buf, long size) {
    CheckConnected();
    if (FSendShutDown)
        RaiseError("Socket sending side shut down", WSAESHUTDOWN);
    if (size <= 0)
        return 0;
    const char* p = static_cast<const char*>(buf);
    long sent = 0;
    if (CanSendDirectly()) {
        while (sent < size) {
            int64_t chunk = GetWriteSize(size - sent);
            if (chunk <= 0)
                break;
            long n = SendData(p + sent, static_cast<size_t>(chunk));
            int error = SendResult(n);
            if (n <= 0) {
                SendFailed(error);
                break;
            }
            sent += n;
        }
    }
    if (sent == size)
        return size;
    if (!UseSendBuffer)
        return sent;
    AppendSendBuffer(std::string(p + sent, static_cast<size_t>(size - sent)));
    return size;
}

long ATCPClientSocket::ReadAllowance(long size) {
    if (FThrottleRead && State() == ssConnected)
        size = static_cast<long>(FReadWindow.Allowance(size, ReadThrottleRate(), GetTickCount()));
    return size;
}

void ATCPClientSocket::CountReceived(long n) {
    FReadWindow.Add(n);
    FBytesReceived.fetch_add(n, std::memory_order_relaxed);
    FSentAtLastReceive = TotalBytesSent();
}

long ATCPClientSocket::SpliceReadTo(int pipeWrite, long size) {
    if (SocketHandle() == INVALID_SOCKETHANDLE || size <= 0 || FReceiveEnded)
        return 0;
    size = ReadAllowance(size);
    if (size == 0)
        return 0;
    long n = SpliceRecvData(pipeWrite, static_cast<size_t>(size));
    if (n > 0) {
        CountReceived(n);
        return n;
    }
    if (n == 0)
        return 0;
    int error = SocketGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? 0 : -1;
}

long ATCPClientSocket::SpliceWriteFrom(int pipeRead, long size) {
    if (size <= 0 || !IsConnected() || FSendShutDown || SendBufferSize() > 0 ||
        SocketHandle() == INVALID_SOCKETHANDLE)
        return 0;
    int64_t chunk = GetWriteSize(size);
    if (chunk <= 0)
        return 0;
    long n = SpliceSendData(pipeRead, static_cast<size_t>(chunk));
    int error = SendResult(n);
    if (n >= 0)
        return n;
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        return 0;
    SendFailed(error);
    SocketSetLastError(error);
    return -1;
}

void ATCPClientSocket::SendBufferedData() {
    auto& items = SendBuffer();
    while (!items.empty()) {
        TSendBufferItem& item = items.front();
        int64_t chunk = GetWriteSize(static_cast<int64_t>(item.Remaining()));
        if (chunk <= 0)
            return;
        long n = SendData(item.Data.data() + item.Offset, static_cast<size_t>(chunk));
        int error = SendResult(n);
        if (n <= 0) {
            SendFailed(error);
            return;
        }
        SendBufferConsumed(n);
        item.Offset += static_cast<size_t>(n);
        if (item.Remaining() == 0)
            items.pop_front();
    }
}

void ATCPClientSocket::TriggerSendBufferEmpty() {
    if (FClosePending) {
        FClosePending = false;
        SocketShutdown(SocketHandle(), TShutdownHow::sdSend);
        CloseNow();
        return;
    }
    if (FSendShutDown && !FSendShutDownDone) {
        FinishShutdownSend();
        if (State() == ssClosed)
            return;
    }
    ASocketExSendBuffer::TriggerSendBufferEmpty();
}

void ATCPClientSocket::SetAllowHalfClose(bool value) {
    FAllowHalfClose = value;
    if (!value && FReceiveEnded && State() == ssConnected)
        PostSocketEvent(READY_CLOSE, 0);
}

void ATCPClientSocket::ShutdownSend() {
    if (FSendShutDown || !IsConnected() || SocketHandle() == INVALID_SOCKETHANDLE)
        return;
    FSendShutDown = true;
    if (SendBufferSize() == 0)
        FinishShutdownSend();
    // Otherwise TriggerSendBufferEmpty finishes it after the last send.
}

void ATCPClientSocket::FinishShutdownSend() {
    FSendShutDownDone = true;
    if (SocketShutdown(SocketHandle(), TShutdownHow::sdSend) != 0) {
        // The connection is gone already (reset): receiving reports it, or nothing would.
        SendFailed(SocketGetLastError());
        return;
    }
    if (FReceiveEnded)
        CloseNow(); // both ways have ended
}

void ATCPClientSocket::SendFailed(int error) {
    if (!FReceiveEnded || FSendFailurePosted || error == 0 || error == WSAEWOULDBLOCK ||
        error == WSAEINTR)
        return;
    FSendFailurePosted = PostSocketEvent(READY_CLOSE, error);
}

void ATCPClientSocket::Close(bool graceful) {
    if (State() == ssClosed || SocketHandle() == INVALID_SOCKETHANDLE)
        return;
    if (graceful && SendBufferSize() > 0) {
        // Shutting down now would make the buffered bytes unsendable: the shutdown follows
        // the last send instead.
        FClosePending = true;
        return;
    }
    SocketShutdown(SocketHandle(), TShutdownHow::sdSend);
    CloseNow();
}

bool ATCPClientSocket::Releasable() const {
    // A shutdown asked for is not handed over: it belongs after this socket's own unsent
    // bytes, and nothing relayed may follow it.
    return State() == ssConnected && !Terminated() && !FClosePending && !FSendShutDown &&
           SocketHandle() != INVALID_SOCKETHANDLE;
}

bool ATCPClientSocket::ReleaseToRelay(TRelayEnd& end) {
    if (!Releasable())
        return false;
    end.Unread = ReadAvailable();
    for (const TSendBufferItem& item : SendBuffer())
        end.Unsent.append(item.Data, item.Offset);
    ClearSendBuffer();
    end.ReceiveEnded = FReceiveEnded;
    end.AwaitsAnswer = end.Unread.empty() && AwaitsAnswer();
    end.Throttle = {FThrottleRead, ReadThrottleRate(), ThrottleWrite(), WriteThrottleRate()};
    end.Handle = ReleaseHandle(end.OwnConnection);
    FKnownPeer = TSocketAddr();
    ResetStateTo(ssClosed);
    UpdateTimer();
    FReceiveEnded = false;
    FSendShutDown = false;
    FSendShutDownDone = false;
    FSendFailurePosted = false;
    return true;
}

void ATCPClientSocket::CloseNow() {
    if (State() == ssClosed && SocketHandle() == INVALID_SOCKETHANDLE)
        return;
    FClosePending = false;
    SetState(ssClosed);
    UpdateTimer();
    TriggerClose();
    CloseHandle();
    FKnownPeer = TSocketAddr();
    ClearSendBuffer();
    // A connection made again starts with both ways open.
    FReceiveEnded = false;
    FSendShutDown = false;
    FSendShutDownDone = false;
    FSendFailurePosted = false;
}

bool ATCPClientSocket::NeedsTimer() const {
    return (ThrottleWrite() || FThrottleRead) && State() == ssConnected;
}

void ATCPClientSocket::SetThrottleRead(bool value) {
    SetThrottleSwitch(1, value);
}

void ATCPClientSocket::ApplyThrottleSwitch(uintptr_t which, bool value) {
    if (which != 1) {
        ASocketExSendBuffer::ApplyThrottleSwitch(which, value);
        return;
    }
    if (value == FThrottleRead)
        return; // nothing waited for the limiter, or still does
    FThrottleRead = value;
    ThrottleSwitched(value, READY_READ);
}

void ATCPClientSocket::TriggerTimer() {
    ASocketExSendBuffer::TriggerTimer();
    if (FThrottleRead)
        DoRead();
}

int64_t ATCPClientSocket::GetReadRate() {
    FReadWindow.Update(GetTickCount());
    return FReadWindow.Rate;
}

bool ATCPClientSocket::GetPeerAddress(TSocketAddr& addr) const {
    if (FKnownPeer.AddrFamily != TIPAddressFamily::iaNone &&
        SocketHandle() != INVALID_SOCKETHANDLE) {
        addr = FKnownPeer;
        return true;
    }
    return SocketGetPeerName(SocketHandle(), addr) == 0;
}

uint32_t ATCPClientSocket::GetRemoteAddress() {
    CheckConnected();
    TSocketAddr addr;
    if (!GetPeerAddress(addr) || addr.AddrFamily != TIPAddressFamily::iaIP4)
        return INADDR_FAILURE;
    return addr.AddrIP4();
}

std::string ATCPClientSocket::GetRemoteAddressStr() {
    uint32_t a = GetRemoteAddress();
    if (a == INADDR_FAILURE) {
        // Not IPv4: an IPv6 peer in its usual text form.
        TSocketAddr addr;
        if (GetPeerAddress(addr) && addr.AddrFamily == TIPAddressFamily::iaIP6)
            return SocketAddrStr(addr);
        return "";
    }
    if (a == 0)
        return "";
    return IPAddressStr(a);
}

std::string ATCPClientSocket::GetRemoteHostName() {
    if (FRemoteNameCached)
        return FRemoteName;
    uint32_t a = GetRemoteAddress();
    if (a == 0 || a == INADDR_FAILURE)
        return "";
    try {
        FRemoteName = ReverseLookup(TSocketAddr::IP4(a));
    } catch (const ESocketLib&) {
        FRemoteName.clear();
    }
    if (FRemoteName.empty())
        FRemoteName = IPAddressStr(a);
    FRemoteNameCached = true;
    return FRemoteName;
}

} // namespace corvan
