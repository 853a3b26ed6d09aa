#pragma once
// The outbound TCP connection: resolves, connects without blocking and, when a chain of socket
// proxy links is attached, lets each link negotiate a tunnel over the same connection before
// the socket reports itself connected.
//
// Progress: ssClosed -> Connect -> ssResolving -> ssResolved (OnResolved) -> ssConnecting ->
// ssNegotiating once per link (OnNegotiating) -> ssConnected (OnConnected). Any failure on
// the way ends in ConnectFailed: the error is recorded (OnError), the socket closes and
// OnConnectFailed fires. Everything runs on the socket's thread as notifications arrive.
//
// The first hop (the destination, or the first proxy) resolves to all its addresses, both
// families, and the connect tries them in the resolver's order: the next attempt starts when
// the previous has failed, or kConnectAttemptDelayMs after it while it is still pending; the
// first to connect wins and the others are closed (Happy Eyeballs, without sorting of its own).
// The race is part of the socket's own connect state rather than a blocking step before it,
// so the caller's time-out, give-up and termination bound it as they bound any connect. The
// socket's handle carries the first attempt; later ones are handles of their own, watched by
// the same mailbox, and the winner becomes the socket's handle. With a local address to bind
// (LocalHost, LocalPort) the addresses are tried one after another only.

#include "net/ProxyServerInfo.h"
#include "net/SocketsTCP.h"

#include <memory>
#include <string>
#include <vector>

namespace corvan {

// A connect attempt not connected after this long gets the next address tried alongside it.
constexpr int kConnectAttemptDelayMs = 250;

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
    // The destination's addresses, resolved already (those a check judged): Connect tries
    // them, in this order, as it races a name's, and looks Host up no more. Not used with a
    // proxy chain, whose first hop is a proxy. Empty: Host is resolved.
    void SetAddresses(TSocketAddrArray value);

    // Port of what the socket connects to, network order.
    uint16_t RemotePort() const { return FRemotePort; }
    bool IsConnecting() const;
    // Set before Connect: the socket's own attempt is not watched by its loop (a racing
    // attempt still is); its waiter polls the descriptor and tells OwnAttemptAnswered
    // (TSocketStream::Connect in smBlockWaitMessage does; in other modes it clears this).
    bool ConnectUnwatched = false;
    // The socket's own attempt is under way and not watched.
    bool OwnAttemptUnwatched() const;
    // The unwatched attempt is answered: error 0 when it stands. Goes on as a watched one
    // would (the next address, a proxy link, Connected).
    void OwnAttemptAnswered(int error);

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
    void DoHostResolvedAll(int error, const std::string& host,
                           const TSocketAddrArray& addresses) override;
    void ProcessSocketEvent(uint32_t events, int error) override;
    void TriggerDataAvailable() override;
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void TriggerTimer() override;
    bool NeedsTimer() const override;
    void ResetSocket() override;

private:
    // One attempt on a handle of its own (not the socket's).
    struct TAttempt {
        TSocketHandle Handle = INVALID_SOCKETHANDLE;
        TSocketAddr Address;
        bool Own = false; // entered among the program's own connections
    };
    void DoConnect();
    // Starts attempts, in order, until one is under way or none is left; with none under way
    // then, the connect has failed with the last attempt's error (raised when raise, else
    // ConnectFailed).
    void StartNextAttempt(bool raise);
    // 0 when under way, else the error (the handle is closed again).
    int StartOwnAttempt(const TSocketAddr& addr);
    int StartSideAttempt(const TSocketAddr& addr);
    void SideAttemptDone(size_t index, int error);
    void CloseAttempt(const TAttempt& attempt);
    // The next attempt waits for the timer: addresses left, one under way, no local binding.
    bool RaceTimerWanted() const;
    void RestartRaceTimer();
    // Closes the attempts besides the socket's own and forgets the addresses left.
    void EndRace();
    void StartLink(ATCPClientSocketProxy* link);
    // Runs one step of the current link; an exception fails the connection.
    template <typename F> void RunLinkStep(F&& step);

    std::string FHost;
    std::string FPort;
    std::unique_ptr<ATCPClientSocketProxy> FProxy;
    TSocketAddrArray FGivenAddresses; // SetAddresses
    uint16_t FRemotePort = 0;
    TSocketAddr FRemoteAddr;
    // The race: the addresses to try, the next of them, whether the socket's own handle has an
    // attempt under way, the other attempts under way, and the last failure's error. Used on
    // the socket's thread only.
    TSocketAddrArray FAddresses;
    size_t FNextAddress = 0;
    bool FOwnAttemptPending = false;
    std::vector<TAttempt> FSideAttempts;
    int FAttemptError = 0;
    ATCPClientSocketProxy* FCurrentProxy = nullptr;
};

} // namespace corvan
