#pragma once
// A small HTTP server on loopback built on AhttpServer, answering from its ProcessRequest
// hook: Handler (when set) decides; otherwise "/raise" raises in the hook, "/none" leaves no
// response, "/upload" answers "got N bytes" for the body, and anything else "page <target>".
// Activated on a system-assigned port; the calling (main) thread must serve its loop while
// clients run (RunLoopUntil, OffMain).

#include "http/HTTPServer.h"
#include "net/SocketLib.h"

#include "support/NetTestSupport.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace corvan::test {

class TTestHttpConnection : public AhttpServerClient {
public:
    using AhttpServerClient::AhttpServerClient;
    std::function<void(TTestHttpConnection& connection)> Handler;

protected:
    void ProcessRequest() override {
        AhttpServerClient::ProcessRequest();
        if (Handler) {
            Handler(*this);
            return;
        }
        const std::string& target = Request->GetURI();
        if (target == "/raise")
            throw Exception("hook failed");
        if (target == "/none")
            return;
        std::string body = target == "/upload"
                               ? "got " + std::to_string(Request->GetContentString().size()) + " bytes"
                               : "page " + target;
        auto response = std::make_unique<ThttpResponse>(200, "OK", "HTTP", 1, 1, nullptr, body);
        response->GetHeader().SetFieldBody("Content-Type", "text/plain");
        SetResponse(std::move(response));
    }
};

class TTestHttpServer : public AhttpServer {
public:
    // Runs on the connection's thread for every request (optional).
    std::function<void(TTestHttpConnection& connection)> Handler;
    std::atomic<int> Accepted{0};

    TTestHttpServer() {
        SetLocalHost("127.0.0.1");
        SetListenPort("0");
        ServerName = "TestServer";
        ServerVersion = "2.0";
        OnClientAdd = [this](TTCPServerClient*) { ++Accepted; };
    }
    ~TTestHttpServer() override { ShutdownClients(); }
    void Start() { SetActive(true); }
    uint16_t Port() {
        TSocketAddr local;
        SocketGetSockName(ServerSocket().SocketHandle(), local);
        return local.Port;
    }

protected:
    std::unique_ptr<TTCPServerClient> CreateClient() override {
        auto client = std::make_unique<TTestHttpConnection>(this);
        client->Handler = Handler;
        return client;
    }
};

// Runs body on a helper thread while this (the main) thread serves its loop.
template <typename T> T OffMain(const std::function<T()>& body, int timeoutMs = 30000) {
    std::atomic<bool> done{false};
    T result{};
    std::thread t([&] {
        result = body();
        done = true;
        TMessageLoop::Main().Post(TMessage{0, MSG_USER, 0, 0});
    });
    EXPECT_TRUE(RunLoopUntil([&] { return done.load(); }, timeoutMs));
    t.join();
    return result;
}

// Sends request on a new connection and reads until the server closes it (10 s at most).
inline std::string Exchange(uint16_t port, const std::string& request) {
    return OffMain<std::string>([&] { return BlockingExchange(port, request); });
}

} // namespace corvan::test
