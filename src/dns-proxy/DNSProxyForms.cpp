#include "dns-proxy/DNSProxyForms.h"

#include "dns-proxy/DNSProxySystem.h"
#include "util/Strings.h"

namespace corvan {

TframeDNSProxyStatus::TframeDNSProxyStatus(TDNSProxySystem& service) {
    Lines = {""};
    AddValue("Request Count");
    AddValue("Up-Time");
    AddValue("Refused Clients");
    AddValue("Cache Hits");
    AddValue("Cached Names");
    service.AddServiceButtons(*this);
}

void TframeDNSProxyStatus::Update(const TDNSProxySystem& s) {
    bool running = s.Active();
    TDNSProxySystem::ShowRunning(*this, running);
    if (!running) {
        Lines = {"DNS Proxy Server not active."};
        const std::string notShown = "-";
        for (TStatusValue& v : Values)
            v.Value = notShown;
        Picture = TStatusPicture::iPCGray;
        return;
    }
    Lines = {"DNS Proxy Server active."};
    SetValue("Request Count", std::to_string(s.RequestCount()));
    SetValue("Up-Time", s.UptimeText());
    SetValue("Refused Clients", std::to_string(s.RefusedCount()));
    SetValue("Cache Hits", std::to_string(s.CacheHits()));
    SetValue("Cached Names", std::to_string(s.CachedNames()));
    Picture = TStatusPicture::iPCBlue;
}

void TfrmDNSProxySettings::LoadFrom(const TDNSProxySystem& s) {
    ServerIP.SetServerIP(s.ServerIP);
    ServerPort = std::to_string(s.ServerPort);
    ResolveMethod = s.ResolveMethod == 1 ? 1 : 0;
    ResolveServer = s.ResolveServer;
    RecurseServer = s.RecurseServer;
    Recurse = s.Recurse;
    AllowedClients.SetAllowedClients(s.AllowedClients);
}

void TfrmDNSProxySettings::SaveTo(TDNSProxySystem& s) const {
    int port = ParseIntDef(ServerPort, kFallbackPort);
    s.ServerIP = ServerIP.GetServerIP();
    s.ServerPort = port >= 1 && port <= 65535 ? port : kFallbackPort;
    s.ResolveMethod = ResolveMethod;
    s.ResolveServer = std::string(TrimWhiteSpace(ResolveServer));
    s.RecurseServer = RecurseServer;
    s.Recurse = Recurse;
    s.AllowedClients = AllowedClients.GetAllowedClients();
}

} // namespace corvan
