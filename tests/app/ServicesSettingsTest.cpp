#include "app/ProxySystem.h"
#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "users/ProxyUsersSystem.h"
#include "util/IniFile.h"

#include "support/FakeUserInterface.h"
#include "support/IniText.h"
#include "support/NetTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace corvan;
using corvan::test::TTempDir;

namespace {
auto IniWith = corvan::test::IniFromText;

// A root whose service folder is a fresh temporary folder.
struct TTempRoot {
    TTempDir Dir;
    TProxySystem System{Dir.Path() + "/"};
};

// Settings with HTTP and SOCKS enabled, DNS as given, and that many enabled mappings. SOCKS
// and DNS listen on a free loopback port (its default port may be taken, by a test running beside).
std::string EnabledText(bool dns, int mappings) {
    // Every service on a port of its own: tests running side by side must not meet on a
    // default port such as 8080.
    std::string t =
        "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
        std::to_string(corvan::test::FreeLoopbackPort()) +
        "\n[Proxy-DNS]\nEnabled=" + std::to_string(dns) +
        "\nServerIP=127.0.0.1\nServerPort=" + std::to_string(corvan::test::FreeLoopbackPort()) +
        "\n[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
        std::to_string(corvan::test::FreeLoopbackPort()) +
        "\n[Proxy-Status]\nServerPort=" + std::to_string(corvan::test::FreeLoopbackPort()) +
        "\n[Proxy-PortMapper]\nItemCount=" + std::to_string(mappings) + "\n";
    for (int i = 0; i < mappings; ++i)
        t += "[Proxy-PortMapper.Items." + std::to_string(i) +
             "]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
             std::to_string(corvan::test::FreeLoopbackPort()) +
             "\nDestHost=127.0.0.1\nDestPort=9\n";
    return t;
}
} // namespace

TEST(ServiceSettings, DefaultsWhenTheFileIsEmpty) {
    TTempDir dir;
    TProxySystem root(dir.Path() + "/Corvan/ProxyApp/");
    auto ini = IniWith("");
    root.LoadSettings(*ini, "Proxy");
    const THTTPProxySystem& http = root.HTTPProxy();
    EXPECT_FALSE(http.Enabled);
    EXPECT_EQ(http.ServerPort, 8080);
    EXPECT_EQ(http.ServerIP, "");
    EXPECT_TRUE(http.EnableTunnelling);
    EXPECT_FALSE(http.OnlyTunnelHTTPS || http.UpdateVia || http.UpdateXForwardedFor ||
                 http.EnableLogFile || http.LimitBandwidth);
    EXPECT_EQ(http.MaxConnections, 64);
    EXPECT_EQ(http.MaxBackLog, 0);
    EXPECT_EQ(http.BandwidthLimit, 0);
    EXPECT_EQ(http.LoginMode, 0);
    EXPECT_FALSE(http.HTTPProxy.UseProxy || http.SocksProxy.UseProxy);
    EXPECT_EQ(http.LogFileName(), dir.Path() + "/Corvan/ProxyApp/httpproxy.log");
    EXPECT_EQ(http.Users(), &root.ProxyUsers());
    const TSocksProxySystem& socks = root.SocksProxy();
    EXPECT_EQ(socks.ServerPort, 1080);
    EXPECT_EQ(socks.MaxConnections, 64);
    EXPECT_EQ(socks.MaxBackLog, 0);
    EXPECT_EQ(socks.BandInLimit, -1);
    EXPECT_EQ(socks.BandOutLimit, -1);
    EXPECT_FALSE(socks.EnableLog || socks.LimitBandIn || socks.LimitBandOut);
    EXPECT_EQ(socks.LogFileName(), dir.Path() + "/Corvan/ProxyApp/socksproxy.log");
    const TDNSProxySystem& dns = root.DNSProxy();
    EXPECT_EQ(dns.ResolveMethod, 0);
    EXPECT_TRUE(dns.RecurseServer);
    EXPECT_TRUE(dns.Recurse);
    EXPECT_EQ(dns.CacheSize, 10000);
    EXPECT_EQ(dns.CacheMaxTTL, 86400);
    EXPECT_EQ(dns.CacheMinTTL, 0);
    EXPECT_EQ(root.PortMapper().GetChildCount(), 0);
    EXPECT_EQ(root.ProxyUsers().GetChildCount(), 0);
    EXPECT_EQ(::access((dir.Path() + "/Corvan/ProxyApp").c_str(), F_OK), 0); // created
}

