#include "socks-proxy/SocksProxySystem.h"

#include <algorithm>

namespace corvan {

TSocksProxySystem::TSocksProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users)
    : FLogFileName(serviceFolder + "socksproxy.log"), FUsers(users) {}

TSocksProxySystem::~TSocksProxySystem() = default;

void TSocksProxySystem::SettingsKeys(ASettingsKeys& keys) {
    keys.Integer("ServerPort", ServerPort, 1080);
    keys.String("ServerIP", ServerIP, "");
    keys.Integer("MaxConnections", MaxConnections, 64);
    keys.Integer("MaxBackLog", MaxBackLog, 0);
    keys.Bool("EnableLog", EnableLog, false);
    keys.Bool("LimitBandIn", LimitBandIn, false);
    keys.Integer("BandInLimit", BandInLimit, -1);
    keys.Bool("LimitBandOut", LimitBandOut, false);
    keys.Integer("BandOutLimit", BandOutLimit, -1);
}

void TSocksProxySystem::ClampSettings() {
    MaxConnections = std::max(MaxConnections, MinMaxConnections);
    MaxBackLog = std::max(MaxBackLog, 0);
}

std::vector<TServiceComponent::TProxyRecord> TSocksProxySystem::ProxyRecords() {
    return {{"-SocksProxy", &SocksProxy}};
}

} // namespace corvan
