// The HTTP proxy's pure parts and its service without sockets: hop-by-hop removal, the
// request log line, the login line and the validation program, the login modes, the options
// applied to a server, and the status and settings models.

#include "http-proxy/HTTPProxyForms.h"
#include "http-proxy/HTTPProxySystem.h"
#include "users/ProxyUsersSystem.h"
#include "util/IniFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace corvan;
using corvan::test::TTempDir;

namespace {

std::unique_ptr<ThttpRequest> RequestWith(const std::string& headerText) {
    auto r = ThttpRequest::CreateFromStartLine("GET http://h/ HTTP/1.1");
    auto header = std::make_unique<THeader>();
    header->SetAsString(headerText);
    r->SetHeader(std::move(header));
    return r;
}

std::vector<std::string> Names(const AhttpMessage& m) {
    return m.HeaderOrNull() ? m.HeaderOrNull()->GetFieldNames() : std::vector<std::string>{};
}

void WriteScript(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

} // namespace

TEST(HTTPProxyHopByHop, RemovesEveryFieldConnectionNames) {
    auto r = RequestWith("Connection: keep-alive, X-Secret\r\nX-Secret: s\r\nx-other: o\r\n"
                         "Connection: X-OTHER\r\nKeep-Alive: 5\r\nUpgrade: h2c\r\nProxy-Connection: "
                         "x\r\nProxy-Authorization: Basic x\r\nAccept: */*\r\n");
    EXPECT_EQ(RemoveHopByHopFields(*r, {"Proxy-Authorization"}, false), 8);
    EXPECT_EQ(Names(*r), (std::vector<std::string>{"Accept"}));
}

TEST(HTTPProxyHopByHop, SelfNamingAndLongListsAreLinearAndSafe) {
    auto r = RequestWith("Connection: Connection, connection\r\nA: 1\r\n");
    EXPECT_EQ(RemoveHopByHopFields(*r, {}, false), 1);
    EXPECT_EQ(Names(*r), (std::vector<std::string>{"A"}));

    std::string names, fields;
    for (int i = 0; i < 1000; ++i) {
        names += (i ? ", X-" : "X-") + std::to_string(i);
        fields += "X-" + std::to_string(i) + ": v\r\n";
    }
    auto big = RequestWith("Connection: " + names + "\r\n" + fields + "Kept: 1\r\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RemoveHopByHopFields(*big, {}, false), 1001);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(Names(*big), (std::vector<std::string>{"Kept"}));
}

TEST(HTTPProxyHopByHop, ResponseFramingIsKept) {
    ThttpResponse response(200, "OK", "HTTP", 1, 1);
    response.GetHeader().SetAsString(
        "Connection: Transfer-Encoding, Content-Length, X-A\r\nTransfer-Encoding: chunked\r\n"
        "X-A: 1\r\n");
    EXPECT_EQ(RemoveHopByHopFields(response, {"Close"}, true), 2);
    EXPECT_EQ(Names(response), (std::vector<std::string>{"Transfer-Encoding"}));
}

TEST(HTTPProxyHopByHop, FoldedLinesJoinTheirFieldAndOtherNonFieldsGo) {
    // As the server reads a head (line by line), a fold or a line without a colon is kept as
    // it came; what goes on must be fields only.
    auto r = ThttpRequest::CreateFromStartLine("GET / HTTP/1.1");
    for (const char* line : {"Host: a", " evil.example", "X-B: b", "not a field", "\tafter it",
                             "X-C: c", "\tmore", "  and more"})
        r->GetHeader().AddFieldString(line);
    EXPECT_EQ(NormalizeFieldLines(*r), 5);
    EXPECT_EQ(r->GetHeader().GetAsString(),
              "Host: a evil.example\r\nX-B: b\r\nX-C: c more and more\r\n\r\n");
    EXPECT_EQ(NormalizeFieldLines(*r), 0);
}

TEST(HTTPProxyLog, LineFormat) {
    // 2024-01-02 03:04:05 as a local date-time value.
    TDateTime t = 45293.0 + (3 * 3600 + 4 * 60 + 5) / 86400.0;
    EXPECT_EQ(HTTPRequestLogLine(t, "10.0.0.7", 407, 312, true, "GET http://a/ HTTP/1.1"),
              "03:04:05 10.0.0.7 407 312 1 GET http://a/ HTTP/1.1\r\n");
    EXPECT_EQ(HTTPRequestLogLine(t, "10.0.0.7", 200, -1, false, "CONNECT a:443 HTTP/1.1"),
              "03:04:05 10.0.0.7 200 -1 0 CONNECT a:443 HTTP/1.1\r\n");
    // Written so that it stays one line without the target's credentials.
    EXPECT_EQ(HTTPRequestLogLine(t, "10.0.0.7", 400, 0, true, "GET http://u:pw@a/\rX HTTP/1.1"),
              "03:04:05 10.0.0.7 400 0 1 GET http://a/%0DX HTTP/1.1\r\n");
}

// What starting a login program and filling its pipe may add to its answer time; sanitizer
// builds start and write many times slower (still far below what would mean a hang).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kProgramStartSlackMs = 8000;
#else
constexpr int kProgramStartSlackMs = 2000;
#endif

TEST(HTTPProxyLoginScript, LineIsPercentEncoded) {
    EXPECT_EQ(THTTPLoginScript::LoginLine("al ice", "p%w:\n\xff~"), "al%20ice p%25w%3A%0A%FF~");
    EXPECT_EQ(THTTPLoginScript::LoginLine("", ""), " ");
}

TEST(HTTPProxyLoginScript, AnswersTimeOutsAndRestarts) {
    TTempDir d;
    std::string script = d / "v.sh";
    // Counts its starts in a file; "slow" gets no answer; "die" ends the program.
    WriteScript(script, "#!/bin/sh\necho x >> " + (d / "starts") +
                            "\nwhile read u p; do case $u in ok) echo OK;; slow) sleep 30;;"
                            " die) exit 1;; *) echo ERR;; esac; done\n");
    THTTPLoginScript s;
    EXPECT_EQ(s.AnswerTimeoutMs, 5000);
    s.AnswerTimeoutMs = 500;
    std::vector<std::string> reports;
    s.OnReport = [&](const std::string& r) { reports.push_back(r); };
    EXPECT_FALSE(s.Validate("ok", "p"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(s.Validate("ok", "p"));
    EXPECT_EQ(reports.size(), 1u) << "reported once";
    s.SetCommandLine(script);
    EXPECT_TRUE(s.Validate("ok", "p"));
    EXPECT_FALSE(s.Validate("bad", "p"));
    EXPECT_FALSE(s.Validate("die", "p"));
    EXPECT_TRUE(s.Validate("ok", "p")); // started again
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.Validate("slow", "p"));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(s.AnswerTimeoutMs - 100));
    EXPECT_LT(took, std::chrono::milliseconds(s.AnswerTimeoutMs + kProgramStartSlackMs));
    EXPECT_TRUE(s.Validate("ok", "p")); // a fresh program: the late answer is never taken
    s.Stop();
    std::ifstream starts(d / "starts");
    int lines = 0;
    for (std::string l; std::getline(starts, l);)
        ++lines;
    EXPECT_EQ(lines, 3);
    EXPECT_GE(reports.size(), 3u);
}

TEST(HTTPProxyLoginScript, AHangingProgramHoldsUpOnlyTheLoginsItWasGiven) {
    TTempDir d;
    std::string script = d / "hang.sh";
    WriteScript(script, "#!/bin/sh\nwhile read u p; do sleep 60; done\n"); // never answers
    THTTPLoginScript s;
    s.AnswerTimeoutMs = 1000;
    s.SetCommandLine(script);
    constexpr int kLogins = 6;
    std::atomic<int> accepted{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> logins;
    for (int i = 0; i < kLogins; ++i)
        logins.emplace_back([&] { accepted += s.Validate("u", "p") ? 1 : 0; });
    for (std::thread& t : logins)
        t.join();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(accepted, 0);
    // In one line behind each other they would take kLogins time-outs.
    EXPECT_LT(took, std::chrono::milliseconds(s.AnswerTimeoutMs * kLogins / 2)) << "in line";
}

TEST(HTTPProxyLoginScript, AProgramThatNeverReadsRefusesTheLoginInTime) {
    TTempDir d;
    std::string pidFile = d / "pid";
    // Never reads its input: a long login line fills the socket to it. The program's own pid
    // (the shell's, kept by exec) is written as "N.".
    std::string deaf = "echo \"$$.\" > " + pidFile + "; exec sleep 60";
    auto helperPid = [&] {
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::string text;
            std::getline(std::ifstream(pidFile), text);
            if (!text.empty() && text.back() == '.')
                return pid_t(std::stol(text));
        }
        return pid_t(-1);
    };
    THTTPLoginScript s;
    s.AnswerTimeoutMs = 500;
    s.SetCommandLine(deaf);
    std::vector<std::string> reports;
    s.OnReport = [&](const std::string& r) { reports.push_back(r); };
    // Should the login hang in its write, ending the program lets the test finish, failed.
    std::promise<void> loginDone;
    std::thread watchdog([&, done = loginDone.get_future()] {
        if (done.wait_for(std::chrono::seconds(10)) == std::future_status::timeout)
            ::kill(helperPid(), SIGKILL);
    });
    auto start = std::chrono::steady_clock::now();
    bool accepted = s.Validate("u", std::string(size_t(8) << 20, 'p'));
    auto took = std::chrono::steady_clock::now() - start;
    loginDone.set_value();
    watchdog.join();
    EXPECT_FALSE(accepted);
    EXPECT_LT(took, std::chrono::milliseconds(s.AnswerTimeoutMs + kProgramStartSlackMs));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("did not read the question in time"), std::string::npos)
        << reports[0];
    pid_t pid = helperPid();
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0) << "that copy of the program was stopped";
}

