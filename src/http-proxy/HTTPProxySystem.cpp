#include "http-proxy/HTTPProxySystem.h"

#include <algorithm>

namespace corvan {

THTTPProxySystem::THTTPProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users)
    : TLoggingServiceComponent(serviceFolder + "httpproxy.log", users) {}

void THTTPProxySystem::SettingsKeys(ASettingsKeys& keys) {
    keys.Integer("ServerPort", ServerPort, 8080);
    keys.String("ServerIP", ServerIP, "");
    keys.Bool("EnableTunnelling", EnableTunnelling, true);
    keys.Bool("OnlyTunnelHTTPS", OnlyTunnelHTTPS, false);
    keys.Bool("UpdateXForwardedFor", UpdateXForwardedFor, false);
    keys.Bool("UpdateVia", UpdateVia, false);
    keys.Bool("EnableLogFile", EnableLogFile, false);
    keys.Integer("MaxConnections", MaxConnections, 64);
    keys.Integer("MaxBackLog", MaxBackLog, 0);
    keys.Bool("LimitBandwidth", LimitBandwidth, false);
    keys.Integer("BandwidthLimit", BandwidthLimit, 0);
    keys.Byte("LoginMode", LoginMode, 0, kUnknownLoginMode);
    keys.String("LoginPassword", LoginPassword, "");
}

void THTTPProxySystem::ClampSettings() {
    MaxConnections = std::max(MaxConnections, kMinMaxConnections);
    MaxBackLog = std::clamp(MaxBackLog, 0, kMaxMaxBackLog);
    if (LoginMode > 3)
        LoginMode = kUnknownLoginMode;
}

std::vector<TServiceComponent::TProxyRecord> THTTPProxySystem::ProxyRecords() {
    return {{"-HTTPProxy", &HTTPProxy}, {"-SocksProxy", &SocksProxy}};
}

} // namespace corvan
