#include "GuiFixture.h"

#include "gui/EditorFrameViews.h"
#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "gui/SettingsDialogs.h"
#include "net/AllowedClients.h"
#include "support/NetTestSupport.h"
#include "support/UDPPeer.h"
#include "util/IniFile.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

namespace {

// Types text into a field as keystrokes (the key filters see each one).
void Type(QWidget* field, const char* text) {
    QTest::keyClicks(field, text);
}

void Accept(TSettingsDialog& dialog) {
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
}

} // namespace

TEST(EditorFrames, ServerIPShowsAnyInterfaceForEmptyAndZeroAndKeepsAForeignAddress) {
    TServerIPView view;
    EXPECT_EQ(view.AddressBox()->itemText(0).toStdString(), "127.0.0.1");
    TframeEditServerIP model;
    model.SetServerIP("0.0.0.0");
    view.LoadFrom(model);
    EXPECT_TRUE(view.AnyButton()->isChecked());
    EXPECT_FALSE(view.AddressBox()->isEnabled());
    view.SaveTo(model);
    EXPECT_EQ(model.GetServerIP(), "");

    model.SetServerIP("192.0.2.77");
    view.LoadFrom(model);
    EXPECT_TRUE(view.OnlyButton()->isChecked());
    EXPECT_TRUE(view.AddressBox()->isEnabled());
    EXPECT_EQ(view.AddressBox()->currentText().toStdString(), "192.0.2.77");
    // Blanks and letters that no address is written with are dropped; an IPv6 literal goes in.
    view.AddressBox()->setEditText("");
    Type(view.AddressBox()->lineEdit(), "[fd0x0: :1%2]");
    EXPECT_EQ(view.AddressBox()->currentText().toStdString(), "[fd00::1%2]");
    view.SaveTo(model);
    EXPECT_EQ(model.GetServerIP(), "[fd00::1%2]");
}

TEST(EditorFrames, ServerIPOffersIPv6AddressesAndKeepsAnIPv6OneWhole) {
    TServerIPView view;
    QComboBox* box = view.AddressBox();
    if (HaveIPv6Loopback()) {
        EXPECT_GE(box->findText("::1"), 1); // after 127.0.0.1
    }
    TframeEditServerIP model;
    for (const char* address :
         {"2001:db8:85a3:1234:5678:8a2e:370:7334", "fe80::1234:5678:9abc:def0%lo", "::1"}) {
        model.SetServerIP(address);
        view.LoadFrom(model);
        EXPECT_TRUE(view.OnlyButton()->isChecked());
        view.SaveTo(model);
        EXPECT_EQ(model.GetServerIP(), address);
    }
}

TEST(EditorFrames, ProxyServerFiltersKeysAndGreysLoginWithoutLosingIt) {
    TProxyServerView view;
    TframeEditProxyServer model;
    model.Login = "me";
    model.Password = "secret";
    model.UseAuth = false;
    view.LoadFrom(model);
    EXPECT_FALSE(view.LoginEdit()->isEnabled());
    EXPECT_FALSE(view.PasswordEdit()->isEnabled());
    EXPECT_EQ(view.PasswordEdit()->echoMode(), QLineEdit::Password);
    Type(view.PortEdit(), "1a0b80");
    EXPECT_EQ(view.PortEdit()->text().toStdString(), "1080");
    Type(view.PortEdit(), "123");
    EXPECT_EQ(view.PortEdit()->text().size(), 5); // at most five characters
    Type(view.HostEdit(), "my host");
    EXPECT_EQ(view.HostEdit()->text().toStdString(), "myhost");
    view.UseAuthBox()->click();
    EXPECT_TRUE(view.LoginEdit()->isEnabled());
    view.SetFrameEnabled(false);
    EXPECT_FALSE(view.isEnabled());
    EXPECT_FALSE(view.LoginEdit()->isEnabled());
    view.UseAuthBox()->setChecked(false);
    view.SaveTo(model);
    EXPECT_EQ(model.Login, "me"); // greyed fields are still saved
    EXPECT_EQ(model.Password, "secret");
    EXPECT_EQ(model.Host, "myhost");
}

