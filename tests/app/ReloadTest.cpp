// Reading the settings file again while the services run (what SIGHUP does): only what
// changed is reloaded; a file that cannot be read changes nothing.

#include "app/Headless.h"
#include "app/ProxyAppBase.h"
#include "app/ProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "status/StatusSystem.h"
#include "users/ProxyUsersSystem.h"
#include "util/IniFile.h"

#include "support/FakeUserInterface.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace corvan;
using corvan::test::TFakeUserInterface;
using corvan::test::TTempDir;
using corvan::test::WriteFileText;

namespace {

std::string Mapping(int index, int port, const std::string& dest, int enabled = 1) {
    return "[Proxy-PortMapper.Items." + std::to_string(index) + "]\nEnabled=" +
           std::to_string(enabled) + "\nServerPort=" + std::to_string(port) +
           "\nDestHost=" + dest + "\nDestPort=80\n";
}

std::string Socks(int port, int enabled = 1) {
    return "[Proxy-SocksProxy]\nEnabled=" + std::to_string(enabled) +
           "\nServerIP=127.0.0.1\nServerPort=" + std::to_string(port) + "\n";
}

std::string User(int index, const std::string& login, const std::string& password) {
    return "[Proxy-ProxyUsers.Items." + std::to_string(index) + "]\nName=" + login +
           "\nLogin=" + login + "\nPassword=" + password + "\n";
}

// The application as the headless program runs it, without a network: the mappings and the
// SOCKS proxy record their running state only.
struct TReloadFixture {
    TTempDir Dir;
    TAppEnvironment Environment;
    TFakeUserInterface Ui;
    std::unique_ptr<TProxyApp> App;
    std::vector<std::string> Enable;
    std::string Output; // what the last reload wrote

    explicit TReloadFixture(const std::string& settings, std::vector<std::string> enable = {})
        : Enable(std::move(enable)) {
        Environment.DataFolder = Dir / "data";
        Environment.HomeFolder = Dir / "home";
        std::filesystem::create_directories(Dir / "data/Corvan");
        WriteFileText(SettingsPath(), settings);
        App = std::make_unique<TProxyApp>(Environment, Ui);
        Root().PortMapper().MapperFactory = nullptr;
        Root().SocksProxy().ServerFactory = nullptr;
        Root().Status().Listens = false;
        App->LoadSettings();
        ApplyEnableList(Root(), Enable);
        App->Start();
    }
    ~TReloadFixture() { App->Stop(); }
    std::string SettingsPath() const { return Dir / "data/Corvan/CorvanProxy.ini"; }
    TProxySystem& Root() const { return App->Root(); }
    TPortMapSystem* MappingAt(int i) const {
        return static_cast<TPortMapSystem*>(Root().PortMapper().Item(i));
    }
    bool Reload(const std::string& settings) {
        WriteFileText(SettingsPath(), settings);
        return ReloadNow();
    }
    bool ReloadNow() {
        std::FILE* err = std::tmpfile();
        bool read = ReloadSettingsFile(*App, Enable, err);
        std::rewind(err);
        Output.clear();
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, err)) > 0;)
            Output.append(buffer, n);
        std::fclose(err);
        return read;
    }
    bool Said(const std::string& text) const { return Output.find(text) != std::string::npos; }
};

} // namespace

