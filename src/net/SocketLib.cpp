#include "net/SocketLib.h"

#include "util/Strings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvan {

ESocketLib::ESocketLib(const std::string& message, int errorCode)
    : ECodedException(JoinMessage(message, SocketErrorText(errorCode)), errorCode) {}

TSocketAddr TSocketAddr::IP4(uint32_t addrNetOrder, uint16_t port) {
    TSocketAddr a;
    a.Port = port;
    a.AddrFamily = TIPAddressFamily::iaIP4;
    std::memcpy(a.Addr.data(), &addrNetOrder, 4);
    return a;
}

TSocketAddr TSocketAddr::IP6(const std::array<uint8_t, 16>& addr, uint16_t port) {
    TSocketAddr a;
    a.Port = port;
    a.AddrFamily = TIPAddressFamily::iaIP6;
    a.Addr = addr;
    return a;
}

uint32_t TSocketAddr::AddrIP4() const {
    if (AddrFamily != TIPAddressFamily::iaIP4)
        return 0;
    uint32_t r;
    std::memcpy(&r, Addr.data(), 4);
    return r;
}

int IPAddressFamilyToSys(TIPAddressFamily family) {
    switch (family) {
    case TIPAddressFamily::iaIP4:
        return AF_INET;
    case TIPAddressFamily::iaIP6:
        return AF_INET6;
    default:
        return 0;
    }
}

TIPAddressFamily SysToIPAddressFamily(int sysFamily) {
    if (sysFamily == AF_INET)
        return TIPAddressFamily::iaIP4;
    if (sysFamily == AF_INET6)
        return TIPAddressFamily::iaIP6;
    return TIPAddressFamily::iaNone;
}

int IPProtocolToSys(TIPProtocol protocol) {
    switch (protocol) {
    case TIPProtocol::ipIP:
        return 0;
    case TIPProtocol::ipICMP:
        return 1;
    case TIPProtocol::ipTCP:
        return 6;
    case TIPProtocol::ipUDP:
        return 17;
    case TIPProtocol::ipRaw:
        return 255;
    default:
        return -1;
    }
}

int IPProtocolToSocketType(TIPProtocol protocol) {
    switch (protocol) {
    case TIPProtocol::ipTCP:
        return SOCK_STREAM;
    case TIPProtocol::ipUDP:
        return SOCK_DGRAM;
    case TIPProtocol::ipRaw:
        return SOCK_RAW;
    default:
        return 0;
    }
}

TSysSockAddr SocketAddrToSys(const TSocketAddr& addr) {
    TSysSockAddr r;
    if (addr.AddrFamily == TIPAddressFamily::iaIP4) {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(addr.Port);
        std::memcpy(&sin.sin_addr, addr.Addr.data(), 4);
        std::memcpy(r.Data.data(), &sin, sizeof sin);
        r.Length = sizeof sin;
    } else if (addr.AddrFamily == TIPAddressFamily::iaIP6) {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(addr.Port);
        std::memcpy(&sin6.sin6_addr, addr.Addr.data(), 16);
        sin6.sin6_scope_id = addr.ScopeId;
        std::memcpy(r.Data.data(), &sin6, sizeof sin6);
        r.Length = sizeof sin6;
    } else
        throw ESocketLib("Address family not supported");
    return r;
}

TSocketAddr SysToSocketAddr(const TSysSockAddr& sys) {
    sa_family_t family;
    std::memcpy(&family, sys.Data.data(), sizeof family);
    if (family == AF_INET && sys.Length >= sizeof(sockaddr_in)) {
        sockaddr_in sin;
        std::memcpy(&sin, sys.Data.data(), sizeof sin);
        uint32_t a;
        std::memcpy(&a, &sin.sin_addr, 4);
        return TSocketAddr::IP4(a, ntohs(sin.sin_port));
    }
    if (family == AF_INET6 && sys.Length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, sys.Data.data(), sizeof sin6);
        std::array<uint8_t, 16> a;
        std::memcpy(a.data(), &sin6.sin6_addr, 16);
        TSocketAddr r = TSocketAddr::IP6(a, ntohs(sin6.sin6_port));
        r.ScopeId = sin6.sin6_scope_id;
        return UnmapIP4(r);
    }
    throw ESocketLib("Address family not supported");
}

