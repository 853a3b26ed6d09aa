#include "app/ProxyAppBase.h"
#include "app/ProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "util/IniFile.h"

#include "support/NetTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TTempDir;
using corvan::test::WriteFileText;

namespace {

struct TAppFixture {
    TTempDir Dir;
    TAppEnvironment Environment;
    TAppFixture() {
        Environment.DataFolder = Dir / "data";
        Environment.HomeFolder = Dir / "home";
        Environment.AutostartFolder = Dir / "config/autostart";
        Environment.ProgramPath = "/opt/Corvan Proxy/bin/corvan-proxy";
    }
    std::string SettingsPath() const { return Dir / "data/Corvan/CorvanProxy.ini"; }
    std::string EntryPath() const { return Dir / "config/autostart/corvan-proxy.desktop"; }
};

} // namespace

TEST(ProxyApp, FirstStartCreatesFoldersAndTheAutostartEntry) {
    TAppFixture f;
    TProxyApp app(f.Environment, HeadlessUserInterface());
    EXPECT_EQ(app.ApplicationFolder(), f.Dir / "data/Corvan/");
    EXPECT_EQ(app.ServiceFolder(), f.Dir / "data/Corvan/ProxyApp/");
    EXPECT_EQ(::access(app.ServiceFolder().c_str(), F_OK), 0);
    EXPECT_EQ(app.SettingsFile().FileName(), f.SettingsPath());
    EXPECT_FALSE(app.Loaded());
    app.LoadSettings();
    EXPECT_TRUE(app.Loaded());
    EXPECT_TRUE(app.RunOnStartUp());
    EXPECT_FALSE(app.UpdateCheckEnabled);
    EXPECT_EQ(app.UpdateCheckInterval, 28);
    EXPECT_EQ(app.X, TProxyApp::kNoPlacement);
    EXPECT_TRUE(app.ShowTips && app.MinimizeOnClose && app.MinimizeToTray);
    EXPECT_TRUE(app.Autostart().IsPresent());
    std::string entry = ReadFileText(f.EntryPath());
    EXPECT_NE(entry.find("Exec=\"/opt/Corvan Proxy/bin/corvan-proxy\"\n"), std::string::npos)
        << entry;
    EXPECT_NE(entry.find("Name=Corvan Internet Proxy\n"), std::string::npos);
    app.Start();
    EXPECT_EQ(app.UpdateChecker().StartCount(), 0); // automatic checks are off
    app.SaveSettings();
    TIniFile saved(f.SettingsPath());
    EXPECT_EQ(saved.ReadSections(),
              (std::vector<std::string>{
                  "Application", "MainForm", "Proxy-HTTP", "Proxy-HTTP-HTTPProxy",
                  "Proxy-HTTP-SocksProxy", "Proxy-DNS", "Proxy-PortMapper", "Proxy-SocksProxy",
                  "Proxy-SocksProxy-SocksProxy", "Proxy-ProxyUsers", "Proxy-Status"}));
    EXPECT_EQ(saved.ReadSection("Application"),
              (std::vector<std::string>{
                  "UpdateCheckEnabled", "UpdateCheckInterval", "LastUpdateCheck", "RunOnStartUp",
                  "ShowTips", "MinimizeOnClose", "MinimizeToTray", "LogMaxSize", "LogKeep"}));
    EXPECT_EQ(saved.ReadString("Application", "LogMaxSize", ""), "10485760");
    EXPECT_EQ(saved.ReadString("Application", "LogKeep", ""), "5");
    EXPECT_EQ(saved.ReadInteger("MainForm", "W", 0), -99999);
    app.Stop();
}

