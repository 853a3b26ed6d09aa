#pragma once
// The user dialog as a form model: three pages ("User", "Login", "Access"), automatic
// login naming, the enabling rule of the access boxes and the password generator. The Qt
// view shows the texts below and forwards every edit to the setters.

#include "component/UserInterface.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace corvan {

class TProxyUser;

class TfrmProxyUserSettings : public ASettingsForm {
public:
    // Field limits, in characters (UTF-8 sequences); longer input is cut.
    static constexpr size_t kMaxNameLength = 128;
    static constexpr size_t kMaxLoginLength = 64;
    static constexpr size_t kMaxPasswordLength = 64;
    // An automatic login keeps this many characters of the name.
    static constexpr size_t kAutoLoginLength = 16;
    // What "Generate" asks of the password generator.
    static constexpr int kGenerateMinLength = 5;
    static constexpr int kGenerateMaxLength = 12;

    static constexpr const char* kUserPageCaption = "User";
    static constexpr const char* kUserPageText = "Enter details of proxy user.";
    static constexpr const char* kNameLabel = "Name / Description";
    static constexpr const char* kLoginPageCaption = "Login";
    static constexpr const char* kLoginPageText = "Enter login details for proxy user.";
    static constexpr const char* kLoginLabel = "Login name";
    static constexpr const char* kPasswordLabel = "Password";
    static constexpr const char* kGenerateCaption = "Generate";
    static constexpr const char* kAccessPageCaption = "Access";
    static constexpr const char* kAccessPageText = "Set access for proxy user.";
    static constexpr const char* kAllowHTTPProxyCaption = "Allow access to HTTP proxy.";
    static constexpr const char* kAllowSocksProxyCaption = "Allow access to Socks proxy.";
    static constexpr const char* kUserDisabledCaption = "User is disabled.";

    // "Proxy User".
    std::string Caption() const override;

    // Opening: the fields from the user (cut to their limits); automatic login naming is
    // on when the login is then empty.
    void Load(const TProxyUser& user);
    // OK: name, login, password and the three flags into the user. Blanks around the login
    // and the password are dropped, since the settings file would drop them on reading.
    void Save(TProxyUser& user) const;

    // The name field changed: cut to kMaxNameLength; while automatic naming is on, the login
    // becomes LoginFromName of it (automatic naming stays on).
    void SetName(std::string_view text);
    // The user typed in the login field: cut to kMaxLoginLength; automatic naming ends for
    // the rest of the dialog.
    void SetLogin(std::string_view text);
    void SetPassword(std::string_view text);
    // "Generate": a new random password (5 to 12 upper-case letters and digits).
    void Generate();
    // Check box clicks. A click on a greyed access box is ignored (returns false); the
    // disabled box keeps its checked state, which is saved unchanged.
    void SetUserDisabled(bool value);
    bool SetAllowHTTPProxy(bool value);
    bool SetAllowSocksProxy(bool value);

    const std::string& Name() const { return FName; }
    const std::string& Login() const { return FLogin; }
    const std::string& Password() const { return FPassword; }
    bool UserDisabled() const { return FUserDisabled; }
    bool AllowHTTPProxy() const { return FAllowHTTPProxy; }
    bool AllowSocksProxy() const { return FAllowSocksProxy; }
    bool AutoLogin() const { return FAutoLogin; }
    // The enabling rule: the access boxes are enabled only while the user is not disabled.
    bool AllowHTTPProxyEnabled() const { return !FUserDisabled; }
    bool AllowSocksProxyEnabled() const { return !FUserDisabled; }

    // The automatic login of a name: bytes 0 to 32 (control characters and space) removed,
    // A-Z lowered, cut to kAutoLoginLength characters.
    static std::string LoginFromName(std::string_view name);

private:
    std::string FName;
    std::string FLogin;
    std::string FPassword;
    bool FUserDisabled = false;
    bool FAllowHTTPProxy = true;
    bool FAllowSocksProxy = true;
    bool FAutoLogin = true;
};

} // namespace corvan
