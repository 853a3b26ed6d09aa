// The SOCKS service of the built corvan-proxy program, run headless with a settings file
// written here: curl fetches through it with every SOCKS flavour, directly or through an
// up-stream microsocks, with and without required logins; scripted clients check exact
// reply bytes on the running server; the connection log it leaves.

#include "support/AnswerAtEndServer.h"
#include "support/BodyServer.h"
#include "support/Bytes.h"
#include "support/EchoServer.h"
#include "support/HeadlessProgram.h"
#include "support/Microsocks.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <poll.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000; // generous for the sanitizer build

// The program with the SOCKS service enabled on a free port and extra settings lines.
class TSocksProgram : public THeadlessProgram {
public:
    explicit TSocksProgram(const std::string& extraSettings = "",
                           uint16_t port = FreeLoopbackPort())
        : THeadlessProgram("[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                           std::to_string(port) + "\nEnableLog=1\n" + extraSettings),
          FPort(port) {}
    uint16_t Port() const { return FPort; }
    std::string Proxy() const { return "127.0.0.1:" + std::to_string(FPort); }
    std::string Log() const { return ReadFileText(DataFolder() + "/ProxyApp/socksproxy.log"); }

private:
    uint16_t FPort;
};

// curl through the proxy; the body fetched, or "curl failed: <code>".
std::string Curl(const TTempDir& dir, const std::vector<std::string>& options,
                 const std::string& url) {
    std::string out = dir / "fetched";
    std::filesystem::remove(out);
    std::vector<std::string> args = {"/usr/bin/curl", "-s", "--max-time", "20", "-o", out};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);
    TChildProcess curl(args, {});
    int code = curl.WaitForExit(WaitMs);
    if (code != 0)
        return "curl failed: " + std::to_string(code);
    return ReadFileText(out);
}


const std::string kUsers = "[Proxy-ProxyUsers]\nItemCount=3\n"
                           "[Proxy-ProxyUsers.Items.0]\nName=Alice\nLogin=alice\nPassword=pw\n"
                           "[Proxy-ProxyUsers.Items.1]\nName=Bob\nLogin=bob\nPassword=pw\n"
                           "UserDisabled=1\n"
                           "[Proxy-ProxyUsers.Items.2]\nName=Carol\nLogin=carol\nPassword=pw\n"
                           "AllowSocksProxy=0\n";

std::string Login(const std::string& user, const std::string& password) {
    return Bytes({5, 1, 2, 1, int(user.size())}) + user + Bytes({int(password.size())}) + password;
}

// Lines in the program's SOCKS log.
size_t LogLineCount(const TSocksProgram& program) {
    std::string text = program.Log();
    size_t n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++n;
    return n;
}

// A SOCKS5 UDP client (Debian's python3-socks): "echo PROXY ECHO" sends a datagram to the echo
// server by address and one by name and prints what came back, then the relay's port; "login
// PROXY" tries an association with a wrong login, none, and a good one; "hold PROXY N" opens N
// associations at once, then closes them; "many PROXY N" opens and closes N in turn.
const char* const kUdpClient = R"(import socket, socks, sys
mode, port = sys.argv[1], int(sys.argv[2])
def association(user=None, password=None):
    s = socks.socksocket(socket.AF_INET, socket.SOCK_DGRAM)
    s.set_proxy(socks.SOCKS5, "127.0.0.1", port, rdns=True, username=user, password=password)
    s.settimeout(20)
    return s
if mode == "echo":
    s = association()
    for host, data in (("127.0.0.1", b"by address"), ("localhost", b"by name")):
        s.sendto(data, (host, int(sys.argv[3])))
        print(s.recvfrom(100))
    print("relay", socket.socket.getpeername(s)[1])
    s.close()
elif mode == "login":
    for user, password in (("alice", "wrong"), (None, None), ("alice", "pw")):
        s = association(user, password)
        try:
            s.bind(("127.0.0.1", 0))
            print(user, "associated")
        except socks.ProxyError:
            print(user, "refused")
        s.close()
elif mode == "hold":
    held = [association() for _ in range(int(sys.argv[3]))]
    for s in held:
        s.bind(("127.0.0.1", 0))
    for s in held:
        s.close()
elif mode == "many":
    for _ in range(int(sys.argv[3])):
        s = association()
        s.bind(("127.0.0.1", 0))
        s.close()
print("done")
)";

// Runs kUdpClient with args; its output, or "failed: <code>" and the output.
std::string RunUdpClient(const TSocksProgram& program, const std::vector<std::string>& args) {
    std::string script = program.Dir() / "udp_client.py";
    WriteFileText(script, kUdpClient);
    std::vector<std::string> argv = {"/usr/bin/python3", script, args.at(0),
                                     std::to_string(program.Port())};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    TChildProcess python(argv, {});
    int code = python.WaitForExit(120000);
    return code == 0 ? python.Output() : "failed: " + std::to_string(code) + "\n" + python.Output();
}

