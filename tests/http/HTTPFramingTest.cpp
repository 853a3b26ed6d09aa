// Where does a message end? Each crafted message must give the one correct body, byte for
// byte, with the rest of the stream left for the next message, or be refused: a request that
// two parties could delimit differently is the root of request smuggling.

#include "http/HTTPMessage.h"

#include "support/ScriptedReader.h"

#include <gtest/gtest.h>

using namespace corvan;
using corvan::test::TScriptedReader;

namespace {

enum class Outcome { Body, Malformed, ReaderError };

struct FramingCase {
    const char* Name;
    bool Request;
    std::string Message; // start line, header, body and whatever follows
    Outcome Expected;
    std::string Body;        // for Outcome::Body
    std::string Rest;        // what must be left unread
    bool UntilClose = false; // for responses: IsContentUntilClose
    const char* RequestMethod = "GET";
};

const std::string kChunkedHello = "5\r\nhello\r\n0\r\n\r\n";

std::vector<FramingCase> Cases() {
    const std::string rq = "POST /p HTTP/1.1\r\nHost: h\r\n";
    const std::string rs = "HTTP/1.1 200 OK\r\n";
    return {
        {"length", true, rq + "Content-Length: 5\r\n\r\nhelloNEXT", Outcome::Body, "hello", "NEXT"},
        {"length with blanks", true, rq + "Content-Length:   5  \r\n\r\nhelloNEXT", Outcome::Body,
         "hello", "NEXT"},
        {"both framing fields: chunked wins", true,
         rq + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunkedHello + "NEXT",
         Outcome::Body, "hello", "NEXT"},
        {"two equal lengths", true, rq + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhelloNEXT",
         Outcome::Body, "hello", "NEXT"},
        {"equal length list", true, rq + "Content-Length: 5, 5\r\n\r\nhelloNEXT", Outcome::Body,
         "hello", "NEXT"},
        {"two differing lengths", true, rq + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
         Outcome::Malformed, "", ""},
        {"differing length list", true, rq + "Content-Length: 5, 6\r\n\r\nhello!",
         Outcome::Malformed, "", ""},
        {"blank before colon", true, rq + "Content-Length : 5\r\n\r\nhello", Outcome::Malformed, "",
         ""},
        {"tab before colon", true, rq + "Transfer-Encoding\t: chunked\r\n\r\n" + kChunkedHello,
         Outcome::Malformed, "", ""},
        {"plus sign", true, rq + "Content-Length: +5\r\n\r\nhello", Outcome::Malformed, "", ""},
        {"minus sign", true, rq + "Content-Length: -5\r\n\r\nhello", Outcome::Malformed, "", ""},
        {"empty length", true, rq + "Content-Length:\r\n\r\nhello", Outcome::Malformed, "", ""},
        {"hex length", true, rq + "Content-Length: 0x5\r\n\r\nhello", Outcome::Malformed, "", ""},
        {"blank inside length", true, rq + "Content-Length: 5 5\r\n\r\nhello", Outcome::Malformed,
         "", ""},
        {"length beyond 63 bits", true, rq + "Content-Length: 9223372036854775808\r\n\r\nx",
         Outcome::Malformed, "", ""},
        {"folded length", true, rq + "Content-Length: 5\r\n 6\r\n\r\nhello!", Outcome::Malformed,
         "", ""},
        {"folded coding", true, rq + "Transfer-Encoding: gzip\r\n ,chunked\r\n\r\n" + kChunkedHello,
         Outcome::Malformed, "", ""},
        {"Chunked in capitals", true,
         rq + "Transfer-Encoding: Chunked\r\n\r\n" + kChunkedHello + "N", Outcome::Body, "hello",
         "N"},
        {"chunked with empty list element", true,
         rq + "Transfer-Encoding: chunked,\r\n\r\n" + kChunkedHello + "N", Outcome::Body, "hello",
         "N"},
        {"chunked followed by a tab", true,
         rq + "Transfer-Encoding: chunked\t\r\n\r\n" + kChunkedHello + "N", Outcome::Body, "hello",
         "N"},
        {"chunked, gzip", true, rq + "Transfer-Encoding: chunked, gzip\r\n\r\n" + kChunkedHello,
         Outcome::Malformed, "", ""},
        // Held decoded, the body would go on under a coding and a length at once.
        {"gzip, chunked", true,
         rq + "Transfer-Encoding: gzip, chunked\r\n\r\n" + kChunkedHello + "N",
         Outcome::Malformed, "", ""},
        {"codings in two fields", true,
         rq + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunkedHello,
         Outcome::Malformed, "", ""},
        {"response gzip, chunked", false,
         rs + "Transfer-Encoding: gzip, chunked\r\n\r\n" + kChunkedHello + "N", Outcome::Body,
         "hello", "N"},
        {"chunked twice", true, rq + "Transfer-Encoding: chunked, chunked\r\n\r\n" + kChunkedHello,
         Outcome::Malformed, "", ""},
        {"empty coding", true, rq + "Transfer-Encoding:\r\nContent-Length: 5\r\n\r\nhello",
         Outcome::Malformed, "", ""},
        {"request coding other than chunked", true, rq + "Transfer-Encoding: gzip\r\n\r\nhello",
         Outcome::Malformed, "", ""},
        {"chunk extension", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n5;name=value\r\nhello\r\n0\r\n\r\nN",
         Outcome::Body, "hello", "N"},
        {"chunks and trailer", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\nX-T: 1\r\n\r\nN",
         Outcome::Body, "hello", "N"},
        {"largest chunk size, body cut", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\nhello", Outcome::ReaderError,
         "", ""},
        {"chunk size beyond 63 bits", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\nhello\r\n0\r\n\r\n",
         Outcome::ReaderError, "", ""},
        {"chunk size 8000000000000000", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n8000000000000000\r\nhello\r\n0\r\n\r\n",
         Outcome::ReaderError, "", ""},
        {"chunk size with prefix", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n", Outcome::ReaderError,
         "", ""},
        {"empty chunk size", true, rq + "Transfer-Encoding: chunked\r\n\r\n\r\nhello\r\n0\r\n\r\n",
         Outcome::ReaderError, "", ""},
        {"chunk longer than its size", true,
         rq + "Transfer-Encoding: chunked\r\n\r\n5\r\nhelloXX\r\n0\r\n\r\n", Outcome::ReaderError,
         "", ""},
        {"length body cut", true, rq + "Content-Length: 10\r\n\r\nhello", Outcome::ReaderError, "",
         ""},
        {"request without framing", true, rq + "\r\nGET / HTTP/1.1\r\n", Outcome::Body, "",
         "GET / HTTP/1.1\r\n"},
        {"request with length 0", true, rq + "Content-Length: 0\r\n\r\nNEXT", Outcome::Body, "",
         "NEXT"},
        {"response until close", false, rs + "Content-Type: text/plain\r\n\r\nall of it",
         Outcome::Body, "all of it", "", true},
        {"response without any field runs until close", false, rs + "\r\nall", Outcome::Body, "all",
         "", true},
        {"response chunked without content type", false,
         rs + "Transfer-Encoding: chunked\r\n\r\n" + kChunkedHello + "N", Outcome::Body, "hello",
         "N"},
        {"response coding other than chunked", false, rs + "Transfer-Encoding: gzip\r\n\r\nzzz",
         Outcome::Body, "zzz", "", true},
        {"response length", false, rs + "Content-Length: 2\r\n\r\nokNEXT", Outcome::Body, "ok",
         "NEXT"},
        {"response differing lengths", false,
         rs + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nok", Outcome::Malformed, "", "", true},
        {"204 ignores its length", false,
         "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nhello", Outcome::Body, "", "hello"},
        {"304 ignores its coding", false,
         "HTTP/1.1 304 Not modified\r\nTransfer-Encoding: chunked\r\n\r\nNEXT", Outcome::Body, "",
         "NEXT"},
        {"1xx has no body", false, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK", Outcome::Body,
         "", "HTTP/1.1 200 OK"},
        {"response to HEAD", false, rs + "Content-Length: 5\r\n\r\nNEXT", Outcome::Body, "", "NEXT",
         false, "head"},
        {"response to HEAD without length", false, rs + "Content-Type: text/html\r\n\r\nNEXT",
         Outcome::Body, "", "NEXT", false, "HEAD"},
    };
}

// Reads the start line, the header and the body; answers the body and sets rest.
std::string ReadMessage(const FramingCase& c, int step, bool lineMode, bool asStream,
                        std::string& rest, bool* untilClose = nullptr) {
    TScriptedReader r(c.Message, step);
    std::string startLine = r.ExtractLine(4096, ltCRLF);
    std::unique_ptr<AhttpMessage> m;
    if (c.Request) {
        m = ThttpRequest::CreateFromStartLine(startLine);
    } else {
        auto response = ThttpResponse::CreateFromStartLine(startLine);
        response->RequestMethod = c.RequestMethod;
        m = std::move(response);
    }
    m->GetHeader().ReadFromReader(r, lineMode, -1);
    if (untilClose)
        *untilClose = m->IsContentUntilClose();
    m->ReadContent(r, asStream, false);
    std::string body =
        asStream && m->IncludeContent ? m->GetContentStream()->GetToEnd() : m->GetContentString();
    rest = r.GetToEnd();
    return body;
}

} // namespace

TEST(HTTPFraming, EveryCraftedMessageHasOneBodyOrIsRefused) {
    std::vector<FramingCase> cases = Cases();
    ASSERT_GE(cases.size(), 25u);
    for (const FramingCase& c : cases) {
        for (int step : {1, 4, 1 << 20}) {
            for (bool lineMode : {true, false}) {
                if (c.Request && !lineMode)
                    continue; // the server reads requests line by line
                for (bool asStream : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << c.Name << " step " << step << " line mode "
                                                      << lineMode << " as stream " << asStream);
                    std::string rest;
                    switch (c.Expected) {
                    case Outcome::Body: {
                        bool untilClose = false;
                        EXPECT_EQ(ReadMessage(c, step, lineMode, asStream, rest, &untilClose),
                                  c.Body);
                        EXPECT_EQ(rest, c.Rest);
                        EXPECT_EQ(untilClose, c.UntilClose);
                        break;
                    }
                    case Outcome::Malformed:
                        EXPECT_THROW(ReadMessage(c, step, lineMode, asStream, rest),
                                     EhttpMalformedMessage);
                        break;
                    case Outcome::ReaderError:
                        EXPECT_THROW(ReadMessage(c, step, lineMode, asStream, rest), EReader);
                        break;
                    }
                }
            }
        }
    }
}

