#pragma once
// The forwarding HTTP proxy: ThttpProxyServer is an AhttpServer whose connections
// (ThttpProxyServerClient) check proxy logins, rewrite each request for the next hop, send it
// over an outbound connection (to the origin, or through up-stream proxies: one kept idle from
// an earlier request when there is one, else a new one) and stream the answer back; an
// accepted CONNECT joins the client and the target in a two-way relay.
// Whatever the proxy does not decide itself (logins, routes, throttling, logging) it asks for
// through events, all called on the connection's thread, several connections at a time.
//
// Per request, on the connection's thread (the hooks of the AhttpServerClient loop):
//   RequestHeaderReceived  keep-alive from "Proxy-Connection"/"Connection"; a request line
//                          without a version is upgraded to HTTP/1.0 with "X-Version-Warning";
//                          login (407, answered before any body is read)
//   ProcessRequest         target decoded (only http:// is forwarded, and no target with
//                          "user:password@": 400),
//                          OnGetConnection (a route, or a response of its own), loop check
//                          (508), local target check (403; a name it cannot resolve: 502),
//                          then a tunnel is connected or the request is rewritten
//                          (RewriteForwardRequest) and forwarded by
//                          a ThttpClient; the next hop silent: 504, unreachable or not
//                          understood: 502, any other error: 500 "Page not available"; the
//                          client leaving meanwhile ends the request and the connection
//   PrepareResponse        hop-by-hop fields of the next hop's answer replaced by our own
//   ResponseSentHook       an accepted tunnel relays (RelayTunnel, kHttpProxyRelayBuffer)
//   RequestDone            the outbound connection is kept idle for the next request to the
//                          same place when the answer left it usable (NextHopReusable), else
//                          closed gracefully (its sending side shut first)
//
// Kept connections: the server's TIdleConnections (net/IdleConnections.h: bounds, checks, and
// how a connection moves between client threads), keyed by IdleKey. One request at a time per
// connection: a client thread takes one out for its request and gives it back after the
// answer, never sending a second request before the first is answered. It gives it back to
// the pool once its client has not asked again within kHttpProxyHoldNextHopMs, or asks for
// another destination, or leaves; until then it holds it live on its own loop, socket and
// stream as the answer left them (the pool gets a bare descriptor, out of that loop), so
// clients that ask one after another never trade connections through the pool, and a
// request over the held connection costs no hand-over (no new socket, no re-registration
// with the loop). A request that a kept connection failed before any byte of the answer came
// (the next hop had closed it meanwhile) is sent once more over a new connection when its
// method is idempotent (its body is held whole in the request); any other gets the error as
// before. CONNECT never uses them.

#include "http/HTTPClient.h"
#include "http/HTTPServer.h"
#include "net/IdleConnections.h"
#include "net/SocketHostLookup.h"
#include "net/Outbound.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvan {

// Relay block per direction for tunnels and the copy block of response bodies: one pass of the
// relay loop per block, and loopback throughput grows with the block up to about here.
inline constexpr int kHttpProxyRelayBuffer = 65536;
// Time-out of an outbound connection (connect, each wait for the next hop's bytes).
inline constexpr int kHttpProxyOutboundTimeoutMs = 180000;
// The outbound socket stops reading ahead, and writes to it wait, at this many buffered bytes.
inline constexpr int kHttpProxyOutboundBuffer = 16384;

// A client connection keeps the next-hop connection of its last request for its next request
// this long after the answer: a client that asks again at once (the next object of a page)
// goes on over it; one that waits longer leaves it to the pool, for any client. Beyond it the
// connection goes to the pool, and the client's wait for its next request goes on.
inline constexpr int kHttpProxyHoldNextHopMs = 200;

// The realm of the 407 answer, exactly as sent.
inline constexpr const char* kHttpProxyAuthenticate = "Basic Realm=\"HTTP Proxy\"";

// Where a request goes: the target, and the up-stream proxies in use (a SOCKS5 proxy that
// makes the connection, an HTTP proxy that gets the request in absolute form; both: the SOCKS5
// proxy reaches the HTTP proxy). A tunnel never uses the HTTP up-stream.
// AllowLocalTargets lets clients from elsewhere reach this machine's loopback (a target that
// is, or resolves to, 127.0.0.0/8 or 0.0.0.0); otherwise only clients on this machine may,
// and others get 403. A target is judged where this proxy resolves it: on a direct route; with
// an up-stream proxy only a literal address is judged (a name is for the up-stream to resolve).
// A name judged here that does not resolve is not looked up again to connect: 502.
struct ThttpProxyRoute {
    TProxyServerInfo Socks5;
    TProxyServerInfo HttpProxy;
    int TimeOut = kHttpProxyOutboundTimeoutMs;
    bool AllowLocalTargets = false;
};

