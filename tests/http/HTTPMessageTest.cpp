#include "http/HTTPMessage.h"

#include "support/ScriptedReader.h"

#include <gtest/gtest.h>

#include <regex>

using namespace corvan;
using corvan::test::TScriptedReader;

namespace {
std::unique_ptr<ThttpRequest> RequestWithHeader(std::string_view text) {
    TStringReader r{std::string(text)};
    auto req = ThttpRequest::CreateFromStartLine(r.ExtractLine(4096, ltCRLF));
    req->GetHeader().ReadFromReader(r, true, -1);
    return req;
}
} // namespace

TEST(HTTPRequestLine, LowerCaseLineParsesUpperCased) {
    auto r = ThttpRequest::CreateFromStartLine("get / http/1.1");
    EXPECT_EQ(r->GetMethod(), "GET");
    EXPECT_EQ(r->GetURI(), "/");
    EXPECT_EQ(r->GetProtocol(), "HTTP");
    EXPECT_EQ(r->GetMajorVersion(), 1);
    EXPECT_EQ(r->GetMinorVersion(), 1);
    EXPECT_TRUE(r->IsHTTP11OrLater());
    EXPECT_EQ(r->GetStartLine(), "get / http/1.1"); // kept as received until changed
    r->SetURI("/x");
    EXPECT_EQ(r->GetStartLine(), "GET /x HTTP/1.1");
    EXPECT_EQ(r->HeaderOrNull(), nullptr);
}

TEST(HTTPRequestLine, WithoutVersionIsRebuiltWithoutVersion) {
    auto r = ThttpRequest::CreateFromStartLine("GET /");
    EXPECT_EQ(r->GetProtocol(), "");
    EXPECT_EQ(r->GetMajorVersion(), 0);
    EXPECT_TRUE(r->IsHTTP());
    EXPECT_TRUE(r->IsHTTP10OrEarlier());
    EXPECT_FALSE(r->IsHTTP11OrLater());
    r->SetMethod("HEAD");
    EXPECT_EQ(r->GetStartLine(), "HEAD /");
    r->SetProtocol("HTTP");
    r->SetMajorVersion(1);
    EXPECT_EQ(r->GetStartLine(), "HEAD / HTTP/1.0");
}

TEST(HTTPRequestLine, OddLinesNeverFail) {
    auto a = ThttpRequest::CreateFromStartLine("  POST   /a b   HTTP/1.0  ");
    EXPECT_EQ(a->GetURI(), "/a b");
    EXPECT_TRUE(a->IsHTTP10OrEarlier());
    auto b = ThttpRequest::CreateFromStartLine("GET / HTTP/x.99999999999");
    EXPECT_EQ(b->GetMajorVersion(), 0);
    EXPECT_EQ(b->GetMinorVersion(), 0);
    auto c = ThttpRequest::CreateFromStartLine("GET / FOO");
    EXPECT_EQ(c->GetProtocol(), "FOO");
    EXPECT_FALSE(c->IsHTTP());
    auto d = ThttpRequest::CreateFromStartLine("");
    EXPECT_EQ(d->GetMethod(), "");
    auto e = ThttpRequest::CreateFromStartLine("GET /\nX: y HTTP/1.1");
    EXPECT_EQ(e->GetStartLine(), "GET / X: y HTTP/1.1");
}

TEST(HTTPRequestLine, ServerRefusesLinesAndNamesThatCouldBeReadTwoWays) {
    using namespace std::string_literals;
    for (std::string line : {"GET / HTTP/1.1"s, "get /a?b=c http/1.1"s, "GET /"s,
                             "OPTIONS * HTTP/1.1"s, "CONNECT h:443 HTTP/1.0"s,
                             "GET  http://h/x  HTTP/1.1 "s, "GET /a\0 HTTP/1.1"s}) {
        SCOPED_TRACE(line);
        EXPECT_NO_THROW(CheckRequestLine(line));
    }
    for (std::string line :
         {"GET /a b HTTP/1.1"s, "GET /a b"s, "GET /a\rb HTTP/1.1"s, "GET /a HTTP/1.1\nX: y"s,
          "GET\t/ HTTP/1.1"s, "GET /a\0b HTTP/1.1"s, "GET /\x7f HTTP/1.1"s, "GET"s,
          "G(T / HTTP/1.1"s, "GET / HTTP/1.1 x"s, "GET / FOO"s, "GET / HTTP/1."s}) {
        SCOPED_TRACE(line);
        EXPECT_THROW(CheckRequestLine(line), EhttpMalformedMessage);
    }
    // Lines that are no field are the proxy's to join or drop; a name that is no token is
    // refused.
    auto good = RequestWithHeader(
        "GET / HTTP/1.1\r\nX-A_b.c~1: v\r\nX-B: 1\r\n 2\r\nno colon\r\n\r\n");
    EXPECT_NO_THROW(CheckFieldNames(good->GetHeader()));
    for (const char* field : {"X A: 1", ": 1", "X-(A): 1", "X\x01" "A: 1", "X/A: 1"}) {
        SCOPED_TRACE(field);
        auto bad = RequestWithHeader("GET / HTTP/1.1\r\nHost: h\r\n" + std::string(field) +
                                     "\r\n\r\n");
        EXPECT_THROW(CheckFieldNames(bad->GetHeader()), EhttpMalformedMessage);
    }
}

