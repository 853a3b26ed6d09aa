#pragma once
// A blocking loopback echo server for tests: accepts connections on a system-assigned port
// and echoes each on a thread of its own until the client closes.

#include "support/NetTestSupport.h"

#include <mutex>
#include <thread>
#include <vector>

namespace corvan::test {

struct TEchoServer {
    TTestListener Listener;
    std::thread Acceptor;
    std::mutex ConnectionLock; // guards Connections
    std::vector<std::thread> Connections;
    TEchoServer() {
        Acceptor = std::thread([this] {
            for (;;) {
                TSocketHandle h = Listener.Accept();
                if (h == INVALID_SOCKETHANDLE)
                    return; // the listener was shut down
                std::lock_guard<std::mutex> lock(ConnectionLock);
                Connections.emplace_back([h] {
                    char buf[4096];
                    for (long n; (n = SocketRecv(h, buf, sizeof buf)) > 0;)
                        SendAll(h, std::string(buf, size_t(n)));
                    SocketClose(h);
                });
            }
        });
    }
    // Every client must have closed (or be closing) its connection by now.
    ~TEchoServer() {
        SocketShutdown(Listener.Handle, TShutdownHow::sdBoth); // wakes the accept
        Acceptor.join();
        for (auto& t : Connections)
            t.join();
    }
    std::string PortStr() const { return std::to_string(Listener.Port); }
};

} // namespace corvan::test
