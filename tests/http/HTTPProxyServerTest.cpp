// The forwarding HTTP proxy in this process on loopback: which targets it forwards (only
// http://; this machine's loopback only for clients on it, unless allowed), what a failed
// forward answers (502, 504) or does when the client leaves, what it holds of a request
// body while the body goes to the next hop, and which answers leave their next-hop connection
// kept for later requests, that a kept connection its origin closed is never sent a request,
// and which requests go again when one closes under them.
#include "http/HTTPProxyServer.h"

#include "support/FakeHostResolver.h"
#include "support/HttpTestServer.h"
#include "support/KeepAliveOrigin.h"
#include "support/NetTestSupport.h"
#include "support/SilentListener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// One connection: reads a request with a Content-Length body, answers "ok", closes. The
// body it got is kept, and the segments that brought the request.
struct TOneShotOrigin {
    TTestListener Listener;
    std::string Body;
    uint32_t Segments = 0;
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
            Segments = DataSegmentsReceived(h);
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

TEST(HTTPProxyServer, ASmallRequestReachesTheNextHopInOneSegment) {
    // Head and body apart, the next hop is woken for the head alone and waits again for the
    // body. A body of a few bytes goes in one write with the head.
    TOneShotOrigin origin;
    ThttpProxyServer proxy;
    proxy.SetLocalHost("127.0.0.1");
    proxy.SetListenPort("0");
    proxy.OnGetConnection = [](ThttpProxyServerClient*, ThttpProxyRoute&) { return true; };
    proxy.SetActive(true);
    std::string target = "http://127.0.0.1:" + std::to_string(origin.Listener.Port) + "/form";
    std::string answer = Exchange(proxy.BoundPort(), "POST " + target +
                                                         " HTTP/1.1\r\nHost: h\r\nContent-Length: "
                                                         "6\r\nConnection: close\r\n\r\na=1&b2");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(origin.ReceivedBody(), "a=1&b2");
    EXPECT_EQ(origin.Segments, 1u);
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
    EXPECT_EQ(origin.TotalRequests.load(), 2u);
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
    std::vector<std::string> logged; // the main thread's, as the proxy's entries come
    TTestProxy proxy;
    proxy.OnLog = [&](ATCPServer*, TServerLogType, const std::string& m) { logged.push_back(m); };
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

    // So with one gone (reset) while its tunnel's connect waits for a destination that does
    // not answer (the system would give up only after minutes). One that ended its sending
    // may still wait for its answer: it gets its tunnel once the destination answers.
    uint16_t nowherePort = FreeLoopbackPort();
    TSilentListener nowhere(TSocketAddr::IP4(Loopback(), nowherePort));
    const std::string connect =
        "CONNECT 127.0.0.1:" + std::to_string(nowherePort) + " HTTP/1.1\r\n\r\n";
    auto told = [&](const std::string& part) {
        return std::any_of(logged.begin(), logged.end(),
                           [&](const std::string& m) { return m.find(part) != std::string::npos; });
    };
    // Also one that sent bytes after its head: they wait unread in the system, and a look at
    // the connection still finds them after the reset.
    for (const char* early : {"", "early"}) {
        SCOPED_TRACE(*early ? "reset after early bytes" : "reset");
        h = ConnectBlocking(proxy.Port());
        ASSERT_NE(h, INVALID_SOCKETHANDLE);
        SendAll(h, connect);
        EXPECT_TRUE(RunLoopPolling([&] { return proxy.ActiveRequests.load() == 1; }));
        SendAll(h, early);
        logged.clear();
        ResetClose(h);
        EXPECT_TRUE(RunLoopPolling([&] { return proxy.ClientCount() == 0; }, 10000))
            << "a client gone while its tunnel's connect was under way kept its slot";
        EXPECT_TRUE(RunLoopPolling([&] { return told("Client left before the answer came"); }));
        EXPECT_FALSE(told("Error retrieving page")) << "its leaving was told as a failure";
    }

    TSocketHandle ended = ConnectBlocking(proxy.Port());
    SendAll(ended, connect);
    ::shutdown(ended, SHUT_WR);
    EXPECT_TRUE(RunLoopPolling([&] { return proxy.ActiveRequests.load() == 1; }));
    // Room in the destination's queue: the connect's next try (a second on) gets through.
    TSocketHandle filler = SocketAccept(nowhere.Listener, nullptr);
    std::string answer;
    EXPECT_TRUE(RunLoopPolling([&] {
        char buf[256];
        long n = ::recv(ended, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            answer.append(buf, size_t(n));
        return n == 0 || answer.find("\r\n\r\n") != std::string::npos;
    }, 10000));
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 Tunnel established");
    for (TSocketHandle s : {ended, filler})
        SocketClose(s);
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

namespace {

// One client connection to the proxy that carries request after request.
struct TClientConnection {
    TSocketHandle Handle;
    std::string Pending;
    explicit TClientConnection(uint16_t port) : Handle(ConnectBlocking(port)) {}
    ~TClientConnection() { SocketClose(Handle); }
    // The answer's status code; "not sent" or "no answer" when the exchange failed.
    std::string Status(const std::string& request) {
        return OffMain<std::string>([&] {
            if (!SendAll(Handle, request))
                return std::string("not sent");
            THttpMessageText answer;
            if (!ReadHttpMessage(Handle, Pending, answer))
                return std::string("no answer");
            return answer.Head.substr(9, 3);
        });
    }
};

} // namespace

TEST(HTTPProxyServer, ThroughAnUpstreamHTTPProxyAKeptConnectionNamesEachRequestsOwnTarget) {
    // The connection to the up-stream serves every target: the one it served before must not
    // name the next.
    TKeepAliveOrigin upstream;
    ThttpProxyServer proxy;
    proxy.SetLocalHost("127.0.0.1");
    proxy.SetListenPort("0");
    proxy.OnGetConnection = [&upstream](ThttpProxyServerClient*, ThttpProxyRoute& route) {
        route.HttpProxy =
            TProxyServerInfo{true, "127.0.0.1", std::to_string(upstream.Port()), false, "", ""};
        return true;
    };
    proxy.SetActive(true);
    {
        TClientConnection client(proxy.BoundPort());
        ASSERT_NE(client.Handle, INVALID_SOCKETHANDLE);
        EXPECT_EQ(client.Status("GET http://hosta.example:8081/a HTTP/1.1\r\nHost: x\r\n\r\n"),
                  "200");
        EXPECT_EQ(client.Status("GET http://hostb.example/b HTTP/1.1\r\nHost: x\r\n\r\n"),
                  "200");
    }
    proxy.SetActive(false);
    EXPECT_EQ(upstream.Accepted(), 1);
    EXPECT_EQ(proxy.ReusedConnections.load(), 1u);
    std::vector<TKeepAliveOrigin::TRequest> requests = upstream.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RequestLineOf(requests[1].Message), "GET http://hostb.example/b");
    EXPECT_NE(requests[0].Message.Head.find("\r\nHost: hosta.example:8081\r\n"),
              std::string::npos)
        << requests[0].Message.Head;
    EXPECT_NE(requests[1].Message.Head.find("\r\nHost: hostb.example\r\n"), std::string::npos)
        << requests[1].Message.Head;
}

namespace {

// request through the proxy on a client connection of its own, read to its close; answers
// once the proxy has finished with the request (its outbound connection is kept or closed).
std::string ExchangeDone(TTestProxy& proxy, const std::string& request) {
    std::string reply = Exchange(proxy.Port(), request);
    EXPECT_TRUE(RunLoopPolling([&] { return proxy.ClientCount() == 0; }));
    return reply;
}

std::string Request(const std::string& method, const std::string& url,
                    const std::string& body = "") {
    return method + " " + url + " HTTP/1.1\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string BodyOf(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

} // namespace

TEST(HTTPProxyServer, AnAnswerReadToItsFramedEndLeavesItsConnectionForTheNextRequest) {
    // By path: what the origin answers, and whether that leaves the connection usable.
    struct TCase {
        const char* Method;
        const char* Path;
        std::string Answer;
        const char* Status;
        std::string Body; // as the client gets it
        bool Kept;
    };
    const std::string chunked = "3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n";
    const std::vector<TCase> cases = {
        {"GET", "/sized", TKeepAliveOrigin::Sized("ok"), "200", "ok", true},
        // The length of what a GET would have got; no body follows.
        {"HEAD", "/head", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "200", "", true},
        {"GET", "/204", "HTTP/1.1 204 No Content\r\n\r\n", "204", "", true},
        {"GET", "/304", "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", "304", "", true},
        {"GET", "/chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked,
         "200", chunked, true},
        {"PUT", "/10-keep-alive",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nk1", "200", "k1",
         true},
        {"GET", "/10", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nk2", "200", "k2", false},
        {"GET", "/11-close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nk3",
         "200", "k3", false},
        {"GET", "/until-close", "HTTP/1.1 200 OK\r\n\r\nto the end", "200", "to the end", false},
        // A piece goes on as the piece it is, never as the whole.
        {"GET", "/206",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-4/10\r\nContent-Length: "
         "3\r\n\r\ncde",
         "206", "cde", true},
        {"GET", "/sized", TKeepAliveOrigin::Sized("ok"), "200", "ok", true},
    };
    TKeepAliveOrigin origin(10000, [&](const TKeepAliveOrigin::TRequest& r, bool& close) {
        for (const TCase& c : cases)
            if (RequestLineOf(r.Message) == std::string(c.Method) + " " + c.Path) {
                close = std::string(c.Path) == "/until-close";
                return c.Answer;
            }
        return std::string();
    });
    TTestProxy proxy;
    int expectedConnections = 1;
    uint64_t expectedReused = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const TCase& c = cases[i];
        std::string reply = ExchangeDone(proxy, Request(c.Method, origin.Url(c.Path)));
        EXPECT_EQ(reply.substr(9, 3), c.Status) << c.Path << ": " << reply;
        EXPECT_EQ(BodyOf(reply), c.Body) << c.Path;
        EXPECT_EQ(reply.find("\r\nContent-Range: bytes 2-4/10\r\n") != std::string::npos,
                  c.Answer.find("Content-Range") != std::string::npos)
            << c.Path << ": " << reply;
        EXPECT_EQ(origin.Accepted(), expectedConnections) << c.Path;
        EXPECT_EQ(proxy.ReusedConnections.load(), expectedReused) << c.Path;
        EXPECT_EQ(proxy.IdleConnections().Count(), c.Kept ? 1u : 0u) << c.Path;
        expectedReused += c.Kept;
        expectedConnections += !c.Kept;
    }
    EXPECT_EQ(origin.Requests().size(), cases.size());
    // A service that stops closes what it kept: the origin reads the end.
    proxy.SetActive(false);
    EXPECT_EQ(proxy.IdleConnections().Count(), 0u);
    EXPECT_TRUE(RunLoopPolling([&] { return origin.Closed() == origin.Accepted(); }));
}

TEST(HTTPProxyServer, AConnectionTheOriginClosedWhileKeptIsNeverSentARequest) {
    // An origin that closes every connection idle for a while, and a request only after it
    // did so to the one the proxy kept from the request before. A POST is never sent again:
    // one sent over the closed connection would fail. The while is longer than a client
    // connection holds its last next hop, so the kept one is the pool's, as after a pause.
    constexpr int kOriginIdleMs = 2 * kHttpProxyHoldNextHopMs;
    constexpr int kRequests = 50;
    TKeepAliveOrigin origin(kOriginIdleMs);
    TTestProxy proxy;
    int answered = 0;
    for (int i = 0; i < kRequests; ++i) {
        std::string reply = ExchangeDone(proxy, Request("POST", origin.Url("/p"), "b"));
        answered += reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
        ASSERT_EQ(proxy.IdleConnections().Count(), 1u) << "the connection was not kept";
        ASSERT_TRUE(RunLoopPolling([&] { return origin.Closed() == i + 1; }, 3 * kOriginIdleMs));
    }
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(origin.Count("POST /p"), kRequests);
    EXPECT_EQ(origin.Accepted(), kRequests);
    EXPECT_EQ(proxy.ReusedConnections.load(), 0u);
}

TEST(HTTPProxyServer, ARequestAKeptConnectionFailsBeforeItsAnswerGoesAgainOnlyWhenIdempotent) {
    // The origin answers the first request of each connection and closes the connection at
    // the next one, unanswered: the proxy's check found the kept connection open, and the
    // close came as the request went.
    TKeepAliveOrigin origin(10000, [](const TKeepAliveOrigin::TRequest& r, bool&) {
        return r.OnConnection == 0 ? TKeepAliveOrigin::Sized("ok") : std::string();
    });
    TTestProxy proxy;
    auto status = [](const std::string& reply) { return reply.substr(9, 3); };
    EXPECT_EQ(status(ExchangeDone(proxy, Request("GET", origin.Url("/a")))), "200");
    // A POST over the kept connection: the client gets the error, the origin got it once.
    EXPECT_EQ(status(ExchangeDone(proxy, Request("POST", origin.Url("/p"), "body"))), "502");
    EXPECT_EQ(origin.Count("POST /p"), 1);
    EXPECT_EQ(origin.Accepted(), 1);
    // A GET over a kept connection goes once more over a new one.
    EXPECT_EQ(status(ExchangeDone(proxy, Request("GET", origin.Url("/b")))), "200");
    std::string reply = ExchangeDone(proxy, Request("GET", origin.Url("/c")));
    EXPECT_EQ(status(reply), "200");
    EXPECT_EQ(BodyOf(reply), "ok");
    EXPECT_EQ(origin.Count("GET /c"), 2);
    EXPECT_EQ(origin.Accepted(), 3);
    // So does a PUT with its body.
    reply = ExchangeDone(proxy, Request("PUT", origin.Url("/u"), "put body"));
    EXPECT_EQ(status(reply), "200");
    std::vector<TKeepAliveOrigin::TRequest> requests = origin.Requests();
    ASSERT_EQ(RequestLineOf(requests.back().Message), "PUT /u");
    EXPECT_EQ(requests.back().Message.Body, "put body");
    EXPECT_EQ(origin.Count("PUT /u"), 2);
}

TEST(HTTPProxyServer, OnOneClientConnectionAKeptConnectionThatFailsIsHandledAsAnyKeptOne) {
    // The connection a client's thread keeps for its next request carries the answers it
    // had before: a failure on it is still told apart by what this exchange received. The
    // origin answers the first request of each connection and closes it at the next.
    TKeepAliveOrigin origin(10000, [](const TKeepAliveOrigin::TRequest& r, bool&) {
        return r.OnConnection == 0 ? TKeepAliveOrigin::Sized("ok") : std::string();
    });
    TTestProxy proxy;
    TClientConnection client(proxy.Port());
    ASSERT_NE(client.Handle, INVALID_SOCKETHANDLE);
    auto status = [&](const std::string& method, const std::string& path) {
        std::string body = method == "GET" ? "" : "body";
        return client.Status(method + " " + origin.Url(path) + " HTTP/1.1\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    EXPECT_EQ(status("GET", "/a"), "200");
    // Over the kept connection, closed unanswered: once more over a new one.
    EXPECT_EQ(status("GET", "/b"), "200");
    EXPECT_EQ(origin.Count("GET /b"), 2);
    // A POST is not sent again.
    EXPECT_EQ(status("POST", "/p"), "502");
    EXPECT_EQ(origin.Count("POST /p"), 1);
    EXPECT_EQ(origin.Accepted(), 2);
}
