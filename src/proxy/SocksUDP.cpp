#include "proxy/SocksUDP.h"

#include "net/SocketHostLookup.h"
#include "net/TCPStream.h"
#include "proxy/SocksProxy.h"
#include "proxy/UDPProxy.h"
#include "util/Ticks.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace corvan {

namespace {
// RSV (2 bytes), FRAG, ATYP.
constexpr size_t kDatagramHeadSize = 4;
} // namespace

std::optional<TSocksDatagram> ParseSocksDatagram(std::string_view datagram) {
    if (datagram.size() < kDatagramHeadSize || datagram[2] != 0)
        return std::nullopt;
    TSocksDatagram parsed;
    size_t at = kDatagramHeadSize;
    uint8_t type = uint8_t(datagram[3]);
    if (type == kSocks5AddrIPv4) {
        if (datagram.size() < at + 4)
            return std::nullopt;
        parsed.Destination.Addr = ReadIPv4(datagram.data() + at);
        if (parsed.Destination.Addr == 0)
            return std::nullopt;
        at += 4;
    } else if (type == kSocks5AddrDomain) {
        size_t length = datagram.size() > at ? uint8_t(datagram[at]) : 0;
        if (length == 0 || datagram.size() < at + 1 + length)
            return std::nullopt;
        parsed.Destination.Host.assign(datagram.data() + at + 1, length);
        at += 1 + length;
    } else if (type == kSocks5AddrIPv6) {
        std::array<uint8_t, 16> addr{};
        if (datagram.size() < at + addr.size())
            return std::nullopt;
        std::memcpy(addr.data(), datagram.data() + at, addr.size());
        if (addr == std::array<uint8_t, 16>{})
            return std::nullopt;
        parsed.Destination.Host = SocketAddrStr(TSocketAddr::IP6(addr));
        at += addr.size();
    } else {
        return std::nullopt;
    }
    if (datagram.size() < at + 2)
        return std::nullopt;
    parsed.Destination.Port = ReadUInt16BE(datagram.data() + at);
    if (parsed.Destination.Port == 0)
        return std::nullopt;
    parsed.DataOffset = at + 2;
    return parsed;
}

std::string SocksDatagramHeader(const TSocketAddr& sender) {
    std::string header{0, 0, 0}; // RSV, FRAG
    AppendSocks5Address(header, sender);
    return header;
}

std::string SocksDatagramHeader(uint32_t addr, uint16_t port) {
    return SocksDatagramHeader(TSocketAddr::IP4(addr, port));
}

bool TSocksUdpSourceFilter::Accept(const TSocketAddr& from) {
    if (FClient.AddrFamily == TIPAddressFamily::iaNone || from.AddrFamily != FClient.AddrFamily ||
        from.Addr != FClient.Addr)
        return false;
    if (!FHavePort) {
        FClient.Port = from.Port;
        FHavePort = true;
    }
    return from.Port == FClient.Port;
}

bool TSocksUdpSourceFilter::Client(TSocketAddr& client) const {
    client = FClient;
    return FHavePort;
}

// ---- TSocksUdpAssociation ----

TSocksUdpAssociation::TSocksUdpAssociation(TSocketStream& control,
                                           const TSocksConnectionSettings& settings,
                                           uint16_t clientPort)
    : FControl(control), FSettings(settings), FSource(SocksClientAddress(control), clientPort) {
    TSocketAddr local;
    SocketGetSockName(control.Socket()->SocketHandle(), local);
    for (AUDPSocket* socket : {&FRelay, &FOutbound}) {
        // Read whole as they come, never queued; a datagram the system will not take now is
        // dropped, never buffered.
        socket->BufferPackets = false;
        socket->MaxBufferedPackets = 0;
        socket->UseSendBuffer = false;
        socket->MaxPacketSize = kUDPMapperPacketSize;
    }
    FRelay.SetLocalHost(SocketAddrLiteral(local));
    FRelay.SetLocalPort("0");
    FRelay.OnReadable = [this] { return Burst(FRelay, &TSocksUdpAssociation::CarryFromClient); };
    FOutbound.OnReadable = [this] {
        return Burst(FOutbound, &TSocksUdpAssociation::CarryToClient);
    };
    try {
        FRelay.SetActive(true);
        FOutbound.SetActive(true);
    } catch (...) {
        Close();
        throw;
    }
    SocketGetSockName(FRelay.SocketHandle(), FRelayAddress);
}

TSocksUdpAssociation::~TSocksUdpAssociation() {
    Close();
}

void TSocksUdpAssociation::Close() {
    FRelay.SetActive(false);
    FOutbound.SetActive(false);
}

bool TSocksUdpAssociation::Stopping() const {
    return (FSettings.Terminated && FSettings.Terminated()) || FControl.Socket()->Terminated();
}

void TSocksUdpAssociation::Run(TSocksConnectionFacts& facts) {
    FFacts = &facts;
    FLastMove = MonotonicMillis();
    const int64_t idleLimit = RelayIdleLimitMs();
    ATCPClientSocket* control = FControl.Socket();
    while (!Stopping()) {
        // Bytes on the control connection mean nothing now: thrown away, so that its reading
        // goes on and its close is seen.
        if (control->BufferUsed() > 0)
            control->ReadAvailable();
        int64_t deadline = FLastMove + idleLimit;
        if (!control->IsConnected() || MonotonicMillis() >= deadline)
            break;
        // Serves the thread's loop, the two sockets' notifications among them; false once the
        // control connection has closed or the connection is terminated.
        if (!FControl.WaitStep(deadline))
            break;
    }
    Close();
    FFacts = nullptr;
}

