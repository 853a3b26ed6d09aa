#include "http-proxy/HTTPProxyForms.h"

#include "http-proxy/HTTPProxySystem.h"
#include "util/Random.h"
#include "util/Strings.h"
#include "util/Utils.h"

#include <algorithm>
#include <limits>

namespace corvan {

// ---- TframeHTTPProxyStatus ----

TframeHTTPProxyStatus::TframeHTTPProxyStatus(THTTPProxySystem& service) {
    Lines = {""};
    AddValue("Up-Time");
    AddValue("Connections");
    AddValue("Transfer Rate");
    AddValue("Request Count");
    AddValue("Reused Connections");
    AddValue("Data Transferred");
    AddValue("Refused Clients");
    service.AddServiceButtons(*this);
}

void TframeHTTPProxyStatus::Update(const THTTPProxySystem& s) {
    bool running = s.Active();
    THTTPProxySystem::ShowRunning(*this, running);
    if (!running) {
        Lines = {"HTTP Proxy Server not active."};
        const std::string notShown = "-";
        for (TStatusValue& v : Values)
            v.Value = notShown;
        Picture = TStatusPicture::iPCGray;
        return;
    }
    Lines = {"HTTP Proxy Server active on port " + std::to_string(s.ListeningPort()) + "."};
    SetValue("Up-Time", s.UptimeText());
    SetValue("Connections", std::to_string(s.ClientCount()));
    int64_t rate = s.TransferRate();
    SetValue("Transfer Rate", rate >= THTTPProxySystem::kShownRateThreshold
                                  ? SizeText(rate) + "/s"
                                  : std::string("-"));
    SetValue("Request Count", std::to_string(s.RequestCount()));
    SetValue("Reused Connections", std::to_string(s.ReusedConnections()));
    uint64_t total = s.TotalBytes();
    uint64_t shown = std::min<uint64_t>(total, uint64_t(std::numeric_limits<int64_t>::max()));
    SetValue("Data Transferred", total == 0 ? "-" : SizeText(int64_t(shown)));
    SetValue("Refused Clients", std::to_string(s.RefusedCount()));
    Picture = s.ActiveRequests() > 0 && rate > 0 ? TStatusPicture::iPCCyan
                                                 : TStatusPicture::iPCBlue;
}

// ---- TfrmHTTPProxySettings ----

const std::vector<std::string>& TfrmHTTPProxySettings::LoginModeCaptions() {
    static const std::vector<std::string> captions = {
        "Users are not required to login.", "All users use the same password:",
        "Use configured users.", "Use a script to validate passwords:"};
    return captions;
}

const std::vector<std::string>& TfrmHTTPProxySettings::PortItems() {
    static const std::vector<std::string> items = {"81", "3128", "8080", "8081"};
    return items;
}

void TfrmHTTPProxySettings::SetUseSocksProxy(bool value) {
    UseSocksProxy = value;
    SocksProxy.SetFrameEnabled(value);
}

void TfrmHTTPProxySettings::SetUseHTTPProxy(bool value) {
    UseHTTPProxy = value;
    HTTPProxy.SetFrameEnabled(value);
}

void TfrmHTTPProxySettings::GeneratePassword() {
    LoginPassword = RandomPassword(8, 12, true, false, true);
}

void TfrmHTTPProxySettings::LoadFrom(const THTTPProxySystem& s) {
    ServerPort = std::to_string(s.ServerPort);
    ServerIP.SetServerIP(s.ServerIP);
    AllowedClients.SetAllowedClients(s.AllowedClients);
    SocksProxy.LoadFrom(s.SocksProxy);
    SetUseSocksProxy(s.SocksProxy.UseProxy);
    HTTPProxy.LoadFrom(s.HTTPProxy);
    SetUseHTTPProxy(s.HTTPProxy.UseProxy);
    UpdateVia = s.UpdateVia;
    UpdateXForwardedFor = s.UpdateXForwardedFor;
    EnableLogFile = s.EnableLogFile;
    EnableTunnelling = s.EnableTunnelling;
    OnlyTunnelHTTPS = s.OnlyTunnelHTTPS;
    MaxConnections = std::to_string(s.MaxConnections);
    MaxBackLog = std::to_string(s.MaxBackLog);
    LimitBandwidth = s.LimitBandwidth;
    BandwidthLimit = std::to_string(s.BandwidthLimit);
    LoginMode = s.LoginMode;
    LoginPassword = s.LoginPassword;
    LoginScript = s.LoginScript;
}

void TfrmHTTPProxySettings::SaveTo(THTTPProxySystem& s) const {
    s.ServerPort = ParseIntDef(ServerPort, 0);
    s.ServerIP = ServerIP.GetServerIP();
    s.AllowedClients = AllowedClients.GetAllowedClients();
    s.SocksProxy.UseProxy = UseSocksProxy;
    SocksProxy.SaveTo(s.SocksProxy);
    s.HTTPProxy.UseProxy = UseHTTPProxy;
    HTTPProxy.SaveTo(s.HTTPProxy);
    s.UpdateVia = UpdateVia;
    s.UpdateXForwardedFor = UpdateXForwardedFor;
    s.EnableLogFile = EnableLogFile;
    s.EnableTunnelling = EnableTunnelling;
    s.OnlyTunnelHTTPS = OnlyTunnelHTTPS;
    s.MaxConnections = std::max(ParseIntDef(MaxConnections, kFallbackMaxConnections),
                                THTTPProxySystem::kMinMaxConnections);
    s.MaxBackLog = std::clamp(ParseIntDef(MaxBackLog, 0), 0, THTTPProxySystem::kMaxMaxBackLog);
    s.LimitBandwidth = LimitBandwidth;
    int limit = ParseIntDef(BandwidthLimit, 0);
    s.BandwidthLimit = limit >= 1 && limit < kMinBandwidthLimit ? kMinBandwidthLimit : limit;
    s.LoginMode = LoginMode <= 3 ? LoginMode : THTTPProxySystem::kUnknownLoginMode;
    s.LoginPassword = LoginPassword.substr(0, kMaxPasswordLength);
    s.LoginScript = LoginScript;
}

} // namespace corvan
