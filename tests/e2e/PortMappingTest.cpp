// Port mappings served by the built corvan-proxy program (headless) on loopback: a TCP mapping
// to a local HTTP server fetched with curl, a UDP mapping to an echo, a mapping through a
// SOCKS5 up-stream (microsocks), the switched-on state saved on SIGTERM, and mappings and
// services that cannot start: each is reported and the others run.

#include "util/IniFile.h"
#include "util/Strings.h"

#include "support/AnswerAtEndServer.h"
#include "support/EchoServer.h"
#include "support/HeadlessProgram.h"
#include "support/Microsocks.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000; // generous for the sanitizer build

bool WaitReadable(TSocketHandle h, int ms) {
    pollfd p{h, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// One mapping's section.
std::string MappingText(int index, int protocol, uint16_t port, uint16_t dest,
                        const std::string& extra = "") {
    return "[Proxy-PortMapper.Items." + std::to_string(index) +
           "]\nEnabled=1\nServerProtocol=" + std::to_string(protocol) +
           "\nServerIP=127.0.0.1\nServerPort=" + std::to_string(port) +
           "\nDestHost=127.0.0.1\nDestPort=" + std::to_string(dest) + "\n" + extra;
}

// The program with a settings file written by the test.
// The program, which must come up.
struct TProxyRun : THeadlessProgram {
    explicit TProxyRun(const std::string& settings, std::vector<std::string> launcher = {})
        : THeadlessProgram(settings, std::move(launcher)) {
        EXPECT_TRUE(Ready) << Output();
    }
};

// python3's HTTP server on a free port, serving a folder. Its listen queue is raised from
// python's 5: a hundred connections at once would overflow that, and the ones dropped would
// wait on the system's connect retries (seconds apart) under a loaded machine.
struct THTTPServer {
    uint16_t Port = FreeLoopbackPort();
    std::unique_ptr<TChildProcess> Process;
    explicit THTTPServer(const std::string& folder) {
        const char* script =
            "import functools, http.server as h, sys\n"
            "h.ThreadingHTTPServer.request_queue_size = 256\n"
            "handler = functools.partial(h.SimpleHTTPRequestHandler, directory=sys.argv[1])\n"
            "h.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[2])), handler).serve_forever()\n";
        Process = std::make_unique<TChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-c", script, folder,
                                     std::to_string(Port)},
            std::map<std::string, std::string>{});
        // Another process: no event to await, so poll its port.
        for (int i = 0; i < 500; ++i) {
            TSocketHandle h = ConnectBlocking(Port);
            if (h != INVALID_SOCKETHANDLE) {
                SocketClose(h);
                return;
            }
            ::poll(nullptr, 0, 20);
        }
        ADD_FAILURE() << "HTTP server did not start: " << Process->Output();
    }
};

// Runs curl with the arguments; its exit code and output.
int Curl(std::vector<std::string> args, std::string& output, int timeoutMs = 60000) {
    args.insert(args.begin(), {"/usr/bin/curl", "--silent", "--show-error", "--noproxy", "*"});
    TChildProcess curl(args, {});
    int code = curl.WaitForExit(timeoutMs);
    output = curl.Output();
    return code;
}

std::string Checksum(const std::string& path) {
    std::string out;
    TChildProcess sum({"/usr/bin/sha256sum", path}, {});
    sum.WaitForExit(30000);
    return sum.Output().substr(0, 64);
}

// A UDP echo on loopback, served by the test thread between sends.
struct TUDPEcho : TUDPPeer {
    std::vector<uint16_t> Sources;
    // Answers datagrams until count sources were seen in all or ms passes without one.
    void Serve(size_t count, int ms = 5000) {
        while (Sources.size() < count && WaitReadable(Handle, ms)) {
            std::string data;
            TSocketAddr from;
            if (!Receive(data, from))
                return;
            Sources.push_back(from.Port);
            SocketSendTo(Handle, ("echo:" + data).data(), data.size() + 5, from);
        }
    }
};

// Sockets the process holds (listening ones included), from its descriptor table.
int SocketCount(pid_t pid) {
    int n = 0;
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::error_code ec;
        std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string().rfind("socket:", 0) == 0)
            ++n;
    }
    return n;
}

} // namespace

