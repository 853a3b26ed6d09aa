#pragma once
// The shared list of proxy users: a container of the settings tree ("Proxy-ProxyUsers",
// one section per user) that the HTTP and SOCKS services consult.

#include "app/AppComponent.h"

namespace corvan {

// One proxy user. Keys, in order: Name, Login, Password (plain text), UserDisabled,
// AllowHTTPProxy. Active is neither used nor stored.
class TProxyUser : public TAppComponent {
public:
    std::string Name;
    std::string Login;
    std::string Password;
    bool UserDisabled = false;
    bool AllowHTTPProxy = true;

    std::string ClassName() const override { return "TProxyUser"; }
    void Keys(ASettingsKeys& keys);
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    void SaveSettings(TIniFile& ini, const std::string& section) override;
};

class TProxyUsersSystem : public TAppContainerComponent {
public:
    std::string ClassName() const override { return "TProxyUsersSystem"; }
    // A new TProxyUser with its defaults.
    std::unique_ptr<TAppComponent> CreateItem() override;
    // Users are data: nothing starts.
    void Activate() override {}
};

} // namespace corvan
