#include "http-proxy/HTTPProxySystem.h"

#include "util/IniFile.h"

#include <algorithm>

namespace corvan {

THTTPProxySystem::THTTPProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users)
    : FLogFileName(serviceFolder + "httpproxy.log"), FUsers(users) {}

THTTPProxySystem::~THTTPProxySystem() = default;

void THTTPProxySystem::LoadSettings(TIniFile& ini, const std::string& section) {
    LoadEnabled(ini, section);
    ServerPort = ini.ReadInteger(section, "ServerPort", 8080);
    ServerIP = ini.ReadString(section, "ServerIP", "");
    EnableTunnelling = ini.ReadBool(section, "EnableTunnelling", true);
    OnlyTunnelHTTPS = ini.ReadBool(section, "OnlyTunnelHTTPS", false);
    UpdateXForwardedFor = ini.ReadBool(section, "UpdateXForwardedFor", false);
    UpdateVia = ini.ReadBool(section, "UpdateVia", false);
    EnableLogFile = ini.ReadBool(section, "EnableLogFile", false);
    MaxConnections = std::max(ini.ReadInteger(section, "MaxConnections", 64), MinMaxConnections);
    MaxBackLog = std::clamp(ini.ReadInteger(section, "MaxBackLog", 0), 0, MaxMaxBackLog);
    LimitBandwidth = ini.ReadBool(section, "LimitBandwidth", false);
    BandwidthLimit = ini.ReadInteger(section, "BandwidthLimit", 0);
    int mode = ini.ReadInteger(section, "LoginMode", 0);
    LoginMode = (mode >= 0 && mode <= 3) ? uint8_t(mode) : UnknownLoginMode;
    LoginPassword = ini.ReadString(section, "LoginPassword", "");
    HTTPProxy.LoadSettings(ini, section + "-HTTPProxy");
    SocksProxy.LoadSettings(ini, section + "-SocksProxy");
}

void THTTPProxySystem::SaveSettings(TIniFile& ini, const std::string& section) {
    SaveEnabled(ini, section);
    ini.WriteInteger(section, "ServerPort", ServerPort);
    ini.WriteString(section, "ServerIP", ServerIP);
    ini.WriteBool(section, "EnableTunnelling", EnableTunnelling);
    ini.WriteBool(section, "OnlyTunnelHTTPS", OnlyTunnelHTTPS);
    ini.WriteBool(section, "UpdateXForwardedFor", UpdateXForwardedFor);
    ini.WriteBool(section, "UpdateVia", UpdateVia);
    ini.WriteBool(section, "EnableLogFile", EnableLogFile);
    ini.WriteInteger(section, "MaxConnections", MaxConnections);
    ini.WriteInteger(section, "MaxBackLog", MaxBackLog);
    ini.WriteBool(section, "LimitBandwidth", LimitBandwidth);
    ini.WriteInteger(section, "BandwidthLimit", BandwidthLimit);
    ini.WriteInteger(section, "LoginMode", LoginMode);
    ini.WriteString(section, "LoginPassword", LoginPassword);
    HTTPProxy.SaveSettings(ini, section + "-HTTPProxy");
    SocksProxy.SaveSettings(ini, section + "-SocksProxy");
}

} // namespace corvan
