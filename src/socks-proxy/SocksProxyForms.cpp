#include "socks-proxy/SocksProxyForms.h"

#include "socks-proxy/SocksProxySystem.h"
#include "util/Strings.h"
#include "util/Utils.h"

#include <algorithm>
#include <limits>

namespace corvan {

// ---- TframeSocksProxyStatus ----

TframeSocksProxyStatus::TframeSocksProxyStatus(TSocksProxySystem& service) {
    Lines = {""};
    AddValue("Up-Time");
    AddValue("Connections");
    AddValue("Data Transferred");
    AddValue("Transfer Rate");
    AddValue("Refused Clients");
    service.AddServiceButtons(*this);
}

void TframeSocksProxyStatus::Update(const TSocksProxySystem& s) {
    bool running = s.Active();
    TSocksProxySystem::ShowRunning(*this, running);
    if (!running) {
        Lines = {"Socks Proxy Server not active."};
        // Copied from a std::string, not assigned from a literal: GCC 12 at -O3 inlines
        // string::assign(const char*) here and raises a false -Wrestrict on it.
        const std::string notShown = "-";
        for (TStatusValue& v : Values)
            v.Value = notShown;
        Picture = TStatusPicture::iPCGray;
        return;
    }
    Lines = {"Socks Proxy Server active on port " + std::to_string(s.ListeningPort()) + "."};
    SetValue("Up-Time", s.UptimeText());
    SetValue("Connections", std::to_string(s.ClientCount()));
    uint64_t total = s.TotalBytes();
    uint64_t shown = std::min<uint64_t>(total, uint64_t(std::numeric_limits<int64_t>::max()));
    SetValue("Data Transferred", total == 0 ? "-" : SizeText(int64_t(shown)));
    int64_t rate = s.TransferRate();
    SetValue("Transfer Rate", rate >= TSocksProxySystem::kShownRateThreshold ? SizeText(rate) + "/s"
                                                                            : std::string("-"));
    SetValue("Refused Clients", std::to_string(s.RefusedCount()));
    Picture = rate > TSocksProxySystem::kShownRateThreshold ? TStatusPicture::iPCCyan
                                                           : TStatusPicture::iPCBlue;
}

// ---- TfrmSocksProxySettings ----

const std::vector<std::string>& TfrmSocksProxySettings::PortItems() {
    static const std::vector<std::string> items = {"1080", "1081", "3128", "8080"};
    return items;
}

std::string TfrmSocksProxySettings::RateText(int rate) {
    return rate < 1 ? std::string() : std::to_string(rate);
}

void TfrmSocksProxySettings::SetUseSocksProxy(bool value) {
    UseSocksProxy = value;
    SocksProxy.SetFrameEnabled(value);
}

void TfrmSocksProxySettings::LoadFrom(const TSocksProxySystem& s) {
    ServerPort = std::to_string(s.ServerPort);
    ServerIP.SetServerIP(s.ServerIP);
    AllowedClients.SetAllowedClients(s.AllowedClients);
    MaxConnections = std::to_string(s.MaxConnections);
    MaxBackLog = std::to_string(s.MaxBackLog);
    EnableLog = s.EnableLog;
    RequireLogin = s.RequireLogin;
    EnableUDP = s.EnableUDP;
    LimitBandIn = s.LimitBandIn;
    BandInLimit = RateText(s.BandInLimit);
    LimitBandOut = s.LimitBandOut;
    BandOutLimit = RateText(s.BandOutLimit);
    SocksProxy.LoadFrom(s.SocksProxy);
    SetUseSocksProxy(s.SocksProxy.UseProxy);
}

void TfrmSocksProxySettings::SaveTo(TSocksProxySystem& s) const {
    int port = ParseIntDef(ServerPort, kFallbackPort);
    s.ServerPort = port >= 0 && port <= 65535 ? port : kFallbackPort;
    s.ServerIP = ServerIP.GetServerIP();
    s.AllowedClients = AllowedClients.GetAllowedClients();
    s.MaxConnections = std::max(ParseIntDef(MaxConnections, kFallbackMaxConnections),
                                TSocksProxySystem::kMinMaxConnections);
    s.MaxBackLog = std::max(ParseIntDef(MaxBackLog, kFallbackMaxBackLog), 0);
    s.EnableLog = EnableLog;
    s.RequireLogin = RequireLogin;
    s.EnableUDP = EnableUDP;
    s.LimitBandIn = LimitBandIn;
    s.BandInLimit = ParseIntDef(BandInLimit, kFallbackRate);
    s.LimitBandOut = LimitBandOut;
    s.BandOutLimit = ParseIntDef(BandOutLimit, kFallbackRate);
    s.SocksProxy.UseProxy = UseSocksProxy;
    SocksProxy.SaveTo(s.SocksProxy);
}

} // namespace corvan
