#include "net/SocketsTCPClient.h"

#include "net/OwnConnections.h"

#include <arpa/inet.h>

namespace corvan {

// --- ATCPClientSocketProxy --------------------------------------------------------------------

ATCPClientSocketProxyWithAuth::ATCPClientSocketProxyWithAuth(const TProxyServerInfo& server)
    : UseAuthentication(server.UseAuth), Username(server.Login), Password(server.Password) {
    Host = server.Host;
    Port = server.Port;
}

void ATCPClientSocketProxy::ResolveFailed(int code, const std::string& message) {
    Fail(code, message);
}

void ATCPClientSocketProxy::GetTarget(std::string& host, std::string& port) const {
    if (NextProxy) {
        host = NextProxy->Host;
        port = NextProxy->Port;
    } else {
        host = Socket->Host();
        port = Socket->Port();
    }
}

void ATCPClientSocketProxy::ResolveTarget(const std::string& host, const std::string& port) {
    Socket->ResolveAddress(1, host, port);
}

void ATCPClientSocketProxy::Complete() {
    Socket->ProxyNegotiated(this);
}

void ATCPClientSocketProxy::Fail(int code, const std::string& message) {
    Socket->ConnectFailed(code, message);
}

// --- TTCPClientSocket -------------------------------------------------------------------------

TTCPClientSocket::TTCPClientSocket(const std::string& host, const std::string& port,
                                   std::unique_ptr<ATCPClientSocketProxy> proxy) {
    SetHost(host);
    SetPort(port);
    SetProxy(std::move(proxy));
}

TTCPClientSocket::TTCPClientSocket(TSocketHandle connected, const std::string& host,
                                   const std::string& port)
    : ATCPClientSocket(connected, true), FHost(host), FPort(port) {}

TTCPClientSocket::~TTCPClientSocket() {
    for (const TAttempt& attempt : FSideAttempts)
        CloseAttempt(attempt);
}

void TTCPClientSocket::SetHost(const std::string& value) {
    if (value == FHost)
        return;
    CheckClosed("SetHost");
    FHost = value;
}

void TTCPClientSocket::SetPort(const std::string& value) {
    if (value == FPort)
        return;
    CheckClosed("SetPort");
    FPort = value;
}

void TTCPClientSocket::SetProxy(std::unique_ptr<ATCPClientSocketProxy> value) {
    if (value == FProxy)
        return;
    CheckClosed("SetProxy");
    FProxy = std::move(value);
}

void TTCPClientSocket::SetAddresses(TSocketAddrArray value) {
    if (value == FGivenAddresses)
        return;
    CheckClosed("SetAddresses");
    FGivenAddresses = std::move(value);
}

bool TTCPClientSocket::OwnAttemptUnwatched() const {
    return State() == ssConnecting && FOwnAttemptPending && WatchPending();
}

void TTCPClientSocket::OwnAttemptAnswered(int error) {
    ConnectAnswered(error == 0);
    ProcessSocketEvent(READY_CONNECT, error);
}

bool TTCPClientSocket::IsConnecting() const {
    TSocketState s = State();
    return s == ssResolving || s == ssResolved || s == ssConnecting || s == ssNegotiating;
}

void TTCPClientSocket::RaiseError(const std::string& message, int code) {
    if (!FHost.empty() && !FPort.empty())
        ATCPClientSocket::RaiseError("(Host " + FHost + ":" + FPort + ") " + message, code);
    ATCPClientSocket::RaiseError(message, code);
}

void TTCPClientSocket::Connect() {
    CheckClosed("Connect");
    if (FPort.empty())
        RaiseError("Port not specified", -1);
    if (FHost.empty())
        RaiseError("Host not specified", -1);
    ClearError();
    FCurrentProxy = nullptr;
    SetState(ssResolving);
    try {
        if (FProxy)
            ResolveAddress(1, FProxy->Host, FProxy->Port);
        else
            ResolveAddress(1, FHost, FPort);
    } catch (...) {
        // A socket that failed to start can be connected again.
        if (State() != ssClosed && State() != ssConnected) {
            CloseHandle();
            SetState(ssClosed);
        }
        throw;
    }
}

void TTCPClientSocket::ResolveAddress(uint8_t method, const std::string& host,
                                      const std::string& port) {
    try {
        FRemotePort = ResolvePort(port, Protocol());
    } catch (const ESocketLib& e) {
        RaiseError(e.Message(), e.ErrorCode);
    }
    if (State() == ssResolving && !FProxy && !FGivenAddresses.empty()) {
        DoHostResolvedAll(0, host, FGivenAddresses);
        return;
    }
    // The first hop is reached over either family; a link resolving its target on this side
    // (SOCKS4) carries IPv4 only.
    StartHostLookup(host, method, State() == ssResolving);
}

void TTCPClientSocket::DoHostResolvedAll(int error, const std::string& host,
                                         const TSocketAddrArray& addresses) {
    if (State() != ssResolving) {
        ATCPClientSocket::DoHostResolvedAll(error, host, addresses);
        return;
    }
    if (error == 0 && addresses.empty())
        error = WSANO_DATA;
    if (error != 0) {
        ResolveFailed(error, "");
        return;
    }
    FAddresses = addresses;
    for (TSocketAddr& a : FAddresses)
        a.Port = ntohs(FRemotePort);
    FRemoteAddr = FAddresses.front();
    SetState(ssResolved);
    TriggerResolved();
    DoConnect();
}

void TTCPClientSocket::DoHostResolved(int error, const std::string&, uint32_t address) {
    if (error != 0)
        ResolveFailed(error, "");
    else
        HostResolved(address, FRemotePort);
}

void TTCPClientSocket::HostResolved(uint32_t address, uint16_t port) {
    if (State() == ssResolving) {
        FRemoteAddr = TSocketAddr::IP4(address, ntohs(port));
        FAddresses = {FRemoteAddr};
        SetState(ssResolved);
        TriggerResolved();
        DoConnect();
    } else if (State() == ssNegotiating && FCurrentProxy) {
        ATCPClientSocketProxy* link = FCurrentProxy;
        RunLinkStep([&] { link->HostResolved(address, port); });
    }
}

void TTCPClientSocket::ResolveFailed(int code, const std::string& message) {
    if (State() == ssResolving)
        ConnectFailed(code, message);
    else if (State() == ssNegotiating && FCurrentProxy)
        FCurrentProxy->ResolveFailed(code, message);
}

void TTCPClientSocket::DoConnect() {
    SetState(ssConnecting);
    SetKnownPeer({}); // known again once an attempt stands
    if (FAddresses.empty())
        FAddresses = {FRemoteAddr};
    FNextAddress = 0;
    FAttemptError = 0;
    FOwnAttemptPending = false;
    StartNextAttempt(true);
}

void TTCPClientSocket::StartNextAttempt(bool raise) {
    while (FNextAddress < FAddresses.size()) {
        TSocketAddr addr = FAddresses[FNextAddress++];
        int error = FOwnAttemptPending ? StartSideAttempt(addr) : StartOwnAttempt(addr);
        if (error == 0) {
            RestartRaceTimer();
            return;
        }
        FAttemptError = error; // a failed attempt starts the next at once
    }
    RestartRaceTimer();
    if (FOwnAttemptPending || !FSideAttempts.empty())
        return;
    if (!raise) {
        ConnectFailed(FAttemptError);
        return;
    }
    EndRace();
    CloseHandle();
    SetState(ssClosed);
    RaiseSocketError("Connect failed", FAttemptError);
}

int TTCPClientSocket::StartOwnAttempt(const TSocketAddr& addr) {
    bool fresh = SocketHandle() == INVALID_SOCKETHANDLE;
    if (fresh) {
        // A family the system lacks (IPv6 switched off) fails this attempt only: the next
        // address may be of the other.
        TSocketHandle h = INVALID_SOCKETHANDLE;
        try {
            h = AllocateSocketHandle(addr.AddrFamily, Protocol(), true);
        } catch (const ESocketLib& e) {
            return e.ErrorCode != 0 ? e.ErrorCode : WSAEINVAL;
        }
        SetAddressFamily(addr.AddrFamily);
        SetSocketHandle(h);
    }
    TSocketOrigin origin = fresh ? TSocketOrigin::soFresh : TSocketOrigin::soUnknown;
    if (ConnectUnwatched)
        SetAsynchronousLater(origin);
    else
        SetAsynchronous(origin);
    if (!LocalHost().empty() || !LocalPort().empty())
        Bind();
    FRemoteAddr = addr;
    if (ConnectTo(addr, !ConnectUnwatched) == 0 || SocketGetLastError() == WSAEWOULDBLOCK) {
        FOwnAttemptPending = true;
        return 0;
    }
    int error = SocketGetLastError();
    CloseHandle();
    return error;
}

int TTCPClientSocket::StartSideAttempt(const TSocketAddr& addr) {
    TAttempt attempt;
    attempt.Address = addr;
    try {
        attempt.Handle = AllocateSocketHandle(addr.AddrFamily, Protocol(), true);
        MailboxLoop()->WatchSocket(attempt.Handle, GetMailbox(), AsyncEvents(), false,
                                   TSocketOrigin::soFresh);
    } catch (const ESocketLib& e) {
        if (attempt.Handle != INVALID_SOCKETHANDLE)
            SocketClose(attempt.Handle);
        return e.ErrorCode != 0 ? e.ErrorCode : WSAEINVAL;
    }
    // Counted as under way from before the system call, as the socket's own connect is.
    int r = ConnectOwnConnection(attempt.Handle, addr, attempt.Own);
    int error = SocketGetLastError();
    if (r == 0 || error == WSAEINPROGRESS) {
        MailboxLoop()->AsyncEnable(attempt.Handle, READY_CONNECT);
        FSideAttempts.push_back(attempt);
        return 0;
    }
    CloseAttempt(attempt);
    return error;
}

void TTCPClientSocket::CloseAttempt(const TAttempt& attempt) {
    if (TMessageLoop* loop = MailboxLoop())
        loop->UnwatchSocket(attempt.Handle);
    // Before the close: the same two ends may belong to a new connection right after.
    if (attempt.Own)
        UnregisterOwnConnection(attempt.Handle);
    SocketClose(attempt.Handle);
}

void TTCPClientSocket::SideAttemptDone(size_t index, int error) {
    TAttempt attempt = FSideAttempts[index];
    FSideAttempts.erase(FSideAttempts.begin() + static_cast<long>(index));
    if (error != 0) {
        CloseAttempt(attempt);
        FAttemptError = error;
        StartNextAttempt(false);
        return;
    }
    // The winner becomes the socket's handle; the socket's own attempt and the rest go.
    EndRace();
    FOwnAttemptPending = false;
    AdoptWatchedHandle(attempt.Handle, attempt.Address.AddrFamily, attempt.Own);
    FRemoteAddr = attempt.Address;
    ProcessSocketEvent(READY_CONNECT, 0);
}

bool TTCPClientSocket::RaceTimerWanted() const {
    return State() == ssConnecting && FNextAddress < FAddresses.size() &&
           (FOwnAttemptPending || !FSideAttempts.empty()) && LocalHost().empty() &&
           LocalPort().empty();
}

void TTCPClientSocket::RestartRaceTimer() {
    // The throttles' timer serves the race while the socket connects (it is idle then).
    SetTimerInterval(RaceTimerWanted() ? kConnectAttemptDelayMs : kThrottleTimerInterval);
    SetTimerActive(false);
    UpdateTimer();
}

void TTCPClientSocket::EndRace() {
    for (const TAttempt& attempt : FSideAttempts)
        CloseAttempt(attempt);
    FSideAttempts.clear();
    FAddresses.clear();
    FNextAddress = 0;
    SetTimerInterval(kThrottleTimerInterval);
}

bool TTCPClientSocket::NeedsTimer() const {
    return RaceTimerWanted() || ATCPClientSocket::NeedsTimer();
}

void TTCPClientSocket::TriggerTimer() {
    if (RaceTimerWanted()) {
        StartNextAttempt(false);
        return;
    }
    ATCPClientSocket::TriggerTimer();
}

intptr_t TTCPClientSocket::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg == MSG_SOCKET)
        for (size_t i = 0; i < FSideAttempts.size(); ++i)
            if (static_cast<uintptr_t>(FSideAttempts[i].Handle) == wParam) {
                if (SelectEvents(lParam) & READY_CONNECT)
                    SideAttemptDone(i, SelectError(lParam));
                return 0;
            }
    return ATCPClientSocket::HandleLoopMessage(msg, wParam, lParam);
}