TEST(SettingsDialogs, SocksDialogRoundTripsThroughTheServiceIntoTheSettingsFile) {
    TWindowFixture f;
    f.WriteSettings("[Proxy-SocksProxy]\nServerPort=1080\nServerIP=0.0.0.0\nLimitBandIn=0\n"
                    "BandInLimit=-1\n");
    TfrmMain& w = f.Open();
    TSocksProxySystem& socks = f.Root().SocksProxy();
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TSocksSettingsDialog&>(d);
        EXPECT_EQ(dialog.windowTitle().toStdString(), "Socks Proxy Settings");
        EXPECT_EQ(dialog.Pages()->count(), 4);
        EXPECT_TRUE(dialog.ServerIP()->AnyButton()->isChecked());
        EXPECT_EQ(dialog.PortBox()->count(), 4);
        dialog.PortBox()->setEditText("");
        Type(dialog.PortBox()->lineEdit(), "2x080");
        // The rate is greyed until its box is checked; below 1 it shows empty.
        EXPECT_FALSE(dialog.BandInEdit()->isEnabled());
        EXPECT_EQ(dialog.BandInEdit()->text().toStdString(), "");
        dialog.LimitBandInBox()->click();
        EXPECT_TRUE(dialog.BandInEdit()->isEnabled());
        Type(dialog.BandInEdit(), "5000");
        EXPECT_FALSE(dialog.SocksProxy()->isEnabled());
        dialog.UseSocksProxyBox()->click();
        EXPECT_TRUE(dialog.SocksProxy()->isEnabled());
        Type(dialog.SocksProxy()->HostEdit(), "up.example");
        Type(dialog.SocksProxy()->PortEdit(), "1081");
        dialog.MaxConnectionsEdit()->setText("");
        dialog.RequireLoginBox()->click();
        // UDP is on by default; its box sits on the options page with the login box.
        EXPECT_EQ(dialog.EnableUDPBox()->text().toStdString(),
                  TfrmSocksProxySettings::kEnableUDPCaption);
        EXPECT_EQ(dialog.EnableUDPBox()->parentWidget(), dialog.RequireLoginBox()->parentWidget());
        EXPECT_TRUE(dialog.EnableUDPBox()->isChecked());
        dialog.EnableUDPBox()->click();
        Accept(dialog);
    };
    ASSERT_TRUE(socks.EditSettings());
    EXPECT_FALSE(socks.EnableUDP);
    EXPECT_EQ(socks.ServerPort, 2080);
    EXPECT_EQ(socks.ServerIP, "");
    EXPECT_TRUE(socks.LimitBandIn);
    EXPECT_EQ(socks.BandInLimit, 5000);
    EXPECT_EQ(socks.MaxConnections, 64); // empty reads back as its fall-back
    EXPECT_TRUE(socks.RequireLogin);
    EXPECT_TRUE(socks.SocksProxy.UseProxy);
    EXPECT_EQ(socks.SocksProxy.Host, "up.example");
    TIniFile ini(f.SettingsPath());
    EXPECT_EQ(ini.ReadInteger("Proxy-SocksProxy", "ServerPort", 0), 2080);
    EXPECT_FALSE(ini.ReadBool("Proxy-SocksProxy", "EnableUDP", true));
    EXPECT_EQ(ini.ReadString("Proxy-SocksProxy-SocksProxy", "Host", ""), "up.example");

    // Cancel changes nothing.
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TSocksSettingsDialog&>(d);
        dialog.PortBox()->setEditText("9999");
        dialog.reject();
    };
    EXPECT_FALSE(socks.EditSettings());
    EXPECT_EQ(socks.ServerPort, 2080);
}

