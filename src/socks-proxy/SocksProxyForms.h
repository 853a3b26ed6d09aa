#pragma once
// The SOCKS proxy service's views as models: its status frame and its settings dialog.

#include "component/EditorFrames.h"
#include "component/StatusFrame.h"
#include "component/UserInterface.h"

#include <vector>

namespace corvan {

class TSocksProxySystem;

// "Socks Proxy Server active on port <n>." or "Socks Proxy Server not active."; Up-Time,
// Connections, Data Transferred, Transfer Rate, Refused Clients ("-" while stopped); Enable, Disable,
// Settings...; the state picture. The buttons act on the service given here.
class TframeSocksProxyStatus : public AStatusFrame {
public:
    explicit TframeSocksProxyStatus(TSocksProxySystem& service);
    void Update(const TSocksProxySystem& service);
};

// The "Socks Proxy Settings" dialog. Number fields are text; empty or malformed text reads
// back as its fall-back (port 8080, connections 64, backlog 0, rates -1), then the same
// clamps as loading apply (connections at least 1, backlog at least 0). Rates below 1 show
// empty. "Allowed clients:" (on the Server tab) must parse, or OK is not taken.
class TfrmSocksProxySettings : public ASettingsForm {
public:
    static constexpr int kFallbackPort = 8080;
    static constexpr int kFallbackMaxConnections = 64;
    static constexpr int kFallbackMaxBackLog = 0;
    static constexpr int kFallbackRate = -1;

    // The port list's entries (the field also takes any typed port).
    static const std::vector<std::string>& PortItems();
    // The check box of RequireLogin.
    static constexpr const char* kRequireLoginCaption = "Require users to log in.";
    // The check box of EnableUDP.
    static constexpr const char* kEnableUDPCaption = "Relay UDP datagrams for Socks5 clients.";

    std::string Caption() const override { return "Socks Proxy Settings"; }
    std::vector<std::string> Tabs() const { return {"Server", "Options", "Bandwidth", "Proxy"}; }

    std::string ServerPort;
    TframeEditServerIP ServerIP;
    TframeEditAllowedClients AllowedClients;
    std::string MaxConnections;
    std::string MaxBackLog;
    bool EnableLog = false;
    bool RequireLogin = false;
    bool EnableUDP = true;
    bool LimitBandIn = false;
    std::string BandInLimit;
    bool LimitBandOut = false;
    std::string BandOutLimit;
    bool UseSocksProxy = false;
    TframeEditProxyServer SocksProxy;

    void LoadFrom(const TSocksProxySystem& service);
    // OK: copies every field back into the service.
    void SaveTo(TSocksProxySystem& service) const;
    void SetUseSocksProxy(bool value);
    std::string ValidationError() const override { return AllowedClients.ValidationError(); }

    // Each rate field is usable only while its limit box is checked.
    bool BandInLimitEnabled() const { return LimitBandIn; }
    bool BandOutLimitEnabled() const { return LimitBandOut; }

    // A rate field's text: empty below 1.
    static std::string RateText(int rate);
};

} // namespace corvan
