#pragma once
// The seam between a port mapping (a settings component) and the mapper that serves it
// (TTCPPortMapper or TUDPPortMapper of the network layer). A mapping asks its factory for a
// running mapper when it starts and destroys the mapper when it stops; it reads nothing
// from the mapper but the number of open TCP connections.

#include "net/AllowedClients.h"
#include "net/ProxyServerInfo.h"
#include "util/Exceptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

class EPortMapping : public Exception {
public:
    using Exception::Exception;
};

// Protocol ordinals of the socket layer that a mapping can hold, stored as these numbers.
enum TMappingProtocol : uint8_t { mpTCP = 3, mpUDP = 4 };

// A running mapper. Destroying it stops it: it stops listening, ends every relay and
// releases every outbound socket before the destructor returns.
class APortMapper {
public:
    virtual ~APortMapper() = default;
    // Accepted TCP connections that are open now; 0 for a UDP mapper. Main thread.
    virtual int ClientCount() const = 0;
    // Connections (TCP) or datagrams (UDP) refused since the start: their source is not in
    // AllowedClients. Main thread.
    virtual uint64_t RefusedCount() const = 0;
};

// What a mapper is built from (all ports as decimal text).
struct TPortMapperParams {
    uint8_t Protocol = mpTCP; // mpTCP or mpUDP, never anything else
    std::string LocalHost;          // bind address; empty: every local address (TCP too)
    std::string LocalPort;          // ServerPort
    std::string DestHost;
    std::string DestPort;
    // TCP only: a silent accepted connection is closed after this long.
    int ClientTimeout = 0;
    // TCP only: the outbound connection's TimeOut; outbound clients use -1 for their read
    // trigger and write buffer limit.
    int DestTimeOut = 0;
    // The mapping's up-stream SOCKS5 record. In use (UseProxy, Host and Port not blank), a TCP
    // mapping's outbound connections go through it, with its login when UseAuth is set; UDP
    // mappings ignore it.
    TProxyServerInfo SocksProxy;
    // Who may use the mapping: a TCP connection from elsewhere is closed as it is accepted,
    // a UDP datagram from elsewhere is dropped.
    TAllowedClients AllowedClients;
    // A refusal's log line (rate-limited per client address), on the main thread; may be
    // empty.
    std::function<void(const std::string& line)> OnRefusalLog;
};

// Builds and activates the mapper of one mapping. Returns the running mapper, or raises
// (e.g. the socket layer's "Socket bind failed" when the port is in use); it never returns
// null. Called on the main thread.
using TPortMapperFactory = std::function<std::unique_ptr<APortMapper>(const TPortMapperParams&)>;

} // namespace corvan