TEST(ProxyApp, TheSettingWinsOverTheAutostartEntry) {
    TAppFixture f;
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        app.LoadSettings(); // writes the entry
        app.SetRunOnStartUp(false);
        EXPECT_FALSE(app.Autostart().IsPresent());
        app.SaveSettings();
    }
    // The entry reappears by hand; the setting (off) removes it at the next load.
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        TAutostartEntry(f.Environment.AutostartFolder, f.Environment.ProgramPath, "x").Write();
        app.LoadSettings();
        EXPECT_FALSE(app.RunOnStartUp());
        EXPECT_NE(::access(f.EntryPath().c_str(), F_OK), 0);
    }
    // An entry that differs only in letter case counts as present and is left alone; one
    // for another program does not count and is replaced.
    TIniFile ini(f.SettingsPath());
    ini.WriteBool("Application", "RunOnStartUp", true);
    ini.UpdateFile();
    const std::string mine = "[Desktop Entry]\nExec=\"/OPT/corvan proxy/BIN/Corvan-Proxy\" "
                             "--headless\nComment=mine\n";
    WriteFileText(f.EntryPath(), mine);
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        app.LoadSettings();
        EXPECT_EQ(ReadFileText(f.EntryPath()), mine);
    }
    WriteFileText(f.EntryPath(), "[Desktop Entry]\nExec=/usr/bin/other\n");
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        app.LoadSettings();
        EXPECT_TRUE(app.Autostart().IsPresent());
    }
}

TEST(ProxyApp, ARunOnStartUpThatIsNotASwitchLeavesTheEntryAsItIs) {
    TAppFixture f;
    const std::string text = "[Application]\nRunOnStartUp=no\n";
    std::filesystem::create_directories(f.Dir / "data/Corvan");
    WriteFileText(f.SettingsPath(), text);
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        app.LoadSettings();
        EXPECT_FALSE(app.Autostart().IsPresent()); // "no" never reads as on
        EXPECT_FALSE(app.RunOnStartUp());
        app.SaveSettings();
    }
    EXPECT_EQ(ReadFileText(f.SettingsPath()), text);
}

TEST(AutostartEntry, ExecWordsAreQuotedAndUnquoted) {
    EXPECT_EQ(DesktopExecQuote("/usr/bin/corvan-proxy"), "/usr/bin/corvan-proxy");
    // The value format reads "\\\\" as one backslash before the quoting rule sees the rest.
    EXPECT_EQ(DesktopExecQuote("/a b/$x\"y"), "\"/a b/\\\\$x\\\\\"y\"");
    EXPECT_EQ(DesktopExecQuote("/srv/100%"), "/srv/100%%");
    EXPECT_EQ(DesktopExecQuote(""), "\"\"");
    for (const std::string word : {"/a b/$x\"y", "/back\\slash/`q`", "100% sure", "plain", ""})
        EXPECT_EQ(DesktopExecWords("/p " + DesktopExecQuote(word)),
                  (std::vector<std::string>{"/p", word}))
            << word;
    // An entry written by hand with the quoting rule's escapes only still reads.
    EXPECT_EQ(DesktopExecWords("\"/a b/\\$x\" --x  \"a\\\"b\""),
              (std::vector<std::string>{"/a b/$x", "--x", "a\"b"}));
    EXPECT_EQ(DesktopExecProgram(DesktopExecQuote("/a b/$x\"y")), "/a b/$x\"y");
    EXPECT_EQ(DesktopExecProgram("  /usr/bin/corvan-proxy --headless"), "/usr/bin/corvan-proxy");
    EXPECT_EQ(DesktopExecProgram("\"/unterminated"), "/unterminated");
    EXPECT_EQ(DesktopExecProgram(""), "");
    TAutostartEntry nowhere("", "/usr/bin/corvan-proxy", "x");
    nowhere.Write(); // no folder: nothing, no error
    EXPECT_FALSE(nowhere.IsPresent());
    TTempDir dir;
    TAutostartEntry noProgram(dir.Path(), "", "x");
    noProgram.Write();
    EXPECT_FALSE(noProgram.IsPresent());
    EXPECT_NE(::access((dir / "corvan-proxy.desktop").c_str(), F_OK), 0);
}

