// The HTTP proxy service of the built corvan-proxy program, run headless with a settings file
// written here, against a recording origin on loopback: curl through it (bodies byte for byte,
// keep-alive, many at once, few origin connections for many requests, CONNECT to a TLS origin), the rewriting rules seen at the origin,
// crafted requests whose framing must either be refused or reach the origin exactly once with
// the exact body, the login modes, the bandwidth limit, up-stream proxies and the request log.

#include "support/HeadlessProgram.h"
#include "support/KeepAliveOrigin.h"
#include "support/Microsocks.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000;
const char* const ReadyText = "running headless";

// A recorded request: the head as received and the body its Content-Length announced.
using TRecorded = THttpMessageText;

// An origin on loopback that keeps its connections for further requests (the proxy reuses
// them; TKeepAliveOrigin). It counts the connections it accepted, records every request and
// answers by path:
//   /big     kBigSize pattern bytes with Content-Length; /2mb the first 2,000,000 of them
//   /echo    the request body back
//   /chunked kChunkedBody as it stands (chunked framing, extension and trailer)
//   /close   "streamed until close" without length, then closes
//   /folded  "ok" with a folded field and a line that is no field
//   anything else "ok"
class TRecordingOrigin {
public:
    static constexpr size_t kBigSize = 5 * 1000 * 1000;
    static inline const std::string kChunkedBody =
        "5;ext=1\r\nhello\r\n0006\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n";

    TRecordingOrigin()
        : FBig(Pattern(kBigSize)),
          FOrigin(10000, [this](const TKeepAliveOrigin::TRequest& r, bool& close) {
              return Answer(r.Message, close);
          }) {}
    uint16_t Port() const { return FOrigin.Port(); }
    std::string Url(const std::string& path) const { return FOrigin.Url(path); }
    const std::string& Big() const { return FBig; }
    int Accepted() { return FOrigin.Accepted(); }
    std::vector<TRecorded> Requests() {
        std::vector<TRecorded> all;
        for (const TKeepAliveOrigin::TRequest& r : FOrigin.Requests())
            all.push_back(r.Message);
        return std::vector<TRecorded>(all.begin() + long(std::min(FCleared, all.size())),
                                      all.end());
    }
    // Later Requests() leave out those received so far.
    void Clear() { FCleared = FOrigin.Requests().size(); }

private:
    std::string Answer(const THttpMessageText& r, bool& close) const {
        std::string path = r.Head.substr(r.Head.find(' ') + 1);
        path = path.substr(0, path.find(' '));
        bool head = r.Head.rfind("HEAD ", 0) == 0;
        auto sized = [&](const std::string& body) {
            return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nContent-Type: application/octet-stream\r\n\r\n" + (head ? "" : body);
        };
        if (path == "/big")
            return sized(FBig);
        if (path == "/2mb")
            return sized(FBig.substr(0, 2000000));
        if (path == "/echo")
            return sized(r.Body);
        if (path == "/chunked")
            return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunkedBody;
        if (path == "/folded")
            return "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Folded: a\r\n b\r\n"
                   "no field\r\n\r\nok";
        if (path == "/close") {
            close = true;
            return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nstreamed until close";
        }
        return sized("ok");
    }

    const std::string FBig;
    size_t FCleared = 0;
    TKeepAliveOrigin FOrigin; // last: its threads end before the rest goes
};

// The program with the HTTP service on a free loopback port and extra settings lines.
class THttpProxyProgram {
public:
    // extra comes first, so its keys win; port: the proxy's port, 0 for a free one.
    explicit THttpProxyProgram(const std::string& extra = "", const std::string& moreSections = "",
                               uint16_t port = 0) {
        FPort = port != 0 ? port : FreeLoopbackPort();
        std::filesystem::create_directories(FDir / "data/Corvan");
        WriteFileText(FDir / "data/Corvan/CorvanProxy.ini",
                      "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                          std::to_string(FPort) + "\n" + extra +
                          "EnableLogFile=1\nMaxConnections=250\n" + moreSections);
        FProcess = std::make_unique<TChildProcess>(
            std::vector<std::string>{CORVAN_PROXY_BIN, "--headless"},
            std::map<std::string, std::string>{{"LOCALAPPDATA", FDir / "data"},
                                               {"XDG_CONFIG_HOME", FDir / "config"},
                                               {"HOME", FDir / "home"}},
            std::vector<std::string>{"XDG_DATA_HOME"});
        Ready = FProcess->WaitForOutput(ReadyText, WaitMs);
    }
    ~THttpProxyProgram() {
        FProcess->Signal(SIGTERM);
        FProcess->WaitForExit(WaitMs);
    }
    bool Ready = false;
    uint16_t Port() const { return FPort; }
    std::string Proxy() const { return "http://127.0.0.1:" + std::to_string(FPort); }
    std::string Output() const { return FProcess->Output(); }
    // Stops the program; everything it wrote.
    std::string StopAndOutput() {
        FProcess->Signal(SIGTERM);
        FProcess->WaitForExit(WaitMs);
        return FProcess->Output();
    }
    std::string Log() const { return ReadFileText(FDir / "data/Corvan/ProxyApp/httpproxy.log"); }
    const TTempDir& Dir() const { return FDir; }

private:
    TTempDir FDir;
    uint16_t FPort = 0;
    std::unique_ptr<TChildProcess> FProcess;
};

struct TCurlResult {
    int Code = -1;
    std::string Body;
    std::string Headers;
};

TCurlResult Curl(const TTempDir& dir, std::vector<std::string> options, const std::string& url) {
    std::string out = dir / "body", headers = dir / "headers";
    std::filesystem::remove(out);
    std::filesystem::remove(headers);
    std::vector<std::string> args = {"/usr/bin/curl", "-s", "--max-time", "30", "-o", out,
                                     "-D", headers};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);
    TChildProcess curl(args, {});
    TCurlResult r;
    r.Code = curl.WaitForExit(WaitMs);
    r.Body = ReadFileText(out);
    r.Headers = ReadFileText(headers);
    return r;
}