TEST(SettingsDialogs, NewMappingFromTheListIsAddedOnOkWithItsValues) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    f.Select(&f.Root().PortMapper());
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TPortMapSettingsDialog&>(d);
        EXPECT_EQ(dialog.windowTitle().toStdString(), "Port Mapping Settings");
        EXPECT_EQ(dialog.PortEdit()->text().toStdString(), ""); // port 0 shows empty
        dialog.ProtocolBox()->setCurrentIndex(1);
        Type(dialog.PortEdit(), "7a7");
        dialog.ServerIP()->OnlyButton()->click();
        dialog.ServerIP()->AddressBox()->setEditText("127.0.0.1");
        Type(dialog.DestHostEdit(), "dest host");
        Type(dialog.DestPortEdit(), "99");
        EXPECT_FALSE(dialog.SocksProxy()->isEnabled());
        Accept(dialog);
    };
    std::unique_ptr<QMenu> menu = w.BuildContextMenu();
    for (QAction* a : menu->actions())
        if (a->text() == "&New...")
            a->trigger();
    ASSERT_EQ(f.Root().PortMapper().GetChildCount(), 3);
    auto* mapping = static_cast<TPortMapSystem*>(f.Root().PortMapper().Item(2));
    EXPECT_EQ(mapping->ServerProtocol, 4); // UDP
    EXPECT_EQ(mapping->ServerPort, 77);
    EXPECT_EQ(mapping->ServerIP, "127.0.0.1");
    EXPECT_EQ(mapping->DestHost, "desthost");
    EXPECT_EQ(mapping->DestPort, 99);
    QTreeWidgetItem* list = w.NodeOf(&f.Root().PortMapper());
    ASSERT_EQ(list->childCount(), 3);
    EXPECT_EQ(list->child(2)->text(0).toStdString(), "UDP Port 77");

    // Cancelling a new mapping adds nothing.
    w.UI().OnDialogShown = [](TSettingsDialog& d) { d.reject(); };
    EXPECT_EQ(f.Root().PortMapper().CreateChild(), nullptr);
    EXPECT_EQ(f.Root().PortMapper().GetChildCount(), 3);
}

TEST(SettingsDialogs, UserDialogNamesTheLoginGreysAccessAndSavesToTheFile) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    f.Select(&f.Root().ProxyUsers());
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TUserSettingsDialog&>(d);
        EXPECT_EQ(dialog.windowTitle().toStdString(), "Proxy User");
        EXPECT_EQ(dialog.Pages()->currentIndex(), 0);
        Type(dialog.NameEdit(), "Carl Smith");
        EXPECT_EQ(dialog.LoginEdit()->text().toStdString(), "carlsmith");
        Type(dialog.LoginEdit(), "2");
        Type(dialog.NameEdit(), "X");
        EXPECT_EQ(dialog.LoginEdit()->text().toStdString(), "carlsmith2"); // naming ended
        dialog.GenerateButton()->click();
        std::string password = dialog.PasswordEdit()->text().toStdString();
        EXPECT_GE(password.size(), 5u);
        EXPECT_LE(password.size(), 12u);
        dialog.AllowHTTPBox()->click(); // off
        dialog.UserDisabledBox()->click();
        EXPECT_FALSE(dialog.AllowHTTPBox()->isEnabled());
        EXPECT_FALSE(dialog.AllowSocksBox()->isEnabled());
        EXPECT_TRUE(dialog.AllowSocksBox()->isChecked()); // kept while greyed
        Accept(dialog);
    };
    std::unique_ptr<QMenu> menu = w.BuildContextMenu();
    for (QAction* a : menu->actions())
        if (a->text() == "&New...")
            a->trigger();
    ASSERT_EQ(f.Root().ProxyUsers().GetChildCount(), 4);
    TProxyUser* carl = f.Root().ProxyUsers().User(3);
    EXPECT_EQ(carl->Name, "Carl SmithX");
    EXPECT_EQ(carl->Login, "carlsmith2");
    EXPECT_TRUE(carl->UserDisabled);
    EXPECT_FALSE(carl->AllowHTTPProxy);
    EXPECT_TRUE(carl->AllowSocksProxy);
    EXPECT_EQ(w.NodeOf(&f.Root().ProxyUsers())->child(3)->text(0).toStdString(), "Carl SmithX");
    TIniFile ini(f.SettingsPath());
    EXPECT_EQ(ini.ReadString("Proxy-ProxyUsers.Items.3", "Login", ""), "carlsmith2");

    // The user's own view: "Edit..." opens the same dialog on the user.
    f.Select(carl);
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TUserSettingsDialog&>(d);
        EXPECT_EQ(dialog.NameEdit()->text().toStdString(), "Carl SmithX");
        EXPECT_FALSE(dialog.AllowHTTPBox()->isEnabled());
        d.reject();
    };
    QTest::mouseClick(w.ShownView()->ButtonWidget("Edit..."), Qt::LeftButton);
    EXPECT_EQ(w.ShownView()->ValueText("Status:").toStdString(), "User is disabled.");
}

