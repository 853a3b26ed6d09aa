#include "http/HTTP.h"

#include "support/ScriptedReader.h"

#include <gtest/gtest.h>

#include <tuple>

#include <cmath>

using namespace corvan;
using corvan::test::TScriptedReader;

TEST(HTTPHeaderLine, ComposeAndSplitTrimControlsAndBlanks) {
    std::string name, body;
    EXPECT_TRUE(SplitHeaderLine("Content-Length:  42 ", name, body));
    EXPECT_EQ(name, "Content-Length");
    EXPECT_EQ(body, "42");
    EXPECT_TRUE(SplitHeaderLine("X: a:b", name, body));
    EXPECT_EQ(body, "a:b"); // split at the first colon only
    EXPECT_FALSE(SplitHeaderLine(" no colon ", name, body));
    EXPECT_EQ(name, " no colon "); // untrimmed
    EXPECT_EQ(body, "");
    EXPECT_EQ(ComposeHeaderLine(" \tHost\x01", " a \r"), "Host: a");
}

TEST(HTTPHeaderLine, SplitHostPortDefaults) {
    std::string host, port;
    SplitHostPort("www.example.com:8080", host, port, "80");
    EXPECT_EQ(host, "www.example.com");
    EXPECT_EQ(port, "8080");
    SplitHostPort("www.example.com", host, port, "80");
    EXPECT_EQ(host, "www.example.com");
    EXPECT_EQ(port, "80");
    SplitHostPort(" h : ", host, port, "80");
    EXPECT_EQ(host, "h");
    EXPECT_EQ(port, "80");
    // An IPv6 literal keeps its colons and loses its brackets; joined, it gets them back.
    for (auto [text, h, p] : {std::tuple{"[2001:db8::1]:8080", "2001:db8::1", "8080"},
                              std::tuple{" [::1] ", "::1", "80"}, std::tuple{"[::1]:", "::1", "80"},
                              std::tuple{"[::1]x", "[", ":1]x"}}) {
        SplitHostPort(text, host, port, "80");
        EXPECT_EQ(host, h) << text;
        EXPECT_EQ(port, p) << text;
    }
    EXPECT_EQ(JoinHostPort("2001:db8::1", "8080"), "[2001:db8::1]:8080");
    EXPECT_EQ(JoinHostPort("::1", ""), "[::1]");
    EXPECT_EQ(JoinHostPort("h", "81"), "h:81");
}

TEST(HTTPHeaderField, NumbersFallBack) {
    THeader h;
    h.AddFieldString("Content-Length:  42 ");
    EXPECT_EQ(h.GetField("content-length")->GetBody(), "42");
    EXPECT_EQ(h.GetField("Content-Length")->GetBodyAsInteger(), 42);
    h.SetFieldBody("Content-Length", "abc");
    EXPECT_EQ(h.GetField("Content-Length")->GetBodyAsInteger(), -1);
    h.GetField("Content-Length")->SetBodyAsInteger(-7);
    EXPECT_EQ(h.GetFieldBody("Content-Length"), "-7");
    THeaderField f("Q", "0.5");
    EXPECT_DOUBLE_EQ(f.GetBodyAsFloat(), 0.5);
    f.SetBody("0.5x");
    EXPECT_DOUBLE_EQ(f.GetBodyAsFloat(), 0.0);
    f.SetBodyAsFloat(1.25);
    EXPECT_EQ(f.GetBody(), "1.25");
}

TEST(HTTPHeaderField, SetAsStringWithoutColonKeepsTheWholeLineAsName) {
    THeaderField f;
    f.SetAsString("Host: a");
    EXPECT_EQ(f.GetAsString(), "Host: a");
    f.SetAsString("garbage");
    EXPECT_EQ(f.GetName(), "garbage");
    EXPECT_EQ(f.GetBody(), "");
}

TEST(HTTPHeaderField, InvalidFieldKeepsItsRawLine) {
    TInvalidField f(" odd line ");
    f.SetName("X");
    f.SetBody("Y");
    EXPECT_EQ(f.GetName(), "");
    EXPECT_EQ(f.GetAsString(), " odd line ");
    EXPECT_EQ(f.Duplicate()->GetAsString(), " odd line ");
}

