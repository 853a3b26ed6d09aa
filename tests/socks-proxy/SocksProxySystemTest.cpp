#include "socks-proxy/SocksProxySystem.h"
#include "socks-proxy/SocksProxyForms.h"
#include "users/ProxyUsersSystem.h"
#include "util/FileSystem.h"
#include "util/IniFile.h"

#include "support/Bytes.h"
#include "support/EchoServer.h"
#include "support/FakeUserInterface.h"
#include "support/NetTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/stat.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// Stands for the network layer's SOCKS server: records the settings it was handed.
struct TServerJournal {
    std::vector<TSocksServerListen> Listens;
    std::vector<TSocksServerLimits> Limits;
    int Starts = 0;
    int Stops = 0;
    int Clients = 0;
    int64_t Rate = 0;
    uint64_t Refused = 0;
    bool FailStart = false;
};

class TFakeServer : public ASocksProxyServer {
public:
    explicit TFakeServer(TServerJournal& j) : J(j) {}
    void SetListen(const TSocksServerListen& l) override { J.Listens.push_back(l); }
    void SetLimits(const TSocksServerLimits& l) override { J.Limits.push_back(l); }
    void Start() override {
        if (J.FailStart)
            throw Exception("Socket bind failed: Address already in use");
        ++J.Starts;
    }
    void Stop() override { ++J.Stops; }
    int ClientCount() const override { return J.Clients; }
    uint64_t ConnectionsTotal() const override { return uint64_t(J.Clients); }
    int64_t TransferRate() const override { return J.Rate; }
    uint64_t RefusedCount() const override { return J.Refused; }

private:
    TServerJournal& J;
};

struct TSocksFixture {
    TTempDir Dir;
    TProxyUsersSystem Users;
    TServerJournal Journal;
    TDateTime Time = EncodeDateTime(2026, 12, 8, 14, 3, 59);
    TSocksProxySystem Service{Dir.Path() + "/", &Users};

    TSocksFixture() {
        Service.ServerFactory = [this](TSocksProxySystem& owner) {
            EXPECT_EQ(&owner, &Service);
            return std::make_unique<TFakeServer>(Journal);
        };
        Service.Clock = [this] { return Time; };
    }
    AStatusFrame& Frame() {
        Service.UpdateDisplay();
        return *Service.GetStatusFrame();
    }
};

TSocksConnectionFacts Facts(uint64_t bytes) {
    TSocksConnectionFacts f;
    f.RemoteIP = "192.168.1.20";
    f.BytesTransferred = bytes;
    f.DestPort = 443;
    f.DestHost = "www.example.com";
    return f;
}

} // namespace

TEST(SocksProxySettings, ConnectionAndBacklogClampsAtTheirBounds) {
    struct Case {
        const char* stored;
        int connections;
        int backlog;
    };
    const Case cases[] = {
        {"MaxConnections=0\nMaxBackLog=-5\n", 1, 0},
        {"MaxConnections=1\nMaxBackLog=-1\n", 1, 0},
        {"MaxConnections=-2147483648\nMaxBackLog=0\n", 1, 0},
        {"MaxConnections=2\nMaxBackLog=1\n", 2, 1},
        {"MaxConnections=x\nMaxBackLog=y\n", 64, 0}, // malformed: defaults
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        TIniFile ini("");
        ini.SetText(std::string("[S]\n") + c.stored);
        TSocksProxySystem s("/nonexistent/", nullptr);
        s.LoadSettings(ini, "S");
        EXPECT_EQ(s.MaxConnections, c.connections);
        EXPECT_EQ(s.MaxBackLog, c.backlog);
    }
}