TSocketAddr UnmapIP4(const TSocketAddr& addr) {
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (addr.AddrFamily != TIPAddressFamily::iaIP6 ||
        std::memcmp(addr.Addr.data(), kMappedPrefix, sizeof kMappedPrefix) != 0)
        return addr;
    uint32_t v4;
    std::memcpy(&v4, addr.Addr.data() + 12, 4);
    return TSocketAddr::IP4(v4, addr.Port);
}

namespace {
sockaddr* SysPtr(TSysSockAddr& a) {
    return reinterpret_cast<sockaddr*>(a.Data.data());
}

// Frees a getaddrinfo result on every path.
struct TAddrInfoList {
    addrinfo* List = nullptr;
    ~TAddrInfoList() {
        if (List)
            ::freeaddrinfo(List);
    }
};

// getaddrinfo with the error mapped; 0 on success.
int GetAddrInfo(const std::string& host, int family, int flags, int socketType, int protocol,
                TAddrInfoList& out) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_flags = flags;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    errno = 0;
    int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &out.List);
    if (r == 0)
        return 0;
    int code = SocketErrorFromGai(r, errno);
    SocketSetLastError(code);
    return code;
}

// The addresses of a getaddrinfo result (port 0), of sysFamily, or of both families for 0.
TSocketAddrArray AddrInfoAddresses(const TAddrInfoList& list, int sysFamily) {
    TSocketAddrArray result;
    for (addrinfo* p = list.List; p; p = p->ai_next) {
        bool wanted = sysFamily != 0 ? p->ai_family == sysFamily
                                     : p->ai_family == AF_INET || p->ai_family == AF_INET6;
        if (!wanted)
            continue;
        TSysSockAddr sys;
        sys.Length = std::min<unsigned>(p->ai_addrlen, SYS_SOCKADDR_SIZE);
        std::memcpy(sys.Data.data(), p->ai_addr, sys.Length);
        TSocketAddr a = SysToSocketAddr(sys);
        a.Port = 0;
        result.push_back(a);
    }
    return result;
}
} // namespace

bool IsIPAddress(const std::string& s, uint32_t& addr) {
    addr = INADDR_FAILURE;
    if (s.size() < 7)
        return false;
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    int dots = 0;
    for (size_t j = i; j < s.size(); ++j) {
        char c = s[j];
        if (c == '.') {
            if (++dots > 3)
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') ||
                     c == 'x'))
            return false;
    }
    if (dots != 3)
        return false;
    in_addr_t a = ::inet_addr(s.c_str() + i);
    if (a == INADDR_NONE && s != "255.255.255.255")
        return false;
    addr = a;
    return true;
}

bool IsNumericIP4Host(const std::string& s, uint32_t& addr) {
    addr = INADDR_FAILURE;
    // inet_aton stops at a blank and takes what came before: only the number itself counts.
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                   c == 'x' || c == 'X' || c == '.';
        }))
        return false;
    in_addr a;
    if (::inet_aton(s.c_str(), &a) == 0)
        return false;
    std::memcpy(&addr, &a, 4);
    return true;
}

bool IsIPAddress(const std::string& s) {
    uint32_t a;
    return IsIPAddress(s, a);
}

bool IsIP6Address(const std::string& s, std::array<uint8_t, 16>& addr) {
    addr.fill(0);
    if (s.size() < 2)
        return false;
    if (s == "::" || s == "::0")
        return true;
    TAddrInfoList list;
    if (GetAddrInfo(s, AF_INET6, AI_NUMERICHOST, 0, 0, list) != 0)
        return false;
    for (addrinfo* p = list.List; p; p = p->ai_next)
        if (p->ai_family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 sin6;
            std::memcpy(&sin6, p->ai_addr, sizeof sin6);
            std::memcpy(addr.data(), &sin6.sin6_addr, 16);
            return true;
        }
    return false;
}

