#include "proxy/PortMappers.h"

#include "proxy/TCPProxy.h"
#include "proxy/UDPProxy.h"
#include "util/Strings.h"

namespace corvan {

namespace {

class TTCPPortMapping : public APortMapper {
public:
    explicit TTCPPortMapping(const TPortMapperParams& params)
        : FMapper(params.LocalPort, params.ClientTimeout) {
        FMapper.SetLocalHost(params.LocalHost);
        FMapper.DestHost = params.DestHost;
        FMapper.DestPort = params.DestPort;
        if (params.DestTimeOut > 0)
            FMapper.DestTimeOut = params.DestTimeOut;
        FMapper.Socks5 = params.SocksProxy;
        FMapper.SetActive(true);
    }
    int ClientCount() const override { return static_cast<int>(FMapper.ClientCount()); }

private:
    TTCPPortMapper FMapper;
};

class TUDPPortMapping : public APortMapper {
public:
    explicit TUDPPortMapping(const TPortMapperParams& params) {
        FMapper.DestHost = params.DestHost;
        FMapper.DestPort = params.DestPort;
        FMapper.SetLocalHost(params.LocalHost);
        FMapper.SetLocalPort(params.LocalPort);
        FMapper.SetActive(true);
    }
    int ClientCount() const override { return 0; }

private:
    TUDPPortMapper FMapper;
};

} // namespace

std::unique_ptr<APortMapper> CreatePortMapper(const TPortMapperParams& params) {
    switch (params.Protocol) {
    case ProtocolTCP:
        return std::make_unique<TTCPPortMapping>(params);
    case ProtocolUDP:
        return std::make_unique<TUDPPortMapping>(params);
    default:
        throw EPortMapping("Port mapping protocol not supported");
    }
}

} // namespace corvan
