#pragma once
// The HTTP proxy service's views as models: its status frame and its settings dialog.

#include "component/EditorFrames.h"
#include "component/StatusFrame.h"
#include "component/UserInterface.h"

#include <string>
#include <vector>

namespace corvan {

class THTTPProxySystem;

// "HTTP Proxy Server active on port <n>." or "HTTP Proxy Server not active."; Up-Time,
// Connections, Transfer Rate, Request Count, Reused Connections (requests answered over a kept
// next-hop connection), Data Transferred, Refused Clients ("-" while
// stopped); Enable, Disable, Settings...; the picture: stopped, idle, or with traffic.
class TframeHTTPProxyStatus : public AStatusFrame {
public:
    explicit TframeHTTPProxyStatus(THTTPProxySystem& service);
    void Update(const THTTPProxySystem& service);
};

// The "HTTP Proxy Settings" dialog. Number fields are text: the port reads back as 0 when
// not a number, connections as 64 (at least 2), back-log as 0 (clamped to 0..64), the
// bandwidth limit as 0 (1..15 raised to 16). "Allowed clients:" must parse, or OK is not
// taken.
class TfrmHTTPProxySettings : public ASettingsForm {
public:
    static constexpr int kFallbackMaxConnections = 64;
    static constexpr int kMinBandwidthLimit = 16;
    static constexpr size_t kMaxPasswordLength = 64;
    // Field lengths: the port box, the two limits and the bandwidth take at most this many
    // digits; the validation program's command line at most this many characters.
    static constexpr int kPortDigits = 5;
    static constexpr int kLimitDigits = 4;
    static constexpr int kBandwidthDigits = 6;
    static constexpr size_t kMaxLoginScriptLength = 1024;
    // The login choices, in LoginMode order.
    static const std::vector<std::string>& LoginModeCaptions();
    static const std::vector<std::string>& PortItems(); // "81", "3128", "8080", "8081"

    std::string Caption() const override { return "HTTP Proxy Settings"; }
    std::vector<std::string> Tabs() const {
        return {"Server", "TCP Proxy", "HTTP Proxy", "Options", "Tunnel", "Limits", "Login"};
    }

    std::string ServerPort;
    TframeEditServerIP ServerIP;
    TframeEditAllowedClients AllowedClients;
    bool UseSocksProxy = false;
    TframeEditProxyServer SocksProxy;
    bool UseHTTPProxy = false;
    TframeEditProxyServer HTTPProxy;
    bool UpdateVia = false;
    bool UpdateXForwardedFor = false;
    bool EnableLogFile = false;
    bool EnableTunnelling = true;
    bool OnlyTunnelHTTPS = false;
    std::string MaxConnections;
    std::string MaxBackLog;
    bool LimitBandwidth = false;
    std::string BandwidthLimit;
    uint8_t LoginMode = 0;
    std::string LoginPassword;
    std::string LoginScript; // the validation program's command line (mode 3)

    void LoadFrom(const THTTPProxySystem& service);
    // OK: copies every field back into the service.
    void SaveTo(THTTPProxySystem& service) const;
    void SetUseSocksProxy(bool value);
    void SetUseHTTPProxy(bool value);
    // "Generate": a new random password in the password box.
    void GeneratePassword();
    std::string ValidationError() const override { return AllowedClients.ValidationError(); }

    // Enabling rules: each dependent control follows its switch.
    bool OnlyTunnelHTTPSEnabled() const { return EnableTunnelling; }
    bool BandwidthLimitEnabled() const { return LimitBandwidth; }
    bool PasswordEnabled() const { return LoginMode == 1; }
    bool LoginScriptEnabled() const { return LoginMode == 3; }
};

} // namespace corvan