bool IsIPLiteral(const std::string& s, TSocketAddr& addr) {
    addr = TSocketAddr();
    uint32_t v4;
    if (IsIPAddress(s, v4)) {
        addr = TSocketAddr::IP4(v4);
        return true;
    }
    std::string text = s;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.find(':') == std::string::npos)
        return false;
    TAddrInfoList list;
    if (GetAddrInfo(text, AF_INET6, AI_NUMERICHOST, 0, 0, list) != 0)
        return false;
    for (addrinfo* p = list.List; p; p = p->ai_next)
        if (p->ai_family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6)) {
            // Kept as written: a mapped literal still names an IPv6 address to connect to.
            sockaddr_in6 sin6;
            std::memcpy(&sin6, p->ai_addr, sizeof sin6);
            std::array<uint8_t, 16> a;
            std::memcpy(a.data(), &sin6.sin6_addr, 16);
            addr = TSocketAddr::IP6(a);
            addr.ScopeId = sin6.sin6_scope_id;
            return true;
        }
    return false;
}

std::string SocketAddrLiteral(const TSocketAddr& addr) {
    std::string text = SocketAddrStr(addr);
    if (addr.AddrFamily == TIPAddressFamily::iaIP6 && addr.ScopeId != 0)
        text += "%" + std::to_string(addr.ScopeId);
    return text;
}

std::string SocketAddrLiteralNamed(const TSocketAddr& addr) {
    char name[IF_NAMESIZE];
    if (addr.AddrFamily != TIPAddressFamily::iaIP6 || addr.ScopeId == 0 ||
        !::if_indextoname(addr.ScopeId, name))
        return SocketAddrLiteral(addr);
    return SocketAddrStr(addr) + "%" + name;
}

TSocketAddrArray ResolveHostAll(const std::string& host) {
    EnsureSocketsStarted();
    if (host.empty())
        throw ESocketLib("Host not specified", 0);
    TSocketAddr literal;
    if (IsIPLiteral(host, literal))
        return {literal};
    TAddrInfoList list;
    int code = GetAddrInfo(host, AF_UNSPEC, 0, SOCK_STREAM, 0, list);
    TSocketAddrArray result;
    if (code == 0)
        result = AddrInfoAddresses(list, 0);
    if (result.empty())
        throw ESocketLib("Failed to resolve host", code ? code : WSANO_DATA);
    return result;
}

TSocketAddrArray ResolveHost(const std::string& host, TIPAddressFamily family) {
    EnsureSocketsStarted();
    if (host.empty())
        throw ESocketLib("Host not specified", 0);
    if (family == TIPAddressFamily::iaIP4) {
        uint32_t a;
        if (IsIPAddress(host, a))
            return {TSocketAddr::IP4(a)};
    } else if (family == TIPAddressFamily::iaIP6) {
        std::array<uint8_t, 16> a;
        if (IsIP6Address(host, a))
            return {TSocketAddr::IP6(a)};
    } else
        throw ESocketLib("Invalid address family");
    int sysFamily = IPAddressFamilyToSys(family);
    TAddrInfoList list;
    // Stream type keeps one entry per address instead of one per socket type.
    if (int code = GetAddrInfo(host, sysFamily, 0, SOCK_STREAM, 0, list))
        throw ESocketLib("Lookup failed", code);
    return AddrInfoAddresses(list, sysFamily);
}

TIP4AddrArray ResolveHostIP4(const std::string& host) {
    EnsureSocketsStarted();
    if (host.empty())
        throw ESocketLib("Host not specified", 0);
    uint32_t a;
    if (IsIPAddress(host, a))
        return {a};
    TAddrInfoList list;
    int code = GetAddrInfo(host, AF_INET, 0, SOCK_STREAM, 0, list);
    TIP4AddrArray result;
    if (code == 0)
        for (addrinfo* p = list.List; p; p = p->ai_next)
            if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
                sockaddr_in sin;
                std::memcpy(&sin, p->ai_addr, sizeof sin);
                uint32_t v;
                std::memcpy(&v, &sin.sin_addr, 4);
                result.push_back(v);
            }
    if (result.empty())
        throw ESocketLib("Failed to resolve host", code ? code : WSANO_DATA);
    return result;
}

uint32_t ResolveHostIP4Single(const std::string& host) {
    TIP4AddrArray list = ResolveHostIP4(host);
    if (list.empty())
        throw ESocketLib("Failed to resolve host", 0);
    return list[0];
}