TEST(HTTPDate, Rfc1123FormatAndParse) {
    double t;
    ASSERT_TRUE(ParseRFC1123Date("Sun, 06 Nov 1994 08:49:37 GMT", t));
    EXPECT_EQ(FormatRFC1123Date(t), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(FormatRFC1123Date(0), "Sat, 30 Dec 1899 00:00:00 GMT");
    EXPECT_EQ(FormatRFC1123Date(36526.5), "Sat, 01 Jan 2000 12:00:00 GMT");
    EXPECT_EQ(FormatRFC1123Date(std::nan("")), "Sat, 30 Dec 1899 00:00:00 GMT");
    EXPECT_EQ(FormatRFC1123Date(1.0 / 86400), "Sat, 30 Dec 1899 00:00:01 GMT"); // a second on
    EXPECT_FALSE(ParseRFC1123Date("Sun, 31 Feb 1994 08:49:37 GMT", t));
    EXPECT_FALSE(ParseRFC1123Date("Sun, 06 Nov 1994 25:49:37 GMT", t));
    EXPECT_FALSE(ParseRFC1123Date("yesterday", t));

    TDateField d(t);
    EXPECT_EQ(d.GetName(), "Date");
    d.SetName("Other");
    EXPECT_EQ(d.GetName(), "Date");
    d.SetBody("Mon, 07 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(d.GetBody(), "Mon, 07 Nov 1994 08:49:37 GMT");
    d.SetBody("not a date"); // unchanged
    EXPECT_EQ(d.GetAsString(), "Date: Mon, 07 Nov 1994 08:49:37 GMT");
    // A new field holds the current time.
    TDateField now;
    EXPECT_NEAR(now.DateTime, NowAsGMTDateTime(), 1.0 / 86400 * 5);
}

TEST(HTTPHeader, DuplicateNamesStayApart) {
    THeader h;
    h.SetAsString("Via: 1.0 a\r\nHost: x\r\nvia: 1.1 b\r\n");
    EXPECT_EQ(h.FieldCount(), 3);
    EXPECT_EQ(h.GetFieldBody("via"), "1.0 a");
    EXPECT_EQ(h.GetFieldNames(), (std::vector<std::string>{"Via", "Host", "via"}));
    EXPECT_TRUE(h.RemoveFields("VIA"));
    EXPECT_FALSE(h.RemoveFields("VIA"));
    EXPECT_EQ(h.GetAsString(), "Host: x\r\n\r\n");
}

TEST(HTTPHeader, LineWithoutColonRoundTrips) {
    THeader h;
    h.SetAsString("A: 1\r\nthis is no field\r\nB: 2");
    ASSERT_EQ(h.FieldCount(), 3);
    EXPECT_EQ(h.Fields(1)->GetName(), "");
    EXPECT_EQ(h.GetAsString(), "A: 1\r\nthis is no field\r\nB: 2\r\n\r\n");
    THeader empty;
    EXPECT_EQ(empty.GetAsString(), "\r\n");
}

TEST(HTTPHeader, FoldedLinesJoinInTextButNotAfterInvalidLines) {
    THeader h;
    h.SetAsString("X-A: 1\r\n 2\r\n\t3\r\nnot a field\r\n 4\r\n: empty name\r\n 5");
    ASSERT_EQ(h.FieldCount(), 4);
    EXPECT_EQ(h.GetFieldBody("X-A"), "1 2\t3");
    EXPECT_EQ(h.Fields(1)->GetAsString(), "not a field");
    EXPECT_EQ(h.Fields(2)->GetAsString(), " 4"); // a continuation of nothing
    EXPECT_EQ(h.Fields(3)->GetAsString(), " 5"); // an empty name is no field to continue
}

TEST(HTTPHeader, BareLineBreaksBecomeSpacesSoNoHiddenLineIsForwarded) {
    THeader h;
    h.SetAsString("X-A: 1\nTransfer-Encoding: chunked\r\nodd\rline");
    h.AddFieldString("Foo\nContent-Length: 5");
    ASSERT_EQ(h.FieldCount(), 3);
    EXPECT_EQ(h.GetFieldBody("X-A"), "1 Transfer-Encoding: chunked");
    EXPECT_FALSE(h.HasField("Transfer-Encoding"));
    EXPECT_EQ(h.GetAsString(), "X-A: 1 Transfer-Encoding: chunked\r\nodd line\r\n"
                               "Foo Content-Length: 5\r\n\r\n");
}

TEST(HTTPHeader, NulBecomesASpaceSoNoValueIsCutShortFurtherOn) {
    // A recipient that stops at a NUL would see another value (RFC 9110 section 5.5).
    using namespace std::string_literals;
    THeader h;
    h.AddFieldString("X-A: a\0b"s);
    h.SetAsString("X-B: c\0d\r\nX-C: e\0"s);
    EXPECT_EQ(h.GetAsString(), "X-A: a b\r\nX-B: c d\r\nX-C: e\r\n\r\n");
}

TEST(HTTPHeader, SetFieldBodyKeepsPositionOrAppends) {
    THeader h;
    h.AddField("A", "1");
    h.AddField("B", "2");
    h.AddField("C", "3");
    h.SetFieldBody("b", "two");
    EXPECT_EQ(h.GetAsString(), "A: 1\r\nB: two\r\nC: 3\r\n\r\n");
    h.SetFieldBody("D", "4");
    EXPECT_EQ(h.Fields(3)->GetAsString(), "D: 4");
}

TEST(HTTPHeader, SetFieldReplacesInPlaceRenamesAndDeletes) {
    THeader h;
    h.AddField("A", "1");
    h.AddField("Date", "old");
    h.AddField("C", "3");
    h.SetField("date", std::make_unique<TDateField>(0.0));
    EXPECT_EQ(h.Fields(1)->GetAsString(), "Date: Sat, 30 Dec 1899 00:00:00 GMT");
    h.SetField("X", std::make_unique<THeaderField>("Y", "v")); // renamed, appended
    EXPECT_EQ(h.Fields(3)->GetAsString(), "X: v");
    h.SetField("A", nullptr);
    EXPECT_EQ(h.GetFieldNames(), (std::vector<std::string>{"Date", "C", "X"}));
    h.ReplaceField(1, std::make_unique<THeaderField>("Z", "z"));
    h.DeleteField(0);
    EXPECT_EQ(h.GetAsString(), "Z: z\r\nX: v\r\n\r\n");
    auto copy = h.Duplicate();
    h.Clear();
    EXPECT_EQ(copy->GetAsString(), "Z: z\r\nX: v\r\n\r\n");
    EXPECT_EQ(h.FieldCount(), 0);
}

TEST(HTTPHeader, FramingFieldWithBlankBeforeColonIsNotAField) {
    THeader h;
    h.SetAsString("Content-Length : 5\r\nX : y");
    EXPECT_FALSE(h.HasField("Content-Length"));
    EXPECT_EQ(h.GetFieldBody("X"), "y"); // other names are trimmed as usual
    h.AddFieldString("Transfer-Encoding\t: chunked");
    EXPECT_FALSE(h.HasField("Transfer-Encoding"));
    EXPECT_EQ(h.GetAsString(),
              "Content-Length : 5\r\nX: y\r\nTransfer-Encoding\t: chunked\r\n\r\n");
}

TEST(HTTPHeaderRead, LineModeStopsAtTheEmptyLineWithoutFolding) {
    for (int step : {1, 3, 1000}) {
        TScriptedReader r("X-A: 1\r\n 2\r\nHost: h\r\n\r\nBODY", step);
        THeader h;
        h.ReadFromReader(r, true, -1);
        ASSERT_EQ(h.FieldCount(), 3) << step;
        EXPECT_EQ(h.GetFieldBody("X-A"), "1");
        EXPECT_EQ(h.Fields(1)->GetAsString(), " 2");
        EXPECT_EQ(r.GetToEnd(), "BODY");
    }
}

TEST(HTTPHeaderRead, BlockModeFoldsAndSkipsTheTerminator) {
    for (int step : {1, 2, 1000}) {
        TScriptedReader r("X-A: 1\r\n 2\r\nHost: h\r\n\r\nBODY", step);
        THeader h;
        h.ReadFromReader(r, false, -1);
        EXPECT_EQ(h.GetFieldBody("X-A"), "1 2") << step;
        EXPECT_EQ(h.GetFieldBody("Host"), "h");
        EXPECT_EQ(r.GetToEnd(), "BODY");
    }
    TStringReader empty("\r\nBODY");
    THeader h;
    h.ReadFromReader(empty, false, -1);
    EXPECT_EQ(h.FieldCount(), 0);
    EXPECT_EQ(empty.GetToEnd(), "BODY");
    // An explicit range without the terminator leaves everything unread.
    TStringReader far("A: 1\r\nB: 2\r\n\r\n");
    h.ReadFromReader(far, false, 10);
    EXPECT_EQ(h.FieldCount(), 0);
    EXPECT_EQ(far.GetPosition(), 0);
    h.ReadFromReader(far, false, 14);
    EXPECT_EQ(h.FieldCount(), 2);
}

TEST(HTTPHeaderRead, LimitsAndTruncationRaiseTheReaderError) {
    std::string longLine = "X: " + std::string(kMaxHeaderLineLength, 'a') + "\r\n\r\n";
    TStringReader a(longLine);
    THeader h;
    EXPECT_THROW(h.ReadFromReader(a, true, -1), EReader);
    // Exactly at the limit is fine.
    TStringReader b(std::string(kMaxHeaderLineLength - 3, 'b').insert(0, "X: ") + "\r\n\r\n");
    THeader hb;
    hb.ReadFromReader(b, true, -1);
    EXPECT_EQ(hb.GetFieldBody("X").size(), size_t(kMaxHeaderLineLength - 3));
    // Many short lines past the block limit.
    std::string many;
    while (int64_t(many.size()) <= kMaxHeaderSize)
        many += "X-Filler: 0123456789\r\n";
    many += "\r\n";
    TStringReader c(many);
    THeader hc;
    EXPECT_THROW(hc.ReadFromReader(c, true, -1), EReader);
    TStringReader d(many);
    THeader hd;
    EXPECT_THROW(hd.ReadFromReader(d, false, -1), EReader);
    // Truncated at every length, in both modes: a reader error, never a crash.
    std::string full = "Host: h\r\nA: 1\r\n\r\n";
    for (size_t n = 0; n < full.size(); ++n) {
        TScriptedReader lineReader(full.substr(0, n), 1);
        THeader hl;
        EXPECT_THROW(hl.ReadFromReader(lineReader, true, -1), EReader) << n;
        TStringReader blockReader(full.substr(0, n));
        THeader hbk;
        EXPECT_THROW(hbk.ReadFromReader(blockReader, false, -1), EReader) << n;
    }
}