TEST(ServiceSettings, OutOfRangeValuesAreClampedOnLoad) {
    TTempRoot temp;
    TProxySystem& root = temp.System;
    auto ini = IniWith("[Proxy-HTTP]\nMaxConnections=1\nMaxBackLog=100\nLoginMode=7\n"
                       "[Proxy-SocksProxy]\nMaxConnections=0\nMaxBackLog=-5\n"
                       "[Proxy-DNS]\nResolveMethod=300\n"
                       "[Proxy-PortMapper]\nItemCount=2\n"
                       "[Proxy-PortMapper.Items.0]\nServerProtocol=259\n"
                       "[Proxy-PortMapper.Items.1]\nServerProtocol=9\n");
    root.LoadSettings(*ini, "Proxy");
    EXPECT_EQ(root.HTTPProxy().MaxConnections, 2);
    EXPECT_EQ(root.HTTPProxy().MaxBackLog, 64);
    // An unknown login mode never falls back to "no login".
    EXPECT_EQ(root.HTTPProxy().LoginMode, THTTPProxySystem::kUnknownLoginMode);
    EXPECT_EQ(root.SocksProxy().MaxConnections, 1);
    EXPECT_EQ(root.SocksProxy().MaxBackLog, 0);
    EXPECT_EQ(root.DNSProxy().ResolveMethod, 0);
    auto* m0 = static_cast<TPortMapSystem*>(root.PortMapper().Item(0));
    auto* m1 = static_cast<TPortMapSystem*>(root.PortMapper().Item(1));
    EXPECT_EQ(m0->ServerProtocol, 0); // not TCP by truncation
    EXPECT_EQ(m1->ServerProtocol, 9); // unknown, kept as it is
    ini = IniWith("[Proxy-HTTP]\nMaxBackLog=-1\nLoginMode=3\n");
    root.HTTPProxy().LoadSettings(*ini, "Proxy-HTTP");
    EXPECT_EQ(root.HTTPProxy().MaxBackLog, 0);
    EXPECT_EQ(root.HTTPProxy().LoginMode, 3);
}