uint16_t ResolvePort(const std::string& port, TIPProtocol protocol) {
    EnsureSocketsStarted();
    if (port.empty())
        throw ESocketLib("Port not specified");
    if (auto n = ParseDigits(port)) {
        if (*n > 65535)
            throw ESocketLib("Port number out of range");
        return htons(static_cast<uint16_t>(*n));
    }
    size_t i = 0;
    while (i < port.size() && IsBlank(port[i]))
        ++i;
    std::string name = port.substr(i);
    const char* protoName = protocol == TIPProtocol::ipTCP   ? "tcp"
                            : protocol == TIPProtocol::ipUDP ? "udp"
                                                             : nullptr;
    servent entry;
    servent* found = nullptr;
    char buf[1024];
    int r = ::getservbyname_r(name.c_str(), protoName, &entry, buf, sizeof buf, &found);
    if (r != 0 || !found) {
        int code = r ? SocketErrorFromErrno(r) : WSANO_DATA;
        SocketSetLastError(code);
        throw ESocketLib("Failed to resolve port", code);
    }
    return static_cast<uint16_t>(found->s_port);
}

std::string LocalHostName() {
    EnsureSocketsStarted();
    char buf[1024];
    if (::gethostname(buf, sizeof buf) != 0)
        throw ESocketLib("Local host name not available", SocketSetLastErrorFromErrno());
    buf[sizeof buf - 1] = 0;
    return buf;
}

TIP4AddrArray LocalIP4Addresses() {
    return ResolveHostIP4(LocalHostName());
}

bool IsLoopbackOrUnspecifiedIP4(uint32_t addr) {
    uint8_t bytes[4];
    std::memcpy(bytes, &addr, 4); // network order: the first byte is the first part
    return bytes[0] == 127 || addr == 0;
}

bool IsThisMachineIP4(uint32_t addr, const TIP4AddrArray& local) {
    return IsLoopbackOrUnspecifiedIP4(addr) ||
           std::find(local.begin(), local.end(), addr) != local.end();
}

TSocketAddrArray LocalIP6Addresses() {
    TSocketAddrArray result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET6)
            continue;
        TSysSockAddr sys;
        sys.Length = sizeof(sockaddr_in6);
        std::memcpy(sys.Data.data(), p->ifa_addr, sys.Length);
        TSocketAddr a = SysToSocketAddr(sys);
        a.Port = 0;
        result.push_back(a);
    }
    ::freeifaddrs(list);
    return result;
}

bool IsLocalTargetAddress(const TSocketAddr& addr, const TSocketAddrArray& local6) {
    TSocketAddr a = UnmapIP4(addr);
    if (a.AddrFamily == TIPAddressFamily::iaIP4)
        return IsLoopbackOrUnspecifiedIP4(a.AddrIP4());
    if (a.AddrFamily != TIPAddressFamily::iaIP6)
        return false;
    static constexpr std::array<uint8_t, 16> kAny{};
    static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 0, 1};
    if (a.Addr == kAny || a.Addr == kLoopback)
        return true;
    // The scope does not matter: any interface's address is this machine.
    return std::any_of(local6.begin(), local6.end(),
                       [&](const TSocketAddr& own) { return own.Addr == a.Addr; });
}

bool IsThisMachineClient(const TSocketAddr& client) {
    if (client.AddrFamily == TIPAddressFamily::iaIP6)
        return IsLocalTargetAddress(client, LocalIP6Addresses());
    if (client.AddrFamily != TIPAddressFamily::iaIP4)
        return false;
    uint32_t addr = client.AddrIP4();
    if (IsLoopbackOrUnspecifiedIP4(addr))
        return true;
    try {
        return IsThisMachineIP4(addr, LocalIP4Addresses());
    } catch (const Exception&) {
        return false; // not known as ours: judged as a client from elsewhere
    }
}

AddressStrArray LocalIP4AddressesStr() {
    AddressStrArray r;
    for (uint32_t a : LocalIP4Addresses())
        r.push_back(IPAddressStr(a));
    return r;
}

std::string ReverseLookup(const TSocketAddr& addr) {
    EnsureSocketsStarted();
    if (addr.AddrFamily == TIPAddressFamily::iaNone)
        throw ESocketLib("Invalid address family");
    TSysSockAddr sys = SocketAddrToSys(addr);
    char host[1025];
    char serv[32];
    int r = ::getnameinfo(SysPtr(sys), sys.Length, host, sizeof host, serv, sizeof serv,
                          NI_NUMERICSERV);
    if (r != 0) {
        int code = SocketErrorFromGai(r, errno);
        SocketSetLastError(code);
        throw ESocketLib("Reserse lookup failed", code);
    }
    return host;
}