TEST(HTTPFraming, MalformedResponseIsTreatedAsUntilClose) {
    ThttpResponse r;
    r.GetHeader().AddField("Content-Length", "1");
    r.GetHeader().AddField("Content-Length", "2");
    EXPECT_TRUE(r.IsContentUntilClose());
    EXPECT_THROW(r.GetBodyFraming(), EhttpMalformedMessage);
}

TEST(HTTPFraming, ChunkedWinsAndTheLengthFieldGoes) {
    TStringReader r("5\r\nhello\r\n0\r\n\r\n");
    auto req = ThttpRequest::CreateFromStartLine("POST / HTTP/1.1");
    req->SetHost("h");
    req->GetHeader().AddField("Content-Length", "3");
    req->GetHeader().AddField("Transfer-Encoding", "chunked");
    req->ReadContent(r, false, false);
    EXPECT_FALSE(req->GetHeader().HasField("Content-Length"));
    // The body is held decoded, so the message now says so: the coding is gone, and a length
    // alone frames it when it goes on.
    EXPECT_FALSE(req->GetHeader().HasField("Transfer-Encoding"));
    req->Prepare();
    EXPECT_EQ(req->GetHeader().GetFieldBody("Content-Length"), "5");
    // Another coding before chunked would have stayed beside that length: refused instead.
    TStringReader r2("5\r\nhello\r\n0\r\n\r\n");
    auto gzip = ThttpRequest::CreateFromStartLine("POST / HTTP/1.1");
    gzip->GetHeader().AddField("Transfer-Encoding", "gzip, chunked");
    EXPECT_THROW(gzip->ReadContent(r2, false, false), EhttpMalformedMessage);
}