TEST(SocksProxySettings, RequireLoginAllowLocalTargetsAndEnableUDPAreKeys) {
    TIniFile ini("");
    TSocksProxySystem s("/nonexistent/", nullptr);
    s.LoadSettings(ini, "S");
    EXPECT_FALSE(s.RequireLogin);
    EXPECT_FALSE(s.LimitSettings().AllowLocalTargets);
    EXPECT_TRUE(s.EnableUDP); // UDP associations are served unless switched off
    EXPECT_TRUE(s.LimitSettings().Options.EnableUdp);
    s.RequireLogin = true;
    s.AllowLocalTargets = true;
    s.EnableUDP = false;
    s.SaveSettings(ini, "S");
    EXPECT_EQ(ini.ReadSection("S"),
              (std::vector<std::string>{"Enabled", "ServerPort", "ServerIP", "MaxConnections",
                                        "MaxBackLog", "EnableLog", "LimitBandIn", "BandInLimit",
                                        "LimitBandOut", "BandOutLimit", "RequireLogin",
                                        "AllowedClients", "AllowLocalTargets", "EnableUDP"}));
    EXPECT_EQ(ini.ReadString("S", "EnableUDP", ""), "0");
    TSocksProxySystem again("/nonexistent/", nullptr);
    again.LoadSettings(ini, "S");
    EXPECT_TRUE(again.RequireLogin);
    EXPECT_TRUE(again.LimitSettings().Options.RequireLogin);
    EXPECT_TRUE(again.LimitSettings().AllowLocalTargets);
    EXPECT_FALSE(again.LimitSettings().Options.EnableUdp);
}

TEST(SocksProxyStatus, StoppedShowsDashesAndGray) {
    TSocksFixture fx;
    AStatusFrame& f = fx.Frame();
    EXPECT_EQ(f.Lines, std::vector<std::string>{"Socks Proxy Server not active."});
    for (const char* label : {"Up-Time", "Connections", "Data Transferred", "Transfer Rate"})
        EXPECT_EQ(f.Value(label), "-") << label;
    EXPECT_EQ(f.Picture, TStatusPicture::iPCGray);
    EXPECT_TRUE(f.Button("Enable")->Enabled);
    EXPECT_FALSE(f.Button("Disable")->Enabled);
    EXPECT_NE(f.Button("Settings..."), nullptr);
}

TEST(SocksProxyStatus, RunningShowsPortUptimeConnectionsBytesAndRate) {
    TSocksFixture fx;
    AStatusFrame& f = *fx.Service.GetStatusFrame();
    EXPECT_TRUE(f.Click("Enable"));
    EXPECT_EQ(f.Lines, std::vector<std::string>{"Socks Proxy Server active on port 1080."});
    EXPECT_EQ(f.Value("Up-Time"), "0:00:00");
    EXPECT_EQ(f.Value("Connections"), "0");
    EXPECT_EQ(f.Value("Data Transferred"), "-"); // nothing yet
    EXPECT_EQ(f.Value("Transfer Rate"), "-");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCBlue);
    EXPECT_FALSE(f.Button("Enable")->Enabled);
    EXPECT_TRUE(f.Button("Disable")->Enabled);

    fx.Time += (3600 + 2 * 60 + 3) / 86400.0;
    fx.Journal.Clients = 3;
    fx.Service.ClientClosed(Facts(1000));
    fx.Service.ClientClosed(Facts(4120));
    struct RateCase {
        int64_t rate;
        const char* text;
        TStatusPicture picture;
    };
    const RateCase rates[] = {{15, "-", TStatusPicture::iPCBlue},
                              {16, "16 bytes/s", TStatusPicture::iPCBlue},
                              {17, "17 bytes/s", TStatusPicture::iPCCyan},
                              {1536, "1.5 KB/s", TStatusPicture::iPCCyan}};
    for (const RateCase& c : rates) {
        SCOPED_TRACE(c.rate);
        fx.Journal.Rate = c.rate;
        fx.Frame();
        EXPECT_EQ(f.Value("Transfer Rate"), c.text);
        EXPECT_EQ(f.Picture, c.picture);
    }
    EXPECT_EQ(f.Value("Up-Time"), "1:02:03");
    EXPECT_EQ(f.Value("Connections"), "3");
    EXPECT_EQ(f.Value("Data Transferred"), "5 KB");
    EXPECT_EQ(fx.Service.TotalBytes(), 5120u);

    EXPECT_TRUE(f.Click("Disable"));
    EXPECT_EQ(fx.Journal.Stops, 1);
    EXPECT_EQ(f.Value("Data Transferred"), "-");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCGray);
}

TEST(SocksProxyService, TotalBytesStartsAtZeroOnEveryStart) {
    TSocksFixture fx;
    fx.Service.SetEnabled(true);
    fx.Service.ClientClosed(Facts(700));
    fx.Service.SetEnabled(false);
    fx.Service.ClientClosed(Facts(300)); // ended while stopping
    EXPECT_EQ(fx.Service.TotalBytes(), 1000u);
    fx.Journal.FailStart = true;
    EXPECT_THROW(fx.Service.SetEnabled(true), Exception);
    EXPECT_FALSE(fx.Service.Active());
    EXPECT_EQ(fx.Service.TotalBytes(), 1000u); // a failed start resets nothing
    fx.Journal.FailStart = false;
    fx.Service.SetEnabled(true);
    EXPECT_EQ(fx.Service.TotalBytes(), 0u);
    EXPECT_EQ(fx.Frame().Value("Data Transferred"), "-");
    EXPECT_EQ(fx.Journal.Starts, 2);
}