TEST(AutostartEntry, CarriesTheDataDirOfTheRunThatWroteIt) {
    TAppFixture f;
    f.Environment.DataDirArgument = f.Dir / "my data/100%";
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        app.LoadSettings();
        EXPECT_TRUE(app.Autostart().IsPresent());
    }
    std::string entry = ReadFileText(f.EntryPath());
    EXPECT_NE(entry.find("Exec=\"/opt/Corvan Proxy/bin/corvan-proxy\" --data-dir \"" +
                         f.Dir.Path() + "/my data/100%%\"\n"),
              std::string::npos)
        << entry;
    // The entry of another data folder (or of none) is not this run's.
    TAutostartEntry other(f.Environment.AutostartFolder, f.Environment.ProgramPath, "x",
                          {"--data-dir", f.Dir / "other"});
    TAutostartEntry plain(f.Environment.AutostartFolder, f.Environment.ProgramPath, "x");
    EXPECT_FALSE(other.IsPresent());
    EXPECT_FALSE(plain.IsPresent());
    plain.Write();
    {
        TProxyApp app(f.Environment, HeadlessUserInterface());
        EXPECT_FALSE(app.Autostart().IsPresent());
        app.LoadSettings(); // RunOnStartUp is on: the entry becomes this run's again
        EXPECT_TRUE(app.Autostart().IsPresent());
    }
}

TEST(ProxyAppUpdateCheck, DueAfterWholeIntervalDays) {
    TAppFixture f;
    TProxyApp app(f.Environment, HeadlessUserInterface());
    app.LoadSettings();
    TDateTime now = EncodeDateTime(2026, 12, 8, 21, 0, 0);
    app.Clock = [&] { return now; };
    app.UpdateCheckEnabled = true;
    app.UpdateCheckInterval = 28;
    app.LastUpdateCheck = 0;
    EXPECT_TRUE(app.IsUpdateCheckDue()); // never checked
    app.LastUpdateCheck = now - 27.9;
    EXPECT_FALSE(app.IsUpdateCheckDue());
    app.LastUpdateCheck = now - 28.0;
    EXPECT_TRUE(app.IsUpdateCheckDue());
    app.LastUpdateCheck = 45000.3; // fractions that do not subtract exactly
    now = 45028.3;
    EXPECT_TRUE(app.IsUpdateCheckDue());
    app.UpdateCheckInterval = 0;
    app.LastUpdateCheck = now - 10000;
    EXPECT_FALSE(app.IsUpdateCheckDue()); // interval 0: never automatically
    app.UpdateCheckInterval = -3;
    EXPECT_FALSE(app.IsUpdateCheckDue());
    app.UpdateCheckInterval = 7;
    app.UpdateCheckEnabled = false;
    EXPECT_FALSE(app.IsUpdateCheckDue());
    app.LastUpdateCheck = 0;
    EXPECT_FALSE(app.IsUpdateCheckDue()); // off means off, even if never checked
}

TEST(ProxyAppUpdateCheck, StartRecordsTheCheckInTheFileFirst) {
    TAppFixture f;
    ::mkdir((f.Dir / "data").c_str(), 0755);
    ::mkdir((f.Dir / "data/Corvan").c_str(), 0755);
    // A port nobody listens on: the check fails at once, and its outcome waits for the main
    // loop, which this test does not run, so the check stays Busy.
    WriteFileText(f.SettingsPath(), "[Application]\nUpdateCheckEnabled=1\nUpdateCheckInterval=7\n"
                                    "LastUpdateCheck=46000.5\nUpdateHost=127.0.0.1\nUpdatePort=" +
                                        std::to_string(test::FreeLoopbackPort()) + "\n; keep\n");
    TProxyApp app(f.Environment, HeadlessUserInterface());
    app.LoadSettings();
    EXPECT_EQ(app.LastUpdateCheck, 46000.5);
    app.Clock = [] { return 46007.4; }; // 6.9 days
    app.Start();
    EXPECT_EQ(app.UpdateChecker().StartCount(), 0);
    app.Clock = [] { return 46007.5; }; // 7 days
    app.Start();
    EXPECT_EQ(app.UpdateChecker().StartCount(), 1);
    EXPECT_TRUE(app.UpdateChecker().Busy());
    TIniFile disk(f.SettingsPath());
    EXPECT_EQ(disk.ReadFloat("Application", "LastUpdateCheck", 0), 46007.5);
    EXPECT_NE(ReadFileText(f.SettingsPath()).find("; keep"), std::string::npos);
    // While a check runs, neither a manual check nor the schedule starts another.
    app.Clock = [] { return 46100.0; };
    app.CheckForUpdateNow();
    app.Start();
    EXPECT_EQ(app.UpdateChecker().StartCount(), 1);
    EXPECT_EQ(app.LastUpdateCheck, 46007.5);
}