TEST(HTTPRequestLine, AbsoluteTargetStoresTheHostWithItsPort) {
    auto r = ThttpRequest::CreateFromStartLine("GET http://host1:8080/a HTTP/1.1");
    EXPECT_EQ(r->GetHeader().GetFieldBody("Host"), "host1:8080");
    EXPECT_EQ(r->GetPort(), "8080");
    EXPECT_EQ(r->GetHost(), "host1:8080");
    auto p = ThttpRequest::CreateFromStartLine("GET /a HTTP/1.1");
    EXPECT_EQ(p->GetHost(), "");
    // An IPv6 literal keeps its brackets in the Host field, with or without a port.
    auto v6 = ThttpRequest::CreateFromStartLine("GET http://[2001:db8::1]:8080/a HTTP/1.1");
    EXPECT_EQ(v6->GetHeader().GetFieldBody("Host"), "[2001:db8::1]:8080");
    EXPECT_EQ(v6->GetPort(), "8080");
    v6->SetHost("[::1]");
    EXPECT_EQ(v6->GetHeader().GetFieldBody("Host"), "[::1]");
}

TEST(HTTPRequestLine, ProxyFormIsRebuiltFromSchemeHostAndPath) {
    auto r = RequestWithHeader("GET /a/b?c HTTP/1.1\r\nHost: origin\r\n\r\n");
    r->SetPort("8080");
    r->SetUseProxyForm(true);
    EXPECT_EQ(r->GetStartLine(), "GET http://origin:8080/a/b?c HTTP/1.1");
    auto s = ThttpRequest::CreateFromStartLine("OPTIONS HTTPS://Secure/x HTTP/1.1");
    s->SetUseProxyForm(true);
    EXPECT_EQ(s->GetStartLine(), "OPTIONS https://Secure/x HTTP/1.1");
    auto t = RequestWithHeader("GET x HTTP/1.1\r\nHost: h:81\r\n\r\n");
    t->SetPort("81");
    t->SetUseProxyForm(true);
    EXPECT_EQ(t->GetStartLine(), "GET http://h:81/x HTTP/1.1"); // the port is not doubled
}

TEST(HTTPStatusLine, ParsesAndBuilds) {
    auto r = ThttpResponse::CreateFromStartLine("http/1.0 404  Not  here ");
    EXPECT_EQ(r->GetProtocol(), "HTTP");
    EXPECT_EQ(r->GetStatusCode(), 404);
    EXPECT_EQ(r->GetReasonPhrase(), "Not  here");
    EXPECT_TRUE(r->IsHTTP10OrEarlier());
    r->SetReasonPhrase("");
    EXPECT_EQ(r->GetStartLine(), "HTTP/1.0 404 Not Found");
    auto odd = ThttpResponse::CreateFromStartLine("HTTP/1.1 abc");
    EXPECT_EQ(odd->GetStatusCode(), 0);
    auto info = ThttpResponse::CreateFromStartLine("HTTP/1.1 100 Continue");
    EXPECT_FALSE(info->AutoDate);
    ThttpResponse x(599, "", "HTTP", 1, 1);
    EXPECT_EQ(x.GetStartLine(), "HTTP/1.1 599 ");
    EXPECT_EQ(HTTPStatusText(304), "Not modified");
    EXPECT_EQ(HTTPStatusText(405), "Method Not Found");
    EXPECT_EQ(HTTPStatusText(418), "");
}

