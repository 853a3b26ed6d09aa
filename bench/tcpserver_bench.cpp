// Short connections to a thread-per-client server (ATCPServer, ClientMode 2) on loopback,
// without a proxy around it: one client thread connects, sends a byte, reads it back and
// closes, over and over. Prints the rate.
//
//   tcpserver_bench [connections (5000)]

#include "support/OneByteEchoServer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace corvan;
using namespace corvan::test;

namespace {

// Connections before the measured ones: the pool's threads are made and the caches warm.
constexpr int kWarmUp = 200;

} // namespace

int main(int argc, char** argv) {
    int connections = argc > 1 ? std::atoi(argv[1]) : 5000;
    if (connections <= 0) {
        std::fprintf(stderr, "usage: tcpserver_bench [connections (5000)]\n");
        return 2;
    }
    TOneByteEchoServer server;
    server.SetActive(true);
    SequentialEchoes(server.Port(), kWarmUp);
    int64_t start = MonotonicMillis();
    int good = SequentialEchoes(server.Port(), connections);
    int64_t elapsed = std::max<int64_t>(1, MonotonicMillis() - start);
    server.SetActive(false);
    std::printf("%d connections in %lld ms: %.0f per second\n", connections,
                static_cast<long long>(elapsed), connections * 1000.0 / elapsed);
    if (good != connections) {
        std::fprintf(stderr, "only %d of %d connections were echoed\n", good, connections);
        return 1;
    }
    return 0;
}