// Another process: no event to await, so its port is polled for up to 5 s.
bool RunUntilConnectable(uint16_t port) {
    for (int i = 0; i < 250; ++i) {
        TSocketHandle h = ConnectBlocking(port);
        if (h != INVALID_SOCKETHANDLE) {
            SocketClose(h);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The transfers curl reports as answered with 200 ("-w code=%{http_code}\n").
size_t CountAnswered(const std::string& output) {
    size_t ok = 0;
    for (size_t p = output.find("code=200"); p != std::string::npos;
         p = output.find("code=200", p + 8))
        ++ok;
    return ok;
}

// The field names of a response head, in order.
std::vector<std::string> FieldNames(const std::string& head) {
    std::vector<std::string> names;
    size_t p = head.find("\r\n");
    while (p != std::string::npos && p + 2 < head.size()) {
        size_t end = head.find("\r\n", p + 2);
        std::string line = head.substr(p + 2, end - p - 2);
        if (line.empty())
            break;
        names.push_back(line.substr(0, line.find(':')));
        p = end;
    }
    return names;
}

} // namespace

TEST(HTTPProxyE2E, BodiesPassByteForByte) {
    TRecordingOrigin origin;
    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    const TTempDir& d = proxy.Dir();

    TCurlResult big = Curl(d, {"-x", proxy.Proxy()}, origin.Url("/big"));
    EXPECT_EQ(big.Code, 0);
    EXPECT_TRUE(big.Body == origin.Big()) << "5 MB body differs, size " << big.Body.size();

    TCurlResult head = Curl(d, {"-x", proxy.Proxy(), "-I"}, origin.Url("/big"));
    EXPECT_EQ(head.Code, 0);
    EXPECT_NE(head.Headers.find("Content-Length: 5000000"), std::string::npos) << head.Headers;

    std::string upload = Pattern(2 * 1000 * 1000);
    WriteFileText(d / "upload", upload);
    TCurlResult echo = Curl(d, {"-x", proxy.Proxy(), "--data-binary", "@" + (d / "upload")},
                            origin.Url("/echo"));
    EXPECT_EQ(echo.Code, 0);
    EXPECT_TRUE(echo.Body == upload) << "2 MB echo differs, size " << echo.Body.size();

    // Chunked framing, extension and trailer reach the client exactly as the origin sent them.
    std::string chunked = BlockingExchange(proxy.Port(), "GET " + origin.Url("/chunked") +
                                                     " HTTP/1.1\r\nConnection: close\r\n\r\n");
    size_t bodyStart = chunked.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos) << chunked;
    EXPECT_EQ(chunked.substr(bodyStart + 4), TRecordingOrigin::kChunkedBody);
    EXPECT_NE(chunked.find("Transfer-Encoding: chunked"), std::string::npos);

    // A body ended by the origin closing: streamed, then the client connection closes too
    // (even though the client asked to keep it).
    std::string untilClose = BlockingExchange(proxy.Port(), "GET " + origin.Url("/close") +
                                                        " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(untilClose.find("\r\n\r\nstreamed until close"), std::string::npos) << untilClose;
    EXPECT_NE(untilClose.find("Connection: close"), std::string::npos) << untilClose;
}

TEST(HTTPProxyE2E, KeepAliveAndManyClientsAtOnce) {
    TRecordingOrigin origin;
    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    const TTempDir& d = proxy.Dir();
    // Two requests on one client connection: curl says it reused it.
    std::string out = d / "two";
    TChildProcess two({"/usr/bin/curl", "-sv", "--max-time", "20", "-x", proxy.Proxy(), "-o",
                       out, origin.Url("/a"), "-o", out, origin.Url("/b")},
                      {});
    ASSERT_EQ(two.WaitForExit(WaitMs), 0) << two.Output();
    EXPECT_NE(two.Output().find("Re-using existing connection"), std::string::npos)
        << two.Output();

    // 200 fetches in parallel, each its own connection.
    std::vector<std::string> args = {"/usr/bin/curl", "-s", "--max-time", "60", "--parallel",
                                     "--parallel-max", "200", "-x", proxy.Proxy(), "-w",
                                     "code=%{http_code}\n"};
    for (int i = 0; i < 200; ++i) {
        args.push_back("-o");
        args.push_back("/dev/null");
        args.push_back(origin.Url("/p" + std::to_string(i)));
    }
    TChildProcess many(args, {});
    ASSERT_EQ(many.WaitForExit(90000), 0);
    EXPECT_EQ(CountAnswered(many.Output()), 200u) << many.Output();
}

TEST(HTTPProxyE2E, KeepAliveRequestsShareFewOriginConnections) {
    TRecordingOrigin origin;
    uint16_t statusPort = FreeLoopbackPort();
    THttpProxyProgram proxy("", "[Proxy-Status]\nServerPort=" + std::to_string(statusPort) + "\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    // A curl fetching count pages one after another on one connection to the proxy.
    auto fetcher = [&](int count, const std::string& name) {
        std::vector<std::string> args = {"/usr/bin/curl", "-s", "--max-time", "60", "-x",
                                         proxy.Proxy(), "-w", "code=%{http_code}\n"};
        for (int i = 0; i < count; ++i) {
            args.push_back("-o");
            args.push_back("/dev/null");
            args.push_back(origin.Url("/" + name + std::to_string(i)));
        }
        return std::make_unique<TChildProcess>(args, std::map<std::string, std::string>{});
    };
    auto one = fetcher(200, "one");
    ASSERT_EQ(one->WaitForExit(90000), 0);
    EXPECT_EQ(CountAnswered(one->Output()), 200u) << one->Output();
    EXPECT_LE(origin.Accepted(), 2);
    // Every request but those that opened a connection went over a kept one: the status
    // page counts them.
    std::string metrics = BlockingExchange(statusPort, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_NE(metrics.find("\ncorvan_reused_connections_total{service=\"http\"} " +
                           std::to_string(200 - origin.Accepted()) + "\n"),
              std::string::npos)
        << metrics;

    // 16 at once: at most one connection each in use, and the 8 a destination keeps idle.
    constexpr int kClients = 16;
    int before = origin.Accepted();
    std::vector<std::unique_ptr<TChildProcess>> clients;
    for (int c = 0; c < kClients; ++c)
        clients.push_back(fetcher(50, "c" + std::to_string(c) + "-"));
    for (auto& client : clients) {
        ASSERT_EQ(client->WaitForExit(90000), 0);
        EXPECT_EQ(CountAnswered(client->Output()), 50u) << client->Output();
    }
    EXPECT_LE(origin.Accepted() - before, kClients + 8);
}

TEST(HTTPProxyE2E, ASmallAnswerReachesTheClientInOneSegment) {
    // Head and body apart, a client is woken for the head alone and waits again for the body
    // (and the proxy's thread may be set aside by that wake-up before it sends it): the
    // slowest answers of a busy proxy. A small answer that came whole goes in one send, on
    // the client connection's first request and over the kept origin connection after it.
    TRecordingOrigin origin;
    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    TSocketHandle client = ConnectBlocking(proxy.Port());
    ASSERT_NE(client, INVALID_SOCKETHANDLE);
    std::string pending;
    for (uint32_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(SendAll(client, "GET " + origin.Url("/small" + std::to_string(i)) +
                                        " HTTP/1.1\r\nHost: x\r\n\r\n"));
        THttpMessageText answer;
        ASSERT_TRUE(ReadHttpMessage(client, pending, answer));
        EXPECT_EQ(answer.Head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.Head;
        EXPECT_EQ(answer.Body, "ok");
        EXPECT_EQ(DataSegmentsReceived(client), i) << "answer " << i;
    }
    SocketClose(client);
    EXPECT_EQ(origin.Accepted(), 1);
}

TEST(HTTPProxyE2E, RewritesRequestsForTheNextHop) {
    TRecordingOrigin origin;
    THttpProxyProgram proxy("UpdateXForwardedFor=1\nUpdateVia=1\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    std::string hostPort = "127.0.0.1:" + std::to_string(origin.Port());

    // Absolute target to origin form; keep-alive asked of the origin; hop-by-hop fields named
    // by "Connection" (all of them), the proxy login and "Connection" itself gone; no "Host"
    // given: it comes from the target. A client at 127.0.0.1 is not added to
    // "X-Forwarded-For", and a proxy on 127.0.0.1 adds no "Via".
    std::string reply = BlockingExchange(
        proxy.Port(), "GET " + origin.Url("/a?q=1") +
                          " HTTP/1.1\r\nConnection: keep-alive, X-Secret, X-Other\r\n"
                          "Proxy-Connection: close\r\n"
                          "X-Secret: s\r\nX-Other: o\r\nX-Kept: k\r\nProxy-Authorization: Basic "
                          "eDp5\r\nKeep-Alive: 300\r\nX-Forwarded-For: 10.1.1.1\r\n\r\n");
    EXPECT_NE(reply.find("HTTP/1.1 200 OK"), std::string::npos) << reply;
    std::vector<TRecorded> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1u);
    const std::string& h = seen[0].Head;
    EXPECT_EQ(h.rfind("GET /a?q=1 HTTP/1.1\r\n", 0), 0u) << h;
    EXPECT_NE(h.find("\r\nHost: " + hostPort + "\r\n"), std::string::npos) << h;
    EXPECT_NE(h.find("\r\nConnection: Keep-Alive\r\n"), std::string::npos) << h;
    EXPECT_NE(h.find("\r\nX-Kept: k\r\n"), std::string::npos) << h;
    EXPECT_NE(h.find("\r\nX-Forwarded-For: 10.1.1.1\r\n"), std::string::npos) << h;
    for (const char* gone : {"X-Secret", "X-Other", "Proxy-Authorization", "Keep-Alive",
                             "Proxy-Connection", "Via"})
        EXPECT_EQ(h.find(std::string("\r\n") + gone + ":"), std::string::npos) << gone << h;

    // Other methods keep the absolute target.
    origin.Clear();
    BlockingExchange(proxy.Port(), "OPTIONS " + origin.Url("/a") + " HTTP/1.1\r\nConnection: close\r\n\r\n");
    seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Head.rfind("OPTIONS " + origin.Url("/a") + " HTTP/1.1\r\n", 0), 0u)
        << seen[0].Head;

    // "Host" fields naming another site than the target (here two, the first folded) give way
    // to the target's; the fold does not travel on to continue the new "Host" at the origin,
    // nor does a line that is no field.
    origin.Clear();
    BlockingExchange(proxy.Port(), "GET " + origin.Url("/h") +
                                       " HTTP/1.1\r\nHost: elsewhere.example\r\n"
                                       " fold.example\r\nX-Between: b\r\nno field.example\r\n"
                                       "Host: third.example\r\nConnection: close\r\n\r\n");
    seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].Head.find("\r\nHost: " + hostPort + "\r\nX-Between: b\r\n"),
              std::string::npos)
        << seen[0].Head;
    EXPECT_EQ(seen[0].Head.find(".example"), std::string::npos) << seen[0].Head;
    // The same toward the client.
    reply = BlockingExchange(proxy.Port(), "GET " + origin.Url("/folded") +
                                               " HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_NE(reply.find("\r\nX-Folded: a b\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("no field"), std::string::npos) << reply;

    // A request line without a version goes out as HTTP/1.0 with the warning.
    origin.Clear();
    BlockingExchange(proxy.Port(), "GET " + origin.Url("/old") + "\r\n");
    seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Head.rfind("GET /old HTTP/1.0\r\n", 0), 0u) << seen[0].Head;
    EXPECT_NE(seen[0].Head.find(
                  "\r\nX-Version-Warning: Request was upgraded from a pre-HTTP/1.0 request.\r\n"),
              std::string::npos)
        << seen[0].Head;

    // A request to the proxy's own address and port is not forwarded.
    reply = BlockingExchange(proxy.Port(), "GET http://127.0.0.1:" + std::to_string(proxy.Port()) +
                                       "/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 508 ", 0), 0u) << reply;
    reply = BlockingExchange(proxy.Port(), "GET http://localhost:" + std::to_string(proxy.Port()) +
                                       "/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 508 ", 0), 0u) << reply;
}

