#pragma once
// One SOCKS client connection of the SOCKS server, run start to end on the connection's own
// thread: negotiate the request over the client's blocking stream, open the outbound
// connection (directly or through an up-stream SOCKS5 proxy), answer with the success or
// failure reply, relay both ways and report what happened. The server around it (accepting,
// threads, limits) only hands it a stream and reads the facts it leaves.

#include "net/ProxyServerInfo.h"
#include "net/SocketLib.h"
#include "proxy/SocksProxyLog.h"
#include "proxy/SocksUtils.h"
#include "util/Streams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

class TSocketStream;

// The relay moves up to this many bytes per read in each direction: small blocks cost a
// wake-up and two system calls per couple of kilobytes and cap a connection's throughput.
inline constexpr int kSocksRelayBufferSize = 65536;
// Milliseconds an outbound connection may take to connect (and to negotiate a proxy link).
inline constexpr int kSocksOutboundTimeout = 300000;
// The whole negotiation (greeting, login, request) must arrive within this many milliseconds
// of the accept; a client still silent or trickling then is closed, so a handful of them
// cannot hold every connection slot for the full client time-out. The relay is not affected.
inline constexpr int kSocksNegotiationTimeoutMs = 30000;
// The same for a client the server's Admission refused: it is only told so, and a scan of
// silent connections must not hold threads for long.
inline constexpr int kSocksRefusedNegotiationTimeoutMs = 5000;
// After a refusal the server stops writing and keeps reading for at most this many
// milliseconds, so the client reads the reply before the connection is closed; closing at
// once with unread request bytes would make the client's system report a reset instead.
inline constexpr int kSocksRefusalDrainMillis = 1000;

// How one outbound connection is made: the destination host and port, and the up-stream
// SOCKS5 proxy it is reached through when that record is in use.
struct TSocksOutbound {
    std::string Host;
    std::string Port; // decimal
    TProxyServerInfo Via;
};

// What the connection asks its server. Every function is called on the connection's thread,
// so what it reads must be safe to read there.
struct TSocksConnectionSettings {
    TSocksServerOptions Options;
    // SOCKS5 logins; unset refuses every login.
    TSocksAuthenticate Authenticate;
    // Admission of a destination (OnConnectRequest of the server), after the request is parsed
    // and before the outbound connection: clearing allow refuses it (SOCKS4 code 91, SOCKS5
    // reply 02) and the connection ends. client holds what is known of the connection so far;
    // destAddr is 0 when a name was requested. Unset allows every destination.
    std::function<void(const TSocksConnectionFacts& client, uint32_t destAddr,
                       const std::string& destHost, int destPort, bool& allow)>
        OnConnectRequest;
    // The outbound route to host:port; unset connects directly.
    std::function<TSocksOutbound(const std::string& host, int port)> Route;
    // Clients from elsewhere may reach this machine's loopback (a destination that is, or
    // resolves to, 127.0.0.0/8 or 0.0.0.0; judged as CheckLocalTarget does, a name only on
    // a direct route); off, such a request is refused as not allowed (SOCKS4 91, SOCKS5 02)
    // unless ClientOnThisMachine says the client's address is this machine's (tests replace it).
    bool AllowLocalTargets = false;
    std::function<bool(const TSocketAddr& client)> ClientOnThisMachine = IsThisMachineClient;
    // True once the server is stopping the connection.
    std::function<bool()> Terminated;
    bool ThrottleOutbound = false; // throttle data read from the destination ...
    int OutboundReadRate = -1;     // ... to this many bytes per second
    bool ThrottleClient = false;   // throttle data read from the client ...
    int ClientReadRate = -1;       // ... to this many bytes per second
    int OutboundTimeout = kSocksOutboundTimeout;
    // Milliseconds from the accept for the negotiation; 0 or less: only the stream's Timeout.
    int NegotiationTimeout = kSocksNegotiationTimeoutMs;
    // Carries the granted tunnel between the client and outbound and runs onEnd with the bytes
    // passed on when it ends (now or later: see TTCPServerClient::RelayTunnel). Unset: relayed
    // here (RelayStreams), onEnd before the connection returns.
    std::function<void(TSocketStream& outbound, int bufferSize, TRelayEndHook onEnd)> Relay;
};

// The address of control's peer, the SOCKS client, of either family (an IPv4 client of a
// listener on both protocols as the IPv4 address it is); one of no family when the system
// cannot tell it (the connection is gone).
TSocketAddr SocksClientAddress(TSocketStream& control);
// Whether the SOCKS client of control is on this machine, as settings.ClientOnThisMachine
// judges its address (SocksClientAddress); false when that is unset or the address unknown.
// CONNECT and the datagrams of a UDP association ask it alike.
bool SocksClientOnThisMachine(TSocketStream& control, const TSocksConnectionSettings& settings);

// How the outbound connection of a request ended, as the negotiation needs it for its reply.
struct TSocksOutboundResult {
    enum TKind : uint8_t {
        Connected, // RemoteAddr is the IPv4 address reached (network order), or Bound6 set
        Failed,    // SocketError: the socket's last error (Winsock numbers; an up-stream SOCKS5
                   // proxy's refusal is 40000 + its reply code)
        Abandoned, // terminated, or a side closed meanwhile: close without a reply
        NotAllowed, // the destination is not for this client: the "not allowed" reply
        NotSupported, // the command cannot be served here: reply 07
    } Kind = Abandoned;
    int SocketError = 0;
    uint32_t RemoteAddr = 0;
    // A UDP association: Connected carries the relay socket's address in RemoteAddr and its
    // port here, for the reply.
    uint16_t BoundPort = 0;
    // An outbound connection over IPv6 (RemoteAddr 0): its own address and port, which the
    // SOCKS5 reply carries (address type 4) as an IPv4 reply cannot carry the destination's.
    // A UDP association whose relay socket is on IPv6: that socket's address and port.
    TSocketAddr Bound6{};
};
// Opens the outbound connection for the request recorded in facts.
using TSocksConnectOutbound =
    std::function<TSocksOutboundResult(const TSocksConnectionFacts& facts)>;