// Descriptors the process holds.
size_t DescriptorCount(pid_t pid) {
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    return size_t(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()));
}

} // namespace

TEST(SocksProxyProgram, CurlFetchesWithEverySocksFlavourAndEachConnectionIsLogged) {
    const std::string body = Pattern(200000);
    TBodyServer http(body);
    TSocksProgram program;
    ASSERT_TRUE(program.Ready) << program.Output();
    std::string byAddress = "http://127.0.0.1:" + std::to_string(http.Port()) + "/file";
    std::string byName = "http://localhost:" + std::to_string(http.Port()) + "/file";
    EXPECT_EQ(Curl(program.Dir(), {"--socks4", program.Proxy()}, byAddress), body);
    EXPECT_EQ(Curl(program.Dir(), {"--socks4a", program.Proxy()}, byName), body);
    EXPECT_EQ(Curl(program.Dir(), {"--socks5", program.Proxy()}, byAddress), body);
    EXPECT_EQ(Curl(program.Dir(), {"--socks5-hostname", program.Proxy()}, byName), body);
    // A client that ends before sending a request. Its line comes once the program has
    // taken the connection from the queue; a stop before that would never see it.
    SocketClose(ConnectBlocking(program.Port()));
    auto lineCount = [&] {
        std::string text = program.Log();
        size_t n = 0;
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
            ++n;
        return n;
    };
    EXPECT_TRUE(RunLoopPolling([&] { return lineCount() >= 5; })) << program.Log();
    EXPECT_EQ(program.Stop(), 0) << program.Output();

    std::vector<std::string> lines;
    std::string log = program.Log();
    for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(log.substr(at, end - at));
    ASSERT_EQ(lines.size(), 5u) << log;
    std::string port = std::to_string(http.Port());
    // "hh:nn:ss ip bytes addr:port host": bytes are the request plus the whole response. A
    // line is written when its connection has ended on both sides, which may come after the
    // next client's, so the lines are counted by kind, not by place.
    int byAddressLines = 0, byNameLines = 0, noRequestLines = 0;
    for (const std::string& line : lines) {
        ASSERT_GT(line.size(), 19u) << line;
        EXPECT_EQ(line.substr(8, 11), " 127.0.0.1 ") << line;
        if (line.substr(8) == " 127.0.0.1 0 0.0.0.0:0 ") {
            ++noRequestLines;
            continue;
        }
        EXPECT_GT(std::stoull(line.substr(19)), body.size()) << line;
        byAddressLines += line.find(" 127.0.0.1:" + port + " 127.0.0.1") != std::string::npos;
        byNameLines += line.find(" 0.0.0.0:" + port + " localhost") != std::string::npos;
    }
    EXPECT_EQ(byAddressLines, 2) << log; // SOCKS4 and SOCKS5 with an address
    EXPECT_EQ(byNameLines, 2) << log;    // SOCKS4a and SOCKS5 with a name
    EXPECT_EQ(noRequestLines, 1) << log;
}