TEST(ServiceSettings, TreeSavesEverySectionInOrderAndRoundTrips) {
    TTempRoot temp;
    TProxySystem& root = temp.System;
    auto ini = IniWith("");
    root.LoadSettings(*ini, "Proxy");
    auto user = std::make_unique<TProxyUser>();
    user->Name = "Web Client";
    user->Login = "webclient";
    user->Password = "Secret";
    user->UserDisabled = true;
    user->AllowHTTPProxy = false;
    root.ProxyUsers().AddChild(std::move(user));
    auto map = std::make_unique<TPortMapSystem>();
    map->ServerProtocol = 4;
    map->ServerPort = 5353;
    map->ServerIP = "127.0.0.1";
    map->DestHost = "dns.lan";
    map->DestPort = 53;
    map->SocksProxy.Host = "socks.lan";
    root.PortMapper().AddChild(std::move(map));
    root.SocksProxy().BandInLimit = 4096;
    root.HTTPProxy().HTTPProxy.Host = "up.lan";
    root.DNSProxy().ResolveServer = "10.0.0.1";
    root.SaveSettings(*ini, "Proxy");
    EXPECT_EQ(
        ini->ReadSections(),
        (std::vector<std::string>{"Proxy-HTTP", "Proxy-HTTP-HTTPProxy", "Proxy-HTTP-SocksProxy",
                                  "Proxy-DNS", "Proxy-PortMapper", "Proxy-PortMapper.Items.0",
                                  "Proxy-PortMapper.Items.0-SocksProxy", "Proxy-SocksProxy",
                                  "Proxy-SocksProxy-SocksProxy", "Proxy-ProxyUsers",
                                  "Proxy-ProxyUsers.Items.0", "Proxy-Status"}));
    // The status page runs by default, on this machine only.
    EXPECT_EQ(ini->ReadSection("Proxy-Status"),
              (std::vector<std::string>{"Enabled", "ServerIP", "ServerPort", "AllowedClients"}));
    EXPECT_EQ(ini->ReadString("Proxy-Status", "Enabled", ""), "1");
    EXPECT_EQ(ini->ReadString("Proxy-Status", "ServerIP", ""), "127.0.0.1");
    EXPECT_EQ(ini->ReadString("Proxy-Status", "ServerPort", ""), "9180");
    EXPECT_EQ(ini->ReadSection("Proxy-ProxyUsers.Items.0"),
              (std::vector<std::string>{"Name", "Login", "Password", "UserDisabled",
                                        "AllowHTTPProxy", "AllowSocksProxy"}));
    EXPECT_EQ(
        ini->ReadSection("Proxy-DNS"),
        (std::vector<std::string>{"Enabled", "ServerIP", "ServerPort", "ResolveMethod",
                                  "ResolveServer", "RecurseServer", "Recurse", "AllowedClients",
                                  "CacheSize", "CacheMaxTTL", "CacheMinTTL"}));
    EXPECT_FALSE(ini->SectionExists("Proxy"));

    TTempRoot againTemp;
    TProxySystem& again = againTemp.System;
    again.LoadSettings(*ini, "Proxy");
    auto* u = static_cast<TProxyUser*>(again.ProxyUsers().Item(0));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->Login, "webclient");
    EXPECT_EQ(u->Password, "Secret");
    EXPECT_TRUE(u->UserDisabled);
    EXPECT_FALSE(u->AllowHTTPProxy);
    auto* m = static_cast<TPortMapSystem*>(again.PortMapper().Item(0));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ServerProtocol, 4);
    EXPECT_EQ(m->ServerIP, "127.0.0.1");
    EXPECT_EQ(m->DestPort, 53);
    EXPECT_EQ(m->SocksProxy.Host, "socks.lan");
    EXPECT_EQ(again.SocksProxy().BandInLimit, 4096);
    EXPECT_EQ(again.HTTPProxy().HTTPProxy.Host, "up.lan");
    EXPECT_EQ(again.DNSProxy().ResolveServer, "10.0.0.1");
}

TEST(ServiceSettings, EnabledIsTheUsersChoiceNotTheRunningState) {
    TTempRoot temp;
    TProxySystem& root = temp.System;
    auto ini = IniWith(EnabledText(false, 1));
    root.LoadSettings(*ini, "Proxy");
    EXPECT_TRUE(root.HTTPProxy().Enabled);
    root.SaveSettings(*ini, "Proxy"); // nothing was started: switched on all the same
    EXPECT_TRUE(ini->ReadBool("Proxy-HTTP", "Enabled", false));
    EXPECT_TRUE(ini->ReadBool("Proxy-PortMapper.Items.0", "Enabled", false));
    root.Activate();
    root.DNSProxy().SetEnabled(true);    // switched on by the user while running
    root.SocksProxy().SetEnabled(false); // and one switched off
    root.SaveSettings(*ini, "Proxy");
    EXPECT_TRUE(ini->ReadBool("Proxy-HTTP", "Enabled", false));
    EXPECT_TRUE(ini->ReadBool("Proxy-DNS", "Enabled", false));
    EXPECT_FALSE(ini->ReadBool("Proxy-SocksProxy", "Enabled", true));
    EXPECT_TRUE(ini->ReadBool("Proxy-PortMapper.Items.0", "Enabled", false));
    root.Deactivate(); // stopping at exit is not the user's switch
    EXPECT_FALSE(root.HTTPProxy().Active() || root.DNSProxy().Active() ||
                 root.SocksProxy().Active() || root.PortMapper().Item(0)->Active());
    root.SaveSettings(*ini, "Proxy");
    EXPECT_TRUE(ini->ReadBool("Proxy-HTTP", "Enabled", false));
    EXPECT_TRUE(ini->ReadBool("Proxy-PortMapper.Items.0", "Enabled", false));
}

