#include "dns-proxy/DNSProxySystem.h"

#include "util/IniFile.h"

namespace corvan {

TDNSProxySystem::~TDNSProxySystem() = default;

void TDNSProxySystem::LoadSettings(TIniFile& ini, const std::string& section) {
    LoadEnabled(ini, section);
    ServerIP = ini.ReadString(section, "ServerIP", "");
    int method = ini.ReadInteger(section, "ResolveMethod", 0);
    ResolveMethod = (method >= 0 && method <= 255) ? uint8_t(method) : 0;
    ResolveServer = ini.ReadString(section, "ResolveServer", "");
    RecurseServer = ini.ReadBool(section, "RecurseServer", true);
    Recurse = ini.ReadBool(section, "Recurse", true);
}

void TDNSProxySystem::SaveSettings(TIniFile& ini, const std::string& section) {
    SaveEnabled(ini, section);
    ini.WriteString(section, "ServerIP", ServerIP);
    ini.WriteInteger(section, "ResolveMethod", ResolveMethod);
    ini.WriteString(section, "ResolveServer", ResolveServer);
    ini.WriteBool(section, "RecurseServer", RecurseServer);
    ini.WriteBool(section, "Recurse", Recurse);
}

} // namespace corvan
