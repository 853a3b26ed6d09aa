#pragma once
// Opening an outbound TCP connection: the one way every service reaches its next hop (the
// SOCKS service, HTTP forwarding and CONNECT tunnels, the TCP mappings). The route is a value
// (the destination, the address a check judged, the up-stream proxies it goes through); the
// connection is opened on the calling thread, which blocks (its message loop is pumped) until
// the connection stands or has failed. The connection is recorded as one of this program's
// own before a byte moves (TTCPClientSocket, OwnConnections.h), so a request that comes back
// to this program is recognised.

#include "net/IdleConnections.h"
#include "net/ProxyServerInfo.h"
#include "net/TCPStream.h"
#include "util/Exceptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

// Where an outbound connection goes.
struct TOutboundRoute {
    std::string Host; // the destination as named (a name or an address)
    std::string Port; // decimal text
    // In use: the destination is reached through this SOCKS5 proxy (RFC 1928), with its login
    // when UseAuth (RFC 1929); the proxy resolves the destination's name.
    TProxyServerInfo Socks5;
    // In use: the connection goes to this HTTP proxy (through Socks5 when that is in use too)
    // and nothing is negotiated: the request sent over it names the destination itself.
    TProxyServerInfo HttpProxy;
    // Not empty, on a route without proxies: the connection tries these addresses, in this
    // order, as it races a name's, in place of looking Host up (the addresses a check judged:
    // a second lookup could answer otherwise).
    TSocketAddrArray ConnectAddresses = {};
};

// How the connection behaves; the stream is blocking (smBlockWaitMessage).
struct TOutboundOptions {
    // Milliseconds for the whole connect (lookup, connect, each proxy's negotiation), then the
    // stream's Timeout for every later wait; 0 or less: no limit.
    int TimeOut = 0;
    int ReadEventTrigger = -1; // the socket's (see ATCPClientSocket)
    int WriteBufferLimit = -1; // the stream's (see TSocketStream)
    bool ThrottleRead = false;
    int64_t ReadThrottleRate = 0;
    bool ThrottleWrite = false;
    int64_t WriteThrottleRate = 0;
    // The stream's GiveUp: true ends the connect early ("Connect terminated").
    std::function<bool()> GiveUp;
    // The socket's ConnectUnwatched: for a connection a relay takes once it stands, which its
    // thread's loop then need never watch.
    bool ConnectUnwatched = false;
    // The stream's Client and EndedClientWaitMs: the client the connection is opened for,
    // whose reset ends the connect at once ("Connect terminated") and whose end of sending
    // bounds what is left of it.
    const ATCPClientSocket* Client = nullptr;
    int EndedClientWaitMs = kEndedClientConnectWaitMs;
    // The stream's ClientBytesOutliveIt: what the client sent before a reset still goes.
    bool ClientBytesOutliveIt = false;
};

// A connection that stands: Stream runs over Socket and does not own it (a component can
// adopt the pair, ATCPClient::SetStream). Both belong to the thread that opened them.
struct TOutboundConnection {
    std::unique_ptr<TTCPClientSocket> Socket;
    std::unique_ptr<TSocketStream> Stream; // declared after Socket: freed first
};

// A connection that could not be opened. The message is the socket layer's ("Connect failed:
// (Host h:p) ...", "Connect timed out", "Host not set", ...); ErrorCode is the socket's error
// number as the SOCKS reply and the HTTP status are chosen by it (60008: the time-out ran
// out; an up-stream SOCKS5 proxy's refusal: 40000 + its reply code). Attempted is false when
// the route lacked a host or port and no connection was tried (ErrorCode -1).
class EOutbound : public ECodedException {
public:
    EOutbound(std::string message, int errorCode, bool attempted, bool clientReset = false)
        : ECodedException(std::move(message), errorCode), Attempted(attempted),
          ClientReset(clientReset) {}
    bool Attempted;
    // The client it was opened for (TOutboundOptions::Client) was reset: its reset ended the
    // connect, or it was found reset as the connect failed. Nobody is left to answer.
    bool ClientReset;
};

// Opens the connection to route on the calling thread and answers it once it stands, or
// raises EOutbound. A connect the thread's termination interrupts raises "Connect
// terminated". Exceptions other than the socket layer's pass on unchanged.
TOutboundConnection OpenOutbound(const TOutboundRoute& route, const TOutboundOptions& options);

// A connection kept idle (net/IdleConnections.h) made ready on the calling thread as
// OpenOutbound would have answered it for route and options: the socket names route's
// destination, and it stays among the own connections with the passes it was entered with.
TOutboundConnection AdoptOutbound(TIdleConnection connection, const TOutboundRoute& route,
                                  const TOutboundOptions& options);
// Sets a connection that stands (one kept by the thread that used it, socket and stream as
// they were) to options, as OpenOutbound would have made it.
void ApplyOutboundOptions(TOutboundConnection& connection, const TOutboundOptions& options);
// Takes socket's connection out for keeping idle, when it is connected and nothing is left
// in it: no byte unread, none unsent, receiving not ended. The socket is closed then (without
// events); a connection that gave it up with bytes left in it is closed. Empty when it was
// not connected (the socket unchanged) or had bytes left.
TIdleConnection ReleaseIdle(ATCPClientSocket& socket);

} // namespace corvan
