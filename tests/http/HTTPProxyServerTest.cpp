// The forwarding HTTP proxy in this process on loopback: which targets it forwards (only
// http://; this machine's loopback only for clients on it, unless allowed), what a failed
// forward answers (502, 504) or does when the client leaves, and what it holds of a request
// body while the body goes to the next hop.
#include "http/HTTPProxyServer.h"

#include "support/FakeHostResolver.h"
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

namespace {

// The proxy on a system-assigned loopback port. Every request is routed directly with
// TimeOutMs and AllowLocal; a CONNECT is accepted. ClientFromElsewhere makes every client
// count as one from another machine.
class TTestProxy : public ThttpProxyServer {
public:
    std::atomic<int> TimeOutMs{kHttpProxyOutboundTimeoutMs};
    std::atomic<bool> AllowLocal{false};

    explicit TTestProxy(bool clientFromElsewhere = false) {
        SetLocalHost("127.0.0.1");
        SetListenPort("0");
        if (clientFromElsewhere)
            ClientOnThisMachine = [](const TSocketAddr&) { return false; };
        OnGetConnection = [this](ThttpProxyServerClient* client, ThttpProxyRoute& route) {
            if (client->Request->GetMethod() == "CONNECT") {
                client->SetResponse(
                    std::make_unique<ThttpResponse>(200, "Tunnel established", "HTTP", 1, 1));
                client->Tunnel = true;
            }
            route.TimeOut = TimeOutMs.load();
            route.AllowLocalTargets = AllowLocal.load();
            return true;
        };
        SetActive(true);
    }
    ~TTestProxy() override { SetActive(false); }
    uint16_t Port() const { return BoundPort(); }
};

std::string Get(uint16_t proxyPort, const std::string& target) {
    return Exchange(proxyPort, "GET " + target + " HTTP/1.1\r\nConnection: close\r\n\r\n");
}

std::string StatusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

} // namespace

TEST(HTTPProxyServer, OnlyHttpTargetsAreForwarded) {
    TTestHttpServer origin;
    origin.Start();
    TTestProxy proxy;
    std::string hostPort = "127.0.0.1:" + std::to_string(origin.Port());
    EXPECT_EQ(StatusLine(Get(proxy.Port(), "http://" + hostPort + "/a")), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLine(Get(proxy.Port(), "HTTP://" + hostPort + "/a")), "HTTP/1.1 200 OK");
    for (const char* scheme : {"https", "ftp", "gopher", "HTTPS"}) {
        std::string reply = Get(proxy.Port(), std::string(scheme) + "://" + hostPort + "/a");
        EXPECT_EQ(StatusLine(reply), "HTTP/1.1 400 Bad request") << scheme;
    }
    // Only the two http:// requests reached the origin.
    EXPECT_EQ(origin.Accepted.load(), 2);
}

TEST(HTTPProxyServer, TargetsWithCredentialsAreRefused) {
    TTestHttpServer origin;
    origin.Start();
    TTestProxy proxy;
    std::string hostPort = "127.0.0.1:" + std::to_string(origin.Port());
    for (std::string target : {"http://user:pw@" + hostPort + "/", "http://user@" + hostPort,
                               "//u:p@" + hostPort + "/a"})
        EXPECT_EQ(StatusLine(Get(proxy.Port(), target)), "HTTP/1.1 400 Bad request") << target;
    std::string reply = Exchange(proxy.Port(), "CONNECT user:pw@" + hostPort +
                                                   " HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 400 Bad request");
    // An '@' after the authority is the path's.
    EXPECT_EQ(StatusLine(Get(proxy.Port(), "http://" + hostPort + "/mail@x")), "HTTP/1.1 200 OK");
    EXPECT_EQ(origin.Accepted.load(), 1);
}

TEST(HTTPProxyServer, LoopbackTargetsOnlyForClientsOnThisMachineUnlessAllowed) {
    TTestHttpServer origin;
    origin.Start();
    std::string port = std::to_string(origin.Port());
    auto tunnel = [&](uint16_t proxyPort) {
        // A request through the tunnel, so the origin ends it.
        return StatusLine(Exchange(proxyPort, "CONNECT 127.0.0.1:" + port +
                                                  " HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n"
                                                  "Connection: close\r\n\r\n"));
    };
    {
        // A client on this machine; the name checked still names the site to the origin.
        TTestProxy here;
        EXPECT_EQ(StatusLine(Get(here.Port(), "http://127.0.0.1:" + port + "/")),
                  "HTTP/1.1 200 OK");
        origin.Handler = [](TTestHttpConnection& c) {
            c.SetResponse(std::make_unique<ThttpResponse>(
                200, "OK", "HTTP", 1, 1, nullptr, c.Request->GetHeader().GetFieldBody("Host")));
        };
        std::string reply = Get(here.Port(), "http://localhost:" + port + "/");
        EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), "localhost:" + port) << reply;
    }
    TTestProxy elsewhere(true);
    // By address, by a name that resolves to loopback, the unspecified address, a tunnel.
    for (std::string host : {"127.0.0.1", "localhost", "127.1.2.3", "0.0.0.0"})
        EXPECT_EQ(StatusLine(Get(elsewhere.Port(), "http://" + host + ":" + port + "/")),
                  "HTTP/1.1 403 Target not allowed")
            << host;
    EXPECT_EQ(tunnel(elsewhere.Port()), "HTTP/1.1 403 Target not allowed");
    EXPECT_EQ(origin.Accepted.load(), 2);
    elsewhere.AllowLocal = true;
    EXPECT_EQ(StatusLine(Get(elsewhere.Port(), "http://localhost:" + port + "/")),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(tunnel(elsewhere.Port()), "HTTP/1.1 200 Tunnel established");
}