TEST(SettingsReload, OnlyWhatChangedIsReloadedAndRestarted) {
    TReloadFixture f(Socks(1080) + "[Proxy-PortMapper]\nItemCount=2\n" + Mapping(0, 5001, "one") +
                     Mapping(1, 5002, "two") + "[Proxy-ProxyUsers]\nItemCount=1\n" +
                     User(0, "ann", "old"));
    TPortMapSystem* first = f.MappingAt(0);
    ASSERT_TRUE(first && first->Active() && f.MappingAt(1)->Active());
    EXPECT_TRUE(f.Root().SocksProxy().Active());

    // The first mapping moves to index 1 unchanged, the second gets a new destination, a
    // third comes, the user's password changes, the SOCKS section stays as it was.
    ASSERT_TRUE(f.Reload("[Application]\nUpdateCheckInterval=7\n" + Socks(1080) +
                         "[Proxy-PortMapper]\nItemCount=3\n" + Mapping(0, 5002, "three") +
                         Mapping(1, 5001, "one") + Mapping(2, 5003, "four") +
                         "[Proxy-ProxyUsers]\nItemCount=1\n" + User(0, "ann", "new")))
        << f.Output;
    ASSERT_EQ(f.Root().PortMapper().GetChildCount(), 3);
    EXPECT_EQ(f.MappingAt(1), first); // the very same mapping, never stopped
    EXPECT_TRUE(first->Active());
    EXPECT_EQ(f.MappingAt(0)->DestHost, "three");
    EXPECT_TRUE(f.MappingAt(0)->Active());
    EXPECT_EQ(f.MappingAt(2)->ServerPort, 5003);
    EXPECT_TRUE(f.MappingAt(2)->Active());
    EXPECT_TRUE(f.Said("Port mapping on port 5002 to two:80: removed")) << f.Output;
    EXPECT_TRUE(f.Said("Port mapping on port 5002 to three:80: new settings, running")) << f.Output;
    EXPECT_TRUE(f.Said("Port mapping on port 5003 to four:80: new settings, running")) << f.Output;
    EXPECT_FALSE(f.Said("5001")) << f.Output;
    EXPECT_FALSE(f.Said("SOCKS")) << f.Output;
    EXPECT_TRUE(f.Root().SocksProxy().Active());
    EXPECT_TRUE(f.Root().ProxyUsers().CheckSocksAccess("ann", "new"));
    EXPECT_FALSE(f.Root().ProxyUsers().CheckSocksAccess("ann", "old"));
    EXPECT_EQ(f.App->UpdateCheckInterval, 7);

    // The same file again: nothing is touched.
    std::vector<TAppComponent*> before = f.Root().PortMapper().GetChildren();
    ASSERT_TRUE(f.ReloadNow());
    EXPECT_TRUE(f.Said("settings read again: nothing changed")) << f.Output;
    EXPECT_EQ(f.Root().PortMapper().GetChildren(), before);

    // A new SOCKS port restarts the SOCKS proxy and nothing else; a mapping switched off
    // stops; what is saved at the end is what runs.
    ASSERT_TRUE(f.Reload(Socks(1081) + "[Proxy-PortMapper]\nItemCount=3\n" +
                         Mapping(0, 5002, "three") + Mapping(1, 5001, "one") +
                         Mapping(2, 5003, "four", 0) + "[Proxy-ProxyUsers]\nItemCount=1\n" +
                         User(0, "ann", "new")));
    EXPECT_TRUE(f.Said("SOCKS proxy on port 1081: new settings, running")) << f.Output;
    EXPECT_TRUE(f.Said("Port mapping on port 5003 to four:80: new settings, not running"))
        << f.Output;
    EXPECT_FALSE(f.Said("proxy users")) << f.Output;
    EXPECT_EQ(f.MappingAt(1), first);
    EXPECT_EQ(f.Root().SocksProxy().ServerPort, 1081);
    f.App->SaveSettings();
    TIniFile saved(f.SettingsPath());
    EXPECT_EQ(saved.ReadInteger("Proxy-SocksProxy", "ServerPort", 0), 1081);
    EXPECT_EQ(saved.ReadString("Proxy-PortMapper.Items.1", "DestHost", ""), "one");
    EXPECT_FALSE(saved.ReadBool("Proxy-PortMapper.Items.2", "Enabled", true));
    EXPECT_TRUE(f.Ui.Errors.empty());
}

TEST(SettingsReload, UnreadableOrMissingFileKeepsTheRunningSettings) {
    // --enable applies to reloaded parts again: SOCKS and new mappings stay switched on.
    TReloadFixture f(Socks(1080, 0) + "[Proxy-PortMapper]\nItemCount=1\n" +
                         Mapping(0, 5001, "one", 0),
                     {"socks", "mappings"});
    ASSERT_TRUE(f.Root().SocksProxy().Active());
    ASSERT_TRUE(f.Reload(Socks(1082, 0) + "[Proxy-PortMapper]\nItemCount=1\n" +
                         Mapping(0, 5001, "two", 0)));
    EXPECT_TRUE(f.Root().SocksProxy().Active());
    EXPECT_EQ(f.Root().SocksProxy().ServerPort, 1082);
    TPortMapSystem* mapping = f.MappingAt(0);
    ASSERT_TRUE(mapping && mapping->Active()) << f.Output;

    std::string good = corvan::test::ReadFileText(f.SettingsPath());
    struct TCase {
        const char* Name;
        std::function<void()> Make;
        const char* Reason;
    };
    const TCase cases[] = {
        {"NUL bytes",
         [&] { WriteFileText(f.SettingsPath(), Socks(1090) + std::string("\0x", 2)); },
         "NUL bytes"},
        {"missing", [&] { std::filesystem::remove(f.SettingsPath()); }, "does not exist"},
        {"a folder", [&] { std::filesystem::create_directory(f.SettingsPath()); },
         "not a regular file"},
    };
    for (const TCase& c : cases) {
        std::filesystem::remove(f.SettingsPath());
        c.Make();
        EXPECT_FALSE(f.ReloadNow()) << c.Name;
        EXPECT_TRUE(f.Said(c.Reason)) << c.Name << "\n" << f.Output;
        EXPECT_TRUE(f.Said("the running settings are kept")) << c.Name << "\n" << f.Output;
        EXPECT_EQ(f.MappingAt(0), mapping) << c.Name;
        EXPECT_TRUE(mapping->Active()) << c.Name;
        EXPECT_EQ(f.Root().SocksProxy().ServerPort, 1082) << c.Name;
        EXPECT_EQ(f.App->SettingsFile().ReadInteger("Proxy-SocksProxy", "ServerPort", 0), 1082)
            << c.Name;
    }
    // Readable again: compared with what runs, not with the file that could not be read.
    std::filesystem::remove(f.SettingsPath());
    WriteFileText(f.SettingsPath(), good);
    ASSERT_TRUE(f.ReloadNow());
    EXPECT_TRUE(f.Said("nothing changed")) << f.Output;
    EXPECT_EQ(f.MappingAt(0), mapping);
}