// The settings of a TCP port mapping from 127.0.0.1:mapping onto the proxy's port.
std::string MappingOntoProxy(uint16_t mapping, uint16_t proxyPort) {
    return "[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\n"
           "Enabled=1\nServerProtocol=3\nServerIP=127.0.0.1\nServerPort=" +
           std::to_string(mapping) + "\nDestHost=127.0.0.1\nDestPort=" +
           std::to_string(proxyPort) + "\n";
}

TEST(HTTPProxyE2E, ARequestThatComesBackThroughOwnMappingIsAnswered508) {
    TRecordingOrigin origin;
    uint16_t proxyPort = FreeLoopbackPort();
    uint16_t mapping = FreeLoopbackPort();
    THttpProxyProgram proxy("MaxConnections=16\n", MappingOntoProxy(mapping, proxyPort),
                            proxyPort);
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    // Through the mapping the request reaches this proxy again, from the mapping's own
    // connection. A GET goes on with its path only, other methods with the whole target.
    for (std::string method : {"GET", "OPTIONS", "DELETE"}) {
        std::string reply =
            BlockingExchange(proxyPort, method + " http://127.0.0.1:" + std::to_string(mapping) +
                                            "/x HTTP/1.1\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(reply.rfind("HTTP/1.1 508 ", 0), 0u) << method << ": " << reply;
    }
    // No slot stays taken: more ordinary requests than there are slots pass.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(BlockingExchange(proxyPort, "GET " + origin.Url("/after") +
                                                  " HTTP/1.1\r\nConnection: close\r\n\r\n")
                      .rfind("HTTP/1.1 200 OK\r\n", 0),
                  0u)
            << i;
}

