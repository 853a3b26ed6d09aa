#pragma once
// The HTTP proxy service as a settings component ("Proxy-HTTP"). It holds and persists the
// service's settings; the server it starts is not part of this unit yet, so enabling the
// service records the running state only.

#include "component/ServiceComponent.h"

namespace corvan {

class THTTPProxySystem : public TLoggingServiceComponent {
public:
    // A stored MaxConnections below this loads as this.
    static constexpr int kMinMaxConnections = 2;
    // A stored MaxBackLog is clamped to 0 .. this.
    static constexpr int kMaxMaxBackLog = 64;
    // LoginMode values 0 to 3 are the known modes; any other stored value loads as this
    // one, which demands a login and must accept none (never an open proxy by accident).
    static constexpr uint8_t kUnknownLoginMode = 255;

    // The log file is serviceFolder (ending in "/") + "httpproxy.log"; users is not owned
    // and outlives the service.
    THTTPProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users);

    std::string ClassName() const override { return "THTTPProxySystem"; }

    int ServerPort = 8080;
    std::string ServerIP;
    bool EnableTunnelling = true;
    bool OnlyTunnelHTTPS = false;
    bool UpdateXForwardedFor = false;
    bool UpdateVia = false;
    bool EnableLogFile = false;
    int MaxConnections = 64;
    int MaxBackLog = 0;
    bool LimitBandwidth = false;
    int BandwidthLimit = 0;
    uint8_t LoginMode = 0;
    std::string LoginPassword;
    TProxyServerInfo HTTPProxy;  // up-stream HTTP proxy for retrieval
    TProxyServerInfo SocksProxy; // up-stream SOCKS5 proxy for outbound connections

protected:
    // Enabled, ServerPort, ServerIP, EnableTunnelling, OnlyTunnelHTTPS, UpdateXForwardedFor,
    // UpdateVia, EnableLogFile, MaxConnections, MaxBackLog, LimitBandwidth, BandwidthLimit,
    // LoginMode, LoginPassword; then the records "<section>-HTTPProxy", "-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    void ClampSettings() override;
    std::vector<TProxyRecord> ProxyRecords() override;
};

} // namespace corvan