TEST(ServiceSettings, AServiceThatCannotStartStopsNoOther) {
    TTempRoot temp;
    TProxySystem& root = temp.System;
    corvan::test::TFakeUserInterface ui;
    root.SetUserInterface(&ui);
    corvan::test::TTestListener taken; // another program holds the first mapping's port
    std::string text = EnabledText(true, 3);
    auto ini = IniWith(text);
    ini->WriteInteger("Proxy-PortMapper.Items.0", "ServerPort", taken.Port);
    ini->WriteInteger("Proxy-PortMapper.Items.1", "ServerPort", 0); // no port: refused
    root.LoadSettings(*ini, "Proxy");
    root.Activate();
    auto& mappings = root.PortMapper();
    EXPECT_FALSE(mappings.Item(0)->Active());
    EXPECT_FALSE(mappings.Item(1)->Active());
    EXPECT_TRUE(mappings.Item(2)->Active());
    EXPECT_TRUE(root.SocksProxy().Active());
    EXPECT_TRUE(root.DNSProxy().Active());
    ASSERT_EQ(ui.Errors.size(), 2u);
    std::string first =
        "Port mapping on port " + std::to_string(taken.Port) + " to 127.0.0.1:9 not started: ";
    EXPECT_EQ(ui.Errors[0].substr(0, first.size()), first) << ui.Errors[0];
    EXPECT_NE(ui.Errors[0].find("bind"), std::string::npos) << ui.Errors[0];
    EXPECT_EQ(ui.Errors[1], "Port mapping on port 0 to 127.0.0.1:9 not started: no port to "
                            "listen on");
    // What the user switched on stays on: it starts again next time.
    root.SaveSettings(*ini, "Proxy");
    EXPECT_TRUE(ini->ReadBool("Proxy-PortMapper.Items.0", "Enabled", false));
    EXPECT_TRUE(ini->ReadBool("Proxy-PortMapper.Items.1", "Enabled", false));
    // The user's own switch that fails changes nothing either; the one that works does.
    auto* busy = static_cast<TPortMapSystem*>(mappings.Item(0));
    EXPECT_THROW(busy->SetEnabled(true), Exception);
    EXPECT_TRUE(busy->Enabled);
    busy->SetEnabled(false);
    EXPECT_FALSE(busy->Enabled);
    root.Deactivate();
}

TEST(ServiceSettings, RootStartsAndStopsServicesInOrder) {
    TTempRoot temp;
    TProxySystem& root = temp.System;
    auto ini = IniWith(EnabledText(true, 2));
    root.LoadSettings(*ini, "Proxy");
    std::vector<std::string> journal;
    auto record = [&](const char* name) {
        return [&journal, name](TAppComponent* c) {
            journal.push_back(std::string(c->Active() ? "start " : "stop ") + name);
        };
    };
    root.HTTPProxy().OnChange = record("http");
    root.DNSProxy().OnChange = record("dns");
    root.SocksProxy().OnChange = record("socks");
    root.PortMapper().OnChildChange = [&](TAppContainerComponent* list, TAppComponent* c) {
        std::string which = c == list->Item(0) ? "map0" : "map1";
        journal.push_back(std::string(c->Active() ? "start " : "stop ") + which);
    };
    root.Activate();
    root.Deactivate();
    root.Deactivate(); // stopping services that are not running is harmless
    EXPECT_EQ(journal, (std::vector<std::string>{
                           "start http", "start dns", "start map0", "start map1", "start socks",
                           "stop http", "stop dns", "stop map1", "stop map0", "stop socks"}));
}

TEST(ServiceSettings, ConfirmedDialogSavesToTheRememberedSection) {
    TTempDir dir;
    TIniFile ini(dir / "CorvanProxy.ini");
    TProxySystem root(dir.Path() + "/");
    root.SocksProxy().SaveToSettingsFile(); // never loaded: nothing
    EXPECT_FALSE(ini.Modified());
    root.LoadSettings(ini, "Proxy");
    EXPECT_EQ(root.SocksProxy().SettingsFile(), &ini);
    EXPECT_EQ(root.SocksProxy().SettingsSection(), "Proxy-SocksProxy");
    root.SocksProxy().ServerPort = 1081;
    root.SocksProxy().SaveToSettingsFile();
    TIniFile disk(dir / "CorvanProxy.ini");
    EXPECT_EQ(disk.ReadInteger("Proxy-SocksProxy", "ServerPort", 0), 1081);
}