std::string IPAddressStr(uint32_t addr) {
    // Written out by hand: every connection's log line and facts name one or two addresses,
    // and the library's formatting machinery costs more than the rest of the text.
    unsigned char b[4];
    std::memcpy(b, &addr, sizeof b);
    char buf[INET_ADDRSTRLEN];
    char* out = buf;
    for (int i = 0; i < 4; ++i) {
        unsigned v = b[i];
        if (v >= 100)
            *out++ = char('0' + v / 100);
        if (v >= 10)
            *out++ = char('0' + v / 10 % 10);
        *out++ = char('0' + v % 10);
        if (i < 3)
            *out++ = '.';
    }
    return std::string(buf, out);
}

std::string SocketAddrStr(const TSocketAddr& addr) {
    if (addr.AddrFamily == TIPAddressFamily::iaIP4)
        return IPAddressStr(addr.AddrIP4());
    if (addr.AddrFamily == TIPAddressFamily::iaIP6) {
        char buf[INET6_ADDRSTRLEN];
        return ::inet_ntop(AF_INET6, addr.Addr.data(), buf, sizeof buf) ? buf : "";
    }
    return "";
}

std::string IPProtocolToStr(TIPProtocol protocol) {
    const char* builtIn;
    switch (protocol) {
    case TIPProtocol::ipTCP:
        builtIn = "tcp";
        break;
    case TIPProtocol::ipUDP:
        builtIn = "udp";
        break;
    case TIPProtocol::ipRaw:
        builtIn = "raw";
        break;
    default:
        return "";
    }
    protoent entry;
    protoent* found = nullptr;
    char buf[1024];
    if (::getprotobynumber_r(IPProtocolToSys(protocol), &entry, buf, sizeof buf, &found) == 0 &&
        found && found->p_name)
        return found->p_name;
    return builtIn;
}

namespace {
std::atomic<bool> GIP6Withheld{false}; // WithholdIP6Sockets
} // namespace

bool WithholdIP6Sockets(bool withheld) {
    return GIP6Withheld.exchange(withheld);
}

TSocketHandle AllocateSocketHandle(TIPAddressFamily family, TIPProtocol protocol,
                                   bool nonBlocking) {
    EnsureSocketsStarted();
    if (family != TIPAddressFamily::iaIP4 && family != TIPAddressFamily::iaIP6)
        throw ESocketLib("Invalid address family", WSAEINVAL);
    int type = IPProtocolToSocketType(protocol);
    int number = IPProtocolToSys(protocol);
    if (type == 0 || number < 0)
        throw ESocketLib("Invalid protocol", WSAEINVAL);
    int fd = -1;
    if (family == TIPAddressFamily::iaIP6 && GIP6Withheld.load())
        errno = EAFNOSUPPORT; // as the kernel answers with IPv6 switched off
    else
        fd = ::socket(IPAddressFamilyToSys(family),
                      type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), number);
    if (fd < 0)
        throw ESocketLib("Failed to allocate socket handle", SocketSetLastErrorFromErrno());
    return fd;
}

void SetSocketBlocking(TSocketHandle handle, bool block) {
    if (handle == INVALID_SOCKETHANDLE)
        throw ESocketLib("Invalid socket handle");
    int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0 || ::fcntl(handle, F_SETFL, block ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) < 0)
        throw ESocketLib("Blocking mode not set", SocketSetLastErrorFromErrno());
}

namespace {
template <typename T> T Checked(T r) {
    if (r < 0)
        SocketSetLastErrorFromErrno();
    return r;
}
} // namespace

int SocketClose(TSocketHandle handle) {
    return Checked(::close(handle));
}

int SocketBind(TSocketHandle handle, const TSocketAddr& addr) {
    TSysSockAddr sys = SocketAddrToSys(addr);
    return Checked(::bind(handle, SysPtr(sys), sys.Length));
}

int SocketListen(TSocketHandle handle, int backlog) {
    return Checked(::listen(handle, std::max(backlog, kListenBacklogMin)));
}

