#include "port-mapping/PortMapperSystem.h"

#include "util/IniFile.h"

namespace corvan {

TPortMapSystem::~TPortMapSystem() = default;

void TPortMapSystem::LoadSettings(TIniFile& ini, const std::string& section) {
    LoadEnabled(ini, section);
    int protocol = ini.ReadInteger(section, "ServerProtocol", 3);
    ServerProtocol = (protocol >= 0 && protocol <= 255) ? uint8_t(protocol) : 0;
    ServerPort = ini.ReadInteger(section, "ServerPort", 0);
    ServerIP = ini.ReadString(section, "ServerIP", "");
    DestHost = ini.ReadString(section, "DestHost", "");
    DestPort = ini.ReadInteger(section, "DestPort", 0);
    SocksProxy.LoadSettings(ini, section + "-SocksProxy");
}

void TPortMapSystem::SaveSettings(TIniFile& ini, const std::string& section) {
    SaveEnabled(ini, section);
    ini.WriteInteger(section, "ServerProtocol", ServerProtocol);
    ini.WriteInteger(section, "ServerPort", ServerPort);
    ini.WriteString(section, "ServerIP", ServerIP);
    ini.WriteString(section, "DestHost", DestHost);
    ini.WriteInteger(section, "DestPort", DestPort);
    SocksProxy.SaveSettings(ini, section + "-SocksProxy");
}

bool TPortMapperSystem::CanCreateChild() const {
    return GetChildCount() < MaxMappings;
}

std::unique_ptr<TAppComponent> TPortMapperSystem::CreateItem() {
    return std::make_unique<TPortMapSystem>();
}

} // namespace corvan
