// The forwarding proxy connection on loopback, seen from its events: what it holds of a
// request body while the body goes to the next hop.
#include "http/HTTPProxyServer.h"

#include "support/HttpTestServer.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// One connection: reads a request with a Content-Length body, answers "ok", closes. The
// body it got is kept.
struct TOneShotOrigin {
    TTestListener Listener;
    std::string Body;
    std::thread Thread;
    TOneShotOrigin() {
        Thread = std::thread([this] {
            TSocketHandle h = Listener.Accept();
            if (h == INVALID_SOCKETHANDLE)
                return;
            SetReceiveTimeout(h);
            std::string data;
            size_t end;
            while ((end = data.find("\r\n\r\n")) == std::string::npos) {
                std::string more = RecvWithin(h, 1, 10000);
                if (more.empty())
                    break;
                data += more;
            }
            size_t at = data.find("Content-Length: ");
            if (end != std::string::npos && at != std::string::npos) {
                size_t length = std::stoul(data.substr(at + 16));
                Body = data.substr(end + 4);
                Body += ReceiveExactly(h, length - Body.size());
            }
            SendAll(h, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
            SocketClose(h);
        });
    }
    // The body received, once the connection is done.
    const std::string& ReceivedBody() {
        if (Thread.joinable())
            Thread.join();
        return Body;
    }
    ~TOneShotOrigin() {
        SocketShutdown(Listener.Handle, TShutdownHow::sdBoth);
        if (Thread.joinable())
            Thread.join();
    }
};

} // namespace

TEST(HTTPProxyServer, RequestBodyIsHeldOnceWhileItIsForwarded) {
    TOneShotOrigin origin;
    ThttpProxyServer proxy;
    proxy.SetLocalHost("127.0.0.1");
    proxy.SetListenPort("0");
    proxy.OnGetConnection = [](ThttpProxyServerClient*, ThttpProxyRoute&) { return true; };
    // Counted as the forwarded request goes out: the client's request and its copy for the
    // next hop together.
    std::atomic<int64_t> held{-1};
    proxy.OnPrepareForward = [&held](ThttpProxyServerClient* client, ThttpClient* forward) {
        forward->OnRequestPrepared = [&held, client](ThttpClient* sender) {
            held = client->Request->GetContentSize() + sender->Request()->GetContentSize();
        };
    };
    proxy.SetActive(true);
    const std::string body = Pattern(3 * 1000 * 1000);
    std::string target = "http://127.0.0.1:" + std::to_string(origin.Listener.Port) + "/upload";
    std::string answer =
        Exchange(proxy.BoundPort(), "POST " + target + " HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                                        std::to_string(body.size()) +
                                        "\r\nConnection: close\r\n\r\n" + body);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
    EXPECT_EQ(held.load(), int64_t(body.size()));
    EXPECT_TRUE(origin.ReceivedBody() == body) << "the origin got " << origin.Body.size();
}