TSocketHandle SocketAccept(TSocketHandle handle, TSocketAddr* peer, bool nonBlocking) {
    TSysSockAddr sys;
    socklen_t len = SYS_SOCKADDR_SIZE;
    int fd = ::accept4(handle, SysPtr(sys), &len, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
    if (fd < 0) {
        SocketSetLastErrorFromErrno();
        if (peer)
            *peer = TSocketAddr();
        return INVALID_SOCKETHANDLE;
    }
    if (peer) {
        sys.Length = len;
        try {
            *peer = SysToSocketAddr(sys);
        } catch (const ESocketLib&) {
            *peer = TSocketAddr();
        }
    }
    return fd;
}

namespace {
// addr as an IPv6 socket takes an IPv4 address: ::ffff:a.b.c.d.
TSocketAddr MapIP4(const TSocketAddr& addr) {
    std::array<uint8_t, 16> mapped{};
    mapped[10] = mapped[11] = 0xFF;
    std::memcpy(mapped.data() + 12, addr.Addr.data(), 4);
    return TSocketAddr::IP6(mapped, addr.Port);
}

// An IPv6 socket may refuse an IPv4 address in its own form (the error depends on the
// system and the protocol): it takes the mapped one. The retry costs nothing where the
// system takes both.
bool RefusesIP4Form(int error, const TSocketAddr& addr) {
    return (error == EAFNOSUPPORT || error == EINVAL) &&
           addr.AddrFamily == TIPAddressFamily::iaIP4;
}

// call(system address) for addr, and again in the mapped form when the IPv4 form was refused;
// a retry that fails too leaves the first failure's error (the mapped form was only a guess).
template <typename Call> auto InEitherForm(const TSocketAddr& addr, Call call) {
    TSysSockAddr sys = SocketAddrToSys(addr);
    auto r = call(sys);
    if (r < 0 && RefusesIP4Form(errno, addr)) {
        int first = errno;
        sys = SocketAddrToSys(MapIP4(addr));
        r = call(sys);
        if (r < 0)
            errno = first;
    }
    return r;
}
} // namespace

int SocketConnect(TSocketHandle handle, const TSocketAddr& addr) {
    return Checked(InEitherForm(addr, [&](TSysSockAddr& sys) {
        return ::connect(handle, SysPtr(sys), sys.Length);
    }));
}

long SocketRecv(TSocketHandle handle, void* buf, size_t size) {
    return Checked(::recv(handle, buf, size, 0));
}

bool SocketIdleAndOpen(TSocketHandle handle) {
    // Only "nothing to read yet" leaves it usable: a byte, the end or an error all end it.
    return SocketPeek(handle) == TSocketPeek::Nothing;
}

TSocketPeek SocketPeek(TSocketHandle handle) {
    if (handle == INVALID_SOCKETHANDLE)
        return TSocketPeek::Failed;
    char byte;
    long r = ::recv(handle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0)
        return TSocketPeek::Data;
    if (r == 0)
        return TSocketPeek::Ended;
    return errno == EAGAIN || errno == EWOULDBLOCK ? TSocketPeek::Nothing : TSocketPeek::Failed;
}

long SocketSend(TSocketHandle handle, const void* buf, size_t size) {
    return Checked(::send(handle, buf, size, MSG_NOSIGNAL));
}

namespace {
// A sender's address as the system wrote it; a family this system does not model gives the
// empty address.
TSocketAddr ReceivedAddress(const void* name, socklen_t length) {
    TSysSockAddr sys;
    sys.Length = std::min<unsigned>(length, SYS_SOCKADDR_SIZE);
    std::memcpy(sys.Data.data(), name, sys.Length);
    try {
        return SysToSocketAddr(sys);
    } catch (const ESocketLib&) {
        return TSocketAddr();
    }
}
} // namespace

long SocketRecvFrom(TSocketHandle handle, void* buf, size_t size, TSocketAddr* from,
                    bool* truncated) {
    TSysSockAddr sys;
    iovec iov{buf, size};
    msghdr msg{};
    msg.msg_name = sys.Data.data();
    msg.msg_namelen = SYS_SOCKADDR_SIZE;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    long r = ::recvmsg(handle, &msg, 0);
    if (r < 0) {
        SocketSetLastErrorFromErrno();
        return r;
    }
    if (truncated)
        *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    if (from)
        *from = ReceivedAddress(sys.Data.data(), msg.msg_namelen);
    return r;
}

long SocketSendTo(TSocketHandle handle, const void* buf, size_t size, const TSocketAddr& to) {
    return Checked(InEitherForm(to, [&](TSysSockAddr& sys) {
        return ::sendto(handle, buf, size, MSG_NOSIGNAL, SysPtr(sys), sys.Length);
    }));
}

namespace {
// The system's headers of one batch call, on the stack and filled only as far as used: a batch
// costs no allocation.
struct TBatchHeaders {
    std::array<sockaddr_storage, kSocketBatchMax> Names;
    std::array<iovec, kSocketBatchMax> Buffers;
    std::array<mmsghdr, kSocketBatchMax> Messages;
    void Set(size_t i, char* data, size_t length, socklen_t nameLength) {
        Buffers[i] = iovec{data, length};
        Messages[i] = mmsghdr{};
        msghdr& m = Messages[i].msg_hdr;
        m.msg_name = &Names[i];
        m.msg_namelen = nameLength;
        m.msg_iov = &Buffers[i];
        m.msg_iovlen = 1;
    }
};
} // namespace

long SocketRecvBatch(TSocketHandle handle, TDatagram* items, size_t count) {
    count = std::min(count, kSocketBatchMax);
    TBatchHeaders h;
    for (size_t i = 0; i < count; ++i)
        h.Set(i, items[i].Data, items[i].Size, sizeof(sockaddr_storage));
    int r = ::recvmmsg(handle, h.Messages.data(), unsigned(count), 0, nullptr);
    if (r < 0) {
        SocketSetLastErrorFromErrno();
        return r;
    }
    for (size_t i = 0; i < size_t(r); ++i) {
        const msghdr& m = h.Messages[i].msg_hdr;
        items[i].Length = std::min(size_t(h.Messages[i].msg_len), items[i].Size);
        items[i].Truncated = (m.msg_flags & MSG_TRUNC) != 0;
        items[i].Address = ReceivedAddress(&h.Names[i], m.msg_namelen);
    }
    return r;
}

long SocketSendBatch(TSocketHandle handle, const TDatagram* items, size_t count) {
    count = std::min(count, kSocketBatchMax);
    TBatchHeaders h;
    auto fill = [&](bool mapIP4) {
        for (size_t i = 0; i < count; ++i) {
            // An address of no family raises as SocketSendTo does, or ends the batch before it.
            TSysSockAddr to;
            const TSocketAddr& address = items[i].Address;
            try {
                bool map = mapIP4 && address.AddrFamily == TIPAddressFamily::iaIP4;
                to = SocketAddrToSys(map ? MapIP4(address) : address);
            } catch (const ESocketLib&) {
                if (i == 0)
                    throw;
                count = i;
                break;
            }
            std::memcpy(&h.Names[i], to.Data.data(), to.Length);
            h.Set(i, items[i].Data, items[i].Length, to.Length);
        }
    };
    fill(false);
    int r = ::sendmmsg(handle, h.Messages.data(), unsigned(count), MSG_NOSIGNAL);
    // Refused at the first: SocketSendTo's retry in the mapped form, for the whole batch.
    if (r < 0 && count > 0 && RefusesIP4Form(errno, items[0].Address)) {
        int first = errno;
        fill(true);
        r = ::sendmmsg(handle, h.Messages.data(), unsigned(count), MSG_NOSIGNAL);
        if (r < 0)
            errno = first;
    }
    return Checked(r);
}

int SocketShutdown(TSocketHandle handle, TShutdownHow how) {
    int h = how == TShutdownHow::sdReceive ? SHUT_RD
            : how == TShutdownHow::sdSend  ? SHUT_WR
                                           : SHUT_RDWR;
    return Checked(::shutdown(handle, h));
}

namespace {
int GetName(TSocketHandle handle, TSocketAddr& addr, bool peer) {
    TSysSockAddr sys;
    socklen_t len = SYS_SOCKADDR_SIZE;
    int r =
        peer ? ::getpeername(handle, SysPtr(sys), &len) : ::getsockname(handle, SysPtr(sys), &len);
    if (r < 0)
        return Checked(r);
    sys.Length = len;
    try {
        addr = SysToSocketAddr(sys);
    } catch (const ESocketLib&) {
        SocketSetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    return 0;
}
} // namespace

int SocketGetPeerName(TSocketHandle handle, TSocketAddr& addr) {
    return GetName(handle, addr, true);
}
int SocketGetSockName(TSocketHandle handle, TSocketAddr& addr) {
    return GetName(handle, addr, false);
}

long SocketAvailable(TSocketHandle handle) {
    int n = 0;
    if (::ioctl(handle, FIONREAD, &n) < 0)
        return Checked(-1L);
    return n;
}

int ConnectOutcome(TSocketHandle handle, bool failureTold) {
    return failureTold ? SocketPendingError(handle) : 0;
}

int SocketPendingError(TSocketHandle handle) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        return SocketSetLastErrorFromErrno();
    return err ? SocketErrorFromErrno(err) : 0;
}

int SocketSetBroadcast(TSocketHandle handle, bool value) {
    int v = value ? 1 : 0;
    return Checked(::setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &v, sizeof v));
}

