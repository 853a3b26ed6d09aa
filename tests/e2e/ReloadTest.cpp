// SIGHUP to the built corvan-proxy program (headless): the settings file is read again, a
// changed mapping serves its new destination while an open tunnel of the unchanged SOCKS
// proxy keeps working, and a file that cannot be read changes nothing and is not saved
// over at the end.

#include "support/Bytes.h"
#include "support/EchoServer.h"
#include "support/HeadlessProgram.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000; // generous for the sanitizer build

// Greets every connection with its name, then closes it.
struct TGreeter {
    TTestListener Listener;
    std::string Name;
    std::thread Acceptor;
    explicit TGreeter(std::string name) : Name(std::move(name)) {
        Acceptor = std::thread([this] {
            for (;;) {
                TSocketHandle h = Listener.Accept();
                if (h == INVALID_SOCKETHANDLE)
                    return; // the listener was shut down
                SendAll(h, Name);
                SocketClose(h);
            }
        });
    }
    ~TGreeter() {
        SocketShutdown(Listener.Handle, TShutdownHow::sdBoth); // wakes the accept
        Acceptor.join();
    }
};

// What a connection to the port receives until the other side closes.
std::string Fetch(uint16_t port) {
    TSocketHandle h = ConnectBlocking(port);
    if (h == INVALID_SOCKETHANDLE)
        return "(refused)";
    SetReceiveTimeout(h);
    std::string r = RecvAll(h);
    SocketClose(h);
    return r;
}

} // namespace

TEST(ReloadProgram, SighupMovesAMappingWhileTheSocksTunnelStaysOpen) {
    TGreeter one("one"), two("two");
    TEchoServer echo;
    uint16_t socksPort = FreeLoopbackPort(), mapPort = FreeLoopbackPort();
    auto settings = [&](uint16_t dest) {
        return "[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
               std::to_string(socksPort) +
               "\n[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\nEnabled=1\n"
               "ServerProtocol=3\nServerIP=127.0.0.1\nServerPort=" +
               std::to_string(mapPort) + "\nDestHost=127.0.0.1\nDestPort=" +
               std::to_string(dest) + "\n";
    };
    TTempDir dir;
    ::mkdir((dir / "data").c_str(), 0755);
    ::mkdir((dir / "data/Corvan").c_str(), 0755);
    const std::string file = dir / "data/Corvan/CorvanProxy.ini";
    WriteFileText(file, settings(one.Listener.Port));
    TChildProcess proxy({CORVAN_PROXY_BIN, "--headless"},
                        {{"LOCALAPPDATA", dir / "data"},
                         {"XDG_CONFIG_HOME", dir / "config"},
                         {"HOME", dir / "home"}},
                        {"XDG_DATA_HOME"});
    ASSERT_TRUE(proxy.WaitForOutput("running headless", WaitMs)) << proxy.Output();
    EXPECT_EQ(Fetch(mapPort), "one");

    // A SOCKS5 tunnel to the echo, open across the reloads.
    TSocketHandle tunnel = ConnectBlocking(socksPort);
    ASSERT_NE(tunnel, INVALID_SOCKETHANDLE);
    SetReceiveTimeout(tunnel);
    SendAll(tunnel, Bytes({5, 1, 0}));                   // VER, one method: none
    EXPECT_EQ(ReceiveExactly(tunnel, 2), Bytes({5, 0})); // VER, method none
    SendAll(tunnel, Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + Word(echo.Listener.Port)); // CONNECT
    EXPECT_EQ(ReceiveExactly(tunnel, 10).substr(0, 2), Bytes({5, 0}));            // succeeded
    SendAll(tunnel, "before");
    EXPECT_EQ(ReceiveExactly(tunnel, 6), "before");

    WriteFileText(file, settings(two.Listener.Port));
    proxy.Signal(SIGHUP);
    ASSERT_TRUE(proxy.WaitForOutput("to 127.0.0.1:" + std::to_string(two.Listener.Port) +
                                        ": new settings, running",
                                    WaitMs))
        << proxy.Output();
    EXPECT_EQ(Fetch(mapPort), "two");
    SendAll(tunnel, "after");
    EXPECT_EQ(ReceiveExactly(tunnel, 5), "after");
    EXPECT_EQ(proxy.Output().find("SOCKS proxy on port"), std::string::npos) << proxy.Output();

    // A file that cannot be read: everything runs on as it was.
    const std::string broken = settings(one.Listener.Port) + std::string("\0\0", 2);
    WriteFileText(file, broken);
    proxy.Signal(SIGHUP);
    ASSERT_TRUE(proxy.WaitForOutput("the running settings are kept", WaitMs)) << proxy.Output();
    EXPECT_NE(proxy.Output().find("NUL bytes"), std::string::npos) << proxy.Output();
    EXPECT_EQ(Fetch(mapPort), "two");
    SendAll(tunnel, "still");
    EXPECT_EQ(ReceiveExactly(tunnel, 5), "still");
    SocketClose(tunnel);

    proxy.Signal(SIGTERM);
    EXPECT_EQ(proxy.WaitForExit(WaitMs), 0) << proxy.Output();
    EXPECT_EQ(ReadFileText(file), broken); // left for the user to mend, not saved over
}

TEST(ReloadProgram, AHalfWrittenFileKeepsTheLoginAndIsNotSavedOver) {
    const uint16_t port = FreeLoopbackPort();
    const std::string head = "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                             std::to_string(port) + "\n";
    const std::string full = head + "LoginMode=1\nLoginPassword=secret\n[Proxy-DNS]\nEnabled=0\n";
    // The status line of a request without a login.
    auto status = [&] {
        TSocketHandle h = ConnectBlocking(port);
        if (h == INVALID_SOCKETHANDLE)
            return std::string("(refused)");
        SendAll(h, "GET http://127.0.0.1:9/ HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n");
        std::string line = RecvWithin(h, 12);
        SocketClose(h);
        return line;
    };
    THeadlessProgram program(full);
    ASSERT_TRUE(program.Ready) << program.Output();
    EXPECT_EQ(status(), "HTTP/1.1 407");

    // Read while an editor writes it: the login keys are not there yet.
    WriteFileText(program.SettingsFile(), head);
    program.Process().Signal(SIGHUP);
    ASSERT_TRUE(program.Process().WaitForOutput(
        "HTTP proxy on port " + std::to_string(port) + ": new settings, running", WaitMs))
        << program.Output();
    EXPECT_TRUE(program.Process().WaitForOutput(
        "[Proxy-DNS] is missing in the settings file; the running settings are kept", WaitMs))
        << program.Output();
    EXPECT_EQ(status(), "HTTP/1.1 407") << program.Output();

    // The editor finishes; the stop writes nothing over it.
    const std::string finished = full + "; finished\n";
    WriteFileText(program.SettingsFile(), finished);
    EXPECT_EQ(program.Stop(), 0) << program.Output();
    EXPECT_EQ(ReadFileText(program.SettingsFile()), finished);
}
