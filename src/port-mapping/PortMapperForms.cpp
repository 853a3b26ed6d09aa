#include "port-mapping/PortMapperForms.h"

#include "port-mapping/PortMapperSystem.h"
#include "util/Strings.h"

namespace corvan {

namespace {

// "1 mapping" / "2 mappings".
std::string MappingCount(int n) {
    return std::to_string(n) + (n == 1 ? " mapping" : " mappings");
}

} // namespace

// ---- TframePortMapperStatus ----

TframePortMapperStatus::TframePortMapperStatus() {
    Lines = {"", ""};
}

void TframePortMapperStatus::Update(const TPortMapperSystem& list) {
    int count = list.GetChildCount();
    if (count == 0) {
        Lines = {"No mappings configured.", ""};
        return;
    }
    Lines = {MappingCount(count) + " defined.", MappingCount(list.ActiveCount()) + " active."};
}

// ---- TframePortMapStatus ----

TframePortMapStatus::TframePortMapStatus(TPortMapSystem& mapping) {
    Lines = {""};
    AddValue("Destination");
    AddValue("Up-Time");
    AddValue("Connections");
    AddValue("Refused Clients");
    mapping.AddServiceButtons(*this);
    TPortMapSystem* m = &mapping;
    // The mapping may be destroyed by this: nothing may touch it afterwards.
    AddButton("Delete", [m] { m->Delete(); });
}

void TframePortMapStatus::Update(const TPortMapSystem& m) {
    bool running = m.Active();
    bool tcp = m.ServerProtocol == mpTCP;
    std::string protocol = ProtocolDisplayName(m.ServerProtocol);
    if (!m.IsConfigured()) {
        Lines = {"Mapping is not configured."};
        SetValue("Destination", "-");
        SetValue("Up-Time", "-");
        SetValue("Connections", "-");
        SetValue("Refused Clients", "-");
    } else {
        SetValue("Destination", m.DestinationText());
        if (running) {
            Lines = {protocol + " Port Mapping active on port " + std::to_string(m.ServerPort) +
                     "."};
            SetValue("Up-Time", m.UptimeText());
            SetValue("Connections", tcp ? std::to_string(m.Connections()) : "-");
            SetValue("Refused Clients", std::to_string(m.RefusedCount()));
        } else {
            Lines = {protocol + " Port Mapping not active."};
            SetValue("Up-Time", "-");
            SetValue("Connections", "-");
            SetValue("Refused Clients", "-");
        }
    }
    if (!running)
        Picture = TStatusPicture::iPCGray;
    else if (tcp && m.Connections() >= 1)
        Picture = TStatusPicture::iPCCyan;
    else
        Picture = TStatusPicture::iPCBlue;
    TPortMapSystem::ShowRunning(*this, running);
}

// ---- TfrmPortMapSettings ----

const std::vector<std::string>& TfrmPortMapSettings::ProtocolItems() {
    static const std::vector<std::string> items = {"TCP", "UDP"};
    return items;
}

std::string TfrmPortMapSettings::PortText(int port) {
    return port == 0 ? std::string() : std::to_string(port);
}

int TfrmPortMapSettings::ParsePort(const std::string& text) {
    int port = ParseIntDef(text, 0);
    return port >= 0 && port <= 65535 ? port : 0;
}

void TfrmPortMapSettings::SetUseSocksProxy(bool value) {
    UseSocksProxy = value;
    SocksProxy.SetFrameEnabled(value);
}

void TfrmPortMapSettings::LoadFrom(const TPortMapSystem& m) {
    ProtocolIndex = m.ServerProtocol == mpTCP ? 0 : m.ServerProtocol == mpUDP ? 1 : -1;
    ServerPort = PortText(m.ServerPort);
    ServerIP.SetServerIP(m.ServerIP);
    AllowedClients.SetAllowedClients(m.AllowedClients);
    DestHost = m.DestHost;
    DestPort = PortText(m.DestPort);
    SocksProxy.LoadFrom(m.SocksProxy);
    SetUseSocksProxy(m.SocksProxy.UseProxy);
}

void TfrmPortMapSettings::SaveTo(TPortMapSystem& m) const {
    if (ProtocolIndex == 0)
        m.ServerProtocol = mpTCP;
    else if (ProtocolIndex == 1)
        m.ServerProtocol = mpUDP;
    m.ServerPort = ParsePort(ServerPort);
    m.ServerIP = ServerIP.GetServerIP();
    m.AllowedClients = AllowedClients.GetAllowedClients();
    m.DestHost = DestHost;
    m.DestPort = ParsePort(DestPort);
    m.SocksProxy.UseProxy = UseSocksProxy;
    SocksProxy.SaveTo(m.SocksProxy);
}

} // namespace corvan
