#pragma once
// One SOCKS client connection of the SOCKS server, run start to end on the connection's own
// thread: negotiate the request over the client's blocking stream, open the outbound
// connection (directly or through an up-stream SOCKS5 proxy), answer with the success or
// failure reply, relay both ways and report what happened. The server around it (accepting,
// threads, limits) only hands it a stream and reads the facts it leaves.

#include "net/ProxyServerInfo.h"
#include "proxy/SocksUtils.h"
#include "proxy/SocksProxyLog.h"

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
    // The outbound route to host:port; unset connects directly.
    std::function<TSocksOutbound(const std::string& host, int port)> Route;
    // True once the server is stopping the connection.
    std::function<bool()> Terminated;
    bool ThrottleOutbound = false; // throttle data read from the destination ...
    int OutboundReadRate = -1;     // ... to this many bytes per second
    bool ThrottleClient = false;   // throttle data read from the client ...
    int ClientReadRate = -1;       // ... to this many bytes per second
    int OutboundTimeout = kSocksOutboundTimeout;
};

// Runs the whole connection over client, a blocking stream on the calling thread whose
// Timeout bounds every wait for the client's request bytes. Fills facts as it learns them
// (RemoteIP at once; DestAddr, DestPort and DestHost once a request is parsed;
// BytesTransferred when the relay ends), also when it raises. Raises what the stream and
// the parsers raise; the caller closes the client stream.
void RunSocksConnection(TSocketStream& client, const TSocksConnectionSettings& settings,
                        TSocksConnectionFacts& facts);

} // namespace corvan

// ---- the server ----

#include "net/TCPServer.h"

#include <mutex>

namespace corvan {

class TSocksProxyServer;

// One accepted connection; its Execute runs RunSocksConnection on the client's thread.
class TSocksProxyServerClient : public TTCPServerClient {
public:
    explicit TSocksProxyServerClient(TSocksProxyServer* server);
    // Ends and waits for the client's thread first: it reads this object's fields to the end.
    ~TSocksProxyServerClient() override;
    void Execute() override;
    // What the connection learned; written by the client's thread, read on the main thread
    // once Execute has returned (in OnClientClose).
    const TSocksConnectionFacts& Facts() const { return FFacts; }

private:
    TSocksProxyServer* FServer;
    TSocksConnectionFacts FFacts;
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

    // Bytes relayed by connections that ended since the server last became active (main
    // thread).
    uint64_t TotalBytes() const { return FTotalBytes; }

    // Main thread, once for every connection whose client ran, also for those ended by
    // deactivation (before it returns): the connection's facts, its bytes already counted in
    // TotalBytes. (OnClientClose of the base is not fired for terminated clients.)
    std::function<void(const TSocksConnectionFacts& facts)> OnConnectionEnd;

protected:
    std::unique_ptr<TTCPServerClient> CreateClient() override;
    void TriggerActive() override;

private:
    friend class TSocksProxyServerClient;
    void ConnectionEnded(const TSocksConnectionFacts& facts);

    // SettingsLock: guards FSettings, written on the main thread, copied by client threads.
    mutable std::mutex SettingsLock;
    TSocksConnectionSettings FSettings;
    uint64_t FTotalBytes = 0;
};

} // namespace corvan
