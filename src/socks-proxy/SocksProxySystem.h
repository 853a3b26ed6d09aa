#pragma once
// The SOCKS proxy service as a settings component ("Proxy-SocksProxy"). It holds and
// persists the service's settings; the server it starts is not part of this unit yet, so
// enabling the service records the running state only.

#include "app/ServiceComponent.h"

namespace corvan {

class TProxyUsersSystem;

class TSocksProxySystem : public TServiceComponent {
public:
    // A stored MaxConnections below this loads as this.
    static constexpr int MinMaxConnections = 1;

    // serviceFolder ends in "/"; users is not owned and outlives the service.
    TSocksProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users);
    ~TSocksProxySystem() override;

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

    // Service folder + "socksproxy.log".
    const std::string& LogFileName() const { return FLogFileName; }
    TProxyUsersSystem* Users() const { return FUsers; }

protected:
    // Enabled, ServerPort, ServerIP, MaxConnections (at least 1), MaxBackLog (at least 0),
    // EnableLog, LimitBandIn, BandInLimit, LimitBandOut, BandOutLimit; then the record
    // "<section>-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    void ClampSettings() override;
    std::vector<TProxyRecord> ProxyRecords() override;

private:
    std::string FLogFileName;
    TProxyUsersSystem* FUsers;
};

} // namespace corvan