// Removes from a message every field that concerns only this hop: the fields named in its
// "Connection" fields (all of them, split at commas, ignoring case), "Connection",
// "Proxy-Connection", "Keep-Alive", "Upgrade", and extra. keepFraming keeps "Content-Length"
// and "Transfer-Encoding" whatever "Connection" names (a body passed through unchanged needs
// its framing). One pass over the header, whatever it holds; answers the fields removed.
int RemoveHopByHopFields(AhttpMessage& message, const std::vector<std::string>& extra,
                         bool keepFraming);

// Leaves only fields in a message's header before it goes to the other side: a folded line
// (obs-fold: it starts with a blank) is joined to the field it continues with one space, as
// RFC 9112 section 5.2 asks of a proxy; any other line that is no field is dropped. Passed on
// as they came, such lines would join whatever field ends up before them after the rewrite
// (the "Host" this proxy set, say) at a recipient that still folds. One pass; answers the
// lines joined or dropped. (Framing fields folded or malformed never get here: refused.)
int NormalizeFieldLines(AhttpMessage& message);

class ThttpProxyServer;

class ThttpProxyServerClient : public AhttpServerClient {
public:
    explicit ThttpProxyServerClient(ThttpProxyServer* server);
    ~ThttpProxyServerClient() override;

    ThttpProxyServer* ProxyServer() const { return FProxyServer; }

    // The current request (the connection's thread).
    std::string URLProtocol, URLHost, URLPath;
    std::string TargetHost, TargetPort;
    bool Tunnel = false;
    bool ForwardToProxy = false;
    bool ForwardKeepAlive = false;
    // The outbound side of the current request: the forwarding client (over a connection
    // OpenOutbound opened), or the tunnel's connection. Owned; freed at RequestDone.
    std::unique_ptr<ThttpClient> HttpClient;
    TOutboundConnection TunnelConnection;

    // The request loop, with half-close allowed on the client's socket: a client that ends
    // its sending after a request (a CONNECT with its first bytes, say) still gets the answer.
    // A forwarded request is the exception: while it waits for the next hop's answer, the end
    // of the client's sending counts as the client gone (there is no telling a half-close
    // from a close there), and the request ends.
    void Execute() override;

protected:
    // Waits up to kHttpProxyHoldNextHopMs for the client's next request while a next-hop
    // connection is held; none by then: the connection goes to the pool.
    void RequestStart() override;
    void RequestHeaderReceived() override;
    // Not for a CONNECT: its tunnel's connect watches the client itself, and the relay takes
    // the socket as it stands.
    bool WatchClientAfterHead() const override;
    void ProcessRequest() override;
    void PrepareResponseRange() override;
    void PrepareResponse() override;
    void ResponseSentHook() override;
    void RequestDone() override;

private:
    // With RequireAuth: OnValidateLogin on the request's Basic credentials; a refusal sets
    // the 407 response.
    void CheckLogin();
    void Forward(const ThttpProxyRoute& route);
    void OpenTunnel(const ThttpProxyRoute& route);
    // OpenOutbound; a failed attempt is kept for FailureStatus, and its EOutbound passes on.
    TOutboundConnection OpenNextHop(const TOutboundRoute& next, const TOutboundOptions& options);
    // Whether the first hop of route is this proxy's own listening address and port, or the
    // client's connection is one this program opened (the request has come back here).
    bool IsLoop(const ThttpProxyRoute& route);
    // Whether one of addresses (of either family) reaches the proxy listening at listen (its
    // LocalHost): the address itself, the unspecified one, or, listening on every interface,
    // any address of this machine.
    static bool ListensAtAnyOf(const std::string& listen, const TSocketAddrArray& addresses);
    // Whether route would take a client from elsewhere to this machine's loopback
    // (CheckLocalTarget; always allowed with AllowLocalTargets). Allowed sets
    // FConnectAddresses to the addresses judged when it resolved the target, so the connection
    // goes where the check looked (a second lookup could answer otherwise).
    TLocalTargetCheck::TOutcome CheckedLocalTarget(const ThttpProxyRoute& route);
    // Whether route's target is a name this proxy resolves (no up-stream proxy does).
    bool LocalTargetResolvedHere(const ThttpProxyRoute& route) const;
    // Whether the client has gone (its end closed) while its request waits.
    bool ClientLeft();
    // The status of the answer when forwarding failed with error after startedAt
    // (MonotonicMillis): 504 when the next hop did not answer within timeOut, 502 when it
    // could not be reached, resolved or understood, else 500.
    int FailureStatus(int64_t startedAt, int timeOut) const;
    // The addresses the outbound connection tries (TOutboundRoute::ConnectAddresses): those the
    // local target check judged; empty: TargetHost is resolved when connecting.
    TSocketAddrArray FConnectAddresses;
    // The client left while the current request waited for the next hop.
    bool FClientLeft = false;
    // ArrivalPasses of the client's connection (IsLoop); -1 until its first request asks.
    int FArrivalPasses = -1;
    // The current request's outbound connection was attempted and failed, with this socket
    // error number (the connection itself is gone then).
    bool FConnectFailed = false;
    int FConnectError = 0;
    // The idle key of the current request's outbound connection; whether that connection was
    // a kept one; whether the answer leaves it usable (so far: NextHopReusable has the last
    // word), and whether the answer has a body on it to read to its end first.
    std::string FIdleKey;
    bool FNextHopReused = false;
    bool FKeepNextHop = false;
    bool FNextHopBodyFramed = false;
    // Whether the failed exchange may go again over a new connection: it went over a kept
    // one that the next hop closed before any byte of an answer, for an idempotent method.
    bool MaySendAgain() const;
    // A sized body of the answer that has wholly arrived with its head, and is small enough
    // to go out in one write with the header (kOneWriteMessageSize), is taken as text.
    void TakeArrivedBody();
    // The answer left the connection usable (HTTP/1.1 without "close", HTTP/1.0 with
    // "keep-alive", framed) and its body, if any, was read to its end.
    bool NextHopReusable();
    // Keeps the outbound connection idle when NextHopReusable (held for the client's next
    // request), else closes it gracefully.
    void ReleaseConnection();
    // The kept connection for key, set to options: the held one when it leads there and is
    // usable (else it is closed), or one from the pool (a held one for elsewhere goes to the
    // pool first); without a socket when there is none.
    TOutboundConnection TakeNextHop(const std::string& key, const TOutboundRoute& next,
                                    const TOutboundOptions& options);
    // The held connection goes to the pool (closed when the connection is ending).
    void PoolHeldNextHop();
    // The held connection is closed and freed.
    void DropHeldNextHop();
    // The next-hop connection of the last request, kept for the next as that exchange left
    // it (socket and stream on this thread's loop, so the next request to the same place
    // goes on without a hand-over): its key, and since when it is idle (the pool's clock).
    // The connection's thread only.
    std::string FHeldKey;
    TOutboundConnection FHeld;
    int64_t FHeldSince = 0;
    // What the current request's outbound socket had received before this exchange (a kept
    // socket counts its earlier answers too).
    int64_t FReceivedBefore = 0;
    ThttpProxyServer* FProxyServer;
};

