#pragma once
// The outbound TCP connection: resolves, connects without blocking and, when a chain of socket
// proxy links is attached, lets each link negotiate a tunnel over the same connection before
// the socket reports itself connected.
//
// Progress: ssClosed -> Connect -> ssResolving -> ssResolved (OnResolved) -> ssConnecting ->
// ssNegotiating once per link (OnNegotiating) -> ssConnected (OnConnected). Any failure on
// the way ends in ConnectFailed: the error is recorded (OnError), the socket closes and
// OnConnectFailed fires. Everything runs on the socket's thread as notifications arrive.

#include "net/ProxyServerInfo.h"
#include "net/SocketsTCP.h"

#include <memory>
#include <string>

namespace corvan {

class TTCPClientSocket;

// One link of a proxy chain. The link is current from its Negotiate until it calls Complete
// or Fail. Its contract:
//  - Negotiate sends the opening request, if it has one, with the socket's Write.
//  - ProcessData runs each time data arrives while the link is current; it consumes only its
//    own reply bytes from the socket's read buffer (waiting, without consuming, until a whole
//    reply is buffered); bytes after its reply stay for the application.
//  - To resolve its target locally it calls ResolveTarget and continues in HostResolved.
// An exception leaving Negotiate, ProcessData or HostResolved fails the connection with that
// message (the code of an ECodedException, else -1).
class ATCPClientSocketProxy {
public:
    ATCPClientSocketProxy() = default;
    virtual ~ATCPClientSocketProxy() = default;
    ATCPClientSocketProxy(const ATCPClientSocketProxy&) = delete;
    ATCPClientSocketProxy& operator=(const ATCPClientSocketProxy&) = delete;

    // The proxy server this link talks to.
    std::string Host;
    std::string Port;
    // The link after this one (owned); it is reached through this link's tunnel.
    std::unique_ptr<ATCPClientSocketProxy> NextProxy;
    // Send the target's name to the proxy instead of resolving it here.
    bool ResolveThroughProxy = false;
    // The socket being served; set when negotiation starts.
    TTCPClientSocket* Socket = nullptr;

    virtual void HostResolved(uint32_t address, uint16_t port) = 0;
    // Default: fails the connection with that code.
    virtual void ResolveFailed(int code, const std::string& message);
    virtual void ProcessData() = 0;
    virtual void Negotiate() = 0;

protected:
    // Where this link must open a tunnel to: the next link's server, else the socket's
    // destination.
    void GetTarget(std::string& host, std::string& port) const;
    // Resolves on the socket; the outcome comes back through HostResolved or ResolveFailed.
    void ResolveTarget(const std::string& host, const std::string& port);
    void Complete();
    void Fail(int code, const std::string& message);
};

class ATCPClientSocketProxyWithAuth : public ATCPClientSocketProxy {
public:
    ATCPClientSocketProxyWithAuth() = default;
    // The proxy server and login of an up-stream record (its use flag is the caller's).
    explicit ATCPClientSocketProxyWithAuth(const TProxyServerInfo& server);

    bool UseAuthentication = false;
    std::string Username;
    std::string Password;
};

class TTCPClientSocket : public ATCPClientSocket {
public:
    TTCPClientSocket() = default;
    TTCPClientSocket(const std::string& host, const std::string& port,
                     std::unique_ptr<ATCPClientSocketProxy> proxy = nullptr);
    // A connection that stands already (one kept idle, say): connected is connected and
    // non-blocking, and from now on watched by a mailbox of the calling thread; host and port
    // name the destination as Connect would have. Nothing is resolved or negotiated.
    TTCPClientSocket(TSocketHandle connected, const std::string& host, const std::string& port);
    ~TTCPClientSocket() override;

    const std::string& Host() const { return FHost; }
    const std::string& Port() const { return FPort; }
    ATCPClientSocketProxy* Proxy() const { return FProxy.get(); }
    // Each requires a closed socket on a real change (20001 "Operation only allowed on
    // closed socket: SetHost" and so on); SetProxy frees the previous chain.
    void SetHost(const std::string& value);
    void SetPort(const std::string& value);
    void SetProxy(std::unique_ptr<ATCPClientSocketProxy> value);

    // Port of what the socket connects to, network order.
    uint16_t RemotePort() const { return FRemotePort; }
    bool IsConnecting() const;

    // Starts the connection and returns (a dotted Host resolves inside this call). Raises on
    // a socket that is not closed, a missing Host or Port, an unknown port and an immediate
    // connect error (the socket is closed again then).
    void Connect();

    // With Host and Port set, messages are prefixed "(Host <host>:<port>) ".
    [[noreturn]] void RaiseError(const std::string& message, int code) override;

    TEventSlot<void(TTCPClientSocket* sender)> OnResolved;
    TEventSlot<void(TTCPClientSocket* sender)> OnNegotiating;
    TEventSlot<void(TTCPClientSocket* sender)> OnConnected;
    TEventSlot<void(TTCPClientSocket* sender)> OnConnectFailed;

    // For links: resolution on behalf of the current link, and its outcome.
    virtual void ResolveAddress(uint8_t method, const std::string& host, const std::string& port);
    void ProxyNegotiated(ATCPClientSocketProxy* link);
    virtual void ConnectFailed(int code, const std::string& message = "");

protected:
    virtual void HostResolved(uint32_t address, uint16_t port);
    virtual void ResolveFailed(int code, const std::string& message);
    virtual void TriggerResolved();
    virtual void TriggerConnected();
    virtual void TriggerConnectFailed();
    virtual void TriggerNegotiating();
    virtual void Connected();
    void DoHostResolved(int error, const std::string& host, uint32_t address) override;
    void ProcessSocketEvent(uint32_t events, int error) override;
    void TriggerDataAvailable() override;

private:
    void DoConnect();
    void StartLink(ATCPClientSocketProxy* link);
    // Runs one step of the current link; an exception fails the connection.
    template <typename F> void RunLinkStep(F&& step);

    std::string FHost;
    std::string FPort;
    std::unique_ptr<ATCPClientSocketProxy> FProxy;
    uint16_t FRemotePort = 0;
    TSocketAddr FRemoteAddr;
    ATCPClientSocketProxy* FCurrentProxy = nullptr;
};

} // namespace corvan
