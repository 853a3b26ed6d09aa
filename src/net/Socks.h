#pragma once
// SOCKS wire formats shared by both sides, and the client side of SOCKS version 5
// (RFC 1928, with the username/password method of RFC 1929) as pure code: packet builders
// and an incremental reply parser. Nothing here touches a socket; the SOCKS5 link of the
// outbound TCP client socket feeds the parser its read buffer and writes what it is told.

#include "net/SocketsTCPClient.h"
#include "util/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvan {

// Malformed or unrepresentable SOCKS data: an over-long field to send, an unknown address
// type in a reply, an over-long zero-terminated string in a request.
class ESocks : public Exception {
public:
    using Exception::Exception;
};

// Protocol constants (RFC 1928 section 3 to 6, RFC 1929 section 2).
inline constexpr uint8_t kSocks4Version = 4;
inline constexpr uint8_t kSocks5Version = 5;
inline constexpr uint8_t kSocks5AuthVersion = 1; // username/password sub-negotiation
inline constexpr uint8_t kSocksCmdConnect = 1;
inline constexpr uint8_t kSocksCmdBind = 2;
inline constexpr uint8_t kSocksCmdUdpAssociate = 3;
inline constexpr uint8_t kSocks5MethodNone = 0x00;
inline constexpr uint8_t kSocks5MethodGssApi = 0x01;
inline constexpr uint8_t kSocks5MethodUserPass = 0x02;
inline constexpr uint8_t kSocks5MethodNoneAcceptable = 0xFF;
inline constexpr uint8_t kSocks5AddrIPv4 = 1;
inline constexpr uint8_t kSocks5AddrDomain = 3;
inline constexpr uint8_t kSocks5AddrIPv6 = 4;

// A length-prefixed SOCKS5 field (user name, password, domain name) holds at most this many
// bytes; building one that is longer raises ESocks.
inline constexpr size_t kSocks5MaxFieldLength = 255;
// A SOCKS5 reply longer than this fails the negotiation with 40103 (the link's reply buffer).
inline constexpr size_t kSocks5MaxReplyLength = 296;

// Error codes a failed client negotiation reports (the socket layer's SOCKS range).
inline constexpr int kSocksErrorBase = 40000; // + the server's reply code
inline constexpr int kSocksErrorNegotiation = 40101;
inline constexpr int kSocksErrorAuthentication = 40102;
inline constexpr int kSocksErrorInvalidResponse = 40103;

// Where a SOCKS request points: an IPv4 address or a host name, and a port.
struct TSocksDestination {
    uint32_t Addr = 0; // IPv4 address in network byte order; 0 when Host names the destination
    std::string Host;  // host name; empty when Addr is the destination
    uint16_t Port = 0; // host byte order
};

// Big-endian (network order) 16-bit values as SOCKS puts them on the wire.
void AppendUInt16BE(std::string& out, uint16_t value);
uint16_t ReadUInt16BE(const char* bytes);
// The 4 bytes of an IPv4 address held in network byte order, as they go on the wire.
void AppendIPv4(std::string& out, uint32_t addrNetworkOrder);
uint32_t ReadIPv4(const char* bytes);

// Greeting, RFC 1928 section 3; this client always offers exactly one method:
//   +-----+----------+--------+
//   | VER | NMETHODS | METHOD |   05 01 02 with authentication, 05 01 00 without
//   +-----+----------+--------+
std::string Socks5Greeting(bool useAuthentication);

// Username/password request, RFC 1929 section 2:
//   +-----+------+----------+------+----------+
//   | VER | ULEN |  UNAME   | PLEN |  PASSWD  |   VER = 01
//   +-----+------+----------+------+----------+
// Raises ESocks "Username too long for use with SOCKS" / "Password too long for use with
// SOCKS" for a field of 256 bytes or more.
std::string Socks5AuthRequest(std::string_view username, std::string_view password);

// CONNECT request, RFC 1928 section 4:
//   +-----+-----+-------+------+----------+----------+
//   | VER | CMD |  RSV  | ATYP | DST.ADDR | DST.PORT |   05 01 00 ...
//   +-----+-----+-------+------+----------+----------+
// An empty destination Host sends Addr as type 1 (10 bytes in all); a Host that is an IPv6
// literal (IsIPLiteral, brackets allowed) goes as type 4 (16 bytes); otherwise Host is sent as
// a domain name, type 3 (length byte, name). Which of the two a host string becomes (a dotted
// IPv4 address is sent as type 1) is the caller's choice. Raises ESocks "Domain name too long
// for use with SOCKS" for a name of more than 255 bytes.
std::string Socks5ConnectRequest(const TSocksDestination& destination);