TEST(SocksProxyService, PortZeroOrOutOfRangeNeverStartsAndSaysWhy) {
    TSocksFixture fx;
    TFakeUserInterface ui;
    fx.Service.SetUserInterface(&ui);
    fx.Service.Enabled = true;
    fx.Service.ServerPort = 0; // would listen on a port the system picks
    fx.Service.Activate();
    fx.Service.ServerPort = 65536;
    fx.Service.Activate();
    EXPECT_EQ(ui.Errors,
              (std::vector<std::string>{
                  "SOCKS proxy on port 0 not started: no port to listen on (ServerPort is 0)",
                  "SOCKS proxy on port 65536 not started: port 65536 is out of range"}));
    fx.Service.ServerPort = -1;
    try {
        fx.Service.SetEnabled(true);
        ADD_FAILURE() << "started";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  "SOCKS proxy on port -1 not started: no port to listen on (ServerPort is -1)");
    }
    EXPECT_FALSE(fx.Service.Active());
    EXPECT_TRUE(fx.Service.Enabled); // still the user's choice
    EXPECT_EQ(fx.Journal.Starts, 0);
    fx.Service.ServerPort = 1080;
    fx.Service.Activate();
    EXPECT_TRUE(fx.Service.Active());
}

TEST(SocksProxyService, ListenSettingsWaitForTheNextStartLimitsApplyAtOnce) {
    TSocksFixture fx;
    fx.Service.MaxConnections = 0; // set directly, bypassing the load clamp
    fx.Service.MaxBackLog = -3;
    fx.Service.LimitBandIn = true;
    fx.Service.BandInLimit = 4096;
    fx.Service.SetEnabled(true);
    ASSERT_EQ(fx.Journal.Listens.size(), 1u);
    EXPECT_EQ(fx.Journal.Listens[0].ListenPort, "1080");
    EXPECT_EQ(fx.Journal.Listens[0].MaxBacklog, 0);
    ASSERT_EQ(fx.Journal.Limits.size(), 1u);
    EXPECT_EQ(fx.Journal.Limits[0].MaxClients, 1);
    EXPECT_TRUE(fx.Journal.Limits[0].ThrottleOutbound);
    EXPECT_EQ(fx.Journal.Limits[0].OutboundReadRate, 4096);
    EXPECT_FALSE(fx.Journal.Limits[0].Options.RequireLogin);

    fx.Service.ServerPort = 1081;
    fx.Service.MaxConnections = 10;
    fx.Service.ApplySettings();
    EXPECT_EQ(fx.Journal.Listens.size(), 1u); // the listening socket stays
    ASSERT_EQ(fx.Journal.Limits.size(), 2u);
    EXPECT_EQ(fx.Journal.Limits[1].MaxClients, 10);
    EXPECT_EQ(fx.Frame().Lines[0], "Socks Proxy Server active on port 1080.");
    // A limit without a rate (the dialog's empty field, or 0) limits nothing: at a rate of 0
    // not a byte would pass.
    fx.Service.BandInLimit = -1;
    fx.Service.LimitBandOut = true;
    fx.Service.BandOutLimit = 0;
    fx.Service.ApplySettings();
    ASSERT_EQ(fx.Journal.Limits.size(), 3u);
    EXPECT_FALSE(fx.Journal.Limits[2].ThrottleOutbound);
    EXPECT_FALSE(fx.Journal.Limits[2].ThrottleClient);

    fx.Service.SetEnabled(false);
    fx.Service.SetEnabled(true);
    EXPECT_EQ(fx.Journal.Listens.back().ListenPort, "1081");
    EXPECT_EQ(fx.Frame().Lines[0], "Socks Proxy Server active on port 1081.");
}

