#pragma once
// The server side of SOCKS 4, 4a and 5 (RFC 1928, RFC 1929) as pure code: request parsing
// over a blocking pull of exact byte counts, reply builders, and the mapping of outbound
// connection errors to reply codes. The SOCKS server's client thread connects these to its
// socket stream; the tests run them on canned bytes.

#include "net/Socks.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvan {

// SOCKS4 reply codes.
inline constexpr uint8_t kSocks4Granted = 90;
inline constexpr uint8_t kSocks4Rejected = 91;

// SOCKS5 reply codes (RFC 1928 section 6) this server sends.
inline constexpr uint8_t kSocks5Succeeded = 0;
inline constexpr uint8_t kSocks5GeneralFailure = 1;
inline constexpr uint8_t kSocks5NotAllowed = 2;
inline constexpr uint8_t kSocks5NetworkUnreachable = 3;
inline constexpr uint8_t kSocks5HostUnreachable = 4;
inline constexpr uint8_t kSocks5ConnectionRefused = 5;
inline constexpr uint8_t kSocks5CommandNotSupported = 7;
inline constexpr uint8_t kSocks5AddressTypeNotSupported = 8;

// A SOCKS4 user id or SOCKS4a host name holds at most this many bytes before its zero; the
// next non-zero byte raises ESocks "Invalid data" and the connection closes without a reply.
inline constexpr size_t kSocks4MaxStringLength = 255;

// The connection the server protocol runs on.
struct TSocksServerIO {
    // Blocks until exactly count bytes (1 to 255) have been read and returns them; raises
    // (any exception) on a short read, which ends the connection.
    std::function<std::string(size_t count)> ReadExact;
    // Writes all bytes or raises.
    std::function<void(const std::string& bytes)> Write;
    // Optional: true once the connection is being shut down; checked where the protocol
    // allows giving up (after the SOCKS4 request head).
    std::function<bool()> Terminated;
};

// Decides a SOCKS5 login (user name, password); true accepts. Called from the client thread.
using TSocksAuthenticate =
    std::function<bool(const std::string& username, const std::string& password)>;

struct TSocksServerOptions {
    // Every SOCKS4/4a request gets code 91 before its body is read.
    bool RejectSocks4 = false;
    // Only logged-in clients are served: SOCKS5 clients must use username/password (a client
    // that does not offer it gets 05 FF) and SOCKS4/4a, which cannot log in, get code 91.
    bool RequireLogin = false;
    // SOCKS5 UDP ASSOCIATE (command 3) is taken as a request; off, it gets reply 07 as every
    // command but CONNECT does.
    bool EnableUdp = false;
};

// A parsed request that the server is to connect.
struct TSocksRequest {
    uint8_t Version = 0;           // 4 (also 4a) or 5: the reply format to use
    uint8_t Command = kSocksCmdConnect; // CONNECT, or SOCKS5 UDP ASSOCIATE when enabled
    TSocksDestination Destination; // Addr 0 and Host set for 4a and SOCKS5 type 3
    std::string UserId;            // SOCKS4 user id or SOCKS5 user name, for logging only
};

// --- Parsers. Each reads only what its part of the request needs, through ReadExact. ---

// A zero-terminated string, read byte by byte; the zero is consumed, not returned.
// Raises ESocks "Invalid data" at the 256th non-zero byte.
std::string ReadSocks4String(const std::function<std::string(size_t)>& readExact);

// SOCKS4 request after the version byte:
//   +----+----------+----------+--------------+----+---------------+----+
//   | CD | DST.PORT | DST.ADDR | USERID       | 00 | HOST (4a only) | 00 |
//   +----+----------+----------+--------------+----+---------------+----+
//     1       2          4        0..255              0..255
// 4a: an address 0.0.0.x with x not 0 is followed by the host name; Addr becomes 0.
// nullopt: the command is not CONNECT, or the connection is terminated after the head;
// close without a reply (nothing after the head has been read).
std::optional<TSocksRequest> ReadSocks4Request(const TSocksServerIO& io);

// The method list of a SOCKS5 greeting after the version byte: NMETHODS, then METHODS.
std::vector<uint8_t> ReadSocks5Methods(const std::function<std::string(size_t)>& readExact);

// The method this server answers a greeting with (RFC 1928 section 3):
// none offered: FF; username/password offered: 02 (even when 00 is offered too); otherwise
// 00, whatever else was offered; but with requireLogin: FF unless 02 was offered.
uint8_t SelectSocks5Method(const std::vector<uint8_t>& methods, bool requireLogin);