TEST(HTTPMessage, TextFormsRoundTrip) {
    ThttpRequest r;
    r.SetAsString("POST /f HTTP/1.1\r\nHost: h\r\nX: 1\r\n\r\nbody");
    EXPECT_EQ(r.GetMethod(), "POST");
    EXPECT_EQ(r.GetHeader().GetFieldBody("X"), "1");
    EXPECT_EQ(r.GetContentString(), "body");
    EXPECT_EQ(r.GetAsString(), "POST /f HTTP/1.1\r\nHost: h\r\nX: 1\r\n\r\nbody");
    ThttpRequest bare;
    bare.SetHeaderString("GET / HTTP/1.0");
    EXPECT_EQ(bare.GetHeaderString(), "GET / HTTP/1.0\r\n\r\n");
}

TEST(HTTPMessage, ContentStringAndStream) {
    ThttpResponse r;
    r.SetContentStream(std::make_unique<TStringReader>("streamed"));
    EXPECT_TRUE(r.IncludeContent);
    EXPECT_EQ(r.GetContentSize(), 8);
    EXPECT_EQ(r.GetContentString(), "streamed");
    EXPECT_TRUE(r.ContentCached());
    r.SetContentString("");
    EXPECT_FALSE(r.IncludeContent);
    EXPECT_EQ(r.GetContentSize(), 0);
    r.SetContentString("abc");
    EXPECT_EQ(r.GetContentStream()->GetToEnd(), "abc");
    r.GetHeader().AddField("Content-Length", "7");
    EXPECT_EQ(r.GetContentLength(), 7);
    r.SetContentLength(3);
    EXPECT_EQ(r.GetHeader().GetFieldBody("Content-Length"), "3");
}