TEST(SettingsDialogs, DNSDialogGreysTheResolverFieldsAndRoundTripsIntoTheSettingsFile) {
    TWindowFixture f;
    f.WriteSettings("[Proxy-DNS]\nServerPort=5300\nResolveMethod=0\n");
    TfrmMain& w = f.Open();
    TDNSProxySystem& dns = f.Root().DNSProxy();
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TDNSSettingsDialog&>(d);
        EXPECT_EQ(dialog.windowTitle().toStdString(), "DNS Proxy Settings");
        EXPECT_EQ(dialog.Pages()->tabText(1).toStdString(), "Resolver");
        EXPECT_EQ(dialog.AllowedClients()->Edit()->text().toStdString(), kDefaultAllowedClients);
        EXPECT_TRUE(dialog.MethodSystemButton()->isChecked());
        EXPECT_FALSE(dialog.ResolveServerEdit()->isEnabled());
        EXPECT_FALSE(dialog.RecurseBox()->isEnabled());
        dialog.MethodServerButton()->click();
        EXPECT_TRUE(dialog.ResolveServerEdit()->isEnabled());
        EXPECT_TRUE(dialog.RecurseServerBox()->isEnabled());
        Type(dialog.ResolveServerEdit(), "ns.example :5353");
        dialog.RecurseBox()->click();
        dialog.PortEdit()->clear();
        Type(dialog.PortEdit(), "5x301");
        dialog.AllowedClients()->Edit()->clear();
        Type(dialog.AllowedClients()->Edit(), "10.0.0.0/8,x 127.0.0.1");
        Accept(dialog);
    };
    ASSERT_TRUE(dns.EditSettings());
    EXPECT_EQ(dns.ServerPort, 5301);
    EXPECT_EQ(dns.ResolveMethod, 1);
    EXPECT_EQ(dns.ResolveServer, "ns.example:5353");
    EXPECT_FALSE(dns.Recurse);
    EXPECT_TRUE(dns.RecurseServer);
    EXPECT_EQ(dns.AllowedClients, "10.0.0.0/8, 127.0.0.1");
    TIniFile ini(f.SettingsPath());
    EXPECT_EQ(ini.ReadString("Proxy-DNS", "AllowedClients", ""), "10.0.0.0/8, 127.0.0.1");
    EXPECT_EQ(ini.ReadInteger("Proxy-DNS", "ServerPort", 0), 5301);
}

TEST(SettingsDialogs, ABadAllowedClientsEntryKeepsTheDialogOpenAndChangesNothing) {
    TWindowFixture f;
    f.WriteSettings(std::string(kUsersAndMappings) + "[Proxy-SocksProxy]\nServerPort=1080\n");
    TfrmMain& w = f.Open();
    TSocksProxySystem& socks = f.Root().SocksProxy();
    bool stayedOpen = false;
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        auto& dialog = static_cast<TSocksSettingsDialog&>(d);
        dialog.PortBox()->setEditText("2080");
        dialog.AllowedClients()->Edit()->setText("10.0.0.0/33");
        Accept(dialog);
        stayedOpen = dialog.isVisible() && dialog.result() != QDialog::Accepted;
        dialog.reject(); // the user gives up
    };
    EXPECT_FALSE(socks.EditSettings());
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(f.Errors.size(), 1u);
    EXPECT_NE(f.Errors[0].find("10.0.0.0/33"), std::string::npos);
    EXPECT_EQ(socks.ServerPort, 1080);
    EXPECT_EQ(TIniFile(f.SettingsPath()).ReadString("Proxy-SocksProxy", "ServerPort", ""), "1080");

    // Corrected in the same dialog, OK takes it; the mapping dialog has the field too.
    f.Errors.clear();
    auto& mapping = static_cast<TPortMapSystem&>(*f.Root().PortMapper().Item(0));
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        auto& dialog = static_cast<TPortMapSettingsDialog&>(d);
        dialog.AllowedClients()->Edit()->setText("192.168.1.7/24, 300.0.0.1");
        Accept(dialog);
        EXPECT_NE(dialog.result(), QDialog::Accepted);
        dialog.AllowedClients()->Edit()->setText("*");
        Accept(dialog);
    };
    EXPECT_TRUE(mapping.EditSettings());
    EXPECT_EQ(f.Errors.size(), 1u);
    EXPECT_EQ(mapping.AllowedClients, "*");
}

