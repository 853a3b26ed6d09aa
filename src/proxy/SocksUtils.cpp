#include "proxy/SocksUtils.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace corvan {

namespace {
// ReadExact may answer more or fewer bytes only by a fault of its own; checking keeps such a
// fault from becoming an out-of-bounds read here.
std::string ReadChecked(const std::function<std::string(size_t)>& readExact, size_t count) {
    std::string bytes = readExact(count);
    if (bytes.size() != count)
        throw ESocks("Read error");
    return bytes;
}

uint8_t ReadByte(const std::function<std::string(size_t)>& readExact) {
    return uint8_t(ReadChecked(readExact, 1)[0]);
}

std::string ReadLengthPrefixed(const std::function<std::string(size_t)>& readExact) {
    size_t length = ReadByte(readExact);
    return length ? ReadChecked(readExact, length) : std::string();
}
} // namespace

std::string ReadSocks4String(const std::function<std::string(size_t)>& readExact) {
    std::string text;
    for (;;) {
        char c = char(ReadByte(readExact));
        if (c == 0)
            return text;
        if (text.size() == kSocks4MaxStringLength)
            throw ESocks("Invalid data");
        text.push_back(c);
    }
}

std::optional<TSocksRequest> ReadSocks4Request(const TSocksServerIO& io) {
    std::string head = ReadChecked(io.ReadExact, 7); // CD, DSTPORT, DSTIP
    if (io.Terminated && io.Terminated())
        return std::nullopt;
    if (uint8_t(head[0]) != kSocksCmdConnect)
        return std::nullopt;
    TSocksRequest request;
    request.Version = kSocks4Version;
    request.UserId = ReadSocks4String(io.ReadExact);
    request.Destination.Port = ReadUInt16BE(head.data() + 1);
    request.Destination.Addr = ReadIPv4(head.data() + 3);
    // 4a marks a host name with the address 0.0.0.x, x not 0.
    if (head[3] == 0 && head[4] == 0 && head[5] == 0 && head[6] != 0) {
        request.Destination.Host = ReadSocks4String(io.ReadExact);
        request.Destination.Addr = 0;
    }
    return request;
}

std::vector<uint8_t> ReadSocks5Methods(const std::function<std::string(size_t)>& readExact) {
    size_t count = ReadByte(readExact);
    std::vector<uint8_t> methods;
    if (count) {
        std::string bytes = ReadChecked(readExact, count);
        methods.assign(bytes.begin(), bytes.end());
    }
    return methods;
}

uint8_t SelectSocks5Method(const std::vector<uint8_t>& methods, bool requireLogin) {
    if (methods.empty())
        return kSocks5MethodNoneAcceptable;
    if (std::find(methods.begin(), methods.end(), kSocks5MethodUserPass) != methods.end())
        return kSocks5MethodUserPass;
    return requireLogin ? kSocks5MethodNoneAcceptable : kSocks5MethodNone;
}

std::optional<TSocks5Credentials>
ReadSocks5Credentials(const std::function<std::string(size_t)>& readExact) {
    if (ReadByte(readExact) != kSocks5AuthVersion)
        return std::nullopt;
    TSocks5Credentials credentials;
    credentials.Username = ReadLengthPrefixed(readExact);
    credentials.Password = ReadLengthPrefixed(readExact);
    return credentials;
}

TSocks5RequestResult ReadSocks5Request(const std::function<std::string(size_t)>& readExact,
                                       bool udp) {
    TSocks5RequestResult result;
    if (ReadByte(readExact) != kSocks5Version)
        return result; // CloseSilently
    result.Kind = TSocks5RequestResult::Refuse;
    result.Command = ReadByte(readExact);
    if (result.Command != kSocksCmdConnect && !(udp && result.Command == kSocksCmdUdpAssociate)) {
        result.ReplyCode = kSocks5CommandNotSupported;
        return result;
    }
    ReadByte(readExact); // RSV
    uint8_t type = ReadByte(readExact);
    if (type == kSocks5AddrIPv4) {
        result.Destination.Addr = ReadIPv4(ReadChecked(readExact, 4).data());
    } else if (type == kSocks5AddrDomain) {
        result.Destination.Host = ReadLengthPrefixed(readExact);
    } else if (type == kSocks5AddrIPv6) {
        // Carried as its text, which every outbound path takes as a literal of its family.
        std::array<uint8_t, 16> addr{};
        std::string bytes = ReadChecked(readExact, addr.size());
        std::memcpy(addr.data(), bytes.data(), addr.size());
        result.Destination.Host = SocketAddrStr(TSocketAddr::IP6(addr));
    } else {
        result.ReplyCode = kSocks5AddressTypeNotSupported;
        return result;
    }
    result.Destination.Port = ReadUInt16BE(ReadChecked(readExact, 2).data());
    result.Kind = TSocks5RequestResult::Request;
    return result;
}