TEST(HTTPMessage, BodyReadAsTextTakesNoMoreRoomThanItCanNeedAndMovesWhole) {
    const size_t size = 300000; // past a power of two, where doubling would overshoot most
    auto sized = RequestWithHeader("POST / HTTP/1.1\r\nContent-Length: 300000\r\n\r\n");
    TScriptedReader r1(std::string(size, 's'), 1000);
    sized->ReadContent(r1, false, false);
    auto chunked = RequestWithHeader("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    chunked->MaxContentTextSize = int64_t(size);
    TScriptedReader r2("493e0\r\n" + std::string(size, 'c') + "\r\n0\r\n\r\n", 1000);
    chunked->ReadContent(r2, false, false);
    for (ThttpRequest* request : {sized.get(), chunked.get()}) {
        std::string body = request->ReleaseContentString();
        EXPECT_EQ(body.size(), size);
        EXPECT_LE(body.capacity(), size);
        EXPECT_EQ(request->GetContentSize(), 0);
        EXPECT_FALSE(request->IncludeContent);
        const char* buffer = body.data();
        auto forward = request->DuplicateRequest();
        forward->AdoptContentString(std::move(body));
        EXPECT_EQ(forward->GetContentSize(), int64_t(size));
        EXPECT_TRUE(forward->IncludeContent);
        EXPECT_EQ(forward->ReleaseContentString().data(), buffer); // the same buffer, no copy
    }
}

TEST(HTTPMessage, WriteHeaderAndContentWithEvents) {
    ThttpResponse r(200, "OK", "HTTP", 1, 1);
    r.SetContentStream(std::make_unique<TStringReader>(std::string(5000, 'x')));
    r.CacheContentWhileWriting = true;
    std::vector<std::string> events;
    r.OnHeaderWritten = [&](AhttpMessage&) { events.push_back("header"); };
    r.OnContentWritten = [&](AhttpMessage&) { events.push_back("content"); };
    TStringWriter w;
    r.WriteHeader(w);
    EXPECT_EQ(r.WriteContent(w), 5000);
    EXPECT_EQ(w.Data(), "HTTP/1.1 200 OK\r\n\r\n" + std::string(5000, 'x'));
    EXPECT_EQ(events, (std::vector<std::string>{"header", "content"}));
    EXPECT_TRUE(r.ContentCached());
    EXPECT_EQ(r.GetContentString().size(), 5000u);
    r.IncludeContent = false;
    EXPECT_EQ(r.WriteContent(w), -1);
    // A progress callback may stop the copy.
    ThttpResponse s;
    s.SetContentStream(std::make_unique<TStringReader>(std::string(5000, 'y')));
    EXPECT_THROW(s.WriteContent(w, [](int64_t, bool& abort) { abort = true; }),
                 EStreamOperationAborted);
}

TEST(HTTPMessage, AssignAndDuplicateNeverShareTheStream) {
    auto r = RequestWithHeader("PUT /x HTTP/1.1\r\nHost: h\r\n\r\n");
    r->SetContentString("data");
    r->ConnectionMode = ThttpRequest::cmClose;
    auto d = r->DuplicateRequest();
    EXPECT_EQ(d->GetStartLine(), "PUT /x HTTP/1.1");
    EXPECT_EQ(d->GetContentString(), "data");
    EXPECT_EQ(d->ConnectionMode, ThttpRequest::cmClose);
    d->GetHeader().SetFieldBody("Host", "other");
    EXPECT_EQ(r->GetHost(), "h");
    ThttpResponse s;
    s.SetContentStream(std::make_unique<TStringReader>("s"));
    auto sd = s.Duplicate();
    EXPECT_EQ(sd->GetContentString(), "");
    EXPECT_EQ(s.GetContentString(), "s");
    try {
        ThttpRequest x;
        x.Assign(nullptr);
        FAIL();
    } catch (const EhttpMessage& e) {
        EXPECT_STREQ(e.what(), "No prototype");
    }
}

TEST(HTTPPrepare, RequestNeedsHostAndGetsLengthAndConnection) {
    ThttpRequest r("POST", "/p", "HTTP", 1, 1);
    try {
        r.Prepare();
        FAIL();
    } catch (const EhttpRequest& e) {
        EXPECT_STREQ(e.what(), "Host must be set for HTTP/1.1 request.");
    }
    r.SetHost("h"); // after the failed Prepare's "Date"
    r.SetContentString("12345");
    r.ConnectionMode = ThttpRequest::cmKeepAlive;
    r.GetCustomHeaders().push_back("X-Custom: yes");
    r.Prepare();
    EXPECT_EQ(
        r.GetHeader().GetFieldNames(),
        (std::vector<std::string>{"Date", "Host", "X-Custom", "Content-Length", "Connection"}));
    EXPECT_EQ(r.GetHeader().GetFieldBody("Content-Length"), "5");
    EXPECT_EQ(r.GetHeader().GetFieldBody("Connection"), "keep-alive");
    r.SetUseProxyForm(true);
    r.ConnectionMode = ThttpRequest::cmClose;
    r.Prepare();
    EXPECT_EQ(r.GetHeader().GetFieldBody("Proxy-Connection"), "close");
    ThttpRequest old("GET", "/", "HTTP", 1, 0);
    EXPECT_NO_THROW(old.Prepare());
}

TEST(HTTPPrepare, HtmlResponseFieldOrder) {
    auto r = CreateHtmlResponse(407, "Proxy authentication required", "<p>page</p>");
    r->Prepare();
    EXPECT_EQ(r->GetHeader().GetFieldNames(),
              (std::vector<std::string>{"Content-Type", "Pragma", "Date", "Content-Length"}));
    EXPECT_EQ(r->GetHeader().GetFieldBody("Content-Type"), "text/html");
    EXPECT_EQ(r->GetHeader().GetFieldBody("Pragma"), "no-cache");
    EXPECT_EQ(r->GetHeader().GetFieldBody("Content-Length"), "11");
    EXPECT_EQ(r->GetStartLine(), "HTTP/1.1 407 Proxy authentication required");
    std::regex date("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT");
    EXPECT_TRUE(std::regex_match(r->GetHeader().GetFieldBody("Date"), date));
}

TEST(HTTPPrepare, ResponsesWithoutBodyLoseLengthAndBody) {
    for (int code : {100, 204, 304}) {
        ThttpResponse r(code, "", "HTTP", 1, 1);
        r.GetHeader().AddField("Content-Length", "4");
        r.GetHeader().AddField("Transfer-Encoding", "chunked");
        r.SetContentString("body");
        r.Prepare();
        EXPECT_FALSE(r.GetHeader().HasField("Content-Length")) << code;
        EXPECT_FALSE(r.GetHeader().HasField("Transfer-Encoding")) << code;
        TStringWriter w;
        EXPECT_EQ(r.WriteContent(w), -1);
        EXPECT_EQ(w.Data(), "");
        EXPECT_EQ(r.GetHeader().HasField("Date"), code != 100);
    }
    ThttpResponse chunked(200, "", "HTTP", 1, 1);
    chunked.GetHeader().AddField("Transfer-Encoding", "Chunked");
    chunked.SetContentString("5\r\nhello\r\n0\r\n\r\n");
    chunked.Prepare();
    EXPECT_FALSE(chunked.GetHeader().HasField("Content-Length"));
    ThttpResponse server;
    server.SetServer("Ostrel-Proxy/1.0.0");
    EXPECT_EQ(server.GetServer(), "Ostrel-Proxy/1.0.0 MW-HTTP/1.09");
    server.SetServer("");
    EXPECT_EQ(server.GetServer(), "MW-HTTP/1.09");
}

TEST(HTTPRange, RequestRangeAndTheRangeRule) {
    auto req = RequestWithHeader("GET / HTTP/1.1\r\nHost: h\r\nRange: Bytes=10-19\r\n\r\n");
    int64_t first, last, offset, length;
    EXPECT_TRUE(req->GetRange(first, last));
    EXPECT_EQ(first, 10);
    EXPECT_EQ(last, 19);
    req->GetHeader().SetFieldBody("Range", "bytes=-5");
    EXPECT_TRUE(req->GetRange(first, last));
    EXPECT_EQ(first, -1);
    EXPECT_EQ(last, 5);
    req->GetHeader().SetFieldBody("Range", "items=1-2");
    EXPECT_FALSE(req->GetRange(first, last));
    req->GetHeader().SetFieldBody("Range", "bytes=x-y");
    EXPECT_FALSE(req->GetRange(first, last));

    EXPECT_TRUE(ComputeRange(-1, 5, 100, offset, length)); // the last 5
    EXPECT_EQ(offset, 95);
    EXPECT_EQ(length, 5);
    EXPECT_TRUE(ComputeRange(-1, 500, 100, offset, length));
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(length, 100);
    EXPECT_TRUE(ComputeRange(90, -1, 100, offset, length)); // to the end
    EXPECT_EQ(offset, 90);
    EXPECT_EQ(length, 10);
    EXPECT_TRUE(ComputeRange(10, 19, 100, offset, length));
    EXPECT_EQ(offset, 10);
    EXPECT_EQ(length, 10);
    EXPECT_TRUE(ComputeRange(95, 200, 100, offset, length)); // last capped at the size
    EXPECT_EQ(length, 5);
    EXPECT_FALSE(ComputeRange(100, 200, 100, offset, length));
    EXPECT_FALSE(ComputeRange(150, -1, 100, offset, length));
    EXPECT_FALSE(ComputeRange(20, 10, 100, offset, length)); // reversed: nothing
    EXPECT_EQ(length, 0);
}

TEST(HTTPRange, PartialResponseServesTheSliceWithItsLength) {
    std::string body;
    for (int i = 0; i < 100; ++i)
        body += char('a' + i % 26);
    for (bool streamed : {false, true}) {
        ThttpResponse r(206, "", "HTTP", 1, 1);
        if (streamed)
            r.SetContentStream(std::make_unique<TStringReader>(body));
        else
            r.SetContentString(body);
        r.RangeStart = 10;
        r.RangeEnd = 19;
        r.Prepare();
        EXPECT_EQ(r.GetHeader().GetFieldBody("Content-Range"), "bytes 10-19/100");
        EXPECT_EQ(r.GetHeader().GetFieldBody("Content-Length"), "10");
        TStringWriter w;
        EXPECT_EQ(r.WriteContent(w), 10);
        EXPECT_EQ(w.Data(), body.substr(10, 10));
    }
    ThttpResponse bad(206, "", "HTTP", 1, 1);
    bad.SetContentString(body);
    bad.RangeStart = 500;
    bad.Prepare();
    EXPECT_EQ(bad.GetStatusCode(), 200);
    EXPECT_EQ(bad.GetHeader().GetFieldBody("Content-Length"), "100");
    EXPECT_FALSE(bad.GetHeader().HasField("Content-Range"));

    ThttpRequest req("GET", "/", "HTTP", 1, 0);
    ThttpResponse matched(200, "", "HTTP", 1, 1);
    matched.SetRequest(req);
    EXPECT_EQ(matched.GetStartLine(), "HTTP/1.0 200 OK");
}

TEST(HTTPErrorPage, ExactText) {
    std::string page = HtmlErrorPage("Page not available", "Requested page could not be retrieved.",
                                     "Internal server error.", "");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(page, m, std::regex("Generated (.*) by")));
    double when;
    ASSERT_TRUE(ParseRFC1123Date(m[1].str(), when));
    EXPECT_NEAR(when, NowAsGMTDateTime(), 5.0 / 86400);
    EXPECT_EQ(page, "<HTML><HEAD>\r\n<TITLE>Page not available</TITLE>\r\n</HEAD><BODY>\r\n"
                    "<H1>Page not available</H1>\r\n"
                    "<B>Requested page could not be retrieved.\r\n<BR><BR><PRE>\r\n"
                    "Internal server error.\r\n</PRE><BR><HR>\r\n"
                    "<FONT SIZE=2>Generated " +
                        m[1].str() +
                        " by MW-HTTP/1.09.</FONT>\r\n"
                        "</BODY></HTML>\r\n");
    EXPECT_NE(
        HtmlErrorPage("t", "m", "d", "Ostrel-Proxy/1.0.0").find(" by Ostrel-Proxy/1.0.0.</FONT>"),
        std::string::npos);
}

