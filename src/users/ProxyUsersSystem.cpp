#include "users/ProxyUsersSystem.h"

namespace corvan {

void TProxyUser::Keys(ASettingsKeys& keys) {
    keys.String("Name", Name, "");
    keys.String("Login", Login, "");
    keys.String("Password", Password, "");
    keys.Bool("UserDisabled", UserDisabled, false);
    keys.Bool("AllowHTTPProxy", AllowHTTPProxy, true);
}

void TProxyUser::LoadSettings(TIniFile& ini, const std::string& section) {
    TSettingsLoader loader(ini, section);
    Keys(loader);
}

void TProxyUser::SaveSettings(TIniFile& ini, const std::string& section) {
    TSettingsSaver saver(ini, section);
    Keys(saver);
}

std::unique_ptr<TAppComponent> TProxyUsersSystem::CreateItem() {
    return std::make_unique<TProxyUser>();
}

} // namespace corvan