enum class TSocksNegotiationResult : uint8_t {
    Granted,   // the success reply was written: relay
    Refused,   // refused or failed, any reply owed written: stop writing, let the client read it
    Abandoned, // terminated or closed: close at once
};

// The negotiation of one connection over the reader/writer contract, from the version byte to
// the reply: the request (NegotiateSocksRequest), the admission (OnConnectRequest, allow
// preset to true), the outbound connection through connect, and the granted reply (carrying
// the requested address, or the address reached when a name was requested, and the requested
// port) or the failure reply (SocksConnectFailedReply; an up-stream SOCKS5 refusal passes its
// own code; a destination connect found not allowed: SocksNotAllowedReply). Fills facts' destination fields once the request is parsed. Raises what reader,
// writer and the parsers raise (a short read: ESocks "Read error").
// A UDP ASSOCIATE request (settings.Options.EnableUdp) is admitted the same way and then opened
// by associate instead of connect; its granted reply carries the relay's address and port
// (RemoteAddr and BoundPort, or Bound6 with address type 4); NotSupported answers 07, and so
// does an unset associate.
TSocksNegotiationResult NegotiateSocksConnection(AReaderEx& reader, AWriter& writer,
                                                 const TSocksConnectionSettings& settings,
                                                 TSocksConnectionFacts& facts,
                                                 const TSocksConnectOutbound& connect,
                                                 const TSocksConnectOutbound& associate = {});

// Runs the whole connection over client, a blocking stream on the calling thread whose
// Timeout bounds every wait for the client's bytes; the negotiation must besides be complete
// within settings.NegotiationTimeout of acceptedAt (MonotonicMillis; -1: now). Fills facts as
// it learns them (RemoteIP at once; DestAddr, DestPort and DestHost once a request is parsed;
// BytesTransferred when the relay ends, which with settings.Relay may be after it returns),
// also when it raises. Raises what the stream and the
// parsers raise; the caller closes the client stream.
void RunSocksConnection(TSocketStream& client, const TSocksConnectionSettings& settings,
                        TSocksConnectionFacts& facts, int64_t acceptedAt = -1);

} // namespace corvan

// ---- the server ----

#include "net/TCPServer.h"

#include <atomic>
#include <mutex>

namespace corvan {

class TSocksProxyServer;

// One accepted connection; its Execute runs RunSocksConnection on the client's thread. A
// client the server's Admission refused (Refused()) is negotiated with every request refused
// through OnConnectRequest (SOCKS4 91, SOCKS5 02), within kSocksRefusedNegotiationTimeoutMs.
class TSocksProxyServerClient : public TTCPServerClient {
public:
    explicit TSocksProxyServerClient(TSocksProxyServer* server);
    // Ends and waits for the client's thread first: it reads this object's fields to the end.
    ~TSocksProxyServerClient() override;
    void Execute() override;
    // Reports the connection to its server (OnConnectionEnd) when Execute ran.
    void Finished() override;
    // What the connection learned; written by the client's thread (and the relay loop that
    // carries its tunnel), read once that thread has let go of it (Finished).
    const TSocksConnectionFacts& Facts() const { return FFacts; }

private:
    friend class TSocksProxyServer;
    TSocksProxyServer* FServer;
    TSocksConnectionFacts FFacts;
    int64_t FAcceptedAt;    // MonotonicMillis when the server made this client
    bool FExecuted = false; // Execute began: the connection is reported (client thread)
};

// The SOCKS 4/4a/5 server: one thread per client. Its owner sets Settings (applied to
// connections accepted afterwards) and learns each ended connection through OnConnectionEnd.
class TSocksProxyServer : public ATCPServer {
public:
    TSocksProxyServer();
    ~TSocksProxyServer() override;

    // Any thread; a connection takes a copy when it starts. Terminated is set per client.
    void SetSettings(const TSocksConnectionSettings& settings);
    TSocksConnectionSettings Settings() const;

    // Bytes relayed by connections that ended since the server last became active (any
    // thread).
    uint64_t TotalBytes() const { return FTotalBytes.load(std::memory_order_relaxed); }

    // Once for every connection whose client ran, also for those ended by deactivation
    // (before it returns): the connection's facts, its bytes already counted in TotalBytes.
    // On the thread that ends the connection (the client's Finished: its own thread or a
    // relay loop, several at once; the main thread at deactivation or where an end event
    // handler of the base is assigned), before the connection leaves ClientCount. Set it
    // while inactive.
    // (OnClientClose of the base is not fired for terminated clients.)
    std::function<void(const TSocksConnectionFacts& facts)> OnConnectionEnd;

protected:
    std::unique_ptr<TTCPServerClient> CreateClient() override;
    void TriggerActive() override;
    bool ConnectionsWantNoDelay() override { return true; } // CONNECT is what is asked

private:
    friend class TSocksProxyServerClient;
    void ConnectionEnded(const TSocksConnectionFacts& facts);

    // SettingsLock: guards FSettings, written on the main thread, copied by client threads.
    mutable std::mutex SettingsLock;
    TSocksConnectionSettings FSettings;
    // Added to by the threads that end connections; reset at activation (main thread).
    std::atomic<uint64_t> FTotalBytes{0};
};

} // namespace corvan