TEST(PortMapperSettings, AtMost1024Mappings) {
    TPortMapperSystem list;
    for (int i = 0; i < TPortMapperSystem::kMaxMappings - 1; ++i)
        list.AddChild(std::make_unique<TPortMapSystem>());
    EXPECT_TRUE(list.CanCreateChild()); // the 1024th may be added
    list.AddChild(std::make_unique<TPortMapSystem>());
    EXPECT_FALSE(list.CanCreateChild());
    std::string text = "[L]\nItemCount=5000\n";
    for (int i = 0; i < 5000; ++i)
        text += "[L.Items." + std::to_string(i) + "]\n";
    auto ini = IniWith(text);
    TPortMapperSystem loaded;
    loaded.LoadSettings(*ini, "L");
    EXPECT_EQ(loaded.GetChildCount(), 1024);
    EXPECT_TRUE(loaded.Item(0)->CanEnable());
    EXPECT_TRUE(loaded.Item(0)->CanDelete());
}

TEST(ServiceSettings, AValueThatDoesNotParseKeepsItsServiceStoppedAndIsNamed) {
    // Each value alone, read by the service it belongs to: the default must not stand in.
    struct TCase {
        const char* Section;
        const char* Key;
        const char* Value;
    };
    const TCase bad[] = {
        {"Proxy-HTTP", "LoginMode", "two"},           {"Proxy-HTTP", "EnableTunnelling", "no"},
        {"Proxy-HTTP", "ServerPort", "abc"},          {"Proxy-HTTP", "ServerPort", "18084.9"},
        {"Proxy-HTTP", "ServerPort", "4294985379"},   {"Proxy-HTTP", "LoginMode", "256"},
        {"Proxy-SocksProxy", "RequireLogin", "true"}, {"Proxy-DNS", "Enabled", "yes"},
        {"Proxy-HTTP-SocksProxy", "UseProxy", "on"},  {"Proxy-PortMapper.Items.0", "DestPort", "x"},
    };
    for (const TCase& c : bad) {
        TTempRoot temp;
        TProxySystem& root = temp.System;
        corvan::test::TFakeUserInterface ui;
        root.SetUserInterface(&ui);
        auto ini = IniWith(EnabledText(false, 2));
        ini->WriteString(c.Section, c.Key, c.Value);
        root.LoadSettings(*ini, "Proxy");
        root.Activate();
        std::string named = std::string(c.Key) + "=" + c.Value + " in [" + c.Section + "] is not";
        ASSERT_EQ(ui.Errors.size(), 1u) << named;
        EXPECT_NE(ui.Errors[0].find(" not started: " + named), std::string::npos) << ui.Errors[0];
        std::string section = c.Section;
        TServiceComponent& refused =
            section.find("Items.0") != std::string::npos
                ? static_cast<TServiceComponent&>(*root.PortMapper().Item(0))
            : section.find("Socks") == 6 ? static_cast<TServiceComponent&>(root.SocksProxy())
            : section == "Proxy-DNS"     ? static_cast<TServiceComponent&>(root.DNSProxy())
                                         : static_cast<TServiceComponent&>(root.HTTPProxy());
        EXPECT_FALSE(refused.Active()) << named;
        EXPECT_THROW(refused.SetEnabled(true), Exception) << named; // nor by the user's switch
        EXPECT_TRUE(root.PortMapper().Item(1)->Active()) << named;   // the others run
        root.Deactivate();
    }
    // A mapping list whose count does not read: none runs, and it says so.
    {
        TTempRoot temp;
        corvan::test::TFakeUserInterface ui;
        temp.System.SetUserInterface(&ui);
        auto ini = IniWith("[Proxy-PortMapper]\nItemCount=1a\n[Proxy-PortMapper.Items.0]\n");
        temp.System.LoadSettings(*ini, "Proxy");
        EXPECT_EQ(ui.Errors, (std::vector<std::string>{"port mappings not started: ItemCount=1a "
                                                       "in [Proxy-PortMapper] is not a whole "
                                                       "number"}));
    }
    // Switches are "0" and "1"; integers decimal or "0x" hexadecimal, as the program writes.
    TTempRoot temp;
    auto ini = IniWith("[Proxy-HTTP]\nEnableTunnelling=0\nServerPort=0x1F90\nLoginMode=3\n");
    THTTPProxySystem& http = temp.System.HTTPProxy();
    http.LoadSettings(*ini, "Proxy-HTTP");
    EXPECT_EQ(http.SettingsError(), "");
    EXPECT_FALSE(http.EnableTunnelling);
    EXPECT_EQ(http.ServerPort, 8080);
    EXPECT_EQ(http.LoginMode, 3);
}