TEST(HTTPProxyE2E, AMappingThatExposesTheProxyOnAnotherPortIsServed) {
    TRecordingOrigin origin;
    uint16_t proxyPort = FreeLoopbackPort();
    uint16_t mapping = FreeLoopbackPort();
    THttpProxyProgram proxy("", MappingOntoProxy(mapping, proxyPort), proxyPort);
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    // The request passes through this program once: client -> mapping -> proxy -> origin.
    TCurlResult r = Curl(proxy.Dir(), {"-x", "http://127.0.0.1:" + std::to_string(mapping)},
                         origin.Url("/exposed"));
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.Headers;
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_EQ(origin.Requests()[0].Head.rfind("GET /exposed HTTP/1.1\r\n", 0), 0u);
}

TEST(HTTPProxyE2E, TunnelsAndTheirRefusals) {
    TTempDir tls;
    // A TLS origin: openssl's test server with a self-signed certificate made here.
    TChildProcess gen({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                       "-subj", "/CN=localhost", "-days", "1", "-keyout", tls / "key.pem",
                       "-out", tls / "cert.pem"},
                      {});
    ASSERT_EQ(gen.WaitForExit(WaitMs), 0) << gen.Output();
    uint16_t tlsPort = FreeLoopbackPort();
    TChildProcess server({"/usr/bin/openssl", "s_server", "-accept",
                          "127.0.0.1:" + std::to_string(tlsPort), "-cert", tls / "cert.pem",
                          "-key", tls / "key.pem", "-www", "-naccept", "1"},
                         {});
    ASSERT_TRUE(server.WaitForOutput("ACCEPT", WaitMs)) << server.Output();

    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    TCurlResult r = Curl(proxy.Dir(), {"-k", "-p", "-x", proxy.Proxy()},
                         "https://127.0.0.1:" + std::to_string(tlsPort) + "/");
    EXPECT_EQ(r.Code, 0);
    EXPECT_NE(r.Body.find("s_server"), std::string::npos) << r.Body;
    EXPECT_NE(r.Headers.find("HTTP/1.1 200 Tunnel established\r\n"), std::string::npos)
        << r.Headers;
    // The tunnel's answer: no body, no length; "Date", then "Proxy-Connection" when the client
    // sent one, else "Connection", then "Server". Then the tunnel carries bytes both ways.
    TRecordingOrigin origin;
    for (std::string field : {"Proxy-Connection", "Connection"}) {
        TSocketHandle h = ConnectBlocking(proxy.Port());
        SetReceiveTimeout(h);
        SendAll(h, "CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.1\r\n" +
                       (field == "Proxy-Connection" ? "Proxy-Connection: keep-alive\r\n" : "") +
                       "\r\nGET /t HTTP/1.1\r\nHost: x\r\n\r\n");
        // Our end of the tunnel done: the half-close travels to the origin, which then closes.
        SocketShutdown(h, TShutdownHow::sdSend);
        std::string answer = RecvAll(h);
        SocketClose(h);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 Tunnel established\r\n", 0), 0u) << answer;
        EXPECT_EQ(FieldNames(answer), (std::vector<std::string>{"Date", field, "Server"}))
            << answer;
        EXPECT_NE(answer.find("Server: Ostrel-Proxy/1.0.0 MW-HTTP/1.09\r\n"), std::string::npos);
        EXPECT_NE(answer.find("\r\n\r\nHTTP/1.1 200 OK\r\n"), std::string::npos) << answer;
    }
    EXPECT_NE(proxy.Log().find(" 200 0 1 CONNECT 127.0.0.1:" + std::to_string(tlsPort) +
                               " HTTP/1.1\r\n"),
              std::string::npos)
        << proxy.Log();

    THttpProxyProgram off("EnableTunnelling=0\n");
    ASSERT_TRUE(off.Ready);
    std::string reply = BlockingExchange(off.Port(), "CONNECT 127.0.0.1:443 HTTP/1.1\r\nProxy-Connection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 501 Tunnelling not allowed\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Tunnelling is disabled on this server."), std::string::npos);

    THttpProxyProgram https("OnlyTunnelHTTPS=1\n");
    ASSERT_TRUE(https.Ready);
    reply = BlockingExchange(https.Port(), "CONNECT 127.0.0.1:8443 HTTP/1.1\r\nProxy-Connection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 501 Tunnelling not allowed\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Tunnelling on a non-HTTPS port is disabled on this server."),
              std::string::npos);
}

