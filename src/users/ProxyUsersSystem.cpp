#include "users/ProxyUsersSystem.h"

#include "util/IniFile.h"

namespace corvan {

void TProxyUser::LoadSettings(TIniFile& ini, const std::string& section) {
    Name = ini.ReadString(section, "Name", "");
    Login = ini.ReadString(section, "Login", "");
    Password = ini.ReadString(section, "Password", "");
    UserDisabled = ini.ReadBool(section, "UserDisabled", false);
    AllowHTTPProxy = ini.ReadBool(section, "AllowHTTPProxy", true);
}

void TProxyUser::SaveSettings(TIniFile& ini, const std::string& section) {
    ini.WriteString(section, "Name", Name);
    ini.WriteString(section, "Login", Login);
    ini.WriteString(section, "Password", Password);
    ini.WriteBool(section, "UserDisabled", UserDisabled);
    ini.WriteBool(section, "AllowHTTPProxy", AllowHTTPProxy);
}

std::unique_ptr<TAppComponent> TProxyUsersSystem::CreateItem() {
    return std::make_unique<TProxyUser>();
}

} // namespace corvan