bool SocketIsDatagram(TSocketHandle handle) {
    int v = 0;
    socklen_t len = sizeof v;
    return ::getsockopt(handle, SOL_SOCKET, SO_TYPE, &v, &len) == 0 && v == SOCK_DGRAM;
}

bool SocketIsListening(TSocketHandle handle) {
    int v = 0;
    socklen_t len = sizeof v;
    return ::getsockopt(handle, SOL_SOCKET, SO_ACCEPTCONN, &v, &len) == 0 && v != 0;
}

int SocketSetReuseAddress(TSocketHandle handle, bool value) {
    int v = value ? 1 : 0;
    return Checked(::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v));
}

int SocketSetV6Only(TSocketHandle handle, bool value) {
    int v = value ? 1 : 0;
    return Checked(::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &v, sizeof v));
}

int SocketSetNoDelay(TSocketHandle handle, bool value) {
    int v = value ? 1 : 0;
    return Checked(::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v));
}

namespace {
std::atomic<size_t> gEnlargedPipes{0};
} // namespace

size_t PipeEnlargedBudget() {
    static const size_t budget = [] {
        constexpr size_t kDefaultSoftPages = 16384;
        size_t pages = kDefaultSoftPages;
        if (std::FILE* f = std::fopen("/proc/sys/fs/pipe-user-pages-soft", "r")) {
            unsigned long value = 0;
            if (std::fscanf(f, "%lu", &value) == 1)
                pages = value;
            std::fclose(f);
        }
        if (pages == 0)
            return std::numeric_limits<size_t>::max();
        size_t perPipe = size_t(kPipeSize) / size_t(::sysconf(_SC_PAGESIZE));
        return pages / 4 / std::max<size_t>(perPipe, 1);
    }();
    return budget;
}