TEST(HTTPFraming, BodiesHeldAsTextAreBounded) {
    auto req = ThttpRequest::CreateFromStartLine("POST / HTTP/1.1");
    req->MaxContentTextSize = 10;
    req->GetHeader().AddField("Content-Length", "1000000000000");
    TStringReader none("");
    EXPECT_THROW(req->ReadContent(none, false, false), EhttpContentTooLarge);
    EXPECT_EQ(none.GetPosition(), 0);
    auto chunked = ThttpRequest::CreateFromStartLine("POST / HTTP/1.1");
    chunked->MaxContentTextSize = 10;
    chunked->GetHeader().AddField("Transfer-Encoding", "chunked");
    TStringReader r("8\r\n12345678\r\n8\r\n12345678\r\n0\r\n\r\n");
    EXPECT_THROW(chunked->ReadContent(r, false, false), EhttpContentTooLarge);
    // As a stream nothing is held, so nothing is limited.
    auto streamed = ThttpResponse::CreateFromStartLine("HTTP/1.1 200 OK");
    streamed->MaxContentTextSize = 10;
    streamed->GetHeader().AddField("Content-Length", "12");
    TStringReader s("123456789012");
    streamed->ReadContent(s, true, false);
    EXPECT_EQ(streamed->GetContentStream()->GetSize(), 12);
    EXPECT_EQ(streamed->GetContentLength(), 12);
    EXPECT_EQ(streamed->GetContentStream()->GetToEnd(), "123456789012");
}