TEST(SocksProxyService, ConnectionLogIsAppendedOnlyWhenEnabled) {
    TSocksFixture fx;
    const std::string log = fx.Dir / "socksproxy.log";
    EXPECT_EQ(fx.Service.LogFileName(), log);
    fx.Service.ClientClosed(Facts(10));
    EXPECT_FALSE(FileExists(log));
    fx.Service.EnableLog = true;
    fx.Service.ClientClosed(Facts(10)); // not applied yet
    fx.Service.ApplySettings();
    fx.Service.ClientClosed(Facts(10));
    TSocksConnectionFacts early; // ended before sending a request
    early.RemoteIP = "10.0.0.7";
    fx.Service.ClientClosed(early);
    EXPECT_EQ(ReadFileText(log), "14:03:59 192.168.1.20 10 0.0.0.0:443 www.example.com\r\n"
                                 "14:03:59 10.0.0.7 0 0.0.0.0:0 \r\n");
}

TEST(SocksProxyService, FailedLogWriteIsIgnored) {
    TSocksFixture fx;
    ASSERT_EQ(::mkdir((fx.Dir / "socksproxy.log").c_str(), 0755), 0); // cannot be opened
    fx.Service.EnableLog = true;
    fx.Service.SetEnabled(true);
    EXPECT_NO_THROW(fx.Service.ClientClosed(Facts(42)));
    EXPECT_EQ(fx.Service.TotalBytes(), 42u);
}

TEST(SocksProxyService, OutboundGoesThroughTheUpstreamOnlyWhenItIsComplete) {
    TSocksProxySystem s("/nonexistent/", nullptr);
    TSocksOutbound r = s.OutboundRoute("www.example.com", 443);
    EXPECT_EQ(r.Host, "www.example.com");
    EXPECT_EQ(r.Port, "443");
    EXPECT_FALSE(r.Via.InUse());
    s.SocksProxy = TProxyServerInfo{true, "", "1080", false, "", ""};
    EXPECT_FALSE(s.OutboundRoute("a", 1).Via.InUse()); // use flag set, host empty: direct
    s.SocksProxy = TProxyServerInfo{true, "up.lan", "", false, "", ""};
    EXPECT_FALSE(s.OutboundRoute("a", 1).Via.InUse());
    s.SocksProxy = TProxyServerInfo{true, "up.lan", " ", false, "", ""};
    EXPECT_FALSE(s.OutboundRoute("a", 1).Via.InUse()); // a blank port is no port
    s.SocksProxy = TProxyServerInfo{false, "up.lan", "1080", false, "", ""};
    EXPECT_FALSE(s.OutboundRoute("a", 1).Via.InUse());
    s.SocksProxy = TProxyServerInfo{true, "up.lan", "1080", true, "me", "pw"};
    r = s.OutboundRoute("a", 1);
    EXPECT_TRUE(r.Via.InUse());
    EXPECT_EQ(r.Via.Host, "up.lan");
    EXPECT_EQ(r.Via.Login, "me");
}

TEST(SocksProxyService, LoginsAreCheckedAgainstProxyUsersOnlyWhenRequired) {
    TProxyUsersSystem users;
    auto add = [&users](const char* login, const char* password, bool disabled, bool socks = true) {
        auto u = std::make_unique<TProxyUser>();
        u->Login = login;
        u->Password = password;
        u->UserDisabled = disabled;
        u->AllowSocksProxy = socks;
        users.AddChild(std::move(u));
    };
    add("alice", "Secret", false);
    add("bob", "pw", true);
    add("ALICE", "other", false);     // shadowed by the first alice
    add("carol", "pw", false, false); // HTTP only
    TSocksProxySystem s("/nonexistent/", &users);
    EXPECT_TRUE(s.Authenticate("nobody", "x")); // no login required: anything goes
    s.RequireLogin = true;
    EXPECT_TRUE(s.Authenticate("Alice", "secret"));
    EXPECT_FALSE(s.Authenticate("alice", "other"));
    EXPECT_FALSE(s.Authenticate("bob", "pw"));   // disabled
    EXPECT_FALSE(s.Authenticate("carol", "pw")); // no SOCKS access
    EXPECT_FALSE(s.Authenticate("nobody", "x"));
    EXPECT_FALSE(s.Authenticate("", ""));
    TSocksProxySystem noUsers("/nonexistent/", nullptr);
    noUsers.RequireLogin = true;
    EXPECT_FALSE(noUsers.Authenticate("alice", "Secret"));
}

