// The HTTP client: the response side as a pure reader (every truncation fails, interim
// answers are skipped, limits hold), and the client against scripted loopback servers: the
// content modes, raw chunked bodies, HEAD and its errors.
#include "http/HTTPClient.h"

#include "support/NetTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// One connection on a loopback listener: reads the request header, sends Answer, then closes
// (or, with KeepOpen, waits until the client closes). Request holds what arrived.
class TScriptedServer {
public:
    explicit TScriptedServer(std::string answer, bool keepOpen = false)
        : FAnswer(std::move(answer)), FKeepOpen(keepOpen) {
        FThread = std::thread([this] {
            TSocketHandle h = Listener.Accept();
            SetReceiveTimeout(h);
            char buffer[4096];
            while (Request.find("\r\n\r\n") == std::string::npos) {
                long n = SocketRecv(h, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                Request.append(buffer, size_t(n));
            }
            SendAll(h, FAnswer);
            if (FKeepOpen)
                RecvAll(h);
            SocketClose(h);
        });
    }
    ~TScriptedServer() { Join(); }
    void Join() {
        if (FThread.joinable())
            FThread.join();
    }
    std::string Port() const { return std::to_string(Listener.Port); }

    TTestListener Listener;
    std::string Request; // read only after Join

private:
    std::string FAnswer;
    bool FKeepOpen;
    std::thread FThread;
};

std::unique_ptr<ThttpRequest> Get(const std::string& target, const std::string& method = "GET") {
    return std::make_unique<ThttpRequest>(method, target, "HTTP", 1, 1);
}

// A client for the scripted server, blocking on this thread, with a short time-out.
void Aim(ThttpClient& client, const TScriptedServer& server, const std::string& target,
         const std::string& method = "GET") {
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.TimeOut = 5000;
    client.SetRequest(Get(target, method));
}

std::unique_ptr<ThttpResponse> ReadFrom(const std::string& bytes, const std::string& method,
                                        uint8_t options = 0) {
    TStringReader reader(bytes);
    auto response = ReadHttpResponse(reader, method, options, false);
    return response;
}

} // namespace

TEST(HTTPResponseReading, EveryTruncationFailsAndTheWholeSucceeds) {
    const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhello";
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n0\r\nT: v\r\n\r\n";
    for (const std::string& whole : {sized, chunked}) {
        EXPECT_EQ(ReadFrom(whole, "GET")->GetContentString(), "hello");
        // After the last chunk the trailer may end with the data, at a line's end.
        size_t lastChunk = whole.find("\r\n0\r\n") + 5;
        for (size_t n = 0; n < whole.size(); ++n) {
            if (whole == chunked &&
                (n == lastChunk || n == whole.find("T: v\r\n") + 6 || n == whole.size() - 2))
                continue;
            EXPECT_THROW(ReadFrom(whole.substr(0, n), "GET"), Exception) << n;
        }
    }
}

