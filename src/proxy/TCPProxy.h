#pragma once
// The TCP port mapper: a TCP server whose every accepted connection runs on a thread of its
// own, opens one outbound connection to the fixed destination (directly, or through the
// mapping's SOCKS5 up-stream) and relays both ways until either side closes; closing one side
// closes the other. The data is never looked at.
//
// A mapping that needs nothing of a thread (no OnCreateDestClient, OnCreateClient or
// OnClientExecute, no SOCKS5 up-stream, DestHost an address, not a name to look up) is served
// on the relay loops instead (ATCPServer's loop-served mode): the loop that accepts a
// connection starts the connect to the destination without waiting and carries the tunnel at
// once. A destination that refuses, cannot be reached or is not reached within DestTimeOut
// closes the client without a byte, logged as on a thread. A connection that has come round
// through this program's own mappings kMappingLoopPasses times (their destinations lead back to
// one another) is closed and logged the same way, rather than passed on until no descriptor is
// left.
//
// The mapper's settings (destination, up-stream, OnCreateDestClient) are read from the client
// threads and the relay loops: set them before activating and leave them while active.

#include "net/OwnConnections.h"
#include "net/TCPClient.h"
#include "net/TCPServer.h"

#include <functional>
#include <memory>
#include <string>

namespace corvan {

// Relay buffer per direction. Larger than the system's 2048-byte default block: each block
// costs one pass of the relay loop, and loopback throughput grows with the block up to here.
constexpr int kTCPMapperRelayBuffer = 65536;
// The outbound connection's TimeOut when the mapper makes it itself.
constexpr int kTCPMapperDestTimeoutMs = 300000;
// Listen backlog: connections that arrive together (a browser opens many at once) wait in the
// system's queue rather than having their first attempt dropped.
constexpr int kTCPMapperBacklog = 128;
// After a relay, how long the graceful close of the outbound connection may wait for the
// destination to close its side; then the thread ends anyway.
constexpr int kTCPMapperCloseWaitMs = 5000;

class TTCPPortMapper;

class TTCPPortMapperServerClient : public TTCPServerClient {
public:
    using TTCPServerClient::TTCPServerClient;

    // Connects to the destination and relays until either side ends (client thread). A
    // destination that cannot be reached raises; the accepted connection is then closed
    // without a byte sent to it.
    void Execute() override;
};

class TTCPPortMapper : public ATCPServer {
public:
    // ClientMode 2 (a thread per connection), that ListenPort and ClientTimeout, backlog
    // kTCPMapperBacklog.
    TTCPPortMapper(const std::string& listenPort, int clientTimeout);
    // Ends every relay before the mapper's own parts go.
    ~TTCPPortMapper() override;

    std::string DestHost;
    std::string DestPort; // decimal text
    // The outbound TimeOut of connections the mapper makes itself.
    int DestTimeOut = kTCPMapperDestTimeoutMs;
    // In use: outbound connections the mapper makes itself go through this SOCKS5 proxy.
    TProxyServerInfo Socks5;
    int RelayBufferSize = kTCPMapperRelayBuffer;
    // Told when a connection is refused because it came round through this program's mappings
    // kMappingLoopPasses times (a destination leads back to a mapping):
    //   "Connection from <address> refused: it has come round ..."
    // The mapper's own log has every such refusal as a "Client execute error".
    TMappingLoopLog LoopLog;

    // Supplies the outbound client of an accepted connection (unconnected: the mapper
    // connects it; or connected); null: the mapper opens its own connection (OpenOutbound).
    // Runs on the client's thread.
    std::function<std::unique_ptr<ATCPClient>(TTCPPortMapper* mapper, TTCPServerClient* client)>
        OnCreateDestClient;

protected:
    std::unique_ptr<TTCPServerClient> CreateClient() override;
    bool ServesOnRelayLoops() override;
    bool LoopOutbound(TTCPServerClient* client, TRelayEnd& outbound, TRelayEndHook& onEnd,
                      int& bufferSize) override;

private:
    // The destination, read at activation when the mapping is loop-served.
    TSocketAddr FDestAddr;
};

} // namespace corvan