namespace {
std::optional<TSocksRequest> NegotiateSocks5(const TSocksServerIO& io,
                                             const TSocksServerOptions& options,
                                             const TSocksAuthenticate& authenticate) {
    uint8_t method = SelectSocks5Method(ReadSocks5Methods(io.ReadExact), options.RequireLogin);
    io.Write(Socks5MethodReply(method));
    if (method == kSocks5MethodNoneAcceptable)
        return std::nullopt;
    TSocksRequest request;
    request.Version = kSocks5Version;
    if (method == kSocks5MethodUserPass) {
        auto credentials = ReadSocks5Credentials(io.ReadExact);
        if (!credentials || !authenticate ||
            !authenticate(credentials->Username, credentials->Password)) {
            io.Write(Socks5AuthReply(false));
            return std::nullopt;
        }
        io.Write(Socks5AuthReply(true));
        request.UserId = std::move(credentials->Username);
    }
    TSocks5RequestResult result = ReadSocks5Request(io.ReadExact, options.EnableUdp);
    if (result.Kind == TSocks5RequestResult::Refuse)
        io.Write(Socks5Reply(result.ReplyCode));
    if (result.Kind != TSocks5RequestResult::Request)
        return std::nullopt;
    request.Command = result.Command;
    request.Destination = std::move(result.Destination);
    return request;
}
} // namespace

std::optional<TSocksRequest> NegotiateSocksRequest(const TSocksServerIO& io,
                                                   const TSocksServerOptions& options,
                                                   const TSocksAuthenticate& authenticate) {
    switch (ReadByte(io.ReadExact)) {
    case kSocks4Version:
        if (options.RejectSocks4 || options.RequireLogin) {
            io.Write(Socks4Reply(kSocks4Rejected));
            return std::nullopt;
        }
        return ReadSocks4Request(io);
    case kSocks5Version:
        return NegotiateSocks5(io, options, authenticate);
    default:
        return std::nullopt;
    }
}

std::string Socks4Reply(uint8_t code, uint32_t addr, uint16_t port) {
    std::string out;
    out.push_back(0);
    out.push_back(char(code));
    AppendUInt16BE(out, port);
    AppendIPv4(out, addr);
    return out;
}

std::string Socks5MethodReply(uint8_t method) {
    return {char(kSocks5Version), char(method)};
}

std::string Socks5AuthReply(bool success) {
    return {char(kSocks5AuthVersion), char(success ? 0 : 1)};
}

std::string Socks5Reply(uint8_t code, uint32_t addr, uint16_t port) {
    return Socks5Reply(code, TSocketAddr::IP4(addr, port));
}

void AppendSocks5Address(std::string& out, const TSocketAddr& addr) {
    if (addr.AddrFamily == TIPAddressFamily::iaIP6) {
        out.push_back(char(kSocks5AddrIPv6));
        out.append(reinterpret_cast<const char*>(addr.Addr.data()), addr.Addr.size());
    } else {
        out.push_back(char(kSocks5AddrIPv4));
        AppendIPv4(out, addr.AddrIP4());
    }
    AppendUInt16BE(out, addr.Port);
}

std::string Socks5Reply(uint8_t code, const TSocketAddr& bound) {
    std::string out;
    out.push_back(char(kSocks5Version));
    out.push_back(char(code));
    out.push_back(0);
    AppendSocks5Address(out, bound);
    return out;
}

std::string SocksGrantedReply(uint8_t version, uint32_t addr, uint16_t port) {
    return version == kSocks4Version ? Socks4Reply(kSocks4Granted, addr, port)
                                     : Socks5Reply(kSocks5Succeeded, addr, port);
}

std::string SocksNotAllowedReply(uint8_t version) {
    return version == kSocks4Version ? Socks4Reply(kSocks4Rejected)
                                     : Socks5Reply(kSocks5NotAllowed);
}

std::string SocksConnectFailedReply(uint8_t version, int socketError) {
    return version == kSocks4Version ? Socks4Reply(kSocks4Rejected)
                                     : Socks5Reply(Socks5ReplyCodeForError(socketError));
}

uint8_t Socks5ReplyCodeForError(int socketError) {
    switch (socketError) {
    case 10050: // network down
    case 10051: // network unreachable
        return kSocks5NetworkUnreachable;
    case 10060: // timed out
    case 10064: // host down
    case 10065: // host unreachable
        return kSocks5HostUnreachable;
    case 10053: // connection aborted
    case 10054: // connection reset
    case 10061: // connection refused
        return kSocks5ConnectionRefused;
    default:
        return kSocks5GeneralFailure;
    }
}

} // namespace corvan