void TTCPClientSocket::ResetSocket() {
    EndRace();
    FOwnAttemptPending = false;
    ATCPClientSocket::ResetSocket();
}

void TTCPClientSocket::ProcessSocketEvent(uint32_t events, int error) {
    if ((events & READY_CONNECT) && State() == ssConnecting) {
        if (error != 0) {
            // Another attempt may still win, or the next address be tried at once.
            FOwnAttemptPending = false;
            CloseHandle();
            FAttemptError = error;
            StartNextAttempt(false);
            return;
        }
        EndRace();
        SetKnownPeer(FRemoteAddr); // the address this attempt connected to
        // Entered as the connect started; entered now if that could not be done then.
        MarkOwnConnection();
        if (FProxy)
            StartLink(FProxy.get());
        else
            Connected();
        if (State() == ssClosed)
            return;
    }
    if ((events & READY_CLOSE) && State() == ssNegotiating) {
        DoRead(); // the last reply may complete the negotiation
        if (State() == ssNegotiating) {
            // The proxy hung up before the tunnel stood: a failed connect, not a close.
            ConnectFailed(error != 0 ? error : WSAECONNRESET);
            return;
        }
    }
    ATCPClientSocket::ProcessSocketEvent(events & ~READY_CONNECT, error);
}

template <typename F> void TTCPClientSocket::RunLinkStep(F&& step) {
    try {
        step();
    } catch (const ECodedException& e) {
        ConnectFailed(e.ErrorCode, e.Message());
    } catch (const Exception& e) {
        ConnectFailed(-1, e.Message());
    }
}

