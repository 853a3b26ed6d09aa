#pragma once
// Address model, name resolution and the thin wrappers of the socket calls. This is the one
// file above which no code calls ::socket, ::recv, ::send and their kin: every wrapper returns
// the call's own result and, on failure, records the mapped socket error number as the
// thread's last socket error (SocketGetLastError). ESocketLib carries the same number.

#include "net/SocketErrors.h"
#include "util/Exceptions.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvan {

class ESocketLib : public ECodedException {
public:
    // Message: caller text, ": ", error text; either alone when the other is empty.
    ESocketLib(const std::string& message, int errorCode = 0);
};

// Socket handles are descriptors; all bits set means none.
using TSocketHandle = int;
constexpr TSocketHandle INVALID_SOCKETHANDLE = -1;

enum class TIPAddressFamily : uint8_t { iaNone = 0, iaIP4 = 1, iaIP6 = 2 };
enum class TIPProtocol : uint8_t {
    ipNone = 0,
    ipIP = 1,
    ipICMP = 2,
    ipTCP = 3,
    ipUDP = 4,
    ipRaw = 5
};

// The 255.255.255.255 failure value of an IPv4 conversion (network byte order, all ones).
constexpr uint32_t INADDR_FAILURE = 0xFFFFFFFFu;

// One IPv4 or IPv6 address with a port. IPv4 addresses are kept in network byte order in the
// first four address bytes (AddrIP4); the port is in host byte order. ScopeId: the interface
// of an IPv6 link-local address (0: none).
struct TSocketAddr {
    uint16_t Port = 0;
    TIPAddressFamily AddrFamily = TIPAddressFamily::iaNone;
    std::array<uint8_t, 16> Addr{};
    uint32_t ScopeId = 0;

    static TSocketAddr IP4(uint32_t addrNetOrder, uint16_t port = 0);
    static TSocketAddr IP6(const std::array<uint8_t, 16>& addr, uint16_t port = 0);
    uint32_t AddrIP4() const; // network byte order; 0 unless IPv4
    bool operator==(const TSocketAddr&) const = default;
};

using TSocketAddrArray = std::vector<TSocketAddr>;
using TIP4AddrArray = std::vector<uint32_t>; // network byte order
using TIP4AddrArrayArray = std::vector<TIP4AddrArray>;
using AddressStrArray = std::vector<std::string>;

// System family numbers: AF_INET / AF_INET6 for IPv4 / IPv6, 0 otherwise; and back.
int IPAddressFamilyToSys(TIPAddressFamily family);
TIPAddressFamily SysToIPAddressFamily(int sysFamily);
// Protocol numbers: IP 0, ICMP 1, TCP 6, UDP 17, Raw 255; -1 for none.
int IPProtocolToSys(TIPProtocol protocol);
// Socket types: TCP stream (1), UDP datagram (2), Raw raw (3); 0 for the rest.
int IPProtocolToSocketType(TIPProtocol protocol);

// Conversion to and from a system socket address (storage of at least 28 bytes). ToSys
// returns the length used; both refuse a family other than IPv4/IPv6 with ESocketLib
// "Address family not supported".
constexpr size_t SYS_SOCKADDR_SIZE = 128;
// Shortest queue of connections waiting to be accepted (see SocketListen).
constexpr int kListenBacklogMin = 128;
struct TSysSockAddr {
    alignas(8) std::array<uint8_t, SYS_SOCKADDR_SIZE> Data{};
    unsigned Length = 0;
};
TSysSockAddr SocketAddrToSys(const TSocketAddr& addr);
// An IPv4 peer of a dual-stack socket comes as ::ffff:a.b.c.d: it is answered as the IPv4
// address it is, so that every IPv4 rule (admission, logs, the loop check) applies to it.
TSocketAddr SysToSocketAddr(const TSysSockAddr& sys);
// The same normalisation for an address from elsewhere: ::ffff:a.b.c.d becomes a.b.c.d.
TSocketAddr UnmapIP4(const TSocketAddr& addr);

