// Drives the built corvan-proxy program: start-up, stop by signal, the settings file it
// leaves, and its options.

#include "util/IniFile.h"

#include "support/HeadlessProgram.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/stat.h>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TChildProcess;
using corvan::test::TTempDir;
using corvan::test::WriteFileText;

namespace {

constexpr int WaitMs = 30000; // generous for the sanitizer build; normally well under 1 s
const char* const ReadyText = "running headless";

struct THeadlessRun {
    TTempDir Dir;
    std::map<std::string, std::string> Env() const {
        return {{"LOCALAPPDATA", Dir / "data"},
                {"XDG_CONFIG_HOME", Dir / "config"},
                {"HOME", Dir / "home"}};
    }
    std::string Settings() const { return Dir / "data/Corvan/CorvanProxy.ini"; }

    // Starts the program, waits until it runs, stops it with the signal; the exit code.
    int RunAndStop(std::vector<std::string> args, int signal, std::string* output = nullptr) {
        args.insert(args.begin(), CORVAN_PROXY_BIN);
        // No display: a run without --headless is then headless too, wherever the test runs.
        TChildProcess p(args, Env(), {"XDG_DATA_HOME", "DISPLAY", "WAYLAND_DISPLAY"});
        EXPECT_TRUE(p.Started());
        bool ready = p.WaitForOutput(ReadyText, WaitMs);
        EXPECT_TRUE(ready) << p.Output();
        p.Signal(signal);
        int code = p.WaitForExit(WaitMs);
        if (output)
            *output = p.Output();
        return code;
    }
};

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

} // namespace