TEST(HTTPProxyE2E, LoginModes) {
    TRecordingOrigin origin;
    const std::string users = "[Proxy-ProxyUsers]\nItemCount=3\n"
                              "[Proxy-ProxyUsers.Items.0]\nName=A\nLogin=alice\nPassword=Pw\n"
                              "[Proxy-ProxyUsers.Items.1]\nName=B\nLogin=bob\nPassword=pw\n"
                              "UserDisabled=1\n"
                              "[Proxy-ProxyUsers.Items.2]\nName=C\nLogin=carol\nPassword=pw\n"
                              "AllowHTTPProxy=0\n";
    auto code = [&](const THttpProxyProgram& p, const std::string& login) {
        std::vector<std::string> options = {"-x", p.Proxy(), "-w", "%{http_code}"};
        if (!login.empty()) {
            options.push_back("--proxy-user");
            options.push_back(login);
        }
        std::string out = p.Dir() / "code";
        options.push_back("-o");
        options.push_back("/dev/null");
        std::vector<std::string> args = {"/usr/bin/curl", "-s", "--max-time", "20"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(origin.Url("/x"));
        TChildProcess c(args, {});
        c.WaitForExit(WaitMs);
        return c.Output();
    };
    {
        THttpProxyProgram open("LoginMode=0\n");
        ASSERT_TRUE(open.Ready);
        EXPECT_EQ(code(open, ""), "200");
    }
    {
        THttpProxyProgram shared("LoginMode=1\nLoginPassword=Secret\n");
        ASSERT_TRUE(shared.Ready);
        EXPECT_EQ(code(shared, ""), "407");
        EXPECT_EQ(code(shared, "anyone:sECRET"), "200"); // letter case of the password ignored
        EXPECT_EQ(code(shared, "anyone:wrong"), "407");
        // The 407: exact field order, realm, and the connection kept for the retry.
        std::string reply = BlockingExchange(shared.Port(), "GET " + origin.Url("/x") +
                                                        " HTTP/1.1\r\nHost: h\r\n\r\n"
                                                        "GET " + origin.Url("/x") +
                                                        " HTTP/1.1\r\nHost: h\r\nProxy-"
                                                        "Authorization: Basic eDpzZWNyZXQ=\r\n"
                                                        "Connection: close\r\n\r\n");
        EXPECT_EQ(reply.rfind("HTTP/1.1 407 Proxy authentication required\r\n", 0), 0u) << reply;
        EXPECT_EQ(FieldNames(reply),
                  (std::vector<std::string>{"Content-Type", "Pragma", "Proxy-Authenticate", "Date",
                                            "Content-Length", "Connection", "Server"}))
            << reply;
        EXPECT_NE(reply.find("Proxy-Authenticate: Basic Realm=\"HTTP Proxy\"\r\n"),
                  std::string::npos);
        EXPECT_NE(reply.find("HTTP/1.1 200 OK"), std::string::npos) << "no retry answer: " << reply;
        EXPECT_NE(shared.Log().find(" 407 "), std::string::npos) << shared.Log();
        // A refused login is answered from the head alone: the 64 MiB body it announces is
        // neither waited for nor held, and the connection closes after the answer.
        TSocketHandle h = ConnectBlocking(shared.Port());
        SetReceiveTimeout(h, 10);
        SendAll(h, "POST " + origin.Url("/echo") +
                       " HTTP/1.1\r\nHost: h\r\nContent-Length: 67108864\r\n\r\n");
        std::string early = RecvAll(h);
        SocketClose(h);
        EXPECT_EQ(early.rfind("HTTP/1.1 407 ", 0), 0u) << early;
        EXPECT_NE(early.find("Connection: close\r\n"), std::string::npos) << early;
    }
    {
        // No password set: nobody is let in, with an empty password neither, and the start
        // says so.
        THttpProxyProgram unset("LoginMode=1\n");
        ASSERT_TRUE(unset.Ready);
        EXPECT_EQ(code(unset, "anyone:"), "407");
        EXPECT_EQ(code(unset, "anyone:x"), "407");
        EXPECT_NE(unset.Output().find("every login is refused"), std::string::npos)
            << unset.Output();
    }
    {
        THttpProxyProgram configured("LoginMode=2\n", users);
        ASSERT_TRUE(configured.Ready);
        EXPECT_EQ(code(configured, "ALICE:pw"), "200");
        EXPECT_EQ(code(configured, "alice:nope"), "407");
        EXPECT_EQ(code(configured, "bob:pw"), "407");   // UserDisabled
        EXPECT_EQ(code(configured, "carol:pw"), "407"); // no AllowHTTPProxy
    }
    {
        // A validation program written for the test: accepts "good" with password "p%20w"
        // as sent (a blank in the password), answers two lines for "twice" (the first "ERR"),
        // nothing for "silent", dies for "die"; greeting: what it prints before the first
        // question.
        TTempDir d;
        auto validator = [&](const std::string& name, const std::string& greeting) {
            std::string script = d / name;
            WriteFileText(script, "#!/bin/sh\n" + greeting + "while read user pass; do\n"
                                  "  case \"$user\" in\n"
                                  "    good) if [ \"$pass\" = \"p%20w\" ]; then echo OK; else echo ERR; fi;;\n"
                                  "    twice) echo ERR; echo OK;;\n"
                                  "    silent) sleep 10;;\n"
                                  "    die) exit 3;;\n"
                                  "    *) echo ERR;;\n"
                                  "  esac\ndone\n");
            std::filesystem::permissions(script, std::filesystem::perms::owner_all);
            return script;
        };
        // Each login gets its own answer, never the one before it, whatever else the program
        // printed.
        auto answersInStep = [&](const THttpProxyProgram& p) {
            EXPECT_EQ(code(p, "good:p w"), "200");
            EXPECT_EQ(code(p, "good:wrong"), "407");
            EXPECT_EQ(code(p, "twice:x"), "407");
            EXPECT_EQ(code(p, "good:wrong"), "407");
            EXPECT_EQ(code(p, "good:p w"), "200");
        };
        THttpProxyProgram scripted("LoginMode=3\nLoginScript=" + validator("check.sh", "") +
                                   "\n");
        ASSERT_TRUE(scripted.Ready);
        EXPECT_EQ(code(scripted, "good:p w"), "200");
        EXPECT_EQ(code(scripted, "good:other"), "407");
        EXPECT_EQ(code(scripted, "die:x"), "407");
        EXPECT_EQ(code(scripted, "good:p w"), "200"); // started again
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(code(scripted, "silent:x"), "407");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
        EXPECT_EQ(code(scripted, "good:p w"), "200");
        answersInStep(scripted);

        THttpProxyProgram greeting("LoginMode=3\nLoginScript=" +
                                   validator("greeting.sh", "echo OK, ready\n") + "\n");
        ASSERT_TRUE(greeting.Ready);
        answersInStep(greeting);

        THttpProxyProgram none("LoginMode=3\n");
        ASSERT_TRUE(none.Ready);
        EXPECT_EQ(code(none, "good:p w"), "407");
        EXPECT_EQ(code(none, "good:p w"), "407");
        std::string out = none.StopAndOutput();
        size_t first = out.find("no validation program is set");
        EXPECT_NE(first, std::string::npos) << out;
        EXPECT_EQ(out.find("no validation program is set", first + 1), std::string::npos)
            << "reported more than once: " << out;

        THttpProxyProgram missing("LoginMode=3\nLoginScript=" + (d / "missing.sh") + "\n");
        ASSERT_TRUE(missing.Ready);
        EXPECT_EQ(code(missing, "good:p w"), "407");
    }
}

TEST(HTTPProxyE2E, AUserRecordThatDoesNotReadAdmitsNoLogin) {
    TRecordingOrigin origin;
    const uint16_t port = FreeLoopbackPort();
    const std::string http =
        "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + std::to_string(port) +
        "\nLoginMode=2\n";
    auto settings = [&](const std::string& annaDisabled, const std::string& cleoDisabled) {
        return http + "[Proxy-ProxyUsers]\nItemCount=3\n" +
               "[Proxy-ProxyUsers.Items.0]\nName=A\nLogin=anna\nPassword=pw\n" +
               "UserDisabled=" + annaDisabled + "\n" +
               "[Proxy-ProxyUsers.Items.1]\nName=B\nLogin=bert\nPassword=pw\n" +
               "AllowHTTPProxy=true\n" +
               "[Proxy-ProxyUsers.Items.2]\nName=C\nLogin=cleo\nPassword=pw\n" +
               "UserDisabled=" + cleoDisabled + "\n";
    };
    THeadlessProgram program(settings("yes", "0"));
    ASSERT_TRUE(program.Ready) << program.Output();
    auto status = [&](const std::string& login) {
        return Curl(program.Dir(),
                    {"-x", "http://127.0.0.1:" + std::to_string(port), "--proxy-user",
                     login + ":pw"},
                    origin.Url("/x"))
            .Headers.substr(0, 12);
    };
    EXPECT_EQ(status("anna"), "HTTP/1.1 407");
    EXPECT_EQ(status("bert"), "HTTP/1.1 407");
    EXPECT_EQ(status("cleo"), "HTTP/1.1 200");
    EXPECT_NE(program.Output().find("UserDisabled=yes in [Proxy-ProxyUsers.Items.0] is not 0 or 1"),
              std::string::npos)
        << program.Output();

    // Read again: anna's record corrected, cleo's now malformed, bert's as it was.
    const std::string reloaded = settings("0", "true");
    WriteFileText(program.SettingsFile(), reloaded);
    program.Process().Signal(SIGHUP);
    ASSERT_TRUE(program.Process().WaitForOutput("removed or changed", WaitMs)) << program.Output();
    EXPECT_NE(
        program.Output().find("UserDisabled=true in [Proxy-ProxyUsers.Items.2] is not 0 or 1"),
        std::string::npos)
        << program.Output();
    EXPECT_EQ(status("anna"), "HTTP/1.1 200");
    EXPECT_EQ(status("cleo"), "HTTP/1.1 407");
    std::string output = program.Output();
    const std::string bert = "AllowHTTPProxy=true in [Proxy-ProxyUsers.Items.1]";
    size_t first = output.find(bert);
    EXPECT_NE(first, std::string::npos) << output;
    EXPECT_EQ(output.find(bert, first + 1), std::string::npos) << "named once: " << output;

    // Nothing the administrator wrote is written over at the stop.
    EXPECT_EQ(program.Stop(), 0) << program.Output();
    EXPECT_EQ(ReadFileText(program.SettingsFile()), reloaded);
}

TEST(HTTPProxyE2E, FramingTableReachesOriginOnceOrNotAtAll) {
    TRecordingOrigin origin;
    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    std::string target = "POST " + origin.Url("/echo") + " HTTP/1.1\r\nHost: h\r\n";
    struct TCase {
        const char* Name;
        std::string Rest;     // after the request line and Host
        const char* Expected; // the body the origin gets, or null: refused with 400
    };
    const std::vector<TCase> cases = {
        {"plain length", "Content-Length: 5\r\n\r\nhello", "hello"},
        {"zero length", "Content-Length: 0\r\n\r\n", ""},
        {"no framing", "\r\n", ""},
        {"same length twice", "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello", "hello"},
        {"length list", "Content-Length: 5, 5\r\n\r\nhello", "hello"},
        {"two lengths", "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", nullptr},
        {"length list differs", "Content-Length: 5, 6\r\n\r\nhello!", nullptr},
        {"blank before colon", "Content-Length : 5\r\n\r\nhello", nullptr},
        {"plus sign", "Content-Length: +5\r\n\r\nhello", nullptr},
        {"minus sign", "Content-Length: -5\r\n\r\nhello", nullptr},
        {"hex length", "Content-Length: 0x5\r\n\r\nhello", nullptr},
        {"empty length", "Content-Length: \r\n\r\nhello", nullptr},
        {"overflowing length", "Content-Length: 99999999999999999999999\r\n\r\nhello", nullptr},
        {"chunked", "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"chunked with trailing blank", "Transfer-Encoding: chunked \r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         "hello"},
        {"Chunked capitalised", "Transfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"both framing fields",
         "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"gzip then chunked", "Transfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         nullptr},
        {"chunked then gzip", "Transfer-Encoding: chunked, gzip\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         nullptr},
        {"chunked twice", "Transfer-Encoding: chunked, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         nullptr},
        {"unknown coding", "Transfer-Encoding: gzip\r\n\r\nhello", nullptr},
        {"empty coding", "Transfer-Encoding: \r\n\r\nhello", nullptr},
        {"huge chunk size",
         "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\nhello\r\n0\r\n\r\n", nullptr},
        {"chunk size not hex", "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
         nullptr},
        {"chunk data too long", "Transfer-Encoding: chunked\r\n\r\n3\r\nhello\r\n0\r\n\r\n",
         nullptr},
        {"chunk extension", "Transfer-Encoding: chunked\r\n\r\n5;a=b\r\nhello\r\n0\r\n\r\n",
         "hello"},
        {"folded length", "Content-Length:\r\n 5\r\n\r\nhello", nullptr},
        {"folded coding", "Transfer-Encoding:\r\n chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", nullptr},
        {"bare LF inside the length line", "Content-Length: 5\nX: y\r\n\r\nhello", nullptr},
        // The bare LF joins the length line to X's value: no length, so no body (and "hello"
        // never becomes a request of its own).
        {"bare LF before a length line", "X: y\nContent-Length: 5\r\n\r\nhello", ""},
        {"blank before coding colon",
         "Transfer-Encoding : chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", nullptr},
    };
    ASSERT_GE(cases.size(), 25u);
    for (const TCase& c : cases) {
        origin.Clear();
        std::string reply = BlockingExchange(proxy.Port(), target + "Connection: close\r\n" + c.Rest);
        std::vector<TRecorded> seen = origin.Requests();
        if (!c.Expected) {
            EXPECT_EQ(reply.rfind("HTTP/1.1 400 ", 0), 0u) << c.Name << ": " << reply;
            EXPECT_TRUE(seen.empty()) << c.Name << ": reached the origin";
        } else {
            EXPECT_EQ(reply.rfind("HTTP/1.1 200 ", 0), 0u) << c.Name << ": " << reply;
            ASSERT_EQ(seen.size(), 1u) << c.Name;
            EXPECT_EQ(seen[0].Body, c.Expected) << c.Name;
            // The origin gets one framing, the length of the exact body.
            EXPECT_EQ(seen[0].Head.find("Transfer-Encoding"), std::string::npos) << c.Name;
        }
    }
}

TEST(HTTPProxyE2E, RequestLinesAndFieldNamesReadTwoWaysNeverReachTheOrigin) {
    TRecordingOrigin origin;
    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    const std::string url = origin.Url("/x");
    const std::string rest = "Host: h\r\nConnection: close\r\n\r\n";
    struct TCase {
        const char* Name;
        std::string Request;
        bool Refused;
    };
    const std::vector<TCase> cases = {
        {"plain", "GET " + url + " HTTP/1.1\r\n" + rest, false},
        {"blank in the target", "GET " + url + " y HTTP/1.1\r\n" + rest, true},
        {"blank in a target without version", "GET " + url + " y\r\n", true},
        {"bare CR in the request line", "GET " + url + "\ry HTTP/1.1\r\n" + rest, true},
        {"bare LF in the request line", "GET " + url + " HTTP/1.1\nX: y\r\n" + rest, true},
        {"blank in a field name", "GET " + url + " HTTP/1.1\r\nX Y: 1\r\n" + rest, true},
        {"separator in a field name", "GET " + url + " HTTP/1.1\r\nX@Y: 1\r\n" + rest, true},
        {"empty field name", "GET " + url + " HTTP/1.1\r\n: 1\r\n" + rest, true},
    };
    for (const TCase& c : cases) {
        origin.Clear();
        std::string reply = BlockingExchange(proxy.Port(), c.Request);
        EXPECT_EQ(reply.rfind(c.Refused ? "HTTP/1.1 400 " : "HTTP/1.1 200 ", 0), 0u)
            << c.Name << ": " << reply;
        EXPECT_EQ(origin.Requests().size(), c.Refused ? 0u : 1u) << c.Name;
    }
}

TEST(HTTPProxyE2E, BandwidthLimit) {
    TRecordingOrigin origin;
    THttpProxyProgram limited("LimitBandwidth=1\nBandwidthLimit=200000\n");
    ASSERT_TRUE(limited.Ready) << limited.Output();
    std::string out = limited.Dir() / "limited";
    auto start = std::chrono::steady_clock::now();
    TChildProcess c({"/usr/bin/curl", "-s", "--max-time", "40", "-x", limited.Proxy(), "-o", out,
                     origin.Url("/2mb")},
                    {});
    ASSERT_EQ(c.WaitForExit(60000), 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(std::filesystem::file_size(out), 2000000u);
    double rate = 2000000.0 / seconds;
    EXPECT_LE(rate, 200000.0 * 1.02) << seconds << " s";
    EXPECT_GE(rate, 200000.0 / 1.25) << seconds << " s";

    for (const char* limit : {"0", "1"}) {
        THttpProxyProgram p(std::string("LimitBandwidth=1\nBandwidthLimit=") + limit + "\n");
        ASSERT_TRUE(p.Ready);
        TCurlResult r = Curl(p.Dir(), {"-x", p.Proxy(), "--max-time", "3"}, origin.Url("/x"));
        EXPECT_NE(r.Code, -1) << limit;
    }
}

TEST(HTTPProxyE2E, UpstreamProxies) {
    TRecordingOrigin origin;
    // tinyproxy as the up-stream HTTP proxy, microsocks as the up-stream SOCKS5 proxy.
    if (!std::filesystem::exists("/usr/bin/tinyproxy"))
        GTEST_SKIP() << "tinyproxy is not installed (scripts/setup.sh --tests installs it)";
    TTempDir d;
    uint16_t tinyPort = FreeLoopbackPort();
    WriteFileText(d / "tinyproxy.conf", "Port " + std::to_string(tinyPort) +
                                            "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                                            "Allow 127.0.0.1\nLogLevel Info\n");
    TChildProcess tiny({"/usr/bin/tinyproxy", "-d", "-c", d / "tinyproxy.conf"}, {});
    ASSERT_TRUE(RunUntilConnectable(tinyPort)) << tiny.Output();
    TMicrosocks socks;
    ASSERT_TRUE(socks.Running()) << "microsocks did not start";

    std::string http = "[Proxy-HTTP-HTTPProxy]\nUseProxy=1\nHost=127.0.0.1\nPort=" +
                       std::to_string(tinyPort) + "\n";
    std::string socks5 = "[Proxy-HTTP-SocksProxy]\nUseProxy=1\nHost=127.0.0.1\nPort=" +
                         std::to_string(socks.Port()) + "\n";
    for (const std::string& sections : {http, socks5, http + socks5}) {
        origin.Clear();
        THttpProxyProgram proxy("", sections);
        ASSERT_TRUE(proxy.Ready);
        TCurlResult r = Curl(proxy.Dir(), {"-x", proxy.Proxy()}, origin.Url("/big"));
        EXPECT_EQ(r.Code, 0) << sections;
        EXPECT_TRUE(r.Body == origin.Big()) << sections << " size " << r.Body.size();
        ASSERT_EQ(origin.Requests().size(), 1u) << sections;
        if (sections.find("-HTTPProxy") != std::string::npos)
            EXPECT_NE(origin.Requests()[0].Head.find("tinyproxy"), std::string::npos)
                << origin.Requests()[0].Head;
        else
            EXPECT_EQ(origin.Requests()[0].Head.find("tinyproxy"), std::string::npos);
    }
}

// A browser through the proxy: headless Chromium loads a page with three images and a script,
// once over plain HTTP and once over a CONNECT tunnel to a TLS origin (self-signed). The origin
// must see every resource of both pages, the script must have run (its marker in the DOM
// Chromium dumps) and the proxy's log must show the forwarded GET and the tunnel.
TEST(HTTPProxyE2E, ChromiumLoadsPagesThroughTheProxy) {
    const std::string chromium = "/usr/bin/chromium";
    if (::access(chromium.c_str(), X_OK) != 0)
        GTEST_SKIP() << "Chromium is not installed at " << chromium << " (scripts/setup.sh --tests)";
    TTempDir d;
    TChildProcess gen({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                       "-subj", "/CN=localhost", "-days", "1", "-keyout", d / "key.pem", "-out",
                       d / "cert.pem"},
                      {});
    ASSERT_EQ(gen.WaitForExit(WaitMs), 0) << gen.Output();
    std::filesystem::create_directories(d / "www");
    // Plain and TLS origin in one process; one line per request ("http /a.gif").
    WriteFileText(d / "origin.py", R"PY(
import http.server, ssl, sys, threading, os
root, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]
gif = bytes.fromhex("47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b")
with open(os.path.join(root, "index.html"), "w") as f:
    f.write('<html><body><img src="a.gif"><img src="b.gif"><img src="c.gif">'
            '<div id="m">static</div><script src="app.js"></script></body></html>')
with open(os.path.join(root, "app.js"), "w") as f:
    f.write("document.getElementById('m').textContent = 'made-by-' + 'script';")
for n in "abc":
    with open(os.path.join(root, n + ".gif"), "wb") as f:
        f.write(gif)
class H(http.server.SimpleHTTPRequestHandler):
    def __init__(s, *a, **k): super().__init__(*a, directory=root, **k)
    def log_message(s, fmt, *args):
        sys.stdout.write("%s %s\n" % (s.server.scheme, s.path)); sys.stdout.flush()
def server(scheme):
    s = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
    s.scheme = scheme; s.daemon_threads = True
    return s
plain, tls = server("http"), server("https")
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); ctx.load_cert_chain(cert, key)
tls.socket = ctx.wrap_socket(tls.socket, server_side=True)
print("ports %d %d ." % (plain.server_address[1], tls.server_address[1]), flush=True)
threading.Thread(target=tls.serve_forever, daemon=True).start()
plain.serve_forever()
)PY");
    TChildProcess origin({"/usr/bin/python3", d / "origin.py", d / "www", d / "cert.pem",
                          d / "key.pem"},
                         {});
    ASSERT_TRUE(origin.WaitForOutput(" .\n", WaitMs)) << origin.Output();
    int plainPort = 0, tlsPort = 0;
    ASSERT_EQ(std::sscanf(origin.Output().c_str(), "ports %d %d", &plainPort, &tlsPort), 2);

    THttpProxyProgram proxy;
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    // timeout signals Chromium's whole process group, helpers included.
    auto load = [&](const std::string& url, const std::string& profile) {
        TChildProcess browser({"/usr/bin/timeout", "-k", "2", "15", chromium, "--headless",
                               "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--user-data-dir=" + (d / profile),
                               "--proxy-server=" + proxy.Proxy(),
                               // Loopback is reached directly unless this removes the rule.
                               "--proxy-bypass-list=<-loopback>", "--ignore-certificate-errors",
                               "--dump-dom", url},
                              {});
        int code = browser.WaitForExit(WaitMs);
        return std::make_pair(code, browser.Output());
    };
    auto [code, dom] = load("http://127.0.0.1:" + std::to_string(plainPort) + "/", "p1");
    if (code != 0 && dom.find("<html") == std::string::npos)
        GTEST_SKIP() << "Chromium cannot run here (exit " << code << "): "
                     << dom.substr(0, 600);
    EXPECT_NE(dom.find("made-by-script"), std::string::npos) << dom;
    auto [tlsCode, tlsDom] = load("https://127.0.0.1:" + std::to_string(tlsPort) + "/", "p2");
    EXPECT_EQ(tlsCode, 0) << tlsDom;
    EXPECT_NE(tlsDom.find("made-by-script"), std::string::npos) << tlsDom;
    for (std::string scheme : {"http", "https"})
        for (std::string path : {"/", "/a.gif", "/b.gif", "/c.gif", "/app.js"})
            EXPECT_TRUE(origin.WaitForOutput(scheme + " " + path + "\n", 5000))
                << scheme << " " << path << " never reached the origin:\n" << origin.Output();
    // A tunnel's line is written when the tunnel ends: the file is polled for up to 5 s.
    std::string get = " GET http://127.0.0.1:" + std::to_string(plainPort) + "/a.gif HTTP/1.1";
    std::string connect = " CONNECT 127.0.0.1:" + std::to_string(tlsPort) + " HTTP/1.1";
    std::string log;
    for (int i = 0; i < 100; ++i) {
        log = proxy.Log();
        if (log.find(get) != std::string::npos && log.find(connect) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(log.find(get), std::string::npos) << log;
    EXPECT_NE(log.find(connect), std::string::npos) << log;
}

TEST(HTTPProxyE2E, RequestLogRollsOverKeepingTheNewestLines) {
    TRecordingOrigin origin;
    constexpr int kRequests = 2000;
    constexpr size_t kMaxSize = 20000;
    THttpProxyProgram proxy("", "[Application]\nLogMaxSize=20000\nLogKeep=3\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    // One client, one request after the other: curl's range expands to /r0000 ... /r1999.
    TChildProcess curl({"/usr/bin/curl", "-s", "--max-time", "120", "-x", proxy.Proxy(),
                        origin.Url("/r[0000-1999]")},
                       {});
    ASSERT_EQ(curl.WaitForExit(150000), 0) << curl.Output();
    std::string log = proxy.Dir() / "data/Corvan/ProxyApp/httpproxy.log";
    // The last line is written once its answer went out, which curl may see first.
    for (int i = 0; i < 250 && proxy.Log().find("/r1999 ") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::string all;
    for (const char* suffix : {".3", ".2", ".1", ""}) {
        EXPECT_TRUE(std::filesystem::exists(log + suffix)) << suffix;
        std::string text = ReadFileText(log + suffix);
        size_t longest = 0;
        for (size_t p = 0, end; (end = text.find("\r\n", p)) != std::string::npos; p = end + 2)
            longest = std::max(longest, end + 2 - p);
        EXPECT_LE(text.size(), kMaxSize + longest) << suffix;
        all += text;
    }
    EXPECT_FALSE(std::filesystem::exists(log + ".4"));
    // The newest lines, in order and without a gap, up to the last request.
    std::vector<int> numbers;
    for (size_t p = all.find("/r"); p != std::string::npos; p = all.find("/r", p + 1))
        numbers.push_back(std::stoi(all.substr(p + 2, 4)));
    ASSERT_GT(numbers.size(), 3 * kMaxSize / 100) << "about three full files of lines";
    for (size_t i = 0; i < numbers.size(); ++i)
        ASSERT_EQ(numbers[i], kRequests - int(numbers.size()) + int(i)) << all;
}

TEST(HTTPProxyE2E, MalformedLogLimitsAreNamedAndTheDefaultsKept) {
    THttpProxyProgram proxy("", "[Application]\nLogMaxSize=20k\nLogKeep=500\n");
    ASSERT_TRUE(proxy.Ready) << proxy.Output();
    std::string output = proxy.StopAndOutput();
    EXPECT_NE(output.find("LogMaxSize=20k in [Application] is not a whole number"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("LogKeep=500 in [Application] is not from 0 to 99"), std::string::npos)
        << output;
}