bool TSocksUdpAssociation::WithinRate(TRateWindow& window, bool throttle, int rate,
                                      size_t size) {
    if (!throttle)
        return true;
    int64_t bytes = static_cast<int64_t>(size);
    if (window.Allowance(bytes, rate, GetTickCount()) < bytes)
        return false;
    window.Add(bytes);
    return true;
}

void TSocksUdpAssociation::Carried(size_t size, bool toClient) {
    FLastMove = MonotonicMillis();
    if (!FFacts)
        return;
    FFacts->BytesTransferred += size;
    if (toClient)
        FFacts->BytesToClient += size;
}

bool TSocksUdpAssociation::Burst(TSocksUdpSocket& socket, TCarry carry) {
    if (FInBurst) {
        if (std::find(FDeferred.begin(), FDeferred.end(), &socket) == FDeferred.end())
            FDeferred.push_back(&socket);
        return false;
    }
    FInBurst = true;
    struct TEnd {
        TSocksUdpAssociation& Self;
        ~TEnd() {
            Self.FInBurst = false;
            for (TSocksUdpSocket* deferred : Self.FDeferred)
                deferred->ReadLater();
            Self.FDeferred.clear();
        }
    } end{*this};
    for (int i = 0; i < kSocksUdpBurst; ++i) {
        if (Stopping())
            return false;
        TSocketAddr from;
        int len = 0;
        TDatagramRead read = ReadWholeDatagram(socket, FBuffer, from, len);
        if (read == TDatagramRead::None)
            return false;
        // A pending error of the socket is no datagram; any other not carried is dropped.
        if (read != TDatagramRead::Failed &&
            !(read == TDatagramRead::Whole && (this->*carry)(from, static_cast<size_t>(len))))
            ++FDropped;
    }
    return true;
}

bool TSocksUdpAssociation::CarryFromClient(const TSocketAddr& from, size_t len) {
    if (!FSource.Accept(from))
        return false;
    std::optional<TSocksDatagram> datagram = ParseSocksDatagram({FBuffer.data(), len});
    TSocketAddr addr;
    if (!datagram || !Resolve(datagram->Destination, addr))
        return false;
    size_t size = len - datagram->DataOffset;
    if (!WithinRate(FFromClientWindow, FSettings.ThrottleClient, FSettings.ClientReadRate, size))
        return false;
    try {
        FOutbound.SendTo(addr, FBuffer.data() + datagram->DataOffset, static_cast<int>(size));
    } catch (const ESocket&) {
        return false; // the system refused it (no route, say); the association goes on
    }
    Carried(size, false);
    return true;
}

bool TSocksUdpAssociation::CarryToClient(const TSocketAddr& from, size_t len) {
    TSocketAddr client;
    // No datagram of the client taken yet: its port, where answers go, is not known.
    if (!FSource.Client(client) ||
        !WithinRate(FToClientWindow, FSettings.ThrottleOutbound, FSettings.OutboundReadRate, len))
        return false;
    FOut = SocksDatagramHeader(from);
    FOut.append(FBuffer.data(), len);
    try {
        FRelay.SendTo(client, FOut.data(), static_cast<int>(FOut.size()));
    } catch (const ESocket&) {
        return false; // too long with its header, or the system refused it
    }
    Carried(len, true);
    return true;
}

bool TSocksUdpAssociation::Resolve(const TSocksDestination& dest, TSocketAddr& addr) {
    auto found = [&](const TSocketAddr& judged) {
        addr = judged;
        addr.Port = dest.Port;
        return addr.AddrFamily != TIPAddressFamily::iaNone;
    };
    // An address (type 1, or type 4 as its text) needs no lookup and is not kept.
    TSocketAddr literal;
    if (dest.Addr != 0 || IsIPLiteral(dest.Host, literal))
        return found(Judge(dest.Addr != 0 ? IPAddressStr(dest.Addr) : dest.Host));
    int64_t now = MonotonicMillis();
    auto entry = std::find_if(FNames.begin(), FNames.end(),
                              [&](const TNameEntry& e) { return e.Name == dest.Host; });
    if (entry != FNames.end() && now - entry->At < kSocksUdpNameCacheMs)
        return found(entry->Addr);
    if (entry == FNames.end()) {
        if (FNames.size() >= kSocksUdpNameCacheSize)
            FNames.erase(std::min_element(
                FNames.begin(), FNames.end(),
                [](const TNameEntry& a, const TNameEntry& b) { return a.At < b.At; }));
        FNames.push_back({dest.Host, {}, 0});
        entry = FNames.end() - 1;
    }
    // A name that does not resolve drops the datagram, not the association; so does one
    // found not allowed. Either is kept for a while, so a dead name does not make each
    // datagram a lookup.
    entry->Addr = Judge(dest.Host);
    entry->At = MonotonicMillis();
    return found(entry->Addr);
}

// As CONNECT judges and resolves a direct destination (CheckLocalTarget, the same lookup):
// the address to send to (the first IPv4 one of a name, else its first IPv6 one), or none.
TSocketAddr TSocksUdpAssociation::Judge(const std::string& host) {
    auto clientOnThisMachine = [this] {
        if (FSettings.AllowLocalTargets)
            return true;
        if (!FClientOnThisMachine)
            FClientOnThisMachine = SocksClientOnThisMachine(FControl, FSettings);
        return *FClientOnThisMachine;
    };
    TLocalTargetCheck check =
        CheckLocalTarget(host, true, clientOnThisMachine, [this] { return Stopping(); });
    if (check.Outcome != TLocalTargetCheck::Allowed || check.ConnectAddresses.empty())
        return {};
    return FirstIP4Else(check.ConnectAddresses);
}

} // namespace corvan