TEST(StatusViews, TheRefusedCountShowsInTheDNSView) {
    TWindowFixture f;
    f.WriteSettings("[Proxy-DNS]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                    std::to_string(FreeLoopbackPort()) + "\nAllowedClients=127.0.0.1/32\n");
    TfrmMain& w = f.Open();
    TDNSProxySystem& dns = f.Root().DNSProxy();
    ASSERT_TRUE(dns.Active());
    f.Select(&dns);
    EXPECT_EQ(w.ShownView()->ValueText("Refused Clients").toStdString(), "0");
    uint32_t second = 0;
    ASSERT_TRUE(IsIPAddress("127.0.0.2", second));
    TUDPPeer stranger(second);
    stranger.SendTo(uint16_t(dns.ServerPort), std::string("\x00\x01\x01\x00\x00\x01\x00\x00"
                                                           "\x00\x00\x00\x00\x01x\x00\x00\x01\x00\x01",
                                                           19));
    ASSERT_TRUE(RunLoopUntil([&] { return dns.RefusedCount() == 1; }, 5000));
    w.RunCommand([] {});
    EXPECT_EQ(w.ShownView()->ValueText("Refused Clients").toStdString(), "1");
}

TEST(SettingsDialogs, HTTPDialogGreysFiltersAndRoundTripsIntoTheSettingsFile) {
    TWindowFixture f;
    f.WriteSettings("[Proxy-HTTP]\nServerPort=8080\nLoginMode=1\nLoginPassword=old\n"
                    "EnableTunnelling=1\n[Proxy-HTTP-HTTPProxy]\nHost=kept.example\n");
    TfrmMain& w = f.Open();
    THTTPProxySystem& http = f.Root().HTTPProxy();
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<THTTPSettingsDialog&>(d);
        EXPECT_EQ(dialog.windowTitle().toStdString(), "HTTP Proxy Settings");
        ASSERT_EQ(dialog.Pages()->count(), 7);
        EXPECT_EQ(dialog.Pages()->tabText(6).toStdString(), "Login");
        EXPECT_EQ(dialog.PortBox()->count(), 4);
        EXPECT_EQ(dialog.PortBox()->currentText().toStdString(), "8080");
        EXPECT_EQ(dialog.AllowedClients()->Edit()->text().toStdString(), kDefaultAllowedClients);
        // Both up-stream editors grey with their boxes, each on its own.
        EXPECT_FALSE(dialog.SocksProxy()->isEnabled());
        EXPECT_FALSE(dialog.HTTPProxy()->isEnabled());
        EXPECT_EQ(dialog.HTTPProxy()->HostEdit()->text().toStdString(), "kept.example");
        dialog.UseSocksProxyBox()->click();
        EXPECT_TRUE(dialog.SocksProxy()->isEnabled());
        EXPECT_FALSE(dialog.HTTPProxy()->isEnabled());
        Type(dialog.SocksProxy()->HostEdit(), "socks up");
        Type(dialog.SocksProxy()->PortEdit(), "10x80");
        // The port restriction follows tunnelling; the rate its box.
        EXPECT_TRUE(dialog.OnlyTunnelHTTPSBox()->isEnabled());
        dialog.EnableTunnellingBox()->click();
        EXPECT_FALSE(dialog.OnlyTunnelHTTPSBox()->isEnabled());
        EXPECT_FALSE(dialog.BandwidthLimitEdit()->isEnabled());
        dialog.LimitBandwidthBox()->click();
        EXPECT_TRUE(dialog.BandwidthLimitEdit()->isEnabled());
        dialog.BandwidthLimitEdit()->clear();
        Type(dialog.BandwidthLimitEdit(), "1234567");
        EXPECT_EQ(dialog.BandwidthLimitEdit()->text().toStdString(), "123456"); // six digits
        dialog.BandwidthLimitEdit()->setText("9");
        dialog.MaxConnectionsEdit()->clear();
        Type(dialog.MaxConnectionsEdit(), "1x23456");
        EXPECT_EQ(dialog.MaxConnectionsEdit()->text().toStdString(), "1234"); // four digits
        dialog.MaxBackLogEdit()->setText("100");
        dialog.UpdateViaBox()->click();
        // Mode 1: the password and "Generate"; mode 3: the validation program.
        EXPECT_TRUE(dialog.LoginModeButton(1)->isChecked());
        EXPECT_TRUE(dialog.PasswordEdit()->isEnabled());
        EXPECT_TRUE(dialog.GenerateButton()->isEnabled());
        EXPECT_FALSE(dialog.LoginScriptEdit()->isEnabled());
        dialog.GenerateButton()->click();
        EXPECT_NE(dialog.PasswordEdit()->text().toStdString(), "old");
        dialog.LoginModeButton(3)->click();
        EXPECT_FALSE(dialog.PasswordEdit()->isEnabled());
        EXPECT_FALSE(dialog.GenerateButton()->isEnabled());
        EXPECT_TRUE(dialog.LoginScriptEdit()->isEnabled());
        dialog.PasswordEdit()->setText("kept");
        Type(dialog.LoginScriptEdit(), "/usr/bin/check --list users");
        dialog.PortBox()->setEditText("");
        Type(dialog.PortBox()->lineEdit(), "31a28");
        dialog.AllowedClients()->Edit()->setText("127.0.0.1, 10.0.0.0/8");
        Accept(dialog);
    };
    ASSERT_TRUE(http.EditSettings());
    EXPECT_EQ(http.ServerPort, 3128);
    EXPECT_EQ(http.AllowedClients, "127.0.0.1, 10.0.0.0/8");
    EXPECT_TRUE(http.SocksProxy.UseProxy);
    EXPECT_EQ(http.SocksProxy.Host, "socksup");
    EXPECT_EQ(http.SocksProxy.Port, "1080");
    EXPECT_FALSE(http.HTTPProxy.UseProxy);
    EXPECT_EQ(http.HTTPProxy.Host, "kept.example"); // greyed, not lost
    EXPECT_FALSE(http.EnableTunnelling);
    EXPECT_TRUE(http.UpdateVia);
    EXPECT_FALSE(http.UpdateXForwardedFor);
    EXPECT_TRUE(http.LimitBandwidth);
    EXPECT_EQ(http.BandwidthLimit, 16); // 1..15 is raised
    EXPECT_EQ(http.MaxConnections, 1234);
    EXPECT_EQ(http.MaxBackLog, 64); // clamped
    EXPECT_EQ(http.LoginMode, 3);
    EXPECT_EQ(http.LoginPassword, "kept");
    EXPECT_EQ(http.LoginScript, "/usr/bin/check --list users");
    TIniFile ini(f.SettingsPath());
    EXPECT_EQ(ini.ReadInteger("Proxy-HTTP", "ServerPort", 0), 3128);
    EXPECT_EQ(ini.ReadInteger("Proxy-HTTP", "LoginMode", 0), 3);
    EXPECT_EQ(ini.ReadString("Proxy-HTTP", "LoginScript", ""), "/usr/bin/check --list users");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP-SocksProxy", "Host", ""), "socksup");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP-HTTPProxy", "Host", ""), "kept.example");

    // Reopened, the dialog shows what was saved.
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<THTTPSettingsDialog&>(d);
        EXPECT_TRUE(dialog.LoginModeButton(3)->isChecked());
        EXPECT_TRUE(dialog.LoginScriptEdit()->isEnabled());
        EXPECT_TRUE(dialog.SocksProxy()->isEnabled());
        EXPECT_FALSE(dialog.OnlyTunnelHTTPSBox()->isEnabled());
        EXPECT_EQ(dialog.BandwidthLimitEdit()->text().toStdString(), "16");
        d.reject();
    };
    EXPECT_FALSE(http.EditSettings());
}