class ThttpProxyServer : public AhttpServer {
public:
    using TClient = ThttpProxyServerClient;
    // Answers false when it gave no route (it may have set a response on the client instead,
    // which is then sent). May set client->Tunnel (the request is an accepted CONNECT: it
    // sets the client's 200 response too) and client->ForwardToProxy.
    using TGetConnection = std::function<bool(TClient* client, ThttpProxyRoute& route)>;
    using TValidateLogin = std::function<void(TClient* client, const std::string& user,
                                              const std::string& password, bool& valid)>;
    using TPrepareForward = std::function<void(TClient* client, ThttpClient* forward)>;
    using TClientEvent = std::function<void(TClient* client)>;

    ThttpProxyServer();
    ~ThttpProxyServer() override;

    // Set before activation; read by the connection threads.
    std::atomic<bool> UpdateXForwardedFor{true};
    std::atomic<bool> UpdateVia{true};
    std::atomic<bool> RequireAuth{false};
    TGetConnection OnGetConnection;
    TValidateLogin OnValidateLogin;
    TPrepareForward OnPrepareForward;
    TClientEvent OnResponseReceived;

    // Requests not forwarded because they were addressed to the proxy itself.
    std::atomic<uint64_t> LoopsRefused{0};
    // Requests answered over an outbound connection kept from an earlier request.
    std::atomic<uint64_t> ReusedConnections{0};
    // The outbound connections kept idle; closed when the server stops.
    TIdleConnections& IdleConnections() { return FIdleConnections; }
    // Whether a client address is one of this machine's (it may reach local targets whatever
    // the route says); IsThisMachineClient. Set before activation; tests replace it.
    std::function<bool(const TSocketAddr& client)> ClientOnThisMachine;

    // The port the server listens on (also when ListenPort was "0"); 0 while inactive.
    uint16_t BoundPort() const { return FBoundPort.load(); }

protected:
    std::unique_ptr<TTCPServerClient> CreateClient() override;
    void TriggerActive() override;
    void TriggerInactive() override;

private:
    std::atomic<uint16_t> FBoundPort{0};
    TIdleConnections FIdleConnections;
};

} // namespace corvan