TEST(SocksProxySettingsForm, ShowsTheServiceAndParsesWithFallbacksAndClamps) {
    TSocksProxySystem s("/nonexistent/", nullptr);
    s.BandInLimit = 0;
    s.BandOutLimit = 2048;
    s.RequireLogin = true;
    TfrmSocksProxySettings form;
    form.LoadFrom(s);
    EXPECT_EQ(form.Caption(), "Socks Proxy Settings");
    EXPECT_EQ(form.Tabs(), (std::vector<std::string>{"Server", "Options", "Bandwidth", "Proxy"}));
    EXPECT_EQ(TfrmSocksProxySettings::PortItems(),
              (std::vector<std::string>{"1080", "1081", "3128", "8080"}));
    EXPECT_STREQ(TfrmSocksProxySettings::kRequireLoginCaption, "Require users to log in.");
    EXPECT_EQ(form.ServerPort, "1080");
    EXPECT_EQ(form.MaxConnections, "64");
    EXPECT_EQ(form.BandInLimit, ""); // below 1 shows empty
    EXPECT_EQ(form.BandOutLimit, "2048");
    EXPECT_TRUE(form.RequireLogin);
    EXPECT_TRUE(form.EnableUDP);
    EXPECT_TRUE(form.ServerIP.AnyInterface);
    EXPECT_FALSE(form.BandInLimitEnabled());
    form.LimitBandIn = true;
    EXPECT_TRUE(form.BandInLimitEnabled());
    EXPECT_FALSE(form.SocksProxy.FrameEnabled());
    form.SetUseSocksProxy(true);
    EXPECT_TRUE(form.SocksProxy.FrameEnabled());

    form.ServerPort = "";
    form.MaxConnections = "0";
    form.MaxBackLog = "-5";
    form.BandInLimit = "fast";
    form.BandOutLimit = "";
    form.RequireLogin = false;
    form.EnableUDP = false;
    form.SaveTo(s);
    EXPECT_EQ(s.ServerPort, 8080);
    EXPECT_EQ(s.MaxConnections, 1);
    EXPECT_EQ(s.MaxBackLog, 0);
    EXPECT_EQ(s.BandInLimit, -1);
    EXPECT_EQ(s.BandOutLimit, -1);
    EXPECT_TRUE(s.LimitBandIn);
    EXPECT_FALSE(s.RequireLogin);
    EXPECT_FALSE(s.EnableUDP);
    EXPECT_TRUE(s.SocksProxy.UseProxy);

    form.ServerPort = "70000";
    form.MaxConnections = "many";
    form.MaxBackLog = "x";
    form.SaveTo(s);
    EXPECT_EQ(s.ServerPort, 8080);
    EXPECT_EQ(s.MaxConnections, 64);
    EXPECT_EQ(s.MaxBackLog, 0);
    form.ServerPort = "3128";
    form.MaxBackLog = "5";
    form.SaveTo(s);
    EXPECT_EQ(s.ServerPort, 3128);
    EXPECT_EQ(s.MaxBackLog, 5);
}

TEST(SocksProxySettingsForm, OKSavesAndAppliesCancelChangesNothing) {
    TSocksFixture fx;
    TIniFile ini(fx.Dir / "CorvanProxy.ini");
    TFakeUserInterface ui;
    fx.Service.SetUserInterface(&ui);
    fx.Service.LoadSettings(ini, "Proxy-SocksProxy");
    fx.Service.SetEnabled(true);
    ui.EditForm = [](ASettingsForm& f) {
        auto& form = dynamic_cast<TfrmSocksProxySettings&>(f);
        form.MaxConnections = std::string("5"); // a bare literal: false GCC 12 -Wrestrict at -O3
        form.ServerPort = "1081";
    };
    EXPECT_TRUE(fx.Service.GetStatusFrame()->Click("Settings...")); // the dialog runs
    EXPECT_EQ(fx.Service.MaxConnections, 64);                       // Cancel
    EXPECT_EQ(fx.Journal.Limits.size(), 1u);
    EXPECT_EQ(ui.Dialogs, std::vector<std::string>{"Socks Proxy Settings"});

    ui.PressOK = true;
    EXPECT_TRUE(fx.Service.EditSettings());
    EXPECT_EQ(fx.Service.MaxConnections, 5);
    ASSERT_EQ(fx.Journal.Limits.size(), 2u);
    EXPECT_EQ(fx.Journal.Limits[1].MaxClients, 5);
    EXPECT_EQ(fx.Journal.Listens.size(), 1u); // running: the port waits for the next start
    TIniFile disk(fx.Dir / "CorvanProxy.ini");
    EXPECT_EQ(disk.ReadInteger("Proxy-SocksProxy", "MaxConnections", 0), 5);
    EXPECT_EQ(disk.ReadInteger("Proxy-SocksProxy", "ServerPort", 0), 1081);
    EXPECT_TRUE(disk.ReadBool("Proxy-SocksProxy", "Enabled", false));
}

