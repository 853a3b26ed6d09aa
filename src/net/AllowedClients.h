#pragma once
// Who may connect to a service: the AllowedClients list of a service's (or a mapping's)
// settings section, and the admission check every service runs on a new client before it
// reads a byte from it or starts a thread for it.
//
// The list is comma-separated addresses ("192.168.1.20", "2001:db8::7") and blocks
// ("192.168.1.0/24", "2001:db8::/32"; "/0" is every address of the family, "/32" or "/128"
// one), or "*" for everyone. Blanks around entries and empty entries are ignored; a value
// without entries (missing key, empty text) is the default, kDefaultAllowedClients: loopback,
// the private ranges, link-local and shared address space of both families. So a service is
// never open to the internet unless its owner says so. An entry that does not parse is an
// error that names the entry: the service then refuses to start (never "everyone" by
// mistake). IPv4 octets are plain decimal 0..255 without leading zeros, as "010" reads as
// octal elsewhere and would admit another address than the one meant; a block whose address
// has host bits set ("192.168.1.7/24") means the block that holds it.
//
// An IPv4 client that reaches a dual-stack socket arrives as an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d): it is checked as the IPv4 address it is, so the IPv4 entries govern it
// whichever socket it came through.
//
// How each service uses it (TClientAdmission below does the counting and the log):
// - TCP port mapping: ATCPServer::Admission with CloseRefusedAtAccept (the default): a
//   refused connection is closed as it is accepted; no client object, no thread.
// - UDP port mapping: TUDPPortMapper::Admission, checked as each datagram is taken from the
//   socket; a refused one is dropped before it reaches an association.
// - SOCKS: ATCPServer::Admission with CloseRefusedAtAccept false: decided at accept (counted
//   and logged on the main thread), the client is marked Refused() and its negotiation
//   answers the request through OnConnectRequest (SOCKS4 91, SOCKS5 02) before it closes.
// - HTTP proxy, the same as SOCKS: set Admission, CloseRefusedAtAccept = false, and at the
//   top of the client's Execute:
//       if (Refused()) { <read the request head (bounded), answer 403 with the error page,
//                         close>; return; }
//   Reading the request first matters: closing a socket with unread bytes makes the system
//   send a reset, and the client may then never see the 403.
// - DNS proxy, for each query datagram, before it is parsed further than its header:
//       if (!admission.Admit(from)) { <answer the query with RCODE 5 (REFUSED), same ID,
//                                      question copied when it parses>; return; }
//   (or drop it when even the 12-byte header is missing).
// The service's form models take the text with TframeEditAllowedClients
// (component/EditorFrames.h); a service's StartRefusal returns
// TAllowedClients::ParseError(text) when it is not empty.

#include "net/SocketLib.h"
#include "util/Exceptions.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace corvan {

class EAllowedClients : public Exception {
public:
    using Exception::Exception;
};

// The list a missing or empty AllowedClients stands for.
inline constexpr const char* kDefaultAllowedClients =
    "127.0.0.0/8, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, 100.64.0.0/10, "
    "::1, fc00::/7, fe80::/10";

class TAllowedClients {
public:
    // The default list.
    TAllowedClients();

    // Raises EAllowedClients with ParseError's text when an entry does not parse.
    static TAllowedClients Parse(const std::string& text);
    // Empty when text parses; else the message naming the first bad entry:
    //   invalid AllowedClients entry "<entry>": <why>
    static std::string ParseError(const std::string& text);
    // Parses into list; false (and list unchanged) with error set when an entry is bad.
    static bool TryParse(const std::string& text, TAllowedClients& list, std::string& error);
    static TAllowedClients Everyone();

    // addr: IPv4 in network byte order.
    bool Allows(uint32_t addrNetworkOrder) const;
    bool Allows(const TSocketAddr& addr) const;
    bool AllowsEveryone() const { return FEveryone; }
    // The list in canonical form ("*", or "a.b.c.d/n" and "ipv6/n" joined with ", ").
    std::string Text() const;

private:
    struct TEmpty {};
    explicit TAllowedClients(TEmpty) {}
    // Both families in one form: an IPv4 block is the IPv4-mapped IPv6 block (prefix 96 + n),
    // which is also how a dual-stack socket reports an IPv4 client.
    struct TBlock {
        std::array<uint8_t, 16> Network; // host bits clear
        uint32_t Bits;                   // 0..128
    };
    bool Allows6(const std::array<uint8_t, 16>& addr) const;
    bool FEveryone = false;
    std::vector<TBlock> FBlocks;
};

// Remembers when a refusal of each client address was last logged, so that a refused client
// (or a scan) is logged at most once per address per interval. Bounded: at most kMaxAddresses
// are remembered; when that many were logged within the interval, further new addresses are
// not logged (only counted, see Suppressed) until entries age out, so a scan over many
// addresses can neither grow memory nor flood the log. Any thread (RefusalLogLock).
class TRefusalLogLimiter {
public:
    static constexpr int kIntervalMs = 60000;
    static constexpr size_t kMaxAddresses = 4096;

    explicit TRefusalLogLimiter(int intervalMs = kIntervalMs, size_t maxAddresses = kMaxAddresses)
        : FIntervalMs(intervalMs), FMaxAddresses(maxAddresses) {}
    // True when a refusal of addr at now (MonotonicMillis) is to be logged; it is then
    // remembered.
    bool ShouldLog(const TSocketAddr& addr, int64_t now);
    // Addresses remembered now.
    size_t Size() const;
    // Refusals not logged because the table was full of fresh addresses.
    uint64_t Suppressed() const;

private:
    using TKey = std::array<uint8_t, 17>; // family, then the address
    int FIntervalMs;
    size_t FMaxAddresses;
    // RefusalLogLock: guards FLastLogged and FSuppressed. A leaf lock: nothing is called
    // while it is held.
    mutable std::mutex RefusalLogLock;
    std::map<TKey, int64_t> FLastLogged;
    uint64_t FSuppressed = 0;
};

// The admission check of one service: its list, the number of clients it refused and the
// rate-limited refusal log. Owned by the service's server (or mapper); the list may be
// replaced while it runs. Admit may be called on any thread; OnRefusalLog runs on the thread
// that called Admit (for a thread-per-client server, the pool thread that accepted).
class TClientAdmission {
public:
    TClientAdmission() = default;
    TClientAdmission(const TClientAdmission&) = delete;
    TClientAdmission& operator=(const TClientAdmission&) = delete;

    // Any thread.
    void SetAllowed(const TAllowedClients& list);
    TAllowedClients Allowed() const;
    // True when addr may connect. A refusal is counted and, at most once per address per
    // TRefusalLogLimiter::kIntervalMs, passed to OnRefusalLog as
    //   "Client <address> refused: not in AllowedClients"
    bool Admit(const TSocketAddr& addr);
    // Refused since the last ResetCount (any thread).
    uint64_t RefusedCount() const { return FRefused.load(std::memory_order_relaxed); }
    void ResetCount() { FRefused.store(0, std::memory_order_relaxed); }
    // Set before the first Admit; not changed while clients arrive.
    std::function<void(const std::string& line)> OnRefusalLog;
    // The clock of the log limiter (MonotonicMillis); tests replace it.
    std::function<int64_t()> Clock;

private:
    // AllowedLock: guards FAllowed. A leaf lock.
    mutable std::mutex AllowedLock;
    TAllowedClients FAllowed;
    std::atomic<uint64_t> FRefused{0};
    TRefusalLogLimiter FLimiter;
};

} // namespace corvan
