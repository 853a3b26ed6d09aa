#include "app/CommandLine.h"
#include "app/Headless.h"
#include "app/ProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "util/IniFile.h"

#include "support/NetTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <unistd.h>

using namespace corvan;
using namespace corvan::test;
using corvan::test::TTempDir;

TEST(CommandLine, OptionsWithSeparateOrJoinedValues) {
    TCommandLine c = ParseCommandLine({"--headless", "--data-dir", "/tmp/x", "--enable=socks",
                                       "--enable", " DNS ,http,socks,Status"});
    EXPECT_EQ(c.Error, "");
    EXPECT_TRUE(c.Headless);
    EXPECT_EQ(c.DataDir, "/tmp/x");
    EXPECT_EQ(c.Enable, (std::vector<std::string>{"socks", "dns", "http", "status"}));
    EXPECT_TRUE(ParseCommandLine({"-h"}).Help);
    EXPECT_TRUE(ParseCommandLine({"--version"}).Version);
    TCommandLine none = ParseCommandLine({});
    EXPECT_FALSE(none.Headless || none.Help || none.Version);
    EXPECT_EQ(none.Error, "");
}

TEST(CommandLine, BadArgumentsAreNamed) {
    EXPECT_NE(ParseCommandLine({"--enable", "http,,dns"}).Error.find("\"\""), std::string::npos);
    EXPECT_NE(ParseCommandLine({"--enable", "ftp"}).Error.find("\"ftp\""), std::string::npos);
    EXPECT_NE(ParseCommandLine({"--enable"}).Error.find("needs a value"), std::string::npos);
    EXPECT_NE(ParseCommandLine({"--data-dir="}).Error, "");
    EXPECT_NE(ParseCommandLine({"--headless=1"}).Error.find("unknown option"), std::string::npos);
    EXPECT_NE(ParseCommandLine({"extra"}).Error.find("\"extra\""), std::string::npos);
}

TEST(HeadlessSequence, NothingIsSavedWhenSettingsWereNeverLoaded) {
    TTempDir dir;
    TAppEnvironment e;
    e.DataFolder = dir / "data";
    TProxyApp app(e, HeadlessUserInterface());
    app.Root().HTTPProxy().ServerIP = "127.0.0.1"; // not the default 8080: it may be taken
    app.Root().HTTPProxy().ServerPort = corvan::test::FreeLoopbackPort();
    app.Root().HTTPProxy().SetEnabled(true);
    std::FILE* err = std::tmpfile();
    EXPECT_TRUE(ShutDown(app, err));
    std::fclose(err);
    EXPECT_FALSE(app.Root().HTTPProxy().Active()); // stopped all the same
    EXPECT_NE(::access((dir / "data/Corvan/CorvanProxy.ini").c_str(), F_OK), 0);
}

TEST(HeadlessSequence, RunsStartWaitSaveStop) {
    TTempDir dir;
    TAppEnvironment e;
    e.DataFolder = dir / "data";
    // On a free loopback port: the default one may be taken.
    std::filesystem::create_directories(dir / "data/Corvan");
    const std::string settings =
        "[Proxy-SocksProxy]\nServerIP=127.0.0.1\nServerPort=" + std::to_string(FreeLoopbackPort()) +
        "\n";
    WriteFileText(dir / "data/Corvan/CorvanProxy.ini", settings);
    TCommandLine options = ParseCommandLine({"--enable", "socks"});
    std::FILE* err = std::tmpfile();
    bool waited = false;
    int code = RunHeadless(
        options, e,
        [&](const std::function<void()>&) {
            waited = true;
            return SIGTERM;
        },
        err);
    std::fclose(err);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(waited);
    // --enable is for this run: the switch the user saved (none) stays as it was, and so
    // does the rest of the file.
    EXPECT_EQ(ReadFileText(dir / "data/Corvan/CorvanProxy.ini"), settings);
}