void TTCPClientSocket::StartLink(ATCPClientSocketProxy* link) {
    FCurrentProxy = link;
    SetState(ssNegotiating);
    TriggerNegotiating();
    link->Socket = this;
    RunLinkStep([&] { link->Negotiate(); });
}

void TTCPClientSocket::ProxyNegotiated(ATCPClientSocketProxy* link) {
    if (State() != ssNegotiating || link != FCurrentProxy)
        return;
    if (link->NextProxy)
        StartLink(link->NextProxy.get());
    else {
        FCurrentProxy = nullptr;
        Connected();
    }
}

void TTCPClientSocket::TriggerDataAvailable() {
    if (State() == ssNegotiating && FCurrentProxy) {
        ATCPClientSocketProxy* link = FCurrentProxy;
        RunLinkStep([&] { link->ProcessData(); });
    }
    ATCPClientSocket::TriggerDataAvailable();
}

void TTCPClientSocket::Connected() {
    RestartReadWindow();
    SetState(ssConnected);
    UpdateTimer();
    TriggerConnected();
}

void TTCPClientSocket::ConnectFailed(int code, const std::string& message) {
    EndRace();
    FOwnAttemptPending = false;
    FCurrentProxy = nullptr;
    SetError(code, message);
    // The handle goes with the attempt, so a failed socket holds no descriptor.
    CloseHandle();
    ClearSendBuffer();
    SetState(ssClosed);
    UpdateTimer();
    TriggerConnectFailed();
}

void TTCPClientSocket::TriggerResolved() {
    if (OnResolved)
        OnResolved(this);
}

void TTCPClientSocket::TriggerConnected() {
    if (OnConnected)
        OnConnected(this);
}

void TTCPClientSocket::TriggerConnectFailed() {
    if (OnConnectFailed)
        OnConnectFailed(this);
}

void TTCPClientSocket::TriggerNegotiating() {
    if (OnNegotiating)
        OnNegotiating(this);
}

} // namespace corvan