TEST(PortMappingProgram, ServesATCPAndAUDPMappingAndKeepsAFailedOneSwitchedOn) {
    TTempDir www;
    std::string big = Pattern(5 * 1024 * 1024);
    WriteFileText(www / "big.bin", big);
    WriteFileText(www / "small.txt", std::string(20000, 's'));
    THTTPServer http(www.Path());
    TUDPEcho echo;
    uint16_t tcpPort = FreeLoopbackPort();
    TUDPPeer udpProbe; // a free UDP port for the mapping
    uint16_t udpPort = udpProbe.Port;
    SocketClose(udpProbe.Handle);
    udpProbe.Handle = INVALID_SOCKETHANDLE;
    // A third mapping that cannot start: its port is taken.
    TTestListener taken;
    TProxyRun run("[Proxy-PortMapper]\nItemCount=3\n" + MappingText(0, 3, taken.Port, http.Port) +
                  MappingText(1, 3, tcpPort, http.Port) + MappingText(2, 4, udpPort, echo.Port));

    std::string out;
    std::string url = "http://127.0.0.1:" + std::to_string(tcpPort);
    ASSERT_EQ(Curl({"-o", www / "fetched.bin", url + "/big.bin"}, out), 0) << out;
    EXPECT_EQ(Checksum(www / "fetched.bin"), Checksum(www / "big.bin"));

    // 100 fetches at once, each on a connection of its own.
    std::vector<std::string> args = {"--parallel", "--parallel-max", "100", "-w",
                                     "%{http_code} %{size_download}\\n"};
    for (int i = 0; i < 100; ++i)
        args.insert(args.end(), {"-o", "/dev/null", url + "/small.txt"});
    ASSERT_EQ(Curl(args, out), 0) << out;
    // One "code size" line per transfer (curl may add notes of its own on stderr).
    int fetched = 0;
    for (const std::string& line : Split(out, '\n'))
        fetched += line == "200 20000";
    EXPECT_EQ(fetched, 100) << out;

    // UDP: two source ports, two associations, answers from the mapped port.
    TUDPPeer a, b;
    a.SendTo(udpPort, "from a");
    b.SendTo(udpPort, "from b");
    echo.Serve(2);
    ASSERT_EQ(echo.Sources.size(), 2u);
    EXPECT_NE(echo.Sources[0], echo.Sources[1]);
    for (TUDPPeer* peer : {&a, &b}) {
        ASSERT_TRUE(WaitReadable(peer->Handle, 5000));
        std::string answer;
        TSocketAddr from;
        ASSERT_TRUE(peer->Receive(answer, from));
        EXPECT_EQ(answer, peer == &a ? "echo:from a" : "echo:from b");
        EXPECT_EQ(from.Port, udpPort);
    }
    a.SendTo(udpPort, "again");
    echo.Serve(3);
    ASSERT_EQ(echo.Sources.size(), 3u);
    EXPECT_EQ(echo.Sources[2], echo.Sources[0]); // a's association is reused

    EXPECT_EQ(run.Stop(), 0) << run.Process().Output();
    TIniFile ini(run.SettingsFile());
    // All three stay switched on, the one that could not start too: it starts next time.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(ini.ReadBool("Proxy-PortMapper.Items." + std::to_string(i), "Enabled", false))
            << i;
    EXPECT_NE(run.Process().Output().find("Socket bind failed"), std::string::npos)
        << run.Process().Output();
}