TEST(SocksProxyService, AllowedClientsReachTheServerAndABadEntryNeverStarts) {
    TSocksFixture fx;
    TFakeUserInterface ui;
    fx.Service.SetUserInterface(&ui);
    TIniFile ini("");
    fx.Service.LoadSettings(ini, "S");
    EXPECT_EQ(fx.Service.AllowedClients, ""); // missing: the default list
    EXPECT_EQ(fx.Service.LimitSettings().AllowedClients.Text(), TAllowedClients().Text());

    ini.WriteString("S", "AllowedClients", "192.168.1.0/24, 10.0.0.0/40");
    ini.WriteBool("S", "Enabled", true);
    fx.Service.LoadSettings(ini, "S");
    fx.Service.Activate();
    EXPECT_FALSE(fx.Service.Active());
    EXPECT_EQ(fx.Journal.Starts, 0);
    EXPECT_EQ(ui.Errors, std::vector<std::string>{
                             "SOCKS proxy on port 1080 not started: invalid AllowedClients entry "
                             "\"10.0.0.0/40\": the prefix length after / must be 0 to 32"});
    // Should a bad list reach the server all the same, the default serves, never everyone.
    EXPECT_EQ(fx.Service.LimitSettings().AllowedClients.Text(), TAllowedClients().Text());

    fx.Service.AllowedClients = "*";
    fx.Service.Activate();
    ASSERT_TRUE(fx.Service.Active());
    EXPECT_TRUE(fx.Journal.Limits.back().AllowedClients.AllowsEveryone());
    fx.Journal.Refused = 7;
    EXPECT_EQ(fx.Frame().Value("Refused Clients"), "7");
    fx.Service.LogRefusal("Client 203.0.113.9 refused: not in AllowedClients");
    EXPECT_EQ(ui.LogLines,
              std::vector<std::string>{
                  "SOCKS proxy on port 1080: Client 203.0.113.9 refused: not in AllowedClients"});
    fx.Service.SetEnabled(false);
    EXPECT_EQ(fx.Frame().Value("Refused Clients"), "-");
}

TEST(SocksProxySettingsForm, AllowedClientsShowTheDefaultAndABadListIsNotTaken) {
    TSocksFixture fx;
    TfrmSocksProxySettings form;
    form.LoadFrom(fx.Service);
    EXPECT_STREQ(TframeEditAllowedClients::kCaption, "Allowed clients:");
    EXPECT_EQ(form.AllowedClients.Text, kDefaultAllowedClients);
    EXPECT_EQ(form.ValidationError(), "");
    // The field can be typed into: every character of a list of both families passes its
    // key filter, and nothing that no entry holds does.
    for (char c : std::string(kDefaultAllowedClients) + ", 2001:DB8::/32, *")
        EXPECT_TRUE(TframeEditAllowedClients::KeyAccepted(c)) << c;
    for (char c : std::string("gx%;-_[]"))
        EXPECT_FALSE(TframeEditAllowedClients::KeyAccepted(c)) << c;

    TIniFile ini(fx.Dir / "CorvanProxy.ini");
    TFakeUserInterface ui;
    fx.Service.SetUserInterface(&ui);
    fx.Service.LoadSettings(ini, "Proxy-SocksProxy");
    ui.PressOK = true;
    std::string typed = "192.168.1.0/24, 192.168.1";
    ui.EditForm = [&](ASettingsForm& f) {
        auto& form = dynamic_cast<TfrmSocksProxySettings&>(f);
        form.AllowedClients.Text = typed;
        form.ServerPort = "1081";
    };
    EXPECT_FALSE(fx.Service.EditSettings());
    EXPECT_EQ(ui.Errors, std::vector<std::string>{"invalid AllowedClients entry \"192.168.1\": "
                                                  "not an IPv4 address (a.b.c.d), a block "
                                                  "(a.b.c.d/n) or *"});
    EXPECT_EQ(fx.Service.ServerPort, 1080); // nothing taken
    EXPECT_EQ(fx.Service.AllowedClients, "");

    typed = "  * ";
    EXPECT_TRUE(fx.Service.EditSettings());
    EXPECT_EQ(fx.Service.AllowedClients, "*");
    TIniFile disk(fx.Dir / "CorvanProxy.ini");
    EXPECT_EQ(disk.ReadString("Proxy-SocksProxy", "AllowedClients", ""), "*");
}