TEST(ServiceSettings, AnUpStreamProxySwitchedOnWithoutHostOrPortKeepsTheServiceStopped) {
    TTempRoot temp;
    TProxySystem& root = temp.System;
    corvan::test::TFakeUserInterface ui;
    root.SetUserInterface(&ui);
    auto ini = IniWith(EnabledText(false, 1) +
                       "[Proxy-HTTP-SocksProxy]\nUseProxy=1\nHost=127.0.0.1\nPort=\n"
                       "[Proxy-SocksProxy-SocksProxy]\nUseProxy=1\nHost= \nPort=1080\n"
                       "[Proxy-PortMapper.Items.0-SocksProxy]\nUseProxy=1\nHost=up\n");
    root.LoadSettings(*ini, "Proxy");
    root.Activate();
    EXPECT_FALSE(root.HTTPProxy().Active());
    EXPECT_FALSE(root.SocksProxy().Active());
    EXPECT_FALSE(root.PortMapper().Item(0)->Active());
    ASSERT_EQ(ui.Errors.size(), 3u);
    int i = 0;
    for (const char* section : {"Proxy-HTTP-SocksProxy", "Proxy-PortMapper.Items.0-SocksProxy",
                                "Proxy-SocksProxy-SocksProxy"})
        EXPECT_NE(ui.Errors[size_t(i++)].find(std::string("the up-stream proxy in [") + section +
                                              "] is switched on (UseProxy=1) but its Host or "
                                              "Port is empty"),
                  std::string::npos)
            << ui.Errors[size_t(i - 1)];
    // Completed, it is used; switched off, it is kept but not needed.
    root.HTTPProxy().SocksProxy.Port = "1080";
    root.HTTPProxy().SetEnabled(true);
    EXPECT_TRUE(root.HTTPProxy().Active());
    root.SocksProxy().SocksProxy.UseProxy = false;
    root.SocksProxy().SetEnabled(true);
    EXPECT_TRUE(root.SocksProxy().Active());
    root.Deactivate();
}

TEST(ServiceSettings, AMalformedValueTheDialogDoesNotShowOutlivesItsOK) {
    TTempRoot temp;
    corvan::test::TFakeUserInterface ui;
    ui.OnEdit = [](ASettingsForm&) { return true; };
    temp.System.SetUserInterface(&ui);
    const std::string path = temp.Dir / "CorvanProxy.ini";
    corvan::test::WriteFileText(path, "[Proxy-HTTP]\nServerIP=127.0.0.1\nServerPort=" +
                                          std::to_string(corvan::test::FreeLoopbackPort()) +
                                          "\nAllowLocalTargets=yes\nLoginMode=two\n");
    TIniFile ini(path);
    THTTPProxySystem& http = temp.System.HTTPProxy();
    http.LoadSettings(ini, "Proxy-HTTP");
    ASSERT_TRUE(http.EditSettings());
    // The dialog set the login mode; what the user meant by "yes" it never asked.
    EXPECT_EQ(http.SettingsError(), "AllowLocalTargets=yes in [Proxy-HTTP] is not 0 or 1");
    EXPECT_THROW(http.SetEnabled(true), Exception);
    TIniFile disk(path);
    EXPECT_EQ(disk.ReadString("Proxy-HTTP", "AllowLocalTargets", ""), "yes");
    EXPECT_NE(disk.ReadString("Proxy-HTTP", "LoginMode", ""), "two");
}
