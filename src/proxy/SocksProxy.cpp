#include "proxy/SocksProxy.h"

#include "net/Outbound.h"
#include "net/SocketHostLookup.h"
#include "net/SocketLib.h"
#include "net/Socks.h"
#include "net/TCPStream.h"
#include "proxy/SocksUDP.h"
#include "util/Ticks.h"

#include <algorithm>

namespace corvan {

namespace {

bool IsTerminated(const TSocksConnectionSettings& settings) {
    return settings.Terminated && settings.Terminated();
}

// Sends what is buffered, stops writing (the client reads the end of the connection right
// after the reply) and throws away what the client still sends, until it closes or the
// drain time is up.
void ShutdownAndDrain(TSocketStream& client) {
    client.Flush();
    ATCPClientSocket* socket = client.Socket();
    if (socket->SocketHandle() != INVALID_SOCKETHANDLE)
        SocketShutdown(socket->SocketHandle(), TShutdownHow::sdSend);
    int64_t deadline = MonotonicMillis() + kSocksRefusalDrainMillis;
    while (MonotonicMillis() < deadline && client.WaitStep(deadline))
        socket->ReadAvailable();
}

// The reply for a failed outbound connection. An up-stream SOCKS5 proxy's own refusal
// (error 40000 + its reply code) is passed on as that code.
std::string ConnectFailedReply(uint8_t version, int socketError) {
    int upstreamCode = socketError - kSocksErrorBase;
    if (version == kSocks5Version && upstreamCode >= kSocks5GeneralFailure &&
        upstreamCode <= kSocks5AddressTypeNotSupported)
        return Socks5Reply(static_cast<uint8_t>(upstreamCode));
    return SocksConnectFailedReply(version, socketError);
}

// The client's reader during the negotiation: every wait ends by the negotiation's deadline
// at the latest (and by the stream's Timeout, when that comes first), so a client that sends
// its request slowly or not at all holds its connection slot no longer than that.
class TDeadlineReader : public AReaderEx {
public:
    TDeadlineReader(TSocketStream& stream, int64_t deadline)
        : FStream(stream), FDeadline(deadline) {}
    int64_t GetPosition() override { return FStream.Reader().GetPosition(); }
    void SetPosition(int64_t position) override { FStream.Reader().SetPosition(position); }
    int64_t GetSize() override { return -1; }
    bool IsEOF() override { return FStream.Reader().IsEOF(); }
    int Read(void* buffer, int count) override {
        // What is here already needs no wait, and so no look at the clock.
        if (count > 0 && FStream.Socket()->BufferUsed() >= static_cast<size_t>(count))
            return FStream.Reader().Read(buffer, count);
        int64_t left = FDeadline - MonotonicMillis();
        if (left <= 0)
            return 0;
        int saved = FStream.Timeout;
        if (saved <= 0 || saved > left)
            FStream.Timeout = static_cast<int>(left);
        struct TRestore {
            TSocketStream& Stream;
            int Timeout;
            ~TRestore() { Stream.Timeout = Timeout; }
        } restore{FStream, saved};
        return FStream.Reader().Read(buffer, count);
    }

private:
    TSocketStream& FStream;
    int64_t FDeadline;
};

TOutboundOptions OutboundOptions(const TSocksConnectionSettings& settings) {
    TOutboundOptions options;
    options.TimeOut = settings.OutboundTimeout;
    options.ThrottleRead = settings.ThrottleOutbound;
    options.ReadThrottleRate = settings.OutboundReadRate;
    // Handed to a relay as it stands: the thread's loop need never watch it.
    options.ConnectUnwatched = true;
    return options;
}

} // namespace

TSocketAddr SocksClientAddress(TSocketStream& control) {
    TSocketAddr peer;
    if (!control.Socket()->GetPeerAddress(peer))
        return {};
    return peer;
}

bool SocksClientOnThisMachine(TSocketStream& control, const TSocksConnectionSettings& settings) {
    if (!settings.ClientOnThisMachine)
        return false;
    TSocketAddr client = SocksClientAddress(control);
    return client.AddrFamily != TIPAddressFamily::iaNone && settings.ClientOnThisMachine(client);
}

TSocksNegotiationResult NegotiateSocksConnection(AReaderEx& reader, AWriter& writer,
                                                 const TSocksConnectionSettings& settings,
                                                 TSocksConnectionFacts& facts,
                                                 const TSocksConnectOutbound& connect,
                                                 const TSocksConnectOutbound& associate) {
    using enum TSocksNegotiationResult;
    TSocksServerIO io;
    io.ReadExact = [&reader](size_t count) { return reader.ReadStr(static_cast<int64_t>(count)); };
    io.Write = [&writer](const std::string& bytes) {
        WriteAll(writer, bytes.data(), static_cast<int64_t>(bytes.size()));
    };
    io.Terminated = [&settings] { return IsTerminated(settings); };
    static const TSocksAuthenticate refuseEveryLogin = [](const std::string&,
                                                          const std::string&) { return false; };
    std::optional<TSocksRequest> request = NegotiateSocksRequest(
        io, settings.Options, settings.Authenticate ? settings.Authenticate : refuseEveryLogin);
    if (!request)
        return Refused;
    const TSocksDestination& dest = request->Destination;
    facts.DestAddr = dest.Addr;
    facts.DestPort = dest.Port;
    facts.DestHost = dest.Addr != 0 ? IPAddressStr(dest.Addr) : dest.Host;
    if (IsTerminated(settings))
        return Abandoned;

    bool allow = true;
    if (settings.OnConnectRequest)
        settings.OnConnectRequest(facts, facts.DestAddr, facts.DestHost, facts.DestPort, allow);
    if (!allow) {
        io.Write(SocksNotAllowedReply(request->Version));
        return Refused;
    }
    if (IsTerminated(settings))
        return Abandoned;

    bool udp = request->Command == kSocksCmdUdpAssociate;
    TSocksOutboundResult outbound;
    if (udp && !associate)
        outbound.Kind = TSocksOutboundResult::NotSupported;
    else
        outbound = udp ? associate(facts) : connect(facts);
    if (outbound.Kind == TSocksOutboundResult::NotSupported) {
        io.Write(Socks5Reply(kSocks5CommandNotSupported));
        return Refused;
    }
    if (outbound.Kind == TSocksOutboundResult::NotAllowed) {
        io.Write(SocksNotAllowedReply(request->Version));
        return Refused;
    }
    if (outbound.Kind == TSocksOutboundResult::Failed) {
        io.Write(ConnectFailedReply(request->Version, outbound.SocketError));
        return Refused;
    }
    if (outbound.Kind != TSocksOutboundResult::Connected || IsTerminated(settings))
        return Abandoned;
    if (outbound.Bound6.AddrFamily == TIPAddressFamily::iaIP6) {
        // SOCKS4 has room for an IPv4 address only: the port alone, as for a name.
        io.Write(request->Version == kSocks4Version
                     ? SocksGrantedReply(request->Version, 0, dest.Port)
                     : Socks5Reply(kSocks5Succeeded, outbound.Bound6));
        return Granted;
    }
    if (udp) {
        io.Write(SocksGrantedReply(request->Version, outbound.RemoteAddr, outbound.BoundPort));
        return Granted;
    }
    // A name was requested: the reply names the address it resolved to.
    uint32_t replyAddr = dest.Addr != 0 ? dest.Addr : outbound.RemoteAddr;
    io.Write(SocksGrantedReply(request->Version, replyAddr, dest.Port));
    return Granted;
}

void RunSocksConnection(TSocketStream& client, const TSocksConnectionSettings& settings,
                        TSocksConnectionFacts& facts, int64_t acceptedAt) {
    client.CloseOnDestroy = true;
    // The negotiation's reads are the connection's only waits before a relay takes it (an
    // association's own waits watch it again).
    client.WaitsOnDescriptor = true;
    if (facts.RemoteIP.empty()) // a server names its client as it accepts it
        facts.RemoteIP = client.Socket()->GetRemoteAddressStr();
    if (IsTerminated(settings) || !client.Connected())
        return;

    TOutboundConnection outbound;
    auto connect = [&](const TSocksConnectionFacts& request) {
        TSocksOutboundResult result;
        if (!client.Connected())
            return result; // Abandoned
        TSocksOutbound route;
        TSocketAddrArray checked; // where the check looked, when it resolved the name
        if (settings.Route) {
            route = settings.Route(request.DestHost, request.DestPort);
        } else {
            route.Host = request.DestHost;
            route.Port = std::to_string(request.DestPort);
        }
        if (!settings.AllowLocalTargets) {
            auto clientOnThisMachine = [&] { return SocksClientOnThisMachine(client, settings); };
            TLocalTargetCheck check =
                CheckLocalTarget(route.Host, !route.Via.InUse(), clientOnThisMachine,
                                 [&] { return IsTerminated(settings); });
            if (check.Outcome == TLocalTargetCheck::RefusedAsLocal) {
                result.Kind = TSocksOutboundResult::NotAllowed;
                return result;
            }
            if (check.Outcome == TLocalTargetCheck::Unresolved) {
                result.Kind = TSocksOutboundResult::Failed;
                result.SocketError = WSAHOST_NOT_FOUND;
                return result;
            }
            checked = std::move(check.ConnectAddresses);
        }
        try {
            TOutboundOptions options = OutboundOptions(settings);
            // A client waits for its reply before it sends: one that is gone meanwhile frees
            // its slot at once (or soon: TSocketStream::Client), not after a destination
            // that never answers times out. One that sent early (its bytes read with the
            // request) waits for the reply whatever it does after, but for a reset.
            options.Client = client.Socket();
            outbound = OpenOutbound({route.Host, route.Port, route.Via, {}, checked}, options);
        } catch (const EOutbound& e) {
            if (e.ClientReset)
                return result; // Abandoned: nobody to reply to
            result.Kind = TSocksOutboundResult::Failed;
            result.SocketError = e.ErrorCode;
            return result;
        }
        if (IsTerminated(settings) || !client.Connected() || !outbound.Stream->Connected())
            return result; // Abandoned
        result.Kind = TSocksOutboundResult::Connected;
        TSocketAddr peer;
        bool known = outbound.Socket->GetPeerAddress(peer);
        if (known && peer.AddrFamily == TIPAddressFamily::iaIP6)
            SocketGetSockName(outbound.Socket->SocketHandle(), result.Bound6);
        else
            result.RemoteAddr = known ? peer.AddrIP4() : INADDR_FAILURE;
        return result;
    };

    std::unique_ptr<TSocksUdpAssociation> association;
    auto associate = [&](const TSocksConnectionFacts& request) {
        TSocksOutboundResult result;
        // The datagrams could not take the up-stream SOCKS5 proxy's way: none goes direct.
        if (settings.Route && settings.Route(request.DestHost, request.DestPort).Via.InUse()) {
            result.Kind = TSocksOutboundResult::NotSupported;
            return result;
        }
        try {
            association = std::make_unique<TSocksUdpAssociation>(
                client, settings, static_cast<uint16_t>(request.DestPort));
        } catch (const ESocket& e) {
            result.Kind = TSocksOutboundResult::Failed;
            result.SocketError = e.ErrorCode;
            return result;
        }
        result.Kind = TSocksOutboundResult::Connected;
        const TSocketAddr& relay = association->RelayAddress();
        if (relay.AddrFamily == TIPAddressFamily::iaIP6) {
            result.Bound6 = relay;
        } else {
            result.RemoteAddr = relay.AddrIP4();
            result.BoundPort = relay.Port;
        }
        return result;
    };

    // By reference: the functions hold no copy of the lambdas' captures on the heap.
    const TSocksConnectOutbound connectRef = std::ref(connect);
    const TSocksConnectOutbound associateRef = std::ref(associate);
    TSocksNegotiationResult negotiated;
    if (settings.NegotiationTimeout > 0) {
        int64_t start = acceptedAt >= 0 ? acceptedAt : MonotonicMillis();
        TDeadlineReader reader(client, start + settings.NegotiationTimeout);
        negotiated = NegotiateSocksConnection(reader, client.Writer(), settings, facts, connectRef,
                                              associateRef);
    } else {
        negotiated = NegotiateSocksConnection(client.Reader(), client.Writer(), settings, facts,
                                              connectRef, associateRef);
    }
    if (negotiated == TSocksNegotiationResult::Refused)
        ShutdownAndDrain(client);
    if (negotiated != TSocksNegotiationResult::Granted || IsTerminated(settings))
        return;
    if (association) {
        // Carried here: the thread, and so the connection slot, is the association's.
        client.Flush();
        association->Run(facts);
        return;
    }
    client.Socket()->SetThrottleRead(settings.ThrottleClient);
    client.Socket()->SetReadThrottleRate(settings.ClientReadRate);
    // What went to the client splits the relay's total by direction.
    auto counted = [&facts](const TRelayTotals& totals) {
        facts.BytesTransferred = uint64_t(totals.Moved);
        facts.BytesToClient =
            std::min(facts.BytesTransferred, uint64_t(std::max<int64_t>(totals.SentTo[0], 0)));
    };
    if (settings.Relay)
        settings.Relay(*outbound.Stream, kSocksRelayBufferSize, counted);
    else
        counted(RelayHere(client, *outbound.Stream, kSocksRelayBufferSize));
}

} // namespace corvan

