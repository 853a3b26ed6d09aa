#pragma once
// A thread-per-client server on loopback that echoes one byte per connection, and the client
// side that drives it with short connections, for the server pool's tests and its benchmark.

#include "net/TCPServer.h"

#include "support/NetTestSupport.h"

#include <atomic>
#include <thread>
#include <vector>

namespace corvan::test {

// Echoes one byte per connection, then ends the connection. Listens on 127.0.0.1 on a port
// the system assigns once activated.
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

// The clients of SequentialEchoes are given up after this long (a server that stopped
// answering); the count then holds what came back so far.
constexpr int kSequentialEchoesLimitMs = 240000;

// Connect, one byte echoed, close; count times in sequence on each of peers helper threads
// while this (main) thread serves its loop. Answers how many came back right.
inline int SequentialEchoes(uint16_t port, int count, int peers = 1) {
    std::atomic<int> good{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < peers; ++p)
        threads.emplace_back([&] {
            for (int i = 0; i < count; ++i) {
                TSocketHandle h = ConnectBlocking(port);
                if (h == INVALID_SOCKETHANDLE)
                    continue;
                if (SendAll(h, "e") && RecvWithin(h, 1) == "e")
                    ++good;
                SocketClose(h);
            }
            ++done;
            TMessageLoop::Main().Post(TMessage{0, MSG_USER, 0, 0}); // wakes the loop to look
        });
    RunLoopUntil([&] { return done.load() == peers; }, kSequentialEchoesLimitMs);
    for (std::thread& t : threads)
        t.join();
    return good;
}

} // namespace corvan::test