// A dotted IPv4 literal (hexadecimal parts with x pass): true and the address in network byte
// order; false and 255.255.255.255 otherwise.
bool IsIPAddress(const std::string& s, uint32_t& addr);
bool IsIPAddress(const std::string& s);
// An IPv6 literal ("::" and "::0" without a lookup); false leaves the zero address.
bool IsIP6Address(const std::string& s, std::array<uint8_t, 16>& addr);

// An address literal of either family: a dotted IPv4 address (as IsIPAddress), or an IPv6 one,
// with or without brackets, a link-local one with its %scope (an interface name or number).
// False leaves addr empty.
bool IsIPLiteral(const std::string& s, TSocketAddr& addr);
// The literal text of addr that IsIPLiteral reads back: SocketAddrStr, and %scope when set.
std::string SocketAddrLiteral(const TSocketAddr& addr);
// As SocketAddrLiteral, with the interface's name after % (fe80::1%eth0), which IsIPLiteral
// reads back as well and which stays right when interface numbers are handed out afresh; the
// number where the interface has no name (it went away).
std::string SocketAddrLiteralNamed(const TSocketAddr& addr);
// Every address of host (port 0), both families, in the order the system's resolver gives; a
// literal of either family needs no lookup. "Host not specified" (0), "Failed to resolve
// host" with the error.
TSocketAddrArray ResolveHostAll(const std::string& host);
// Addresses of host (port 0) for the family, in the library's order; a literal of the family
// needs no lookup. Raises "Host not specified" (0), "Lookup failed" (error), "Invalid address
// family".
TSocketAddrArray ResolveHost(const std::string& host,
                             TIPAddressFamily family = TIPAddressFamily::iaIP4);
// IPv4 addresses only; none: "Failed to resolve host" with the error.
TIP4AddrArray ResolveHostIP4(const std::string& host);
// The first of them; an empty list raises "Failed to resolve host" (0).
uint32_t ResolveHostIP4Single(const std::string& host);
// Decimal 0..65535 or a service name (leading blanks skipped) looked up for TCP or UDP;
// answers network byte order. "Port not specified", "Port number out of range", "Failed to
// resolve port".
uint16_t ResolvePort(const std::string& port, TIPProtocol protocol);
std::string LocalHostName();
TIP4AddrArray LocalIP4Addresses();
AddressStrArray LocalIP4AddressesStr();
// Whether s (no blanks) is an IPv4 address in any numeric form the system's lookup takes as
// one without asking a name server: dotted quad, and the short, decimal, octal and hexadecimal
// forms ("127.1", "2130706433", "0177.1", "0x7f000001", "0"); addr in network byte order.
bool IsNumericIP4Host(const std::string& s, uint32_t& addr);
// 127.0.0.0/8, or the unspecified address 0.0.0.0 (a connection to it reaches this machine's
// loopback as well); network byte order.
bool IsLoopbackOrUnspecifiedIP4(uint32_t addr);
// An address of this machine: loopback, unspecified, or one of local (LocalIP4Addresses).
bool IsThisMachineIP4(uint32_t addr, const TIP4AddrArray& local);
// This machine's own IPv6 addresses, from its interfaces (empty where they cannot be read).
TSocketAddrArray LocalIP6Addresses();
// The unspecified address of either family (0.0.0.0 or ::): all of its bytes are zero.
inline bool IsUnspecified(const TSocketAddr& addr) {
    return addr.Addr == std::array<uint8_t, 16>{};
}
// Whether a connection to addr reaches this machine in the sense of the local-target check:
// IPv4 (also mapped into IPv6) as IsLoopbackOrUnspecifiedIP4; IPv6 ::1, :: and the addresses
// of local6 (LocalIP6Addresses).
bool IsLocalTargetAddress(const TSocketAddr& addr, const TSocketAddrArray& local6);
// A client on this machine: an IPv4 address of it (LocalIP4Addresses looked up unless the
// address is loopback; a failed lookup counts as not); an IPv6 one as IsLocalTargetAddress
// judges it. No family: false.
bool IsThisMachineClient(const TSocketAddr& client);
// The host name of an address ("Reserse lookup failed" with the error; an address without
// family raises "Invalid address family"). Without a registered name the numeric text comes
// back.
std::string ReverseLookup(const TSocketAddr& addr);
// Dotted text of an IPv4 address in network byte order.
std::string IPAddressStr(uint32_t addr);
// Text of either family ("" for none).
std::string SocketAddrStr(const TSocketAddr& addr);
std::string IPProtocolToStr(TIPProtocol protocol);

