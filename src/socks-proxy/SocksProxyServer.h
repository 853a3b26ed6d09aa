#pragma once
// The seam between the SOCKS proxy service (a settings component) and the SOCKS server of
// the network layer (TSocksProxyServer). The service creates its server once through its
// ServerFactory, hands it the settings, starts and stops it, and reads two live figures
// from it. The server calls back into the service for logins, outbound routes and the
// connection log (TSocksProxySystem::Authenticate, OutboundRoute, ClientClosed), each on
// the thread where the connection needs it.

#include "net/AllowedClients.h"
#include "proxy/SocksUtils.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

class TSocksProxySystem;

// Where the server listens; taken at the next Start, never moves a listening socket.
struct TSocksServerListen {
    std::string ListenPort; // decimal
    std::string LocalHost;  // bind address; empty: every local address
    int MaxBacklog = 0;     // 0 or more
};

// Limits for connections accepted from now on.
struct TSocksServerLimits {
    int MaxClients = 1;            // at least 1
    bool ThrottleOutbound = false; // throttle data read from destinations ...
    int OutboundReadRate = -1;     // ... to this many bytes per second
    bool ThrottleClient = false;   // throttle data read from SOCKS clients ...
    int ClientReadRate = -1;       // ... to this many bytes per second
    TSocksServerOptions Options;   // RequireLogin: SOCKS5 login demanded, SOCKS4 refused
    // Who may connect: decided as a connection is accepted; a client from elsewhere gets the
    // "not allowed" reply to its request (SOCKS4 91, SOCKS5 02) and is closed.
    TAllowedClients AllowedClients;
    // Clients from elsewhere may reach this machine's loopback (SOCKS4 91, SOCKS5 02 if not).
    bool AllowLocalTargets = false;
};

class ASocksProxyServer {
public:
    // Stops the server when it runs: no connection and no call into the service outlives it.
    virtual ~ASocksProxyServer() = default;
    // Called only while stopped.
    virtual void SetListen(const TSocksServerListen& listen) = 0;
    virtual void SetLimits(const TSocksServerLimits& limits) = 0;
    // Listens; raises (e.g. "Socket bind failed") and stays stopped on failure.
    virtual void Start() = 0;
    // Stops listening and ends every connection; each ended connection is reported to the
    // service (ClientClosed) before Stop returns.
    virtual void Stop() = 0;
    // Open client connections now. Main thread.
    virtual int ClientCount() const = 0;
    // Connections accepted since the last Start: those open now and those that ended, in one
    // reading (an end between two readings must not count a connection twice or not at all).
    // Main thread.
    virtual uint64_t ConnectionsTotal() const = 0;
    // Bytes per second over all open connections' sockets now. Main thread.
    virtual int64_t TransferRate() const = 0;
    // Clients refused since the last Start (not in AllowedClients). Main thread.
    virtual uint64_t RefusedCount() const = 0;
};

// Builds the service's server (not started). Called once, on the main thread, at the first
// start; never returns null.
using TSocksServerFactory = std::function<std::unique_ptr<ASocksProxyServer>(TSocksProxySystem&)>;

// The network layer's server (TSocksProxyServer) for the service. It keeps a copy of the
// login rule, the up-stream record and the limits from each SetLimits, so client threads
// never read the service's fields; ended connections go to the service's ClientClosed (on the
// thread that ends them), and refusal log lines (at most one per client address per minute)
// to its LogRefusal.
std::unique_ptr<ASocksProxyServer> CreateSocksProxyServer(TSocksProxySystem& service);

} // namespace corvan