TEST(HTTPProxyService, LoginModes) {
    TTempDir d;
    TProxyUsersSystem users;
    auto alice = std::make_unique<TProxyUser>();
    alice->Login = "alice";
    alice->Password = "Pw";
    users.AddChild(std::move(alice));
    THTTPProxySystem s(d / "", &users);
    THTTPProxyOptions o;
    o.LoginMode = 0;
    EXPECT_TRUE(s.CheckLogin(o, "", ""));
    o.LoginMode = 1;
    o.LoginPassword = "Secret";
    EXPECT_TRUE(s.CheckLogin(o, "whoever", "sECRET"));
    EXPECT_FALSE(s.CheckLogin(o, "whoever", "Secret!"));
    o.LoginPassword.clear(); // no password set: nobody is let in, with no password either
    EXPECT_FALSE(s.CheckLogin(o, "whoever", ""));
    o.LoginMode = 2;
    EXPECT_TRUE(s.CheckLogin(o, "ALICE", "pw"));
    EXPECT_FALSE(s.CheckLogin(o, "alice", "x"));
    o.LoginMode = THTTPProxySystem::kUnknownLoginMode;
    EXPECT_FALSE(s.CheckLogin(o, "alice", "Pw"));
}

TEST(HTTPProxyService, OptionsReachTheServerAndTheViews) {
    TTempDir d;
    THTTPProxySystem s(d / "", nullptr);
    s.ServerIP = "127.0.0.1";
    s.ServerPort = 0;
    EXPECT_NE(s.StartRefusal(), "");
    s.ServerPort = 1;
    s.AllowedClients = "10.0.0.0/8, nonsense";
    EXPECT_NE(s.StartRefusal().find("\"nonsense\""), std::string::npos);

    TfrmHTTPProxySettings form;
    form.LoadFrom(s);
    EXPECT_NE(form.ValidationError(), "");
    form.AllowedClients.Text = "*";
    form.ServerPort = "x";
    form.MaxConnections = "1";
    form.MaxBackLog = "100";
    form.LimitBandwidth = true;
    form.BandwidthLimit = "10";
    form.LoginMode = 3;
    form.LoginScript = "/bin/true";
    EXPECT_TRUE(form.LoginScriptEnabled());
    EXPECT_FALSE(form.PasswordEnabled());
    form.SaveTo(s);
    EXPECT_EQ(s.ServerPort, 0);
    EXPECT_EQ(s.MaxConnections, 2);
    EXPECT_EQ(s.MaxBackLog, 64);
    EXPECT_EQ(s.BandwidthLimit, 16);
    EXPECT_EQ(s.LoginScript, "/bin/true");
    EXPECT_EQ(s.AllowedClients, "*");
    form.GeneratePassword();
    EXPECT_GE(form.LoginPassword.size(), 8u);

    s.EnableTunnelling = false;
    s.ApplySettings();
    EXPECT_FALSE(s.Options()->EnableTunnelling);
    EXPECT_EQ(s.Options()->LoginMode, 3);
    // Local targets: off unless the key says so.
    EXPECT_FALSE(s.Options()->AllowLocalTargets);
    TIniFile ini("");
    ini.SetText("[S]\nAllowLocalTargets=1\n");
    s.LoadSettings(ini, "S");
    s.ApplySettings();
    EXPECT_TRUE(s.Options()->AllowLocalTargets);

    TframeHTTPProxyStatus frame(s);
    frame.Update(s);
    EXPECT_EQ(frame.Lines, (std::vector<std::string>{"HTTP Proxy Server not active."}));
    EXPECT_EQ(frame.Value("Refused Clients"), "-");
    EXPECT_EQ(frame.Picture, TStatusPicture::iPCGray);
}
