// Both internet protocols end to end (the built corvan-proxy program, headless, with curl): a
// TCP mapping listening on any interface reached over ::1 and over 127.0.0.1 and relaying to an
// origin on [::1], and the HTTP proxy listening on ::1 forwarding to an IPv4 origin.

#include "support/HeadlessProgram.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <poll.h>

using namespace corvan;
using namespace corvan::test;

namespace {

// python3's HTTP server on a free port of host (127.0.0.1 or ::1), serving a folder.
struct TOrigin {
    uint16_t Port = FreeLoopbackPort();
    std::unique_ptr<TChildProcess> Process;
    TOrigin(const std::string& host, const std::string& folder) {
        Process = std::make_unique<TChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", host,
                                     "--directory", folder, std::to_string(Port)},
            std::map<std::string, std::string>{});
        TSocketAddr at;
        IsIPLiteral(host, at);
        at.Port = Port;
        // Another process: no event to await, so poll its port.
        for (int i = 0; i < 500; ++i) {
            TSocketHandle h = AllocateSocketHandle(at.AddrFamily, TIPProtocol::ipTCP);
            bool up = SocketConnect(h, at) == 0;
            SocketClose(h);
            if (up)
                return;
            ::poll(nullptr, 0, 20);
        }
        ADD_FAILURE() << "HTTP server did not start: " << Process->Output();
    }
};

// curl's exit code and output (the body of the fetched page).
int Curl(std::vector<std::string> args, std::string& output) {
    args.insert(args.begin(), {"/usr/bin/curl", "--silent", "--show-error", "-g"});
    TChildProcess curl(args, {});
    int code = curl.WaitForExit(60000);
    output = curl.Output();
    return code;
}

} // namespace

TEST(DualStackProgram, AMappingOnAnyInterfaceServesBothProtocolsAndReachesAnIPv6Origin) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TTempDir www;
    WriteFileText(www / "page.txt", "served over IPv6");
    TOrigin origin("::1", www.Path());
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run("[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\n"
                         "Enabled=1\nServerProtocol=3\nServerIP=\nServerPort=" +
                         std::to_string(port) + "\nDestHost=::1\nDestPort=" +
                         std::to_string(origin.Port) + "\n");
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    for (std::string host : {"[::1]", "127.0.0.1"}) {
        std::string out;
        EXPECT_EQ(Curl({"--noproxy", "*", "http://" + host + ":" + std::to_string(port) +
                                              "/page.txt"},
                       out),
                  0)
            << host << ": " << out;
        EXPECT_EQ(out, "served over IPv6") << host;
    }
}

TEST(DualStackProgram, TheHTTPProxyListensOnIPv6AndForwardsToAnIPv4Origin) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TTempDir www;
    WriteFileText(www / "page.txt", "served over IPv4");
    TOrigin origin("127.0.0.1", www.Path());
    uint16_t port = FreeLoopbackPort();
    THeadlessProgram run("[Proxy-HTTP]\nEnabled=1\nServerIP=::1\nServerPort=" +
                         std::to_string(port) + "\n");
    ASSERT_TRUE(run.Ready) << run.Process().Output();
    std::string out;
    EXPECT_EQ(Curl({"-x", "http://[::1]:" + std::to_string(port),
                    "http://127.0.0.1:" + std::to_string(origin.Port) + "/page.txt"},
                   out),
              0)
        << out;
    EXPECT_EQ(out, "served over IPv4");
}
