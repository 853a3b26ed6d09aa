#include "port-mapping/PortMapperForms.h"
#include "port-mapping/PortMapperSystem.h"
#include "util/IniFile.h"

#include "support/FakeUserInterface.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvan;
using corvan::test::TFakeUserInterface;
using corvan::test::TTempDir;

TEST(PortMapSettingsForm, ShowsTheMappingAndCopiesItBack) {
    TPortMapSystem m;
    m.ServerProtocol = 4;
    m.ServerPort = 5353;
    m.ServerIP = "192.168.1.5";
    m.DestHost = "dns.lan";
    m.DestPort = 53;
    m.SocksProxy = TProxyServerInfo{true, "socks.lan", "1080", false, "me", "pw"};
    TfrmPortMapSettings form;
    form.LoadFrom(m);
    EXPECT_EQ(form.Caption(), "Port Mapping Settings");
    EXPECT_EQ(form.Tabs(), (std::vector<std::string>{"Server", "Destination", "Proxy"}));
    EXPECT_EQ(TfrmPortMapSettings::ProtocolItems(), (std::vector<std::string>{"TCP", "UDP"}));
    EXPECT_EQ(form.ProtocolIndex, 1);
    EXPECT_EQ(form.ServerPort, "5353");
    EXPECT_FALSE(form.ServerIP.AnyInterface);
    EXPECT_EQ(form.ServerIP.Address, "192.168.1.5");
    EXPECT_EQ(form.DestPort, "53");
    EXPECT_TRUE(form.UseSocksProxy);
    EXPECT_TRUE(form.SocksProxy.FrameEnabled());
    EXPECT_FALSE(form.SocksProxy.LoginEnabled()); // "Use Authentication" unchecked

    form.ProtocolIndex = 0;
    form.SetUseSocksProxy(false);
    EXPECT_FALSE(form.SocksProxy.FrameEnabled());
    form.SocksProxy.UseAuth = true;
    EXPECT_FALSE(form.SocksProxy.LoginEnabled()); // greyed with its group
    form.SaveTo(m);
    EXPECT_EQ(m.ServerProtocol, mpTCP);
    EXPECT_EQ(m.ServerIP, "192.168.1.5"); // kept for a TCP mapping as well
    EXPECT_FALSE(m.SocksProxy.UseProxy);
    EXPECT_EQ(m.SocksProxy.Host, "socks.lan");
    EXPECT_TRUE(m.SocksProxy.UseAuth);
    EXPECT_EQ(m.SocksProxy.Password, "pw");
}

TEST(PortMapSettingsForm, PortFieldsParseToZeroUnlessAValidPort) {
    EXPECT_EQ(TfrmPortMapSettings::PortText(0), "");
    EXPECT_EQ(TfrmPortMapSettings::PortText(80), "80");
    EXPECT_EQ(TfrmPortMapSettings::ParsePort(""), 0);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort("8o"), 0);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort(" 80"), 0);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort("-1"), 0);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort("65536"), 0);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort("99999999999"), 0);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort("1"), 1);
    EXPECT_EQ(TfrmPortMapSettings::ParsePort("65535"), 65535);
}

TEST(PortMapSettingsForm, UnknownProtocolIsKeptUnlessOneIsChosen) {
    TPortMapSystem m;
    m.ServerProtocol = 9;
    TfrmPortMapSettings form;
    form.LoadFrom(m);
    EXPECT_EQ(form.ProtocolIndex, -1);
    form.SaveTo(m);
    EXPECT_EQ(m.ServerProtocol, 9);
    form.ProtocolIndex = 1;
    form.SaveTo(m);
    EXPECT_EQ(m.ServerProtocol, mpUDP);
}

TEST(PortMapSettingsForm, OKSavesALoadedMappingAtOnceCancelChangesNothing) {
    TTempDir dir;
    TIniFile ini(dir / "CorvanProxy.ini");
    TFakeUserInterface ui;
    TPortMapSystem m;
    m.SetUserInterface(&ui);
    m.LoadSettings(ini, "Proxy-PortMapper.Items.0");
    ui.EditForm = [](ASettingsForm& f) {
        auto& form = dynamic_cast<TfrmPortMapSettings&>(f);
        form.ServerPort = "8080";
        form.DestHost = "web.lan";
        form.DestPort = "80";
        form.ServerIP.SetServerIP("0.0.0.0");
    };
    EXPECT_FALSE(m.EditSettings()); // Cancel
    EXPECT_EQ(m.ServerPort, 0);
    EXPECT_FALSE(ini.Modified());

    ui.PressOK = true;
    EXPECT_TRUE(m.EditSettings());
    EXPECT_EQ(m.GetDisplayName(), "TCP Port 8080");
    EXPECT_EQ(m.ServerIP, ""); // any interface is stored empty
    TIniFile disk(dir / "CorvanProxy.ini");
    EXPECT_EQ(disk.ReadInteger("Proxy-PortMapper.Items.0", "ServerPort", 0), 8080);
    EXPECT_EQ(disk.ReadString("Proxy-PortMapper.Items.0", "DestHost", ""), "web.lan");
    EXPECT_TRUE(disk.SectionExists("Proxy-PortMapper.Items.0-SocksProxy"));
}