size_t PipeEnlargedCount() {
    return gEnlargedPipes.load();
}

int PipeOpen(TPipeHandles& pipe) {
    int fds[2];
    if (Checked(::pipe2(fds, O_NONBLOCK | O_CLOEXEC)) < 0)
        return -1;
    pipe.Read = fds[0];
    pipe.Write = fds[1];
    pipe.Enlarged = false;
    if (gEnlargedPipes.fetch_add(1) < PipeEnlargedBudget() &&
        ::fcntl(pipe.Write, F_SETPIPE_SZ, kPipeSize) >= 0)
        pipe.Enlarged = true;
    else
        gEnlargedPipes.fetch_sub(1); // the default size serves as well, only slower
    return 0;
}

int PipeClose(TPipeHandles& pipe) {
    if (pipe.Enlarged) {
        pipe.Enlarged = false;
        gEnlargedPipes.fetch_sub(1);
    }
    int result = 0, error = 0;
    for (int* fd : {&pipe.Read, &pipe.Write}) {
        if (*fd < 0)
            continue;
        // Linux releases the descriptor even when close reports a failure: never retried.
        if (Checked(::close(*fd)) < 0 && result == 0) {
            result = -1;
            error = SocketGetLastError();
        }
        *fd = -1;
    }
    if (result < 0)
        SocketSetLastError(error);
    return result;
}

long SocketSplice(int from, int to, size_t size) {
    if (size == 0)
        return 0;
    return Checked(static_cast<long>(
        ::splice(from, nullptr, to, nullptr, size, SPLICE_F_MOVE | SPLICE_F_NONBLOCK)));
}

bool SpliceUnsupported(int error) {
    // EINVAL: a descriptor kind without splice support; ENOSYS keeps its own number.
    return error == WSAEINVAL || error == WSAEOPNOTSUPP || error == ENOSYS;
}

} // namespace corvan