// A connection ends on the thread that served it: its log line and its bytes are recorded
// while the main thread serves nothing (busy in a dialog, say). Then connections end while
// the main thread applies settings and reads the figures: no race (ThreadSanitizer), the
// total of connections never goes back and the bytes from clients never exceed all bytes.
TEST(SocksProxyService, ConnectionsEndWithoutTheMainThread) {
    TEchoServer dest;
    TTempDir dir;
    TSocksProxySystem service(dir.Path() + "/", nullptr);
    service.ServerFactory = CreateSocksProxyServer;
    service.Clock = [] { return EncodeDateTime(2026, 12, 8, 14, 3, 59); };
    service.ServerIP = "127.0.0.1";
    service.ServerPort = FreeLoopbackPort();
    service.EnableLog = true;
    service.SetEnabled(true);
    // A SOCKS5 CONNECT to the echo server and "ping" both ways (8 bytes relayed).
    auto relay = [&](TSocketHandle h) {
        return SendAll(h, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(dest.Listener.Port)) &&
               RecvWithin(h, 12).size() == 12 && SendAll(h, "ping") && RecvWithin(h, 4) == "ping";
    };
    auto exchange = [&](TSocketHandle h) {
        bool relayed = relay(h);
        SocketClose(h);
        return relayed;
    };
    // The main loop is not served here.
    auto eventually = [](const std::function<bool()>& done) {
        int64_t deadline = MonotonicMillis() + 10000;
        while (!done() && MonotonicMillis() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    };

    // The first connection makes the pool's first thread (the main thread's part).
    TSocketHandle first = ConnectBlocking(uint16_t(service.ServerPort));
    ASSERT_TRUE(RunLoopPolling([&] { return service.ClientCount() == 1; }));
    ASSERT_TRUE(exchange(first));
    const std::string log = dir / "socksproxy.log";
    const std::string line =
        "14:03:59 127.0.0.1 8 127.0.0.1:" + std::to_string(dest.Listener.Port) + " 127.0.0.1\r\n";
    EXPECT_TRUE(eventually([&] { return FileExists(log) && ReadFileText(log) == line; }))
        << (FileExists(log) ? ReadFileText(log) : "no log");
    EXPECT_EQ(service.TotalBytes(), 8u);
    EXPECT_EQ(service.BytesToClients(), 4u);
    EXPECT_EQ(service.ConnectionsTotal(), 1u);
    EXPECT_EQ(service.ClientCount(), 0);

    constexpr int kConnections = 20;
    std::atomic<int> relayed{0};
    std::atomic<bool> done{false};
    std::thread clients([&] {
        for (int i = 0; i < kConnections; ++i)
            relayed += exchange(ConnectBlocking(uint16_t(service.ServerPort)));
        done = true;
    });
    uint64_t seen = 0;
    bool monotonic = true, bytesConsistent = true;
    while (!done) {
        service.EnableLog = !service.EnableLog;
        service.ApplySettings();
        uint64_t total = service.ConnectionsTotal();
        monotonic = monotonic && total >= seen;
        seen = total;
        bytesConsistent = bytesConsistent && service.BytesFromClients() <= service.TotalBytes();
        std::this_thread::yield();
    }
    clients.join();
    EXPECT_EQ(relayed, kConnections);
    EXPECT_TRUE(monotonic);
    EXPECT_TRUE(bytesConsistent);
    EXPECT_TRUE(eventually([&] { return service.TotalBytes() == 8u * (kConnections + 1); }));
    EXPECT_EQ(service.BytesFromClients(), 4u * (kConnections + 1));
    EXPECT_EQ(service.ConnectionsTotal(), uint64_t(kConnections + 1));

    // A tunnel ended by the stop is counted once, though its end races the stop's own.
    TSocketHandle open = ConnectBlocking(uint16_t(service.ServerPort));
    ASSERT_TRUE(relay(open));
    service.SetEnabled(false);
    EXPECT_EQ(service.TotalBytes(), 8u * (kConnections + 2));
    SocketClose(open);
}
