#include "users/ProxyUserSettingsForm.h"
#include "users/ProxyUsersSystem.h"
#include "util/IniFile.h"

#include <gtest/gtest.h>

#include <set>

using namespace corvan;

TEST(ProxyUserForm, NamingFillsTheLoginUntilTheLoginIsTyped) {
    TProxyUser user;
    TfrmProxyUserSettings form;
    form.Load(user);
    EXPECT_EQ(form.Caption(), "Proxy User");
    EXPECT_TRUE(form.AutoLogin());
    form.SetName("W");
    form.SetName("Web Client 1");
    EXPECT_EQ(form.Login(), "webclient1");
    EXPECT_TRUE(form.AutoLogin());
    form.SetLogin("webclient1x");
    EXPECT_FALSE(form.AutoLogin());
    form.SetName("Web Client 12");
    EXPECT_EQ(form.Login(), "webclient1x");
    EXPECT_EQ(form.Name(), "Web Client 12");
}

TEST(ProxyUserForm, AnExistingLoginIsNotRenamed) {
    TProxyUser user;
    user.Name = "Anna";
    user.Login = "ab";
    TfrmProxyUserSettings form;
    form.Load(user);
    EXPECT_FALSE(form.AutoLogin());
    form.SetName("Anna Berg");
    EXPECT_EQ(form.Login(), "ab");
}

TEST(ProxyUserForm, AutomaticLoginDropsBlanksAndControlsLowersAsciiAndKeeps16) {
    using F = TfrmProxyUserSettings;
    EXPECT_EQ(F::LoginFromName("Web Client 1"), "webclient1");
    EXPECT_EQ(F::LoginFromName("The Accounts Department PC"), "theaccountsdepar");
    EXPECT_EQ(F::LoginFromName(" \tA\x01 B\x7F"), "ab\x7F");
    EXPECT_EQ(F::LoginFromName(""), "");
    // Non-ASCII letters stay as they are; a cut never splits a UTF-8 character.
    EXPECT_EQ(F::LoginFromName("\xC3\x89mile"), "\xC3\x89mile");
    EXPECT_EQ(F::LoginFromName("abcdefghijklmno\xC3\xA9xyz"), "abcdefghijklmno\xC3\xA9");
}

TEST(ProxyUserForm, FieldsAreCutToTheirLimits) {
    TfrmProxyUserSettings form;
    form.SetName(std::string(200, 'n'));
    form.SetPassword(std::string(100, 'p'));
    EXPECT_EQ(form.Name().size(), TfrmProxyUserSettings::kMaxNameLength);
    EXPECT_EQ(form.Login().size(), TfrmProxyUserSettings::kAutoLoginLength);
    EXPECT_EQ(form.Password().size(), TfrmProxyUserSettings::kMaxPasswordLength);
    form.SetLogin(std::string(100, 'l'));
    EXPECT_EQ(form.Login().size(), TfrmProxyUserSettings::kMaxLoginLength);
}

TEST(ProxyUserForm, AccessBoxesAreGreyedWhileTheUserIsDisabled) {
    TProxyUser user;
    TfrmProxyUserSettings form;
    form.Load(user);
    EXPECT_TRUE(form.AllowHTTPProxyEnabled());
    EXPECT_TRUE(form.AllowSocksProxyEnabled());
    EXPECT_TRUE(form.SetAllowSocksProxy(false));

    form.SetUserDisabled(true);
    EXPECT_FALSE(form.AllowHTTPProxyEnabled());
    EXPECT_FALSE(form.AllowSocksProxyEnabled());
    // Greyed boxes ignore clicks and keep their state.
    EXPECT_FALSE(form.SetAllowHTTPProxy(false));
    EXPECT_FALSE(form.SetAllowSocksProxy(true));
    EXPECT_TRUE(form.AllowHTTPProxy());
    EXPECT_FALSE(form.AllowSocksProxy());
    form.Save(user);
    EXPECT_TRUE(user.UserDisabled);
    EXPECT_TRUE(user.AllowHTTPProxy);
    EXPECT_FALSE(user.AllowSocksProxy);

    // A user loaded disabled opens with the boxes greyed.
    TfrmProxyUserSettings again;
    again.Load(user);
    EXPECT_FALSE(again.AllowHTTPProxyEnabled());
    again.SetUserDisabled(false);
    EXPECT_TRUE(again.SetAllowHTTPProxy(false));
    EXPECT_FALSE(again.AllowHTTPProxy());
}

TEST(ProxyUserForm, OKStoresWhatTheSettingsFileReadsBack) {
    TProxyUser user;
    TfrmProxyUserSettings form;
    form.Load(user);
    form.SetName("  Anna  ");
    form.SetLogin(" anna ");
    form.SetPassword(" secret\t");
    form.Save(user);
    EXPECT_EQ(user.Name, "  Anna  ");
    EXPECT_EQ(user.Login, "anna");
    EXPECT_EQ(user.Password, "secret");

    TIniFile ini("");
    user.SaveSettings(ini, "U");
    TProxyUser loaded;
    loaded.LoadSettings(ini, "U");
    EXPECT_EQ(loaded.Login, user.Login);
    EXPECT_EQ(loaded.Password, user.Password);
}

TEST(ProxyUserForm, GenerateFillsThePasswordField) {
    TfrmProxyUserSettings form;
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        form.Generate();
        const std::string& p = form.Password();
        EXPECT_GE(p.size(), 5u);
        EXPECT_LE(p.size(), 12u);
        EXPECT_EQ(p.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), std::string::npos);
        seen.insert(p);
    }
    EXPECT_GT(seen.size(), 15u);
}