TEST(ProxyAppUpdateCheck, WithoutUpdateHostNothingIsChecked) {
    TAppFixture f;
    ::mkdir((f.Dir / "data").c_str(), 0755);
    ::mkdir((f.Dir / "data/Corvan").c_str(), 0755);
    WriteFileText(f.SettingsPath(), "[Application]\nUpdateCheckEnabled=1\nLastUpdateCheck=0\n");
    TProxyApp app(f.Environment, HeadlessUserInterface());
    app.LoadSettings();
    EXPECT_EQ(app.UpdateChecker().URI, "/proxyapp/ver-proxy.txt");
    EXPECT_EQ(app.UpdateChecker().Port, "80");
    ASSERT_TRUE(app.IsUpdateCheckDue());
    app.Start(); // due, but no host: no automatic check
    EXPECT_EQ(app.UpdateChecker().StartCount(), 0);
    try {
        app.CheckForUpdateNow();
        FAIL();
    } catch (const EUpdateChecker& e) {
        EXPECT_STREQ(e.what(), "Host not set");
    }
    EXPECT_EQ(app.LastUpdateCheck, 0); // nothing was recorded
    app.Stop();
}

TEST(ProxyAppUpdateCheck, CheckerNeedsHostAndPath) {
    TUpdateChecker checker;
    EXPECT_THROW(checker.Start(), EUpdateChecker);
    checker.Host = "www.corvan.example";
    checker.URI = "";
    try {
        checker.Start();
        FAIL();
    } catch (const EUpdateChecker& e) {
        EXPECT_STREQ(e.what(), "URI not set");
    }
    EXPECT_FALSE(checker.Busy());
}

TEST(ProxyApp, UnreadableSettingsFileIsNotReplacedByDefaults) {
    TAppFixture f;
    ::mkdir((f.Dir / "data").c_str(), 0755);
    ::mkdir((f.Dir / "data/Corvan").c_str(), 0755);
    std::string content =
        "[Proxy-HTTP]\nServerPort=3128\n" + std::string(TIniFile::kMaxFileSize, '#');
    WriteFileText(f.SettingsPath(), content);
    TProxyApp app(f.Environment, HeadlessUserInterface());
    EXPECT_NE(app.SettingsFile().LoadError(), "");
    app.LoadSettings();
    EXPECT_EQ(app.Root().HTTPProxy().ServerPort, 8080);
    EXPECT_THROW(app.SaveSettings(), EIniFile);
    EXPECT_EQ(ReadFileText(f.SettingsPath()), content);
    // The run-at-logon choice is in the unreadable file: the entry is left alone.
    EXPECT_NE(::access(f.EntryPath().c_str(), F_OK), 0);
}

TEST(ProxyApp, FoldersFallBackToHomeAndRelative) {
    TTempDir dir;
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
    {
        TAppEnvironment e;
        e.HomeFolder = dir / "home";
        TProxyApp app(e, HeadlessUserInterface());
        EXPECT_EQ(app.ApplicationFolder(), "Corvan/"); // relative: there is no fallback
        EXPECT_EQ(app.ServiceFolder(), dir / "home/Corvan/ProxyApp/");
        EXPECT_EQ(::access((dir / "Corvan").c_str(), F_OK), 0);
        EXPECT_EQ(::access((dir / "home/Corvan/ProxyApp").c_str(), F_OK), 0);
    }
    ASSERT_EQ(::chdir(previous), 0);
}
