// Client threads of a thread-per-client server: reuse, bounds, idle ends and stack size.
#include "net/TCPServer.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

void WakeMain() {
    TMessageLoop::Main().Post(TMessage{0, WM_USER, 0, 0});
}

// Echoes one byte per connection, then ends the connection.
class TOneByteEchoServer : public ATCPServer {
public:
    TOneByteEchoServer() {
        ClientMode = cmThread;
        SetLocalHost("127.0.0.1");
        SetListenPort("0");
        SetMaxBacklog(256);
        OnClientExecute = [](TTCPServerClient* client) {
            TSocketStream& s = *client->GetStream();
            s.Writer().WriteByte(s.Reader().ReadByte());
        };
    }
    ~TOneByteEchoServer() override { ShutdownClients(); }
    uint16_t Port() {
        TSocketAddr local;
        SocketGetSockName(ServerSocket().SocketHandle(), local);
        return local.Port;
    }
};

// Connect, one byte echoed, close; count times in sequence on a helper thread while this
// thread serves the server. Answers how many came back right.
int SequentialEchoes(uint16_t port, int count) {
    std::atomic<int> good{0};
    std::atomic<bool> done{false};
    std::thread peer([&] {
        for (int i = 0; i < count; ++i) {
            TSocketHandle h = ConnectBlocking(port);
            if (h == INVALID_SOCKETHANDLE)
                continue;
            if (SendAll(h, "e") && RecvWithin(h, 1) == "e")
                ++good;
            SocketClose(h);
        }
        done = true;
        WakeMain();
    });
    RunLoopUntil([&] { return done.load(); }, 240000);
    peer.join();
    return good;
}

} // namespace

// Not a check: prints the rate of short connections (run with --gtest_also_run_disabled_tests).
TEST(TCPServerPoolMeasure, DISABLED_SequentialShortConnectionsPerSecond) {
    constexpr int kConnections = 5000;
    TOneByteEchoServer server;
    server.SetActive(true);
    SequentialEchoes(server.Port(), 200); // warm-up
    int64_t start = MonotonicMillis();
    int good = SequentialEchoes(server.Port(), kConnections);
    int64_t elapsed = std::max<int64_t>(1, MonotonicMillis() - start);
    EXPECT_EQ(good, kConnections);
    std::printf("%d connections in %lld ms: %.0f per second\n", kConnections,
                static_cast<long long>(elapsed), kConnections * 1000.0 / elapsed);
}