TEST(EditorFrames, ServerIPAnyInterfaceIsStoredEmpty) {
    TframeEditServerIP f;
    f.SetServerIP("0.0.0.0");
    EXPECT_TRUE(f.AnyInterface);
    EXPECT_FALSE(f.AddressEnabled());
    EXPECT_EQ(f.GetServerIP(), "");
    f.SetServerIP("10.1.2.3"); // not a local address: kept as typed
    EXPECT_FALSE(f.AnyInterface);
    EXPECT_TRUE(f.AddressEnabled());
    EXPECT_EQ(f.GetServerIP(), "10.1.2.3");
    f.AnyInterface = true; // the radio button, with the old text still in the box
    EXPECT_EQ(f.GetServerIP(), "");
    EXPECT_TRUE(TframeEditServerIP::AddressKeyAccepted('7'));
    EXPECT_TRUE(TframeEditServerIP::AddressKeyAccepted('.'));
    EXPECT_TRUE(TframeEditServerIP::AddressKeyAccepted('\b'));
    for (char c : std::string("aF:[]%"))
        EXPECT_TRUE(TframeEditServerIP::AddressKeyAccepted(c)) << c; // IPv6 literals
    for (char c : std::string("g /,"))
        EXPECT_FALSE(TframeEditServerIP::AddressKeyAccepted(c)) << c;
}

TEST(EditorFrames, ProxyServerKeysAndRecordCopy) {
    EXPECT_FALSE(TframeEditProxyServer::PortKeyAccepted('x'));
    EXPECT_TRUE(TframeEditProxyServer::PortKeyAccepted('0'));
    EXPECT_FALSE(TframeEditProxyServer::HostKeyAccepted(' '));
    TProxyServerInfo in{true, "h", "1080", false, "l", "p"};
    TframeEditProxyServer f;
    f.LoadFrom(in);
    TProxyServerInfo out;
    f.SaveTo(out);
    EXPECT_FALSE(out.UseProxy); // the dialog's own check box
    EXPECT_EQ(out.Host, "h");
    EXPECT_EQ(out.Port, "1080");
    EXPECT_EQ(out.Login, "l"); // copied although greyed
    EXPECT_EQ(out.Password, "p");
}

TEST(PortMapSettingsForm, AllowedClientsShowTheDefaultAndABadListIsNotTaken) {
    TTempDir dir;
    TIniFile ini(dir / "CorvanProxy.ini");
    TFakeUserInterface ui;
    TPortMapSystem m;
    m.SetUserInterface(&ui);
    m.LoadSettings(ini, "Proxy-PortMapper.Items.0");
    TfrmPortMapSettings shown;
    shown.LoadFrom(m);
    EXPECT_EQ(shown.AllowedClients.Text, kDefaultAllowedClients);

    ui.PressOK = true;
    std::string typed = "10.0.0.0/8, 10.0.0.0/8/8";
    ui.EditForm = [&](ASettingsForm& f) {
        auto& form = dynamic_cast<TfrmPortMapSettings&>(f);
        form.ServerPort = "8080";
        form.AllowedClients.Text = typed;
    };
    EXPECT_FALSE(m.EditSettings());
    EXPECT_EQ(ui.Errors, std::vector<std::string>{"invalid AllowedClients entry \"10.0.0.0/8/8\": "
                                                  "the prefix length after / must be 0 to 32"});
    EXPECT_EQ(m.ServerPort, 0);
    EXPECT_FALSE(ini.Modified());

    typed = "192.168.1.0/24, 127.0.0.1";
    EXPECT_TRUE(m.EditSettings());
    TIniFile disk(dir / "CorvanProxy.ini");
    EXPECT_EQ(disk.ReadString("Proxy-PortMapper.Items.0", "AllowedClients", ""),
              "192.168.1.0/24, 127.0.0.1");
}
