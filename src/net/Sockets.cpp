#include "net/Sockets.h"

#include "net/OwnConnections.h"

#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>

namespace corvan {

std::string SocketErrorMessage(int code) {
    if (code == 0)
        return "";
    if (code < 20000)
        return SocketErrorText(code);
    switch (code) {
    case 20001:
        return "Operation only allowed on closed socket";
    case 20002:
        return "Socket not connected";
    case 20003:
        return "Can not set socket handle";
    case 20004:
        return "Can not set protocol";
    case 20005:
        return "Host not resolved";
    case 30001:
        return "Proxy required";
    case 40001:
        return "General socks server failure";
    case 40002:
        return "Connection not allowed by rule set";
    case 40003:
        return "Network unreachable";
    case 40004:
        return "Host unreachable";
    case 40005:
        return "Connection refused";
    case 40006:
        return "Socks error: TTL expired";
    case 40007:
        return "Socks command not supported";
    case 40008:
        return "Address type not supported";
    case 40101:
        return "Socks negotiation failed";
    case 40102:
        return "Socks authentication failed";
    case 50001:
        return "Invalid HTTP response";
    case 50002:
        return "HTTP tunnel failed";
    case 60001:
        return "System error";
    case 60002:
        return "Resource error";
    case 60003:
        return "Application error";
    case 60004:
        return "Client error";
    case 60005:
        return "Server error";
    case 60006:
        return "Proxy error";
    case 60007:
        return "Prtotocol error";
    case 60008:
        return "Timeout";
    case 60009:
        return "Connect error";
    case 60010:
        return "Aborted";
    default:
        break;
    }
    const char* category = code >= 70000   ? "user "
                           : code >= 60000 ? "general "
                           : code >= 50000 ? "http-tunnel "
                           : code >= 40000 ? "socks "
                           : code >= 30000 ? "proxy "
                                           : "";
    return Format("Socket %serror #%d", category, code);
}

// --- rate window ------------------------------------------------------------------------------

void TRateWindow::Restart(uint32_t now) {
    StartTick = now;
    Count = 0;
    Rate = 0;
}

uint32_t TRateWindow::Update(uint32_t now) {
    uint32_t elapsed = TickDelta(now, StartTick);
    if (elapsed > 1000) {
        Rate = Count * 1000 / static_cast<int64_t>(elapsed);
        while (elapsed > 50) {
            elapsed /= 2;
            Count /= 2;
        }
        StartTick = now - elapsed;
    }
    return elapsed;
}

int64_t TRateWindow::Allowance(int64_t size, int64_t maxRate, uint32_t now) {
    uint32_t elapsed = Update(now);
    // 64-bit: with 32 bits the product overflows above about 2 MB/s and the limit would stall.
    int64_t allowed = ((static_cast<int64_t>(elapsed) + 20) * maxRate) / 1000 - Count;
    return std::clamp<int64_t>(allowed, 0, std::max<int64_t>(size, 0));
}

// --- ASocket ----------------------------------------------------------------------------------

ASocket::ASocket() {
    Init();
}

ASocket::ASocket(TIPProtocol protocol) {
    Init();
    FProtocol = protocol;
}

ASocket::ASocket(TSocketHandle handle) {
    Init();
    FHandle = handle;
}

void ASocket::Init() {
    EnsureSocketsStarted();
}

ASocket::~ASocket() {
    ResetSocket();
    if (FRare)
        FRare->DoneLookups.clear();
}

ASocket::TRarePart& ASocket::Rare() {
    if (!FRare)
        FRare = std::make_unique<TRarePart>();
    return *FRare;
}

const std::string& ASocket::EmptyText() {
    static const std::string empty;
    return empty;
}

void ASocket::SetProtocol(TIPProtocol protocol) {
    if (protocol == FProtocol)
        return;
    CheckClosed("SetProtocol");
    FProtocol = protocol;
}

void ASocket::SetLocalHost(const std::string& value) {
    if (value == LocalHost())
        return;
    CheckClosed("SetLocalHost");
    Rare().LocalHost = value;
}

void ASocket::SetLocalPort(const std::string& value) {
    if (value == LocalPort())
        return;
    CheckClosed("SetLocalPort");
    Rare().LocalPort = value;
}

void ASocket::SetState(TSocketState state) {
    if (state == FState)
        return;
    TSocketState old = FState;
    FState = state;
    TriggerStateChange(old, state);
}

void ASocket::TriggerStateChange(TSocketState oldState, TSocketState state) {
    if (OnStateChange)
        OnStateChange(this, oldState, state);
}

std::string ASocket::ErrorMessage() const {
    if (FErrorCode == 0)
        return "";
    if (FRare && !FRare->ErrorMessage.empty())
        return FRare->ErrorMessage;
    return SocketErrorMessage(FErrorCode);
}

void ASocket::SetError(int code, const std::string& message) {
    FErrorCode = code;
    if (!message.empty())
        Rare().ErrorMessage = message;
    else if (FRare)
        FRare->ErrorMessage.clear();
    if (code != 0 && OnError)
        OnError(this);
}

void ASocket::ClearError() {
    FErrorCode = 0;
    if (FRare)
        FRare->ErrorMessage.clear();
}

void ASocket::RaiseError(const std::string& message, int code) {
    SetError(code, message);
    throw ESocket(message, code);
}

void ASocket::RaiseSocketError(const std::string& message, int code) {
    std::string text = JoinMessage(message, SocketErrorMessage(code));
    RaiseError(text, code);
    throw ESocket(text, code); // an override of RaiseError that returns still raises here
}

void ASocket::RaiseLastSocketError(const std::string& message) {
    RaiseSocketError(message, SocketGetLastError());
}

void ASocket::CheckClosed(const std::string& operationName) {
    if (FState != ssClosed)
        RaiseError("Operation only allowed on closed socket: " + operationName,
                   SOCKET_ERR_NOT_CLOSED);
}

void ASocket::CheckConnected() {
    if (!IsConnected())
        RaiseError("Socket not connected", SOCKET_ERR_NOT_CONNECTED);
}

TSocketHandle ASocket::GetSocketHandle(bool nonBlocking) {
    if (FHandle == INVALID_SOCKETHANDLE) {
        TSocketHandle h = INVALID_SOCKETHANDLE;
        try {
            h = AllocateSocketHandle(FFamily, FProtocol, nonBlocking);
        } catch (const ESocketLib& e) {
            RaiseError(e.Message(), e.ErrorCode);
        }
        std::lock_guard<std::mutex> lock(FHandleLock);
        FHandle = h;
    }
    return FHandle;
}

void ASocket::SetAddressFamily(TIPAddressFamily family) {
    if (family == FFamily)
        return;
    if (FHandle != INVALID_SOCKETHANDLE)
        RaiseError("Address family can not be set on a socket with a handle", SOCKET_ERR_HANDLE);
    FFamily = family;
}

void ASocket::AdoptWatchedHandle(TSocketHandle handle, TIPAddressFamily family, bool own) {
    CloseHandle();
    FFamily = family;
    FRegistered = true;
    FMayRead = true;
    FOwnConnection = own;
    std::lock_guard<std::mutex> lock(FHandleLock);
    FHandle = handle;
}

void ASocket::SetSocketHandle(TSocketHandle handle) {
    if (handle == FHandle)
        return;
    if (FState == ssNegotiating || FState == ssConnected || FState == ssListening)
        RaiseError("Socket handle can not be set on open socket", SOCKET_ERR_HANDLE);
    CloseHandle();
    std::lock_guard<std::mutex> lock(FHandleLock);
    FHandle = handle;
}

void ASocket::CloseHandle() {
    if (FHandle == INVALID_SOCKETHANDLE)
        return;
    // Unregister first: queued notifications of this handle go with it, so a later handle
    // with the same number never sees them.
    if (FRegistered && MailboxLoop())
        MailboxLoop()->UnwatchSocket(FHandle);
    FRegistered = false;
    FWatchLater = false;
    FConnectPending = false;
    // Before the close: the same two ends may belong to a new connection right after.
    if (FOwnConnection)
        UnregisterOwnConnection(FHandle);
    FOwnConnection = false;
    std::lock_guard<std::mutex> lock(FHandleLock);
    SocketClose(FHandle);
    FHandle = INVALID_SOCKETHANDLE;
}

TSocketHandle ASocket::ReleaseHandle(bool& ownConnection) {
    if (FRegistered && MailboxLoop())
        MailboxLoop()->UnwatchSocket(FHandle);
    FRegistered = false;
    FWatchLater = false;
    FConnectPending = false;
    ownConnection = FOwnConnection;
    FOwnConnection = false;
    std::lock_guard<std::mutex> lock(FHandleLock);
    TSocketHandle handle = FHandle;
    FHandle = INVALID_SOCKETHANDLE;
    return handle;
}

void ASocket::MarkOwnConnection() {
    // Entered as the connect started, with the ends it has for good (the connect call binds
    // the local end): asking the system again would only repeat them.
    if (!FOwnConnection)
        FOwnConnection = RegisterOwnConnection(FHandle);
}

void ASocket::FreeLookups() {
    if (!FRare)
        return;
    for (auto& lookup : FRare->HostLookups)
        lookup->Cancel();
    FRare->HostLookups.clear();
}

void ASocket::ResetSocket() {
    FState = ssClosed;
    FreeLookups();
    CloseHandle();
}

bool ASocket::OnForeignThread() const {
    // The mailbox handle is published after its loop, so the loop may be read once it is seen.
    if (HasMailbox())
        if (TMessageLoop* loop = MailboxLoop())
            return !loop->IsOwnerThread();
    // No mailbox yet: the socket still belongs to the thread that made it, which may be about
    // to use the handle. No loop is no licence to close it from here.
    return std::this_thread::get_id() != FOwnerThread;
}

void ASocket::Terminate() {
    if (OnForeignThread()) {
        // Once the owner sees Terminated it may end its loop and free this socket, so the
        // flag is the last thing this thread touches: the message goes by handle number
        // (a message for a freed mailbox is dropped).
        TMailboxId window = Mailbox();
        {
            std::lock_guard<std::mutex> lock(FHandleLock);
            if (FHandle != INVALID_SOCKETHANDLE)
                SocketShutdown(FHandle, TShutdownHow::sdBoth);
        }
        TTimerHandle::Terminate();
        // Without a mailbox the message goes nowhere; the owner closes the handle when it
        // resets or frees the socket.
        PostToMailbox(window, MSG_SOCKET_TERMINATE, 0, 0);
        return;
    }
    TTimerHandle::Terminate();
    FreeLookups();
    ResetSocket();
}

namespace {
// The note that "any interface" serves IPv4 only, once per process.
void NoteNoIPv6() {
    static std::atomic<bool> noted{false};
    if (!noted.exchange(true))
        std::fprintf(stderr, "IPv6 is not available on this system: \"any interface\" "
                             "listens on IPv4 (0.0.0.0) only\n");
}
} // namespace

TSocketHandle ASocket::AllocateDualStackHandle() {
    TSocketHandle h = INVALID_SOCKETHANDLE;
    try {
        h = AllocateSocketHandle(TIPAddressFamily::iaIP6, FProtocol);
    } catch (const ESocketLib& e) {
        if (e.ErrorCode != WSAEAFNOSUPPORT)
            RaiseError(e.Message(), e.ErrorCode);
        NoteNoIPv6();
        return INVALID_SOCKETHANDLE;
    }
    // Off by default on most systems, but a system may switch it on for every socket.
    if (SocketSetV6Only(h, false) != 0) {
        int error = SocketGetLastError();
        SocketClose(h);
        RaiseSocketError("Socket bind failed", error);
    }
    FFamily = TIPAddressFamily::iaIP6;
    std::lock_guard<std::mutex> lock(FHandleLock);
    FHandle = h;
    return h;
}

void ASocket::Bind() {
    TSocketAddr address = TSocketAddr::IP4(0);
    uint16_t port = 0;
    bool anyInterface = LocalHost().empty();
    try {
        if (!anyInterface && !IsIPLiteral(LocalHost(), address))
            address = TSocketAddr::IP4(ResolveHostIP4Single(LocalHost()));
        if (!LocalPort().empty())
            port = ntohs(ResolvePort(LocalPort(), FProtocol));
    } catch (const ESocketLib& e) {
        RaiseError(JoinMessage("Socket bind failed", e.Message()), e.ErrorCode);
    }
    if (FHandle == INVALID_SOCKETHANDLE) {
        if (!anyInterface)
            FFamily = address.AddrFamily;
        else if (AllocateDualStackHandle() == INVALID_SOCKETHANDLE)
            FFamily = TIPAddressFamily::iaIP4;
    }
    if (anyInterface && FFamily == TIPAddressFamily::iaIP6)
        address = TSocketAddr::IP6({});
    address.Port = port;
    TSocketHandle h = GetSocketHandle();
    // Lets a restarted server bind while old connections linger in TIME_WAIT; Linux still
    // refuses a second listener on the same port.
    if (FProtocol == TIPProtocol::ipTCP)
        SocketSetReuseAddress(h, true);
    if (SocketBind(h, address) != 0)
        RaiseLastSocketError("Socket bind failed");
}

void ASocket::SetAsynchronous(TSocketOrigin origin) {
    SetAsynchronousLater(origin);
    WatchNow();
}

void ASocket::Watch() {
    TMailboxId window = GetMailbox();
    MailboxLoop()->WatchSocket(FHandle, window, AsyncEvents(), FConnectPending, FWatchOrigin);
    FRegistered = true;
    FWatchLater = false;
    FMayRead = true;
    FConnectPending = false;
}

void ASocket::SetAsynchronousLater(TSocketOrigin origin) {
    if (FHandle == INVALID_SOCKETHANDLE)
        return;
    if (origin == TSocketOrigin::soUnknown)
        try {
            SetSocketBlocking(FHandle, false);
        } catch (const ESocketLib& e) {
            RaiseSocketError("Asynchronous mode not set", e.ErrorCode);
        }
    // The mailbox now: a foreign Terminate and the throttle switches go through it.
    GetMailbox();
    FWatchOrigin = origin;
    FWatchLater = true;
}

void ASocket::WatchNow() {
    if (FWatchLater && FHandle != INVALID_SOCKETHANDLE)
        Watch();
}

std::string ASocket::GetLocalPort() {
    if (!LocalPort().empty())
        return LocalPort();
    if (!IsConnected() && FState != ssListening)
        return "";
    TSocketAddr addr;
    if (SocketGetSockName(FHandle, addr) != 0)
        RaiseLastSocketError("Error retrieving local name");
    return std::to_string(addr.Port);
}

void ASocket::StartHostLookup(const std::string& host, uint8_t method, bool allFamilies) {
    if (FRare)
        FRare->DoneLookups.clear();
    uint32_t v4;
    TSocketAddr literal;
    if (allFamilies ? IsIPLiteral(host, literal) : IsIPAddress(host, v4)) {
        DoHostResolvedAll(0, host, {allFamilies ? literal : TSocketAddr::IP4(v4)});
        return;
    }
    auto lookup = std::make_unique<TSocketHostLookup>();
    TSocketHostLookup* raw = lookup.get();
    lookup->AllFamilies = allFamilies;
    lookup->OnComplete = [this](TSocketHostLookup* l) { HostLookupComplete(l); };
    Rare().HostLookups.push_back(std::move(lookup));
    raw->Lookup(host, method);
}

void ASocket::HostLookupComplete(TSocketHostLookup* lookup) {
    // The lookup is still inside its own completion: keep it alive until a later call.
    if (!FRare)
        return;
    auto& pending = FRare->HostLookups;
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const auto& p) { return p.get() == lookup; });
    if (it == pending.end())
        return;
    FRare->DoneLookups.push_back(std::move(*it));
    pending.erase(it);
    DoHostResolvedAll(lookup->ErrorCode(), lookup->Host, lookup->AllAddresses());
}