TEST(HTTPProxyFields, BasicCredentials) {
    auto credentials = [](std::string_view value) {
        ThttpRequest r;
        if (!value.empty())
            r.GetHeader().AddField("Proxy-Authorization", value);
        return r.GetBasicProxyCredentials();
    };
    EXPECT_EQ(credentials("Basic dXNlcjpwYXNz"), "user:pass");
    EXPECT_EQ(credentials("bASIC    dXNlcjpwYXNz"), "user:pass");
    EXPECT_EQ(credentials("Basic YTpi"), "a:b");
    EXPECT_EQ(credentials("Basic YWI="), "ab");       // padded, no colon
    EXPECT_EQ(credentials("Basic YWI"), "ab");        // unpadded
    EXPECT_EQ(credentials("Basic dXNlcjp"), "user:"); // unpadded, empty password
    EXPECT_EQ(credentials("Basic !!!"), "");
    EXPECT_EQ(credentials("Basic YW=I"), "");
    EXPECT_EQ(credentials("Basic Y"), "");
    EXPECT_EQ(credentials("Digest dXNlcjpwYXNz"), "");
    EXPECT_EQ(credentials(""), "");
}

TEST(HTTPProxyFields, AViaEntryNamesAnIPv6ReceiverInBrackets) {
    EXPECT_EQ(AddViaEntry("1.0 a", "2001:db8::1", "HTTP", 1, 1, "c"),
              "1.0 a, 1.1 [2001:db8::1] (c)");
    // Written in brackets already (ServerIP may be): not twice.
    EXPECT_EQ(AddViaEntry("", "[::1]", "HTTP", 1, 1, ""), "1.1 [::1]");
}