TEST(Headless, FirstRunWritesDefaultsAndFoldersButNoAutostartEntry) {
    THeadlessRun run;
    std::string output;
    EXPECT_EQ(run.RunAndStop({"--headless"}, SIGTERM, &output), 0) << output;
    EXPECT_NE(output.find("SIGTERM"), std::string::npos) << output;
    TIniFile ini(run.Settings());
    EXPECT_EQ(ini.LoadError(), "");
    EXPECT_EQ(ini.ReadSections(),
              (std::vector<std::string>{
                  "Application", "MainForm", "Proxy-HTTP", "Proxy-HTTP-HTTPProxy",
                  "Proxy-HTTP-SocksProxy", "Proxy-DNS", "Proxy-PortMapper", "Proxy-SocksProxy",
                  "Proxy-SocksProxy-SocksProxy", "Proxy-ProxyUsers", "Proxy-Status"}));
    EXPECT_EQ(ini.ReadString("Application", "RunOnStartUp", ""), "1");
    EXPECT_EQ(ini.ReadString("Application", "UpdateCheckEnabled", ""), "0");
    EXPECT_EQ(ini.ReadString("Application", "UpdateCheckInterval", ""), "28");
    EXPECT_EQ(ini.ReadString("Application", "LastUpdateCheck", ""), "0");
    EXPECT_EQ(ini.ReadString("MainForm", "X", ""), "-99999");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP", "Enabled", ""), "0");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP", "ServerPort", ""), "8080");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP", "MaxConnections", ""), "64");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP", "EnableTunnelling", ""), "1");
    EXPECT_EQ(ini.ReadString("Proxy-HTTP-SocksProxy", "UseProxy", ""), "0");
    EXPECT_EQ(ini.ReadString("Proxy-DNS", "RecurseServer", ""), "1");
    EXPECT_EQ(ini.ReadString("Proxy-PortMapper", "ItemCount", ""), "0");
    EXPECT_EQ(ini.ReadString("Proxy-SocksProxy", "ServerPort", ""), "1080");
    EXPECT_EQ(ini.ReadString("Proxy-SocksProxy", "BandInLimit", ""), "-1");
    EXPECT_EQ(ini.ReadString("Proxy-ProxyUsers", "ItemCount", ""), "0");
    struct stat st;
    ASSERT_EQ(::stat((run.Dir / "data/Corvan/ProxyApp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // A server is started by its unit, not by a desktop log-in.
    EXPECT_NE(::access((run.Dir / "config/autostart").c_str(), F_OK), 0);
    EXPECT_NE(::access((run.Dir / "home/.local").c_str(), F_OK), 0); // nothing strayed to HOME
}

TEST(Headless, SecondRunKeepsEveryHandEdit) {
    THeadlessRun run;
    ASSERT_EQ(run.RunAndStop({"--headless"}, SIGTERM), 0);
    std::string text = ReadFileText(run.Settings());
    // The entry a window run wrote: a headless run leaves it alone whatever the setting.
    const std::string entry = "[Desktop Entry]\nExec=" + RealPath(CORVAN_PROXY_BIN) + "\n";
    std::filesystem::create_directories(run.Dir / "config/autostart");
    WriteFileText(run.Dir / "config/autostart/corvan-proxy.desktop", entry);
    // Edit by hand: values, an unknown key, comments, an unknown section, and CR LF lines.
    auto replace = [&](const std::string& from, const std::string& to) {
        size_t p = text.find(from);
        ASSERT_NE(p, std::string::npos) << from;
        text.replace(p, from.size(), to);
    };
    replace("ServerPort=8080\n", "; my port\nServerPort=3128\nMyOwnKey=keep me\n");
    replace("MaxConnections=64\nMaxBackLog=0\nEnableLog=0",
            "MaxConnections=10\nMaxBackLog=5\nEnableLog=1");
    replace("RunOnStartUp=1", "RunOnStartUp=0");
    text = "# corvan settings, edited by hand\n" + text + "\n[Mine]\nanything=at all\n";
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    WriteFileText(run.Settings(), crlf);
    std::string output;
    ASSERT_EQ(run.RunAndStop({}, SIGINT, &output), 0) << output; // no arguments: headless
    EXPECT_NE(output.find("running as with --headless"), std::string::npos) << output;
    EXPECT_EQ(ReadFileText(run.Settings()), crlf);
    EXPECT_EQ(ReadFileText(run.Dir / "config/autostart/corvan-proxy.desktop"), entry);
}

TEST(Headless, EnableListSwitchesServicesOnForThisRun) {
    THeadlessRun run;
    ::mkdir((run.Dir / "data").c_str(), 0755);
    ::mkdir((run.Dir / "data/Corvan").c_str(), 0755);
    // The mappings really start: ports the system considers free, on loopback only.
    uint16_t ports[2] = {corvan::test::FreeLoopbackPort(), corvan::test::FreeLoopbackPort()};
    const std::string settings = "[Proxy-HTTP]\nServerIP=127.0.0.1\nServerPort=" +
                                      std::to_string(corvan::test::FreeLoopbackPort()) +
                                      "\n[Proxy-DNS]\nServerIP=127.0.0.1\nServerPort=" +
                                      std::to_string(corvan::test::FreeLoopbackPort()) +
                                      "\n[Proxy-PortMapper]\nItemCount=2\n"
                                  "[Proxy-PortMapper.Items.0]\nServerIP=127.0.0.1\nServerPort=" +
                                      std::to_string(ports[0]) +
                                      "\nDestHost=127.0.0.1\nDestPort=9\n"
                                      "[Proxy-PortMapper.Items.1]\nServerIP=127.0.0.1\n"
                                      "ServerPort=" +
                                      std::to_string(ports[1]) +
                                      "\nDestHost=127.0.0.1\nDestPort=9\n"
                                      // Its own port: the default one may be another test's.
                                      "[Proxy-Status]\nServerIP=127.0.0.1\nServerPort=" +
                                      std::to_string(corvan::test::FreeLoopbackPort()) + "\n";
    WriteFileText(run.Settings(), settings);
    std::string output;
    ASSERT_EQ(run.RunAndStop({"--headless", "--enable", "HTTP, mappings", "--enable=dns"}, SIGTERM,
                             &output),
              0);
    EXPECT_EQ(output.find("not part of this version"), std::string::npos) << output;
    EXPECT_EQ(output.find("not started"), std::string::npos) << output;
    // For that run only: the file keeps the user's switches (none) and all else as it was.
    EXPECT_EQ(ReadFileText(run.Settings()), settings);
}

TEST(Headless, ValuesThatDoNotParseKeepTheirServicesStoppedAndTheFileAsWritten) {
    uint16_t httpPort = corvan::test::FreeLoopbackPort(),
             mapPort = corvan::test::FreeLoopbackPort();
    // An open proxy is what the defaults would make of these; a second [Proxy-HTTP] is
    // ignored and named.
    const std::string settings =
        "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + std::to_string(httpPort) +
        "\nLoginMode=two\n[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=abc\n"
        "RequireLogin=true\n[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\n"
        "Enabled=1\nServerIP=127.0.0.1\nServerPort=" +
        std::to_string(mapPort) +
        "\nDestHost=127.0.0.1\nDestPort=9\n[Proxy-PortMapper.Items.0-SocksProxy]\nUseProxy=1\n"
        "Host=127.0.0.1\n[Proxy-HTTP]\nLoginMode=0\n";
    corvan::test::THeadlessProgram program(settings);
    ASSERT_TRUE(program.Ready) << program.Output();
    const std::string output = program.Output();
    for (const std::string& said :
         {"HTTP proxy on port " + std::to_string(httpPort) +
              " not started: LoginMode=two in [Proxy-HTTP] is not a whole number from 0 to 255",
          std::string("not started: ServerPort=abc in [Proxy-SocksProxy] is not a whole number "
                      "in the 32-bit range; RequireLogin=true in [Proxy-SocksProxy] is not 0 or 1"),
          std::string("not started: the up-stream proxy in [Proxy-PortMapper.Items.0-SocksProxy] "
                      "is switched on (UseProxy=1) but its Host or Port is empty"),
          std::string("the settings file holds [Proxy-HTTP] more than once: the first is used")})
        EXPECT_NE(output.find(said), std::string::npos) << said << "\n" << output;
    // "running headless" comes after every start: nothing listens.
    for (uint16_t port : {httpPort, mapPort}) {
        TSocketHandle h = corvan::test::ConnectBlocking(port);
        EXPECT_EQ(h, INVALID_SOCKETHANDLE) << port;
        if (h != INVALID_SOCKETHANDLE)
            SocketClose(h);
    }
    EXPECT_EQ(program.Stop(), 0) << program.Output();
    EXPECT_EQ(ReadFileText(program.SettingsFile()), program.WrittenSettings());
}

TEST(Headless, UnreadableSettingsFileStopsTheProgramBeforeAnyServiceStarts) {
    // What the user configured: SOCKS on loopback only, with logins required. Defaults in
    // their place would open it on every address, to anyone.
    std::string settings = "[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                           std::to_string(corvan::test::FreeLoopbackPort()) + "\nRequireLogin=1\n";
    struct TCase {
        const char* Name;
        std::function<void(const std::string& path)> Make;
        const char* Reason;
    };
    const TCase cases[] = {
        {"too large",
         [&](const std::string& path) {
             WriteFileText(path, settings + std::string(17 << 20, ';'));
         },
         "larger than"},
        {"a folder", [](const std::string& path) { ::mkdir(path.c_str(), 0755); },
         "not a regular file"},
        {"NUL bytes",
         [&](const std::string& path) {
             WriteFileText(path, settings + std::string("\0\0garbage", 9));
         },
         "NUL bytes"},
    };
    for (const TCase& c : cases) {
        THeadlessRun run;
        ::mkdir((run.Dir / "data").c_str(), 0755);
        ::mkdir((run.Dir / "data/Corvan").c_str(), 0755);
        c.Make(run.Settings());
        bool isFile = std::filesystem::is_regular_file(run.Settings());
        std::string before = isFile ? ReadFileText(run.Settings()) : std::string();
        // With --enable as well: nothing may start with settings that are not the user's.
        TChildProcess p({CORVAN_PROXY_BIN, "--headless", "--enable", "socks"}, run.Env(),
                        {"XDG_DATA_HOME"});
        EXPECT_EQ(p.WaitForExit(WaitMs), 1) << c.Name << "\n" << p.Output();
        const std::string& output = p.Output();
        EXPECT_NE(output.find(run.Settings()), std::string::npos) << c.Name << "\n" << output;
        EXPECT_NE(output.find(c.Reason), std::string::npos) << c.Name << "\n" << output;
        EXPECT_NE(output.find("not started"), std::string::npos) << c.Name << "\n" << output;
        EXPECT_EQ(output.find(ReadyText), std::string::npos) << c.Name << "\n" << output;
        if (isFile) {
            EXPECT_EQ(ReadFileText(run.Settings()), before) << c.Name; // never rewritten
        }
        // Nothing else was written on the user's behalf either.
        EXPECT_NE(::access((run.Dir / "config/autostart").c_str(), F_OK), 0) << c.Name;
    }
}

TEST(Headless, SecondProgramOnOneDataFolderIsRefusedNamingTheFirst) {
    THeadlessRun run;
    TChildProcess first({CORVAN_PROXY_BIN, "--headless"}, run.Env(), {"XDG_DATA_HOME"});
    ASSERT_TRUE(first.WaitForOutput(ReadyText, WaitMs)) << first.Output();
    // Run on, it would save its own copy of the settings over the first one's at its stop.
    TChildProcess second({CORVAN_PROXY_BIN, "--headless"}, run.Env(), {"XDG_DATA_HOME"});
    EXPECT_EQ(second.WaitForExit(WaitMs), 1) << second.Output();
    EXPECT_NE(second.Output().find("process " + std::to_string(first.Pid())), std::string::npos)
        << second.Output();
    EXPECT_EQ(second.Output().find(ReadyText), std::string::npos) << second.Output();
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(WaitMs), 0) << first.Output();
    // The folder is free again once its program has ended.
    std::string output;
    EXPECT_EQ(run.RunAndStop({"--headless"}, SIGTERM, &output), 0) << output;
}

TEST(Headless, DataDirReplacesLocalAppData) {
    THeadlessRun run;
    ASSERT_EQ(run.RunAndStop({"--headless", "--data-dir", run.Dir / "elsewhere"}, SIGTERM), 0);
    EXPECT_EQ(::access((run.Dir / "elsewhere/Corvan/CorvanProxy.ini").c_str(), F_OK), 0);
    EXPECT_EQ(::access((run.Dir / "elsewhere/Corvan/ProxyApp").c_str(), F_OK), 0);
    EXPECT_NE(::access(run.Settings().c_str(), F_OK), 0);
}

TEST(HeadlessOptions, HelpVersionAndBadArguments) {
    THeadlessRun run;
    {
        TChildProcess p({CORVAN_PROXY_BIN, "--version"}, run.Env());
        EXPECT_EQ(p.WaitForExit(WaitMs), 0);
        EXPECT_EQ(p.Output(), "Corvan Internet Proxy 1.0.0\n");
    }
    {
        TChildProcess p({CORVAN_PROXY_BIN, "--help"}, run.Env());
        EXPECT_EQ(p.WaitForExit(WaitMs), 0);
        for (const char* option : {"--headless", "--data-dir DIR", "--enable LIST", "--version"})
            EXPECT_NE(p.Output().find(option), std::string::npos) << option;
    }
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--enable", "ftp"}, {"--data-dir"}, {"--frobnicate"}}) {
        bad.insert(bad.begin(), CORVAN_PROXY_BIN);
        TChildProcess p(bad, run.Env());
        EXPECT_EQ(p.WaitForExit(WaitMs), 2) << p.Output();
        EXPECT_NE(p.Output().find("Usage:"), std::string::npos);
    }
    // None of these touched the data folder.
    EXPECT_NE(::access((run.Dir / "data").c_str(), F_OK), 0);
}
