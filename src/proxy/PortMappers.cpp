#include "proxy/PortMappers.h"

#include "net/SocketLib.h"
#include "proxy/TCPProxy.h"
#include "proxy/UDPProxy.h"
#include "util/Strings.h"

namespace corvan {

namespace {

class TTCPPortMapping : public APortMapper {
public:
    explicit TTCPPortMapping(const TPortMapperParams& params)
        : FMapper(params.LocalPort, params.ClientTimeout) {
        FAdmission.SetAllowed(params.AllowedClients);
        FAdmission.OnRefusalLog = params.OnRefusalLog;
        FMapper.Admission = &FAdmission;
        FMapper.LoopLog.OnLine = params.OnRefusalLog;
        FMapper.SetLocalHost(params.LocalHost);
        FMapper.DestHost = params.DestHost;
        FMapper.DestPort = params.DestPort;
        if (params.DestTimeOut > 0)
            FMapper.DestTimeOut = params.DestTimeOut;
        FMapper.Socks5 = params.SocksProxy;
        FMapper.SetActive(true);
    }
    int ClientCount() const override { return static_cast<int>(FMapper.ClientCount()); }
    uint64_t RefusedCount() const override { return FAdmission.RefusedCount(); }

private:
    TClientAdmission FAdmission; // before the mapper: it is asked until the mapper stops
    TTCPPortMapper FMapper;
};

class TUDPPortMapping : public APortMapper {
public:
    explicit TUDPPortMapping(const TPortMapperParams& params) {
        FAdmission.SetAllowed(params.AllowedClients);
        FAdmission.OnRefusalLog = params.OnRefusalLog;
        FMapper.Admission = &FAdmission;
        FMapper.LoopLog.OnLine = params.OnRefusalLog;
        FMapper.DestHost = params.DestHost;
        FMapper.DestPort = params.DestPort;
        FMapper.SetLocalHost(params.LocalHost);
        FMapper.SetLocalPort(params.LocalPort);
        FMapper.SetActive(true);
    }
    int ClientCount() const override { return 0; }
    uint64_t RefusedCount() const override { return FAdmission.RefusedCount(); }

private:
    TClientAdmission FAdmission; // before the mapper: it is asked until the mapper stops
    TUDPPortMapper FMapper;
};

// Whether addr (either family) belongs to this machine: only such an address can be bound.
bool IsLocalAddress(const TSocketAddr& addr) {
    TSocketHandle h;
    try {
        h = AllocateSocketHandle(addr.AddrFamily, TIPProtocol::ipUDP);
    } catch (const ESocketLib&) {
        return false; // no descriptor, or no IPv6: the mapper could not reach it either
    }
    TSocketAddr any = addr;
    any.Port = 0;
    bool local = SocketBind(h, any) == 0;
    SocketClose(h);
    return local;
}

// Every address of host, both families; an IPv4 address written mapped into IPv6
// (::ffff:127.0.0.1) as the IPv4 address it is, which is what it reaches.
TSocketAddrArray ResolveOrNone(const std::string& host) {
    TSocketAddrArray addresses;
    try {
        addresses = ResolveHostAll(host);
    } catch (const ESocketLib&) {
        return {};
    }
    for (TSocketAddr& a : addresses)
        a = UnmapIP4(a);
    return addresses;
}

} // namespace

bool MapsOntoItself(const TPortMapperParams& params) {
    int port = ParseIntDef(TrimBlanks(params.LocalPort), -1);
    if (port < 1 || port != ParseIntDef(TrimBlanks(params.DestPort), -2))
        return false;
    std::string destHost(TrimBlanks(params.DestHost));
    if (destHost.empty())
        return false;
    TSocketAddrArray destinations = ResolveOrNone(destHost);
    std::string bindHost(TrimBlanks(params.LocalHost));
    // The socket layer binds an address literal as it stands, a name by its first IPv4 address.
    TSocketAddr bound;
    if (!bindHost.empty() && !IsIPLiteral(bindHost, bound)) {
        TSocketAddrArray v4;
        try {
            v4 = ResolveHost(bindHost, TIPAddressFamily::iaIP4);
        } catch (const ESocketLib&) {
        }
        if (!v4.empty())
            bound = v4.front();
    }
    bound = UnmapIP4(bound);
    // No address, or the IPv6 any address (which takes IPv4 peers too): every address of both
    // families; 0.0.0.0: every IPv4 one.
    bool everyAddress = bindHost.empty() || (bound.AddrFamily != TIPAddressFamily::iaNone &&
                                             IsUnspecified(bound));
    for (const TSocketAddr& d : destinations) {
        if (everyAddress ? (bound.AddrFamily != TIPAddressFamily::iaIP4 ||
                            d.AddrFamily == TIPAddressFamily::iaIP4) &&
                               IsLocalAddress(d)
                         : d.AddrFamily == bound.AddrFamily && d.Addr == bound.Addr)
            return true;
    }
    return false;
}

std::unique_ptr<APortMapper> CreatePortMapper(const TPortMapperParams& params) {
    if ((params.Protocol == mpTCP || params.Protocol == mpUDP) &&
        MapsOntoItself(params))
        throw EPortMapping("its destination " + params.DestHost + ":" + params.DestPort +
                           " is its own listening address and port; it would connect to "
                           "itself until no descriptor is left");
    switch (params.Protocol) {
    case mpTCP:
        return std::make_unique<TTCPPortMapping>(params);
    case mpUDP:
        return std::make_unique<TUDPPortMapping>(params);
    default:
        throw EPortMapping("Port mapping protocol not supported");
    }
}

} // namespace corvan