TEST(PortMappingProgram, AServiceThatCannotStartStopsNoOther) {
    TTestListener taken;       // another program holds the first mapping's port
    TTestListener destination; // where the second mapping leads
    uint16_t mapped = FreeLoopbackPort();
    uint16_t socks = FreeLoopbackPort();
    TProxyRun run(
        "[Proxy-PortMapper]\nItemCount=2\n" + MappingText(0, 3, taken.Port, destination.Port) +
        MappingText(1, 3, mapped, destination.Port) +
        "[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + std::to_string(socks) +
        "\nRequireLogin=1\n");
    const std::string& output = run.Process().Output();
    // Named, with the reason.
    EXPECT_NE(output.find("Port mapping on port " + std::to_string(taken.Port) +
                          " to 127.0.0.1:" + std::to_string(destination.Port) + " not started: "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("bind failed"), std::string::npos) << output;
    // The mapping after it and the SOCKS service after the list both listen.
    for (uint16_t port : {mapped, socks}) {
        TSocketHandle h = ConnectBlocking(port);
        EXPECT_NE(h, INVALID_SOCKETHANDLE) << port;
        if (h != INVALID_SOCKETHANDLE)
            SocketClose(h);
    }
    EXPECT_EQ(run.Stop(), 0) << output;
    TIniFile ini(run.SettingsFile());
    EXPECT_TRUE(ini.ReadBool("Proxy-PortMapper.Items.0", "Enabled", false));
    EXPECT_TRUE(ini.ReadBool("Proxy-PortMapper.Items.1", "Enabled", false));
    EXPECT_TRUE(ini.ReadBool("Proxy-SocksProxy", "Enabled", false));
    EXPECT_TRUE(ini.ReadBool("Proxy-SocksProxy", "RequireLogin", false));
}

TEST(PortMappingProgram, ServicesWithoutAPortListenNowhereAndSayWhy) {
    TProxyRun run("[Proxy-PortMapper]\nItemCount=3\n"
                  "[Proxy-PortMapper.Items.0]\nEnabled=1\n"
                  "[Proxy-PortMapper.Items.1]\nEnabled=1\nServerPort=0\nDestHost=127.0.0.1\n"
                  "DestPort=80\n"
                  "[Proxy-PortMapper.Items.2]\nEnabled=1\nServerPort=4000\nDestHost=\n"
                  "DestPort=80\n"
                  "[Proxy-SocksProxy]\nEnabled=1\nServerPort=0\n");
    const std::string& output = run.Process().Output();
    for (const char* text :
         {"Port mapping on port 0 to :0 not started: no port to listen on",
          "Port mapping on port 0 to 127.0.0.1:80 not started: no port to listen on",
          "Port mapping on port 4000 to :80 not started: no destination host",
          "SOCKS proxy on port 0 not started: no port to listen on (ServerPort is 0)"})
        EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
    // Not one socket: nothing listens on a port the system picked.
    EXPECT_EQ(SocketCount(run.Process().Pid()), 0);
    EXPECT_EQ(run.Stop(), 0) << output;
}

TEST(PortMappingProgram, MappingOntoItselfIsRefused) {
    uint16_t own = FreeLoopbackPort();
    uint16_t named = FreeLoopbackPort();
    TTestListener destination;
    uint16_t control = FreeLoopbackPort();
    TProxyRun run("[Proxy-PortMapper]\nItemCount=3\n" + MappingText(0, 3, own, own) +
                  "[Proxy-PortMapper.Items.1]\nEnabled=1\nServerProtocol=3\nServerIP=127.0.0.1\n"
                  "ServerPort=" +
                  std::to_string(named) + "\nDestHost=localhost\nDestPort=" +
                  std::to_string(named) + "\n" + MappingText(2, 3, control, destination.Port));
    const std::string& output = run.Process().Output();
    for (uint16_t port : {own, named}) {
        std::string text = "Port mapping on port " + std::to_string(port) + " to ";
        size_t at = output.find(text);
        ASSERT_NE(at, std::string::npos) << output;
        EXPECT_NE(output.find("connect to itself", at), std::string::npos) << output;
        EXPECT_EQ(ConnectBlocking(port), INVALID_SOCKETHANDLE) << port; // not listening
    }
    // A mapping to another port of the same host is no loop: it runs.
    TSocketHandle h = ConnectBlocking(control);
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    TSocketHandle relayed = destination.Accept();
    EXPECT_NE(relayed, INVALID_SOCKETHANDLE);
    SocketClose(relayed);
    SocketClose(h);
    EXPECT_EQ(run.Stop(), 0) << output;
}

TEST(PortMappingProgram, AWrongItemCountMakesNoPhantomItems) {
    TTestListener destination;
    uint16_t port = FreeLoopbackPort();
    const std::string settings = "[Proxy-PortMapper]\nItemCount=999999999\n" +
                                 MappingText(0, 3, port, destination.Port) +
                                 "[Proxy-ProxyUsers]\nItemCount=999999999\n"
                                 "[Proxy-ProxyUsers.Items.0]\nName=only\nLogin=only\nPassword=pw\n";
    TProxyRun run(settings);
    EXPECT_EQ(run.Stop(), 0) << run.Process().Output();
    // Nothing changed in the run, so the count stays as the user wrote it; no item is made
    // up for it.
    EXPECT_EQ(ReadFileText(run.SettingsFile()), run.WrittenSettings());
    TIniFile ini(run.SettingsFile());
    EXPECT_FALSE(ini.SectionExists("Proxy-PortMapper.Items.1"));
    EXPECT_FALSE(ini.SectionExists("Proxy-ProxyUsers.Items.1"));
    EXPECT_EQ(ini.ReadString("Proxy-ProxyUsers.Items.0", "Login", ""), "only");
}

TEST(PortMappingProgram, TCPMappingGoesThroughItsSocks5UpStream) {
    TMicrosocks socks("mapper", "secret");
    ASSERT_TRUE(socks.Running());
    TTempDir www;
    WriteFileText(www / "page.txt", "through the up-stream");
    THTTPServer http(www.Path());
    uint16_t port = FreeLoopbackPort();
    TProxyRun run("[Proxy-PortMapper]\nItemCount=1\n" + MappingText(0, 3, port, http.Port) +
                  "[Proxy-PortMapper.Items.0-SocksProxy]\nUseProxy=1\nHost=127.0.0.1\nPort=" +
                  socks.PortStr() + "\nUseAuth=1\nLogin=mapper\nPassword=secret\n");
    std::string out;
    ASSERT_EQ(Curl({"http://127.0.0.1:" + std::to_string(port) + "/page.txt"}, out), 0) << out;
    EXPECT_EQ(out, "through the up-stream");
    EXPECT_EQ(run.Stop(), 0);
}

// A client that sends its request and at once shuts down its sending side (before the mapping
// has reached the destination) still gets the whole answer, which the destination sends only
// after reading the request's end.
TEST(PortMappingProgram, HalfClosedRequestThroughATCPMappingGetsTheWholeAnswer) {
    const std::string answer = Pattern(1024 * 1024);
    TAnswerAtEndServer server(answer);
    uint16_t port = FreeLoopbackPort();
    TProxyRun run("[Proxy-PortMapper]\nItemCount=1\n" +
                  MappingText(0, 3, port, server.Listener.Port));
    TSocketHandle h = ConnectBlocking(port);
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    std::string got = SendHalfCloseAndReadAnswer(h, "request ended by the end of data");
    SocketClose(h);
    EXPECT_EQ(server.RequestRead(WaitMs), "request ended by the end of data");
    EXPECT_EQ(got.size(), answer.size());
    EXPECT_TRUE(got == answer) << "the answer to a half-closed request was cut";
    EXPECT_EQ(run.Stop(), 0) << run.Process().Output();
}

// Desktop sessions and services start with a soft limit of 1,024 open files; the program
// raises it to the hard limit, so a small network's browsers do not run it out of
// descriptors at about 250 tunnels.
TEST(PortMappingProgram, HoldsFifteenHundredTunnelsStartedWithASoftLimitOf1024) {
    constexpr int kTunnels = 1500;
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max < 2 * kTunnels + 256)
        GTEST_SKIP() << "this process may not open enough descriptors for both ends";
    rlimit raised = own;
    raised.rlim_cur = own.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);

    TEchoServer echo;
    SocketListen(echo.Listener.Handle, 4096); // the mapper connects faster than it accepts
    uint16_t port = FreeLoopbackPort();
    TProxyRun run("[Proxy-PortMapper]\nItemCount=1\n" + MappingText(0, 3, port, echo.Listener.Port),
                  {"/usr/bin/prlimit", "--nofile=1024:8192"});
    EXPECT_NE(run.Process().Output().find("raised from 1024"), std::string::npos)
        << run.Process().Output();

    std::vector<TSocketHandle> tunnels;
    for (int i = 0; i < kTunnels; ++i) {
        TSocketHandle c = ConnectBlocking(port);
        ASSERT_NE(c, INVALID_SOCKETHANDLE) << "tunnel " << i;
        tunnels.push_back(c);
    }
    // Every tunnel relays: a byte out and its echo back, on all of them at once.
    for (TSocketHandle c : tunnels)
        SendAll(c, "x");
    int echoed = 0;
    for (TSocketHandle c : tunnels) {
        char b = 0;
        echoed += WaitReadable(c, WaitMs) && SocketRecv(c, &b, 1) == 1 && b == 'x';
    }
    EXPECT_EQ(echoed, kTunnels);
    // One more connection is still served while all of them are open.
    TSocketHandle extra = ConnectBlocking(port);
    ASSERT_NE(extra, INVALID_SOCKETHANDLE);
    SendAll(extra, "y");
    char b = 0;
    EXPECT_TRUE(WaitReadable(extra, WaitMs) && SocketRecv(extra, &b, 1) == 1 && b == 'y');
    SocketClose(extra);
    for (TSocketHandle c : tunnels)
        SocketClose(c);
    EXPECT_EQ(run.Stop(), 0) << run.Process().Output();
    ::setrlimit(RLIMIT_NOFILE, &own);
}
