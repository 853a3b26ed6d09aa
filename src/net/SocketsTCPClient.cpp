#include "net/SocketsTCPClient.h"

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

TTCPClientSocket::~TTCPClientSocket() = default;

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
    StartHostLookup(host, method);
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
    bool fresh = SocketHandle() == INVALID_SOCKETHANDLE;
    GetSocketHandle(true);
    SetAsynchronous(fresh ? TSocketOrigin::soFresh : TSocketOrigin::soUnknown);
    if (!LocalHost().empty() || !LocalPort().empty())
        Bind();
    if (ConnectTo(FRemoteAddr) != 0) {
        int error = SocketGetLastError();
        if (error != WSAEWOULDBLOCK) {
            CloseHandle();
            SetState(ssClosed);
            RaiseSocketError("Connect failed", error);
        }
    }
}

void TTCPClientSocket::ProcessSocketEvent(uint32_t events, int error) {
    if ((events & READY_CONNECT) && State() == ssConnecting) {
        if (error != 0) {
            ConnectFailed(error);
            return;
        }
        // Entered as the connect started; now with the ends the system reports.
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
