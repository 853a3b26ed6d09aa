// The update checker: the version file's rules, and whole checks against a local HTTP server
// serving a version file (the outcome arrives on the main thread).
#include "app/UpdateChecker.h"
#include "http/HTTPClient.h"

#include "support/HttpTestServer.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace corvan;
using namespace corvan::test;

namespace {

// Serves Body with Status for every request and remembers the last request's User-Agent.
struct TVersionServer : TTestHttpServer {
    std::string Body;
    int Status = 200;
    std::mutex Lock; // guards UserAgent and Target (connection threads write them)
    std::string UserAgent, Target;
    TVersionServer() {
        Handler = [this](TTestHttpConnection& c) {
            {
                std::lock_guard<std::mutex> lock(Lock);
                UserAgent = c.Request->GetHeader().GetFieldBody("User-Agent");
                Target = c.Request->GetURI();
            }
            c.SetResponse(std::make_unique<ThttpResponse>(Status, "", "HTTP", 1, 1, nullptr, Body));
        };
        Start();
    }
};

struct TCheck {
    TUpdateChecker Checker;
    int Completed = 0;
    bool OnMainThread = false;
    explicit TCheck(uint16_t port) {
        Checker.Host = "127.0.0.1";
        Checker.Port = std::to_string(port);
        Checker.URI = "/proxyapp/ver-proxy.txt";
        Checker.CurrentVersion = "1.0.0";
        Checker.ProductKey = "CorvanProxy";
        Checker.OnComplete = [this](TUpdateChecker*) {
            ++Completed;
            OnMainThread = TMessageLoop::IsMainThread();
        };
    }
    // Starts a check and serves the loop until it completes.
    bool Run() {
        int before = Completed;
        Checker.Start();
        return RunLoopUntil([&] { return Completed > before; }, 15000);
    }
};

} // namespace

TEST(VersionFile, KeysCommentsAndIgnoredLines) {
    TVersionFileInfo a = ParseVersionFile(
        "version=1.0.1\r\ninfo-url=http://x.example/info\nsetup-url=http://x.example/setup.exe\r",
        "1.0.0");
    EXPECT_TRUE(a.NewVersionAvailable);
    EXPECT_EQ(a.NewVersion, "1.0.1");
    EXPECT_EQ(a.InfoURL, "http://x.example/info");
    EXPECT_EQ(a.SetupURL, "http://x.example/setup.exe");
    // Key lower-cased, comment cut, both trimmed: the running version, nothing new.
    TVersionFileInfo same = ParseVersionFile("  Version = 1.0.0 ; the current one\n", "1.0.0");
    EXPECT_FALSE(same.NewVersionAvailable);
    EXPECT_EQ(same.NewVersion, "");
    // Any other version counts, an older one too; case matters in the value.
    EXPECT_TRUE(ParseVersionFile("version=0.9", "1.0.0").NewVersionAvailable);
    EXPECT_TRUE(ParseVersionFile("version=1.0.0A", "1.0.0a").NewVersionAvailable);
    // Ignored: no '=', empty key, a comment line, unknown keys, an empty version.
    TVersionFileInfo ignored = ParseVersionFile(
        "version 2.0\n=2.0\n;version=2.0\nproduct=2.0\nversion=\n\tinfo-url\t=\tu\t", "1.0.0");
    EXPECT_FALSE(ignored.NewVersionAvailable);
    EXPECT_EQ(ignored.InfoURL, "u");
    // The last differing version wins; the running version repeated later does not undo it.
    TVersionFileInfo last = ParseVersionFile("version=2.0\nversion=3.0\nversion=1.0.0\n", "1.0.0");
    EXPECT_EQ(last.NewVersion, "3.0");
    EXPECT_FALSE(ParseVersionFile("version=2.0", "").NewVersionAvailable);
}

TEST(UpdateChecker, NewVersionWithBothLinksArrivesOnTheMainThread) {
    TVersionServer server;
    server.Body = "version=1.0.1\r\ninfo-url=http://a.example/i\r\nsetup-url=http://a.example/s\r\n";
    TCheck check(server.Port());
    ASSERT_TRUE(check.Run());
    EXPECT_TRUE(check.OnMainThread);
    EXPECT_FALSE(check.Checker.Busy());
    EXPECT_TRUE(check.Checker.Success());
    EXPECT_TRUE(check.Checker.NewVersionAvailable());
    EXPECT_EQ(check.Checker.NewVersion(), "1.0.1");
    EXPECT_EQ(check.Checker.InfoURL(), "http://a.example/i");
    EXPECT_EQ(check.Checker.SetupURL(), "http://a.example/s");
    std::lock_guard<std::mutex> lock(server.Lock);
    EXPECT_EQ(server.UserAgent, "Mozilla/4.0 (compatible; CorvanProxy)");
    EXPECT_EQ(server.Target, "/proxyapp/ver-proxy.txt");
}

TEST(UpdateChecker, SameVersionGivesNothingAndASecondStartWhileBusyDoesNothing) {
    TVersionServer server;
    server.Body = "VERSION = 1.0.0 ; current\r\nsetup-url=s\r\n";
    TCheck check(server.Port());
    check.Checker.Start();
    EXPECT_TRUE(check.Checker.Busy());
    check.Checker.Start(); // busy: ignored
    EXPECT_EQ(check.Checker.StartCount(), 1);
    ASSERT_TRUE(RunLoopUntil([&] { return check.Completed == 1; }, 15000));
    EXPECT_TRUE(check.Checker.Success());
    EXPECT_FALSE(check.Checker.NewVersionAvailable());
    EXPECT_EQ(check.Checker.SetupURL(), "s");
    RunLoopFor(100);
    EXPECT_EQ(check.Completed, 1);
}

TEST(UpdateChecker, NotFoundParsesNothing) {
    TVersionServer server;
    server.Status = 404;
    server.Body = "version=9.9\n";
    TCheck check(server.Port());
    ASSERT_TRUE(check.Run());
    EXPECT_FALSE(check.Checker.Success());
    EXPECT_FALSE(check.Checker.NewVersionAvailable());
    EXPECT_EQ(check.Checker.NewVersion(), "");
    EXPECT_EQ(check.Checker.LastError(), "HTTP 404");
}

TEST(UpdateChecker, RefusedConnectionCompletesAndALaterCheckWorks) {
    TCheck check(FreeLoopbackPort());
    ASSERT_TRUE(check.Run());
    EXPECT_FALSE(check.Checker.Busy());
    EXPECT_FALSE(check.Checker.Success());
    EXPECT_NE(check.Checker.LastError(), "");
    TVersionServer server;
    server.Body = "version=2.0\n";
    check.Checker.Port = std::to_string(server.Port());
    ASSERT_TRUE(check.Run());
    EXPECT_TRUE(check.Checker.Success());
    EXPECT_EQ(check.Checker.NewVersion(), "2.0");
    EXPECT_EQ(check.Checker.StartCount(), 2);
}
