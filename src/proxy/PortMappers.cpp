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

// Whether addr (IPv4, network order) belongs to this machine: only such an address can be
// bound.
bool IsLocalAddress(uint32_t addr) {
    TSocketHandle h;
    try {
        h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    } catch (const ESocketLib&) {
        return false; // no descriptor: the mapper could not start either
    }
    bool local = SocketBind(h, TSocketAddr::IP4(addr)) == 0;
    SocketClose(h);
    return local;
}

TIP4AddrArray ResolveOrNone(const std::string& host) {
    try {
        return ResolveHostIP4(host);
    } catch (const ESocketLib&) {
        return {};
    }
}

} // namespace

bool MapsOntoItself(const TPortMapperParams& params) {
    int port = ParseIntDef(TrimBlanks(params.LocalPort), -1);
    if (port < 1 || port != ParseIntDef(TrimBlanks(params.DestPort), -2))
        return false;
    std::string destHost(TrimBlanks(params.DestHost));
    if (destHost.empty())
        return false;
    TIP4AddrArray destinations = ResolveOrNone(destHost);
    std::string bindHost(TrimBlanks(params.LocalHost));
    // The socket layer binds the first address of LocalHost.
    TIP4AddrArray bound = bindHost.empty() ? TIP4AddrArray{} : ResolveOrNone(bindHost);
    bool everyAddress = bindHost.empty() || (!bound.empty() && bound[0] == 0);
    for (uint32_t d : destinations) {
        if (everyAddress ? IsLocalAddress(d) : (!bound.empty() && d == bound[0]))
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
