#include "net/Outbound.h"

#include "net/Socks.h"

namespace corvan {

namespace {

// The last hop toward an up-stream HTTP proxy: the socket (or the SOCKS5 link before it) has
// reached the proxy, and the request itself names the destination, so nothing is negotiated.
class THttpProxyHop final : public ATCPClientSocketProxy {
public:
    explicit THttpProxyHop(const TProxyServerInfo& server) {
        Host = server.Host;
        Port = server.Port;
    }
    void Negotiate() override { Complete(); }
    void HostResolved(uint32_t, uint16_t) override {}
    void ProcessData() override {}
};

std::unique_ptr<ATCPClientSocketProxy> RouteLinks(const TOutboundRoute& route) {
    std::unique_ptr<ATCPClientSocketProxy> links;
    if (route.HttpProxy.InUse())
        links = std::make_unique<THttpProxyHop>(route.HttpProxy.Trimmed());
    if (route.Socks5.InUse()) {
        auto socks5 = std::make_unique<TSocks5SocketProxy>(route.Socks5.Trimmed(), std::move(links));
        // The up-stream proxy may reach names this host cannot resolve.
        socks5->ResolveThroughProxy = true;
        links = std::move(socks5);
    }
    return links;
}

// The socket's settings and its stream as options say.
void MakeStream(TOutboundConnection& connection, const TOutboundOptions& options) {
    connection.Stream = std::make_unique<TSocketStream>(
        connection.Socket.get(), options.WriteBufferLimit, options.TimeOut, smBlockWaitMessage);
    ApplyOutboundOptions(connection, options);
}

} // namespace

void ApplyOutboundOptions(TOutboundConnection& connection, const TOutboundOptions& options) {
    TTCPClientSocket& socket = *connection.Socket;
    socket.SetReadEventTrigger(options.ReadEventTrigger);
    socket.ConnectUnwatched = options.ConnectUnwatched;
    // Only a change: a switch, even to what it was, wakes the socket's loop.
    if (socket.ThrottleRead() != options.ThrottleRead)
        socket.SetThrottleRead(options.ThrottleRead);
    socket.SetReadThrottleRate(options.ReadThrottleRate);
    if (socket.ThrottleWrite() != options.ThrottleWrite)
        socket.SetThrottleWrite(options.ThrottleWrite);
    socket.SetWriteThrottleRate(options.WriteThrottleRate);
    TSocketStream& stream = *connection.Stream;
    stream.WriteBufferLimit = options.WriteBufferLimit;
    stream.Timeout = options.TimeOut;
    stream.Deadline = -1;
    stream.Mode = smBlockWaitMessage;
    stream.GiveUp = options.GiveUp;
    stream.Client = options.Client;
    stream.EndedClientWaitMs = options.EndedClientWaitMs;
    stream.ClientBytesOutliveIt = options.ClientBytesOutliveIt;
}

namespace {
// The client the connection was opened for is gone: its reset ended the connect, or a look at
// its connection finds it failed (a peek alone may still find bytes it sent before a reset).
bool ClientGone(const TOutboundOptions& options, const TSocketStream* stream) {
    return (stream && stream->ClientReset()) ||
           (options.Client && SocketPeek(options.Client->SocketHandle()) == TSocketPeek::Failed);
}
} // namespace

TOutboundConnection OpenOutbound(const TOutboundRoute& route, const TOutboundOptions& options) {
    if (route.Host.empty())
        throw EOutbound("Host not set", -1, false, ClientGone(options, nullptr));
    if (route.Port.empty())
        throw EOutbound("Port not set", -1, false, ClientGone(options, nullptr));
    TOutboundConnection connection;
    std::unique_ptr<ATCPClientSocketProxy> links = RouteLinks(route);
    bool given = !links && !route.ConnectAddresses.empty();
    connection.Socket = std::make_unique<TTCPClientSocket>(route.Host, route.Port, std::move(links));
    TTCPClientSocket& socket = *connection.Socket;
    if (given)
        socket.SetAddresses(route.ConnectAddresses);
    MakeStream(connection, options);
    try {
        connection.Stream->Connect();
    } catch (const Exception& e) {
        throw EOutbound(e.Message(), socket.ErrorCode(), true,
                        ClientGone(options, connection.Stream.get()));
    }
    connection.Stream->Client = nullptr; // watched while connecting only
    return connection;
}

TOutboundConnection AdoptOutbound(TIdleConnection idle, const TOutboundRoute& route,
                                  const TOutboundOptions& options) {
    TOutboundConnection connection;
    connection.Socket = std::make_unique<TTCPClientSocket>(idle.Handle, route.Host, route.Port);
    if (idle.OwnConnection)
        connection.Socket->MarkOwnConnection(); // keeps the passes it was entered with
    MakeStream(connection, options);
    return connection;
}

TIdleConnection ReleaseIdle(ATCPClientSocket& socket) {
    TRelayEnd end;
    if (!socket.ReleaseToRelay(end))
        return {};
    TIdleConnection idle{end.Handle, end.OwnConnection};
    // Bytes left over would be taken for the next answer, or go out before the next request.
    if (!end.Unread.empty() || !end.Unsent.empty() || end.ReceiveEnded)
        CloseIdleConnection(idle);
    return idle;
}

} // namespace corvan