TEST(SettingsReload, AHalfWrittenFileChangesNothingItLacksAndIsNotSavedOver) {
    const std::string http = "[Proxy-HTTP]\nServerPort=3128\nLoginMode=2\nLoginScript=check\n";
    const std::string full = http + Socks(1080) + "[Proxy-PortMapper]\nItemCount=2\n" +
                             Mapping(0, 5001, "one") + Mapping(1, 5002, "two") +
                             "[Proxy-ProxyUsers]\nItemCount=1\n" + User(0, "ann", "pw");
    TReloadFixture f(full);
    THTTPProxySystem& proxy = f.Root().HTTPProxy();
    TPortMapSystem* first = f.MappingAt(0);

    // Caught while the editor wrote the HTTP section: its login keys and every section
    // after it are not there yet. The port that is there applies.
    ASSERT_TRUE(f.Reload("[Proxy-HTTP]\nServerPort=3129\n")) << f.Output;
    EXPECT_EQ(proxy.ServerPort, 3129);
    EXPECT_EQ(proxy.LoginMode, 2) << f.Output; // never a proxy without logins
    EXPECT_EQ(proxy.LoginScript, "check");
    EXPECT_TRUE(f.Said("SOCKS proxy on port 1080: [Proxy-SocksProxy] is missing in the "
                       "settings file; the running settings are kept"))
        << f.Output;
    EXPECT_TRUE(f.Said("port mappings: [Proxy-PortMapper] has no ItemCount")) << f.Output;
    EXPECT_TRUE(f.Said("proxy users: [Proxy-ProxyUsers] has no ItemCount")) << f.Output;
    EXPECT_TRUE(f.Root().SocksProxy().Active());
    EXPECT_EQ(f.MappingAt(0), first);
    EXPECT_TRUE(f.Root().ProxyUsers().CheckHTTPAccess("ann", "pw"));

    // Caught inside the list of mappings: the first is there, the second not yet.
    ASSERT_TRUE(f.Reload(http + Socks(1080) + "[Proxy-PortMapper]\nItemCount=2\n" +
                         Mapping(0, 5001, "one")));
    EXPECT_TRUE(f.Said("port mappings: [Proxy-PortMapper.Items.1] is missing")) << f.Output;
    ASSERT_EQ(f.Root().PortMapper().GetChildCount(), 2);
    EXPECT_TRUE(f.MappingAt(1)->Active());

    // The editor finishes; the stop saves nothing over what it wrote.
    const std::string done = full + "; done\n";
    WriteFileText(f.SettingsPath(), done);
    f.App->SaveSettings();
    EXPECT_EQ(corvan::test::ReadFileText(f.SettingsPath()), done);
}

TEST(SettingsReload, AListCaughtHalfWrittenInsideAnItemOrAtItsCountIsKept) {
    const std::string mappings =
        "[Proxy-PortMapper]\nItemCount=2\n" + Mapping(0, 5001, "one") + Mapping(1, 5002, "two");
    const std::string users = "[Proxy-ProxyUsers]\nItemCount=1\n" + User(0, "ann", "pw");
    TReloadFixture f(mappings + users + "UserDisabled=1\n");
    ASSERT_FALSE(f.Root().ProxyUsers().CheckHTTPAccess("ann", "pw"));

    // Cut before the user's last key: loaded with its default, ann would be let in.
    ASSERT_TRUE(f.Reload(mappings + users)) << f.Output;
    EXPECT_TRUE(f.Said("proxy users: [Proxy-ProxyUsers.Items.0] has no UserDisabled")) << f.Output;
    EXPECT_FALSE(f.Root().ProxyUsers().CheckHTTPAccess("ann", "pw"));

    // Cut just after "ItemCount=": read as no items, every mapping would stop.
    ASSERT_TRUE(f.Reload("[Proxy-PortMapper]\nItemCount=\n")) << f.Output;
    EXPECT_TRUE(f.Said("port mappings: ItemCount= in [Proxy-PortMapper] is not a whole number"))
        << f.Output;
    ASSERT_EQ(f.Root().PortMapper().GetChildCount(), 2);
    EXPECT_TRUE(f.MappingAt(1)->Active());
    EXPECT_FALSE(f.Root().ProxyUsers().CheckHTTPAccess("ann", "pw"));
}

TEST(SettingsReload, AListWhoseCountIsMendedIsReadAndSavedAgain) {
    TReloadFixture f("[Proxy-ProxyUsers]\nItemCount=one\n" + User(0, "ann", "pw"));
    EXPECT_FALSE(f.Root().ProxyUsers().CheckHTTPAccess("ann", "pw"));
    ASSERT_TRUE(f.Reload("[Proxy-ProxyUsers]\nItemCount=1\n" + User(0, "ann", "pw")));
    EXPECT_TRUE(f.Root().ProxyUsers().CheckHTTPAccess("ann", "pw"));
    EXPECT_EQ(f.Root().ProxyUsers().ItemCountError(), "");
}