struct TSocks5Credentials {
    std::string Username, Password;
};
// Username/password request, RFC 1929 section 2: VER ULEN UNAME PLEN PASSWD.
// nullopt when VER is not 1 (nothing after it has been read; the caller answers 01 01).
std::optional<TSocks5Credentials>
ReadSocks5Credentials(const std::function<std::string(size_t)>& readExact);

// Result of reading a SOCKS5 request.
struct TSocks5RequestResult {
    // Request: the destination is in Destination. CloseSilently: close without a reply.
    // Otherwise send Socks5Reply(ReplyCode) and close.
    enum TKind : uint8_t { Request, CloseSilently, Refuse } Kind = CloseSilently;
    uint8_t ReplyCode = 0;
    uint8_t Command = kSocksCmdConnect;
    TSocksDestination Destination;
};

// SOCKS5 request, RFC 1928 section 4:
//   +-----+-----+-------+------+----------+----------+
//   | VER | CMD |  RSV  | ATYP | DST.ADDR | DST.PORT |
//   +-----+-----+-------+------+----------+----------+
// VER other than 5: CloseSilently. CMD other than CONNECT (or UDP ASSOCIATE with udp): Refuse
// with 7 (RSV and the rest unread). ATYP 1: 4 address bytes; 3: length byte and host name
// (Addr 0); 4: 16 bytes of an IPv6 address, given as its text in Host (Addr 0); any other:
// Refuse with 8, the address unread. For UDP ASSOCIATE
// the address and port are where the client will send its datagrams from (0: not known).
TSocks5RequestResult ReadSocks5Request(const std::function<std::string(size_t)>& readExact,
                                       bool udp = false);

// The whole negotiation after accepting a connection, up to the point where the server
// connects: reads the version byte, then the SOCKS4/4a request or the SOCKS5 greeting, the
// login (asking authenticate; an empty one refuses) and the request. Sends every reply a
// refusal needs itself and then answers nullopt: the caller closes. An unknown version byte
// closes without a reply. Raises what ReadExact and Write raise, and ESocks "Invalid data".
std::optional<TSocksRequest> NegotiateSocksRequest(const TSocksServerIO& io,
                                                   const TSocksServerOptions& options,
                                                   const TSocksAuthenticate& authenticate);

// --- Reply builders. Addresses in network byte order, ports in host byte order. ---

// SOCKS4 reply, 8 bytes: VN=00 CD DSTPORT DSTIP. Refusals carry port 0 and address 0.
std::string Socks4Reply(uint8_t code, uint32_t addr = 0, uint16_t port = 0);
// SOCKS5 method answer: 05 METHOD.
std::string Socks5MethodReply(uint8_t method);
// Username/password status: 01 00 on success, 01 01 on failure.
std::string Socks5AuthReply(bool success);
// SOCKS5 reply, 10 bytes: 05 REP 00 01 BND.ADDR BND.PORT. Refusals carry 0 and 0.
std::string Socks5Reply(uint8_t code, uint32_t addr = 0, uint16_t port = 0);
// The same with an address of either family: 22 bytes with address type 4 for an IPv6 one.
std::string Socks5Reply(uint8_t code, const TSocketAddr& bound);
// ATYP, address and port of addr as a SOCKS5 reply and a UDP datagram header carry them:
// 01 and 4 bytes for IPv4 (also for no family: 0.0.0.0), 04 and 16 bytes for IPv6.
void AppendSocks5Address(std::string& out, const TSocketAddr& addr);

// For the version the request came with (4 or 5):
// granted: 90 / 0, carrying the destination's address and port (not the server's own);
std::string SocksGrantedReply(uint8_t version, uint32_t addr, uint16_t port);
// the destination is not allowed: 91 / 2;
std::string SocksNotAllowedReply(uint8_t version);
// the outbound connection failed with socketError: 91 / Socks5ReplyCodeForError(socketError).
std::string SocksConnectFailedReply(uint8_t version, int socketError);

// The SOCKS5 reply code for the outbound connection's last socket error (Winsock numbers):
// 10050, 10051: 3; 10060, 10064, 10065: 4; 10053, 10054, 10061: 5; anything else: 1.
uint8_t Socks5ReplyCodeForError(int socketError);

} // namespace corvan
