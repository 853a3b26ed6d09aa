#include "socks-proxy/SocksProxySystem.h"

#include "util/IniFile.h"

#include <algorithm>

namespace corvan {

TSocksProxySystem::TSocksProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users)
    : FLogFileName(serviceFolder + "socksproxy.log"), FUsers(users) {}

TSocksProxySystem::~TSocksProxySystem() = default;

void TSocksProxySystem::LoadSettings(TIniFile& ini, const std::string& section) {
    LoadEnabled(ini, section);
    ServerPort = ini.ReadInteger(section, "ServerPort", 1080);
    ServerIP = ini.ReadString(section, "ServerIP", "");
    MaxConnections = std::max(ini.ReadInteger(section, "MaxConnections", 64), MinMaxConnections);
    MaxBackLog = std::max(ini.ReadInteger(section, "MaxBackLog", 0), 0);
    EnableLog = ini.ReadBool(section, "EnableLog", false);
    LimitBandIn = ini.ReadBool(section, "LimitBandIn", false);
    BandInLimit = ini.ReadInteger(section, "BandInLimit", -1);
    LimitBandOut = ini.ReadBool(section, "LimitBandOut", false);
    BandOutLimit = ini.ReadInteger(section, "BandOutLimit", -1);
    SocksProxy.LoadSettings(ini, section + "-SocksProxy");
}

void TSocksProxySystem::SaveSettings(TIniFile& ini, const std::string& section) {
    SaveEnabled(ini, section);
    ini.WriteInteger(section, "ServerPort", ServerPort);
    ini.WriteString(section, "ServerIP", ServerIP);
    ini.WriteInteger(section, "MaxConnections", MaxConnections);
    ini.WriteInteger(section, "MaxBackLog", MaxBackLog);
    ini.WriteBool(section, "EnableLog", EnableLog);
    ini.WriteBool(section, "LimitBandIn", LimitBandIn);
    ini.WriteInteger(section, "BandInLimit", BandInLimit);
    ini.WriteBool(section, "LimitBandOut", LimitBandOut);
    ini.WriteInteger(section, "BandOutLimit", BandOutLimit);
    SocksProxy.SaveSettings(ini, section + "-SocksProxy");
}

} // namespace corvan
