#pragma once
// A blocking HTTP server on loopback, on a thread of its own: answers every request with the
// same body, one request per connection ("Connection: close"), and reads what the client
// still sends before it closes.

#include "support/NetTestSupport.h"

#include <atomic>
#include <string>
#include <thread>

namespace corvan::test {

class TBodyServer {
public:
    explicit TBodyServer(std::string body) : FBody(std::move(body)) {
        FThread = std::thread([this] {
            for (;;) {
                TSocketHandle h = FListener.Accept();
                if (h == INVALID_SOCKETHANDLE || FStopping)
                    break;
                SetReceiveTimeout(h);
                std::string request;
                char buf[1024];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    long n = SocketRecv(h, buf, sizeof buf);
                    if (n <= 0)
                        break;
                    request.append(buf, size_t(n));
                }
                SendAll(h, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(FBody.size()) +
                               "\r\nConnection: close\r\n\r\n" + FBody);
                SocketShutdown(h, TShutdownHow::sdSend);
                RecvAll(h);
                SocketClose(h);
            }
        });
    }
    ~TBodyServer() {
        FStopping = true;
        SocketShutdown(FListener.Handle, TShutdownHow::sdBoth);
        FThread.join();
    }
    uint16_t Port() const { return FListener.Port; }

private:
    std::string FBody;
    TTestListener FListener;
    std::atomic<bool> FStopping{false};
    std::thread FThread;
};

} // namespace corvan::test