TEST(HTTPResponseReading, InterimResponsesAreSkippedAndLimitsHold) {
    auto r = ReadFrom("HTTP/1.1 100 Continue\r\n\r\n"
                      "HTTP/1.1 102 Processing\r\n\r\n"
                      "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
                      "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok",
                      "POST");
    EXPECT_EQ(r->GetStatusCode(), 201);
    EXPECT_FALSE(r->GetHeader().HasField("Link"));
    EXPECT_EQ(r->GetContentString(), "ok");
    // 101 is final: the connection leaves HTTP.
    EXPECT_EQ(ReadFrom("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n", "GET")
                  ->GetStatusCode(),
              101);
    std::string endless;
    for (int i = 0; i <= kHttpMaxInterimResponses; ++i)
        endless += "HTTP/1.1 100 Continue\r\n\r\n";
    auto message = [](const std::string& bytes) {
        try {
            ReadFrom(bytes, "GET");
        } catch (const Exception& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(endless + "HTTP/1.1 200 OK\r\n\r\n"), "Too many interim responses");
    EXPECT_EQ(message("HTTP/1.1 200 " + std::string(5000, 'r') + "\r\n\r\n"), "Status line too long");
    EXPECT_EQ(message("HTTP/1.1 200 " + std::string(4080, 'r') + "\r\nContent-Length: 0\r\n\r\n"),
              "no error");
    EXPECT_EQ(message("<html>hello</html>\r\n\r\n"), "Invalid status line");
    EXPECT_EQ(message("HTTP/1.1 20 OK\r\n\r\n"), "Invalid status line");
    EXPECT_EQ(message("HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'h') + "\r\n\r\n"),
              "Header incomplete or too large");
    EXPECT_EQ(message("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab")
                  .rfind("Malformed message", 0),
              0u);
}

TEST(HTTPClient, TextModeSendsTheAdjustedRequestAndClosesAfterwards) {
    TScriptedServer server("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello world");
    ThttpClient client;
    Aim(client, server, "/path?q=1");
    client.ContentMode = hcmText;
    client.UserAgent = "TestAgent/1";
    int completed = 0;
    client.OnResponseComplete = [&](ThttpClient*) { ++completed; };
    client.SetActive(true);
    server.Join();
    ASSERT_NE(client.Response(), nullptr);
    EXPECT_EQ(client.Response()->GetContentString(), "hello world");
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(server.Request.rfind("GET /path?q=1 HTTP/1.1\r\n", 0), 0u) << server.Request;
    EXPECT_NE(server.Request.find("Host: 127.0.0.1:" + server.Port() + "\r\n"), std::string::npos);
    EXPECT_NE(server.Request.find("User-Agent: TestAgent/1\r\n"), std::string::npos);
    auto response = client.TakeResponse();
    EXPECT_EQ(client.Response(), nullptr);
    EXPECT_EQ(response->GetStatusCode(), 200);
}

TEST(HTTPClient, StreamModeLeavesTheBodyOnTheConnectionRawChunkedByteForByte) {
    const std::string body = "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nTrailer: t\r\n\r\n";
    for (bool raw : {true, false}) {
        TScriptedServer server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body,
                               /*keepOpen=*/true);
        ThttpClient client;
        Aim(client, server, "/c");
        client.Options = raw ? hcoRawChunked : 0;
        bool completed = false;
        client.OnResponseComplete = [&](ThttpClient*) { completed = true; };
        client.SetActive(true);
        EXPECT_FALSE(completed); // mode 0: the connection stays for the body
        std::string got = client.Response()->GetContentStream()->GetToEnd();
        EXPECT_EQ(got, raw ? body : "hello world");
        client.SetActive(false);
    }
}

TEST(HTTPClient, FileModeSavesTheBodyAndDeletesAPartialFile) {
    TTempDir dir;
    std::string file = dir.Path() + "/saved.bin";
    std::string body(5000, 'z');
    {
        TScriptedServer server("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body);
        ThttpClient client;
        Aim(client, server, "/f");
        client.ContentMode = hcmFile;
        client.ContentFileName = file;
        client.SetActive(true);
        std::ifstream in(file, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), body);
    }
    {
        // Announces 5000 bytes, sends 100 and closes.
        TScriptedServer server("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body.substr(0, 100));
        ThttpClient client;
        Aim(client, server, "/f");
        client.ContentMode = hcmFile;
        client.ContentFileName = file;
        EXPECT_THROW(client.SetActive(true), EReader);
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_EQ(client.Response(), nullptr);
    }
}

TEST(HTTPClient, BlockModeDeliversBlocksAndStopsWhenAsked) {
    std::string body;
    for (int i = 0; i < 3000; ++i)
        body += char('a' + i % 26);
    for (bool stop : {false, true}) {
        TScriptedServer server("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + body);
        ThttpClient client;
        Aim(client, server, "/b");
        client.ContentMode = hcmBlocks;
        std::string got;
        int blocks = 0;
        client.OnContentData = [&](ThttpClient*, const char* data, int size, bool& halt) {
            EXPECT_LE(size, kHttpContentBlockSize);
            got.append(data, size_t(size));
            ++blocks;
            halt = stop;
        };
        if (!stop) {
            client.SetActive(true);
            EXPECT_EQ(got, body);
            EXPECT_GE(blocks, 3);
        } else {
            try {
                client.SetActive(true);
                FAIL();
            } catch (const EhttpClient& e) {
                EXPECT_STREQ(e.what(), "Aborted");
            }
            EXPECT_EQ(blocks, 1);
        }
    }
}

TEST(HTTPClient, HeadNeverReadsABodyAndInterimAnswersAreSkipped) {
    {
        // The server announces a length and keeps the connection open: reading a body would
        // wait for the time-out and fail.
        TScriptedServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", true);
        ThttpClient client;
        Aim(client, server, "/h", "HEAD");
        client.ContentMode = hcmText;
        int64_t start = MonotonicMillis();
        client.SetActive(true);
        EXPECT_LT(MonotonicMillis() - start, 3000);
        EXPECT_EQ(client.Response()->GetContentLength(), 100);
        EXPECT_EQ(client.Response()->GetContentString(), "");
    }
    {
        TScriptedServer server("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                               "Link: </s.css>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nreal");
        ThttpClient client;
        Aim(client, server, "/i");
        client.ContentMode = hcmText;
        client.SetActive(true);
        EXPECT_EQ(client.Response()->GetStatusCode(), 200);
        EXPECT_EQ(client.Response()->GetContentString(), "real");
    }
}

TEST(HTTPClient, ClientErrors) {
    ThttpClient client;
    EXPECT_EQ(client.Port(), "80");
    client.SetHost("127.0.0.1");
    try {
        client.SetActive(true);
        FAIL();
    } catch (const EhttpClient& e) {
        EXPECT_STREQ(e.what(), "No request assigned");
    }
    EXPECT_FALSE(client.Active());
    try {
        client.SetSynchronous(false);
        FAIL();
    } catch (const EhttpClient& e) {
        EXPECT_STREQ(e.what(), "Asynchronous mode not supported");
    }
    client.SetSynchronous(true);
    // An owned request is freed on replacement; a referred one is not owned.
    ThttpRequest kept("GET", "/", "HTTP", 1, 1);
    client.SetRequest(Get("/a"));
    EXPECT_TRUE(client.OwnsRequest());
    client.SetRequestRef(&kept);
    EXPECT_FALSE(client.OwnsRequest());
    EXPECT_EQ(client.Request(), &kept);
}