// The phases of a client negotiation. The numbers 0 to 4 are the link's published phases.
enum class TSocks5Phase : uint8_t {
    GreetingSent = 0,  // waiting for the 2-byte method reply
    AuthSent = 1,      // waiting for the 2-byte authentication status
    RequestSent = 2,   // waiting for the 5-byte head of the CONNECT reply
    ReplyHeadRead = 3, // waiting for the rest of the CONNECT reply
    Done = 4,          // tunnel established
    Failed = 5,        // refused, or a malformed reply raised ESocks
};

const char* Socks5PhaseName(TSocks5Phase phase);

// What the caller must do after TSocks5Negotiator::Process.
struct TSocks5Progress {
    enum TOutcome : uint8_t { NeedMore, Complete, Failed };
    TOutcome Outcome = NeedMore;
    // Bytes at the front of the buffer that belonged to this negotiation: remove them from the
    // read buffer. Never more than the negotiation's own replies.
    size_t Consumed = 0;
    // Bytes to write to the proxy now, in order (the authentication and/or CONNECT request).
    // Always empty when Outcome is Failed.
    std::string Send;
    // NeedMore: how many bytes must be buffered, counted after removing Consumed, before
    // another call can make progress.
    size_t Needed = 0;
    // Failed: 40101, 40102, 40103 or 40000 + the server's reply code; ErrorText is the text
    // the link passes on (empty for 40000 + code, whose text is the socket layer's).
    int ErrorCode = 0;
    std::string ErrorText;
};

// The client side of one SOCKS5 negotiation as a state machine. Owns copies of its
// credentials and destination. Usage by the link:
//   send Start(); then every time data arrives: p = Process(readBuffer); remove
//   p.Consumed bytes from the read buffer; write p.Send; then Complete or Fail on the outcome.
// Process takes as many phases as the buffered bytes allow, so a reply that arrived together
// with an earlier one is not left waiting for data that will never come.
class TSocks5Negotiator {
public:
    // destination: what the CONNECT request asks for (see Socks5ConnectRequest).
    TSocks5Negotiator(bool useAuthentication, std::string username, std::string password,
                      TSocksDestination destination);

    // The greeting to send first; moves to GreetingSent. Call once.
    std::string Start();

    // Parses the replies buffered so far (buffered starts where the previous call's Consumed
    // ended). Raises ESocks, and moves to Failed, when a request field is too long for SOCKS
    // or the reply names an address type other than 1, 3 or 4: the link raises the message on
    // (code -1) and the connection is unusable; later calls answer Failed with code -1 and
    // that message. After Done or Failed, answers the final outcome again and consumes
    // nothing. Raises ESocks before Start.
    TSocks5Progress Process(std::string_view buffered);

    TSocks5Phase Phase() const { return FPhase; }

    // Called on every phase change (from, to); for a debug log of transitions.
    std::function<void(TSocks5Phase, TSocks5Phase)> OnPhaseChange;

private:
    void SetPhase(TSocks5Phase phase);
    void Fail(TSocks5Progress& progress, int code, std::string text);

    bool FUseAuthentication;
    std::string FUsername, FPassword;
    TSocksDestination FDestination;
    TSocks5Phase FPhase = TSocks5Phase::GreetingSent;
    bool FStarted = false;
    std::string FReply;      // the CONNECT reply read so far (head, then whole)
    size_t FReplyLength = 0; // its expected total length once the head is read
    int FErrorCode = 0;      // the failure, repeated by later calls
    std::string FErrorText;
};

// The SOCKS5 link of an outbound TCP client socket: opens a CONNECT tunnel through the proxy
// server Host:Port to its target (the next link's server, or the socket's destination).
// Without ResolveThroughProxy the target is resolved here and sent as an IPv4 address;
// with it, a dotted target is sent as an address and any other as a name (the proxy
// resolves it). The wire work is TSocks5Negotiator's; the link reads exactly its replies.
// Refusals fail the connection with 40101, 40102, 40103 or 40000 + the server's reply code.
class TSocks5SocketProxy : public ATCPClientSocketProxyWithAuth {
public:
    TSocks5SocketProxy() = default;
    TSocks5SocketProxy(const std::string& host, const std::string& port,
                       std::unique_ptr<ATCPClientSocketProxy> nextProxy = nullptr);
    // Through the proxy of an up-stream record, with its login when UseAuth is set.
    explicit TSocks5SocketProxy(const TProxyServerInfo& server,
                                std::unique_ptr<ATCPClientSocketProxy> nextProxy = nullptr);

    void Negotiate() override;
    void HostResolved(uint32_t address, uint16_t port) override;
    void ProcessData() override;

    // 0 to 4 while negotiating and done; 5 after a failure.
    TSocks5Phase Phase() const;

private:
    void Start(const TSocksDestination& destination);
    std::unique_ptr<TSocks5Negotiator> FNegotiator;
};

} // namespace corvan