void ASocket::DoHostResolvedAll(int error, const std::string& host,
                                const TSocketAddrArray& addresses) {
    auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const TSocketAddr& a) {
        return a.AddrFamily == TIPAddressFamily::iaIP4;
    });
    uint32_t address = error == 0 && v4 != addresses.end() ? v4->AddrIP4() : 0;
    if (error == 0 && v4 == addresses.end())
        error = WSANO_DATA;
    DoHostResolved(error, host, address);
}

intptr_t ASocket::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg == MSG_SOCKET && FHandle != INVALID_SOCKETHANDLE &&
        wParam == static_cast<uintptr_t>(FHandle)) {
        FMayRead = true;
        ProcessSocketEvent(SelectEvents(lParam), SelectError(lParam));
        return 0;
    }
    if (msg == MSG_SOCKET_TERMINATE) {
        FreeLookups();
        ResetSocket();
        return 0;
    }
    if (msg == MSG_SOCKET_THROTTLE) {
        ApplyThrottleSwitch(wParam, lParam != 0);
        return 0;
    }
    return TTimerHandle::HandleLoopMessage(msg, wParam, lParam);
}

bool ASocket::PostSocketEvent(uint32_t events, int error) {
    if (FHandle == INVALID_SOCKETHANDLE)
        return false;
    return PostToSelf(MSG_SOCKET, static_cast<uintptr_t>(FHandle),
                             MakeSelectLParam(events, error));
}

