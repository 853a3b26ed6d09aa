#include "users/ProxyUserSettingsForm.h"

#include "users/ProxyUsersSystem.h"
#include "util/Random.h"
#include "util/Strings.h"

namespace corvan {

std::string TfrmProxyUserSettings::Caption() const {
    return "Proxy User";
}

void TfrmProxyUserSettings::Load(const TProxyUser& user) {
    FName = Utf8Prefix(user.Name, kMaxNameLength);
    FLogin = Utf8Prefix(user.Login, kMaxLoginLength);
    FPassword = Utf8Prefix(user.Password, kMaxPasswordLength);
    FUserDisabled = user.UserDisabled;
    FAllowHTTPProxy = user.AllowHTTPProxy;
    FAllowSocksProxy = user.AllowSocksProxy;
    FAutoLogin = FLogin.empty();
}

void TfrmProxyUserSettings::Save(TProxyUser& user) const {
    user.Name = FName;
    user.Login = TrimBlanks(FLogin);
    user.Password = TrimBlanks(FPassword);
    user.UserDisabled = FUserDisabled;
    user.AllowHTTPProxy = FAllowHTTPProxy;
    user.AllowSocksProxy = FAllowSocksProxy;
}

void TfrmProxyUserSettings::SetName(std::string_view text) {
    FName = Utf8Prefix(text, kMaxNameLength);
    if (FAutoLogin)
        FLogin = LoginFromName(FName);
}

void TfrmProxyUserSettings::SetLogin(std::string_view text) {
    FLogin = Utf8Prefix(text, kMaxLoginLength);
    FAutoLogin = false;
}

void TfrmProxyUserSettings::SetPassword(std::string_view text) {
    FPassword = Utf8Prefix(text, kMaxPasswordLength);
}

void TfrmProxyUserSettings::Generate() {
    FPassword = RandomPassword(kGenerateMinLength, kGenerateMaxLength, false, false, true);
}

void TfrmProxyUserSettings::SetUserDisabled(bool value) {
    FUserDisabled = value;
}

bool TfrmProxyUserSettings::SetAllowHTTPProxy(bool value) {
    if (!AllowHTTPProxyEnabled())
        return false;
    FAllowHTTPProxy = value;
    return true;
}

bool TfrmProxyUserSettings::SetAllowSocksProxy(bool value) {
    if (!AllowSocksProxyEnabled())
        return false;
    FAllowSocksProxy = value;
    return true;
}

std::string TfrmProxyUserSettings::LoginFromName(std::string_view name) {
    std::string login;
    for (char c : name)
        if (static_cast<unsigned char>(c) > 32)
            login += AsciiLower(c);
    return std::string(Utf8Prefix(login, kAutoLoginLength));
}

} // namespace corvan