// ---- the server ----

namespace corvan {

// Bytes a client socket reads before its stream is woken, and the most it buffers for
// sending before a write waits.
constexpr int kSocksClientReadTrigger = 16384;
constexpr int kSocksClientWriteBufferLimit = 16384;
constexpr const char* kSocksDefaultPort = "1080";

TSocksProxyServerClient::TSocksProxyServerClient(TSocksProxyServer* server)
    : TTCPServerClient(server), FServer(server), FAcceptedAt(MonotonicMillis()) {}

TSocksProxyServerClient::~TSocksProxyServerClient() {
    WaitLetGo();
}

void TSocksProxyServerClient::Execute() {
    FFacts.RemoteIP = SocketAddrStr(RemoteAddr());
    // Reported once this thread (or the relay loop of its tunnel) has let go (Finished),
    // however the connection ends.
    FExecuted = true;
    if (Terminated())
        return;
    TSocksConnectionSettings settings = FServer->Settings();
    settings.Terminated = [this] { return Terminated(); };
    settings.Relay = [this](TSocketStream& outbound, int bufferSize, TRelayEndHook onEnd) {
        RelayTunnel(outbound, bufferSize, std::move(onEnd));
    };
    if (Refused()) {
        // Not in the allowed clients: told so in answer to its request, whatever it asks.
        settings.OnConnectRequest = [](const TSocksConnectionFacts&, uint32_t, const std::string&,
                                       int, bool& allow) { allow = false; };
        if (settings.NegotiationTimeout <= 0 ||
            settings.NegotiationTimeout > kSocksRefusedNegotiationTimeoutMs)
            settings.NegotiationTimeout = kSocksRefusedNegotiationTimeoutMs;
    }
    RunSocksConnection(*GetStream(), settings, FFacts, FAcceptedAt);
}

void TSocksProxyServerClient::Finished() {
    if (FExecuted)
        FServer->ConnectionEnded(FFacts);
}

TSocksProxyServer::TSocksProxyServer() {
    ClientMode = cmThread;
    SetListenPort(kSocksDefaultPort);
    ClientReadTrigger = kSocksClientReadTrigger;
    ClientWriteBufferLimit = kSocksClientWriteBufferLimit;
}

TSocksProxyServer::~TSocksProxyServer() {
    ShutdownClients();
}

void TSocksProxyServer::SetSettings(const TSocksConnectionSettings& settings) {
    std::lock_guard<std::mutex> lock(SettingsLock);
    FSettings = settings;
}

TSocksConnectionSettings TSocksProxyServer::Settings() const {
    std::lock_guard<std::mutex> lock(SettingsLock);
    return FSettings;
}

std::unique_ptr<TTCPServerClient> TSocksProxyServer::CreateClient() {
    return std::make_unique<TSocksProxyServerClient>(this);
}

void TSocksProxyServer::ConnectionEnded(const TSocksConnectionFacts& facts) {
    FTotalBytes.fetch_add(facts.BytesTransferred, std::memory_order_relaxed);
    if (OnConnectionEnd)
        OnConnectionEnd(facts);
}

void TSocksProxyServer::TriggerActive() {
    FTotalBytes = 0;
    ATCPServer::TriggerActive();
}

} // namespace corvan