void ASocket::EnableEvent(uint32_t event, int error) {
    WatchNow(); // what would have been reported has to be, from now on
    if (FRegistered && MailboxLoop())
        MailboxLoop()->AsyncEnable(FHandle, event, error);
}

long ASocket::RecvData(void* buf, size_t size) {
    if (size == 0)
        return 0;
    // Registered before the receive: a refused registration raises with no bytes taken.
    WatchNow();
    // Level-triggered: the notification armed by the last empty receive reports new bytes.
    bool watched = FRegistered && MailboxLoop() && (AsyncEvents() & READY_READ) != 0;
    if (watched && !FMayRead) {
        SocketSetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    long n = Received(SocketRecv(FHandle, buf, size));
    if (watched && n < 0 && SocketGetLastError() == WSAEWOULDBLOCK)
        FMayRead = false;
    return n;
}

long ASocket::RecvUnwatched(void* buf, size_t size) {
    if (size == 0)
        return 0;
    long n = SocketRecv(FHandle, buf, size);
    if (n > 0)
        return n;
    int err = SocketGetLastError();
    if (n < 0 && (err == WSAEWOULDBLOCK || err == WSAEINTR))
        return n;
    return Received(n);
}

long ASocket::SpliceRecvData(int pipeWrite, size_t size) {
    if (size == 0)
        return 0;
    WatchNow(); // as in RecvData: a refused registration takes no bytes
    long n = SocketSplice(FHandle, pipeWrite, size);
    // A pipe that cannot be spliced into says nothing about the connection: no notification.
    if (n < 0 && SpliceUnsupported(SocketGetLastError()))
        return n;
    return Received(n);
}

long ASocket::Received(long n) {
    if (n > 0) {
        EnableEvent(READY_READ);
        return n;
    }
    if (n == 0) {
        EnableEvent(READY_CLOSE, 0);
        return 0;
    }
    int err = SocketGetLastError();
    switch (err) {
    case WSAEWOULDBLOCK:
    case WSAEINTR:
        EnableEvent(READY_READ);
        break;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAETIMEDOUT:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
        EnableEvent(READY_CLOSE, err);
        break;
    default:
        break;
    }
    SocketSetLastError(err);
    return n;
}

long ASocket::SendData(const void* buf, size_t size) {
    long n = SocketSend(FHandle, buf, size);
    if (n < 0 && SocketGetLastError() == WSAEWOULDBLOCK)
        EnableEvent(READY_WRITE);
    return n;
}

long ASocket::SpliceSendData(int pipeRead, size_t size) {
    long n = SocketSplice(pipeRead, FHandle, size);
    if (n < 0 && SocketGetLastError() == WSAEWOULDBLOCK)
        EnableEvent(READY_WRITE);
    return n;
}

bool IsResourceExhaustion(int error) {
    return error == WSAEMFILE || error == WSAENOBUFS || error == WSA_NOT_ENOUGH_MEMORY;
}

TSocketHandle ASocket::AcceptConnection(TSocketAddr* peer) {
    TSocketHandle h = SocketAccept(FHandle, peer, true);
    int err = SocketGetLastError();
    // Out of descriptors or memory the connection stays queued: re-arming now would report it
    // again at once and spin. The caller retries later (see TTCPServerSocket).
    if (h != INVALID_SOCKETHANDLE || !IsResourceExhaustion(err))
        EnableEvent(READY_ACCEPT);
    SocketSetLastError(err);
    return h;
}

int ASocket::ConnectTo(const TSocketAddr& addr, bool watched) {
    int r;
    if (FProtocol == TIPProtocol::ipTCP) {
        // Own from the start: a connection to this program may be accepted, and asked
        // about, before this socket hears that it stands.
        bool own = false;
        r = ConnectOwnConnection(GetSocketHandle(), addr, own);
        FOwnConnection = FOwnConnection || own;
    } else {
        r = SocketConnect(GetSocketHandle(), addr);
    }
    if (r == 0 || SocketGetLastError() == WSAEINPROGRESS) {
        FConnectPending = !FRegistered;
        if (watched)
            EnableEvent(READY_CONNECT);
        if (r != 0) {
            SocketSetLastError(WSAEWOULDBLOCK); // the Windows socket library's answer
            return -1;
        }
    }
    return r;
}

void ASocket::ConnectAnswered(bool stands) {
    FConnectPending = false;
    if (stands && FWatchLater)
        FWatchOrigin = TSocketOrigin::soConnected;
}

int ASocket::ListenOn(int backlog) {
    int r = SocketListen(GetSocketHandle(), backlog);
    if (r == 0)
        EnableEvent(READY_ACCEPT);
    return r;
}

long ASocket::RecvDatagram(void* buf, size_t size, TSocketAddr* from, bool* truncated) {
    return ReceivedDatagrams(SocketRecvFrom(FHandle, buf, size, from, truncated));
}

long ASocket::SendDatagram(const void* buf, size_t size, const TSocketAddr& to) {
    return SentDatagrams(SocketSendTo(FHandle, buf, size, to));
}

long ASocket::RecvDatagrams(TDatagram* items, size_t count) {
    return ReceivedDatagrams(SocketRecvBatch(FHandle, items, count));
}

long ASocket::SendDatagrams(const TDatagram* items, size_t count) {
    return SentDatagrams(SocketSendBatch(FHandle, items, count));
}

long ASocket::ReceivedDatagrams(long n) {
    int err = SocketGetLastError();
    EnableEvent(READY_READ);
    SocketSetLastError(err);
    return n;
}

long ASocket::SentDatagrams(long n) {
    if (n < 0 && SocketGetLastError() == WSAEWOULDBLOCK)
        EnableEvent(READY_WRITE);
    return n;
}

// --- ASocketExSendBuffer ----------------------------------------------------------------------

ASocketExSendBuffer::ASocketExSendBuffer() {
    InitSendBuffer();
}
ASocketExSendBuffer::ASocketExSendBuffer(TIPProtocol protocol) : ASocket(protocol) {
    InitSendBuffer();
}
ASocketExSendBuffer::ASocketExSendBuffer(TSocketHandle handle) : ASocket(handle) {
    InitSendBuffer();
}

void ASocketExSendBuffer::InitSendBuffer() {
    SetTimerInterval(kThrottleTimerInterval);
    FWriteWindow.Restart(GetTickCount());
}

ASocketExSendBuffer::~ASocketExSendBuffer() {
    ClearSendBuffer();
}

void ASocketExSendBuffer::ProcessSocketEvent(uint32_t events, int error) {
    if (events & READY_WRITE)
        FlushSendBuffer();
}

void ASocketExSendBuffer::FlushSendBuffer() {
    FWriteReady = true;
    if (FSendBuffer.empty())
        return;
    SendBufferedData();
    if (FSendBuffer.empty())
        TriggerSendBufferEmpty();
}

void ASocketExSendBuffer::TriggerSendBufferEmpty() {
    if (OnSendBufferEmpty)
        OnSendBufferEmpty(this);
}

void ASocketExSendBuffer::UpdateTimer() {
    SetTimerActive(NeedsTimer());
}

void ASocket::SetThrottleSwitch(uintptr_t which, bool value) {
    if (OnForeignThread() && HasMailbox())
        PostToMailbox(Mailbox(), MSG_SOCKET_THROTTLE, which, value ? 1 : 0);
    else
        ApplyThrottleSwitch(which, value);
}

void ASocketExSendBuffer::SetThrottleWrite(bool value) {
    SetThrottleSwitch(0, value);
}

void ASocketExSendBuffer::ApplyThrottleSwitch(uintptr_t which, bool value) {
    if (which != 0 || value == FThrottleWrite)
        return; // nothing waited for the limiter, or still does
    FThrottleWrite = value;
    ThrottleSwitched(value, READY_WRITE);
}

void ASocketExSendBuffer::ThrottleSwitched(bool value, uint32_t resumeEvent) {
    UpdateTimer();
    // Switched off: what waited for the limiter moves now, not at the next notification.
    if (!value && State() == ssConnected)
        PostSocketEvent(resumeEvent);
}

void ASocketExSendBuffer::TriggerTimer() {
    if (FThrottleWrite)
        FlushSendBuffer();
    ASocket::TriggerTimer();
}

int64_t ASocketExSendBuffer::GetWriteSize(int64_t size) {
    if (FThrottleWrite && State() == ssConnected)
        return FWriteWindow.Allowance(size, WriteThrottleRate(), GetTickCount());
    return size;
}

int ASocketExSendBuffer::SendResult(long result) {
    if (result >= 0) {
        FWriteWindow.Add(result);
        FBytesSent.fetch_add(result, std::memory_order_relaxed);
        return 0;
    }
    int err = SocketGetLastError();
    if (err == WSAEWOULDBLOCK)
        FWriteReady = false;
    return err;
}

int64_t ASocketExSendBuffer::GetWriteRate() {
    FWriteWindow.Update(GetTickCount());
    return FWriteWindow.Rate;
}

void ASocketExSendBuffer::AppendSendBuffer(std::string data, const TSocketAddr& destination) {
    FSendBufferSize += static_cast<int64_t>(data.size());
    FSendBuffer.push_back(TSendBufferItem{std::move(data), 0, destination});
}

void ASocketExSendBuffer::ClearSendBuffer() {
    FSendBuffer.clear();
    FSendBufferSize = 0;
}

} // namespace corvan