TEST(HTTPProxyFields, LoopbackAndEveryAddressAreKnownInEitherFamilyAndAnyIPv6Form) {
    for (const char* yes : {"127.0.0.1", "0.0.0.0", "::1", "[::1]", "0:0::1", "::", "[::]"})
        EXPECT_TRUE(IsLoopbackOrAnyText(yes)) << yes;
    // Other loopback numbers were always named, as were mapped and real addresses.
    for (const char* no : {"127.0.0.2", "::ffff:127.0.0.1", "::2", "fe80::1", "10.0.0.1", "",
                           "host", "[::1"})
        EXPECT_FALSE(IsLoopbackOrAnyText(no)) << no;
}

TEST(HTTPProxyFields, ViaAndForwardedFor) {
    EXPECT_EQ(AddViaEntry("", "192.168.1.2", "HTTP", 1, 1, "Ostrel-Proxy/1.0.0"),
              "1.1 192.168.1.2 (Ostrel-Proxy/1.0.0)");
    EXPECT_EQ(AddViaEntry("1.0 a", "b", "http", 1, 0, ""), "1.0 a, 1.0 b");
    EXPECT_EQ(AddViaEntry("", "b", "RTSP", 2, 0, ""), "RTSP/2.0 b");
    EXPECT_EQ(AddForwardedFor("", "10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(AddForwardedFor("10.0.0.1", "10.0.0.2"), "10.0.0.1,10.0.0.2");
    EXPECT_TRUE(IsKnownMethod("CONNECT"));
    EXPECT_FALSE(IsKnownMethod("get"));
    EXPECT_FALSE(IsKnownMethod("OPTIONS"));
}
