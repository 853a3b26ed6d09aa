// The HTTP server connection on loopback: real clients (raw sockets and curl) against a small
// server answering from its hooks; the refusals (400, 413, 414), the time-outs and the
// connection limit.
#include "http/HTTPServer.h"

#include "support/HttpTestServer.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <thread>
#include <vector>

using namespace corvan;
using namespace corvan::test;

namespace {

const char* const kCurl = "/usr/bin/curl";

// Runs curl with args (after -s) while the main thread serves its loop; its output.
std::string RunCurl(const std::vector<std::string>& args) {
    return OffMain<std::string>([&] {
        std::vector<std::string> argv{kCurl, "-s", "--max-time", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        TChildProcess curl(argv, {}, {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"});
        EXPECT_EQ(curl.WaitForExit(25000), 0) << curl.Output();
        return curl.Output();
    });
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The header block of the first response in text, without its Date line.
std::string HeaderWithoutDate(const std::string& text) {
    std::string header = text.substr(0, text.find("\r\n\r\n"));
    size_t date = header.find("\r\nDate: ");
    if (date != std::string::npos)
        header.erase(date, header.find("\r\n", date + 2) - date);
    return header;
}

// Whether the server closes h within ms (reading whatever comes into received, if given).
bool ClosedWithin(TSocketHandle h, int ms, std::string* received = nullptr) {
    int64_t deadline = MonotonicMillis() + ms;
    char buffer[4096];
    for (;;) {
        int left = int(deadline - MonotonicMillis());
        pollfd p{h, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) != 1)
            return false;
        int n = SocketRecv(h, buffer, sizeof buffer);
        if (n <= 0)
            return true;
        if (received)
            received->append(buffer, size_t(n));
    }
}

} // namespace

namespace {
// A connection's add reaches the main thread as a message, possibly after its answers came
// back: served until it is there, and a little longer so that a second one would be counted.
void ExpectOneAcceptedConnection(TTestHttpServer& server) {
    EXPECT_TRUE(RunLoopUntil([&] { return server.Accepted.load() >= 1; }));
    RunLoopFor(50);
    EXPECT_EQ(server.Accepted.load(), 1);
}
} // namespace

TEST(HTTPServer, ServerStringJoinsNameAndVersion) {
    AhttpServer server;
    EXPECT_EQ(server.ServerString(), "");
    server.ServerVersion = "1.0.0";
    EXPECT_EQ(server.ServerString(), ""); // no name, nothing
    server.ServerName = "Corvan-Proxy";
    EXPECT_EQ(server.ServerString(), "Corvan-Proxy/1.0.0");
    server.ServerVersion.clear();
    EXPECT_EQ(server.ServerString(), "Corvan-Proxy");
    EXPECT_EQ(server.ListenPort(), "80");
    EXPECT_EQ(server.ClientMode, cmThread);
    EXPECT_EQ(server.ClientReadTrigger.load(), 16384);
    EXPECT_EQ(server.ClientWriteBufferLimit.load(), 16384);
}

TEST(HTTPServer, CurlFetchesTwoURLsOverOneConnection) {
    TTestHttpServer server;
    server.Start();
    std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(RunCurl({base + "/a", base + "/b"}), "page /apage /b");
    ExpectOneAcceptedConnection(server);
    EXPECT_EQ(server.TotalRequests.load(), 2u);
    EXPECT_TRUE(RunLoopUntil([&] { return server.ResponsesSent.load() == 2; }));
}

// Answers go out as header and body in separate writes: every connection has the system's
// small-segment delay off, or a small answer's body would wait for the client's delayed
// acknowledgement of its header.
TEST(HTTPServer, ConnectionsSendWithoutTheSmallSegmentDelay) {
    TTestHttpServer server;
    std::atomic<int> noDelay{-1};
    server.Handler = [&](TTestHttpConnection& connection) {
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(connection.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &length);
        noDelay = value != 0;
        connection.SetResponse(std::make_unique<ThttpResponse>(200, "OK", "HTTP", 1, 1, nullptr,
                                                               "checked"));
    };
    server.Start();
    std::string answer = Exchange(server.Port(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(answer.find("checked"), std::string::npos) << answer;
    EXPECT_EQ(noDelay.load(), 1);
}

TEST(HTTPServer, BackToBackRequestsAreAnsweredInOrderOnOneConnection) {
    TTestHttpServer server;
    server.Start();
    std::string answer =
        Exchange(server.Port(), "GET /1 HTTP/1.1\r\nHost: a\r\n\r\n"
                                "GET /2 HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(CountOf(answer, "HTTP/1.1 200 OK\r\n"), 2u) << answer;
    size_t first = answer.find("page /1"), second = answer.find("page /2");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    // The second asked to close: the server says so and closes (Exchange returned).
    EXPECT_NE(answer.find("Connection: close\r\n", first), std::string::npos);
    EXPECT_NE(answer.find("\r\nServer: TestServer/2.0 MW-HTTP/1.09\r\n"), std::string::npos);
    ExpectOneAcceptedConnection(server);
}

TEST(HTTPServer, Http10WithoutKeepAliveIsAnsweredOnceAndClosed) {
    TTestHttpServer server;
    server.Start();
    // Exchange returns only when the server closes; the second request is never answered.
    std::string answer = Exchange(server.Port(), "GET /x HTTP/1.0\r\n\r\nGET /y HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(CountOf(answer, "HTTP/1.0 200"), 1u);
    EXPECT_NE(answer.find("page /x"), std::string::npos);
    EXPECT_EQ(answer.find("page /y"), std::string::npos);
}

TEST(HTTPServer, HeadGetsTheHeaderOfGetWithoutBody) {
    TTestHttpServer server;
    server.Start();
    std::string get =
        Exchange(server.Port(), "GET /doc HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    // HEAD then GET on one connection: had the HEAD carried a body, the GET's status line
    // would not follow its header directly.
    std::string both =
        Exchange(server.Port(), "HEAD /doc HTTP/1.1\r\nHost: a\r\n\r\n"
                                "GET /doc HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    std::string head = both.substr(0, both.find("\r\n\r\n") + 4);
    EXPECT_NE(head.find("Content-Length: 9\r\n"), std::string::npos) << head;
    EXPECT_EQ(both.find("HTTP/1.1 200 OK", head.size()), head.size()) << both;
    EXPECT_EQ(HeaderWithoutDate(get), HeaderWithoutDate(both.substr(head.size())));
    EXPECT_EQ(get.substr(get.find("\r\n\r\n") + 4), "page /doc");
}

TEST(HTTPServer, HookErrorBeforeHeaderGives500AndNoResponseClosesSilently) {
    TTestHttpServer server;
    server.Start();
    std::string answer = Exchange(server.Port(), "GET /raise HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Requested page could not be retrieved"), std::string::npos);
    EXPECT_NE(answer.find("Internal server error"), std::string::npos);
    EXPECT_EQ(Exchange(server.Port(), "GET /none HTTP/1.1\r\nHost: a\r\n\r\n"), "");
    EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(server.ActiveRequests.load(), 0u);
    EXPECT_EQ(server.TotalRequests.load(), 2u);
    EXPECT_GT(server.TotalBytesSent.load(), answer.size() - 1);
}

TEST(HTTPServerLimits, RefusedRequestsGetTheirStatusAndTheConnectionCloses) {
    TTestHttpServer server;
    server.Start();
    struct TCase {
        std::string Request;
        std::string Status;
    } cases[] = {
        // A target longer than the request line limit.
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", "414 "},
        // A 100-kilobyte header (in lines under the line limit).
        {"GET / HTTP/1.1\r\nHost: a\r\n" +
             [] {
                 std::string h;
                 for (int i = 0; i < 100; ++i)
                     h += "X-Filler-" + std::to_string(i) + ": " + std::string(1000, 'f') + "\r\n";
                 return h;
             }() +
             "\r\n",
         "400 "},
        // One header line over the line limit.
        {"GET / HTTP/1.1\r\nX-Long: " + std::string(20000, 'x') + "\r\n\r\n", "400 "},
        // Framing that cannot be told safely.
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
         "400 "},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "400 "},
        // A body over the content limit: refused before it is sent.
        {"POST /upload HTTP/1.1\r\nHost: a\r\nContent-Length: 999999999999\r\n\r\n", "413 "},
        // Request lines and field names a recipient could read otherwise than this server.
        {"GET /a b HTTP/1.1\r\nHost: a\r\n\r\n", "400 "},
        {"GET /a b\r\n", "400 "},
        {"GET /a\rb HTTP/1.1\r\nHost: a\r\n\r\n", "400 "},
        {"GET /a HTTP/1.1\nHost: b\r\nHost: a\r\n\r\n", "400 "},
        {"GET\t/a HTTP/1.1\r\nHost: a\r\n\r\n", "400 "},
        {"GET / HTTP/1.1\r\nHost: a\r\nX Name: 1\r\n\r\n", "400 "},
        {"GET / HTTP/1.1\r\nHost: a\r\nX-(A): 1\r\n\r\n", "400 "},
        {"GET / HTTP/1.1\r\nHost: a\r\n: 1\r\n\r\n", "400 "},
    };
    for (const TCase& c : cases) {
        std::string answer = Exchange(server.Port(), c.Request);
        EXPECT_EQ(answer.rfind("HTTP/1.1 " + c.Status, 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
        EXPECT_NE(answer.find("<HTML>"), std::string::npos) << answer;
    }
    // A request line just under the limit is served.
    std::string longTarget = "/" + std::string(8000, 'b');
    std::string answer = Exchange(
        server.Port(), "GET " + longTarget + " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    EXPECT_NE(answer.find("page " + longTarget), std::string::npos);
}

TEST(HTTPServerLimits, RequestWithLengthAndChunkedIsServedOnceThenTheConnectionCloses) {
    // Chunked wins over the length here, but a party in front that went by the length sees
    // the next request elsewhere in the bytes: nothing after such a request may be served.
    TTestHttpServer server;
    server.Start();
    std::string answer = Exchange(server.Port(),
                                  "POST /upload HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n"
                                  "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"
                                  "GET /smuggled HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("got 5 bytes"), std::string::npos) << answer;
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("/smuggled"), std::string::npos) << answer;
}

TEST(HTTPServerLimits, BodiesTakeTheirShareAsTheyArriveAnd503OnlyWhenTheBytesDoNotFit) {
    TTestHttpServer server;
    server.RequestBodyBudget = 1000; // a step is 1000 / 16 = 62 bytes
    server.Start();
    auto upload = [&](const std::string& framing, const std::string& body) {
        return Exchange(server.Port(), "POST /upload HTTP/1.1\r\nHost: a\r\n" + framing +
                                           "Connection: close\r\n\r\n" + body);
    };
    auto chunked = [](size_t size) {
        char line[16];
        std::snprintf(line, sizeof line, "%zx\r\n", size);
        return line + std::string(size, 'c') + "\r\n0\r\n\r\n";
    };
    // Two clients announce 800 bytes each and send only their heads: each holds a step, not
    // the length it declared, so the budget is not theirs to block.
    const std::string head800 =
        "POST /upload HTTP/1.1\r\nHost: a\r\nContent-Length: 800\r\nConnection: close\r\n\r\n";
    TSocketHandle slow[2];
    for (TSocketHandle& h : slow) {
        h = ConnectBlocking(server.Port());
        ASSERT_TRUE(SendAll(h, head800));
    }
    ASSERT_TRUE(RunLoopPolling([&] { return server.RequestBodyBytesHeld.load() == 2 * 62; }));
    EXPECT_NE(upload("Content-Length: 300\r\n", std::string(300, 'y')).find("got 300 bytes"),
              std::string::npos);
    EXPECT_NE(upload("Transfer-Encoding: chunked\r\n", chunked(150)).find("got 150 bytes"),
              std::string::npos);
    // Bytes that would go over the budget are refused, sized or chunked alike.
    std::string over = upload("Content-Length: 900\r\n", std::string(900, 'z'));
    EXPECT_EQ(over.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << over;
    std::string grown = upload("Transfer-Encoding: chunked\r\n", chunked(900));
    EXPECT_EQ(grown.rfind("HTTP/1.1 503 ", 0), 0u) << grown;
    // The first completes its body and is served; the second leaves: all is given back.
    ASSERT_TRUE(SendAll(slow[0], std::string(800, 'x')));
    std::string served;
    EXPECT_TRUE(OffMain<bool>([&] { return ClosedWithin(slow[0], 5000, &served); }));
    EXPECT_EQ(served.rfind("HTTP/1.1 200 ", 0), 0u) << served;
    for (TSocketHandle h : slow)
        SocketClose(h);
    ASSERT_TRUE(RunLoopPolling([&] { return server.RequestBodyBytesHeld.load() == 0; }));
    EXPECT_NE(upload("Transfer-Encoding: chunked\r\n", chunked(900)).find("got 900 bytes"),
              std::string::npos);
    EXPECT_TRUE(RunLoopPolling([&] { return server.RequestBodyBytesHeld.load() == 0; }));
    EXPECT_TRUE(RunLoopPolling([&] { return server.ActiveRequests.load() == 0; }));
}

TEST(HTTPServerTimeouts, StalledBodyEndsItsConnectionAndGivesItsShareBack) {
    TTestHttpServer server;
    server.BodyStallTimeoutMs = 500;
    server.Start();
    // Half a body, then nothing; the connection is closed by the server, not the client.
    bool closed = OffMain<bool>([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        SendAll(h, "POST /upload HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\n" +
                       std::string(50000, 'x'));
        bool gone = ClosedWithin(h, 10000);
        SocketClose(h);
        return gone;
    });
    EXPECT_TRUE(closed);
    EXPECT_TRUE(RunLoopPolling([&] { return server.RequestBodyBytesHeld.load() == 0; }));
    EXPECT_TRUE(RunLoopPolling([&] { return server.ActiveRequests.load() == 0; }));
}

TEST(HTTPServer, ClientsGoneInTheMiddleOfARequestLeaveNothingCounted) {
    TTestHttpServer server;
    server.Start();
    for (const char* part : {"GET / HTTP/1.1\r\nHost: a\r\n", "GET / HTTP/1.1\r\nHos",
                             "POST /upload HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc"}) {
        OffMain<bool>([&] {
            TSocketHandle h = ConnectBlocking(server.Port());
            SendAll(h, part);
            SocketClose(h);
            return true;
        });
    }
    ASSERT_TRUE(
        RunLoopPolling([&] { return server.Accepted.load() == 3 && server.ClientCount() == 0; }));
    EXPECT_EQ(server.TotalRequests.load(), 3u);
    EXPECT_EQ(server.ActiveRequests.load(), 0u);
    EXPECT_EQ(server.RequestBodyBytesHeld.load(), 0);
}

TEST(HTTPServerTimeouts, ClientSendingOneHeaderBytePerSecondIsAnswered408AndClosed) {
    TTestHttpServer server;
    server.HeaderTimeoutMs = 2500;
    server.Start();
    // Cut off in the header, and (a shorter wait) in the request line itself.
    for (const char* request : {"GET / HTTP/1.1\r\nHost: a\r\nX-Slow: 1234567890\r\n\r\n",
                                "GET /a-rather-long-target-sent-slowly HTTP/1.1\r\n\r\n"}) {
        int64_t start = MonotonicMillis();
        std::string answer;
        bool closed = OffMain<bool>([&] {
            TSocketHandle h = ConnectBlocking(server.Port());
            bool gone = false;
            for (const char* byte = request; *byte && !gone; ++byte)
                gone = SocketSend(h, byte, 1) != 1 || ClosedWithin(h, 1000, &answer);
            SocketClose(h);
            return gone;
        });
        int64_t took = MonotonicMillis() - start;
        EXPECT_TRUE(closed) << request;
        EXPECT_GE(took, 2400);
        EXPECT_LT(took, 6000);
        EXPECT_EQ(answer.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
    }
    EXPECT_EQ(server.ResponsesSent.load(), 2u);
}

TEST(HTTPServerTimeouts, IdleKeepAliveConnectionIsClosed) {
    TTestHttpServer server;
    server.KeepAliveTimeoutMs = 800;
    server.Start();
    int64_t idleFrom = 0;
    bool closed = OffMain<bool>([&] {
        TSocketHandle h = ConnectBlocking(server.Port());
        SendAll(h, "GET /k HTTP/1.1\r\nHost: a\r\n\r\n");
        std::string answer;
        while (answer.find("page /k") == std::string::npos) {
            std::string more = RecvWithin(h, 1, 5000);
            if (more.empty())
                break;
            answer += more;
        }
        idleFrom = MonotonicMillis();
        bool gone = answer.find("page /k") != std::string::npos && ClosedWithin(h, 5000);
        SocketClose(h);
        return gone;
    });
    EXPECT_TRUE(closed);
    EXPECT_GE(MonotonicMillis() - idleFrom, 700);
}

TEST(HTTPServerTimeouts, TricklingClientsAtTwiceTheLimitAreAllClosedThenANormalClientIsServed) {
    constexpr int kLimit = 3;
    TTestHttpServer server;
    server.MaxClients = kLimit;
    server.HeaderTimeoutMs = 1000;
    server.ClientTimeout = 120000; // only the header time-out can free a slot in time
    server.Start();
    std::atomic<int> closed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> tricklers;
    for (int i = 0; i < 2 * kLimit; ++i)
        tricklers.emplace_back([&, port = server.Port()] {
            TSocketHandle h = ConnectBlocking(port);
            SendAll(h, "G"); // begun: not idle, so only the header time-out applies
            std::string header = "ET / HTTP/1.1\r\nHost: a\r\n";
            for (int n = 0; !stop; ++n) {
                char byte = n < int(header.size()) ? header[size_t(n)] : 'x';
                if (SocketSend(h, &byte, 1) != 1 || ClosedWithin(h, 100)) {
                    ++closed;
                    break;
                }
            }
            SocketClose(h);
        });
    EXPECT_TRUE(RunLoopUntil([&] { return closed == 2 * kLimit; }, 15000));
    stop = true;
    for (auto& t : tricklers)
        t.join();
    std::string answer =
        Exchange(server.Port(), "GET /ok HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    EXPECT_NE(answer.find("page /ok"), std::string::npos);
}

TEST(HTTPServerTimeouts, AtTheLimitANewConnectionClosesTheLongestIdleOne) {
    TTestHttpServer server;
    server.MaxClients = 2;
    server.Start();
    // Each waits for its first request before the next connects: accepted is not yet idle,
    // and a loaded machine may start the threads in either order.
    auto idleCount = [&] {
        size_t n = 0;
        for (size_t i = 0; i < server.ClientCount(); ++i)
            if (auto* c = dynamic_cast<AhttpServerClient*>(server.Client(i));
                c && c->IdleSince() >= 0)
                ++n;
        return n;
    };
    TSocketHandle older = ConnectBlocking(server.Port());
    ASSERT_TRUE(RunLoopPolling([&] { return idleCount() == 1; }));
    // Idle times are in milliseconds: the newer one must be idle for less time.
    RunLoopFor(3);
    TSocketHandle newer = ConnectBlocking(server.Port());
    ASSERT_TRUE(RunLoopPolling([&] { return idleCount() == 2; }));
    int64_t start = MonotonicMillis();
    std::string answer =
        Exchange(server.Port(), "GET /in HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    EXPECT_NE(answer.find("page /in"), std::string::npos);
    EXPECT_LT(MonotonicMillis() - start, 5000); // not the 120-second idle time-out
    EXPECT_TRUE(ClosedWithin(older, 2000));
    EXPECT_FALSE(ClosedWithin(newer, 200));
    SocketClose(older);
    SocketClose(newer);
}

TEST(HTTPServer, CurlUploadsTwoMegabytesWithoutWaitingForContinue) {
    TTestHttpServer server;
    server.Start();
    TTempDir dir;
    std::string file = dir.Path() + "/upload.bin";
    {
        std::ofstream out(file, std::ios::binary);
        std::string block(1024, 'u');
        for (int i = 0; i < 2048; ++i)
            out << block;
    }
    std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/upload";
    // Without 100 Continue curl would wait 10 s before sending the body: far from what a
    // loaded machine adds to a prompt answer.
    std::string output = RunCurl({"--expect100-timeout", "10", "--data-binary", "@" + file, "-w",
                                  " %{time_total}", url});
    ASSERT_EQ(output.rfind("got 2097152 bytes ", 0), 0u) << output;
    double seconds = std::stod(output.substr(output.rfind(' ') + 1));
    EXPECT_LT(seconds, 5.0) << "curl waited for 100 Continue";
}