// A new close-on-exec socket, blocking unless nonBlocking. "Invalid address family" (10022),
// "Invalid protocol" (10022), "Failed to allocate socket handle" (error).
TSocketHandle AllocateSocketHandle(TIPAddressFamily family, TIPProtocol protocol,
                                   bool nonBlocking = false);
// While withheld, every IPv6 socket AllocateSocketHandle is asked for fails with
// WSAEAFNOSUPPORT, as where the kernel has IPv6 switched off. Process-wide, any thread; tests
// use it to run the IPv4-only paths on a system that has IPv6. Answers the setting it replaces.
bool WithholdIP6Sockets(bool withheld);
// "Invalid socket handle"; "Blocking mode not set" with the error.
void SetSocketBlocking(TSocketHandle handle, bool block);

// Thin wrappers. Each answers what the system call answers (-1 on failure, with the last
// socket error recorded). Sends never raise SIGPIPE.
int SocketClose(TSocketHandle handle);
int SocketBind(TSocketHandle handle, const TSocketAddr& addr);
// The queue of a listening socket is never shorter than kListenBacklogMin, whatever backlog
// asks for: where a full queue makes other systems refuse a connection at once, this one drops
// the connection request without a word and the client asks again only after 1, 3, 7 seconds,
// so a short queue turns a burst of connections (a browser opening a page) into long stalls.
int SocketListen(TSocketHandle handle, int backlog);
// Accepted handle or -1. The listening socket's non-blocking state is not inherited: the
// handle blocks unless nonBlocking asks for non-blocking mode (set by the same call).
TSocketHandle SocketAccept(TSocketHandle handle, TSocketAddr* peer, bool nonBlocking = false);
// An IPv4 address on an IPv6 socket is connected as ::ffff:a.b.c.d where the system needs that.
int SocketConnect(TSocketHandle handle, const TSocketAddr& addr);
long SocketRecv(TSocketHandle handle, void* buf, size_t size);
long SocketSend(TSocketHandle handle, const void* buf, size_t size);
long SocketRecvFrom(TSocketHandle handle, void* buf, size_t size, TSocketAddr* from,
                    bool* truncated);
// An IPv4 destination on an IPv6 socket goes as ::ffff:a.b.c.d where the system needs that
// (also in SocketSendBatch).
long SocketSendTo(TSocketHandle handle, const void* buf, size_t size, const TSocketAddr& to);

