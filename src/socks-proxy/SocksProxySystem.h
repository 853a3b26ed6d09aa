#pragma once
// The SOCKS proxy service as a settings component ("Proxy-SocksProxy"). It holds and
// persists the service's settings; the server it starts is not part of this unit yet, so
// enabling the service records the running state only.

#include "app/ServiceComponent.h"

namespace corvan {

class TSocksProxySystem : public TLoggingServiceComponent {
public:
    // A stored MaxConnections below this loads as this.
    static constexpr int MinMaxConnections = 1;

    // The log file is serviceFolder (ending in "/") + "socksproxy.log"; users is not owned
    // and outlives the service.
    TSocksProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users);

    std::string ClassName() const override { return "TSocksProxySystem"; }

    int ServerPort = 1080;
    std::string ServerIP;
    int MaxConnections = 64;
    int MaxBackLog = 0;
    bool EnableLog = false;
    bool LimitBandIn = false;
    int BandInLimit = -1;
    bool LimitBandOut = false;
    int BandOutLimit = -1;
    TProxyServerInfo SocksProxy;

protected:
    // Enabled, ServerPort, ServerIP, MaxConnections (at least 1), MaxBackLog (at least 0),
    // EnableLog, LimitBandIn, BandInLimit, LimitBandOut, BandOutLimit; then the record
    // "<section>-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    void ClampSettings() override;
    std::vector<TProxyRecord> ProxyRecords() override;
};

} // namespace corvan