TEST(SocksProxyProgram, WireRepliesOfTheRunningServerAreExact) {
    // With UDP switched off, UDP ASSOCIATE gets 07 as BIND does.
    TSocksProgram program("RequireLogin=0\nEnableUDP=0\n");
    ASSERT_TRUE(program.Ready) << program.Output();
    uint16_t refused = FreeLoopbackPort(); // nobody listens there
    uint16_t port = program.Port();
    std::string zeros10 = Bytes({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(BlockingExchange(port, Bytes({5, 0})), Bytes({5, 0xFF}));
    EXPECT_EQ(BlockingExchange(port, Bytes({5, 1, 1, 5, 2, 0, 1, 127, 0, 0, 1, 0, 80})),
              Bytes({5, 0, 5, 7, 0, 1}) + zeros10);
    EXPECT_EQ(BlockingExchange(port, Bytes({5, 1, 0, 5, 3, 0, 1, 127, 0, 0, 1, 0, 80})),
              Bytes({5, 0, 5, 7, 0, 1}) + zeros10);
    EXPECT_EQ(BlockingExchange(port, Bytes({5, 1, 0, 5, 1, 0, 2}) + std::string(18, '\0')),
              Bytes({5, 0, 5, 8, 0, 1}) + zeros10);
    // An IPv6 destination nobody serves: refused, as an IPv4 one.
    EXPECT_EQ(BlockingExchange(port, Bytes({5, 1, 0, 5, 1, 0, 4}) + std::string(15, '\0') +
                                         Bytes({1}) + Word(refused)),
              Bytes({5, 0, 5, 5, 0, 1}) + zeros10);
    EXPECT_EQ(BlockingExchange(port, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(refused)),
              Bytes({5, 0, 5, 5, 0, 1}) + zeros10);
    EXPECT_EQ(BlockingExchange(port, Bytes({4, 1}) + Word(refused) + Bytes({127, 0, 0, 1, 'u', 0})),
              Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(BlockingExchange(port, Bytes({4, 1, 0, 80, 127, 0, 0, 1}) + std::string(256, 'x')), "");
    EXPECT_EQ(BlockingExchange(port, Bytes({7, 1, 0})), "");
    {
        // Greeting and request in one write to a destination that accepts and waits for the
        // client: the reply comes at once and the relay carries what follows both ways.
        TEchoServer echo;
        TSocketHandle h = ConnectBlocking(port);
        SetReceiveTimeout(h);
        SendAll(h, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(echo.Listener.Port));
        EXPECT_EQ(ReceiveExactly(h, 12),
                  Bytes({5, 0, 5, 0, 0, 1, 127, 0, 0, 1}) + Word(echo.Listener.Port));
        SendAll(h, "ping");
        EXPECT_EQ(ReceiveExactly(h, 4), "ping");
        SocketClose(h);
    }
    {
        TSocketHandle h = ConnectBlocking(port);
        SetReceiveTimeout(h);
        SendAll(h, Bytes({5, 2, 0, 2}));
        char reply[2];
        EXPECT_EQ(SocketRecv(h, reply, 2), 2);
        EXPECT_EQ(std::string(reply, 2), Bytes({5, 2}));
        SocketClose(h);
    }
    EXPECT_EQ(program.Stop(), 0) << program.Output();
}

TEST(SocksProxyProgram, RequiredLoginsAreCheckedAgainstTheProxyUsers) {
    const std::string body = Pattern(5000);
    TBodyServer http(body);
    TSocksProgram program("RequireLogin=1\n" + kUsers);
    ASSERT_TRUE(program.Ready) << program.Output();
    std::string url = "http://127.0.0.1:" + std::to_string(http.Port()) + "/file";
    EXPECT_EQ(Curl(program.Dir(), {"--socks5", program.Proxy(), "-U", "alice:pw"}, url), body);
    EXPECT_NE(Curl(program.Dir(), {"--socks5", program.Proxy()}, url), body);
    EXPECT_NE(Curl(program.Dir(), {"--socks4", program.Proxy()}, url), body);
    EXPECT_EQ(BlockingExchange(program.Port(), Login("alice", "wrong")), Bytes({5, 2, 1, 1}));
    EXPECT_EQ(BlockingExchange(program.Port(), Login("bob", "pw")), Bytes({5, 2, 1, 1}));
    EXPECT_EQ(BlockingExchange(program.Port(), Login("carol", "pw")), Bytes({5, 2, 1, 1}));
    EXPECT_EQ(BlockingExchange(program.Port(), Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0})),
              Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(program.Stop(), 0) << program.Output();
}

TEST(SocksProxyProgram, UpstreamSocks5RecordRoutesThroughMicrosocksAndWithoutAHostStopsTheProxy) {
    const std::string body = Pattern(50000);
    TBodyServer http(body);
    TMicrosocks upstream("up", "secret");
    ASSERT_TRUE(upstream.Running());
    std::string url = "http://127.0.0.1:" + std::to_string(http.Port()) + "/file";
    auto record = [&](const std::string& host, const std::string& password) {
        return "[Proxy-SocksProxy-SocksProxy]\nUseProxy=1\nHost=" + host +
               "\nPort=" + upstream.PortStr() + "\nUseAuth=1\nLogin=up\nPassword=" + password +
               "\n";
    };
    {
        TSocksProgram program(record("127.0.0.1", "secret"));
        ASSERT_TRUE(program.Ready) << program.Output();
        EXPECT_EQ(Curl(program.Dir(), {"--socks5", program.Proxy()}, url), body);
        EXPECT_EQ(program.Stop(), 0);
    }
    {
        // The wrong up-stream password fails every connection: the record is really used.
        TSocksProgram program(record("127.0.0.1", "wrong"));
        ASSERT_TRUE(program.Ready) << program.Output();
        EXPECT_NE(Curl(program.Dir(), {"--socks5", program.Proxy()}, url), body);
        EXPECT_EQ(program.Stop(), 0);
    }
    // Switched on without a host: no connection goes around the up-stream the administrator
    // set; the proxy stays stopped and says why.
    TSocksProgram program(record("", "wrong"));
    ASSERT_TRUE(program.Ready) << program.Output();
    EXPECT_NE(program.Output().find("not started: the up-stream proxy in "
                                    "[Proxy-SocksProxy-SocksProxy] is switched on (UseProxy=1) "
                                    "but its Host or Port is empty"),
              std::string::npos)
        << program.Output();
    EXPECT_NE(Curl(program.Dir(), {"--socks5", program.Proxy()}, url), body);
    EXPECT_EQ(program.Stop(), 0);
}

// Through a SOCKS5 connection, a client that sends its request and shuts down its sending side
// gets the whole answer, which the destination sends only after reading the request's end.
TEST(SocksProxyProgram, HalfClosedRequestThroughSocks5GetsTheWholeAnswer) {
    const std::string answer = Pattern(1024 * 1024);
    TAnswerAtEndServer server(answer);
    TSocksProgram program("RequireLogin=0\n");
    ASSERT_TRUE(program.Ready) << program.Output();
    TSocketHandle h = ConnectBlocking(program.Port());
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    SetReceiveTimeout(h);
    SendAll(h, Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + Word(server.Listener.Port));
    ASSERT_EQ(ReceiveExactly(h, 12),
              Bytes({5, 0, 5, 0, 0, 1, 127, 0, 0, 1}) + Word(server.Listener.Port));
    std::string got = SendHalfCloseAndReadAnswer(h, "request ended by the end of data");
    SocketClose(h);
    EXPECT_EQ(server.RequestRead(WaitMs), "request ended by the end of data");
    EXPECT_EQ(got.size(), answer.size());
    EXPECT_TRUE(got == answer) << "the answer to a half-closed request was cut";
    EXPECT_EQ(program.Stop(), 0) << program.Output();
}

TEST(SocksProxyProgram, PythonSocksCarriesDatagramsThroughAnAssociationThatEndsWithItsConnection) {
    TSocksProgram program;
    ASSERT_TRUE(program.Ready) << program.Output();
    // The echo server answers the two datagrams it gets, each to its sender.
    TUDPPeer echo;
    std::thread server([&] {
        for (int i = 0; i < 2; ++i) {
            pollfd p{echo.Handle, POLLIN, 0};
            std::string data;
            TSocketAddr from;
            if (::poll(&p, 1, WaitMs) != 1 || !echo.Receive(data, from))
                return;
            SocketSendTo(echo.Handle, data.data(), data.size(), from);
        }
    });
    std::string out = RunUdpClient(program, {"echo", std::to_string(echo.Port)});
    server.join();
    std::string port = std::to_string(echo.Port);
    // The answers carry the echo server's address and port, for the address and for the name.
    EXPECT_NE(out.find("(b'by address', ('127.0.0.1', " + port + "))"), std::string::npos) << out;
    EXPECT_NE(out.find("(b'by name', ('127.0.0.1', " + port + "))"), std::string::npos) << out;
    size_t at = out.find("relay ");
    ASSERT_NE(at, std::string::npos) << out;
    uint16_t relay = uint16_t(std::stoi(out.substr(at + 6)));
    // The client closed its TCP connection: the association's line is logged with the data
    // carried both ways, and its relay port is closed.
    ASSERT_TRUE(RunLoopPolling([&] { return LogLineCount(program) == 1; }, WaitMs))
        << program.Log();
    std::string line = program.Log();
    EXPECT_EQ(line.substr(8, 14), " 127.0.0.1 34 ") << line; // 2 x (10 + 7) bytes
    TSocketHandle probe = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    EXPECT_EQ(SocketBind(probe, TSocketAddr::IP4(Loopback(), relay)), 0);
    SocketClose(probe);
    EXPECT_EQ(program.Stop(), 0) << program.Output();
}

TEST(SocksProxyProgram, AssociationsNeedTheRequiredLoginAndLeaveNoDescriptorBehind) {
    TSocksProgram program("RequireLogin=1\nMaxConnections=100\n" + kUsers);
    ASSERT_TRUE(program.Ready) << program.Output();
    std::string out = RunUdpClient(program, {"login"});
    EXPECT_NE(out.find("alice refused\nNone refused\nalice associated\ndone"), std::string::npos)
        << out;
    ASSERT_TRUE(RunLoopPolling([&] { return LogLineCount(program) == 3; }, WaitMs))
        << program.Log();

    TSocksProgram open("MaxConnections=100\n");
    ASSERT_TRUE(open.Ready) << open.Output();
    // Eight at once first: the client threads the program keeps for later connections are
    // made, so that the count below is of what associations leave.
    ASSERT_NE(RunUdpClient(open, {"hold", "8"}).find("done"), std::string::npos);
    ASSERT_TRUE(RunLoopPolling([&] { return LogLineCount(open) == 8; }, WaitMs)) << open.Log();
    size_t before = DescriptorCount(open.Process().Pid());
    ASSERT_NE(RunUdpClient(open, {"many", "1000"}).find("done"), std::string::npos);
    ASSERT_TRUE(RunLoopPolling([&] { return LogLineCount(open) == 1008; }, 120000));
    EXPECT_LE(DescriptorCount(open.Process().Pid()), before);
    EXPECT_EQ(open.Stop(), 0) << open.Output();
}