// One datagram of a batch. Receiving: Data and Size are given (room for one datagram); Length
// (cut to Size), Truncated and Address (the sender) are filled in. Sending: Data, Length and
// Address (the destination) are given; the system only reads Data.
struct TDatagram {
    char* Data = nullptr;
    size_t Size = 0;
    size_t Length = 0;
    bool Truncated = false;
    TSocketAddr Address;
};
// Datagrams one batch call moves at most; a longer batch is cut to it and the rest waits for
// the caller's next call.
constexpr size_t kSocketBatchMax = 64;
// Receives up to count datagrams in one call (recvmmsg, not waiting for more than are there):
// answers how many, or -1 with the error when none was received.
long SocketRecvBatch(TSocketHandle handle, TDatagram* items, size_t count);
// Sends items in order in one call (sendmmsg): answers how many left, stopping before the
// first the system refused, or -1 with that refusal's error when it was the first. An address
// of neither family raises ESocketLib as in SocketSendTo when it is the first, else the batch
// stops before it.
long SocketSendBatch(TSocketHandle handle, const TDatagram* items, size_t count);
enum class TShutdownHow { sdReceive = 0, sdSend = 1, sdBoth = 2 };
int SocketShutdown(TSocketHandle handle, TShutdownHow how);
int SocketGetPeerName(TSocketHandle handle, TSocketAddr& addr);
int SocketGetSockName(TSocketHandle handle, TSocketAddr& addr);
// Bytes readable now (FIONREAD), or -1.
long SocketAvailable(TSocketHandle handle);
// Whether an idle connected stream socket could carry a new exchange: a peek that does not
// wait finds nothing (no byte waiting, no end of stream, no pending error). False for any
// of those, or an invalid handle.
bool SocketIdleAndOpen(TSocketHandle handle);
// What a peek at a connected stream socket finds, without waiting: nothing to read yet, bytes
// waiting, its end with nothing before it, or a failure (a reset, say; an invalid handle).
enum class TSocketPeek { Nothing, Data, Ended, Failed };
TSocketPeek SocketPeek(TSocketHandle handle);
// The pending error of the socket (SO_ERROR) as a socket error number; 0 when none.
int SocketPendingError(TSocketHandle handle);
// The outcome of a non-blocking connect the system told ready: 0 when it stands. A failed
// connect is told with an error or hang-up (failureTold); one told writable without either
// stands, and the system is not asked.
int ConnectOutcome(TSocketHandle handle, bool failureTold);
int SocketSetBroadcast(TSocketHandle handle, bool value);
// True for a datagram socket.
bool SocketIsDatagram(TSocketHandle handle);
// True for a listening socket.
bool SocketIsListening(TSocketHandle handle);
int SocketSetReuseAddress(TSocketHandle handle, bool value);
// IPV6_V6ONLY of an IPv6 socket: off, the socket serves IPv4 peers too (as ::ffff:a.b.c.d).
int SocketSetV6Only(TSocketHandle handle, bool value);
// TCP_NODELAY: small writes go out at once instead of waiting for the peer's acknowledgement
// of earlier ones (which a peer may delay by tens of milliseconds).
int SocketSetNoDelay(TSocketHandle handle, bool value);

// --- moving bytes inside the system (zero-copy relaying) ---

// The two ends of a pipe; -1 for an end not open.
struct TPipeHandles {
    int Read = -1;
    int Write = -1;
    bool Enlarged = false; // holds kPipeSize: counted in the process's enlarged-pipe budget
};
// What PipeOpen asks a pipe to hold: a splice moves at most what the pipe holds, and the
// system's default (64 KiB) costs a bulk relay four times the passes and wake-ups. Each such
// pipe counts this much against the user's pipe allowance (pipe-user-pages-soft, shared by
// every process of the user); once that is used up the system gives every new pipe of the
// user a single page. So at most a quarter of the allowance is taken for enlarged pipes
// (PipeEnlargedBudget); pipes beyond it keep the default size.
constexpr int kPipeSize = 256 * 1024;
// How many pipes this process enlarges at once at most: a quarter of the user's allowance,
// read once from /proc/sys/fs/pipe-user-pages-soft (no limit there: no limit here; where it
// cannot be read, the quarter of the system's default of 16384 pages).
size_t PipeEnlargedBudget();
// Enlarged pipes open now in this process.
size_t PipeEnlargedCount();
// A new pipe, both ends non-blocking and close-on-exec (pipe2), asked to hold kPipeSize while
// the budget allows (else, or where refused, the default size). Answers 0, or -1 with the last
// socket error recorded (10024 when out of descriptors).
int PipeOpen(TPipeHandles& pipe);
// Closes both ends that are open and marks them -1. Answers 0, or -1 with the last socket error
// of the first close that failed (the descriptors are released all the same).
int PipeClose(TPipeHandles& pipe);
// Moves up to size bytes from one descriptor to another, one of them a pipe, inside the system
// (splice with SPLICE_F_MOVE | SPLICE_F_NONBLOCK; the socket must be non-blocking). Answers the
// bytes moved; 0 at the end of a socket's stream (or for size 0); -1 with the last socket error
// recorded: 10035 when nothing can move now, SpliceUnsupported for descriptors the system
// cannot splice.
long SocketSplice(int from, int to, size_t size);
// The error of a failed SocketSplice means this kind of descriptor cannot be spliced here (the
// caller copies instead), not that the connection failed.
bool SpliceUnsupported(int error);

} // namespace corvan