TEST(HTTPProxyServer, NamesAreJudgedByTheAddressTheyResolveTo) {
    TTestHttpServer origin;
    origin.Start();
    std::string port = std::to_string(origin.Port());
    TFakeHostResolver names(Loopback());
    TTestProxy elsewhere(true);
    EXPECT_EQ(StatusLine(Get(elsewhere.Port(), "http://intranet.example:" + port + "/")),
              "HTTP/1.1 403 Target not allowed");
    // A name that does not resolve is the next hop's failure, not a refusal.
    names.Answer(0);
    EXPECT_EQ(StatusLine(Get(elsewhere.Port(), "http://nowhere.example:" + port + "/")),
              "HTTP/1.1 502 Page not available");
    EXPECT_EQ(origin.Accepted.load(), 0);
}

TEST(HTTPProxyServer, ANameIsLookedUpOnceForTheCheckAndTheConnection) {
    TTestHttpServer origin;
    origin.Start();
    // Not found the first time, loopback after.
    TChangingHostResolver names(Loopback());
    TTestProxy elsewhere(true);
    std::string reply =
        Get(elsewhere.Port(), "http://rebind.example:" + std::to_string(origin.Port()) + "/");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 502 Page not available");
    EXPECT_EQ(names.Lookups(), 1);
    EXPECT_EQ(origin.Accepted.load(), 0);
}

TEST(HTTPProxyServer, FailedForwardsAnswer502Or504AndALeavingClientFreesItsSlot) {
    TTestProxy proxy;
    // Nobody listens: refused.
    uint16_t closed = FreeLoopbackPort();
    std::string reply = Get(proxy.Port(), "http://127.0.0.1:" + std::to_string(closed) + "/");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 502 Page not available");
    EXPECT_NE(reply.find("Requested page could not be retrieved."), std::string::npos) << reply;
    reply = Exchange(proxy.Port(), "CONNECT 127.0.0.1:" + std::to_string(closed) +
                                       " HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 502 Page not available");

    // Connected (the queue of a listener that never accepts), but never an answer.
    TTestListener silent;
    std::string silentTarget = "http://127.0.0.1:" + std::to_string(silent.Port) + "/";
    proxy.TimeOutMs = 300;
    EXPECT_EQ(StatusLine(Get(proxy.Port(), silentTarget)), "HTTP/1.1 504 Page not available");

    // A client that leaves while its request waits: its connection ends long before the
    // time-out.
    proxy.TimeOutMs = 120000;
    TSocketHandle h = ConnectBlocking(proxy.Port());
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    SendAll(h, "GET " + silentTarget + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(RunLoopPolling([&] { return proxy.ActiveRequests.load() == 1; }));
    SocketClose(h);
    EXPECT_TRUE(RunLoopPolling([&] { return proxy.ClientCount() == 0; }, 10000));
}

TEST(HTTPProxyServer, TheLoopCheckLooksANameUpWithoutHoldingTheServiceEnd) {
    // Every lookup waits at the gate: a target naming the proxy's own port is looked up, by
    // the installed resolver as the connection would be (not by the system's, which would
    // know this name at once).
    TFakeHostResolver names(Loopback(), true);
    auto proxy = std::make_unique<TTestProxy>();
    TSocketHandle h = ConnectBlocking(proxy->Port());
    ASSERT_NE(h, INVALID_SOCKETHANDLE);
    SendAll(h, "GET http://localhost:" + std::to_string(proxy->Port()) + "/ HTTP/1.1\r\n\r\n");
    // This thread's loop serves the proxy's listener meanwhile.
    ASSERT_TRUE(RunLoopPolling([&] { return names.Hosts().size() == 1; }));
    // The service ends while the lookup is still held, and nothing else is looked up for the
    // request; its connection went with it.
    proxy.reset();
    EXPECT_TRUE(names.WaitInside(1, 0));
    EXPECT_EQ(RecvWithin(h, 1, 10000), "");
    SocketClose(h);
}

TEST(HTTPProxyServer, ThroughAnUpstreamHTTPProxyTheRequestNamesItsTargetAndCarriesTheLogin) {
    TTestListener upstream;
    std::string head; // read only after the join
    std::thread peer([&] {
        TSocketHandle h = upstream.Accept();
        SetReceiveTimeout(h);
        while (head.find("\r\n\r\n") == std::string::npos) {
            std::string more = RecvWithin(h, 1, 10000);
            if (more.empty())
                break;
            head += more;
        }
        SendAll(h, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nvp");
        SocketClose(h);
    });
    ThttpProxyServer proxy;
    proxy.SetLocalHost("127.0.0.1");
    proxy.SetListenPort("0");
    proxy.OnGetConnection = [&upstream](ThttpProxyServerClient*, ThttpProxyRoute& route) {
        route.HttpProxy = TProxyServerInfo{true, "127.0.0.1", std::to_string(upstream.Port),
                                           true, "user", "pw"};
        return true;
    };
    proxy.SetActive(true);
    // A name only the up-stream proxy may resolve.
    std::string reply = Get(proxy.BoundPort(), "http://host1:8080/path");
    peer.join();
    proxy.SetActive(false);
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 200 OK");
    EXPECT_EQ(head.rfind("GET http://host1:8080/path HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nHost: host1:8080\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\n"), std::string::npos)
        << head;
}
